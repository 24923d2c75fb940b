#include "engine/storage/formats/DataFile.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/EngineLimits.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/formats/Scramble.h"
#include "engine/storage/locks/ReadCounters.h"

namespace zorvic::engine {

TDataFile::TDataFile(std::string fileName, std::string tableName, bool inMemory, TFileList& list)
    : TFileHandler(std::move(fileName), inMemory, list),
      FTableName(std::move(tableName)),
      FLocks(&NoTableLocks()),
      FCache(*this, TUnitCacheConfig{1, RecordCacheGrowth, RecordCacheProbe, RecordSpareLimit}) {}

TDataFile::~TDataFile() {
  FCache.Drop();
  CloseQuietly();
}

void TDataFile::RaiseTable(TErrorCode code) const {
  RaiseTableError(code, FTableName);
}

void TDataFile::SetSettings(const TDataFileSettings& settings) {
  FSettings = settings;
  if (IsOpen()) ConfigureCache();
}

void TDataFile::ConfigureCache() {
  TUnitCacheConfig config;
  config.Capacity = CacheCapacityFor(FSettings.CacheBytes, std::max<std::int64_t>(RecordSize(), 1),
                                     FSettings.CacheCount);
  config.GrowthStep = RecordCacheGrowth;
  config.QuickProbe = RecordCacheProbe;
  config.SpareLimit = RecordSpareLimit;
  FCache.Configure(config);
}

// ---- the cache's owner -----------------------------------------------------------------

std::unique_ptr<TRecord> TRecord::Make(std::size_t size) {
  void* raw = ::operator new(sizeof(TRecord) + size);
  std::unique_ptr<TRecord> record(new (raw) TRecord(size));
  std::memset(record->Bytes(), 0, size);
  return record;
}

std::unique_ptr<TRecord> TDataFile::NewCacheUnit(TRecordCache&) {
  return TRecord::Make(RecordSize());
}

// A spare of a table opened before with another record size goes.
bool TDataFile::SpareFits(TRecordCache&, const TRecord& spare) {
  return spare.Size() == RecordSize();
}

bool TDataFile::CacheMayWrite(TRecordCache&) {
  return !FChangeUnderWay && !FLocks->InTransaction();
}

void TDataFile::WriteModifiedUnits(TRecordCache&) {
  FlushRecords();
}

// ---- create, open, close ---------------------------------------------------------------

void TDataFile::Create(const TTableDefinition& definition) {
  std::vector<TFieldDesc> fields = BuildFieldDescs(definition, FTableName);
  TTableHeader header = BuildTableHeader(definition, fields, FTableName);
  CreateFile();
  FCache.Drop();
  FHeader = header;
  FFields = std::move(fields);
  FReadAhead = std::max<std::int32_t>(
      1, static_cast<std::int32_t>(RecordReadAheadBytes / FHeader.RecordSize));
  ConfigureCache();
  FHeaderModified = true;
  FFieldsModified = true;
  // The descriptors go first: a header never describes fields that are not on disk.
  WriteFieldDescs();
  WriteHeader(true);
  if (FSettings.ForceBufferFlush) FlushBuffers();
}

void TDataFile::Open(bool exclusive, bool temporary) {
  if (IsOpen()) return;
  TFileHandler::Open(exclusive, temporary);
  try {
    FCache.Drop();
    FFields.clear();
    FHeaderModified = false;
    FFieldsModified = false;
    FChangeUnderWay = false;
    std::uint8_t bytes[kTableHeaderSize];
    if (ReadAt(0, bytes, kTableHeaderSize, true) != static_cast<std::int64_t>(kTableHeaderSize))
      RaiseTable(VELDOR_HEADERCORRUPT);
    FHeader.Decode(bytes);
    FHeader.HeaderModified = 0;
    if (FHeader.FormatVersion != kDataFormatVersion) RaiseTable(VELDOR_OLDVERSION);
    if (FHeader.FieldCount > MaxFieldCount || FHeader.RecordSize < kRecordHeaderSize)
      RaiseTable(VELDOR_HEADERCORRUPT);
    FReadAhead = std::max<std::int32_t>(
        1, static_cast<std::int32_t>(RecordReadAheadBytes / FHeader.RecordSize));
    ReadDescriptors();
    // Every later access relies on offsets and sizes that fit the record.
    if (!CheckFieldDescs(FHeader, FFields).empty()) RaiseTable(VELDOR_HEADERCORRUPT);
    ConfigureCache();
  } catch (...) {
    FCache.Drop();
    CloseQuietly();
    throw;
  }
}

void TDataFile::ReadDescriptors() {
  const std::int64_t size = static_cast<std::int64_t>(kFieldDescSize) * FHeader.FieldCount;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  if (size > 0 && ReadAt(kTableHeaderSize, bytes.data(), size, true) != size)
    RaiseTable(VELDOR_HEADERCORRUPT);
  FFields.assign(FHeader.FieldCount, TFieldDesc{});
  for (std::size_t i = 0; i < FFields.size(); ++i) {
    std::uint8_t* p = bytes.data() + i * kFieldDescSize;
    if (Encrypted()) Scramble(p, kFieldDescSize, DataSeed);
    FFields[i].Decode(p);
  }
}

void TDataFile::Close() {
  FCache.Drop();
  UnlockAllRecords();
  TFileHandler::Close();
}

// ---- verification ----------------------------------------------------------------------

void TDataFile::Verify() {
  RequireOpen();
  if (FHeader.FormatVersion != kDataFormatVersion) RaiseTable(VELDOR_OLDVERSION);
  if ((FHeader.LocaleLanguage != 0 || FHeader.LocaleSort != 0) &&
      !IsInstalledCollation(FHeader.LocaleLanguage, FHeader.LocaleSort))
    RaiseTable(VELDOR_CANNOTLOADLDDRV);
  if (!CheckFieldDescs(FHeader, FFields).empty()) RaiseTable(VELDOR_HEADERCORRUPT);
  // Whole or partial records past the last slot (an append whose header write never happened)
  // are tolerated; missing records are not.
  if (FHeader.NextRecordNo < 1 || FileSize() < ExpectedFileSize()) RaiseTable(VELDOR_HEADERCORRUPT);
  if (FHeader.FirstDeleted < 0 || FHeader.FirstDeleted >= FHeader.NextRecordNo)
    RaiseTable(VELDOR_HEADERCORRUPT);
}

// ---- header ----------------------------------------------------------------------------

bool TDataFile::ReadHeader() {
  std::uint8_t bytes[kTableHeaderSize];
  if (ReadAt(0, bytes, kTableHeaderSize, true) != static_cast<std::int64_t>(kTableHeaderSize))
    RaiseTable(VELDOR_HEADERCORRUPT);
  TTableHeader fresh;
  fresh.Decode(bytes);
  fresh.HeaderModified = 0;
  // The descriptors in memory must still describe the file (restructuring needs exclusive use).
  if (fresh.FieldCount != FHeader.FieldCount || fresh.RecordSize != FHeader.RecordSize ||
      fresh.FormatVersion != kDataFormatVersion)
    RaiseTable(VELDOR_HEADERCORRUPT);
  const bool changed = fresh.ChangeCount != FHeader.ChangeCount;
  FHeader = fresh;
  FHeaderModified = false;
  return changed;
}

bool TDataFile::RefreshHeaderIfChanged() {
  std::uint8_t bytes[4];
  if (ReadAt(0, bytes, 4, true) != 4) RaiseTable(VELDOR_HEADERCORRUPT);
  if (GetI32(bytes) == FHeader.ChangeCount) return false;
  FCache.Drop();
  ReadHeader();
  return true;
}

bool TDataFile::WriteHeader(bool force) {
  if (!force && !FHeaderModified) return false;
  if (FLocks->InTransaction() && !force) return false;
  TTableHeader next = FHeader;
  next.ChangeCount = FHeader.ChangeCount + 1;
  next.WriterVersion = kWriterVersion;
  next.LastUpdated = NowAsDayCount() - static_cast<double>(kDayNumber18991230);
  next.HeaderModified = FHeaderModified ? 1 : 0;
  std::uint8_t bytes[kTableHeaderSize];
  next.Encode(bytes);
  WriteAt(0, bytes, kTableHeaderSize);
  next.HeaderModified = 0;
  FHeader = next;
  FHeaderModified = false;
  return true;
}

void TDataFile::WriteFieldDescs() {
  if (!FFieldsModified) return;
  std::vector<std::uint8_t> bytes(kFieldDescSize * FFields.size());
  for (std::size_t i = 0; i < FFields.size(); ++i) {
    std::uint8_t* p = bytes.data() + i * kFieldDescSize;
    FFields[i].Encode(p);
    if (Encrypted()) Scramble(p, kFieldDescSize, DataSeed);
  }
  if (!bytes.empty())
    WriteAt(kTableHeaderSize, bytes.data(), static_cast<std::int64_t>(bytes.size()));
  FFieldsModified = false;
}

// ---- fields ----------------------------------------------------------------------------

const TFieldDesc* TDataFile::Field(std::uint32_t fieldNo) const {
  if (fieldNo < 1 || fieldNo > FFields.size()) return nullptr;
  return &FFields[fieldNo - 1];
}

const TFieldDesc* TDataFile::FindField(std::string_view name) const {
  for (const TFieldDesc& f : FFields)
    if (SameFieldName(f.Name(), name)) return &f;
  return nullptr;
}

void TDataFile::UpdateFieldDescriptiveParts(std::uint32_t fieldNo, const TFieldDesc& parts) {
  if (fieldNo < 1 || fieldNo > FFields.size())
    RaiseFieldError(VELDOR_OUTOFRANGE, std::to_string(fieldNo), FTableName);
  TFieldDesc& f = FFields[fieldNo - 1];
  f.FieldName = parts.FieldName;
  f.SubType = parts.SubType;
  f.FieldDescription = parts.FieldDescription;
  f.Required = parts.Required;
  f.MinValue = parts.MinValue;
  f.MaxValue = parts.MaxValue;
  f.DefaultValue = parts.DefaultValue;
  FFieldsModified = true;
}

// ---- records ---------------------------------------------------------------------------

TRecord* TDataFile::GetRecord(std::int32_t recordNo, bool readAhead, bool backward,
                              std::int32_t backwardRun) {
  CountRecordRead(this, recordNo);
  RequireOpen();
  if (recordNo < 1 || recordNo >= FHeader.NextRecordNo) RaiseTable(VELDOR_FILECORRUPT);
  if (TRecord* hit = FCache.Find(recordNo)) return hit;
  const TReadLockHold hold(*FLocks);
  if (hold.Changed) return nullptr;
  std::int64_t first = recordNo;
  std::int64_t count = 1;
  const std::int64_t limit = std::max<std::int64_t>(1, FCache.Capacity());
  if (readAhead && !backward) {
    count = std::min<std::int64_t>({FReadAhead, FHeader.NextRecordNo - recordNo, limit});
  } else if (readAhead) {
    count = std::min<std::int64_t>({backwardRun > 0 ? backwardRun : FReadAhead, recordNo, limit});
    first = recordNo - count + 1;
  }
  ReadRun(static_cast<std::int32_t>(first), static_cast<std::int32_t>(count));
  TRecord* record = FCache.Find(recordNo);
  if (!record) RaiseTable(VELDOR_FILECORRUPT);
  return record;
}

bool TDataFile::Prefetch(std::vector<std::int32_t> recordNos) {
  RequireOpen();
  std::sort(recordNos.begin(), recordNos.end());
  recordNos.erase(std::unique(recordNos.begin(), recordNos.end()), recordNos.end());
  const std::int64_t budget = std::max<std::int64_t>(1, FCache.Capacity() / 2);
  std::vector<std::int32_t> missing;
  for (std::int32_t n : recordNos) {
    if (n >= 1 && n < FHeader.NextRecordNo && !FCache.Peek(n)) missing.push_back(n);
  }
  if (missing.empty()) return true;
  const TReadLockHold hold(*FLocks);
  if (hold.Changed) return false;
  // Records a few slots apart come in one read: one call costs more than the bytes between.
  constexpr std::int32_t kGap = 4;
  std::int64_t read = 0;
  std::size_t i = 0;
  while (i < missing.size() && read < budget) {
    std::size_t j = i;
    while (j + 1 < missing.size() && missing[j + 1] - missing[j] <= kGap &&
           read + (missing[j + 1] - missing[i] + 1) <= budget)
      ++j;
    const std::int32_t count = missing[j] - missing[i] + 1;
    ReadRun(missing[i], count);
    read += count;
    i = j + 1;
  }
  return true;
}

void TDataFile::ReadRun(std::int32_t first, std::int32_t count) {
  const std::int64_t recordSize = FHeader.RecordSize;
  const std::int64_t bytes = recordSize * count;
  FScratch.resize(static_cast<std::size_t>(bytes));
  const std::int64_t got = ReadAt(RecordOffset(first), FScratch.data(), bytes, true);
  const std::int64_t whole = got / recordSize;
  std::vector<TRecord*> added;
  added.reserve(static_cast<std::size_t>(whole));
  for (std::int64_t i = 0; i < whole; ++i) {
    const std::int32_t recordNo = first + static_cast<std::int32_t>(i);
    std::uint8_t* src = FScratch.data() + i * recordSize;
    TRecord* record = FCache.Peek(recordNo);
    if (record && record->Modified) continue;  // the cached change wins
    if (Encrypted()) Scramble(src, static_cast<std::size_t>(recordSize), DataSeed);
    if (!record) {
      record = FCache.Add(recordNo, true);
      added.push_back(record);
    }
    std::memcpy(record->Bytes(), src, static_cast<std::size_t>(recordSize));
    if (RecStatus(record->Bytes()) == kRecActive) SetRecLink(record->Bytes(), recordNo);
  }
  for (TRecord* record : added)
    FCache.Unpin(record);
}

bool TDataFile::ReadRecordsDirect(std::int32_t first, std::int32_t count, std::uint8_t* out) {
  RequireOpen();
  if (count <= 0) return true;
  if (first < 1 || static_cast<std::int64_t>(first) + count > FHeader.NextRecordNo)
    RaiseTable(VELDOR_FILECORRUPT);
  const TReadLockHold hold(*FLocks);
  if (hold.Changed) return false;
  const std::int64_t recordSize = FHeader.RecordSize;
  const std::int64_t got = ReadAt(RecordOffset(first), out, recordSize * count, true);
  const std::int64_t whole = std::max<std::int64_t>(0, got / recordSize);
  // Only changed records differ from the file (a clean cached one was read from it under a
  // read lock that has seen no change since); appended ones exist only in the cache.
  const bool anyChanged = FCache.ModifiedCount() > 0;
  for (std::int64_t i = 0; i < count; ++i) {
    const std::int32_t recordNo = first + static_cast<std::int32_t>(i);
    std::uint8_t* dst = out + i * recordSize;
    if (anyChanged || i >= whole) {
      if (const TRecord* cached = FCache.Peek(recordNo);
          cached && (cached->Modified || i >= whole)) {
        std::memcpy(dst, cached->Bytes(), static_cast<std::size_t>(recordSize));
        continue;
      }
      if (i >= whole) RaiseTable(VELDOR_FILECORRUPT);
    }
    if (Encrypted()) Scramble(dst, static_cast<std::size_t>(recordSize), DataSeed);
    if (RecStatus(dst) == kRecActive) SetRecLink(dst, recordNo);
  }
  return true;
}

void TDataFile::ReleaseRecord(TRecord* record) {
  if (record) FCache.Unpin(record);
}

std::int32_t TDataFile::PeekNextSlot(bool hasPrimaryIndex) const {
  if (hasPrimaryIndex && FHeader.FirstDeleted != 0) return FHeader.FirstDeleted;
  return FHeader.NextRecordNo;
}

void TDataFile::CheckAppendCapacity(std::int32_t recordNo) const {
  const std::int64_t end = HeaderBytes() + static_cast<std::int64_t>(recordNo) * RecordSize();
  if (recordNo > MaxRecordNo || end > MaxDataFileBytes) RaiseTable(VELDOR_TABLEFULL);
}

TRecord* TDataFile::AllocateRecord(bool hasPrimaryIndex, std::int32_t suppliedRowId) {
  RequireOpen();
  if (suppliedRowId <= 0 && FHeader.LastAutoInc >= MaxAutoIncValue) RaiseTable(VELDOR_TABLEFULL);
  std::int32_t slot = PeekNextSlot(hasPrimaryIndex);
  TRecord* record = nullptr;
  std::int32_t nextDeleted = 0;
  bool chainBroken = false;
  if (slot != FHeader.NextRecordNo) {
    // A head that is not a deleted slot (a write that never finished, damage) cannot be
    // followed; the chain is given up, its slots stay unused, and the record is appended.
    if (slot > 0 && slot < FHeader.NextRecordNo) record = GetRecord(slot, false);
    if (record) {
      nextDeleted = RecLink(record->Bytes());
      if (RecStatus(record->Bytes()) != kRecDeleted || nextDeleted < 0 ||
          nextDeleted >= FHeader.NextRecordNo || nextDeleted == slot) {
        FCache.Unpin(record);
        record = nullptr;
      }
    }
    if (!record) {
      chainBroken = true;
      slot = FHeader.NextRecordNo;
    }
  }
  const bool append = slot == FHeader.NextRecordNo;
  if (append) {
    CheckAppendCapacity(slot);
    record = FCache.Add(slot, true);
  }
  // From here on the change is made; nothing below can fail.
  if (append)
    ++FHeader.NextRecordNo;
  else
    FHeader.FirstDeleted = nextDeleted;
  if (chainBroken) FHeader.FirstDeleted = 0;
  std::memset(record->Bytes(), 0, record->Size());
  SetRecLink(record->Bytes(), slot);
  std::int32_t rowId;
  if (suppliedRowId > 0) {
    rowId = suppliedRowId;
    FHeader.LastAutoInc = std::max(FHeader.LastAutoInc, suppliedRowId);
  } else {
    rowId = ++FHeader.LastAutoInc;
  }
  SetRecRowId(record->Bytes(), rowId);
  FCache.MarkModified(record);
  FHeaderModified = true;
  return record;
}

void TDataFile::DeleteRecord(std::int32_t recordNo, bool hasPrimaryIndex) {
  TRecord* record = GetRecord(recordNo, false);
  if (!record) RaiseTable(VELDOR_KEYORRECDELETED);
  if (RecStatus(record->Bytes()) != kRecActive) {
    FCache.Unpin(record);
    RaiseTable(VELDOR_KEYORRECDELETED);
  }
  SetRecStatus(record->Bytes(), kRecDeleted);
  SetRecLink(record->Bytes(), hasPrimaryIndex ? FHeader.FirstDeleted : 0);
  FHeader.FirstDeleted = recordNo;
  FCache.MarkModified(record);
  FCache.Unpin(record);
  FHeaderModified = true;
}

std::int32_t TDataFile::NextAutoIncValue() {
  if (FHeader.LastAutoInc >= MaxAutoIncValue) RaiseTable(VELDOR_TABLEFULL);
  FHeaderModified = true;
  return ++FHeader.LastAutoInc;
}

void TDataFile::SetLastAutoInc(std::int32_t value) {
  FHeader.LastAutoInc = value;
  FHeaderModified = true;
}

// ---- writing ---------------------------------------------------------------------------

void TDataFile::FlushRecords() {
  if (FLocks->InTransaction()) return;
  const std::vector<TRecord*> modified = FCache.ModifiedUnits(false);
  const std::size_t recordSize = RecordSize();
  // Runs of consecutive records, of up to RunBytes each (as many as an index writes with one
  // call): a longer run would be one more copy of all a large commit's records, while a much
  // shorter one leaves the data in the system's file cache in smaller pieces, slower to read.
  constexpr std::size_t RunBytes = 1024 * 1024;
  const std::size_t runRecords = std::max<std::size_t>(1, RunBytes / recordSize);
  std::vector<std::uint8_t> run;
  for (std::size_t i = 0; i < modified.size();) {
    std::size_t j = i;
    while (j + 1 < modified.size() && j + 1 - i < runRecords &&
           modified[j + 1]->UnitNo == modified[j]->UnitNo + 1)
      ++j;
    const std::size_t count = j - i + 1;
    run.resize(count * recordSize);
    for (std::size_t k = 0; k < count; ++k) {
      std::uint8_t* dest = run.data() + k * recordSize;
      std::memcpy(dest, modified[i + k]->Bytes(), recordSize);
      if (Encrypted()) Scramble(dest, recordSize, DataSeed);
    }
    // A held-back write keeps the run itself; after one that reached the file it serves the
    // next run.
    WriteBytesAt(RecordOffset(modified[i]->RecordNo()), run);
    for (std::size_t k = i; k <= j; ++k)
      FCache.MarkClean(modified[k]);
    i = j + 1;
  }
}

void TDataFile::TrimPastLastSlot() {
  if (!Exclusive() || InMemory()) return;
  if (FileSize() > ExpectedFileSize()) Truncate(ExpectedFileSize());
}

void TDataFile::Flush() {
  RequireOpen();
  if (FLocks->InTransaction()) return;
  const bool wrote = FCache.HasModified() || FHeaderModified || FFieldsModified;
  FlushRecords();
  if (wrote) TrimPastLastSlot();
  WriteFieldDescs();
  WriteHeader(false);
  if (wrote && FSettings.ForceBufferFlush) FlushBuffers();
  FCache.Trim();
}

void TDataFile::AbandonChange() {
  FChangeUnderWay = false;
  FCache.Drop();
  if (IsOpen()) ReadHeader();
}

void TDataFile::Empty() {
  RequireOpen();
  FCache.Drop();
  Truncate(HeaderBytes());
  if (FSettings.ForceBufferFlush) FlushBuffers();
  FHeader.NextRecordNo = 1;
  FHeader.FirstDeleted = 0;
  FHeader.ChangeCount = 0;
  FHeader.LastAutoInc = 0;
  FHeaderModified = true;
  WriteHeader(true);
  if (FSettings.ForceBufferFlush) FlushBuffers();
}

// ---- locks -----------------------------------------------------------------------------

bool TDataFile::LockRecord(std::int32_t recordNo) {
  if (recordNo < 1 || !LockRange(RecordLockOffset(recordNo), 1)) return false;
  FLockedRecords.insert(recordNo);
  return true;
}

bool TDataFile::UnlockRecord(std::int32_t recordNo) {
  if (!FLockedRecords.count(recordNo) || !UnlockRange(RecordLockOffset(recordNo), 1)) return false;
  FLockedRecords.erase(recordNo);
  return true;
}

void TDataFile::UnlockAllRecords() {
  if (IsOpen()) {
    for (const std::int32_t n : FLockedRecords)
      UnlockRange(RecordLockOffset(n), 1);
  }
  FLockedRecords.clear();
}

bool TDataFile::LockWriteByte() {
  return LockRange(kTransactionByteOffset, 1);
}
bool TDataFile::UnlockWriteByte() {
  return UnlockRange(kTransactionByteOffset, 1);
}

}  // namespace zorvic::engine
