// Transactions of the database component: every table component open on the database takes
// part; a rollback undoes the posts on all of them, a commit writes them.
#include <filesystem>

#include "engine/components/ComponentTestSupport.h"

namespace zorvic::engine::testing {
namespace {

using TComponentTransactionTest = TComponentTest;

std::int64_t RecordCountIn(const std::string& folder, const std::string& table,
                           const std::string& session = {}) {
  TVELDORTable t;
  t.SetSessionName(session);
  t.SetDatabaseName(folder);
  t.SetTableName(table);
  t.Open();
  return t.RecordCount();
}

TEST_F(TComponentTransactionTest, RollbackUndoesPostsOnTwoTables) {
  CreateLogTable("Log");
  CreateUsersTable("Users");
  TVELDORTable log, users;
  OpenOn(log, "Log");
  OpenOn(users, "Users");
  log.Insert();
  log.FieldByName("Text").SetAsString("before");
  log.Post();

  TVELDORDatabase& db = *log.Database();
  db.StartTransaction();
  log.Insert();
  log.FieldByName("Text").SetAsString("inside");
  log.FieldByName("Body").SetAsString(std::string(2000, 'm'));
  log.Post();
  EXPECT_EQ(log.FieldByName("ID").AsInteger(), 2);
  users.Insert();
  users.FieldByName("UserName").SetAsString("temp");
  users.Post();
  EXPECT_EQ(log.RecordCount(), 2);
  EXPECT_EQ(users.RecordCount(), 1);
  db.Rollback();
  EXPECT_FALSE(db.InTransaction());

  log.Refresh();
  users.Refresh();
  EXPECT_EQ(log.RecordCount(), 1);
  EXPECT_EQ(users.RecordCount(), 0);
  EXPECT_TRUE(users.IsEmpty());
  // The rolled-back insert's auto-increment value is handed out again.
  log.Append();
  log.FieldByName("Text").SetAsString("after");
  log.Post();
  EXPECT_EQ(log.FieldByName("ID").AsInteger(), 2);
  EXPECT_EQ(log.FieldByName("Body").AsString(), "");
}

TEST_F(TComponentTransactionTest, CommitWritesTheTablesFilesOnlyAtTheCommit) {
  CreateLogTable("Log");
  TVELDORDatabase db;
  db.SetDatabaseName("Data");
  db.SetDirectory(Dir.Path());
  db.Open();
  TVELDORTable log;
  OpenOn(log, "Log", "Data");
  const auto sizeBefore = std::filesystem::file_size(Dir.File("Log.DAT"));
  db.StartTransaction();
  for (int i = 0; i < 20; ++i) {
    log.Append();
    log.FieldByName("Text").SetAsString("row " + std::to_string(i));
    log.Post();
  }
  // A session of its own sees the table as it was; the files have not grown.
  TVELDORSession other("Reader");
  other.SetSessionName("Reader");
  EXPECT_EQ(RecordCountIn(Dir.Path(), "Log", "Reader"), 0);
  EXPECT_EQ(std::filesystem::file_size(Dir.File("Log.DAT")), sizeBefore);
  db.Commit();
  EXPECT_GT(std::filesystem::file_size(Dir.File("Log.DAT")), sizeBefore);
  EXPECT_EQ(RecordCountIn(Dir.Path(), "Log", "Reader"), 20);
  EXPECT_EQ(log.RecordCount(), 20);
}

TEST_F(TComponentTransactionTest, TableOpenedDuringTheTransactionJoinsIt) {
  CreateLogTable("Log");
  CreateUsersTable("Users");
  TVELDORTable log;
  OpenOn(log, "Log");
  TVELDORDatabase& db = *log.Database();
  db.StartTransaction();
  TVELDORTable users;
  OpenOn(users, "Users");
  EXPECT_EQ(users.Database(), &db);
  users.Insert();
  users.FieldByName("UserName").SetAsString("late");
  users.Post();
  users.Close();  // the table object stays in the transaction
  db.Rollback();
  EXPECT_EQ(RecordCountIn(Dir.Path(), "Users"), 0);
}

TEST_F(TComponentTransactionTest, DisconnectingEndsTheTransactionWithoutWritingIt) {
  CreateLogTable("Log");
  TVELDORSessionList::Instance().DefaultSession().Close();  // nobody else shares the database
  {
    TVELDORSession own("Own");
    own.SetSessionName("Own");
    TVELDORDatabase db;
    db.SetSessionName("Own");
    db.SetDatabaseName("Scratch");
    db.SetDirectory(Dir.Path());
    db.Open();
    TVELDORTable log;
    log.SetSessionName("Own");
    OpenOn(log, "Log", "Scratch");
    db.StartTransaction();
    log.Append();
    log.FieldByName("Text").SetAsString("never committed");
    log.Post();
    db.Close();
    EXPECT_FALSE(log.Active());
  }
  EXPECT_EQ(RecordCountIn(Dir.Path(), "Log"), 0);
}

}  // namespace
}  // namespace zorvic::engine::testing
