// The index file on the real file layer: header layout, page I/O, definitions and their limits,
// refresh between sessions, damaged files.
#include <gtest/gtest.h>

#include "FileTestSupport.h"
#include "IndexTestSupport.h"
#include "engine/storage/files/FaultFileSystem.h"
#include "engine/storage/formats/IndexFile.h"

using namespace zorvic::engine;
using namespace zorvic::engine::testing;

namespace {

// Fields: 1 Id Integer, 2 Name String(30), 3 Data Blob, 4 Big String(250), 5 AutoId auto-inc.
std::vector<TIndexFieldInfo> TestFields() {
  return {
      {1, ftInteger, 0, 4, 9, "Id"},
      {2, ftString, 0, 31, 14, "Name"},
      {3, ftBlob, 0, 8, 46, "Data"},
      {4, ftString, 0, 251, 55, "Big"},
      {5, ftInteger, fstAutoInc, 4, 5, "AutoId"},
  };
}
constexpr int kRecordSize = 307;

std::vector<std::uint8_t> MakeRecord(std::int32_t rowId, std::int32_t id, const std::string& name,
                                     std::uint8_t status = 0) {
  std::vector<std::uint8_t> r(kRecordSize, 0);
  r[0] = status;
  PutI32(&r[5], rowId);
  r[9] = 1;
  PutI32(&r[10], id);
  if (!name.empty()) {
    r[14] = 1;
    std::memcpy(&r[15], name.data(), name.size());
  }
  return r;
}

class TVectorRecords : public TRecordSource {
 public:
  std::vector<std::vector<std::uint8_t>> Rows;
  std::int32_t SlotCount() override { return static_cast<std::int32_t>(Rows.size()); }
  const std::uint8_t* Record(std::int32_t n) override { return Rows[n - 1].data(); }
};

TIndexDefinition Def(const std::string& name, std::vector<std::uint16_t> fields,
                     bool unique = false) {
  TIndexDefinition d;
  d.Name = name;
  d.Fields = std::move(fields);
  d.Unique = unique;
  return d;
}

struct IndexFileFixture : ::testing::Test {
  TTempDir dir;
  std::string path = dir.File("T.IDX");
  std::unique_ptr<TIndexFile> Make(bool encrypted = false) {
    auto f = std::make_unique<TIndexFile>(path, false, "T");
    f->SetEncrypted(encrypted);
    f->SetTableFields(TestFields());
    return f;
  }
  // Inserts the keys of a record into every index in use, as the cursor will.
  static void InsertRecord(TIndexFile& f, const std::vector<std::uint8_t>& r, std::int32_t recNo) {
    std::vector<std::uint8_t> key(MaxKeySize);
    for (int slot = 0; slot <= MaxSecondaryIndexes; ++slot) {
      if (!f.Header().SlotInUse(slot)) continue;
      f.KeyBuilder(slot).Build(r.data(), key.data());
      f.Tree(slot).Insert(key.data(), recNo);
    }
    BuildSysDeletedKey(r[0], GetI32(&r[5]), key.data());
    f.Tree(SysDeletedSlot).Insert(key.data(), recNo);
    f.IncrementRecordCount();
  }
  static void Flush(TIndexFile& f) {
    f.WriteModifiedPages();
    f.WriteHeader();
  }
};

TEST_F(IndexFileFixture, NewFileHasTheDocumentedHeader) {
  auto f = Make();
  f->CreateFile();
  f->Close();
  std::string bytes = ReadWholeFile(path);
  ASSERT_EQ(bytes.size(), 4096u);
  auto u = [&](int i) { return static_cast<std::uint8_t>(bytes[i]); };
  EXPECT_EQ(u(0), 1) << "ChangeCount after the first header write";
  EXPECT_EQ(u(8), 5);
  EXPECT_EQ(GetI32(reinterpret_cast<const std::uint8_t*>(&bytes[9])), 1);
  EXPECT_EQ(u(13), 0);
  const int deleted = 14 + 31 * 120;
  EXPECT_EQ(bytes.substr(deleted, 12), std::string("\x0bSys Deleted"));
  EXPECT_EQ(u(deleted + 31), 5);
  EXPECT_EQ(u(deleted + 36), 0);
  const int text = 14 + 32 * 120;
  EXPECT_EQ(bytes.substr(text, 9), std::string("\x08Sys Text"));
  EXPECT_EQ(u(text + 31), 68);
  EXPECT_EQ(u(text + 36), 3);
  for (int i = 3974; i < 4096; ++i)
    EXPECT_EQ(u(i), 0) << i;
}

TEST_F(IndexFileFixture, KeysSurviveWriteAndReopenPlainAndEncrypted) {
  for (bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "plain");
    {
      auto f = Make(encrypted);
      f->CreateFile();
      f->AddPrimaryIndex(Def("", {1}));
      TIndexDefinition byName = Def("ByName", {2});
      byName.NoCase = true;
      byName.Compression = icFull;
      EXPECT_EQ(f->AddSecondaryIndex(byName), 1);
      for (int i = 1; i <= 3000; ++i) {
        InsertRecord(*f, MakeRecord(i, i * 7, "user" + std::to_string(i)), i);
      }
      Flush(*f);
      f->Close();
    }
    std::string bytes = ReadWholeFile(path);
    bool plainName = bytes.find("USER1") != std::string::npos;
    EXPECT_EQ(plainName, !encrypted) << "page bytes are scrambled exactly when encrypted";
    auto g = Make(encrypted);
    g->Open(false);
    g->VerifyHeader();
    EXPECT_EQ(g->RecordCount(), 3000);
    EXPECT_EQ(g->FindIndex("byname"), 1);
    EXPECT_EQ(g->IndexName(0), "Primary");
    std::vector<std::uint8_t> key(64);
    g->KeyBuilder(1).Build(MakeRecord(99, 0, "User1234").data(), key.data());
    // NoCase: the search key of "User1234" finds the record stored as "user1234" (any RowId).
    TTreePosition pos = g->Tree(1).Search(key.data());
    std::int32_t rec = 0;
    std::vector<std::uint8_t> found(64);
    g->Tree(1).ReadEntry(pos.Path.Leaf(), found.data(), &rec);
    EXPECT_EQ(rec, 1234);
    auto check =
        CheckIndexFile(*g, [&](int slot) -> const TKeyCompare& { return g->KeyCompare(slot); });
    EXPECT_TRUE(check.Ok());
    EXPECT_EQ(check.UnownedPages, 0);
    g->Close();
  }
}

