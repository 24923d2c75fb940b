// TDataCursor: insert, modify and delete, edits and record locks.
//
// Every change follows one pattern: check everything that can refuse the change (validity,
// locks, the record as the caller saw it, uniqueness, the presence of every key to be removed,
// room in the index file), then make the change with the table's caches held back from
// writing, then end the write (the table's flush). A failure after the first change forgets
// the unwritten change (AbandonChange), so no half-made change stays in the caches or reaches
// the files.
#include <array>
#include <cstring>

#include "engine/EngineLimits.h"
#include "engine/storage/cursors/CursorOperation.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/FieldValidation.h"
#include "engine/storage/formats/IndexKey.h"
#include "engine/storage/formats/Record.h"

namespace zorvic::engine {
namespace {

// Pages one key insert may need at most in one index: a split on every level and a new root.
constexpr int kPagesPerKeyInsert = MaxTreeDepth + 1;

// Holds the table's write lock for a scope.
class TWriteLockGuard {
 public:
  explicit TWriteLockGuard(TTableLocks& locks) : FLocks(locks) {}
  ~TWriteLockGuard() {
    try {
      FLocks.ReleaseWriteLock();
    } catch (...) {
    }
  }
  TWriteLockGuard(const TWriteLockGuard&) = delete;
  TWriteLockGuard& operator=(const TWriteLockGuard&) = delete;

 private:
  TTableLocks& FLocks;
};

// Holds a table-object record lock (the slot of an insert) for a scope.
// A slot beyond the end of the table as its files hold it, filled inside a transaction, is
// seen by nobody else before the commit, which ends the transaction's record locks anyway: it
// takes none.
class TRecordLockGuard {
 public:
  TRecordLockGuard(TTableLocks& locks, std::int32_t recordNo, bool unseen)
      : FLocks(locks), FRecordNo(recordNo), FTaken(!(unseen && locks.ChangesStayInCache())) {
    if (FTaken) FLocks.LockRecord(recordNo);
  }
  ~TRecordLockGuard() {
    if (!FTaken) return;
    try {
      FLocks.UnlockRecord(FRecordNo);
    } catch (...) {
    }
  }
  TRecordLockGuard(const TRecordLockGuard&) = delete;
  TRecordLockGuard& operator=(const TRecordLockGuard&) = delete;

