// The held-back writes of a file: whatever mix of copied writes, buffers handed over and cuts
// a write makes, the pieces hold exactly the bytes the file would hold, disjoint and in order;
// with large writes past the old end going straight to the file, reads through the capture
// still see those bytes, the file's old bytes are never touched, and undoing them gives the
// file back as it was.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "engine/storage/files/FileLayer.h"
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

TEST(WriteCaptureTest, ACutBelowTheOldEndIsHeldBackWithoutAFileToWriteTo) {
  TWriteCapture capture(100);
  EXPECT_TRUE(capture.Write(40, nullptr, 0));
  EXPECT_EQ(capture.Size(), 40);
  EXPECT_EQ(capture.MinSize(), 40);
  EXPECT_FALSE(capture.HasDirectWrites());
  std::vector<std::uint8_t> big(static_cast<std::size_t>(TWriteCapture::DirectWriteMin), 7);
  EXPECT_TRUE(capture.Write(200, std::move(big)));  // no file: held back, however large
  EXPECT_EQ(capture.Pieces().size(), 1u);
  EXPECT_EQ(capture.Size(), 200 + TWriteCapture::DirectWriteMin);
}

class TCountingGate final : public TDirectWriteGate {
 public:
  explicit TCountingGate(bool allow) : Allow(allow) {}
  bool DirectWritesAllowed() override {
    ++Asked;
    return Allow;
  }
  bool Allow;
  int Asked = 0;
};

std::vector<std::uint8_t> FileBytes(TAbstractFile& file, std::int32_t handle) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(file.GetSize()));
  EXPECT_EQ(file.ReadAt(handle, 0, out.data(), static_cast<std::int64_t>(out.size())),
            static_cast<std::int64_t>(out.size()));
  return out;
}

TEST(WriteCaptureTest, LargeWritesPastTheOldEndReachTheFileAndCanBeUndone) {
  constexpr std::int64_t Big = TWriteCapture::DirectWriteMin;
  constexpr std::int64_t Original = 3 * Big / 2;
  std::mt19937_64 rng(11);
  for (int round = 0; round < 24; ++round) {
    TMemoryFile file("capture" + std::to_string(round));
    const std::int32_t handle = file.CreateHandle();
    ASSERT_GT(handle, 0);
    std::vector<std::uint8_t> old(static_cast<std::size_t>(Original));
    for (std::uint8_t& b : old)
      b = static_cast<std::uint8_t>(rng());
    ASSERT_EQ(file.WriteAt(handle, 0, old.data(), Original), Original);
    TCountingGate gate(round % 6 != 5);
    TWriteCapture capture(Original);
    capture.AllowDirectWrites(file, handle, gate);
    std::vector<std::uint8_t> model = old;
    bool cutBelowOldEnd = false;
    for (int step = 0; step < 60; ++step) {
      const std::int64_t offset = static_cast<std::int64_t>(rng() % (6 * Big));
      const int kind = static_cast<int>(rng() % 8);
      if (kind == 0) {
        ASSERT_TRUE(capture.Write(offset, nullptr, 0));
        model.resize(static_cast<std::size_t>(offset), 0);
        cutBelowOldEnd = cutBelowOldEnd || offset < Original;
      } else {
        const std::size_t count =
            kind < 5 ? static_cast<std::size_t>(Big + rng() % (2 * Big)) : 1 + rng() % 2000;
        std::vector<std::uint8_t> bytes(count);
        for (std::uint8_t& b : bytes)
          b = static_cast<std::uint8_t>(1 + rng() % 255);
        if (model.size() < offset + count) model.resize(offset + count, 0);
        std::copy(bytes.begin(), bytes.end(), model.begin() + offset);
        if (kind % 2 == 0) {
          ASSERT_TRUE(capture.Write(offset, bytes.data(), static_cast<std::int64_t>(count)));
        } else {
          ASSERT_TRUE(capture.Write(offset, std::move(bytes)));
        }
      }
      const std::string where = "round " + std::to_string(round) + " step " + std::to_string(step);
      ASSERT_EQ(capture.Size(), static_cast<std::int64_t>(model.size())) << where;
      std::vector<std::uint8_t> seen(model.size());
      ASSERT_EQ(capture.Read(file, handle, 0, seen.data(), capture.Size()), capture.Size());
      ASSERT_EQ(seen, model) << where;
      // The file keeps every old byte; past them it holds nothing the capture does not see.
      const std::vector<std::uint8_t> onFile = FileBytes(file, handle);
      ASSERT_GE(onFile.size(), old.size()) << where;
      ASSERT_TRUE(std::equal(old.begin(), old.end(), onFile.begin())) << where;
      ASSERT_EQ(static_cast<std::int64_t>(onFile.size()), capture.DirectEnd()) << where;
      if (!gate.Allow || cutBelowOldEnd) {
        ASSERT_FALSE(capture.HasDirectWrites()) << where;
      }
    }
    EXPECT_LE(gate.Asked, 1);
    capture.UndoDirectWrites();
    EXPECT_EQ(FileBytes(file, handle), old) << round;
    EXPECT_FALSE(capture.HasDirectWrites());
    file.CloseHandle(handle);
  }
}

}  // namespace