TEST_F(IndexFileFixture, ModifiedPagesAreWrittenInAscendingRuns) {
  TFaultFileSystem faults;
  TFileList list(&faults);
  TIndexFile f(path, false, "T", list);
  f.SetTableFields(TestFields());
  f.SetCacheBytes(1 << 20);  // keep every page cached until the flush
  f.CreateFile();
  f.AddPrimaryIndex(Def("", {1}));
  for (int i = 1; i <= 5000; ++i) {
    std::vector<std::uint8_t> key(5);
    f.KeyBuilder(0).Build(MakeRecord(i, i, "").data(), key.data());
    f.Tree(0).Insert(key.data(), i);
  }
  std::int64_t pages = f.Header().NextPageNo() - 1;
  ASSERT_GT(pages, 10);
  std::int64_t before = faults.Writes();
  f.WriteModifiedPages();
  EXPECT_EQ(faults.Writes() - before, 1) << "all pages are consecutive: one write";
  EXPECT_EQ(f.FileSize(), (pages + 1) * 4096);
  EXPECT_FALSE(f.HasModifiedPages());
  f.Close();
}

TEST_F(IndexFileFixture, InsideATransactionFullCachesGrowInsteadOfWriting) {
  auto f = Make();
  f->CreateFile();
  f->AddPrimaryIndex(Def("", {1}));
  ASSERT_EQ(f->CachedPages(0), 0);
  f->SetInTransaction(true);
  for (int i = 1; i <= 4000; ++i) {
    std::vector<std::uint8_t> key(5);
    f->KeyBuilder(0).Build(MakeRecord(i, i, "").data(), key.data());
    f->Tree(0).Insert(key.data(), i);
  }
  EXPECT_EQ(f->FileSize(), 4096) << "nothing written before the commit";
  EXPECT_GT(f->CachedPages(0), 2);
  f->SetInTransaction(false);
  Flush(*f);
  f->TrimCaches();
  EXPECT_LE(f->CachedPages(0), 2);
  EXPECT_EQ(f->Tree(0).KeyCount(), 4000);
  // Outside a transaction the default two pages suffice: modified pages are written to make room.
  for (int i = 4001; i <= 8000; ++i) {
    std::vector<std::uint8_t> key(5);
    f->KeyBuilder(0).Build(MakeRecord(i, i, "").data(), key.data());
    f->Tree(0).Insert(key.data(), i);
  }
  EXPECT_LE(f->CachedPages(0), 8);
  EXPECT_TRUE(CheckIndexTree(*f, 0, f->KeyCompare(0)).Ok());
}

