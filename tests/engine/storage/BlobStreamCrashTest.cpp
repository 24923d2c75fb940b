// Streamed BLOB values and crashes: an insert whose value is written block by block, stopped
// dead at any write, and a power loss during COMMIT FLUSH of a transaction that streamed a
// value, leave the table sound with the value whole or absent, and whole when the commit
// returned.
#include <gtest/gtest.h>

#include <string>

#include "engine/storage/LockTestSupport.h"
#include "engine/storage/files/FaultFileSystem.h"
#include "engine/storage/formats/BlobSource.h"
#include "engine/storage/sessions/TableAccess.h"

namespace zorvic::engine::testing {
namespace {

class TBlobStreamCrashTest : public ::testing::Test {
 protected:
  TBlobStreamCrashTest() { InstallFileSystem(&Faults); }
  ~TBlobStreamCrashTest() override {
    Faults.ClearFaults();
    InstallFileSystem(nullptr);
  }

  struct TUse {
    explicit TUse(const std::string& dir) {
      Session = std::make_unique<TDataSession>();
      Database = &Session->OpenDatabase(dir);
      Cursor = std::make_unique<TDataCursor>(*Database);
    }
    ~TUse() {
      Cursor.reset();
      try {
        Session->CloseDatabase(*Database);
      } catch (...) {
      }
    }
    std::unique_ptr<TDataSession> Session;
    TDataDirectory* Database = nullptr;
    std::unique_ptr<TDataCursor> Cursor;
  };

  static std::string Value(char fill) {
    std::string v(100000, fill);  // 2174 blocks of 64 bytes: two runs of writes
    for (std::size_t i = 0; i < v.size(); i += 997)
      v[i] = static_cast<char>(i);
    return v;
  }

  void Populate() {
    TUse use(Dir.Path());
    TTableCreation def;
    def.Table.Fields = {Fld("ID", ftInteger, 0, fstAutoInc), Fld("Data", ftBlob)};
    def.Table.BlobBlockSize = 64;
    def.Primary = Idx("", {1}, true);
    use.Cursor->CreateTable("S", def, false);
    use.Cursor->Open("S");
    Insert(*use.Cursor, Value('a'));
  }
  static void Insert(TDataCursor& c, const std::string& value) {
    TRec r(c);
    r.Init();
    c.SetBlobSource(r.Bytes(), 2,
                    std::make_shared<TCallbackBlobSource>(
                        static_cast<std::int64_t>(value.size()),
                        [&value](std::int64_t at, void* out, std::int64_t n) -> std::int64_t {
                          std::memcpy(out, value.data() + at, static_cast<std::size_t>(n));
                          return n;
                        }));
    c.InsertRecord(r.Bytes());
  }
  // The values of the table in key order, after checking its files.
  std::vector<std::string> Inspect(const std::string& context) {
    std::vector<std::string> values;
    {
      TUse use(Dir.Path());
      TDataCursor& c = *use.Cursor;
      c.Open("S");
      TRec r(c);
      c.First();
      while (c.GetNext(r.Bytes()) == VELDOR_NONE) {
        c.OpenBlob(r.Bytes(), 2, TBlobOpenMode::bmRead);
        std::int64_t size = 0;
        c.BlobSize(r.Bytes(), 2, &size);
        std::string v(static_cast<std::size_t>(size), '\0');
        std::int64_t got = 0;
        EXPECT_EQ(c.ReadBlob(r.Bytes(), 2, 0, v.data(), size, &got), VELDOR_NONE) << context;
        c.FreeBlob(r.Bytes(), 2);
        values.push_back(v);
      }
      EXPECT_EQ(CheckTable(c.Table()), std::vector<std::string>{}) << context;
    }
    TTableAccess access(Dir.Path(), "S");
    access.Open(true);
    EXPECT_EQ(access.Check(), std::vector<std::string>{}) << context;
    return values;
  }
  std::map<std::string, std::string> SaveFiles() {
    std::map<std::string, std::string> files;
    for (const char* name : {"S.DAT", "S.IDX", "S.BLB"})
      files[name] = ReadWholeFile(Dir.File(name));
    return files;
  }
  void RestoreFiles(const std::map<std::string, std::string>& files) {
    for (const auto& [name, bytes] : files)
      WriteWholeFile(Dir.File(name), bytes);
  }

  TFaultFileSystem Faults;
  TTempDir Dir;
};

TEST_F(TBlobStreamCrashTest, AStreamedInsertStoppedAtAnyWriteIsWholeOrAbsent) {
  Populate();
  const auto start = SaveFiles();
  const std::vector<std::string> before = {Value('a')};
  const std::vector<std::string> after = {Value('a'), Value('b')};
  ASSERT_EQ(Inspect("before"), before);
  const std::string value = Value('b');
  for (std::int64_t n = 0;; ++n) {
    RestoreFiles(start);
    bool done = false;
    {
      TUse use(Dir.Path());
      use.Cursor->Open("S");
      Faults.CrashAfter(n);
      try {
        Insert(*use.Cursor, value);
        done = true;
      } catch (const EVELDOREngineError&) {
      }
    }
    const bool crashed = Faults.Crashed();
    Faults.ClearFaults();
    const std::string context = "insert stopped after " + std::to_string(n);
    const auto seen = Inspect(context);
    if (done) {
      EXPECT_EQ(seen, after) << context;
    }
    EXPECT_TRUE(seen == before || seen == after) << context;
    if (!crashed) break;
    ASSERT_LT(n, 200);
  }
}

TEST_F(TBlobStreamCrashTest, PowerLossDuringCommitFlushKeepsAStreamedValueItReturnedFor) {
  Populate();
  const auto start = SaveFiles();
  const std::vector<std::string> before = {Value('a')};
  const std::vector<std::string> after = {Value('a'), Value('c')};
  const std::string value = Value('c');
  for (std::int64_t n = 0;; ++n) {
    RestoreFiles(start);
    Faults.ForgetUnsynced();
    bool committed = false;
    bool crashed = false;
    {
      TUse use(Dir.Path());
      use.Cursor->Open("S");
      use.Database->StartTransaction();
      Faults.CrashAfter(n);
      try {
        Insert(*use.Cursor, value);
        use.Database->Commit(true, true);
        committed = true;
      } catch (const EVELDOREngineError&) {
      }
      crashed = Faults.Crashed();
      Faults.SimulateCrash();
    }
    Faults.ClearFaults();
    const std::string context = "power lost after " + std::to_string(n) + " changes";
    const auto seen = Inspect(context);
    if (committed) {
      EXPECT_EQ(seen, after) << context;
    }
    EXPECT_TRUE(seen == before || seen == after) << context;
    if (!crashed) break;
    ASSERT_LT(n, 200);
  }
}

}  // namespace
}  // namespace zorvic::engine::testing
