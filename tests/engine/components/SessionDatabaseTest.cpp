// Sessions and database components: names, activation, settings carried into the engine
// session, temporary databases made for datasets, and the exact component messages.
#include <thread>

#include "engine/components/ComponentTestSupport.h"

namespace zorvic::engine::testing {
namespace {

using TSessionTest = TComponentTest;

TEST_F(TSessionTest, DefaultSessionIsFoundByEmptyNameAndByDefault) {
  TVELDORSessionList& list = TVELDORSessionList::Instance();
  TVELDORSession& def = list.DefaultSession();
  EXPECT_EQ(def.SessionName(), "Default");
  EXPECT_TRUE(def.IsDefault());
  EXPECT_EQ(list.FindSession(""), &def);
  EXPECT_EQ(list.FindSession("default"), &def);
  EXPECT_EQ(list.FindSession("nobody"), nullptr);
  EXPECT_EQ(DatabaseErrorOf([&] { list.SessionByName("nobody"); }),
            "Session name nobody is not valid.");
  EXPECT_STREQ(def.EngineVersion(), "3.21");
}

TEST_F(TSessionTest, NamesAndActivationRules) {
  TVELDORSession s("Worker");
  EXPECT_EQ(DatabaseErrorOf([&] { s.Open(); }), "Session name is missing.");
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(DatabaseErrorOf([&] { s.SetSessionName("DEFAULT"); }),
            "Session name DEFAULT already exists.");
  s.SetSessionName("Worker1");
  bool started = false;
  s.OnStartup = [&](TVELDORSession&) { started = true; };
  s.Open();
  EXPECT_TRUE(started);
  ASSERT_NE(s.Engine(), nullptr);
  EXPECT_NE(s.Engine(), &TDataSession::Default());
  EXPECT_TRUE(TVELDORSessionList::Instance().DefaultSession().Active());
  EXPECT_EQ(DatabaseErrorOf([&] { s.SetSessionName("Other"); }),
            "Cannot perform this operation on an active session.");
  EXPECT_EQ(DatabaseErrorOf([&] { s.SetSessionType(TSessionType::stRemote); }),
            "Cannot perform this operation on an active session.");
  s.Close();
  EXPECT_EQ(s.Engine(), nullptr);
}

TEST_F(TSessionTest, SettingsReachTheEngineSessionAtOnceWhileActive) {
  TVELDORSession s;
  s.SetSessionName("Tuned");
  s.SetLockRetryCount(3);
  s.SetPrivateDir(Dir.Path());
  s.Open();
  TSessionSettings e = s.Engine()->Settings();
  EXPECT_EQ(e.LockRetryCount, 3);
  EXPECT_EQ(e.LockWaitTime, 100);
  EXPECT_EQ(e.ProgressSteps, 20);
  EXPECT_EQ(e.RecordCacheBytes, 16384);
  EXPECT_EQ(e.BlobCacheBytes, 32768);
  EXPECT_EQ(s.Engine()->PrivateDir(), Dir.Path() + "/");
  s.SetLockWaitTime(7);
  s.SetLockProtocol(TLockProtocol::lpOptimistic);
  s.SetStrictChangeDetection(true);
  s.SetForceBufferFlush(true);
  s.SetProgressSteps(101);  // ignored
  s.SetProgressSteps(5);
  e = s.Engine()->Settings();
  EXPECT_EQ(e.LockWaitTime, 7);
  EXPECT_EQ(e.LockProtocol, TLockProtocol::lpOptimistic);
  EXPECT_TRUE(e.StrictChangeDetection);
  EXPECT_TRUE(e.ForceBufferFlush);
  EXPECT_EQ(e.ProgressSteps, 5);
}

TEST_F(TSessionTest, AutoSessionNamesAreUniqueAndFixed) {
  int owner = 0;
  TVELDORSession a("Pool", &owner);
  a.SetAutoSessionName(true);
  EXPECT_EQ(a.SessionName().rfind("Pool_", 0), 0u);
  EXPECT_EQ(DatabaseErrorOf([&] { a.SetSessionName("x"); }),
            "Cannot perform this operation on the active auto-session.");
  EXPECT_EQ(DatabaseErrorOf([&] { TVELDORSession b("Other", &owner); }),
            "This auto-session already exists.");
  int owner2 = 0;
  TVELDORSession c("Pool", &owner2);
  TVELDORSession d("Pool2", &owner2);
  EXPECT_EQ(DatabaseErrorOf([&] { c.SetAutoSessionName(true); }),
            "The active auto-session can be the only active session.");
  TVELDORSession e("Pool");
  e.SetAutoSessionName(true);
  EXPECT_NE(e.SessionName(), a.SessionName());
  // Threads with sessions of their own work at the same time.
  a.Open();
  e.Open();
  EXPECT_NE(a.Engine(), e.Engine());
}

TEST_F(TSessionTest, DatabaseComponentMessages) {
  TVELDORDatabase db;
  EXPECT_EQ(DatabaseErrorOf([&] { db.Open(); }), "Database name is missing.");
  EXPECT_EQ(DatabaseErrorOf([&] { db.SetDatabaseName("C:\\data"); }),
            "Database name C:\\data is not valid.");
  EXPECT_EQ(DatabaseErrorOf([&] { db.SetDatabaseName("/srv/data"); }),
            "Database name /srv/data is not valid.");
  EXPECT_EQ(DatabaseErrorOf([&] { db.StartTransaction(); }),
            "Cannot perform this operation on a closed database.");
  db.SetDatabaseName("Shared");
  db.SetDirectory(Dir.Path());
  db.SetSessionName("NoSuchSession");
  EXPECT_EQ(DatabaseErrorOf([&] { db.Open(); }), "Session name NoSuchSession is not valid.");
  db.SetSessionName("");
  bool before = false;
  db.BeforeConnect = [&](TVELDORDatabase&) { before = true; };
  db.Open();
  EXPECT_TRUE(before);
  EXPECT_EQ(DatabaseErrorOf([&] { db.SetDirectory("/tmp"); }),
            "Cannot perform this operation on an open database.");
  EXPECT_EQ(DatabaseErrorOf([&] { db.SetDatabaseName("Other"); }),
            "Cannot perform this operation on an open database.");
  EXPECT_EQ(DatabaseErrorOf([&] { db.Commit(); }), "Database Shared has no active transaction.");
  EXPECT_EQ(DatabaseErrorOf([&] { db.Rollback(); }), "Database Shared has no active transaction.");
  db.StartTransaction();
  EXPECT_TRUE(db.InTransaction());
  EXPECT_EQ(DatabaseErrorOf([&] { db.StartTransaction(); }),
            "Database Shared already has an active transaction.");
  db.Commit(true);
  EXPECT_FALSE(db.InTransaction());

  TVELDORDatabase twin;
  twin.SetDatabaseName("shared");
  twin.SetDirectory(Dir.Path());
  EXPECT_EQ(DatabaseErrorOf([&] { twin.Open(); }), "Database name shared already exists.");
}

TEST_F(TSessionTest, HandleSharedBorrowsTheEngineDatabase) {
  TVELDORDatabase a, b;
  for (TVELDORDatabase* d : {&a, &b}) {
    d->SetDatabaseName("Both");
    d->SetDirectory(Dir.Path());
    d->SetHandleShared(true);
  }
  a.Open();
  b.Open();
  EXPECT_EQ(&a.Engine(), &b.Engine());
  a.StartTransaction();
  EXPECT_TRUE(b.InTransaction());
  a.Rollback();
  // The lender going away disconnects the borrower instead of leaving it dangling.
  a.Close();
  EXPECT_FALSE(b.Connected());
}

TEST_F(TSessionTest, FolderPathTablesShareOneTemporaryDatabase) {
  CreateLogTable("Log");
  CreateUsersTable("Users");
  TVELDORTable log, users;
  OpenOn(log, "Log");
  OpenOn(users, "Users");
  TVELDORSession& def = TVELDORSessionList::Instance().DefaultSession();
  ASSERT_NE(log.Database(), nullptr);
  EXPECT_EQ(log.Database(), users.Database());
  EXPECT_TRUE(log.Database()->Temporary());
  EXPECT_EQ(log.Database()->Directory(), Dir.Path());
  EXPECT_EQ(log.DBSession(), &def);
  EXPECT_EQ(log.Database()->RefCount(), 2);
  EXPECT_EQ(DatabaseErrorOf([&] { log.SetDatabaseName("/elsewhere"); }),
            "Cannot perform this operation on an open database.");

  // KeepConnections (the default): closing the last table leaves the engine database open.
  TVELDORDatabase* db = log.Database();
  TDataDirectory* engine = &db->Engine();
  const std::size_t openDatabases = def.Engine()->DatabaseCount();
  log.Close();
  users.Close();
  EXPECT_EQ(def.FindDatabase(Dir.Path()), db);
  EXPECT_TRUE(db->Connected());
  EXPECT_EQ(&db->Engine(), engine);
  EXPECT_EQ(def.Engine()->DatabaseCount(), openDatabases);

  // Disconnecting the database closes the datasets attached to it.
  OpenOn(log, "Log");
  db->Close();
  EXPECT_FALSE(log.Active());
}

TEST_F(TSessionTest, WithoutKeepConnectionsTheTemporaryDatabaseGoesWithItsLastTable) {
  CreateLogTable("Log");
  TVELDORSession s;
  s.SetSessionName("Brief");
  s.SetKeepConnections(false);
  TVELDORTable t;
  t.SetSessionName("Brief");
  OpenOn(t, "Log");
  EXPECT_EQ(s.Engine()->DatabaseCount(), 1u);
  t.Close();
  EXPECT_EQ(s.FindDatabase(Dir.Path()), nullptr);
  EXPECT_EQ(s.Engine()->DatabaseCount(), 0u);
}

TEST_F(TSessionTest, NamedDatabaseComponentIsUsedByName) {
  CreateLogTable("Log");
  TVELDORDatabase db;
  db.SetDatabaseName("Main");
  db.SetDirectory(Dir.Path());
  db.SetKeepConnection(false);
  TVELDORTable t;
  t.SetDatabaseName("MAIN");
  t.SetTableName("Log");
  t.Open();
  EXPECT_EQ(t.Database(), &db);
  EXPECT_TRUE(db.Connected());
  t.Close();
  EXPECT_FALSE(db.Connected());  // released by its last dataset without KeepConnection
}

TEST_F(TSessionTest, MemoryDatabaseInAnyCase) {
  CreateLogTable("MemLog", "mEmOrY");
  TVELDORTable t;
  OpenOn(t, "MemLog", "MEMORY");
  ASSERT_NE(t.Database(), nullptr);
  EXPECT_TRUE(t.Database()->IsInMemory());
  EXPECT_TRUE(t.Database()->Engine().InMemory());
  t.Insert();
  t.FieldByName("Text").SetAsString("in memory");
  t.Post();
  EXPECT_EQ(t.RecordCount(), 1);
  t.Close();
  // Nothing of it reached the folder.
  EXPECT_FALSE(std::filesystem::exists(Dir.File("MemLog.DAT")));
  TVELDORTable drop;
  drop.SetDatabaseName("Memory");
  drop.SetTableName("MemLog");
  drop.DeleteTable();
}

TEST_F(TSessionTest, SessionLockAllowsConcurrentSessionsOnTheirOwnThreads) {
  CreateUsersTable("Users1");
  CreateUsersTable("Users2");
  // Each thread works in a session of its own on its own table.
  auto work = [&](int n) {
    TVELDORSession s("T");
    s.SetAutoSessionName(true);
    TVELDORTable t;
    t.SetSessionName(s.SessionName());
    t.SetDatabaseName(Dir.Path());
    t.SetTableName("Users" + std::to_string(n));
    t.Open();
    for (int i = 0; i < 20; ++i) {
      t.Insert();
      t.FieldByName("UserName").SetAsString("u" + std::to_string(n) + "_" + std::to_string(i));
      t.Post();
    }
    t.Close();
  };
  std::thread a(work, 1), b(work, 2);
  a.join();
  b.join();
  for (const char* name : {"Users1", "Users2"}) {
    TVELDORTable t;
    OpenOn(t, name);
    EXPECT_EQ(t.RecordCount(), 20);
  }
}

}  // namespace
}  // namespace zorvic::engine::testing
