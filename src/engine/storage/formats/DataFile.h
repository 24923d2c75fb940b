// TDataFile: one session's view of a table's data file (".DAT").
//
// Holds the table header and field descriptors in memory and caches records (TRecord) in a
// TUnitCache: misses read runs of consecutive records (forward from the wanted one, or
// backward ending at it), modified records are written in ascending runs with one write per
// run. It allocates record slots (reusing deleted slots last-in-first-out only when the table
// has a primary index), hands out RowIds, deletes and empties, writes the header with a new
// ChangeCount, and scrambles records and descriptors with DataSeed in encrypted tables.
//
// Changes. A change (insert, update, delete) is bracketed by BeginChange/EndChange: while it
// is under way the cache never writes a record to make room (it grows instead), so a failure
// half-way leaves nothing half-made on disk; AbandonChange then drops the cache and re-reads
// the header, forgetting every unwritten change. Callers write (Flush) after each change
// outside transactions, so abandoning loses only the failed change. Capacity limits (table
// full, auto-increment exhausted) are checked before anything is modified.
//
// Crash tolerance: records past NextRecordNo (an append whose header never reached the disk)
// are ignored when the file is checked, and cut off at the next write of an exclusively open
// table.
//
// Thread safety: one TDataFile belongs to one session's table and is used by one thread at a
// time, under the table's locks (TTableLocks). Reads and writes of the shared file are
// serialised by the file layer.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/storage/files/FileLayer.h"
#include "engine/storage/formats/FieldDefs.h"
#include "engine/storage/formats/UnitCache.h"
#include "engine/storage/locks/TableLocks.h"

namespace zorvic::engine {

// One cached record: its bytes follow the object in the same allocation (a large transaction
// keeps every record it writes in the cache until its commit: one allocation per record, not
// two, and no vector).
struct TRecord final : TCacheUnit {
  // A zeroed record of size bytes.
  static std::unique_ptr<TRecord> Make(std::size_t size);
  TRecord(const TRecord&) = delete;
  TRecord& operator=(const TRecord&) = delete;
  // Made by Make only, so given back as it was taken.
  static void operator delete(void* p) { ::operator delete(p); }

  void ClearUnit() override { std::memset(Bytes(), 0, FSize); }
  std::int32_t RecordNo() const { return static_cast<std::int32_t>(UnitNo); }
  std::uint8_t* Bytes() { return reinterpret_cast<std::uint8_t*>(this + 1); }
  const std::uint8_t* Bytes() const { return reinterpret_cast<const std::uint8_t*>(this + 1); }
  std::size_t Size() const { return FSize; }

 private:
  explicit TRecord(std::size_t size) : FSize(static_cast<std::uint32_t>(size)) {}
  std::uint32_t FSize;
};

struct TDataFileSettings {
  std::int64_t CacheBytes = 16384;  // record-cache byte budget
  std::int64_t CacheCount = 8192;   // record-cache count limit
  bool ForceBufferFlush = false;    // flush the OS buffers after every write
};

class TDataFile : public TFileHandler, private TUnitCache<TRecord>::TOwner {
 public:
  using TRecordCache = TUnitCache<TRecord>;

  // fileName: full path of the ".DAT"; tableName: the name used in error messages.
  TDataFile(std::string fileName, std::string tableName, bool inMemory = false,
            TFileList& list = TFileList::Instance());
  ~TDataFile() override;

  void SetSettings(const TDataFileSettings& settings);
  const TDataFileSettings& Settings() const { return FSettings; }
  void SetLocks(TTableLocks* locks) { FLocks = locks ? locks : &NoTableLocks(); }
  TTableLocks& Locks() const { return *FLocks; }
  const std::string& TableName() const { return FTableName; }

  // Checks the definition (BuildFieldDescs, BuildTableHeader), creates the file exclusively and
  // writes header and descriptors. The file stays open.
  void Create(const TTableDefinition& definition);
  // Opens the file and reads header and descriptors (VELDOR_HEADERCORRUPT for more than 1024
  // fields or a file too short to hold them). Closes the file again on failure.
  void Open(bool exclusive, bool temporary = false) override;
  // Drops the cache (writing nothing) and closes.
  void Close() override;

