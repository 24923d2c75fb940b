// Page packing: the three leaf compressions round-trip, what they leave out, and how damaged
// page bytes are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "IndexTestSupport.h"

using namespace zorvic::engine;
using namespace zorvic::engine::testing;

namespace {

TPageShape Shape(std::uint16_t k, std::uint8_t compression, bool unique) {
  TPageShape s;
  s.KeySize = k;
  s.Compression = compression;
  s.Unique = unique;
  return s;
}

// Sorted random keys with shared prefixes, zero tails and (for non-unique shapes) a suffix.
std::vector<std::vector<std::uint8_t>> SortedKeys(std::mt19937& rng, int k, int n) {
  std::vector<std::vector<std::uint8_t>> keys;
  for (int i = 0; i < n; ++i) {
    std::vector<std::uint8_t> key(k, 0);
    int body = 1 + static_cast<int>(rng() % k);
    for (int j = 0; j < body; ++j)
      key[j] = static_cast<std::uint8_t>(j < 3 ? 'A' : rng() % 4);
    for (int j = k - 4; j < k; ++j)
      key[j] = static_cast<std::uint8_t>(rng() % 2 ? 0 : rng());
    keys.push_back(key);
  }
  // Compared byte by byte on purpose: GCC 12 at -O2 sees the inlined memcmp of the vectors'
  // own comparison with a size range it cannot bound and reports a false -Wstringop-overread.
  auto less = [](const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i)
      if (a[i] != b[i]) return a[i] < b[i];
    return a.size() < b.size();
  };
  auto same = [&less](const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    return !less(a, b) && !less(b, a);
  };
  std::sort(keys.begin(), keys.end(), less);
  keys.erase(std::unique(keys.begin(), keys.end(), same), keys.end());
  return keys;
}

TEST(IndexPage, EveryCompressionRoundTrips) {
  std::mt19937 rng(99);
  for (int compression = 0; compression <= 3; ++compression) {
    for (bool unique : {true, false}) {
      for (int k : {5, 9, 36, 300}) {
        SCOPED_TRACE("compression " + std::to_string(compression) + " unique " +
                     std::to_string(unique) + " key " + std::to_string(k));
        TPageShape shape = Shape(static_cast<std::uint16_t>(k), compression, unique);
        TPage page;
        page.Reset(1, 5, shape);
        page.Prev = 3;
        page.Next = 4;
        auto keys = SortedKeys(rng, k, 2000);
        for (const auto& key : keys) {
          if (page.OverfullAfterInsert(page.Count(), key.data())) break;
          page.Insert(page.Count(), key.data(), page.Count() + 1);
          ASSERT_FALSE(page.Overfull());
        }
        ASSERT_GT(page.Count(), 0);
        std::uint8_t bytes[4096];
        page.Pack(bytes);
        TPage back;
        back.Reset(1, 5, shape);
        ASSERT_TRUE(back.Unpack(bytes, 10));
        ASSERT_EQ(back.Count(), page.Count());
        EXPECT_EQ(back.PackedSize(), page.PackedSize());
        EXPECT_EQ(back.Prev, 3);
        EXPECT_EQ(back.Next, 4);
        for (int i = 0; i < page.Count(); ++i) {
          ASSERT_EQ(0, std::memcmp(back.Key(i), page.Key(i), k)) << i;
          ASSERT_EQ(back.Value(i), i + 1);
        }
        std::uint8_t again[4096];
        back.Pack(again);
        EXPECT_EQ(0, std::memcmp(bytes, again, 4096));
      }
    }
  }
}

TEST(IndexPage, TrailingZerosStopBeforeTheRowIdSuffix) {
  TPage page;
  page.Reset(1, 1, Shape(12, icTrailingBytes, false));
  std::vector<std::uint8_t> key = {'A', 'B', 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0};
  page.Insert(0, key.data(), 7);
  std::uint8_t bytes[4096];
  page.Pack(bytes);
  const std::uint8_t* e = bytes + 13;
  EXPECT_EQ(e[0], 6) << "t counts the zeros before the suffix only";
  EXPECT_EQ(e[1], 'A');
  EXPECT_EQ(e[2], 'B');
  EXPECT_EQ(e[3], 0x80) << "the suffix is kept whole, zeros included";
  EXPECT_EQ(GetI32(e + 7), 7);
  EXPECT_EQ(page.PackedSize(), 1 + 2 + 4 + 4);
  // Full compression: after d the remaining bytes keep their suffix; fewer than 5 left: no t.
  TPage full;
  full.Reset(1, 1, Shape(12, icFull, false));
  std::vector<std::uint8_t> next = key;
  next[11] = 1;
  full.Insert(0, key.data(), 1);
  full.Insert(1, next.data(), 2);
  full.Pack(bytes);
  const std::uint8_t* second = bytes + 13 + (2 + 2 + 4 + 4);
  EXPECT_EQ(second[0], 11);
  EXPECT_EQ(second[1], 0);
  EXPECT_EQ(second[2], 1);
}

