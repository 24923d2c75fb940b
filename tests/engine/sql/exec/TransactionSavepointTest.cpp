// A statement that fails inside START TRANSACTION undoes its own changes and keeps what the
// transaction did before it: through SQL, and the savepoint on its own.
#include <gtest/gtest.h>

#include "engine/sql/exec/DdlTestSupport.h"
#include "engine/sql/exec/DmlTransaction.h"
#include "engine/storage/sessions/TransactionSavepoint.h"

namespace zorvic::engine::ddltest {
namespace {

class SavepointTest : public TSqlFixture {
 protected:
  void SetUp() override {
    TSqlFixture::SetUp();
    Run("CREATE TABLE T (Id AUTOINC, Name VARCHAR(20), Note MEMO, PRIMARY KEY (Id))");
    Run("CREATE UNIQUE INDEX ByName ON T (Name)");
    Run("CREATE TABLE Src (K INTEGER, Name VARCHAR(20))");
    Run("INSERT INTO Src VALUES (1, 'new1'); INSERT INTO Src VALUES (2, 'new2'); "
        "INSERT INTO Src VALUES (3, 'before')");
    Run("INSERT INTO T (Name, Note) VALUES ('old', 'old memo')");
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const TRow& row : ReadRows(*Database, "T"))
      names.push_back(row["Name"]);
    return names;
  }
};

TEST_F(SavepointTest, FailedInsertSelectKeepsTheEarlierWork) {
  const FileBytes atStart = Files();
  Run("START TRANSACTION");
  Run("INSERT INTO T (Name, Note) VALUES ('before', 'a memo')");
  // Two rows go in, the third collides with 'before': the statement undoes its two rows.
  int code = 0;
  EXPECT_NE(Error("INSERT INTO T (Name) SELECT Name FROM Src", &code), "");
  EXPECT_EQ(code, VELDOR_KEYVIOL);
  EXPECT_TRUE(Database->InTransaction());
  EXPECT_EQ(Names(), (std::vector<std::string>{"old", "before"}));
  // The transaction goes on normally from there.
  Run("INSERT INTO T (Name) VALUES ('after')");
  EXPECT_EQ(ReadRows(*Database, "T").back()["Id"], "3");
  Run("ROLLBACK");
  EXPECT_EQ(Files(), atStart);

  Run("START TRANSACTION");
  Run("INSERT INTO T (Name, Note) VALUES ('before', 'a memo')");
  EXPECT_NE(Error("INSERT INTO T (Name) SELECT Name FROM Src"), "");
  Run("COMMIT");
  EXPECT_EQ(Names(), (std::vector<std::string>{"old", "before"}));
}

TEST_F(SavepointTest, FailedUpdateAndDeleteKeepTheEarlierWork) {
  Run("INSERT INTO T (Name) VALUES ('b'); INSERT INTO T (Name) VALUES ('c')");
  Run("START TRANSACTION");
  Run("UPDATE T SET Note = 'changed first' WHERE Name = 'old'");
  // Every row gets the same name: the second collides.
  EXPECT_NE(Error("UPDATE T SET Name = 'same'"), "");
  EXPECT_EQ(Names(), (std::vector<std::string>{"old", "b", "c"}));
  Run("DELETE FROM T WHERE Name = 'c'");
  Run("COMMIT");
  EXPECT_EQ(Names(), (std::vector<std::string>{"old", "b"}));
}

// Inside START TRANSACTION with COMMIT INTERVAL, a failure undoes the rows after the
// statement's last intermediate commit only.
TEST_F(SavepointTest, FailureAfterAnIntermediateCommit) {
  TDataCursor cursor(*Database);
  cursor.Open("T");
  auto append = [&](const std::string& name) {
    std::vector<std::uint8_t> record(cursor.RecordSize());
    cursor.InitRecord(record.data());
    cursor.SetString(record.data(), 2, name);
    cursor.InsertRecord(record.data());
  };
  Run("START TRANSACTION");
  append("before");
  TDataQuery block;
  block.CommitInterval = 2;
  block.CommitIntervalGiven = true;
  {
    TImplicitTransaction transaction(*Database, block, 40000);
    EXPECT_EQ(transaction.Interval(), 2);
    for (const char* name : {"r1", "r2", "r3"}) {
      append(name);
      transaction.RowDone();
    }
    EXPECT_EQ(transaction.Commits(), 1);
  }  // fails here: r3 goes, r1 and r2 were committed
  EXPECT_TRUE(Database->InTransaction());
  EXPECT_EQ(Names(), (std::vector<std::string>{"old", "before", "r1", "r2"}));
  cursor.Close();
  Run("ROLLBACK");
  EXPECT_EQ(Names(), (std::vector<std::string>{"old", "before", "r1", "r2"}));

  // Without COMMIT INTERVAL a record above 32 KB still commits every row outside a
  // transaction.
  TImplicitTransaction large(*Database, TDataQuery{}, 40000);
  EXPECT_EQ(large.Interval(), 1);
  large.Finish();
}

// The savepoint through the C++ API, with BLOB values and an uncommitted header.
TEST_F(SavepointTest, RestoreReturnsToTheSavedState) {
  TDataCursor cursor(*Database);
  cursor.Open("T");
  auto append = [&](const std::string& name, const std::string& memo) {
    std::vector<std::uint8_t> record(cursor.RecordSize());
    cursor.InitRecord(record.data());
    cursor.SetString(record.data(), 2, name);
    cursor.OpenBlob(record.data(), 3, TBlobOpenMode::bmWrite);
    cursor.WriteBlob(record.data(), 3, 0, memo.data(), static_cast<std::int64_t>(memo.size()));
    cursor.InsertRecord(record.data());
    cursor.FreeAllBlobs();
  };
  Database->StartTransaction();
  append("kept", "kept memo");
  {
    TTransactionSavepoint savepoint(*Database);
    append("dropped1", std::string(3000, 'x'));
    append("dropped2", "y");
    EXPECT_EQ(cursor.RecordCount(), 4);
    savepoint.Restore();
    EXPECT_EQ(cursor.RecordCount(), 2);
    // Restoring twice gives the same state.
    savepoint.Restore();
    EXPECT_EQ(cursor.RecordCount(), 2);
  }
  append("later", "z");
  Database->Commit();
  cursor.Close();
  EXPECT_EQ(Names(), (std::vector<std::string>{"old", "kept", "later"}));
  EXPECT_EQ(ReadRows(*Database, "T").back()["Id"], "3");

  // TStatementSavepoint: released keeps, destroyed undoes, outside a transaction nothing.
  {
    TStatementSavepoint outside(*Database);
    EXPECT_FALSE(outside.Active());
  }
  Run("START TRANSACTION");
  {
    TStatementSavepoint scope(*Database);
    EXPECT_TRUE(scope.Active());
    Run("DELETE FROM T");
    EXPECT_TRUE(Names().empty());
  }
  EXPECT_EQ(Names().size(), 3u);
  {
    TStatementSavepoint scope(*Database);
    Run("DELETE FROM T WHERE Name = 'later'");
    scope.Release();
  }
  Run("COMMIT");
  EXPECT_EQ(Names(), (std::vector<std::string>{"old", "kept"}));
}

}  // namespace
}  // namespace zorvic::engine::ddltest
