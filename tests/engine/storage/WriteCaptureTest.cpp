// The held-back writes of a file: whatever mix of copied writes, buffers handed over and cuts
// a write makes, the pieces hold exactly the bytes the file would hold, disjoint and in order.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "engine/storage/locks/Journal.h"

using namespace zorvic::engine;

namespace {

// The file's bytes as the pieces describe them (a file that was empty before the write).
std::vector<std::uint8_t> ContentOf(const TWriteCapture& capture) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(capture.Size()), 0);
  std::int64_t end = 0;
  for (const auto& [offset, bytes] : capture.Pieces()) {
    EXPECT_GE(offset, end) << "pieces overlap";
    EXPECT_FALSE(bytes.empty());
    EXPECT_LE(offset + static_cast<std::int64_t>(bytes.size()), capture.Size());
    std::copy(bytes.begin(), bytes.end(), out.begin() + offset);
    end = offset + static_cast<std::int64_t>(bytes.size());
  }
  return out;
}

TEST(WriteCaptureTest, CopiedAndHandedOverWritesAndCutsMatchAModel) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 40; ++round) {
    TWriteCapture capture(0);
    std::vector<std::uint8_t> model;
    for (int step = 0; step < 200; ++step) {
      const std::int64_t offset = static_cast<std::int64_t>(rng() % 300);
      const std::size_t count = 1 + rng() % 60;
      std::vector<std::uint8_t> bytes(count);
      for (std::uint8_t& b : bytes)
        b = static_cast<std::uint8_t>(1 + rng() % 255);
      const int kind = static_cast<int>(rng() % 7);
      if (kind == 0) {
        capture.Write(offset, nullptr, 0);  // a cut
        model.resize(static_cast<std::size_t>(offset), 0);
        continue;
      }
      if (model.size() < offset + count) model.resize(offset + count, 0);
      std::copy(bytes.begin(), bytes.end(), model.begin() + offset);
      if (kind < 4)
        capture.Write(offset, bytes.data(), static_cast<std::int64_t>(count));
      else
        capture.Write(offset, std::move(bytes));
      ASSERT_EQ(ContentOf(capture), model) << "round " << round << " step " << step;
    }
  }
}

}  // namespace
