// Damaged index files: every structural fault is VELDOR_INDEXCORRUPT (8965) or a reported
// problem of the checker, never a crash or an endless walk.
#include <gtest/gtest.h>

#include <random>

#include "FileTestSupport.h"
#include "IndexTestSupport.h"
#include "engine/storage/formats/IndexFile.h"

using namespace zorvic::engine;
using namespace zorvic::engine::testing;

namespace {

constexpr int kKeys = 3000;

std::vector<std::uint8_t> Record(std::int32_t n) {
  std::vector<std::uint8_t> r(60, 0);
  PutI32(&r[5], n);
  r[9] = 1;
  PutI32(&r[10], n * 10);
  r[14] = 1;
  std::string name = "member." + std::to_string(n % 97) + "." + std::to_string(n);
  std::memcpy(&r[15], name.data(), name.size());
  return r;
}

struct DamageFixture : ::testing::Test {
  TTempDir dir;
  std::string path = dir.File("D.IDX");
  std::string pristine;

  std::unique_ptr<TIndexFile> Make() {
    auto f = std::make_unique<TIndexFile>(path, false, "D");
    f->SetTableFields({{1, ftInteger, 0, 4, 9, "Id"}, {2, ftString, 0, 31, 14, "Name"}});
    return f;
  }
  void SetUp() override {
    auto f = Make();
    f->CreateFile();
    TIndexDefinition primary;
    primary.Fields = {1};
    f->AddPrimaryIndex(primary);
    TIndexDefinition names;
    names.Name = "Names";
    names.Fields = {2};
    names.NoCase = true;
    names.Compression = icFull;
    f->AddSecondaryIndex(names);
    std::vector<std::uint8_t> key(64);
    for (int n = 1; n <= kKeys; ++n) {
      for (int slot : {0, 1}) {
        f->KeyBuilder(slot).Build(Record(n).data(), key.data());
        f->Tree(slot).Insert(key.data(), n);
      }
    }
    f->WriteModifiedPages();
    f->WriteHeader();
    f->Close();
    pristine = ReadWholeFile(path);
  }
  // Every page-walking operation the cursor and the tools use; returns the engine error codes
  // met (0 for none). Fails the test on anything but an engine error.
  std::vector<TErrorCode> Exercise(TIndexFile& f, std::mt19937& rng) {
    std::vector<TErrorCode> codes;
    auto run = [&](const std::function<void()>& op) {
      try {
        op();
        codes.push_back(0);
      } catch (const EVELDOREngineError& e) {
        codes.push_back(e.ErrorCode);
      }
    };
    std::vector<std::uint8_t> key(64);
    for (int slot : {0, 1}) {
      run([&] {
        TBTree tree = f.Tree(slot);
        TTreePosition pos;
        if (!tree.SeekFirst(&pos)) return;
        TTreeStep step = pos.Path.Leaf();
        int steps = 0;
        while (tree.StepNext(step))
          ASSERT_LT(++steps, 10 * kKeys) << "endless walk";
      });
      run([&] {
        TTreePosition pos;
        f.Tree(slot).SeekRank(1 + rng() % kKeys, &pos);
      });
      run([&] {
        f.KeyBuilder(slot).Build(Record(1 + rng() % kKeys).data(), key.data());
        f.Tree(slot).Search(key.data());
      });
      run([&] {
        f.KeyBuilder(slot).Build(Record(kKeys + 1 + rng() % 1000).data(), key.data());
        f.Tree(slot).Insert(key.data(), kKeys + 1);
      });
      run([&] {
        f.KeyBuilder(slot).Build(Record(1 + rng() % kKeys).data(), key.data());
        f.Tree(slot).Delete(key.data());
      });
    }
    run([&] { CheckIndexFile(f, [&](int s) -> const TKeyCompare& { return f.KeyCompare(s); }); });
    return codes;
  }
};

TEST_F(DamageFixture, FlippedPageBytesNeverCrash) {
  std::mt19937 rng(4711);
  int errors = 0;
  for (int round = 0; round < 150; ++round) {
    std::string bytes = pristine;
    int flips = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < flips; ++i) {
      std::size_t at = 4096 + rng() % (bytes.size() - 4096);
      bytes[at] = static_cast<char>(bytes[at] ^ (1 + rng() % 255));
    }
    WriteWholeFile(path, bytes);
    auto f = Make();
    f->Open(false);
    SCOPED_TRACE("round " + std::to_string(round));
    for (TErrorCode code : Exercise(*f, rng)) {
      if (code != 0) ++errors;
      EXPECT_TRUE(code == 0 || code == VELDOR_INDEXCORRUPT || code == VELDOR_KEYVIOL) << code;
    }
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(errors, 0);
}

TEST_F(DamageFixture, SiblingCycleIsCaughtByTheWalk) {
  auto f = Make();
  f->Open(false);
  TTreePosition first;
  ASSERT_TRUE(f->Tree(0).SeekFirst(&first));
  std::int32_t firstLeaf = first.Path.Leaf().PageNo;
  TTreePosition last;
  ASSERT_TRUE(f->Tree(0).SeekLast(&last));
  {
    TPinnedPages pins(*f);
    TPage& page = pins.Fetch(0, last.Path.Leaf().PageNo);
    page.Next = firstLeaf;  // the last leaf points back to the first
    page.Modified = true;
  }
  TTreeStep step = first.Path.Leaf();
  int steps = 0;
  EXPECT_ENGINE_ERROR(while (f->Tree(0).StepNext(step)) ASSERT_LT(++steps, 2 * kKeys),
                      VELDOR_INDEXCORRUPT);
  auto check = CheckIndexTree(*f, 0, f->KeyCompare(0));
  EXPECT_FALSE(check.Ok());
}

TEST_F(DamageFixture, FreeListCycleIsRefusedNotReused) {
  auto f = Make();
  f->Open(false);
  // Empty the name index: its pages go to its free list.
  f->Tree(1).FreeAllPages();
  std::int32_t head = f->Header().FreePage(1);
  ASSERT_NE(head, 0);
  std::int32_t second = 0;
  {
    TPinnedPages pins(*f);
    second = pins.Fetch(1, head).Next;
    ASSERT_NE(second, 0);
    TPage& page = pins.Fetch(1, second);
    page.Next = head;  // head -> second -> head
    page.Modified = true;
  }
  auto check = CheckIndexTree(*f, 1, f->KeyCompare(1));
  EXPECT_FALSE(check.Ok());
  std::vector<std::uint8_t> key(64);
  auto insertAll = [&] {
    for (int n = 1; n <= kKeys; ++n) {
      f->KeyBuilder(1).Build(Record(n).data(), key.data());
      f->Tree(1).Insert(key.data(), n);
    }
  };
  EXPECT_ENGINE_ERROR(insertAll(), VELDOR_INDEXCORRUPT);
}

TEST_F(DamageFixture, WrongCountsAndSelfReferencesAreCorruption) {
  auto f = Make();
  f->Open(false);
  std::int32_t root = f->Header().RootPage(0);
  {
    TPinnedPages pins(*f);
    TPage& page = pins.Fetch(0, root);
    ASSERT_FALSE(page.IsLeaf());
    page.SetSubtreeCount(0, page.SubtreeCount(0) + 5);
    page.Modified = true;
  }
  auto check = CheckIndexTree(*f, 0, f->KeyCompare(0));
  EXPECT_FALSE(check.Ok());
  TTreePosition pos;
  // The first child now claims 5 keys it does not hold: a rank inside that gap is corruption.
  std::int64_t firstCount = 0;
  {
    TPinnedPages pins(*f);
    firstCount = pins.Fetch(0, root).SubtreeCount(0);
  }
  EXPECT_ENGINE_ERROR(f->Tree(0).SeekRank(firstCount, &pos), VELDOR_INDEXCORRUPT);
  {
    TPinnedPages pins(*f);
    TPage& page = pins.Fetch(0, root);
    page.SetValue(page.Count() - 1, root);  // a child that is the root itself
    page.Modified = true;
  }
  std::vector<std::uint8_t> key(64);
  f->KeyBuilder(0).Build(Record(kKeys).data(), key.data());
  EXPECT_ENGINE_ERROR(f->Tree(0).Search(key.data()), VELDOR_INDEXCORRUPT);
  EXPECT_ENGINE_ERROR(f->Tree(0).Delete(key.data()), VELDOR_INDEXCORRUPT);
  EXPECT_ENGINE_ERROR(f->Tree(0).FreeAllPages(), VELDOR_INDEXCORRUPT);
}

TEST_F(DamageFixture, PagesBeyondTheFileOrCountAreCorruption) {
  std::string bytes = pristine;
  // The header claims more pages than the file holds.
  PutI32(reinterpret_cast<std::uint8_t*>(&bytes[9]),
         GetI32(reinterpret_cast<std::uint8_t*>(&bytes[9])) + 50);
  WriteWholeFile(path, bytes.substr(0, bytes.size() - 4096));
  auto f = Make();
  f->Open(false);
  std::mt19937 rng(1);
  auto codes = Exercise(*f, rng);
  EXPECT_NE(std::find(codes.begin(), codes.end(), VELDOR_INDEXCORRUPT), codes.end());
  // An entry count beyond what fits.
  bytes = pristine;
  PutU16(reinterpret_cast<std::uint8_t*>(&bytes[4096 + 1]), 4000);
  WriteWholeFile(path, bytes);
  auto g = Make();
  g->Open(false);
  auto fetchFirstPage = [&] {
    TPinnedPages pins(*g);
    pins.Fetch(0, 1);
  };
  EXPECT_ENGINE_ERROR(fetchFirstPage(), VELDOR_INDEXCORRUPT);
}

}  // namespace
