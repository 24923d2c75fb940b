// Aborting a multi-row change through the progress callback: the statement fails, what it
// changed since its last intermediate commit is undone, the committed batches stay.
#include "engine/sql/exec/ExecTestSupport.h"

namespace zorvic::engine::test {
namespace {

class StatementAbortTest : public TExecTest {
 protected:
  void SetUp() override {
    std::string script = "Create Table T(N Integer, V Integer);Create Table Copy(N Integer);";
    for (int n = 1; n <= 100; ++n)
      script += "Insert into T values (" + std::to_string(n) + ", 0);";
    Run(script);
    Session->SetProgressSteps(10);
  }

  // Aborts at the first report of at least `percent`; with afterFirstSweep, only once a
  // report of 100 came (INSERT ... SELECT reports its SELECT first).
  void AbortAt(int percent, bool afterFirstSweep = false) {
    Statement->Progress = [percent, afterFirstSweep, swept = false](int done, bool& abort) mutable {
      if ((swept || !afterFirstSweep) && done >= percent && done < 100) abort = true;
      if (done == 100) swept = true;
    };
  }
  void NoAbort() { Statement->Progress = nullptr; }
};

TEST_F(StatementAbortTest, UpdateKeepsOnlyTheCommittedBatches) {
  AbortAt(50);
  EXPECT_EQ(Error("Update T set V = 1 COMMIT INTERVAL 15"), SqlError("Statement aborted"));
  NoAbort();
  // Rows 1..50 were changed when the abort came; the batches up to row 45 were committed.
  EXPECT_EQ(Rows("Select COUNT(*) from T where V = 1"), "45");
  EXPECT_EQ(Rows("Select COUNT(*) from T"), "100");
  // Without COMMIT INTERVAL the default interval (far above 100 rows here) commits nothing.
  AbortAt(30);
  EXPECT_EQ(Error("Update T set V = 2"), SqlError("Statement aborted"));
  NoAbort();
  EXPECT_EQ(Rows("Select COUNT(*) from T where V = 2"), "0");
  EXPECT_FALSE(Database->InTransaction());
}

TEST_F(StatementAbortTest, DeleteKeepsOnlyTheCommittedBatches) {
  AbortAt(50);
  EXPECT_EQ(Error("Delete from T where N > 0 COMMIT INTERVAL 15"), SqlError("Statement aborted"));
  NoAbort();
  EXPECT_EQ(Rows("Select COUNT(*) from T"), "55");
  EXPECT_EQ(Rows("Select MIN(N) from T"), "46");
}

TEST_F(StatementAbortTest, InsertSelectAbortedWhileInsertingOrSelecting) {
  AbortAt(50, true);
  EXPECT_EQ(Error("Insert into Copy (N) Select N from T COMMIT INTERVAL 15"),
            SqlError("Statement aborted"));
  NoAbort();
  EXPECT_EQ(Rows("Select COUNT(*) from Copy"), "45");
  // Aborted while its SELECT runs: nothing is appended, not even the rows selected so far.
  AbortAt(10);
  EXPECT_EQ(Error("Insert into Copy (N) Select N from T COMMIT INTERVAL 1"),
            SqlError("Statement aborted"));
  NoAbort();
  EXPECT_EQ(Rows("Select COUNT(*) from Copy"), "45");
}

TEST_F(StatementAbortTest, InsideATransactionOnlyTheStatementIsUndone) {
  Run("START TRANSACTION");
  Run("Update T set V = 7 where N = 1");
  AbortAt(40);
  EXPECT_EQ(Error("Update T set V = 1"), SqlError("Statement aborted"));
  EXPECT_EQ(Error("Delete from T"), SqlError("Statement aborted"));
  NoAbort();
  ASSERT_TRUE(Database->InTransaction());
  EXPECT_EQ(Rows("Select COUNT(*) from T where V = 1"), "0");
  EXPECT_EQ(Rows("Select COUNT(*) from T"), "100");
  // The change before the aborted statements belongs to the transaction and commits with it.
  Run("COMMIT");
  EXPECT_EQ(Rows("Select V from T where N = 1"), "7");
}

TEST_F(StatementAbortTest, InsideATransactionIntermediateCommitsStay) {
  Run("START TRANSACTION");
  AbortAt(50);
  EXPECT_EQ(Error("Update T set V = 1 COMMIT INTERVAL 15"), SqlError("Statement aborted"));
  NoAbort();
  ASSERT_TRUE(Database->InTransaction());
  Run("ROLLBACK");
  // The statement's intermediate commits wrote rows 1..45; the rest went with the abort.
  EXPECT_EQ(Rows("Select COUNT(*) from T where V = 1"), "45");
}

TEST_F(StatementAbortTest, AbortAskedAtTheFinalReportComesTooLate) {
  // A report of 100 comes only when the statement is through; asking for an abort there is
  // too late and the statement stands.
  Statement->Progress = [](int done, bool& abort) { abort = done == 100; };
  EXPECT_EQ(Run("Update T set V = 3").RowsAffected, 100);
  NoAbort();
  EXPECT_EQ(Rows("Select COUNT(*) from T where V = 3"), "100");
}

}  // namespace
}  // namespace zorvic::engine::test