TEST_F(IndexFileFixture, SecondSessionSeesChangesAfterRefresh) {
  auto a = Make();
  a->CreateFile();
  a->AddPrimaryIndex(Def("", {1}));
  a->WriteHeader();
  a->Close();
  a->Open(false);
  auto b = Make();
  b->Open(false);
  EXPECT_FALSE(b->RefreshHeaderIfChanged());
  for (int i = 1; i <= 500; ++i)
    InsertRecord(*a, MakeRecord(i, i, ""), i);
  Flush(*a);
  ASSERT_TRUE(b->RefreshHeaderIfChanged());
  EXPECT_EQ(b->RecordCount(), 500);
  EXPECT_EQ(b->Tree(0).KeyCount(), 500);
  EXPECT_FALSE(b->RefreshHeaderIfChanged());
}

TEST_F(IndexFileFixture, PrimaryIndexDefinitionChecks) {
  auto f = Make();
  f->CreateFile();
  EXPECT_ENGINE_ERROR(f->AddPrimaryIndex(Def("", {3})), VELDOR_SEARCHCOLREQD);
  EXPECT_ENGINE_ERROR(f->AddPrimaryIndex(Def("", {9})), VELDOR_INVALIDIDXDESC);
  std::vector<std::uint16_t> seventeen(17, 1);
  EXPECT_ENGINE_ERROR(f->AddPrimaryIndex(Def("", seventeen)), VELDOR_INDEXLIMIT);
  f->AddPrimaryIndex(Def("", {1, 2}));
  EXPECT_TRUE(f->Header().Descriptor(0).Unique);
  EXPECT_EQ(f->Header().KeySize(0), 5 + 32);
  EXPECT_ENGINE_ERROR(f->AddPrimaryIndex(Def("", {1})), VELDOR_PRIMARYKEYREDEFINE);
  f->RemovePrimaryIndex();
  EXPECT_TRUE(f->Header().NoPrimaryIndex());
  f->AddPrimaryIndex(Def("", {}));
  EXPECT_TRUE(f->Header().NoPrimaryIndex());
  EXPECT_FALSE(f->Header().SlotInUse(0));
}

TEST_F(IndexFileFixture, SecondaryIndexDefinitionChecksInOrder) {
  auto f = Make();
  f->CreateFile();
  EXPECT_ENGINE_ERROR(f->AddSecondaryIndex(Def("", {1})), VELDOR_INDEXNAMEREQUIRED);
  EXPECT_ENGINE_ERROR(f->AddSecondaryIndex(Def("1st", {1})), VELDOR_INVALIDINDEXNAME);
  EXPECT_ENGINE_ERROR(f->AddSecondaryIndex(Def(std::string(31, 'a'), {1})),
                      VELDOR_INVALIDINDEXNAME);
  EXPECT_ENGINE_ERROR(f->AddSecondaryIndex(Def("X", {0})), VELDOR_INVALIDIDXDESC);
  EXPECT_ENGINE_ERROR(f->AddSecondaryIndex(Def("X", {3})), VELDOR_SEARCHCOLREQD);
  EXPECT_ENGINE_ERROR(f->AddSecondaryIndex(Def("X", {})), VELDOR_INVALIDKEY);
  // Two 250-character strings: 2 * 252 = 504 bytes fit; a third field passes 522.
  EXPECT_EQ(f->AddSecondaryIndex(Def("Wide", {4, 4, 1, 1, 1})), 1);
  EXPECT_EQ(f->Header().KeySize(1), 504 + 15 + 4);
  auto e = CatchEngineError([&] { f->AddSecondaryIndex(Def("TooWide", {4, 4, 2})); });
  EXPECT_EQ(e.ErrorCode, VELDOR_INVALIDKEY);
  EXPECT_STREQ(e.what(),
               "VELDOR Engine Error # 10026 Invalid key size specified in the index 'TooWide' for "
               "the table 'T'");
  EXPECT_ENGINE_ERROR(f->AddSecondaryIndex(Def("wIDE", {1})), VELDOR_INDEXEXISTS);
  EXPECT_EQ(f->AddSecondaryIndex(Def("_under", {1})), 2);
  EXPECT_EQ(f->AddSecondaryIndex(Def("\xe9t\xe9", {1})), 3);
  for (int i = 4; i <= 30; ++i)
    EXPECT_EQ(f->AddSecondaryIndex(Def("I" + std::to_string(i), {1})), i);
  EXPECT_ENGINE_ERROR(f->AddSecondaryIndex(Def("Extra", {1})), VELDOR_INDEXLIMIT);
  f->VerifyHeader();
}

