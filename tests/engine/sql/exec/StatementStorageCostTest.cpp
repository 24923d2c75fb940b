// Through SQL, what the storage engine's cheap paths of a statement must still get right: a kept
// table whose files were removed, replaced or made read-only between statements; a bulk insert
// inside a transaction that other sessions see only after COMMIT and never after ROLLBACK; point
// lookups answered from the caches that still see another session's commit.
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "engine/sql/exec/ExecTestSupport.h"

namespace zorvic::engine::test {
namespace {

class StatementStorageCostTest : public TExecTest {
 protected:
  // Runs a script in a session of its own on another thread; returns the last result's rows
  // joined, or the error's message.
  std::string RunElsewhere(const std::string& text) {
    Execution->Release();
    return RunInOtherSession(Dir.Path(), text);
  }
  void CreateNames() {
    Run("Create Table T(N Integer, Label VarChar(10), Primary Key (N));"
        "Insert into T values (1, 'one');Insert into T values (2, 'two')");
  }
};

TEST_F(StatementStorageCostTest, AKeptTableWhoseFilesWentOrChangedIsOpenedAgain) {
  CreateNames();
  EXPECT_EQ(Rows("Select Label from T where N = 2"), "two");
  // Another copy of the table, with other rows, renamed over the kept one's files.
  const std::string other = Dir.File("other");
  std::filesystem::create_directory(other);
  {
    TDataSession session;
    TDataDirectory& db = session.OpenDatabase(other);
    {
      TSqlExecution execution(db);
      TQueryStatement statement(other + "/");
      statement.Prepare(
          "Create Table T(N Integer, Label VarChar(10), Primary Key (N));"
          "Insert into T values (2, 'zwei')");
      for (;;) {
        execution.Prepare(statement);
        execution.Execute(statement);
        if (statement.AtEnd()) break;
        statement.ParseNext();
      }
      execution.Release();
    }
    session.CloseDatabase(db);
  }
  Execution->Release();
  for (const char* ext : {".DAT", ".IDX"})
    std::filesystem::rename(other + "/T" + ext, Dir.File(std::string("T") + ext));
  EXPECT_EQ(Rows("Select Label from T where N = 2"), "zwei");
  EXPECT_EQ(Rows("Select count(*) from T"), "1");

  // Made read-only: the next statement reads and may not write; writable again, it may.
  Execution->Release();
  ASSERT_EQ(::chmod(Dir.File("T.DAT").c_str(), 0444), 0);
  EXPECT_EQ(Rows("Select Label from T where N = 2"), "zwei");
  EXPECT_NE(Error("Insert into T values (3, 'drei')"), "");
  Execution->Release();
  ASSERT_EQ(::chmod(Dir.File("T.DAT").c_str(), 0644), 0);
  EXPECT_EQ(Error("Insert into T values (3, 'drei')"), "");
  EXPECT_EQ(Rows("Select count(*) from T"), "2");

  // Removed: the next statement finds no table.
  Execution->Release();
  for (const char* ext : {".DAT", ".IDX"})
    std::filesystem::remove(Dir.File(std::string("T") + ext));
  EXPECT_NE(Error("Select * from T"), "");
}

TEST_F(StatementStorageCostTest, ATransactionsInsertsReachOthersAtTheCommitOnly) {
  CreateNames();
  Run("Start Transaction");
  for (int n = 10; n < 60; ++n)
    Run("Insert into T values (" + std::to_string(n) + ", 'n" + std::to_string(n) + "')");
  Run("Update T set Label = 'changed' where N = 20;Delete from T where N = 21");
  EXPECT_EQ(Rows("Select count(*) from T"), "51");
  // Another session reads the table as it was, without waiting for the transaction.
  EXPECT_EQ(RunElsewhere("Select count(*) from T"), "2");
  Run("Rollback");
  EXPECT_EQ(Rows("Select count(*) from T"), "2");
  EXPECT_EQ(RunElsewhere("Select count(*) from T"), "2");

  Run("Start Transaction");
  for (int n = 10; n < 60; ++n)
    Run("Insert into T values (" + std::to_string(n) + ", 'n" + std::to_string(n) + "')");
  Run("Update T set Label = 'changed' where N = 20;Delete from T where N = 21");
  EXPECT_EQ(RunElsewhere("Select count(*) from T"), "2");
  Run("Commit");
  EXPECT_EQ(RunElsewhere("Select count(*) from T"), "51");
  EXPECT_EQ(RunElsewhere("Select Label from T where N = 20"), "changed");
  // Nothing of the transaction stays locked: the other session changes its rows at once.
  EXPECT_EQ(RunElsewhere("Update T set Label = 'again' where N = 59;Delete from T where N = 58;"
                         "Select count(*) from T"),
            "50");
  EXPECT_EQ(Rows("Select Label from T where N = 59"), "again");
}

TEST_F(StatementStorageCostTest, LookupsFromTheCachesSeeAnotherSessionsCommit) {
  Run("Create Table T(N Integer, Label VarChar(10), Primary Key (N))");
  Run("Start Transaction");
  for (int n = 0; n < 2000; ++n)
    Run("Insert into T values (" + std::to_string(n) + ", 'v" + std::to_string(n) + "')");
  Run("Commit");
  for (int n = 0; n < 2000; n += 97)
    EXPECT_EQ(Rows("Select Label from T where N = " + std::to_string(n)), "v" + std::to_string(n));
  EXPECT_EQ(RunElsewhere("Update T set Label = 'new' where N = 97"), "");
  EXPECT_EQ(Rows("Select Label from T where N = 97"), "new");
  EXPECT_EQ(Rows("Select Label from T where N = 194"), "v194");
}

}  // namespace
}  // namespace zorvic::engine::test
