// Data file throughput: appending 1,000,000 fixed-size records and 100,000 records with 2 KB
// memo values, then reading them back in record order and at random, with the default cache
// sizes and with the caches raised 16 times (the benchmark argument).
//
// Reported: records/s (items_per_second), MB/s of record and value bytes (bytes_per_second),
// and bytes handed to write calls per record (from /proc/self/io) for the appends.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/sessions/TableAccess.h"

using namespace zorvic::engine;

namespace {

constexpr std::int32_t kFixedRecords = 1000000;
constexpr std::int32_t kMemoRecords = 100000;
constexpr std::size_t kMemoBytes = 2048;

std::int64_t WrittenBytes() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::int64_t value = 0;
  while (io >> key >> value)
    if (key == "wchar:") return value;
  return 0;
}

struct TBenchDir {
  std::string Path;
  TBenchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zorvic-bench-XXXXXX").string();
    Path = mkdtemp(pattern.data());
  }
  ~TBenchDir() { std::filesystem::remove_all(Path); }
};

TTableDefinition FixedDef() {
  TTableDefinition def;
  const auto add = [&def](const char* name, std::uint8_t type, std::uint32_t size,
                          std::uint8_t sub) {
    TFieldDefinition f;
    f.Name = name;
    f.DataType = type;
    f.Size = size;
    f.SubType = sub;
    def.Fields.push_back(f);
  };
  add("ID", ftInteger, 0, fstAutoInc);
  add("Name", ftString, 40, 0);
  add("Amount", ftFloat, 0, 0);
  add("When", ftTimeStamp, 0, 0);
  add("Flag", ftBoolean, 0, 0);
  return def;
}

TTableDefinition MemoDef() {
  TTableDefinition def = FixedDef();
  TFieldDefinition body;
  body.Name = "Body";
  body.DataType = ftBlob;
  body.SubType = fstMemo;
  def.Fields.push_back(body);
  return def;
}

// The fixed-record table, built once per cache scale.
void AppendFixed(TTableAccess& table, std::int32_t count) {
  TDataFile& data = table.Data();
  const TFieldDesc& name = *data.FindField("Name");
  const TFieldDesc& amount = *data.FindField("Amount");
  std::uint8_t value[8];
  for (std::int32_t i = 0; i < count;) {
    TTableAccess::TWriteBatch batch(table);
    for (int j = 0; j < 10000 && i < count; ++j, ++i) {
      TRecord* r = data.AllocateRecord(false);
      WriteStringField(name, r->Bytes(), "customer number " + std::to_string(i),
                       TCollation::Binary());
      PutDouble(value, i * 1.5);
      WriteFieldBytes(amount, r->Bytes(), value);
      data.MarkRecordModified(r);
      data.ReleaseRecord(r);
    }
    batch.Commit();
  }
}

void BM_AppendFixedRecords(benchmark::State& state) {
  for (auto _ : state) {
    TBenchDir dir;
    TTableAccess table(dir.Path, "Fixed");
    table.SetCacheScale(state.range(0));
    table.Create(FixedDef());
    const std::int64_t before = WrittenBytes();
    AppendFixed(table, kFixedRecords);
    const std::int64_t written = WrittenBytes() - before;
    state.counters["bytes_written_per_record"] = static_cast<double>(written) / kFixedRecords;
    state.SetItemsProcessed(kFixedRecords);
    state.SetBytesProcessed(static_cast<std::int64_t>(kFixedRecords) * table.Data().RecordSize());
  }
}

void ReadFixed(benchmark::State& state, bool random) {
  TBenchDir dir;
  {
    TTableAccess table(dir.Path, "Fixed");
    table.Create(FixedDef());
    AppendFixed(table, kFixedRecords);
  }
  TTableAccess table(dir.Path, "Fixed");
  table.SetCacheScale(state.range(0));
  table.Open(false);
  TDataFile& data = table.Data();
  std::mt19937 rng(1);
  std::int64_t sum = 0;
  for (auto _ : state) {
    data.DropCache();
    for (std::int32_t i = 1; i <= kFixedRecords; ++i) {
      const std::int32_t n = random ? 1 + static_cast<std::int32_t>(rng() % kFixedRecords) : i;
      TRecord* r = data.GetRecord(n, !random);
      sum += RecRowId(r->Bytes());
      data.ReleaseRecord(r);
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kFixedRecords);
  state.SetBytesProcessed(state.iterations() * kFixedRecords * data.RecordSize());
}

void BM_ReadFixedSequential(benchmark::State& state) {
  ReadFixed(state, false);
}
void BM_ReadFixedRandom(benchmark::State& state) {
  ReadFixed(state, true);
}

void AppendMemo(TTableAccess& table, std::int32_t count) {
  TRecordValues values(table.Data().FieldCount());
  std::string body(kMemoBytes, 'x');
  for (std::int32_t i = 0; i < count;) {
    TTableAccess::TWriteBatch batch(table);
    for (int j = 0; j < 1000 && i < count; ++j, ++i) {
      body[0] = static_cast<char>('a' + i % 26);
      values[1] = TFieldValue::Of("memo " + std::to_string(i));
      values[5] = TFieldValue::Of(body);
      table.Insert(values);
    }
    batch.Commit();
  }
}

void BM_AppendMemoRecords(benchmark::State& state) {
  for (auto _ : state) {
    TBenchDir dir;
    TTableAccess table(dir.Path, "Memo");
    table.SetCacheScale(state.range(0));
    table.Create(MemoDef());
    const std::int64_t before = WrittenBytes();
    AppendMemo(table, kMemoRecords);
    const std::int64_t written = WrittenBytes() - before;
    state.counters["bytes_written_per_record"] = static_cast<double>(written) / kMemoRecords;
    state.SetItemsProcessed(kMemoRecords);
    state.SetBytesProcessed(static_cast<std::int64_t>(kMemoRecords) *
                            (table.Data().RecordSize() + static_cast<std::int64_t>(kMemoBytes)));
  }
}

void ReadMemo(benchmark::State& state, bool random) {
  TBenchDir dir;
  {
    TTableAccess table(dir.Path, "Memo");
    table.Create(MemoDef());
    AppendMemo(table, kMemoRecords);
  }
  TTableAccess table(dir.Path, "Memo");
  table.SetCacheScale(state.range(0));
  table.Open(false);
  std::mt19937 rng(2);
  TRecordValues values;
  std::int64_t bytes = 0;
  for (auto _ : state) {
    table.Data().DropCache();
    table.Blob()->DropCache();
    for (std::int32_t i = 1; i <= kMemoRecords; ++i) {
      const std::int32_t n = random ? 1 + static_cast<std::int32_t>(rng() % kMemoRecords) : i;
      table.ReadRecord(n, values, !random);
      bytes += static_cast<std::int64_t>(values[5].Bytes.size());
    }
  }
  state.SetItemsProcessed(state.iterations() * kMemoRecords);
  state.SetBytesProcessed(bytes + state.iterations() * kMemoRecords * table.Data().RecordSize());
}

void BM_ReadMemoSequential(benchmark::State& state) {
  ReadMemo(state, false);
}
void BM_ReadMemoRandom(benchmark::State& state) {
  ReadMemo(state, true);
}

}  // namespace

// The argument is the cache scale: 1 = the default cache sizes, 16 = raised 16 times.
BENCHMARK(BM_AppendFixedRecords)->Arg(1)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFixedSequential)->Arg(1)->Arg(16)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFixedRandom)->Arg(1)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AppendMemoRecords)->Arg(1)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadMemoSequential)->Arg(1)->Arg(16)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadMemoRandom)->Arg(1)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
