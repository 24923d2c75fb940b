// Statements that each commit on their own write their journals into one file beside the
// table, kept between them, never played back once retired, and gone when the database closes.
#include <sys/stat.h>

#include "engine/sql/exec/ExecTestSupport.h"
#include "support/TempDir.h"

namespace zorvic::engine::test {
namespace {

class TStatementJournalTest : public TExecTest {
 protected:
  // The journal file's inode, 0 when there is none.
  std::uint64_t JournalInode() {
    struct stat st;
    return ::stat(Dir.File("Notes.JNL").c_str(), &st) == 0 ? st.st_ino : 0;
  }
  std::string JournalHeader() {
    return zorvic::testing::ReadFileBytes(Dir.File("Notes.JNL")).substr(0, 48);
  }
};

TEST_F(TStatementJournalTest, SingleStatementsWriteTheirJournalsIntoOneFile) {
  Run("CREATE TABLE Notes (ID AUTOINC, Body MEMO, PRIMARY KEY (ID))");
  Run("INSERT INTO Notes (Body) VALUES ('" + std::string(2000, 'a') + "')");
  const std::uint64_t inode = JournalInode();
  ASSERT_NE(inode, 0u);
  Run("INSERT INTO Notes (Body) VALUES ('two')");
  Run("UPDATE Notes SET Body = 'one' WHERE ID = 1");
  Run("DELETE FROM Notes WHERE ID = 2");
  Run("START TRANSACTION; INSERT INTO Notes (Body) VALUES ('three'); COMMIT");
  EXPECT_EQ(JournalInode(), inode);
  EXPECT_EQ(JournalHeader(), std::string(48, '\0'));
  EXPECT_EQ(Rows("SELECT ID, Body FROM Notes ORDER BY ID"), "1,one;3,three");

  // Another session reads what was committed; the retired journal is nothing to play back.
  EXPECT_EQ(RunInOtherSession(Dir.Path(), "SELECT ID, Body FROM Notes ORDER BY ID"),
            "1,one;3,three");
  Run("DELETE FROM Notes WHERE ID = 1");
  EXPECT_NE(JournalInode(), 0u);

  // Closing the database removes the file.
  Execution.reset();
  Statement.reset();
  Session.reset();
  EXPECT_EQ(JournalInode(), 0u);
  EXPECT_EQ(RunInOtherSession(Dir.Path(), "SELECT ID, Body FROM Notes"), "3,three");
  EXPECT_EQ(JournalInode(), 0u);
}

// With the session's forced flush every statement is flushed on its own: its journal is flushed
// before the table files are written, its retirement is not (the table files' flush already
// holds the change) and is marked so; a transaction's COMMIT FLUSH retires and flushes as ever.
TEST_F(TStatementJournalTest, FlushedStatementsMarkTheirRetirementAndTransactionsFlushIt) {
  const std::string mark = "ZVJRNLUF";
  auto markAt48 = [&] {
    return zorvic::testing::ReadFileBytes(Dir.File("Notes.JNL")).substr(48, 8);
  };
  TSessionSettings settings = Session->Settings();
  settings.ForceBufferFlush = true;
  Session->SetSettings(settings);
  Run("CREATE TABLE Notes (ID AUTOINC, Body MEMO, PRIMARY KEY (ID))");
  Run("INSERT INTO Notes (Body) VALUES ('" + std::string(2000, 'a') + "')");
  EXPECT_EQ(JournalHeader(), std::string(48, '\0'));
  EXPECT_EQ(markAt48(), mark);
  Run("UPDATE Notes SET Body = 'one' WHERE ID = 1");
  Run("INSERT INTO Notes (Body) VALUES ('two')");
  EXPECT_EQ(markAt48(), mark);
  EXPECT_EQ(RunInOtherSession(Dir.Path(), "SELECT ID, Body FROM Notes ORDER BY ID"), "1,one;2,two");
  Run("START TRANSACTION; DELETE FROM Notes WHERE ID = 1; COMMIT FLUSH");
  EXPECT_EQ(JournalHeader(), std::string(48, '\0'));
  EXPECT_NE(markAt48(), mark);
  Run("DELETE FROM Notes WHERE ID = 2");
  EXPECT_EQ(markAt48(), mark);
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM Notes"), "0");
  Execution.reset();
  Statement.reset();
  Session.reset();
  EXPECT_EQ(JournalInode(), 0u);
  EXPECT_EQ(RunInOtherSession(Dir.Path(), "SELECT COUNT(*) FROM Notes"), "0");
}

}  // namespace
}  // namespace zorvic::engine::test
