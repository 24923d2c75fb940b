// TDataCursor: the operation frame, change detection and navigation in both modes.
#include <algorithm>
#include <cstring>

#include "engine/storage/cursors/CursorOperation.h"
#include "engine/storage/formats/IndexKey.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/locks/ReadCounters.h"

namespace zorvic::engine {

void TDataCursor::RequireOpen() const {
  if (!FTable) RaiseTableError(VELDOR_NOTINITIALIZED, "");
}

void TDataCursor::Raise(TErrorCode code) const {
  RaiseTableError(code, FTable ? FTable->Name() : std::string());
}

TDataTable& TDataCursor::Table() const {
  RequireOpen();
  return *FTable;
}

const std::string& TDataCursor::TableName() const {
  return Table().Name();
}

bool TDataCursor::Exclusive() const {
  return FTable && FTable->Exclusive();
}

// ---- change detection ---------------------------------------------------------------------

void TDataCursor::CheckChanges() {
  // A cursor opened before the read batch began looks at the table once in the batch, as a
  // statement's open does.
  FTable->CheckInBatch();
  if (FTable->Settings().StrictChangeDetection && FTable->Locks().TakeReadLock()) {
    Resync();
    return;
  }
  if (!(FTable->Counters() == FSeen)) Resync();
}

void TDataCursor::Resync() {
  FSeen = FTable->Counters();
  FPos.StepValid = false;
  if (FFiltered) RebuildFilterBits();
  if (FPos.State != TState::OnRecord) return;
  if (FIndexMode) {
    TPosition p = SearchPosition(FPos.Key.data(), false);
    if (p.State == TState::OnRecord && CompareKeys(p.Key.data(), FPos.Key.data()) == 0 &&
        Passes(p.RecordNo)) {
      FPos = std::move(p);
      return;
    }
  } else if (FTable->ActiveRecords().Test(FPos.RecordNo) && Passes(FPos.RecordNo)) {
    return;
  }
  FPos.State = TState::Between;  // the record is gone: the gap where it was
  FHaveRecord = false;
}

void TDataCursor::ReadRecordInto(std::int32_t recordNo, std::uint8_t* out, bool backward) {
  TDataFile& data = FTable->Data();
  // Read ahead only when the records come in file order (record-number mode, or an index
  // whose order follows the slots): a miss in random order would read a run for one record.
  const bool forward = recordNo == FLastRead + 1;
  FForwardRun = forward ? FForwardRun + 1 : 0;
  if (forward && !backward && ReadFromWindow(recordNo, out)) {
    FLastRead = recordNo;
    return;
  }
  backward = backward || recordNo == FLastRead - 1;
  TRecord* record = data.GetRecord(recordNo, forward || backward, backward && !forward);
  if (!record) throw ETableChanged{};
  std::memcpy(out, record->Bytes(), data.RecordSize());
  data.ReleaseRecord(record);
  FLastRead = recordNo;
}

bool TDataCursor::ReadFromWindow(std::int32_t recordNo, std::uint8_t* out) {
  TDataFile& data = FTable->Data();
  const std::size_t size = data.RecordSize();
  const bool current =
      data.Cache().Mutations() == FWindowMutations && FTable->Counters() == FWindowSeen;
  if (!current || !FWindow.Holds(recordNo)) {
    if (recordNo < 1 || recordNo > data.PhysicalRecordCount() || size == 0) return false;
    // A short run (the few records a key range leads to) takes what the cache holds; a scan
    // reads past it.
    if (FForwardRun < kWindowAfterRun && data.IsCached(recordNo)) return false;
    // The first run is one read-ahead's worth (8 KB); a scan that keeps going gets longer runs.
    FWindowRuns = current && recordNo == FWindow.End() ? FWindowRuns + 1 : 0;
    FWindow.Fill(data, recordNo, FWindowRuns == 0 ? 8192 : 65536);
    FWindowMutations = data.Cache().Mutations();
    FWindowSeen = FTable->Counters();
  }
  CountRecordRead(&data, recordNo);
  std::memcpy(out, FWindow.Bytes(recordNo, size), size);
  return true;
}

bool TDataCursor::Passes(std::int32_t recordNo) const {
  return !FFiltered || FFilterBits.Test(recordNo);
}

// ---- index-mode helpers -------------------------------------------------------------------

TBTree TDataCursor::Tree() {
  return FTable->Index().Tree(FSlot);
}

int TDataCursor::CompareKeys(const std::uint8_t* a, const std::uint8_t* b) {
  return FTable->Index().KeyCompare(FSlot)(a, b);
}

bool TDataCursor::BelowLow(const std::uint8_t* key) {
  return FLowSet && CompareKeys(key, FLow.data()) < 0;
}

bool TDataCursor::AboveHigh(const std::uint8_t* key) {
  return FHighSet && CompareKeys(key, FHigh.data()) > 0;
}

bool TDataCursor::Settle(TBTree& tree, TTreeStep& step) {
  TIndexFile& index = FTable->Index();
  TPage& page = index.FetchPage(FSlot, step.PageNo);
  const bool past = step.Position >= page.Count();
  index.ReleasePage(page);
  return !past || tree.StepNext(step);
}

bool TDataCursor::EntryAt(TBTree& tree, const TTreeStep& step, TPosition& pos) {
  pos.Key.resize(static_cast<std::size_t>(KeySize()));
  tree.ReadEntry(step, pos.Key.data(), &pos.RecordNo);
  if (pos.RecordNo < 1 || pos.RecordNo > FTable->Data().PhysicalRecordCount())
    Raise(VELDOR_INDEXCORRUPT);
  pos.State = TState::OnRecord;
  pos.Step = step;
  pos.StepValid = true;
  return true;
}

TDataCursor::TPosition TDataCursor::SearchPosition(const std::uint8_t* key, bool after) {
  TPosition p;
  TBTree tree = Tree();
  TTreePosition found = tree.Search(key, after);
  if (found.Empty()) {
    p.State = TState::EOF_;
    return p;
  }
  TTreeStep step = found.Path.Leaf();
  if (!Settle(tree, step)) {
    p.State = TState::EOF_;
    return p;
  }
  EntryAt(tree, step, p);
  p.Rank = found.Rank;
  return p;
}

TDataCursor::TPosition TDataCursor::SkipFiltered(TBTree& tree, TPosition pos, bool forward) {
  if (FFiltered) EnsureFilterBounds();
  const bool bounded = FFiltered && FFilterBounds == TFilterBounds::Set;
  while (pos.State == TState::OnRecord && !Passes(pos.RecordNo)) {
    if (bounded && (forward ? CompareKeys(pos.Key.data(), FFilterHighKey.data()) > 0
                            : CompareKeys(pos.Key.data(), FFilterLowKey.data()) < 0)) {
      pos.State = forward ? TState::EOF_ : TState::BOF;
      return pos;
    }
    TTreeStep step = pos.Step;
    if (forward ? !tree.StepNext(step) : !tree.StepPrior(step)) {
      pos.State = forward ? TState::EOF_ : TState::BOF;
      return pos;
    }
    const std::int64_t rank = pos.Rank == 0 ? 0 : pos.Rank + (forward ? 1 : -1);
    EntryAt(tree, step, pos);
    pos.Rank = rank;
    if (forward ? AboveHigh(pos.Key.data()) : BelowLow(pos.Key.data())) {
      pos.State = forward ? TState::EOF_ : TState::BOF;
      return pos;
    }
  }
  return pos;
}

TDataCursor::TPosition TDataCursor::FirstPosition() {
  TPosition p;
  if (!FIndexMode) {
    const TRecordsBitmap& bits = FFiltered ? FFilterBits : FTable->ActiveRecords();
    const std::int64_t n = bits.First();
    if (n == TRecordsBitmap::kNone) {
      p.State = TState::EOF_;
    } else {
      p.State = TState::OnRecord;
      p.RecordNo = static_cast<std::int32_t>(n);
    }
    return p;
  }
  TBTree tree = Tree();
  // With few records passing the filters, start at the first candidate's key.
  const std::uint8_t* low = FLowSet ? FLow.data() : nullptr;
  if (FFiltered) {
    EnsureFilterBounds();
    if (FFilterBounds == TFilterBounds::Empty) {
      p.State = TState::EOF_;
      return p;
    }
    if (FFilterBounds == TFilterBounds::Set &&
        (low == nullptr || CompareKeys(FFilterLowKey.data(), low) > 0))
      low = FFilterLowKey.data();
    // A single record passes (a key looked up) and the bounds hold one key, so that key is
    // its own (the bounds take in every passing record): the cursor stands on it by its key,
    // its leaf entry unknown until a step asks, without searching the tree again.
    if (low == FFilterLowKey.data() && FFilterBits.Count() == 1 &&
        FFilterLowKey == FFilterHighKey) {
      p.State = TState::OnRecord;
      p.RecordNo = static_cast<std::int32_t>(FFilterBits.First());
      p.Key = FFilterLowKey;
      p.StepValid = false;
      p.Rank = 0;
      if (AboveHigh(p.Key.data())) p.State = TState::EOF_;
      return p;
    }
  }
  if (low != nullptr) {
    p = SearchPosition(low, false);
  } else {
    TTreePosition first;
    if (!tree.SeekFirst(&first)) {
      p.State = TState::EOF_;
      return p;
    }
    EntryAt(tree, first.Path.Leaf(), p);
    p.Rank = first.Rank;
  }
  if (p.State != TState::OnRecord) return p;
  if (AboveHigh(p.Key.data())) {
    p.State = TState::EOF_;
    return p;
  }
  return SkipFiltered(tree, std::move(p), true);
}

TDataCursor::TPosition TDataCursor::LastPosition() {
  TPosition p;
  if (!FIndexMode) {
    const TRecordsBitmap& bits = FFiltered ? FFilterBits : FTable->ActiveRecords();
    const std::int64_t n = bits.Last();
    if (n == TRecordsBitmap::kNone) {
      p.State = TState::BOF;
    } else {
      p.State = TState::OnRecord;
      p.RecordNo = static_cast<std::int32_t>(n);
    }
    return p;
  }
  TBTree tree = Tree();
  const std::uint8_t* high = FHighSet ? FHigh.data() : nullptr;
  if (FFiltered) {
    EnsureFilterBounds();
    if (FFilterBounds == TFilterBounds::Empty) {
      p.State = TState::BOF;
      return p;
    }
    if (FFilterBounds == TFilterBounds::Set &&
        (high == nullptr || CompareKeys(FFilterHighKey.data(), high) < 0))
      high = FFilterHighKey.data();
  }
  if (high != nullptr) {
    TTreePosition after = tree.Search(high, true);
    TTreeStep step = after.Path.Leaf();
    if (after.Empty() || !tree.StepPrior(step)) {
      p.State = TState::BOF;
      return p;
    }
    EntryAt(tree, step, p);
    p.Rank = after.Rank == 0 ? 0 : after.Rank - 1;
  } else {
    TTreePosition last;
    if (!tree.SeekLast(&last)) {
      p.State = TState::BOF;
      return p;
    }
    EntryAt(tree, last.Path.Leaf(), p);
    p.Rank = last.Rank;
  }
  if (BelowLow(p.Key.data())) {
    p.State = TState::BOF;
    return p;
  }
  return SkipFiltered(tree, std::move(p), false);
}

TDataCursor::TPosition TDataCursor::NextFrom(const TPosition& from) {
  if (from.State == TState::EOF_) return from;
  if (from.State == TState::BOF) return FirstPosition();
  TPosition p;
  if (!FIndexMode) {
    const TRecordsBitmap& bits = FFiltered ? FFilterBits : FTable->ActiveRecords();
    const std::int64_t n = bits.Next(from.RecordNo);
    if (n == TRecordsBitmap::kNone) {
      p.State = TState::EOF_;
    } else {
      p.State = TState::OnRecord;
      p.RecordNo = static_cast<std::int32_t>(n);
    }
    return p;
  }
  TBTree tree = Tree();
  if (from.State == TState::Between && BelowLow(from.Key.data())) return FirstPosition();
  // Past the highest key that passes the filters nothing follows.
  if (from.State == TState::OnRecord && FFiltered && FFilterBounds == TFilterBounds::Set &&
      CompareKeys(from.Key.data(), FFilterHighKey.data()) >= 0) {
    p.State = TState::EOF_;
    return p;
  }
  if (from.State == TState::OnRecord && from.StepValid) {
    TTreeStep step = from.Step;
    if (!tree.StepNext(step)) {
      p.State = TState::EOF_;
      return p;
    }
    EntryAt(tree, step, p);
    p.Rank = from.Rank == 0 ? 0 : from.Rank + 1;
  } else {
    // From a gap the next record is the first key at or after it; from a record whose leaf
    // entry is no longer known, the first key after it.
    p = SearchPosition(from.Key.data(), from.State == TState::OnRecord);
    if (p.State != TState::OnRecord) return p;
  }
  if (AboveHigh(p.Key.data())) {
    p.State = TState::EOF_;
    return p;
  }
  return SkipFiltered(tree, std::move(p), true);
}

TDataCursor::TPosition TDataCursor::PriorFrom(const TPosition& from) {
  if (from.State == TState::BOF) return from;
  if (from.State == TState::EOF_) return LastPosition();
  TPosition p;
  if (!FIndexMode) {
    const TRecordsBitmap& bits = FFiltered ? FFilterBits : FTable->ActiveRecords();
    const std::int64_t n = bits.Prior(from.RecordNo);
    if (n == TRecordsBitmap::kNone) {
      p.State = TState::BOF;
    } else {
      p.State = TState::OnRecord;
      p.RecordNo = static_cast<std::int32_t>(n);
    }
    return p;
  }
  TBTree tree = Tree();
  if (from.State == TState::Between && AboveHigh(from.Key.data())) return LastPosition();
  TTreeStep step;
  std::int64_t rank = 0;
  if (from.State == TState::OnRecord && from.StepValid) {
    step = from.Step;
    rank = from.Rank == 0 ? 0 : from.Rank - 1;
  } else {
    TTreePosition at = tree.Search(from.Key.data(), false);
    if (at.Empty()) {
      p.State = TState::BOF;
      return p;
    }
    step = at.Path.Leaf();
    rank = at.Rank == 0 ? 0 : at.Rank - 1;
  }
  if (!tree.StepPrior(step)) {
    p.State = TState::BOF;
    return p;
  }
  EntryAt(tree, step, p);
  p.Rank = rank;
  if (BelowLow(p.Key.data())) {
    p.State = TState::BOF;
    return p;
  }
  return SkipFiltered(tree, std::move(p), false);
}

std::vector<std::uint8_t> TDataCursor::KeyOfRecord(const std::uint8_t* record) {
  std::vector<std::uint8_t> key(static_cast<std::size_t>(KeySize()));
  if (FSlot == SysDeletedSlot)
    BuildSysDeletedKey(RecStatus(record), RecRowId(record), key.data());
  else
    FTable->Index().KeyBuilder(FSlot).Build(record, key.data());
  return key;
}

TDataCursor::TPosition TDataCursor::PositionOnRecord(std::int32_t recordNo,
                                                     const std::uint8_t* record) {
  TPosition p;
  p.RecordNo = recordNo;
  if (!FIndexMode) {
    p.State = TState::OnRecord;
    return p;
  }
  std::vector<std::uint8_t> key = KeyOfRecord(record);
  p = SearchPosition(key.data(), false);
  if (p.State == TState::OnRecord && p.RecordNo == recordNo) return p;
  p.State = TState::Between;
  p.Key = std::move(key);
  p.RecordNo = recordNo;
  p.StepValid = false;
  return p;
}

// A cursor moving forward in index order whose next record is not cached reads the records of
// the rest of the leaf (those in the range and passing the filters) under one read lock, instead
// of taking the lock and checking for changes once per record: the records of a key order are
// scattered over the data file.
void TDataCursor::PrefetchLeaf(const TPosition& pos) {
  if (!FIndexMode || pos.Step.PageNo == 0) return;
  TDataFile& data = FTable->Data();
  if (data.IsCached(pos.RecordNo) || pos.RecordNo == FLastRead + 1) return;
  const bool forward =
      FPos.State == TState::BOF ||
      (FPos.State == TState::OnRecord &&
       ((FPos.Step.PageNo == pos.Step.PageNo && FPos.Step.Position < pos.Step.Position) ||
        (FPos.Step.PageNo != pos.Step.PageNo && pos.Step.Position == 0)));
  if (!forward) return;
  TIndexFile& index = FTable->Index();
  std::vector<std::int32_t> wanted;
  {
    TPage& page = index.FetchPage(FSlot, pos.Step.PageNo);
    const std::int32_t slots = data.PhysicalRecordCount();
    for (int i = pos.Step.Position; i < page.Count(); ++i) {
      if (AboveHigh(page.Key(i))) break;
      const std::int32_t recordNo = page.Value(i);
      if (recordNo >= 1 && recordNo <= slots && Passes(recordNo)) wanted.push_back(recordNo);
    }
    index.ReleasePage(page);
  }
  if (wanted.size() > 1 && !data.Prefetch(std::move(wanted))) throw ETableChanged{};
}

// Commits a new position; on a record its bytes are read (and copied to buffer).
TErrorCode TDataCursor::Finish(const TPosition& pos, std::uint8_t* buffer) {
  if (pos.State == TState::OnRecord) {
    PrefetchLeaf(pos);
    std::vector<std::uint8_t> bytes = std::move(FSpareRecord);
    bytes.resize(FTable->Data().RecordSize());
    ReadRecordInto(pos.RecordNo, bytes.data());
    if (RecStatus(bytes.data()) != kRecActive) Raise(VELDOR_INDEXCORRUPT);
    if (!(FPos.State == TState::OnRecord && FPos.RecordNo == pos.RecordNo)) FreeAllBlobs();
    FPos = pos;
    std::swap(FRecord, bytes);
    FSpareRecord = std::move(bytes);
    FHaveRecord = true;
    if (buffer) std::memcpy(buffer, FRecord.data(), FRecord.size());
    return VELDOR_NONE;
  }
  if (FPos.State == TState::OnRecord) FreeAllBlobs();
  FPos = pos;
  FHaveRecord = false;
  switch (pos.State) {
    case TState::BOF:
      return VELDOR_BOF;
    case TState::EOF_:
      return VELDOR_EOF;
    default:
      return VELDOR_NOCURRREC;
  }
}

// ---- navigation -------------------------------------------------------------------------

void TDataCursor::First() {
  RequireOpen();
  FTable->CheckAtScanStart();
  Run([&] {
    TPosition p;
    p.State = TState::BOF;
    Finish(p, nullptr);
    return 0;
  });
}

void TDataCursor::Last() {
  RequireOpen();
  FTable->CheckAtScanStart();
  Run([&] {
    TPosition p;
    p.State = TState::EOF_;
    Finish(p, nullptr);
    return 0;
  });
}

TErrorCode TDataCursor::GetCurrent(std::uint8_t* buffer) {
  return Run([&]() -> TErrorCode {
    if (FPos.State == TState::OnRecord) return Finish(FPos, buffer);
    if (FPos.State == TState::Between) return VELDOR_NOCURRREC;
    // On a crack of an empty range there is no record at all.
    if (FirstPosition().State != TState::OnRecord) return VELDOR_NOCURRREC;
    return FPos.State == TState::BOF ? VELDOR_BOF : VELDOR_EOF;
  });
}

TErrorCode TDataCursor::GetNext(std::uint8_t* buffer) {
  return Run([&] { return Finish(NextFrom(FPos), buffer); });
}

TErrorCode TDataCursor::GetPrior(std::uint8_t* buffer) {
  return Run([&] { return Finish(PriorFrom(FPos), buffer); });
}

bool TDataCursor::OnRecord() const {
  return FTable && FPos.State == TState::OnRecord;
}
bool TDataCursor::AtBOF() const {
  return FPos.State == TState::BOF;
}
bool TDataCursor::AtEOF() const {
  return FPos.State == TState::EOF_;
}
std::int32_t TDataCursor::CurrentRecordNo() const {
  return FPos.State == TState::OnRecord ? FPos.RecordNo : 0;
}

void TDataCursor::Refresh() {
  Run([&] {
    if (FPos.State == TState::Between) {
      TPosition p = NextFrom(FPos);
      if (p.State != TState::OnRecord) p = PriorFrom(FPos);
      Finish(p, nullptr);
    } else if (FPos.State == TState::OnRecord) {
      Finish(FPos, nullptr);
    }
    return 0;
  });
}

// ---- counts and record numbers ------------------------------------------------------------

std::int64_t TDataCursor::RangeFirstRank() {
  if (!FLowSet) return 1;
  return Tree().Search(FLow.data(), false).Rank;
}

std::int64_t TDataCursor::RangeLastRank() {
  TBTree tree = Tree();
  if (!FHighSet) return tree.KeyCount();
  const std::int64_t after = tree.Search(FHigh.data(), true).Rank;
  return after - 1;
}

std::int64_t TDataCursor::WalkCount() {
  std::int64_t n = 0;
  for (TPosition p = FirstPosition(); p.State == TState::OnRecord; p = NextFrom(p))
    ++n;
  return n;
}

std::int64_t TDataCursor::RecordCount() {
  return Run([&]() -> std::int64_t {
    if (!FIndexMode) return FFiltered ? FFilterBits.Count() : FTable->Index().RecordCount();
    if (FFiltered) return RangeActive() ? WalkCount() : FFilterBits.Count();
    if (Tree().Shape().NoCounts) return WalkCount();
    const std::int64_t first = RangeFirstRank();
    const std::int64_t last = RangeLastRank();
    return first == 0 || last < first ? 0 : last - first + 1;
  });
}

std::int64_t TDataCursor::RecordNumber() {
  return Run([&]() -> std::int64_t {
    if (FPos.State != TState::OnRecord) return 0;
    if (!FIndexMode) {
      const TRecordsBitmap& bits = FFiltered ? FFilterBits : FTable->ActiveRecords();
      return bits.Rank(FPos.RecordNo) + 1;
    }
    if (!FFiltered && !Tree().Shape().NoCounts) {
      std::int64_t rank = FPos.Rank;
      if (rank == 0) rank = Tree().Search(FPos.Key.data(), false).Rank;
      return rank - RangeFirstRank() + 1;
    }
    std::int64_t n = 0;
    for (TPosition p = FirstPosition(); p.State == TState::OnRecord; p = NextFrom(p)) {
      ++n;
      if (p.RecordNo == FPos.RecordNo) return n;
    }
    return 0;
  });
}

TErrorCode TDataCursor::GoToRecordNumber(std::int64_t n) {
  return Run([&]() -> TErrorCode {
    TPosition p;
    if (!FIndexMode) {
      const TRecordsBitmap& bits = FFiltered ? FFilterBits : FTable->ActiveRecords();
      if (bits.Empty()) {
        p.State = TState::EOF_;
        return Finish(p, nullptr);
      }
      n = std::clamp<std::int64_t>(n, 1, bits.Count());
      p.State = TState::OnRecord;
      p.RecordNo = static_cast<std::int32_t>(bits.Select(n));
      return Finish(p, nullptr);
    }
    TBTree tree = Tree();
    if (!FFiltered && !tree.Shape().NoCounts) {
      const std::int64_t first = RangeFirstRank();
      const std::int64_t last = RangeLastRank();
      if (last < first) {
        p.State = TState::EOF_;
        return Finish(p, nullptr);
      }
      n = std::clamp<std::int64_t>(n, 1, last - first + 1);
      TTreePosition at;
      if (!tree.SeekRank(first + n - 1, &at)) Raise(VELDOR_INDEXCORRUPT);
      EntryAt(tree, at.Path.Leaf(), p);
      p.Rank = first + n - 1;
      return Finish(p, nullptr);
    }
    // Filtered (or without counts): walk.
    n = std::max<std::int64_t>(n, 1);
    TPosition last;
    std::int64_t i = 0;
    for (TPosition q = FirstPosition(); q.State == TState::OnRecord; q = NextFrom(q)) {
      last = q;
      if (++i == n) break;
    }
    if (last.State != TState::OnRecord) last.State = TState::EOF_;
    return Finish(last, nullptr);
  });
}

TErrorCode TDataCursor::GoToRecordSlot(std::int32_t n) {
  return Run([&]() -> TErrorCode {
    const TRecordsBitmap& bits = FFiltered ? FFilterBits : FTable->ActiveRecords();
    TPosition p;
    const std::int32_t slots = FTable->Data().PhysicalRecordCount();
    if (slots < 1 || bits.Empty()) {
      p.State = TState::EOF_;
      return Finish(p, nullptr);
    }
    n = std::clamp(n, 1, slots);
    std::int64_t target = n;
    if (!bits.Test(n)) {
      const std::int64_t next = bits.Next(n);
      const std::int64_t prior = bits.Prior(n);
      if (next == TRecordsBitmap::kNone)
        target = prior;
      else if (prior == TRecordsBitmap::kNone)
        target = next;
      else
        target = (next - n <= n - prior) ? next : prior;
    }
    std::vector<std::uint8_t> bytes(FTable->Data().RecordSize());
    ReadRecordInto(static_cast<std::int32_t>(target), bytes.data());
    return Finish(PositionOnRecord(static_cast<std::int32_t>(target), bytes.data()), nullptr);
  });
}

// ---- bookmarks ----------------------------------------------------------------------------

std::vector<std::uint8_t> TDataCursor::Bookmark() {
  RequireOpen();
  std::vector<std::uint8_t> out(static_cast<std::size_t>(BookmarkSize()), 0);
  if (FPos.State != TState::OnRecord) return out;
  if (FIndexMode)
    out = FPos.Key;
  else
    PutI32(out.data(), FPos.RecordNo);
  return out;
}

TErrorCode TDataCursor::GoToBookmark(const std::vector<std::uint8_t>& bookmark) {
  RequireOpen();
  if (static_cast<int>(bookmark.size()) != BookmarkSize()) return VELDOR_RECNOTFOUND;
  if (!FIndexMode) return GoToRecordSlot(GetI32(bookmark.data()));
  return Run([&]() -> TErrorCode {
    if (std::all_of(bookmark.begin(), bookmark.end(), [](std::uint8_t b) { return b == 0; }))
      return VELDOR_NOCURRREC;
    TPosition p = SearchPosition(bookmark.data(), false);
    if (p.State != TState::OnRecord || AboveHigh(p.Key.data())) {
      p = LastPosition();
    } else if (BelowLow(p.Key.data())) {
      p = FirstPosition();
    } else {
      TBTree tree = Tree();
      TPosition forward = SkipFiltered(tree, p, true);
      p = forward.State == TState::OnRecord ? forward : SkipFiltered(tree, p, false);
    }
    return Finish(p, nullptr);
  });
}

int TDataCursor::CompareBookmarks(const std::vector<std::uint8_t>& a,
                                  const std::vector<std::uint8_t>& b) {
  RequireOpen();
  if (static_cast<int>(a.size()) != BookmarkSize() || static_cast<int>(b.size()) != BookmarkSize())
    Raise(VELDOR_RECNOTFOUND);
  if (!FIndexMode) {
    const std::int32_t x = GetI32(a.data()), y = GetI32(b.data());
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  const int c = CompareKeys(a.data(), b.data());
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace zorvic::engine