 private:
  TTableLocks& FLocks;
  std::int32_t FRecordNo;
  bool FTaken;
};

// Room in the index file for inserting one key into each of the given indexes. Far from the
// file's limits nothing needs to be looked at; near them the free lists are counted too.
// With sysDeleted, "Sys Deleted" takes a key too.
void EnsureIndexRoom(TIndexFile& index, const std::vector<int>& slots, bool sysDeleted) {
  const std::int64_t keys = static_cast<std::int64_t>(slots.size()) + (sysDeleted ? 1 : 0);
  const std::int64_t worst =
      static_cast<std::int64_t>(index.Header().NextPageNo()) + keys * kPagesPerKeyInsert;
  if (worst <= MaxIndexPageCount && worst * IndexPageSize <= MaxIndexFileBytes) return;
  for (const int s : slots)
    EnsureIndexPagesAvailable(index, s, kPagesPerKeyInsert);
  if (sysDeleted) EnsureIndexPagesAvailable(index, SysDeletedSlot, kPagesPerKeyInsert);
}

using TSysKey = std::array<std::uint8_t, SysDeletedKeySize>;

TSysKey SysKey(std::uint8_t status, std::int32_t rowId) {
  TSysKey key;
  BuildSysDeletedKey(status, rowId, key.data());
  return key;
}

}  // namespace

std::vector<int> TDataCursor::IndexSlots() const {
  std::vector<int> slots;
  const TIndexHeader& h = FTable->Index().Header();
  if (FTable->HasPrimaryIndex()) slots.push_back(PrimaryIndexSlot);
  for (int s = 1; s <= h.SecondaryCount() && s <= MaxSecondaryIndexes; ++s) {
    if (h.SlotInUse(s)) slots.push_back(s);
  }
  return slots;
}

// A copy of a caller's record buffer in the stored form: flags 0 or 1, the value bytes of NULL
// fields zero, strings zero after their end, Booleans 0 or 1, the unused half of every BLOB
// reference zero. Keys and comparisons then never depend on bytes no reader looks at.
std::vector<std::uint8_t> TDataCursor::Normalised(const std::uint8_t* buffer) const {
  TDataFile& data = FTable->Data();
  std::vector<std::uint8_t> rec(buffer, buffer + data.RecordSize());
  rec[0] = kRecActive;
  for (const TFieldDesc& f : data.Fields()) {
    if (f.IsAutoInc() || f.NotStored) continue;
    std::uint8_t* flag = rec.data() + f.FieldOffset;
    std::uint8_t* value = flag + 1;
    if (*flag > 1) *flag = 1;
    if (*flag == 0) {
      std::memset(value, 0, f.PhysSize);
      continue;
    }
    switch (f.DataType) {
      case ftString: {
        const std::size_t len = strnlen(reinterpret_cast<const char*>(value), f.PhysSize - 1u);
        std::memset(value + len, 0, f.PhysSize - len);
        if (len == 0) *flag = 0;
        break;
      }
      case ftBoolean:
        if (GetU16(value) > 1) PutU16(value, 1);
        break;
      case ftBlob:
        std::memset(value + 4, 0, 4);
        break;
      default:
        break;
    }
  }
  return rec;
}

void TDataCursor::CheckValidity(const std::uint8_t* buffer) {
  RequireOpen();
  std::vector<std::uint8_t> rec = Normalised(buffer);
  CheckRecordConstraints(FTable->Data().Fields(), rec.data(), FTable->Collation(), FTable->Name());
}

// Every BLOB reference of a buffer must be an open value of this cursor for that field, or a
// block number inside the BLOB file.
void TDataCursor::CheckBlobReferences(const std::uint8_t* buffer) {
  TBlobFile* blob = FTable->Blob();
  for (const TFieldDesc& f : FTable->Data().Fields()) {
    if (!f.IsBlob()) continue;
    const std::int32_t ref = GetI32(buffer + f.FieldOffset + 1);
    if (ref < 0) {
      TOpenBlob* open = FindBlob(ref);
      if (!open || open->Value->FieldNo() != f.FieldNo) Raise(VELDOR_INVALIDBLOBOFFSET);
    } else if (ref > 0 && (!blob || ref > blob->HighestBlockNo())) {
      Raise(VELDOR_INVALIDBLOBOFFSET);
    }
  }
}

// Writes the BLOB values of `from` as the chains of record recordNo and stores their first
// blocks in `into`. `stored` is the record as it is (nullptr for an insert): its chains are
// reused in place, and freed for values that became empty. A reference to another record's
// chain (a copied buffer) copies that value.
void TDataCursor::StoreBlobValues(std::int32_t recordNo, std::int32_t rowId,
                                  const std::uint8_t* from, std::uint8_t* into,
                                  const std::uint8_t* stored) {
  TBlobFile* blob = FTable->Blob();
  for (const TFieldDesc& f : FTable->Data().Fields()) {
    if (!f.IsBlob()) continue;
    const std::int32_t ref = GetI32(from + f.FieldOffset + 1);
    const std::int32_t old = stored ? ReadBlobField(f, stored) : 0;
    std::int32_t first = old;
    if (ref < 0) {
      TBlobBuffer& value = *FindBlob(ref)->Value;
      const bool same = stored && value.RecordNo() == recordNo && value.FirstBlock() == old;
      if (!same || value.Modified()) {
        value.SetRecord(recordNo, rowId);
        first = WriteOpenBlob(*blob, value, recordNo, old);
      }
    } else if (ref == 0) {
      if (old != 0) first = blob->WriteValue(recordNo, nullptr, 0, old);
    } else if (ref != old) {
      TBlock* head = blob->GetBlock(ref);
      const std::int32_t owner = head->Owner;
      blob->ReleaseBlock(head);
      const std::vector<std::uint8_t> bytes = blob->ReadValue(ref, owner);
      first =
          blob->WriteValue(recordNo, bytes.data(), static_cast<std::int64_t>(bytes.size()), old);
    }
    WriteBlobField(f, into, first);
  }
}

bool TDataCursor::BeginWrite() {
  const bool changed = FTable->Locks().TakeChangeWriteLock();
  if (changed || !(FTable->Counters() == FSeen)) Resync();
  return changed;
}

void TDataCursor::EndWriteLock() noexcept {
  try {
    FTable->Locks().ReleaseWriteLock();
  } catch (...) {
  }
}

void TDataCursor::AfterPost(std::int32_t recordNo, const std::uint8_t* stored,
                            std::uint8_t* buffer) {
  FSeen = FTable->Counters();
  RetestRecord(recordNo, stored);
  ReleaseBlobsOf(buffer);
  FreeAllBlobs();
  const std::size_t size = FTable->Data().RecordSize();
  std::memcpy(buffer, stored, size);
  FRecord.assign(stored, stored + size);
  FHaveRecord = true;
  FPos = PositionAfterPost(recordNo, stored);
  if (FPos.State != TState::OnRecord) FHaveRecord = false;
}

// The record just written is in every index under its key, and no two entries of a tree share
// a key (the RowId suffix or the uniqueness check sees to that), so a search for the key
// would land on it: the cursor stands on it with its leaf entry and rank unknown, and the next
// step or rank question searches then. A load of many records thus walks each tree once per
// record, not twice.
TDataCursor::TPosition TDataCursor::PositionAfterPost(std::int32_t recordNo,
                                                      const std::uint8_t* record) {
  TPosition p;
  p.State = TState::OnRecord;
  p.RecordNo = recordNo;
  if (!FIndexMode) return p;
  p.Key = KeyOfRecord(record);
  p.Rank = 0;
  p.StepValid = false;
  return p;
}

// ---- insert -----------------------------------------------------------------------------

void TDataCursor::InsertRecord(std::uint8_t* buffer) {
  RequireOpen();
  if (FReadOnly) Raise(VELDOR_OSEACCES);
  Run([&] {
    TDataFile& data = FTable->Data();
    TIndexFile& index = FTable->Index();
    std::vector<std::uint8_t> work = Normalised(buffer);
    CheckBlobReferences(work.data());
    CheckRecordConstraints(data.Fields(), work.data(), FTable->Collation(), FTable->Name());

    BeginWrite();
    TWriteLockGuard writeLock(FTable->Locks());
    const bool hasPrimary = FTable->HasPrimaryIndex();
    std::int32_t rowId;
    if (FAutoIncSuppressed) {
      rowId = RecRowId(work.data());
      if (rowId <= 0) Raise(VELDOR_FLDLIMIT);
    } else {
      if (data.LastAutoInc() >= MaxAutoIncValue) Raise(VELDOR_TABLEFULL);
      rowId = data.LastAutoInc() + 1;
    }
    SetRecRowId(work.data(), rowId);

    // A deleted slot that will be reused must have its "Sys Deleted" key.
    const std::int32_t slot = data.PeekNextSlot(hasPrimary);
    const bool reuse = slot != data.Header().NextRecordNo;

    // Uniqueness in every unique index, and of the RowId when it is given. An appended record's
    // number is known before the change; the first unique index then takes its key before the
    // record is written, and that insert is its uniqueness check (it changes no page when the
    // key is present), so its tree is not walked twice.
    const std::vector<int> slots = IndexSlots();
    // The keys side by side in one buffer.
    std::array<std::size_t, IndexSlotCount + 1> keyAt{};
    for (std::size_t i = 0; i < slots.size(); ++i)
      keyAt[i + 1] = keyAt[i] + index.Header().KeySize(slots[i]);
    std::vector<std::uint8_t> keyBytes(keyAt[slots.size()]);
    auto key = [&](std::size_t i) { return keyBytes.data() + keyAt[i]; };
    std::size_t early = slots.size();
    for (std::size_t i = 0; i < slots.size(); ++i) {
      const int s = slots[i];
      index.KeyBuilder(s).Build(work.data(), key(i));
      if (!index.KeyLayout(s).Unique) continue;
      if (!reuse && early == slots.size())
        early = i;
      else
        index.CheckNoDuplicate(s, key(i));
    }
    const TSysKey activeKey = SysKey(kRecActive, rowId);
    if (FAutoIncSuppressed) index.CheckNoDuplicate(SysDeletedSlot, activeKey.data());
    if (!reuse) data.CheckAppendCapacity(slot);
    std::int32_t oldRowId = 0;
    if (reuse && slot >= 1 && slot < data.Header().NextRecordNo) {
      std::vector<std::uint8_t> old(data.RecordSize());
      ReadRecordInto(slot, old.data());
      if (RecStatus(old.data()) == kRecDeleted) {
        oldRowId = RecRowId(old.data());
        const TSysKey deletedKey = SysKey(kRecDeleted, oldRowId);
        if (!index.Tree(SysDeletedSlot).Contains(deletedKey.data())) Raise(VELDOR_INDEXCORRUPT);
      }
    }
    EnsureIndexRoom(index, slots, true);

    TRecordLockGuard slotLock(FTable->Locks(), slot, !reuse);
    std::vector<std::uint8_t> stored;
    std::int32_t recordNo = 0;
    FTable->BeginChange();
    if (early < slots.size()) {
      try {
        index.Tree(slots[early]).Insert(key(early), slot);
      } catch (const EVELDOREngineError& e) {
        // A key already present leaves every page as it was: nothing to take back.
        if (e.ErrorCode == VELDOR_KEYVIOL)
          FTable->EndChange();
        else
          FTable->AbandonChange();
        throw;
      } catch (...) {
        FTable->AbandonChange();
        throw;
      }
    }
    try {
      TRecord* record = data.AllocateRecord(hasPrimary, FAutoIncSuppressed ? rowId : 0);
      recordNo = record->RecordNo();
      if (early < slots.size() && recordNo != slot) {
        data.ReleaseRecord(record);
        Raise(VELDOR_INDEXCORRUPT);
      }
      std::uint8_t* bytes = record->Bytes();
      std::memcpy(bytes + kRecordHeaderSize, work.data() + kRecordHeaderSize,
                  data.RecordSize() - kRecordHeaderSize);
      try {
        StoreBlobValues(recordNo, rowId, work.data(), bytes, nullptr);
      } catch (...) {
        data.ReleaseRecord(record);
        throw;
      }
      data.MarkRecordModified(record);
      stored.assign(bytes, bytes + data.RecordSize());
      data.ReleaseRecord(record);
      for (std::size_t i = 0; i < slots.size(); ++i)
        if (i != early) index.Tree(slots[i]).Insert(key(i), recordNo);
      TBTree sys = index.Tree(SysDeletedSlot);
      if (reuse && recordNo == slot && oldRowId != 0) {
        const TSysKey deletedKey = SysKey(kRecDeleted, oldRowId);
        sys.Delete(deletedKey.data());
      }
      sys.Insert(activeKey.data(), recordNo);
      index.IncrementRecordCount();
    } catch (...) {
      FTable->AbandonChange();
      throw;
    }
    FTable->EndChange();
    FTable->EndWrite();
    FTable->NoteInserted(recordNo);
    AfterPost(recordNo, stored.data(), buffer);
    return 0;
  });
}

// ---- edits ------------------------------------------------------------------------------

// Whether the stored record equals the caller's copy; BLOB references that name an open value
// of this cursor compare by the chain the value was read from.
static bool SameRecordBytes(const std::vector<TFieldDesc>& fields, const std::uint8_t* stored,
                            const std::uint8_t* copy, std::size_t size,
                            const std::function<std::int32_t(std::int32_t)>& firstBlockOf) {
  std::vector<std::uint8_t> a(stored, stored + size), b(copy, copy + size);
  for (const TFieldDesc& f : fields) {
    if (!f.IsBlob()) continue;
    const std::int32_t ref = GetI32(&b[f.FieldOffset + 1]);
    if (ref < 0) {
      PutI32(&b[f.FieldOffset + 1], firstBlockOf(ref));
      b[f.FieldOffset] = GetI32(&b[f.FieldOffset + 1]) != 0 ? 1 : 0;
    }
    std::memset(&a[f.FieldOffset + 5], 0, 4);
    std::memset(&b[f.FieldOffset + 5], 0, 4);
  }
  // The link and status bytes are the file's business.
  return std::memcmp(a.data() + kRowIdOffset, b.data() + kRowIdOffset, size - kRowIdOffset) == 0;
}

TErrorCode TDataCursor::BeginEdit(const std::uint8_t* copy) {
  RequireOpen();
  if (FReadOnly) Raise(VELDOR_OSEACCES);
  return Run([&]() -> TErrorCode {
    if (FPos.State != TState::OnRecord) {
      if (FPos.State == TState::Between || FirstPosition().State != TState::OnRecord)
        return VELDOR_NOCURRREC;
      return FPos.State == TState::BOF ? VELDOR_BOF : VELDOR_EOF;
    }
    const std::int32_t recordNo = FPos.RecordNo;
    const bool pessimistic = FTable->Settings().LockProtocol == TLockProtocol::lpPessimistic;
    const bool hadLock = FLockedRecord == recordNo;
    if (pessimistic) LockCursorRecord(recordNo);
    auto giveUp = [&] {
      if (pessimistic && !hadLock) UnlockCursorRecord();
      Raise(VELDOR_KEYORRECDELETED);
    };
    if (FPos.State != TState::OnRecord || FPos.RecordNo != recordNo) giveUp();
    std::vector<std::uint8_t> stored(FTable->Data().RecordSize());
    ReadRecordInto(recordNo, stored.data());
    const std::uint8_t* against = copy ? copy : (FHaveRecord ? FRecord.data() : stored.data());
    if (RecStatus(stored.data()) != kRecActive ||
        !SameRecordBytes(FTable->Data().Fields(), stored.data(), against, stored.size(),
                         [&](std::int32_t id) {
                           TOpenBlob* b = FindBlob(id);
                           return b ? b->Value->FirstBlock() : -1;
                         }))
      giveUp();
    FEditCopy = std::move(stored);
    FEditing = true;
    return VELDOR_NONE;
  });
}

void TDataCursor::EndEdit() {
  RequireOpen();
  if (FEditing && FTable->Settings().LockProtocol == TLockProtocol::lpPessimistic)
    UnlockCursorRecord();
  FEditing = false;
  FEditCopy.clear();
  FreeAllBlobs();
}

// ---- modify -----------------------------------------------------------------------------

void TDataCursor::ModifyRecord(std::uint8_t* buffer) {
  RequireOpen();
  if (FReadOnly) Raise(VELDOR_OSEACCES);
  Run([&] {
    if (FPos.State != TState::OnRecord)
      Raise(FPos.State == TState::BOF
                ? VELDOR_BOF
                : (FPos.State == TState::EOF_ ? VELDOR_EOF : VELDOR_NOCURRREC));
    TDataFile& data = FTable->Data();
    TIndexFile& index = FTable->Index();
    std::vector<std::uint8_t> work = Normalised(buffer);
    CheckBlobReferences(work.data());
    CheckRecordConstraints(data.Fields(), work.data(), FTable->Collation(), FTable->Name());

    const std::vector<std::uint8_t> copy =
        FEditing ? FEditCopy : (FHaveRecord ? FRecord : std::vector<std::uint8_t>());
    BeginWrite();
    TWriteLockGuard writeLock(FTable->Locks());
    if (FPos.State != TState::OnRecord) Raise(VELDOR_KEYORRECDELETED);
    const std::int32_t recordNo = FPos.RecordNo;
    std::vector<std::uint8_t> stored(data.RecordSize());
    ReadRecordInto(recordNo, stored.data());
    if (RecStatus(stored.data()) != kRecActive) Raise(VELDOR_KEYORRECDELETED);
    if (!copy.empty() && std::memcmp(copy.data() + kRowIdOffset, stored.data() + kRowIdOffset,
                                     stored.size() - kRowIdOffset) != 0)
      Raise(VELDOR_KEYORRECDELETED);
    // The record is locked for the post (an optimistic edit, or no edit begun).
    const bool postLock = FLockedRecord != recordNo;
    if (postLock) LockCursorRecord(recordNo);
    struct TPostUnlock {
      TDataCursor& Cursor;
      bool Active;
      ~TPostUnlock() {
        if (Active) Cursor.UnlockCursorRecord();
      }
    } postUnlock{*this, postLock};

    const std::int32_t oldRowId = RecRowId(stored.data());
    const std::int32_t rowId = FAutoIncSuppressed ? RecRowId(work.data()) : oldRowId;
    if (rowId <= 0) Raise(VELDOR_FLDLIMIT);
    SetRecRowId(work.data(), rowId);

    const std::vector<int> slots = IndexSlots();
    struct TKeyChange {
      int Slot;
      std::vector<std::uint8_t> Old, New;
    };
    std::vector<TKeyChange> changes;
    for (const int s : slots) {
      TKeyChange c{s, std::vector<std::uint8_t>(index.Header().KeySize(s)),
                   std::vector<std::uint8_t>(index.Header().KeySize(s))};
      index.KeyBuilder(s).Build(stored.data(), c.Old.data());
      index.KeyBuilder(s).Build(work.data(), c.New.data());
      if (c.Old == c.New) continue;
      TBTree tree = index.Tree(s);
      if (index.KeyLayout(s).Unique) {
        // A key equal to the new one is a violation unless it is this record's own.
        TTreePosition at = tree.Search(c.New.data());
        if (at.Found) {
          std::vector<std::uint8_t> key(c.New.size());
          std::int32_t owner = 0;
          tree.ReadEntry(at.Path.Leaf(), key.data(), &owner);
          if (owner != recordNo)
            RaiseIndexError(VELDOR_KEYVIOL, index.IndexName(s), FTable->Name());
        }
      }
      if (!tree.Contains(c.Old.data())) Raise(VELDOR_INDEXCORRUPT);
      changes.push_back(std::move(c));
    }
    const TSysKey oldSys = SysKey(kRecActive, oldRowId);
    const TSysKey newSys = SysKey(kRecActive, rowId);
    if (rowId != oldRowId) {
      index.CheckNoDuplicate(SysDeletedSlot, newSys.data());
      if (!index.Tree(SysDeletedSlot).Contains(oldSys.data())) Raise(VELDOR_INDEXCORRUPT);
    }
    {
      std::vector<int> grown;
      for (const TKeyChange& c : changes)
        grown.push_back(c.Slot);
      EnsureIndexRoom(index, grown, rowId != oldRowId);
    }

    std::vector<std::uint8_t> final(data.RecordSize());
    FTable->BeginChange();
    try {
      TRecord* record = data.GetRecord(recordNo, false);
      if (!record) Raise(VELDOR_KEYORRECDELETED);
      std::uint8_t* bytes = record->Bytes();
      try {
        std::memcpy(work.data(), stored.data(), kRecordHeaderSize);
        SetRecRowId(work.data(), rowId);
        StoreBlobValues(recordNo, rowId, work.data(), work.data(), stored.data());
      } catch (...) {
        data.ReleaseRecord(record);
        throw;
      }
      std::memcpy(bytes, work.data(), data.RecordSize());
      data.MarkRecordModified(record);
      std::memcpy(final.data(), bytes, final.size());
      data.ReleaseRecord(record);
      for (const TKeyChange& c : changes) {
        TBTree tree = index.Tree(c.Slot);
        tree.Delete(c.Old.data());
        tree.Insert(c.New.data(), recordNo);
      }
      if (rowId != oldRowId) {
        TBTree sys = index.Tree(SysDeletedSlot);
        sys.Delete(oldSys.data());
        sys.Insert(newSys.data(), recordNo);
        if (rowId > data.LastAutoInc()) data.SetLastAutoInc(rowId);
      }
      data.MarkHeaderModified();
    } catch (...) {
      FTable->AbandonChange();
      throw;
    }
    FTable->EndChange();
    FTable->EndWrite();
    if (FEditing && FLockedRecord == recordNo) postUnlock.Active = true;
    FEditing = false;
    FEditCopy.clear();
    AfterPost(recordNo, final.data(), buffer);
    return 0;
  });
}

// ---- delete -----------------------------------------------------------------------------

void TDataCursor::DeleteRecord() {
  RequireOpen();
  if (FReadOnly) Raise(VELDOR_OSEACCES);
  Run([&] {
    if (FPos.State != TState::OnRecord)
      Raise(FPos.State == TState::BOF
                ? VELDOR_BOF
                : (FPos.State == TState::EOF_ ? VELDOR_EOF : VELDOR_NOCURRREC));
    TDataFile& data = FTable->Data();
    TIndexFile& index = FTable->Index();
    BeginWrite();
    TWriteLockGuard writeLock(FTable->Locks());
    if (FPos.State != TState::OnRecord) Raise(VELDOR_KEYORRECDELETED);
    const std::int32_t recordNo = FPos.RecordNo;
    if (FTable->CursorLocks().Test(recordNo) && FLockedRecord != recordNo)
      Raise(VELDOR_RECLOCKFAILED);
    std::vector<std::uint8_t> stored(data.RecordSize());
    ReadRecordInto(recordNo, stored.data());
    if (RecStatus(stored.data()) != kRecActive) Raise(VELDOR_KEYORRECDELETED);
    if (FLockedRecord != recordNo) {
      if (FHaveRecord && std::memcmp(FRecord.data() + kRowIdOffset, stored.data() + kRowIdOffset,
                                     stored.size() - kRowIdOffset) != 0)
        Raise(VELDOR_KEYORRECDELETED);
      LockCursorRecord(recordNo);
    }
    struct TUnlock {
      TDataCursor& Cursor;
      ~TUnlock() { Cursor.UnlockCursorRecord(); }
    } unlock{*this};

    const std::int32_t rowId = RecRowId(stored.data());
    const std::vector<int> slots = IndexSlots();
    std::vector<std::vector<std::uint8_t>> keys(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
      keys[i].resize(index.Header().KeySize(slots[i]));
      index.KeyBuilder(slots[i]).Build(stored.data(), keys[i].data());
      if (!index.Tree(slots[i]).Contains(keys[i].data())) Raise(VELDOR_INDEXCORRUPT);
    }
    const TSysKey activeKey = SysKey(kRecActive, rowId);
    const TSysKey deletedKey = SysKey(kRecDeleted, rowId);
    if (!index.Tree(SysDeletedSlot).Contains(activeKey.data())) Raise(VELDOR_INDEXCORRUPT);
    if (index.Tree(SysDeletedSlot).Contains(deletedKey.data())) Raise(VELDOR_INDEXCORRUPT);
    EnsureIndexRoom(index, {}, true);
    std::vector<std::int32_t> chains;
    for (const TFieldDesc& f : data.Fields())
      if (f.IsBlob()) chains.push_back(ReadBlobField(f, stored.data()));

    FTable->BeginChange();
    try {
      for (std::size_t i = 0; i < slots.size(); ++i)
        index.Tree(slots[i]).Delete(keys[i].data());
      TBTree sys = index.Tree(SysDeletedSlot);
      sys.Delete(activeKey.data());
      sys.Insert(deletedKey.data(), recordNo);
      index.DecrementRecordCount();
      if (TBlobFile* blob = FTable->Blob()) blob->FreeRecordChains(recordNo, chains);
      data.DeleteRecord(recordNo, FTable->HasPrimaryIndex());
    } catch (...) {
      FTable->AbandonChange();
      throw;
    }
    FTable->EndChange();
    FTable->EndWrite();
    FSeen = FTable->Counters();
    FTable->NoteDeleted(recordNo);
    FFilterBits.Clear(recordNo);
    FEditing = false;
    FEditCopy.clear();
    TPosition gap = FPos;
    gap.State = TState::Between;
    gap.StepValid = false;
    // The record is gone and its deletion written or held by the transaction: a failure to
    // read the record after it leaves the cursor in the gap it left, instead of reporting the
    // deletion as failed (and, on a change by someone else, running it again).
    try {
      Finish(NextFrom(gap), nullptr);
    } catch (const ETableChanged&) {
      Finish(gap, nullptr);
    } catch (const EVELDOREngineError&) {
      Finish(gap, nullptr);
    }
    return 0;
  });
}

// ---- record locks -----------------------------------------------------------------------

void TDataCursor::LockCursorRecord(std::int32_t recordNo) {
  if (FTable->ReadOnlyAttribute() || FLockedRecord == recordNo) return;
  if (FTable->CursorLocks().Test(recordNo)) Raise(VELDOR_RECLOCKFAILED);
  if (FLockedRecord != 0) UnlockCursorRecord();
  const bool changed = FTable->Locks().LockRecord(recordNo);
  FTable->CursorLocks().Set(recordNo);
  FLockedRecord = recordNo;
  if (changed || !(FTable->Counters() == FSeen)) Resync();
}

void TDataCursor::UnlockCursorRecord() noexcept {
  if (FLockedRecord == 0 || !FTable) return;
  const std::int32_t n = FLockedRecord;
  FLockedRecord = 0;
  FTable->CursorLocks().Clear(n);
  try {
    FTable->Locks().UnlockRecord(n);
  } catch (...) {
  }
}

void TDataCursor::LockRecord() {
  RequireOpen();
  Run([&] {
    if (FPos.State != TState::OnRecord) Raise(VELDOR_NOCURRREC);
    LockCursorRecord(FPos.RecordNo);
    return 0;
  });
}

void TDataCursor::UnlockRecord() {
  RequireOpen();
  UnlockCursorRecord();
}

void TDataCursor::TakeTableReadLock() {
  RequireOpen();
  if (FTableReadLock) return;
  const bool changed = FTable->Locks().TakeTableReadLock();
  FTableReadLock = true;
  if (changed) Resync();
}

void TDataCursor::ReleaseTableReadLock() {
  RequireOpen();
  if (!FTableReadLock) return;
  FTableReadLock = false;
  FTable->Locks().ReleaseTableReadLock();
}

}  // namespace zorvic::engine