TEST_F(IndexFileFixture, DeletingAnIndexMovesLaterOnesDownWithTheirPages) {
  auto f = Make();
  f->CreateFile();
  f->AddSecondaryIndex(Def("A", {1}));
  f->AddSecondaryIndex(Def("B", {2}));
  f->AddSecondaryIndex(Def("C", {1}, true));
  for (int i = 1; i <= 2000; ++i)
    InsertRecord(*f, MakeRecord(i, 5000 - i, "n" + std::to_string(i)), i);
  std::int32_t next = f->Header().NextPageNo();
  f->DeleteSecondaryIndex("a");
  EXPECT_EQ(f->Header().SecondaryCount(), 2);
  EXPECT_EQ(f->FindIndex("B"), 1);
  EXPECT_EQ(f->FindIndex("C"), 2);
  EXPECT_EQ(f->FindIndex("A"), -1);
  EXPECT_EQ(f->Header().NextPageNo(), next);
  for (int slot : {1, 2}) {
    auto check = CheckIndexTree(*f, slot, f->KeyCompare(slot));
    EXPECT_TRUE(check.Ok()) << ProblemsText(check);
    EXPECT_EQ(check.Keys, 2000);
  }
  EXPECT_ENGINE_ERROR(f->DeleteSecondaryIndex("A"), VELDOR_INVALIDINDEXNAME);
  f->RenameIndex("c", "Renamed");
  EXPECT_EQ(f->FindIndex("RENAMED"), 2);
  EXPECT_ENGINE_ERROR(f->RenameIndex("Renamed", "b"), VELDOR_INDEXEXISTS);
  Flush(*f);
  auto files = CheckIndexFile(*f, [&](int s) -> const TKeyCompare& { return f->KeyCompare(s); });
  EXPECT_TRUE(files.Ok());
  EXPECT_GT(files.UnownedPages, 0) << "the deleted index's pages wait for a rebuild";
}

TEST_F(IndexFileFixture, FillingAUniqueIndexOverDuplicatesLeavesNoIndex) {
  auto f = Make();
  f->CreateFile();
  TVectorRecords records;
  for (int i = 1; i <= 300; ++i)
    records.Rows.push_back(MakeRecord(i, i % 250, "x"));
  records.Rows[10][0] = 1;  // a deleted slot is not indexed
  auto e = CatchEngineError([&] { f->AddSecondaryIndex(Def("ById", {1}, true), &records); });
  EXPECT_EQ(e.ErrorCode, VELDOR_KEYVIOL);
  EXPECT_EQ(e.ErrorIndex, "ById");
  EXPECT_EQ(f->Header().SecondaryCount(), 0);
  int slot = f->AddSecondaryIndex(Def("ById", {1}), &records);
  EXPECT_EQ(f->Tree(slot).KeyCount(), 299);
}