  // The checks made when a session first opens the table: VELDOR_OLDVERSION,
  // VELDOR_CANNOTLOADLDDRV or VELDOR_HEADERCORRUPT.
  void Verify();
  // Every problem Verify would raise for, and the deleted-slot chain's, as text (empty when
  // sound); reads all records. Used by the table tool.
  std::vector<std::string> CheckFile();

  // ---- header ----
  const TTableHeader& Header() const { return FHeader; }
  // Reads the header unconditionally; true when its ChangeCount differed.
  bool ReadHeader();
  // Reads the header; when its ChangeCount differs, takes it over, drops the record cache and
  // returns true.
  bool RefreshHeaderIfChanged();
  // Writes the header when forced or modified (ChangeCount + 1, WriterVersion, LastUpdated);
  // true when it wrote.
  bool WriteHeader(bool force = false);
  void WriteFieldDescs();
  bool HeaderModified() const { return FHeaderModified; }
  void MarkHeaderModified() { FHeaderModified = true; }

  // ---- fields ----
  std::uint16_t FieldCount() const { return FHeader.FieldCount; }
  // Field by number (1-based) or name (case-insensitive); nullptr when absent.
  const TFieldDesc* Field(std::uint32_t fieldNo) const;
  const TFieldDesc* FindField(std::string_view name) const;
  const std::vector<TFieldDesc>& Fields() const { return FFields; }
  // Changes the descriptive parts of a field (name, subtype, description, required, minimum,
  // maximum, default) in place; they are written with the descriptors.
  void UpdateFieldDescriptiveParts(std::uint32_t fieldNo, const TFieldDesc& parts);

  std::uint16_t RecordSize() const { return FHeader.RecordSize; }
  std::uint16_t BlobFieldCount() const { return FHeader.BlobFieldCount; }
  std::uint32_t BlobBlockSize() const { return FHeader.EffectiveBlobBlockSize(); }
  std::uint16_t LanguageId() const { return FHeader.LocaleLanguage; }
  std::uint16_t SortId() const { return FHeader.LocaleSort; }
  bool Encrypted() const { return FHeader.Encrypted != 0; }
  std::int32_t PhysicalRecordCount() const { return FHeader.NextRecordNo - 1; }
  std::string TableDescription() const { return FHeader.Description(); }
  std::string TablePassword() const { return FHeader.Password(); }
  std::int64_t HeaderBytes() const { return DataHeaderBytes(FHeader.FieldCount); }
  std::int32_t ReadAheadCount() const { return FReadAhead; }

  // ---- records ----
  // A pinned record. Forward (default) reads min(read-ahead, records to the end) from the wanted
  // one; backward reads `backwardRun` records (read-ahead when 0) ending at it; no read-ahead
  // reads one record. VELDOR_FILECORRUPT for record numbers outside the file or missing bytes.
  // nullptr when the read lock found the table changed (the caller repositions and repeats).
  TRecord* GetRecord(std::int32_t recordNo, bool readAhead = true, bool backward = false,
                     std::int32_t backwardRun = 0);
  void ReleaseRecord(TRecord* record);
  // Whether a record is in the cache (no read needed).
  bool IsCached(std::int32_t recordNo) const { return FCache.Peek(recordNo) != nullptr; }
  // Reads the given records that are not cached under one operation read lock (nearby ones in
  // one run each), for a cursor that is about to visit them in index order. At most half the
  // cache's capacity is read, so the batch never evicts itself. False when the read lock found
  // the table changed: nothing was read and the caller repositions and repeats.
  bool Prefetch(std::vector<std::int32_t> recordNos);
  // Copies records first..first+count-1 into out (count * RecordSize bytes) for a scan in file
  // order: straight from the file under one operation read lock, a record changed in the cache
  // from there, and nothing is added to the cache, so a scan never pushes out what others use.
  // Record numbers past the file's end are VELDOR_FILECORRUPT. False when the read lock found
  // the table changed: the caller repositions and repeats.
  bool ReadRecordsDirect(std::int32_t first, std::int32_t count, std::uint8_t* out);
  // Marks a pinned record as changed (to be written).
  void MarkRecordModified(TRecord* record) { FCache.MarkModified(record); }

