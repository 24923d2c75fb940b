// Damaged BLOB files and failing disks: corruption gives the engine's corruption errors and never
// a crash; a write that fails half-way, a full disk or a crash leaves a file that verifies.
#include <algorithm>
#include <cstring>
#include <random>
#include <set>

#include "FileTestSupport.h"
#include "engine/storage/files/FaultFileSystem.h"
#include "engine/storage/formats/BlobFile.h"

using namespace zorvic::engine;
using namespace zorvic::engine::testing;

namespace {

std::vector<std::uint8_t> Value(std::int64_t n, unsigned seed) {
  std::vector<std::uint8_t> v(static_cast<std::size_t>(n));
  std::mt19937 rng(seed);
  for (auto& b : v)
    b = static_cast<std::uint8_t>(rng());
  return v;
}

// A record's value as the test remembers it.
struct TStored {
  std::int32_t Record;
  std::int32_t First;
  std::vector<std::uint8_t> Bytes;
};

std::vector<TBlobReference> References(const std::vector<TStored>& values) {
  std::vector<TBlobReference> refs;
  for (const TStored& v : values)
    refs.push_back(TBlobReference{v.Record, 1, v.First});
  return refs;
}

// Fills a file with values of many lengths around the block boundaries, some of them freed again.
std::vector<TStored> Populate(TBlobFile& file, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<TStored> values;
  const std::int64_t cap = file.Capacity();
  for (std::int32_t record = 1; record <= 24; ++record) {
    std::int64_t length =
        std::vector<std::int64_t>{1, cap - 1, cap, cap + 1, 3 * cap, 7 * cap + 5}[rng() % 6];
    std::vector<std::uint8_t> bytes = Value(length, seed * 100 + record);
    std::int32_t first = file.WriteValue(record, bytes.data(), length, 0);
    values.push_back(TStored{record, first, bytes});
  }
  for (std::size_t i = 0; i < values.size(); i += 5)
    file.FreeChain(values[i].First, values[i].Record);
  std::vector<TStored> kept;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i % 5 != 0) kept.push_back(values[i]);
  }
  return kept;
}

bool IsCorruptionError(TErrorCode code) {
  static const std::set<TErrorCode> allowed = {VELDOR_HEADERCORRUPT, VELDOR_MEMOCORRUPT,
                                               VELDOR_ENDOFBLOB, VELDOR_KEYORRECDELETED,
                                               VELDOR_OLDVERSION};
  return allowed.count(code) > 0;
}

// Uses a (possibly damaged) file every way it can be used; every failure must be an engine
// corruption error.
void Exercise(const std::string& name, const std::vector<TStored>& values, unsigned seed) {
  TFileList list;
  TBlobFile file(name, false, 64, false, list);
  auto expectCorruption = [&](const std::function<void()>& call) {
    try {
      call();
    } catch (const EVELDOREngineError& e) {
      EXPECT_TRUE(IsCorruptionError(e.ErrorCode)) << "seed " << seed << ": " << e.what();
    }
  };
  expectCorruption([&] {
    file.Open(false);
    file.VerifyHeader();
  });
  if (!file.IsOpen()) return;
  try {
    file.VerifyHeader();
  } catch (const EVELDOREngineError&) {
    return;  // refused at first use: nothing else may touch it
  }
  VerifyBlobFile(file, References(values));
  for (const TStored& v : values) {
    expectCorruption([&] { file.ReadValue(v.First, v.Record); });
  }
  for (const TStored& v : values) {
    std::vector<std::uint8_t> longer = Value(static_cast<std::int64_t>(v.Bytes.size()) + 100, seed);
    expectCorruption([&] {
      file.WriteValue(v.Record, longer.data(), static_cast<std::int64_t>(longer.size()), v.First);
    });
    expectCorruption([&] { file.FreeChain(v.First, v.Record); });
  }
  file.DropCache();
}

}  // namespace

TEST(BlobDamage, FlippedBytesAndTruncationGiveCorruptionErrorsOnly) {
  TTempDir dir;
  std::string name = dir.File("D.BLB");
  std::vector<TStored> values;
  {
    TFileList list;
    TBlobFile file(name, false, 64, false, list);
    file.CreateFile();
    values = Populate(file, 7);
    file.Flush(false);
    ASSERT_TRUE(VerifyBlobFile(file, References(values)).empty());
  }
  const std::string pristine = ReadWholeFile(name);
  for (unsigned seed = 1; seed <= 150; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::string bytes = pristine;
    if (seed % 5 == 0) {
      bytes.resize(rng() % bytes.size());
    } else {
      int flips = 1 + static_cast<int>(rng() % 8);
      for (int i = 0; i < flips; ++i) {
        // Half of the flips land in headers and block headers, where they hurt most.
        std::size_t at = rng() % bytes.size();
        if (rng() % 2 == 0) at = at < 512 ? at % 18 : 512 + (at - 512) / 64 * 64 + rng() % 18;
        bytes[at] = static_cast<char>(bytes[at] ^ (1 + rng() % 255));
      }
    }
    WriteWholeFile(name, bytes);
    Exercise(name, values, seed);
  }
}

