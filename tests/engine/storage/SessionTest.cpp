// Sessions, databases and table objects: settings, database sharing, table lifecycle, sharing
// between sessions, missing index files and temporary names.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <thread>

#include "engine/storage/CursorTestSupport.h"

namespace zorvic::engine::testing {
namespace {

using TSessionTest = TDatabaseFixture;

TEST(SessionSettingsTest, DefaultsAndDatabaseSharing) {
  TDataSession session;
  TSessionSettings s = session.Settings();
  EXPECT_EQ(s.ProgressSteps, 20);
  EXPECT_FALSE(s.ForceBufferFlush);
  EXPECT_FALSE(s.StrictChangeDetection);
  EXPECT_EQ(s.LockRetryCount, 15);
  EXPECT_EQ(s.LockWaitTime, 100);
  EXPECT_EQ(s.LockProtocol, TLockProtocol::lpPessimistic);
  EXPECT_EQ(s.RecordCacheBytes, 8 << 20);
  EXPECT_EQ(s.RecordCacheCount, 65536);
  EXPECT_EQ(s.BlobCacheBytes, 32768);
  ASSERT_FALSE(s.PrivateDir.empty());
  EXPECT_EQ(s.PrivateDir.back(), '/');
  session.SetPrivateDir("");
  EXPECT_EQ(session.PrivateDir(), session.StartDirectory());

  TTempDir dir;
  TDataDirectory& a = session.OpenDatabase("  " + dir.Path() + "  ");
  TDataDirectory& b = session.OpenDatabase(dir.Path() + "/");
  EXPECT_EQ(&a, &b);
  EXPECT_EQ(a.RefCount(), 2);
  EXPECT_EQ(a.Path(), dir.Path() + "/");
  TDataDirectory& memory = session.OpenDatabase("mEmOrY");
  EXPECT_TRUE(memory.InMemory());
  EXPECT_EQ(memory.Path(), "");
  EXPECT_EQ(session.DatabaseCount(), 2u);
  session.CloseDatabase(a);
  EXPECT_EQ(session.DatabaseCount(), 2u);
  session.CloseDatabase(b);
  session.CloseDatabase(memory);
  EXPECT_EQ(session.DatabaseCount(), 0u);

  session.AddPassword("Secret");
  session.AddPassword("Secret");
  EXPECT_TRUE(session.HasPassword("Secret"));
  EXPECT_FALSE(session.HasPassword("secret"));
  session.RemovePassword("Secret");
  EXPECT_FALSE(session.HasPassword("Secret"));
}

// A database finds its kept table objects by name: blanks around it, letter case and either
// separator make no difference, anything else does.
TEST(SessionTableNames, SameTableNameIgnoresCaseBlanksAndSeparators) {
  EXPECT_TRUE(SameTableName("Users", "users"));
  EXPECT_TRUE(SameTableName("  USERS\t", "Users"));
  EXPECT_TRUE(SameTableName("a\\b", "A/B"));
  EXPECT_TRUE(SameTableName("", " "));
  EXPECT_FALSE(SameTableName("Users", "User"));
  EXPECT_FALSE(SameTableName("Us ers", "Users"));
  EXPECT_FALSE(SameTableName("Users\xc4", "Users\xe4"));  // only ASCII letters fold
}

TEST_F(TSessionTest, TableLifecycle) {
  TDataCursor& c = NewCursor();
  c.CreateTable("People", CounterTable(), false);
  EXPECT_TRUE(Database->TableExists("people", false));
  EXPECT_TRUE(std::filesystem::exists(File("People.DAT")));
  EXPECT_TRUE(std::filesystem::exists(File("People.IDX")));
  EXPECT_FALSE(std::filesystem::exists(File("People.BLB")));  // no Blob fields
  EXPECT_ENGINE_ERROR(c.CreateTable("PEOPLE", CounterTable(), false), VELDOR_TABLEEXISTS);

  c.Open("People");
  // In use: no delete, no rename, no overwrite.
  EXPECT_ENGINE_ERROR(Database->DeleteTable("People", false), VELDOR_OSEACCES);
  EXPECT_ENGINE_ERROR(Database->RenameTable("People", "Others", false), VELDOR_OSEACCES);
  EXPECT_ENGINE_ERROR(c.CreateTable("People", CounterTable(), true), VELDOR_OSEACCES);
  EXPECT_ENGINE_ERROR(c.EmptyTable(), VELDOR_NEEDEXCLACCESS);
  TRec r(c);
  r.Init().Int("Value", 7).Str("Label", "seven");
  c.InsertRecord(r.Bytes());
  c.Close();

  Database->RenameTable("People", "Others", false);
  EXPECT_FALSE(Database->TableExists("People", false));
  c.Open("Others", false, true);
  EXPECT_EQ(c.RecordCount(), 1);
  c.EmptyTable();
  EXPECT_EQ(c.RecordCount(), 0);
  c.Close();
  EXPECT_EQ(ReadWholeFile(File("Others.DAT")).size(), 127u + 3 * 768);

  // A definition that fails a late check touches no file.
  TTableCreation bad = CounterTable();
  bad.Secondary.push_back(Idx("ByLabel", {9}));
  EXPECT_ENGINE_ERROR(c.CreateTable("Broken", bad, false), VELDOR_INVALIDIDXDESC);
  EXPECT_FALSE(std::filesystem::exists(File("Broken.DAT")));
  EXPECT_ENGINE_ERROR(c.CreateTable("Others", bad, true), VELDOR_INVALIDIDXDESC);
  EXPECT_TRUE(std::filesystem::exists(File("Others.IDX")));

  Database->DeleteTable("Others", false);
  EXPECT_FALSE(std::filesystem::exists(File("Others.DAT")));
  EXPECT_FALSE(std::filesystem::exists(File("Others.IDX")));
  EXPECT_ENGINE_ERROR(c.Open("Others"), VELDOR_OSENOENT);
}

TEST_F(TSessionTest, ExclusiveUseAcrossSessionsAndCursors) {
  Create("T", CounterTable()).Close();
  TDataCursor& shared = NewCursor();
  shared.Open("T");
  TDataCursor& second = NewCursor();
  EXPECT_ENGINE_ERROR(second.Open("T", false, true), VELDOR_OSEACCES);
  second.Open("T");  // shared use is fine
  EXPECT_EQ(&second.Table(), &shared.Table());
  EXPECT_EQ(shared.Table().OpenCount(), 2);

  TDataSession other;
  TDataDirectory& db = other.OpenDatabase(Dir.Path());
  {
    TDataCursor foreign(db);
    EXPECT_ENGINE_ERROR(foreign.Open("T", false, true), VELDOR_OSEACCES);
    foreign.Open("T");
    EXPECT_NE(&foreign.Table(), &shared.Table());
  }
  other.CloseDatabase(db);
}

TEST_F(TSessionTest, SessionsSeeEachOthersWrites) {
  TDataCursor& a = Create("T", CounterTable());
  TDataSession otherSession;
  TDataDirectory& db = otherSession.OpenDatabase(Dir.Path());
  {
    TDataCursor b(db);
    b.Open("T");
    EXPECT_NE(&b.Table(), &a.Table());
    TRec r(a);
    for (int i = 1; i <= 3; ++i) {
      r.Init().Int("Value", i * 10);
      a.InsertRecord(r.Bytes());
    }
    // A write takes the write lock, which looks at the files first: B's insert sees A's rows
    // and their keys.
    TRec rb(b);
    rb.Init().Int("Value", 40);
    b.InsertRecord(rb.Bytes());
    EXPECT_EQ(rb.GetInt("ID"), 4);  // A's three RowIds were seen
    EXPECT_EQ(b.RecordCount(), 4);
    // With strict change detection every operation looks at the files.
    Session->SetStrictChangeDetection(true);
    EXPECT_EQ(a.RecordCount(), 4);
    TRec got(a);
    a.Last();
    ASSERT_EQ(a.GetPrior(got.Bytes()), VELDOR_NONE);
    EXPECT_EQ(got.GetInt("Value"), 40);
    // B's uncommitted (in-transaction) changes stay invisible to A.
    db.StartTransaction();
    rb.Init().Int("Value", 50);
    b.InsertRecord(rb.Bytes());
    EXPECT_EQ(b.RecordCount(), 5);
    EXPECT_EQ(a.RecordCount(), 4);
    db.Commit();
    EXPECT_EQ(a.RecordCount(), 5);
  }
  otherSession.CloseDatabase(db);
}

TEST_F(TSessionTest, MemoryDatabase) {
  TDataDirectory& memory = Session->OpenDatabase("MEMORY");
  {
    TDataCursor c(memory);
    c.CreateTable("Scratch", UsersTable(), false);
    c.Open("Scratch");
    TRec r(c);
    r.Init().Str("UserName", "ann");
    c.InsertRecord(r.Bytes());
    EXPECT_EQ(c.RecordCount(), 1);
    c.Close();
    EXPECT_TRUE(memory.TableExists("scratch", false));
    EXPECT_FALSE(std::filesystem::exists(File("Scratch.DAT")));
    c.Open("Scratch");
    EXPECT_EQ(c.RecordCount(), 1);  // in-memory files outlive their handles
    c.Close();
    memory.DeleteTable("Scratch", false);
    EXPECT_FALSE(memory.TableExists("Scratch", false));
  }
  Session->CloseDatabase(memory);
}

TEST_F(TSessionTest, MissingIndexFile) {
  // An empty table gets a fresh, empty index file.
  Create("Empty", CounterTable()).Close();
  std::filesystem::remove(File("Empty.IDX"));
  TDataCursor& c = NewCursor();
  c.Open("Empty");
  EXPECT_TRUE(c.Table().IndexWasMissing());
  EXPECT_TRUE(std::filesystem::exists(File("Empty.IDX")));
  EXPECT_FALSE(c.IndexMode());  // no primary index any more
  c.Close();

  // A table with records must not lose its keys silently.
  TDataCursor& d = Create("Full", CounterTable());
  TRec r(d);
  r.Init().Int("Value", 1);
  d.InsertRecord(r.Bytes());
  d.Close();
  std::filesystem::remove(File("Full.IDX"));
  const EVELDOREngineError e = CatchEngineError([&] { d.Open("Full"); });
  EXPECT_EQ(e.ErrorCode, VELDOR_INDEXCORRUPT);
  EXPECT_EQ(e.ErrorTable, "Full");
  EXPECT_FALSE(std::filesystem::exists(File("Full.IDX")));
  EXPECT_FALSE(d.IsOpen());
}

TEST_F(TSessionTest, IndexBackupAndRestore) {
  TDataCursor& c = Create("T", CounterTable());
  TRec r(c);
  r.Init().Int("Value", 5);
  c.InsertRecord(r.Bytes());
  c.Close();
  const std::string before = ReadWholeFile(File("T.IDX"));
  Database->BackupIndexFile("T", false);
  EXPECT_EQ(ReadWholeFile(File("T.IBK")), before);
  WriteWholeFile(File("T.IDX"), std::string(before.size(), '\0'));
  Database->RestoreIndexFile("T", false, true);
  EXPECT_EQ(ReadWholeFile(File("T.IDX")), before);
  EXPECT_FALSE(std::filesystem::exists(File("T.IBK")));
  c.Open("T");
  EXPECT_EQ(c.RecordCount(), 1);
}

TEST_F(TSessionTest, TemporaryNamesAreUniqueAcrossThreadsAndProcesses) {
  Session->SetPrivateDir(Dir.Path());
  // Names reserved in a child process are skipped here, never handed out twice.
  const pid_t child = fork();
  if (child == 0) {
    TDataSession s;
    s.SetPrivateDir(Dir.Path());
    TDataDirectory& db = s.OpenDatabase(Dir.Path());
    for (int i = 0; i < 20; ++i)
      db.TemporaryTableName(false);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  std::vector<std::string> names(8 * 20);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i)
        names[t * 20 + i] = Database->TemporaryTableName(false);
    });
  }
  for (auto& t : threads)
    t.join();
  std::set<std::string> unique(names.begin(), names.end());
  EXPECT_EQ(unique.size(), names.size());
  std::size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(Dir.Path()))
    files += e.is_regular_file();
  EXPECT_EQ(files, names.size() + 20);  // every name is a reserved data file

  // A reserved name is created over with overwrite, and a temporary table vanishes on close.
  const std::string name = Database->TemporaryTableName(false);
  TDataTable& t = Database->CreateTable(name, false, CounterTable(), true, true, true);
  EXPECT_TRUE(t.Temporary());
  Database->CloseTable(t);
  EXPECT_FALSE(std::filesystem::exists(name));
}

TEST_F(TSessionTest, EpochGuardsAgainstRepeatedChangeCounts) {
  TDataCursor& c = NewCursor();
  c.CreateTable("T", CounterTable(), false);
  c.Open("T", false, true);
  const TChangeCounters before = c.Table().Counters();
  c.EmptyTable();  // the data header's ChangeCount starts again
  const TChangeCounters after = c.Table().Counters();
  EXPECT_NE(before.Epoch, after.Epoch);
  EXPECT_FALSE(before == after);
}

}  // namespace
}  // namespace zorvic::engine::testing