  // A new, pinned, initialised record: the slot is the first deleted one when the table has a
  // primary index and one exists, else a new slot at the end. RowId is the next auto-increment
  // value, or `suppliedRowId` (> 0) which then raises LastAutoInc to at least it.
  // VELDOR_TABLEFULL before any change when the table or the auto-increment values are full.
  // A deleted-slot chain whose head is not a deleted slot is given up (FirstDeleted 0) and the
  // record appended: an interrupted write must not stop every later insert.
  TRecord* AllocateRecord(bool hasPrimaryIndex, std::int32_t suppliedRowId = 0);
  // Marks a record deleted and links it into the deleted-slot chain (the chain is kept only
  // with a primary index).
  void DeleteRecord(std::int32_t recordNo, bool hasPrimaryIndex);
  // The slot AllocateRecord would take, without taking it.
  std::int32_t PeekNextSlot(bool hasPrimaryIndex) const;
  // VELDOR_TABLEFULL when a record appended as recordNo would not fit.
  void CheckAppendCapacity(std::int32_t recordNo) const;

  // The next auto-increment value (VELDOR_TABLEFULL when 2,147,483,647 was handed out).
  std::int32_t NextAutoIncValue();
  std::int32_t LastAutoInc() const { return FHeader.LastAutoInc; }
  void SetLastAutoInc(std::int32_t value);

  // ---- changes, writing and the cache ----
  void BeginChange() { FChangeUnderWay = true; }
  void EndChange() { FChangeUnderWay = false; }
  // Forgets every unwritten change: drops the cache and re-reads the header.
  void AbandonChange();
  // Writes modified records (ascending, consecutive ones in one write), then the header when
  // modified; an exclusive table also loses bytes past its last slot. Flushes the OS buffers
  // when the settings force it. Inside a transaction (TTableLocks) nothing is written.
  void Flush();
  void FlushRecords();
  void DropCache() { FCache.Drop(); }
  void TrimCache() { FCache.Trim(); }
  const TRecordCache& Cache() const { return FCache; }
  // Truncates to header and descriptors; NextRecordNo 1, FirstDeleted, ChangeCount and
  // LastAutoInc 0; header written.
  void Empty();

  // ---- locks in the data file ----
  bool LockRecord(std::int32_t recordNo);
  bool UnlockRecord(std::int32_t recordNo);
  void UnlockAllRecords();
  bool LockWriteByte();
  bool UnlockWriteByte();
  static std::int64_t RecordLockOffset(std::int32_t recordNo) { return 0xFFFFFFFELL - recordNo; }
  static constexpr std::int64_t kTransactionByteOffset = 0xFFFFFFFFLL;

  // Raises code naming this table.
  [[noreturn]] void RaiseTable(TErrorCode code) const;

 private:
  // Savepoints copy and restore the unwritten state (TransactionSavepoint.h).
  friend class TTransactionSavepoint;
  std::unique_ptr<TRecord> NewCacheUnit(TRecordCache& cache) override;
  bool SpareFits(TRecordCache& cache, const TRecord& spare) override;
  bool CacheMayWrite(TRecordCache& cache) override;
  void WriteModifiedUnits(TRecordCache& cache) override;

  void ReadDescriptors();
  void ConfigureCache();
  void ReadRun(std::int32_t first, std::int32_t count);
  std::int64_t RecordOffset(std::int32_t recordNo) const {
    return HeaderBytes() + static_cast<std::int64_t>(recordNo - 1) * FHeader.RecordSize;
  }
  std::int64_t ExpectedFileSize() const { return RecordOffset(FHeader.NextRecordNo); }
  void TrimPastLastSlot();

  std::string FTableName;
  TDataFileSettings FSettings;
  TTableLocks* FLocks;
  TTableHeader FHeader;
  std::vector<TFieldDesc> FFields;
  bool FHeaderModified = false;
  bool FFieldsModified = false;
  bool FChangeUnderWay = false;
  std::int32_t FReadAhead = 1;
  TRecordCache FCache;
  std::vector<std::uint8_t> FScratch;
  std::set<std::int32_t> FLockedRecords;
};

}  // namespace zorvic::engine