TEST_F(IndexFileFixture, HeaderChecksAtFirstOpen) {
  auto f = Make();
  f->CreateFile();
  f->AddPrimaryIndex(Def("", {1}));
  f->AddSecondaryIndex(Def("A", {2}));
  f->AddSecondaryIndex(Def("B", {1}));
  f->WriteHeader();
  f->VerifyHeader();
  auto corrupt = [&](auto change, TErrorCode code) {
    TIndexHeader saved = f->Header();
    change(f->Header());
    EXPECT_ENGINE_ERROR(f->VerifyHeader(), code);
    f->Header() = saved;
  };
  corrupt([](TIndexHeader& h) { h.Bytes[8] = 4; }, VELDOR_OLDVERSION);
  corrupt([](TIndexHeader& h) { h.SetRootPage(1, 99); }, VELDOR_HEADERCORRUPT);
  corrupt([](TIndexHeader& h) { h.SetFreePage(2, -1); }, VELDOR_HEADERCORRUPT);
  corrupt([](TIndexHeader& h) { h.DescriptorBytes(2)[1] = 'a'; }, VELDOR_HEADERCORRUPT);
  corrupt([](TIndexHeader& h) { h.DescriptorBytes(1)[1] = '9'; }, VELDOR_HEADERCORRUPT);
  corrupt([](TIndexHeader& h) { h.DescriptorBytes(0)[idxdesc::kUnique] = 0; },
          VELDOR_HEADERCORRUPT);
  corrupt([](TIndexHeader& h) { PutU16(h.DescriptorBytes(1) + idxdesc::kKeyFields, 3); },
          VELDOR_HEADERCORRUPT);
  corrupt([](TIndexHeader& h) { PutU16(h.DescriptorBytes(1) + idxdesc::kKeyFields + 4, 1); },
          VELDOR_HEADERCORRUPT);
  corrupt([](TIndexHeader& h) { PutU16(h.DescriptorBytes(1) + idxdesc::kKeySize, 600); },
          VELDOR_HEADERCORRUPT);
  corrupt([](TIndexHeader& h) { h.DescriptorBytes(2)[idxdesc::kCompression] = 4; },
          VELDOR_HEADERCORRUPT);
  // A descriptor that does not fit the fields never builds keys.
  f->Header().DescriptorBytes(1)[idxdesc::kKeySize] = 3;
  EXPECT_ENGINE_ERROR(f->KeyLayout(1), VELDOR_HEADERCORRUPT);
}

TEST_F(IndexFileFixture, OpeningChecksVersionAndSecondaryCount) {
  auto f = Make();
  f->CreateFile();
  f->Close();
  std::string bytes = ReadWholeFile(path);
  bytes[13] = 31;
  WriteWholeFile(path, bytes);
  EXPECT_ENGINE_ERROR(f->Open(false), VELDOR_HEADERCORRUPT);
  EXPECT_FALSE(f->IsOpen());
  bytes[13] = 0;
  bytes[8] = 3;
  WriteWholeFile(path, bytes);
  EXPECT_ENGINE_ERROR(f->Open(false), VELDOR_OLDVERSION);
  WriteWholeFile(path, bytes.substr(0, 100));
  EXPECT_ENGINE_ERROR(f->Open(false), VELDOR_HEADERCORRUPT);
}

TEST_F(IndexFileFixture, MissingIndexFileIsRecreatedOnlyForATableWithoutRecords) {
  auto f = Make();
  auto e = CatchEngineError([&] { CreateIndexFileIfMissing(*f, 3); });
  EXPECT_EQ(e.ErrorCode, VELDOR_INDEXCORRUPT);
  EXPECT_EQ(e.ErrorTable, "T");
  EXPECT_FALSE(f->Exists());
  EXPECT_TRUE(CreateIndexFileIfMissing(*f, 0));
  EXPECT_TRUE(f->Exists());
  EXPECT_FALSE(CreateIndexFileIfMissing(*f, 3));
}

TEST_F(IndexFileFixture, EmptyKeepsDefinitionsAndDropsPages) {
  auto f = Make();
  f->CreateFile();
  f->AddPrimaryIndex(Def("", {1}));
  for (int i = 1; i <= 1000; ++i)
    InsertRecord(*f, MakeRecord(i, i, ""), i);
  Flush(*f);
  f->Empty();
  EXPECT_EQ(f->FileSize(), 4096);
  EXPECT_EQ(f->RecordCount(), 0);
  EXPECT_EQ(f->Header().NextPageNo(), 1);
  EXPECT_TRUE(f->Header().SlotInUse(0));
  InsertRecord(*f, MakeRecord(1, 1, ""), 1);
  EXPECT_EQ(f->Tree(0).KeyCount(), 1);
}

}  // namespace