TEST(IndexPage, CompressedLeafOfLongSharedPrefixesHoldsMoreThanAnUncompressedOne) {
  const int k = 200;
  TPage page;
  page.Reset(1, 1, Shape(k, icFull, true));
  int n = 0;
  while (true) {
    std::vector<std::uint8_t> key(k, 0);
    std::memset(key.data(), 'x', 150);
    key[150] = static_cast<std::uint8_t>(n >> 8);
    key[151] = static_cast<std::uint8_t>(n);
    if (page.OverfullAfterInsert(page.Count(), key.data())) break;
    page.Insert(page.Count(), key.data(), n + 1);
    ++n;
  }
  EXPECT_GT(n, 4083 / (k + 4));
  EXPECT_GT(n, 300);
}

TEST(IndexPage, DamagedBytesAreRefused) {
  TPageShape leafShape = Shape(9, icFull, true);
  TPage good;
  good.Reset(1, 2, leafShape);
  for (int i = 0; i < 20; ++i) {
    std::vector<std::uint8_t> key(9, 0);
    key[0] = 'K';
    key[1] = static_cast<std::uint8_t>(i);
    good.Insert(i, key.data(), i + 1);
  }
  std::uint8_t bytes[4096];
  good.Pack(bytes);
  auto refused = [&](auto damage, const TPageShape& shape = Shape(9, icFull, true)) {
    std::uint8_t copy[4096];
    std::memcpy(copy, bytes, 4096);
    damage(copy);
    TPage page;
    page.Reset(1, 2, shape);
    return !page.Unpack(copy, 100);
  };
  EXPECT_FALSE(refused([](std::uint8_t*) {}));
  EXPECT_TRUE(refused([](std::uint8_t* p) { p[0] = 5; })) << "type byte";
  EXPECT_TRUE(refused([](std::uint8_t* p) { PutI32(p + 3, 100); })) << "previous page";
  EXPECT_TRUE(refused([](std::uint8_t* p) { PutI32(p + 7, -2); })) << "next page";
  EXPECT_TRUE(refused([](std::uint8_t* p) { PutU16(p + 11, 4084); })) << "packed size";
  EXPECT_TRUE(refused([](std::uint8_t* p) { PutU16(p + 11, GetU16(p + 11) - 1); }));
  EXPECT_TRUE(refused([](std::uint8_t* p) { PutU16(p + 1, 21); })) << "count past the bytes";
  EXPECT_TRUE(refused([](std::uint8_t* p) { PutU16(p + 1, 60000); })) << "huge count";
  EXPECT_TRUE(refused([](std::uint8_t* p) { p[13] = 1; })) << "d on the first entry";
  EXPECT_TRUE(refused([](std::uint8_t* p) { p[14] = 200; })) << "t beyond the key";
  EXPECT_TRUE(refused([](std::uint8_t* p) { PutI32(p + 13 + 3, 0); })) << "record number 0";
  // Nodes: entry count above the maximum, child outside the file.
  TPageShape nodeShape = Shape(9, icFull, true);
  TPage node;
  node.Reset(1, 2, nodeShape);
  node.Type = ptRootNode;
  std::vector<std::uint8_t> key(9, 1);
  node.Insert(0, key.data(), 50, 10);
  node.Pack(bytes);
  EXPECT_FALSE(refused([](std::uint8_t*) {}, nodeShape));
  EXPECT_TRUE(refused([](std::uint8_t* p) { PutI32(p + 13 + 9, 100); }, nodeShape)) << "child";
  EXPECT_TRUE(refused([](std::uint8_t* p) { PutI32(p + 13 + 9, 0); }, nodeShape)) << "child 0";
  EXPECT_TRUE(refused([](std::uint8_t* p) { PutU16(p + 1, 4083 / 17 + 1); }, nodeShape));
  EXPECT_TRUE(refused([](std::uint8_t* p) { PutU16(p + 11, 3); }, nodeShape)) << "packed size";
}

}  // namespace

// A page's shape read from the header's descriptor bytes is the one its unpacked descriptor
// gives, for every slot and every flag.
TEST(IndexPage, ShapeFromTheHeaderBytesIsTheDescriptorsShape) {
  TIndexHeader header;
  header.InitNew();
  std::mt19937 rng(7);
  for (int round = 0; round < 64; ++round) {
    for (int slot = 0; slot < IndexSlotCount; ++slot) {
      TIndexDescriptor d = header.Descriptor(slot);
      d.KeySize = static_cast<std::uint16_t>(1 + rng() % MaxKeySize);
      d.Compression = static_cast<std::uint8_t>(rng() % 4);
      d.Unique = rng() % 2 != 0;
      d.NoSubtreeCounts = rng() % 2 != 0;
      d.Descending = rng() % 2 != 0;
      header.SetDescriptor(slot, d);
      EXPECT_EQ(TPageShape::Of(slot, header), TPageShape::Of(slot, header.Descriptor(slot)))
          << "slot " << slot;
    }
  }
}
