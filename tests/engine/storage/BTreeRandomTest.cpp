// Randomized runs of the tree against a reference set, with the structural checker run every
// so many operations. Set ZORVIC_TEST_SEED to replay a failing seed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "IndexTestSupport.h"

using namespace zorvic::engine;
using namespace zorvic::engine::testing;

namespace {

enum class KeyKind { Integer, UserName };

struct RandomCase {
  KeyKind Kind;
  std::uint8_t Compression;
};

std::string CaseName(const ::testing::TestParamInfo<RandomCase>& info) {
  static const char* kCompression[] = {"None", "DupBytes", "TrailBytes", "Full"};
  return std::string(info.param.Kind == KeyKind::Integer ? "Integer" : "UserName") +
         kCompression[info.param.Compression];
}

std::uint32_t SeedFromEnvironment(std::uint32_t fallback) {
  const char* text = std::getenv("ZORVIC_TEST_SEED");
  return text != nullptr ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : fallback;
}

// A user-name key: a String field of 30 characters in a case-insensitive, non-unique index.
TKeyLayout UserNameLayout() {
  TKeyLayout layout;
  layout.Slot = 2;
  layout.Unique = false;
  layout.NoCase = true;
  TKeyField f;
  f.Field.FieldNo = 1;
  f.Field.DataType = 1;
  f.Field.PhysSize = 31;
  f.Field.Offset = 9;
  layout.Fields.push_back(f);
  layout.KeySize = static_cast<std::uint16_t>(layout.FieldBytes() + 4);
  return layout;
}

std::string RandomUserName(std::mt19937& rng) {
  static const char* kStems[] = {"anna",  "Bernd", "carla", "DIETER", "eva",
                                 "Frank", "greta", "hans",  "Ingrid", "jan"};
  std::string name = kStems[rng() % 10];
  name += '.';
  int letters = 3 + static_cast<int>(rng() % 12);
  for (int i = 0; i < letters; ++i) {
    char c = static_cast<char>((rng() % 2 ? 'a' : 'A') + rng() % 26);
    name += c;
  }
  return name;
}

class BTreeRandom : public ::testing::TestWithParam<RandomCase> {};

TEST_P(BTreeRandom, InsertDeleteInsertKeepsEveryInvariant) {
  const RandomCase param = GetParam();
  const std::uint32_t seed = SeedFromEnvironment(20240611u + param.Compression * 31 +
                                                 (param.Kind == KeyKind::Integer ? 0 : 7));
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set ZORVIC_TEST_SEED to replay)");
  std::mt19937 rng(seed);

  TKeyLayout layout = param.Kind == KeyKind::Integer ? IntegerLayout(2, true) : UserNameLayout();
  TKeyCompare compare(layout);
  TKeyBuilder builder(layout);
  TMemoryPageStore store(256);  // smaller than the tree: pages keep being packed and re-read
  store.DefineIndex(1, 5, icNone, true, false, "Other");  // a neighbour index sharing the file
  store.DefineIndex(2, layout.KeySize, param.Compression, layout.Unique, false, "Keys");
  TKeyCompare otherCompare(IntegerLayout(1, true));

  auto less = [&](const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    return compare(a.data(), b.data()) < 0;
  };
  std::set<std::vector<std::uint8_t>, decltype(less)> reference(less);
  std::vector<std::vector<std::uint8_t>> present;  // for picking random deletes

  std::int32_t nextRowId = 1;
  auto makeKey = [&]() {
    std::vector<std::uint8_t> record(41, 0);
    std::int32_t rowId = nextRowId++;
    PutI32(&record[5], rowId);
    record[9] = 1;
    if (param.Kind == KeyKind::Integer) {
      // Distinct values in random order: a multiplicative scramble of the row id.
      std::int32_t value = static_cast<std::int32_t>(
          (static_cast<std::uint32_t>(rowId) * 2654435761u) ^ 0x5bd1e995u);
      PutI32(&record[10], value);
    } else {
      std::string name = RandomUserName(rng);
      std::memcpy(&record[10], name.data(), name.size());
    }
    std::vector<std::uint8_t> key(layout.KeySize);
    builder.Build(record.data(), key.data());
    return std::make_pair(key, rowId);
  };