// Changes on top of a populated file, flushed with a write failing at a chosen point: the file is
// left as it was before the flush.
TEST(BlobDamage, AFailedFlushLeavesTheFileAsItWas) {
  int failures = 0;
  for (std::int64_t failAt = 1; failAt <= 12; ++failAt) {
    SCOPED_TRACE("failing write " + std::to_string(failAt));
    TTempDir dir;
    TFaultFileSystem faults;
    TFileList list(&faults);
    std::string name = dir.File("F.BLB");
    TBlobFile file(name, false, 64, false, list);
    file.CreateFile();
    std::vector<TStored> before = Populate(file, 11);
    file.Flush(false);

    std::vector<TStored> after = before;
    after[0].Bytes = Value(10 * file.Capacity(), 99);  // free blocks, then appended ones
    after[1].Bytes = Value(1, 98);                     // shrinks
    for (TStored* v : {&after[0], &after[1]}) {
      v->First = file.WriteValue(v->Record, v->Bytes.data(),
                                 static_cast<std::int64_t>(v->Bytes.size()), v->First);
    }
    file.FreeChain(after[2].First, after[2].Record);
    after.erase(after.begin() + 2);

    faults.FailWrite(failAt);
    bool flushed = true;
    try {
      file.Flush(false);
    } catch (const EVELDOREngineError& e) {
      EXPECT_EQ(e.ErrorCode, VELDOR_WRITEERR);
      flushed = false;
      ++failures;
    }
    faults.ClearFaults();
    // What a table does after a failed write: drop the caches and read the header again.
    file.DropCache();
    file.ReadHeader();
    file.VerifyHeader();
    const std::vector<TStored>& expected = flushed ? after : before;
    EXPECT_EQ(VerifyBlobFile(file, References(expected)), std::vector<std::string>{});
    for (const TStored& v : expected)
      EXPECT_EQ(file.ReadValue(v.First, v.Record), v.Bytes);
    if (flushed) break;  // every later failure point lies past the last write
  }
  EXPECT_GE(failures, 3);  // appended run, runs in place, header
}

TEST(BlobDamage, AFullDiskLeavesTheFileAsItWas) {
  TTempDir dir;
  TFaultFileSystem faults;
  TFileList list(&faults);
  TBlobFile file(dir.File("FULL.BLB"), false, 64, false, list);
  file.CreateFile();
  std::vector<TStored> before = Populate(file, 12);
  file.Flush(false);
  std::int64_t size = file.FileSize();
  // A long value rewritten over a short one, then appended past what the disk can take.
  std::vector<std::uint8_t> big = Value(40 * file.Capacity(), 5);
  file.WriteValue(before[3].Record, big.data(), static_cast<std::int64_t>(big.size()),
                  before[3].First);
  faults.SetFreeSpace(3 * 64);
  EXPECT_ENGINE_ERROR(file.Flush(false), VELDOR_WRITEERR);
  faults.ClearFaults();
  file.DropCache();
  file.ReadHeader();
  EXPECT_EQ(file.FileSize(), size);
  EXPECT_EQ(VerifyBlobFile(file, References(before)), std::vector<std::string>{});
  for (const TStored& v : before)
    EXPECT_EQ(file.ReadValue(v.First, v.Record), v.Bytes);
}

TEST(BlobDamage, ACrashKeepsWhatWasSynced) {
  TTempDir dir;
  TFaultFileSystem faults;
  std::string name = dir.File("CRASH.BLB");
  std::vector<TStored> synced;
  {
    TFileList list(&faults);
    TBlobFile file(name, false, 64, false, list);
    file.CreateFile();
    synced = Populate(file, 13);
    file.Flush(true);
    std::vector<std::uint8_t> more = Value(9 * file.Capacity(), 3);
    file.WriteValue(synced[0].Record, more.data(), static_cast<std::int64_t>(more.size()),
                    synced[0].First);
    file.FreeChain(synced[1].First, synced[1].Record);
    file.Flush(false);  // written, never synced
    faults.SimulateCrash();
    file.DropCache();
  }
  TFileList list;
  TBlobFile file(name, false, 64, false, list);
  file.Open(false);
  file.VerifyHeader();
  EXPECT_EQ(VerifyBlobFile(file, References(synced)), std::vector<std::string>{});
  for (const TStored& v : synced)
    EXPECT_EQ(file.ReadValue(v.First, v.Record), v.Bytes);
}

TEST(BlobDamage, AFailedReadInTheMiddleOfAChangeChangesNothing) {
  TTempDir dir;
  TFaultFileSystem faults;
  TFileList list(&faults);
  TBlobFile file(dir.File("R.BLB"), false, 64, false, list);
  file.CreateFile();
  std::vector<TStored> values = Populate(file, 14);
  file.Flush(false);
  file.DropCache();
  TBlobHeader header = file.Header();
  // Reading the old chain or the free blocks fails: nothing may have changed.
  for (std::int64_t failAt = 1; failAt <= 3; ++failAt) {
    faults.FailRead(failAt);
    std::vector<std::uint8_t> longer = Value(12 * file.Capacity(), 8);
    EXPECT_ENGINE_ERROR(file.WriteValue(values[0].Record, longer.data(),
                                        static_cast<std::int64_t>(longer.size()), values[0].First),
                        VELDOR_READERR);
    faults.ClearFaults();
    EXPECT_FALSE(file.Cache().HasModified());
    EXPECT_FALSE(file.HeaderIsModified());
    EXPECT_EQ(file.Header().FirstFreeBlock, header.FirstFreeBlock);
    EXPECT_EQ(file.Header().NextBlockNo, header.NextBlockNo);
    file.DropCache();
  }
  for (const TStored& v : values)
    EXPECT_EQ(file.ReadValue(v.First, v.Record), v.Bytes);
}
