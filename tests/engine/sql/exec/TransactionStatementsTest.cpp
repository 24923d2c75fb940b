// START TRANSACTION, COMMIT and ROLLBACK through SQL and the C++ API, and the implicit
// transaction of multi-row statements with its commit interval.
#include <gtest/gtest.h>

#include "engine/sql/exec/DdlTestSupport.h"
#include "engine/sql/exec/DmlTransaction.h"
#include "engine/sql/exec/TransactionStatements.h"

namespace zorvic::engine::ddltest {
namespace {

class TransactionTest : public TSqlFixture {
 protected:
  void SetUp() override {
    TSqlFixture::SetUp();
    Run("CREATE TABLE T (Id AUTOINC, Name VARCHAR(20), Note MEMO, PRIMARY KEY (Id))");
    Run("INSERT INTO T (Name, Note) VALUES ('kept', 'memo')");
  }
  std::string Name() const {
    std::string path = Database->Path();
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
  }
  std::size_t Count() { return ReadRows(*Database, "T").size(); }
};

TEST_F(TransactionTest, StatementsCheckTheTransactionState) {
  int code = 0;
  EXPECT_TRUE(Contains(Error("COMMIT FLUSH", &code),
                       "SQL error - Transaction not in progress for database '" + Name() + "'"));
  EXPECT_EQ(code, VELDOR_SQLPARSE);
  EXPECT_TRUE(Contains(Error("ROLLBACK WORK"), "Transaction not in progress for database '"));
  EXPECT_TRUE(Contains(Error("COMMIT"), "Transaction not in progress"));
  Run("START TRANSACTION");
  EXPECT_TRUE(Database->InTransaction());
  EXPECT_TRUE(
      Contains(Error("START TRANSACTION"),
               "SQL error - Transaction already in progress for database '" + Name() + "'"));
  EXPECT_TRUE(Database->InTransaction());
  Run("COMMIT WORK FLUSH");
  EXPECT_FALSE(Database->InTransaction());
}

TEST_F(TransactionTest, RollbackRestoresTheFilesByteForByte) {
  const FileBytes before = Files();
  Run("START TRANSACTION");
  Run("INSERT INTO T (Name, Note) VALUES ('gone', 'a memo that goes')");
  Run("INSERT INTO T (Name) VALUES ('gone too')");
  EXPECT_EQ(Count(), 3u);
  Run("ROLLBACK");
  EXPECT_FALSE(Database->InTransaction());
  EXPECT_EQ(Count(), 1u);
  EXPECT_EQ(Files(), before);
  // The next insert gets the auto-increment value the rolled-back one had.
  Run("INSERT INTO T (Name) VALUES ('next')");
  EXPECT_EQ(ReadRows(*Database, "T").back()["Id"], "2");
}

TEST_F(TransactionTest, ADuplicateKeyInsideATransactionLeavesItCommittable) {
  Run("CREATE TABLE U (Name VARCHAR(20), Note VARCHAR(20), PRIMARY KEY (Name))");
  Run("START TRANSACTION");
  Run("INSERT INTO U (Name, Note) VALUES ('ann', 'first')");
  EXPECT_TRUE(Contains(Error("INSERT INTO U (Name, Note) VALUES ('ann', 'second')"),
                       "Duplicate key found in the index 'Primary' of the table 'U'"));
  Run("INSERT INTO U (Name) VALUES ('bob')");
  Run("COMMIT");
  const auto rows = ReadRows(*Database, "U");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["Name"], "ann");
  EXPECT_EQ(rows[0]["Note"], "first");
  EXPECT_EQ(rows[1]["Name"], "bob");
}

TEST_F(TransactionTest, CommitKeepsAndScriptsShareTheTransaction) {
  // One script: the transaction outlasts each statement.
  Run("START TRANSACTION; INSERT INTO T (Name) VALUES ('a'); INSERT INTO T (Name) VALUES ('b')");
  EXPECT_TRUE(Database->InTransaction());
  Run("COMMIT FLUSH");
  EXPECT_EQ(Count(), 3u);
  Run("START TRANSACTION; UPDATE T SET Name = 'changed'; ROLLBACK");
  EXPECT_EQ(ReadRows(*Database, "T")[1]["Name"], "a");
}

TEST_F(TransactionTest, ExecuteTransactionStatementDirectly) {
  TDataQuery block;
  block.Kind = TStatementKind::StartTransaction;
  ExecuteTransactionStatement(*Database, block);
  EXPECT_TRUE(Database->InTransaction());
  block.Kind = TStatementKind::Rollback;
  ExecuteTransactionStatement(*Database, block);
  EXPECT_FALSE(Database->InTransaction());
  block.Kind = TStatementKind::Select;
  EXPECT_THROW(ExecuteTransactionStatement(*Database, block), EVELDOREngineError);
  // The in-memory database has a name of its own.
  TDataDirectory& memory = Session->OpenDatabase("Memory");
  EXPECT_EQ(TransactionDatabaseName(memory), "Memory");
  block.Kind = TStatementKind::Commit;
  try {
    ExecuteTransactionStatement(memory, block);
    ADD_FAILURE() << "no error";
  } catch (const EVELDOREngineError& e) {
    EXPECT_TRUE(Contains(e.what(), "Transaction not in progress for database 'Memory'"));
  }
  Session->CloseDatabase(memory);
}

// ---- the implicit transaction ----------------------------------------------------------

TEST(ImplicitTransactionInterval, ArithmeticAndLimits) {
  EXPECT_EQ(TImplicitTransaction::DefaultInterval(100), 327);
  EXPECT_EQ(TImplicitTransaction::DefaultInterval(1), 8192);
  EXPECT_EQ(TImplicitTransaction::DefaultInterval(4), 8192);
  EXPECT_EQ(TImplicitTransaction::DefaultInterval(5), 6553);
  EXPECT_EQ(TImplicitTransaction::DefaultInterval(32768), 1);
  // A record above 32 KB would give 0: at least one row per commit.
  EXPECT_EQ(TImplicitTransaction::DefaultInterval(40000), 1);
  EXPECT_EQ(TImplicitTransaction::DefaultInterval(65535), 1);
}

class ImplicitTransactionTest : public TransactionTest {
 protected:
  // Appends a record through a cursor of its own (no statement).
  void Append(TDataCursor& cursor, const std::string& name) {
    std::vector<std::uint8_t> record(cursor.RecordSize());
    cursor.InitRecord(record.data());
    cursor.SetString(record.data(), 2, name);
    cursor.InsertRecord(record.data());
  }
};

TEST_F(ImplicitTransactionTest, OutsideATransactionCommitsInBatches) {
  TDataQuery block;
  TDataCursor cursor(*Database);
  cursor.Open("T");
  {
    TImplicitTransaction transaction(*Database, block, 100);
    EXPECT_TRUE(transaction.Started());
    EXPECT_TRUE(Database->InTransaction());
    EXPECT_EQ(transaction.Interval(), 327);
    for (int i = 0; i < 700; ++i) {
      Append(cursor, "row");
      transaction.RowDone();
    }
    EXPECT_EQ(transaction.Commits(), 2);  // after rows 327 and 654
    transaction.Finish();
    EXPECT_FALSE(Database->InTransaction());
  }
  cursor.Close();
  EXPECT_EQ(Count(), 701u);
}

TEST_F(ImplicitTransactionTest, AFailureUndoesTheRowsSinceTheLastCommit) {
  TDataQuery block;
  block.CommitInterval = 3;
  block.CommitIntervalGiven = true;
  TDataCursor cursor(*Database);
  cursor.Open("T");
  {
    TImplicitTransaction transaction(*Database, block, cursor.RecordSize());
    EXPECT_EQ(transaction.Interval(), 3);
    for (int i = 0; i < 5; ++i) {
      Append(cursor, "row");
      transaction.RowDone();
    }
    EXPECT_EQ(transaction.Commits(), 1);
  }  // no Finish: rows 4 and 5 are rolled back
  EXPECT_FALSE(Database->InTransaction());
  cursor.Close();
  EXPECT_EQ(Count(), 4u);
}

TEST_F(ImplicitTransactionTest, CommitIntervalBelowOneIsRefused) {
  TDataQuery block;
  block.CommitIntervalGiven = true;
  for (std::int32_t interval : {0, -5}) {
    block.CommitInterval = interval;
    try {
      TImplicitTransaction transaction(*Database, block, 100);
      ADD_FAILURE() << "interval " << interval << " accepted";
    } catch (const EVELDOREngineError& e) {
      EXPECT_TRUE(Contains(e.what(), "Commit interval must be greater than 0, instead found '" +
                                         std::to_string(interval) + "'"));
    }
    EXPECT_FALSE(Database->InTransaction());
  }
  EXPECT_TRUE(Contains(Error("UPDATE T SET Name = 'x' COMMIT INTERVAL 0"),
                       "Commit interval must be greater than 0"));
  EXPECT_EQ(ReadRows(*Database, "T")[0]["Name"], "kept");
}

TEST_F(ImplicitTransactionTest, InsideATransactionOnlyAnExplicitIntervalCommits) {
  Run("START TRANSACTION");
  TDataQuery block;
  TDataCursor cursor(*Database);
  cursor.Open("T");
  {
    TImplicitTransaction transaction(*Database, block, 1);
    EXPECT_FALSE(transaction.Started());
    for (int i = 0; i < 10; ++i) {
      Append(cursor, "row");
      transaction.RowDone();
    }
    EXPECT_EQ(transaction.Commits(), 0);
    transaction.Finish();
  }
  EXPECT_TRUE(Database->InTransaction());
  block.CommitInterval = 4;
  block.CommitIntervalGiven = true;
  {
    TImplicitTransaction transaction(*Database, block, 1);
    for (int i = 0; i < 9; ++i) {
      Append(cursor, "more");
      transaction.RowDone();
    }
    EXPECT_EQ(transaction.Commits(), 2);
    transaction.Finish();
  }
  EXPECT_TRUE(Database->InTransaction());
  cursor.Close();
  // The commit after row 8 wrote everything before it, the first statement's rows too: the
  // rollback undoes only the ninth row.
  Run("ROLLBACK");
  EXPECT_EQ(Count(), 1u + 10u + 8u);
}

TEST_F(TransactionTest, UpdateInsideATransactionCommitsNothing) {
  Run("START TRANSACTION");
  EXPECT_EQ(Run("UPDATE T SET Name = 'changed'"), 1);
  EXPECT_TRUE(Database->InTransaction());
  Run("ROLLBACK");
  EXPECT_EQ(ReadRows(*Database, "T")[0]["Name"], "kept");
}

}  // namespace
}  // namespace zorvic::engine::ddltest
