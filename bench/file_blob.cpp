// Micro-benchmarks of the storage file layer and the BLOB file: positioned reads and writes, range
// lock and unlock, and appending and reading 100,000 BLOB values of 2 KB.
//
// Run with ./scripts/bench bench_file_blob. Files go to a temporary folder that is removed at the
// end of each benchmark.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/files/FileLayer.h"
#include "engine/storage/formats/BlobFile.h"

using namespace zorvic::engine;

namespace {

class TBenchDir {
 public:
  TBenchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zorvic-bench-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    FPath = ::mkdtemp(buffer.data()) ? buffer.data() : "/tmp";
  }
  ~TBenchDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  std::string File(const std::string& name) const { return FPath + "/" + name; }

 private:
  std::string FPath;
};

constexpr std::int64_t FileBytes = 64LL << 20;
constexpr std::int64_t PageBytes = 4096;
constexpr int ValueCount = 100000;
constexpr std::int64_t ValueBytes = 2048;

void PositionedWrites(benchmark::State& state) {
  TBenchDir dir;
  TFileHandler file(dir.File("W.DAT"), false);
  file.CreateFile();
  std::vector<char> page(PageBytes, 'w');
  std::mt19937_64 rng(1);
  for (auto _ : state) {
    std::int64_t offset = static_cast<std::int64_t>(rng() % (FileBytes / PageBytes)) * PageBytes;
    file.WriteAt(offset, page.data(), PageBytes);
  }
  state.SetBytesProcessed(state.iterations() * PageBytes);
}
BENCHMARK(PositionedWrites);

void PositionedReads(benchmark::State& state) {
  TBenchDir dir;
  TFileHandler file(dir.File("R.DAT"), false);
  file.CreateFile();
  std::vector<char> page(PageBytes, 'r');
  for (std::int64_t offset = 0; offset < FileBytes; offset += PageBytes) {
    file.WriteAt(offset, page.data(), PageBytes);
  }
  std::mt19937_64 rng(2);
  for (auto _ : state) {
    std::int64_t offset = static_cast<std::int64_t>(rng() % (FileBytes / PageBytes)) * PageBytes;
    benchmark::DoNotOptimize(file.ReadAt(offset, page.data(), PageBytes));
  }
  state.SetBytesProcessed(state.iterations() * PageBytes);
}
BENCHMARK(PositionedReads);

// One reader slot's lock and unlock, as every operation read lock does.
void RangeLockUnlock(benchmark::State& state) {
  TBenchDir dir;
  TFileHandler file(dir.File("L.IDX"), false);
  file.CreateFile();
  file.Close();
  file.Open(false);
  std::int64_t slot = 0xFFFFFFFFLL - 1;
  for (auto _ : state) {
    if (!file.LockRange(slot, 1) || !file.UnlockRange(slot, 1)) state.SkipWithError("lock");
  }
}
BENCHMARK(RangeLockUnlock);

// 100,000 values of 2 KB appended (flushing after every `range(0)` values, as a shared table
// flushes after each write and an exclusive one when its cache fills), then read back in order and
// at random.
void BlobAppendAndRead(benchmark::State& state) {
  const int flushEvery = static_cast<int>(state.range(0));
  std::vector<std::uint8_t> value(ValueBytes);
  std::iota(value.begin(), value.end(), 0);
  double appendSeconds = 0;
  double sequentialSeconds = 0;
  double randomSeconds = 0;
  for (auto _ : state) {
    TBenchDir dir;
    TBlobFile file(dir.File("V.BLB"), false, 0, false);
    file.CreateFile();
    std::vector<std::int32_t> first(ValueCount + 1);
    auto start = std::chrono::steady_clock::now();
    for (int record = 1; record <= ValueCount; ++record) {
      first[record] = file.WriteValue(record, value.data(), ValueBytes, 0);
      if (record % flushEvery == 0) file.Flush(false);
    }
    file.Flush(false);
    auto appended = std::chrono::steady_clock::now();
    file.DropCache();
    std::int64_t total = 0;
    for (int record = 1; record <= ValueCount; ++record) {
      total += static_cast<std::int64_t>(file.ReadValue(first[record], record).size());
    }
    auto sequential = std::chrono::steady_clock::now();
    file.DropCache();
    std::vector<int> order(ValueCount);
    std::iota(order.begin(), order.end(), 1);
    std::shuffle(order.begin(), order.end(), std::mt19937(3));
    for (int record : order) {
      total += static_cast<std::int64_t>(file.ReadValue(first[record], record).size());
    }
    auto random = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(total);
    appendSeconds += std::chrono::duration<double>(appended - start).count();
    sequentialSeconds += std::chrono::duration<double>(sequential - appended).count();
    randomSeconds += std::chrono::duration<double>(random - sequential).count();
    state.counters["file_MB"] = static_cast<double>(file.FileSize()) / 1e6;
  }
  const double mb =
      static_cast<double>(ValueCount) * ValueBytes / 1e6 * static_cast<double>(state.iterations());
  state.counters["append_MB/s"] = mb / appendSeconds;
  state.counters["read_seq_MB/s"] = mb / sequentialSeconds;
  state.counters["read_random_MB/s"] = mb / randomSeconds;
}
BENCHMARK(BlobAppendAndRead)->Arg(1)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