  // The neighbour index interleaves its pages with ours.
  TBTree other(store, 1, otherCompare);
  TKeyLayout otherLayout = IntegerLayout(1, true);

  TBTree tree(store, 2, compare);
  std::int64_t ops = 0;
  // The checker walks the whole tree; every 1,000 operations keeps the run moderate under
  // AddressSanitizer.
  const int checkEvery = 1000;
  auto check = [&]() {
    TTreeCheck c = CheckIndexTree(store, 2, compare);
    ASSERT_TRUE(c.Ok()) << "after " << ops << " operations: " << ProblemsText(c);
    ASSERT_EQ(c.Keys, static_cast<std::int64_t>(reference.size())) << "after " << ops;
    ASSERT_EQ(tree.KeyCount(), static_cast<std::int64_t>(reference.size()));
    ASSERT_TRUE(store.PinsReleased());
  };
  auto insertMany = [&](int n) {
    for (int i = 0; i < n; ++i) {
      auto [key, rowId] = makeKey();
      tree.Insert(key.data(), rowId);
      if (rowId % 97 == 0) other.Insert(IntegerKey(otherLayout, rowId).data(), rowId);
      reference.insert(key);
      present.push_back(key);
      if (++ops % checkEvery == 0) {
        check();
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  };
  auto deleteMany = [&](int n) {
    for (int i = 0; i < n; ++i) {
      std::size_t pick = rng() % present.size();
      std::swap(present[pick], present.back());
      std::vector<std::uint8_t> key = present.back();
      present.pop_back();
      tree.Delete(key.data());
      reference.erase(key);
      if (++ops % checkEvery == 0) {
        check();
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  };

  insertMany(100000);
  ASSERT_FALSE(HasFatalFailure());
  // The 50,000th key by rank is the reference's 50,000th.
  TTreePosition pos;
  ASSERT_TRUE(tree.SeekRank(50000, &pos));
  std::vector<std::uint8_t> key(layout.KeySize);
  std::int32_t rec = 0;
  tree.ReadEntry(pos.Path.Leaf(), key.data(), &rec);
  EXPECT_EQ(key, *std::next(reference.begin(), 49999));
  EXPECT_EQ(tree.Search(key.data()).Rank, 50000);

  deleteMany(50000);
  ASSERT_FALSE(HasFatalFailure());
  insertMany(50000);
  ASSERT_FALSE(HasFatalFailure());
  check();

  // Final walk through the leaf links gives exactly the reference order.
  ASSERT_TRUE(tree.SeekFirst(&pos));
  TTreeStep step = pos.Path.Leaf();
  auto it = reference.begin();
  std::size_t walked = 0;
  do {
    tree.ReadEntry(step, key.data(), &rec);
    ASSERT_TRUE(it != reference.end());
    ASSERT_EQ(key, *it) << "at " << walked;
    ++it;
    ++walked;
  } while (tree.StepNext(step));
  EXPECT_EQ(walked, reference.size());
  TTreeCheck neighbour = CheckIndexTree(store, 1, otherCompare);
  EXPECT_TRUE(neighbour.Ok()) << ProblemsText(neighbour);
}

INSTANTIATE_TEST_SUITE_P(Cases, BTreeRandom,
                         ::testing::Values(RandomCase{KeyKind::Integer, icNone},
                                           RandomCase{KeyKind::Integer, icDuplicateBytes},
                                           RandomCase{KeyKind::Integer, icTrailingBytes},
                                           RandomCase{KeyKind::Integer, icFull},
                                           RandomCase{KeyKind::UserName, icNone},
                                           RandomCase{KeyKind::UserName, icDuplicateBytes},
                                           RandomCase{KeyKind::UserName, icTrailingBytes},
                                           RandomCase{KeyKind::UserName, icFull}),
                         CaseName);

}  // namespace
