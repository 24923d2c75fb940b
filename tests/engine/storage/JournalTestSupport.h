// Helpers for the crash tests of exclusive tables and transactions: a table with memo values,
// sessions with small caches (so that loads write to make room), the table as text, and
// copies of its files to start every round from.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/LockTestSupport.h"
#include "engine/storage/files/FaultFileSystem.h"
#include "engine/storage/sessions/TableAccess.h"

namespace zorvic::engine::testing {

class TJournalTestBase : public ::testing::Test {
 protected:
  TJournalTestBase() { InstallFileSystem(&Faults); }
  ~TJournalTestBase() override {
    Faults.ClearFaults();
    InstallFileSystem(nullptr);
  }

  static TTableCreation NotesTable() {
    TTableCreation def;
    def.Table.Fields = {Fld("ID", ftInteger, 0, fstAutoInc), Fld("Value", ftInteger),
                        Fld("Memo", ftBlob, 0, fstMemo)};
    def.Table.BlobBlockSize = 64;
    def.Primary = Idx("", {1}, true);
    def.Secondary = {Idx("ByValue", {2}, false)};
    return def;
  }

  static std::string MemoText(int value, int round) {
    std::string text = "memo " + std::to_string(value) + "/" + std::to_string(round) + ":";
    text.append(static_cast<std::size_t>((value * 37 + round * 11) % 300), 'a' + value % 26);
    return text;
  }

  // One session and database; caches small enough that a few dozen rows overflow them.
  struct TUse {
    explicit TUse(const std::string& dir, bool smallCaches = false, bool forceFlush = false) {
      Session = std::make_unique<TDataSession>();
      TSessionSettings s = Session->Settings();
      if (smallCaches) {
        s.RecordCacheBytes = 512;
        s.RecordCacheCount = 4;
        s.IndexCacheBytes = 4096;
        s.BlobCacheBytes = 1024;
        s.BlobCacheCount = 4;
      }
      s.ForceBufferFlush = forceFlush;
      Session->SetSettings(s);
      Database = &Session->OpenDatabase(dir);
    }
    ~TUse() {
      Cursors.clear();
      try {
        Session->CloseDatabase(*Database);
      } catch (...) {
      }
    }
    TDataCursor& Open(const std::string& name, bool exclusive = false) {
      Cursors.push_back(std::make_unique<TDataCursor>(*Database));
      Cursors.back()->Open(name, false, exclusive);
      return *Cursors.back();
    }
    std::unique_ptr<TDataSession> Session;
    TDataDirectory* Database = nullptr;
    std::vector<std::unique_ptr<TDataCursor>> Cursors;
  };

  static void SetMemo(TDataCursor& c, TRec& r, const std::string& text) {
    const std::uint32_t field = r.No("Memo");
    c.OpenBlob(r.Bytes(), field, TBlobOpenMode::bmWrite);
    c.TruncateBlob(r.Bytes(), field, 0);
    c.WriteBlob(r.Bytes(), field, 0, text.data(), static_cast<std::int64_t>(text.size()));
  }
  static std::string GetMemo(TDataCursor& c, TRec& r) {
    const std::uint32_t field = r.No("Memo");
    c.OpenBlob(r.Bytes(), field, TBlobOpenMode::bmRead);
    std::int64_t size = 0;
    c.BlobSize(r.Bytes(), field, &size);
    std::string out(static_cast<std::size_t>(size), '\0');
    std::int64_t got = 0;
    c.ReadBlob(r.Bytes(), field, 0, out.data(), size, &got);
    c.FreeBlob(r.Bytes(), field);
    return out;
  }
  static std::string Image(TDataCursor& c) {
    std::string out;
    TRec r(c);
    c.First();
    while (c.GetNext(r.Bytes()) == VELDOR_NONE)
      out += std::to_string(r.GetInt("ID")) + "=" + std::to_string(r.GetInt("Value")) + ":" +
             GetMemo(c, r) + "\n";
    return out;
  }
  static bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
  }

  // Creates table A with rows 1..12, committed.
  void Populate() {
    TUse use(Dir.Path());
    {
      TDataCursor c(*use.Database);
      c.CreateTable("A", NotesTable(), false);
    }
    TDataCursor& c = use.Open("A");
    use.Database->StartTransaction();
    for (int v = 1; v <= 12; ++v) {
      TRec r(c);
      r.Init().Int("Value", v);
      SetMemo(c, r, MemoText(v, 0));
      c.InsertRecord(r.Bytes());
    }
    use.Database->Commit(true, true);
  }

  // Opens A in a fresh session (which plays back what it finds), checks it, returns its image.
  std::string Inspect(const std::string& context) {
    std::string image;
    {
      TUse use(Dir.Path());
      TDataCursor& a = use.Open("A");
      image = Image(a);
      EXPECT_EQ(CheckTable(a.Table()), std::vector<std::string>{}) << context;
    }
    TTableAccess access(Dir.Path(), "A");
    access.Open(true);
    EXPECT_EQ(access.Check(), std::vector<std::string>{}) << context;
    EXPECT_FALSE(FileExists(Dir.File("A.JNL"))) << context;
    EXPECT_FALSE(FileExists(Dir.File("A.JNX"))) << context;
    return image;
  }

  std::map<std::string, std::string> SaveFiles() {
    std::map<std::string, std::string> files;
    for (const char* name : {"A.DAT", "A.IDX", "A.BLB"})
      files[name] = ReadWholeFile(Dir.File(name));
    return files;
  }
  void RestoreFiles(const std::map<std::string, std::string>& files) {
    for (const auto& [name, bytes] : files)
      WriteWholeFile(Dir.File(name), bytes);
    ::unlink(Dir.File("A.JNX").c_str());
    ::unlink(Dir.File("A.JNL").c_str());
  }

  TFaultFileSystem Faults;
  TTempDir Dir;
};

}  // namespace zorvic::engine::testing
