#include "engine/storage/sessions/TransactionSavepoint.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/EngineLimits.h"
#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/formats/BlobFile.h"
#include "engine/storage/formats/DataFile.h"
#include "engine/storage/formats/IndexFile.h"

namespace zorvic::engine {
namespace {

template <class TUnit>
using TUnitCopies = std::vector<std::unique_ptr<TUnit>>;

// Copies of the modified units of a cache (pinned ones included).
template <class TUnit>
TUnitCopies<TUnit> CopyModified(const TUnitCache<TUnit>& cache) {
  TUnitCopies<TUnit> copies;
  for (TUnit* unit : cache.ModifiedUnits(true))
    copies.push_back(std::make_unique<TUnit>(*unit));
  return copies;
}

// Drops the cache and puts the copies back as modified units. The caller keeps the owner
// from writing meanwhile (the table is in a transaction, or a change is under way), so the
// cache grows instead.
template <class TUnit>
void PutBack(TUnitCache<TUnit>& cache, const TUnitCopies<TUnit>& copies) {
  cache.Drop();
  for (const std::unique_ptr<TUnit>& copy : copies) {
    TUnit* unit = cache.Add(copy->UnitNo, false);
    TCacheUnit* prev = unit->MruPrev;
    TCacheUnit* next = unit->MruNext;
    *unit = *copy;
    unit->MruPrev = prev;
    unit->MruNext = next;
    unit->PinCount = 0;
    unit->Detached = false;
    cache.MarkModified(unit);
  }
}

// Records are many and small: their copies go into one buffer instead of an object each.
struct TRecordCopies {
  std::vector<std::int64_t> Numbers;
  std::vector<std::size_t> Ends;  // where each record's bytes end in Bytes
  std::vector<std::uint8_t> Bytes;
};

TRecordCopies CopyModifiedRecords(const TUnitCache<TRecord>& cache) {
  TRecordCopies copies;
  const std::vector<TRecord*> modified = cache.ModifiedUnits(true);
  if (modified.empty()) return copies;
  copies.Numbers.reserve(modified.size());
  copies.Ends.reserve(modified.size());
  copies.Bytes.reserve(modified.size() * modified.front()->Size());
  for (TRecord* record : modified) {
    copies.Numbers.push_back(record->UnitNo);
    copies.Bytes.insert(copies.Bytes.end(), record->Bytes(), record->Bytes() + record->Size());
    copies.Ends.push_back(copies.Bytes.size());
  }
  return copies;
}

void PutBackRecords(TUnitCache<TRecord>& cache, const TRecordCopies& copies) {
  cache.Drop();
  std::size_t begin = 0;
  for (std::size_t i = 0; i < copies.Numbers.size(); ++i) {
    TRecord* record = cache.Add(copies.Numbers[i], false);
    // The cache's records have the size the copies were taken with.
    std::memcpy(record->Bytes(), copies.Bytes.data() + begin,
                std::min(record->Size(), copies.Ends[i] - begin));
    begin = copies.Ends[i];
    cache.MarkModified(record);
  }
}

// The modified units of a cache themselves, for a savepoint in place.
template <class TUnit>
std::vector<TUnit*> ModifiedInPlace(const TUnitCache<TUnit>& cache) {
  std::vector<TUnit*> units;
  cache.ForEachModified([&](TUnit* unit) { units.push_back(unit); });
  return units;
}

template <class TUnit>
void MarkModifiedAgain(TUnitCache<TUnit>& cache, const std::vector<TUnit*>& units) {
  for (TUnit* unit : units)
    cache.MarkModified(unit);
}

}  // namespace

struct TTransactionSavepoint::TEntry {
  TDataTable* Table = nullptr;
  TTableHeader DataHeader;
  bool DataHeaderModified = false;
  TRecordCopies Records;
  TIndexHeader IndexHeader;
  bool IndexHeaderModified = false;
  std::array<TUnitCopies<TPage>, IndexSlotCount> Pages;
  bool HasBlob = false;
  TBlobHeader BlobHeader;
  bool BlobHeaderModified = false;
  TUnitCopies<TBlock> Blocks;
  // In place: the units that were modified.
  std::vector<TRecord*> RecordUnits;
  std::array<std::vector<TPage*>, IndexSlotCount> PageUnits;
  std::vector<TBlock*> BlockUnits;
  bool ChangeLost = false;
};

TTransactionSavepoint::TTransactionSavepoint(TDataDirectory& database, bool inPlace)
    : Database_(database), InPlace_(inPlace) {
  for (const std::unique_ptr<TDataTable>& owned : database.FTables) {
    TDataTable& table = *owned;
    if (!table.InTransaction() || table.ReadOnly() || !table.IsOpen()) continue;
    TEntry entry;
    entry.Table = &table;
    entry.ChangeLost = table.FChangeLost;
    TDataFile& data = *table.FData;
    entry.DataHeader = data.FHeader;
    entry.DataHeaderModified = data.FHeaderModified;
    if (InPlace_)
      entry.RecordUnits = ModifiedInPlace(data.FCache);
    else
      entry.Records = CopyModifiedRecords(data.FCache);
    TIndexFile& index = *table.FIndex;
    entry.IndexHeader = index.header_;
    entry.IndexHeaderModified = index.headerModified_;
    for (int slot = 0; slot < IndexSlotCount; ++slot) {
      if (!index.caches_[slot]) continue;
      if (InPlace_)
        entry.PageUnits[slot] = ModifiedInPlace(*index.caches_[slot]);
      else
        entry.Pages[slot] = CopyModified(*index.caches_[slot]);
    }
    if (TBlobFile* blob = table.FBlob.get()) {
      entry.HasBlob = true;
      entry.BlobHeader = blob->FHeader;
      entry.BlobHeaderModified = blob->FHeaderModified;
      if (InPlace_)
        entry.BlockUnits = ModifiedInPlace(blob->FCache);
      else
        entry.Blocks = CopyModified(blob->FCache);
    }
    Entries_.push_back(std::move(entry));
  }
}

TTransactionSavepoint::~TTransactionSavepoint() = default;

void TTransactionSavepoint::Restore() {
  for (const std::unique_ptr<TDataTable>& owned : Database_.FTables) {
    TDataTable& table = *owned;
    if (!table.InTransaction() || table.ReadOnly() || !table.IsOpen()) continue;
    const auto found = std::find_if(Entries_.begin(), Entries_.end(),
                                    [&](const TEntry& e) { return e.Table == &table; });
    if (found == Entries_.end()) {
      // Joined after the savepoint: everything it holds came later.
      table.DropCaches();
      continue;
    }
    const TEntry& entry = *found;
    TDataFile& data = *table.FData;
    if (InPlace_) {
      // The units are where they were, with the bytes they had: only marked clean since.
      MarkModifiedAgain(data.FCache, entry.RecordUnits);
      data.FHeader = entry.DataHeader;
      data.FHeaderModified = entry.DataHeaderModified;
      TIndexFile& index = *table.FIndex;
      for (int slot = 0; slot < IndexSlotCount; ++slot) {
        if (index.caches_[slot]) MarkModifiedAgain(*index.caches_[slot], entry.PageUnits[slot]);
      }
      index.header_ = entry.IndexHeader;
      index.headerModified_ = entry.IndexHeaderModified;
      if (TBlobFile* blob = table.FBlob.get(); blob && entry.HasBlob) {
        MarkModifiedAgain(blob->FCache, entry.BlockUnits);
        blob->FHeader = entry.BlobHeader;
        blob->FHeaderModified = entry.BlobHeaderModified;
      }
      table.FChangeLost = entry.ChangeLost;
      ++table.FEpoch;
      table.FActiveEpoch = 0;
      continue;
    }
    data.BeginChange();
    try {
      PutBackRecords(data.FCache, entry.Records);
    } catch (...) {
      data.EndChange();
      throw;
    }
    data.EndChange();
    data.FHeader = entry.DataHeader;
    data.FHeaderModified = entry.DataHeaderModified;
    TIndexFile& index = *table.FIndex;
    for (int slot = 0; slot < IndexSlotCount; ++slot) {
      if (index.caches_[slot]) PutBack(*index.caches_[slot], entry.Pages[slot]);
    }
    index.header_ = entry.IndexHeader;
    index.headerModified_ = entry.IndexHeaderModified;
    if (TBlobFile* blob = table.FBlob.get(); blob && entry.HasBlob) {
      TBlobChange change(*blob);
      PutBack(blob->FCache, entry.Blocks);
      blob->FHeader = entry.BlobHeader;
      blob->FHeaderModified = entry.BlobHeaderModified;
    }
    // Cursors see a new epoch and find their records again; the active-record bitmap is
    // rebuilt from the restored index.
    table.FChangeLost = entry.ChangeLost;
    ++table.FEpoch;
    table.FActiveEpoch = 0;
  }
}

}  // namespace zorvic::engine
