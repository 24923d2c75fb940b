// TDataCursor: filters and the bitmap of the records that pass them.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "engine/storage/cursors/CursorOperation.h"
#include "engine/storage/cursors/RecordRun.h"
#include "engine/storage/files/FileLayer.h"
#include "engine/storage/formats/IndexKey.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/locks/ReadCounters.h"

namespace zorvic::engine {
namespace {

[[noreturn]] void RaiseFilterError(const std::string& table, const std::string& text) {
  TErrorTexts texts;
  texts.Table = table;
  texts.Text = text;
  RaiseEngineError(VELDOR_INVALIDFILTER, texts);
}

// Records read in file order, a run at a time, without going through the record cache.
class TScanWindow {
 public:
  explicit TScanWindow(TDataFile& data) : FData(data), FRecordSize(data.RecordSize()) {}

  const std::uint8_t* Record(std::int32_t recordNo) {
    const std::uint8_t* bytes = Slot(recordNo);
    CountRecordRead(&FData, recordNo);
    return bytes;
  }
  // The slot's bytes, active or not, not counted as a record read.
  const std::uint8_t* Slot(std::int32_t recordNo) {
    if (!FRun.Holds(recordNo)) FRun.Fill(FData, recordNo, kRunBytes);
    return FRun.Bytes(recordNo, FRecordSize);
  }
  // Whether the next Slot(recordNo) reads from the file.
  bool Reads(std::int32_t recordNo) const { return !FRun.Holds(recordNo); }
  // The run read so far is stale (the table changed).
  void Forget() { FRun = TRecordRun{}; }

 private:
  static constexpr std::size_t kRunBytes = 64 * 1024;

  TDataFile& FData;
  std::size_t FRecordSize;
  TRecordRun FRun;
};

}  // namespace

// Declared in CursorOpen.cpp.
TFilterCompiler CurrentFilterCompiler();

TDataCursor::TFilter* TDataCursor::FindFilter(int handle) {
  for (TFilter& f : FFilters)
    if (f.Handle == handle) return &f;
  return nullptr;
}

int TDataCursor::AddFilter(TRecordFilter callback) {
  RequireOpen();
  if (!callback) RaiseFilterError(FTable->Name(), "filter expression is invalid");
  if (static_cast<int>(FFilters.size()) >= kMaxFilters) Raise(VELDOR_INTERNALLIMIT);
  TFilter f;
  f.Handle = FNextFilterHandle++;
  f.Callback = std::move(callback);
  FFilters.push_back(std::move(f));
  FiltersChanged();
  return FFilters.back().Handle;
}

int TDataCursor::AddFilter(const std::string& expression) {
  RequireOpen();
  if (NormalizeFileName(expression).empty())
    RaiseFilterError(FTable->Name(), "filter expression is empty");
  if (static_cast<int>(FFilters.size()) >= kMaxFilters) Raise(VELDOR_INTERNALLIMIT);
  TFilterCompiler compiler = CurrentFilterCompiler();
  if (!compiler) RaiseFilterError(FTable->Name(), "filter expressions are not available");
  return AddFilter(compiler(expression, *this));
}

int TDataCursor::AddFilter(std::unique_ptr<TFilterExpression> expression) {
  RequireOpen();
  if (!expression) RaiseFilterError(FTable->Name(), "filter expression is invalid");
  if (static_cast<int>(FFilters.size()) >= kMaxFilters) Raise(VELDOR_INTERNALLIMIT);
  TFilter f;
  f.Handle = FNextFilterHandle++;
  f.Expression = std::move(expression);
  FFilters.push_back(std::move(f));
  try {
    FiltersChanged();
  } catch (...) {
    // A filter that cannot be applied is not kept.
    FFilters.pop_back();
    try {
      FiltersChanged();
    } catch (...) {
    }
    throw;
  }
  return FFilters.back().Handle;
}

void TDataCursor::DropFilter(int handle) {
  RequireOpen();
  for (auto it = FFilters.begin(); it != FFilters.end(); ++it) {
    if (it->Handle == handle) {
      FFilters.erase(it);
      FiltersChanged();
      return;
    }
  }
  Raise(VELDOR_NOSUCHFILTER);
}

void TDataCursor::DropAllFilters() {
  RequireOpen();
  FFilters.clear();
  FiltersChanged();
}

void TDataCursor::ActivateFilter(int handle) {
  RequireOpen();
  TFilter* f = FindFilter(handle);
  if (!f) Raise(VELDOR_NOSUCHFILTER);
  if (f->Active) return;
  f->Active = true;
  FiltersChanged();
}

void TDataCursor::DeactivateFilter(int handle) {
  RequireOpen();
  TFilter* f = FindFilter(handle);
  if (!f) Raise(VELDOR_NOSUCHFILTER);
  if (!f->Active) return;
  f->Active = false;
  FiltersChanged();
}

int TDataCursor::FilterOptimisationLevel() const {
  int level = 2;
  bool any = false;
  for (const TFilter& f : FFilters) {
    if (!f.Active) continue;
    any = true;
    level = std::min(level, f.Expression ? f.Expression->OptimisationLevel() : 0);
  }
  return any ? level : 0;
}

void TDataCursor::FiltersChanged() {
  bool active = false;
  for (const TFilter& f : FFilters)
    active = active || f.Active;
  FFiltered = active;
  if (!active) {
    FFilterBits.ClearAll();
    return;
  }
  Run([&] {
    RebuildFilterBits();
    // A record that does not pass is left: the cursor stays in its gap.
    if (FPos.State == TState::OnRecord && !Passes(FPos.RecordNo)) {
      FPos.State = TState::Between;
      FPos.StepValid = false;
      FHaveRecord = false;
    }
    return 0;
  });
}

bool TDataCursor::FilterPasses(const std::uint8_t* record) {
  for (TFilter& f : FFilters) {
    if (!f.Active) continue;
    if (!(f.Expression ? f.Expression->Matches(record) : f.Callback(record))) return false;
  }
  return true;
}

// Every active record is tested against every active filter, except that filters able to
// narrow the candidates from indexes do so first: only the records in the intersection of
// their candidate sets are read.
void TDataCursor::RebuildFilterBits() {
  const std::int64_t size = FTable->Data().PhysicalRecordCount() + 1;
  TRecordsBitmapStack& pool = FTable->BitmapPool();
  std::unique_ptr<TRecordsBitmap> bits = pool.Take(size);
  // The records to test: the intersection of the candidates that filters answer from indexes
  // (index entries exist only for active records), or else every active record, found by its
  // status in a read of every slot in file order: the table's bitmap of active records would
  // walk a whole index first, again after every change by another writer, all under the read
  // lock that writer waits for.
  std::unique_ptr<TRecordsBitmap> scan;
  FFilterRecordsTested = 0;
  {
    const bool outer = FBuildingFilterBits;
    FBuildingFilterBits = true;
    struct TRestore {
      bool& Flag;
      bool Value;
      ~TRestore() { Flag = Value; }
    } restore{FBuildingFilterBits, outer};
    for (TFilter& f : FFilters) {
      if (!f.Active || !f.Expression) continue;
      std::unique_ptr<TRecordsBitmap> candidates = pool.Take(size);
      if (f.Expression->Candidates(*this, *candidates)) {
        if (scan) {
          scan->And(*candidates);
        } else {
          std::swap(scan, candidates);
        }
      }
      pool.Give(std::move(candidates));
    }
  }
  TDataFile& data = FTable->Data();
  if (scan) {
    // Candidates an index picked are read one by one through the cache.
    std::vector<std::uint8_t> record(data.RecordSize());
    for (std::int64_t n = scan->First(); n != TRecordsBitmap::kNone; n = scan->Next(n)) {
      ReadRecordInto(static_cast<std::int32_t>(n), record.data());
      ++FFilterRecordsTested;
      if (FilterPasses(record.data())) bits->Set(n);
    }
  } else {
    // Every slot in runs straight from the file.
    TScanWindow window(data);
    std::int32_t slots = data.PhysicalRecordCount();
    for (std::int32_t recordNo = 1; recordNo <= slots; ++recordNo) {
      // Between runs a long scan lets a waiting writer in. After a change the slots from here
      // on are read as the writer left them, those before keep what they were tested as: as a
      // scan record by record would have seen them. The cursor still holds the counts of
      // before, so its next operation builds the set anew.
      if (recordNo > 1 && window.Reads(recordNo) && FTable->Locks().YieldReadLock()) {
        window.Forget();
        slots = data.PhysicalRecordCount();
        if (recordNo > slots) break;
      }
      if (RecStatus(window.Slot(recordNo)) != kRecActive) continue;
      const std::uint8_t* bytes = window.Record(recordNo);
      FLastRead = recordNo;
      ++FFilterRecordsTested;
      if (FilterPasses(bytes)) bits->Set(recordNo);
    }
  }
  if (scan) pool.Give(std::move(scan));
  std::swap(FFilterBits, *bits);
  pool.Give(std::move(bits));
  FFilterEpoch = FTable->Epoch();
  FFilterBounds = TFilterBounds::Stale;
}

namespace {
// Past this many passing records the bounds are not worth their record reads.
constexpr std::int64_t kFilterBoundsLimit = 1024;
}  // namespace

// Runs inside an operation frame (navigation), like the record reads it makes.
void TDataCursor::EnsureFilterBounds() {
  if (FFilterBounds != TFilterBounds::Stale) return;
  if (!FFiltered || !FIndexMode || FFilterBits.Count() > kFilterBoundsLimit) {
    FFilterBounds = TFilterBounds::None;
    return;
  }
  if (FFilterBits.Count() == 0) {
    FFilterBounds = TFilterBounds::Empty;
    return;
  }
  const TKeyBuilder& builder = FTable->Index().KeyBuilder(FSlot);
  const std::size_t keySize = static_cast<std::size_t>(KeySize());
  std::vector<std::uint8_t> record(FTable->Data().RecordSize());
  std::vector<std::uint8_t> key(keySize);
  bool first = true;
  for (std::int64_t n = FFilterBits.First(); n != TRecordsBitmap::kNone; n = FFilterBits.Next(n)) {
    ReadRecordInto(static_cast<std::int32_t>(n), record.data());
    builder.Build(record.data(), key.data());
    if (first || CompareKeys(key.data(), FFilterLowKey.data()) < 0) FFilterLowKey = key;
    if (first || CompareKeys(key.data(), FFilterHighKey.data()) > 0) FFilterHighKey = key;
    first = false;
  }
  FFilterBounds = TFilterBounds::Set;
}

// A record that now passes may lie outside the bounds: they grow to take it in.
void TDataCursor::WidenFilterBounds(const std::uint8_t* record) {
  if (FFilterBounds == TFilterBounds::Stale || FFilterBounds == TFilterBounds::None) return;
  if (!FIndexMode) {
    FFilterBounds = TFilterBounds::Stale;
    return;
  }
  std::vector<std::uint8_t> key(static_cast<std::size_t>(KeySize()));
  FTable->Index().KeyBuilder(FSlot).Build(record, key.data());
  if (FFilterBounds == TFilterBounds::Empty) {
    FFilterLowKey = FFilterHighKey = key;
    FFilterBounds = TFilterBounds::Set;
    return;
  }
  if (CompareKeys(key.data(), FFilterLowKey.data()) < 0) FFilterLowKey = key;
  if (CompareKeys(key.data(), FFilterHighKey.data()) > 0) FFilterHighKey = key;
}

void TDataCursor::RetestRecord(std::int32_t recordNo, const std::uint8_t* record) {
  if (!FFiltered) return;
  const bool pass = FilterPasses(record);
  FFilterBits.Assign(recordNo, pass);
  if (pass) WidenFilterBounds(record);
}

// ---- key ranges for index-answered filters ------------------------------------------------

template <class F>
auto TDataCursor::InFilterFrame(F&& body) {
  RequireOpen();
  if (FBuildingFilterBits) return body();
  return Run(std::forward<F>(body));
}

// The bound's key in the way BuildSearchKey pads a one-field partial key: the first field
// from the bound (a NULL field for kNull, nothing for kOpen), every later field and the RowId
// suffix padded to the lowest or highest bytes in index order.
void TDataCursor::BuildBoundKey(int slot, const TKeyBound& bound, bool high, std::uint8_t* key) {
  TIndexFile& index = FTable->Index();
  const TKeyLayout& layout = index.KeyLayout(slot);
  const TKeyBuilder& builder = index.KeyBuilder(slot);
  const int n = static_cast<int>(layout.Fields.size());
  const bool fieldWise = layout.FieldWise();
  auto reversed = [&](int i) {
    return fieldWise ? (layout.Descending || layout.Fields[static_cast<std::size_t>(i)].Descending)
                     : layout.Descending;
  };
  std::memset(key, high != layout.Descending ? 0xFF : 0x00, layout.KeySize);
  int given = 0;
  if (bound.Kind != TKeyBound::kOpen && n > 0) {
    given = 1;
    std::vector<std::uint8_t> nullRecord;
    const std::uint8_t* record = bound.Record;
    if (bound.Kind == TKeyBound::kNull || !record) {
      nullRecord.assign(FTable->Data().RecordSize(), 0);
      record = nullRecord.data();
    }
    builder.BuildField(0, record, key);
    const TKeyField& f = layout.Fields[0];
    if (bound.Kind == TKeyBound::kValue && bound.Partial > 0 && f.Field.DataType == ftString) {
      const int value = builder.FieldOffset(0) + 1;
      const int width = f.Width();
      const int keep = std::min(bound.Partial, width - 1);
      const bool padHigh = high != reversed(0);
      std::uint8_t* tail = key + value + keep;
      const int rest = width - keep;
      if (!padHigh) {
        std::memset(tail, 0, static_cast<std::size_t>(rest));
      } else if (!fieldWise) {
        std::memset(tail, 0xFF, static_cast<std::size_t>(rest));
      } else {
        const std::uint8_t highest = layout.Collation->CharMap()[255];
        std::memset(tail, highest, static_cast<std::size_t>(rest - 1));
        tail[rest - 1] = 0;
      }
    }
  }
  for (int i = given; i < n; ++i) {
    const int at = builder.FieldOffset(i);
    const int width = layout.Fields[static_cast<std::size_t>(i)].Width();
    std::memset(key + at, high != reversed(i) ? 0xFF : 0x00, static_cast<std::size_t>(width + 1));
  }
}

TDataCursor::TKeyRangeKeys TDataCursor::KeyRangeKeys(int slot, const TKeyBound& low,
                                                     const TKeyBound& high) {
  const TKeyLayout& layout = FTable->Index().KeyLayout(slot);
  TKeyRangeKeys keys;
  keys.First.assign(layout.KeySize, 0);
  keys.Last.assign(layout.KeySize, 0);
  // A first field compared in reverse puts the largest value first in index order.
  const bool reverse = !layout.Fields.empty() && (layout.Descending || layout.Fields[0].Descending);
  const TKeyBound& start = reverse ? high : low;
  const TKeyBound& end = reverse ? low : high;
  const bool startOut = start.Kind == TKeyBound::kValue && start.Exclusive;
  const bool endOut = end.Kind == TKeyBound::kValue && end.Exclusive;
  // An excluded value starts the range after its last key, or ends it before its first.
  BuildBoundKey(slot, start, startOut, keys.First.data());
  keys.FirstAfter = startOut;
  BuildBoundKey(slot, end, !endOut, keys.Last.data());
  keys.LastAfter = !endOut;
  return keys;
}

namespace {

bool UsableSlot(TDataTable& table, int slot) {
  return slot >= 0 && slot <= MaxSecondaryIndexes && table.Index().Header().SlotInUse(slot);
}

// Moves a step that lies one past the end of its leaf onto the next entry.
bool SettleStep(TIndexFile& index, TBTree& tree, int slot, TTreeStep& step) {
  TPage& page = index.FetchPage(slot, step.PageNo);
  const bool past = step.Position >= page.Count();
  index.ReleasePage(page);
  return !past || tree.StepNext(step);
}

}  // namespace

std::int64_t TDataCursor::CountKeyRange(int slot, const TKeyBound& low, const TKeyBound& high) {
  return InFilterFrame([&]() -> std::int64_t {
    if (!UsableSlot(*FTable, slot)) Raise(VELDOR_INVALIDINDEXNAME);
    const TKeyRangeKeys keys = KeyRangeKeys(slot, low, high);
    TIndexFile& index = FTable->Index();
    TBTree tree = index.Tree(slot);
    if (!tree.Shape().NoCounts) {
      const std::int64_t from = tree.Search(keys.First.data(), keys.FirstAfter).Rank;
      const std::int64_t to = tree.Search(keys.Last.data(), keys.LastAfter).Rank;
      return from == 0 ? 0 : std::max<std::int64_t>(0, to - from);
    }
    const TKeyCompare& compare = index.KeyCompare(slot);
    TTreePosition at = tree.Search(keys.First.data(), keys.FirstAfter);
    if (at.Empty()) return 0;
    TTreeStep step = at.Path.Leaf();
    if (!SettleStep(index, tree, slot, step)) return 0;
    std::vector<std::uint8_t> key(keys.First.size());
    std::int64_t count = 0;
    std::int32_t recordNo = 0;
    do {
      tree.ReadEntry(step, key.data(), &recordNo);
      if (keys.Ends(compare(key.data(), keys.Last.data()))) break;
      ++count;
    } while (tree.StepNext(step));
    return count;
  });
}

void TDataCursor::CollectKeyRange(int slot, const TKeyBound& low, const TKeyBound& high,
                                  TRecordsBitmap& into) {
  InFilterFrame([&] {
    if (!UsableSlot(*FTable, slot)) Raise(VELDOR_INVALIDINDEXNAME);
    const TKeyRangeKeys keys = KeyRangeKeys(slot, low, high);
    TIndexFile& index = FTable->Index();
    TBTree tree = index.Tree(slot);
    const TKeyCompare& compare = index.KeyCompare(slot);
    TTreePosition at = tree.Search(keys.First.data(), keys.FirstAfter);
    if (at.Empty()) return 0;
    TTreeStep step = at.Path.Leaf();
    if (!SettleStep(index, tree, slot, step)) return 0;
    std::vector<std::uint8_t> key(keys.First.size());
    std::int32_t recordNo = 0;
    const std::int32_t records = FTable->Data().PhysicalRecordCount();
    do {
      tree.ReadEntry(step, key.data(), &recordNo);
      if (keys.Ends(compare(key.data(), keys.Last.data()))) break;
      if (recordNo < 1 || recordNo > records) Raise(VELDOR_INDEXCORRUPT);
      into.Set(recordNo);
    } while (tree.StepNext(step));
    return 0;
  });
}

void TDataCursor::ReadFilterRecord(std::int32_t recordNo, std::uint8_t* out) {
  InFilterFrame([&] {
    ReadRecordInto(recordNo, out);
    ++FFilterRecordsTested;
    return 0;
  });
}

}  // namespace zorvic::engine
