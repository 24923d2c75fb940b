// TDataCursor: the engine's only way to read and change a table.
//
// A cursor belongs to one database of one session and works on that session's table object
// (TDataTable). It has a current index, an optional key range, optional filters, a position and
// a current record, and carries out inserts, modifications and deletions with all index, BLOB,
// lock and change-detection work.
//
// Modes. With an index selected the cursor walks that index's B-tree in key order: positions
// carry the key, the record number and the key's rank (from the subtree counts), so record
// counts, record numbers and going to a record number are single descents. With no index (slot
// 255, or slot 0 of a table without a primary index) it runs in record-number mode over the
// bitmap of active records.
//
// Positions. A cursor is on the BOF crack, on the EOF crack, on a record, or between records
// (its record was deleted by someone else, or a key search missed): from there, next gives the
// record after the gap and prior the one before it. Navigation results (VELDOR_BOF, VELDOR_EOF,
// VELDOR_NOCURRREC) are returned, never raised.
//
// Change detection. Every operation first compares the table's change counters (the three
// ChangeCounts, the table object's epoch and write generation) with the ones the cursor saw
// last; when they differ the cursor resynchronises: it returns to its record by key (or record
// number), or to the gap where it was. With strict change detection the operation also takes
// the table's read lock, which refreshes the table from its headers; otherwise the table is
// refreshed at cache misses, and a miss that finds a change restarts the operation from the
// resynchronised position.
//
// Changes. Insert, modify and delete make every check before their first change: validity
// (required, minimum, maximum), locks, that the record was not changed by someone else,
// uniqueness in every unique index (and of the RowId), that every key to be removed is present,
// and room in the files. Only then are the record, the BLOB chains and the index keys changed,
// under the table's write lock; the write ends with the table's flush (shared tables) and a
// failure half-way forgets the unwritten change instead of leaving half of it in the caches.
//
// BLOB values. A Blob field's value is opened into memory (at most 128 per cursor); while open,
// the record buffer holds a negative identifier in place of the first-block number, which no
// block number can ever equal. Reads, writes and truncations work in memory and return result
// codes; the values are written back as chains when the record is posted. Long values are
// opened streamed (read from their chains range by range), and a value given a source is
// written from it block by block at post time, so neither needs the whole value in memory.
//
// Thread safety: a cursor is used by one thread at a time, and with it its database, table
// object and the other cursors on them (DataDirectory.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/cursors/RecordRun.h"
#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/formats/BlobBuffer.h"
#include "engine/storage/formats/RecordsBitmap.h"

namespace zorvic::engine {

class TCollation;
class TDataCursor;

// A callback filter: true when the record (RecordSize bytes) passes.
using TRecordFilter = std::function<bool(const std::uint8_t* record)>;

// A compiled expression filter; the SQL engine provides them through the compiler hook below.
class TFilterExpression {
 public:
  virtual ~TFilterExpression() = default;
  virtual bool Matches(const std::uint8_t* record) = 0;
  // 2: the expression was answered wholly from indexes, 1: partly, 0: not.
  virtual int OptimisationLevel() const { return 0; }
  // Called when the cursor builds its filter bitmap: a filter that can narrow the records to
  // test (from indexes) fills `candidates` with a superset of the active records that match
  // it and returns true; false means every active record is tested. The cursor still tests
  // every candidate with Matches, so a candidate set only has to be complete, never exact.
  virtual bool Candidates(TDataCursor& cursor, TRecordsBitmap& candidates) {
    (void)cursor;
    (void)candidates;
    return false;
  }
};

// One end of a key range over the first field of an index (TDataCursor::CountKeyRange).
// Bounds are in the field's value order, whatever the index's direction: the low bound is the
// smallest value, the high bound the largest, both included.
struct TKeyBound {
  enum TKind : std::uint8_t {
    kOpen,   // unbounded
    kNull,   // the keys whose first field is NULL
    kValue,  // the value of the index's first field in Record
  };
  TKind Kind = kOpen;
  const std::uint8_t* Record = nullptr;  // kValue: a record buffer (RecordSize bytes)
  int Partial = 0;         // kValue of a String field: > 0 keeps only that many leading characters
  bool Exclusive = false;  // kValue: the keys equal to the value are left out (< and >)
};
// Compiles an expression text against the cursor's table. It raises EVELDOREngineError with
// VELDOR_INVALIDFILTER for texts it refuses.
using TFilterCompiler =
    std::function<std::unique_ptr<TFilterExpression>(const std::string& text, TDataCursor& cursor)>;

// Asked when an encrypted table's password is not among the session's passwords; it may add
// the password to the session and returns true to try again.
using TPasswordCallback = std::function<bool(TDataSession& session, const std::string& table)>;

enum class TBlobOpenMode : std::uint8_t { bmRead, bmWrite, bmReadWrite, bmAppend };

class TDataCursor {
 public:
  static constexpr int kNoIndex = 255;
  static constexpr int kMaxFilters = 64;

  explicit TDataCursor(TDataDirectory& database);
  ~TDataCursor();
  TDataCursor(const TDataCursor&) = delete;
  TDataCursor& operator=(const TDataCursor&) = delete;

  // The process-wide compiler of expression filters (none until the SQL engine installs one).
  static void SetFilterCompiler(TFilterCompiler compiler);

  // ---- opening and closing -----------------------------------------------------------
  // Opens the table (VELDOR_OSENOENT, VELDOR_OSEACCES, VELDOR_NOTSUFFTABLERIGHTS, the header
  // checks of the first open in the session) and positions on the BOF crack of the primary
  // index (record-number mode without one).
  void Open(const std::string& tableName, bool inMemory = false, bool exclusive = false,
            bool readOnly = false, const TPasswordCallback& password = {});
  // Frees the BLOB values and filters, releases the record lock and closes the table object.
  void Close();
  bool IsOpen() const { return FTable != nullptr; }

  TDataDirectory& Database() const { return FDatabase; }
  TDataTable& Table() const;
  const std::string& TableName() const;
  // Opened read-only, or the table could only be opened read-only.
  bool ReadOnly() const { return FReadOnly; }
  bool Exclusive() const;
  // Inserts keep the RowId of the buffer (restructuring, copying).
  void SetAutoIncSuppressed(bool on) { FAutoIncSuppressed = on; }
  bool AutoIncSuppressed() const { return FAutoIncSuppressed; }

  // ---- table maintenance through the database (the cursor may be closed) --------------
  void CreateTable(const std::string& name, const TTableCreation& creation, bool overwrite,
                   bool inMemory = false);
  void DeleteTable(const std::string& name, bool inMemory = false);
  void RenameTable(const std::string& name, const std::string& newName, bool inMemory = false);
  // On the open table: needs exclusive use.
  void EmptyTable();
  // On the open table, under its write lock: adds a secondary index filled with every
  // record's key (returns its slot), or deletes one by name.
  int AddIndex(const TIndexDefinition& definition);
  void DeleteIndex(const std::string& name);

  // ---- fields and record buffers -------------------------------------------------------
  std::uint16_t RecordSize() const;
  std::uint16_t FieldCount() const;
  const std::vector<TFieldDesc>& Fields() const;
  // By number (1-based) or name (case-insensitive); nullptr when there is none.
  const TFieldDesc* Field(std::uint32_t fieldNo) const;
  const TFieldDesc* FindField(const std::string& name) const;
  const TCollation& Collation() const;
  // Field access in a record buffer (the record layout of the data file). Setters raise
  // VELDOR_OUTOFRANGE for an unknown field number.
  bool IsFieldNull(const std::uint8_t* record, std::uint32_t fieldNo) const;
  bool GetFieldBytes(const std::uint8_t* record, std::uint32_t fieldNo, std::uint8_t* out) const;
  std::string GetString(const std::uint8_t* record, std::uint32_t fieldNo) const;
  void SetFieldBytes(std::uint8_t* record, std::uint32_t fieldNo, const std::uint8_t* value) const;
  void SetString(std::uint8_t* record, std::uint32_t fieldNo, std::string_view text) const;
  void ClearField(std::uint8_t* record, std::uint32_t fieldNo) const;

  // ---- index -------------------------------------------------------------------------
  // Selects an index by slot (0..32, or kNoIndex) or by name ("" or "none": record-number
  // mode; "Primary" the primary index); the cursor stays on the same record. The range is
  // cancelled. VELDOR_INVALIDINDEXNAME for an index that does not exist.
  void SetIndex(int slot);
  void SetIndexByName(const std::string& name);
  int IndexSlot() const { return FSlot; }
  bool IndexMode() const { return FIndexMode; }
  std::string IndexName() const;
  int KeySize() const;
  // Bytes of a bookmark: the key size, or 4 in record-number mode.
  int BookmarkSize() const { return FIndexMode ? KeySize() : 4; }

  // ---- navigation --------------------------------------------------------------------
  void First();
  void Last();
  // Copy the record into buffer (RecordSize bytes): VELDOR_NONE, VELDOR_BOF, VELDOR_EOF or
  // VELDOR_NOCURRREC. buffer may be nullptr to move only.
  TErrorCode GetCurrent(std::uint8_t* buffer);
  TErrorCode GetNext(std::uint8_t* buffer);
  TErrorCode GetPrior(std::uint8_t* buffer);
  bool OnRecord() const;
  bool AtBOF() const;
  bool AtEOF() const;
  // The current record's physical number (0 when there is none).
  std::int32_t CurrentRecordNo() const;

  // Records in the range (or the index, or the table), passing the filters when filtered.
  std::int64_t RecordCount();
  // The logical position of the current record (1-based; 0 when there is none).
  std::int64_t RecordNumber();
  // Goes to the n-th record (n clamped to 1..RecordCount()): VELDOR_NONE, or VELDOR_EOF when
  // there are no records.
  TErrorCode GoToRecordNumber(std::int64_t n);
  // Record-number mode: goes to record slot n (clamped to 1..NextRecordNo - 1), or to the
  // nearest active record when that one is not active.
  TErrorCode GoToRecordSlot(std::int32_t n);

  // Bookmarks: the current key (all zero on a crack) in index mode, the 4-byte record number
  // in record-number mode. A bookmark whose record is gone positions on the nearest record.
  std::vector<std::uint8_t> Bookmark();
  TErrorCode GoToBookmark(const std::vector<std::uint8_t>& bookmark);
  int CompareBookmarks(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);

  // ---- keys --------------------------------------------------------------------------
  // Finds the key built from a record buffer's first fieldCount key fields (the last of them
  // a String cut to partialLength characters when partialLength > 0). Partial keys find their
  // first match. On a hit the cursor is on the record; on a miss it is in the gap where the
  // key would be, or with nearest on the record after it. Record-number mode finds nothing.
  bool FindKey(const std::uint8_t* record, int fieldCount, int partialLength = 0,
               bool nearest = false);
  // The same with a whole key given (KeySize bytes).
  bool FindKeyBytes(const std::uint8_t* key, bool nearest = false);
  // A range from low values to high values (fieldCount 0 = unbounded on that side); the
  // cursor stays on its record when it is in the range, else goes to BOF.
  void SetRange(const std::uint8_t* lowRecord, int lowFields, const std::uint8_t* highRecord,
                int highFields, int lowPartial = 0, int highPartial = 0);
  void CancelRange();
  bool RangeActive() const { return FLowSet || FHighSet; }

  // ---- filters -----------------------------------------------------------------------
  // Adds a filter (active at once) and returns its handle. VELDOR_INTERNALLIMIT past 64;
  // VELDOR_INVALIDFILTER for an empty or invalid expression or an empty callback.
  int AddFilter(TRecordFilter callback);
  int AddFilter(const std::string& expression);
  // A compiled expression filter (nullptr is VELDOR_INVALIDFILTER, "filter expression is
  // invalid").
  int AddFilter(std::unique_ptr<TFilterExpression> expression);
  void DropFilter(int handle);
  void DropAllFilters();
  void ActivateFilter(int handle);
  void DeactivateFilter(int handle);
  bool Filtered() const { return FFiltered; }
  int FilterOptimisationLevel() const;
  // Records read and tested by the last build of the filter bitmap (diagnostics and tests:
  // a filter answered from an index reads only the records its key ranges name).
  std::int64_t FilterRecordsTested() const { return FFilterRecordsTested; }
  // Key ranges for filters that answer conditions from indexes: the number of keys of index
  // `slot` (0..30) whose first field lies between the bounds (from the subtree counts, no
  // record is read), and the record numbers of those keys. Callers inside a filter-bitmap
  // build run within that operation; others get an operation frame of their own.
  std::int64_t CountKeyRange(int slot, const TKeyBound& low, const TKeyBound& high);
  void CollectKeyRange(int slot, const TKeyBound& low, const TKeyBound& high, TRecordsBitmap& into);
  // Reads active record recordNo (RecordSize bytes) for a filter's Candidates, which may test
  // parts of its condition on the records of a key range; counted in FilterRecordsTested.
  void ReadFilterRecord(std::int32_t recordNo, std::uint8_t* out);

  // ---- changes -----------------------------------------------------------------------
  // Zeroes the buffer and stores every field's default (CURRENT_DATE, CURRENT_TIME and
  // CURRENT_TIMESTAMP give the present moment; a memo default becomes an open value).
  void InitRecord(std::uint8_t* buffer);
  // Inserts the buffer as a new record; the buffer gets the stored record back (its RowId and
  // BLOB block numbers). The cursor is then on the new record.
  void InsertRecord(std::uint8_t* buffer);
  // Starts editing the current record: with the pessimistic protocol the record is locked and
  // compared with `copy` (the caller's copy of it, RecordSize bytes; nullptr compares with the
  // record as the cursor last read it). Returns VELDOR_NOCURRREC, VELDOR_BOF or VELDOR_EOF
  // without a current record; raises VELDOR_KEYORRECDELETED or VELDOR_RECLOCKFAILED.
  TErrorCode BeginEdit(const std::uint8_t* copy = nullptr);
  // Replaces the current record by the buffer.
  void ModifyRecord(std::uint8_t* buffer);
  // Deletes the current record; the cursor moves to the following record (or EOF).
  void DeleteRecord();
  // Ends an edit without posting (releases its lock, frees the BLOB values).
  void EndEdit();
  bool Editing() const { return FEditing; }
  // Checks for changes and goes back to the current record (or the nearest one).
  void Refresh();
  // The checks made before a record is stored (VELDOR_REQDERR, VELDOR_MINVALERR,
  // VELDOR_MAXVALERR), on their own.
  void CheckValidity(const std::uint8_t* buffer);

  // ---- locks -------------------------------------------------------------------------
  // Locks the current record (VELDOR_RECLOCKFAILED when another cursor of this table object
  // holds it, or it cannot be had); unlocks the record this cursor holds.
  void LockRecord();
  void UnlockRecord();
  std::int32_t LockedRecord() const { return FLockedRecord; }
  // The table read lock across many operations (SELECT ... WITH LOCKS).
  void TakeTableReadLock();
  void ReleaseTableReadLock();

  // ---- BLOB values -------------------------------------------------------------------
  // Opens the value of a Blob field of the record buffer (the current record's, or a new
  // one's). The same field opened twice in one buffer gives the same value. A stored value
  // longer than StreamedBlobThreshold is opened streamed: its ranges are read from the chain
  // as they are asked for, never the whole value at once.
  void OpenBlob(std::uint8_t* buffer, std::uint32_t fieldNo, TBlobOpenMode mode,
                std::int64_t position = 0);
  // Gives the Blob field of the record buffer its value from a source, read only when the
  // record is posted, block by block as the bytes come (TBlobFile::WriteStreamedValue): the
  // value never sits in memory. The field's value is opened (without reading the stored one)
  // when it is not open yet, and stays open until the post or the cancel, like a written
  // value. A source longer than a BLOB value can be is VELDOR_INVALIDBLOBLEN.
  void SetBlobSource(std::uint8_t* buffer, std::uint32_t fieldNo,
                     std::shared_ptr<TBlobSource> source);
  // The open value of the field in the buffer, nullptr when none (for inspection).
  const TBlobBuffer* OpenBlobValue(const std::uint8_t* buffer, std::uint32_t fieldNo);
  TErrorCode ReadBlob(const std::uint8_t* buffer, std::uint32_t fieldNo, std::int64_t position,
                      void* out, std::int64_t count, std::int64_t* read);
  TErrorCode WriteBlob(std::uint8_t* buffer, std::uint32_t fieldNo, std::int64_t position,
                       const void* data, std::int64_t count);
  TErrorCode TruncateBlob(std::uint8_t* buffer, std::uint32_t fieldNo, std::int64_t length);
  TErrorCode BlobSize(const std::uint8_t* buffer, std::uint32_t fieldNo, std::int64_t* size);
  // Drops one reference to the open value (at 0 the buffer gets its stored block number back),
  // or every open value.
  void FreeBlob(std::uint8_t* buffer, std::uint32_t fieldNo);
  void FreeAllBlobs();
  std::size_t OpenBlobCount() const { return FBlobs.size(); }

 private:
  enum class TState : std::uint8_t { BOF, EOF_, OnRecord, Between };
  struct TPosition {
    TState State = TState::BOF;
    std::int32_t RecordNo = 0;      // on a record, or the record a gap follows (record mode)
    std::vector<std::uint8_t> Key;  // index mode: the record's key, or the key of the gap
    std::int64_t Rank = 0;          // index mode on a record: its rank (0 unknown)
    TTreeStep Step;                 // index mode on a record: its leaf entry
    bool StepValid = false;         // Step is valid for the counters in FSeen
  };
  struct TFilter {
    int Handle = 0;
    bool Active = true;
    TRecordFilter Callback;
    std::unique_ptr<TFilterExpression> Expression;
  };
  struct TOpenBlob {
    std::int32_t Id = 0;  // the negative identifier in the record buffer
    std::unique_ptr<TBlobBuffer> Value;
  };
  class TOperation;
  friend class TOperation;

  // Operation frame and change detection (CursorNavigate.cpp).
  template <class F>
  auto Run(F&& body);
  void CheckChanges();
  void Resync();
  void RequireOpen() const;
  [[noreturn]] void Raise(TErrorCode code) const;
  // Whether the data file still holds the record of `buffer` (same RowId) referring to the
  // value at firstBlock in `field`: then a value that fails to read is damage, not a change.
  bool StoredRecordRefersTo(const TFieldDesc& field, std::int32_t firstBlock,
                            const std::uint8_t* buffer);
  // A record's bytes (pinned only for the copy); throws ETableChanged when the table changed.
  void ReadRecordInto(std::int32_t recordNo, std::uint8_t* out, bool backward = false);
  // The next record of a forward run in file order from the cursor's read window, filled by
  // runs straight from the file (ReadRecordsDirect) instead of through the record cache: a
  // scan neither evicts what the cache holds nor walks its entries one by one. A cached record
  // of a short run (fewer than kWindowAfterRun records in file order) is left to the cache.
  // False when the record is for the cache.
  bool ReadFromWindow(std::int32_t recordNo, std::uint8_t* out);
  void PrefetchLeaf(const TPosition& pos);
  bool Passes(std::int32_t recordNo) const;

  // Index mode helpers.
  TBTree Tree();
  // Moves a step that may lie one past the end of its leaf onto an entry; false at the end.
  bool Settle(TBTree& tree, TTreeStep& step);
  bool EntryAt(TBTree& tree, const TTreeStep& step, TPosition& pos);
  int CompareKeys(const std::uint8_t* a, const std::uint8_t* b);
  bool BelowLow(const std::uint8_t* key);
  bool AboveHigh(const std::uint8_t* key);
  // The first / last position of the range that passes the filters (State BOF/EOF when none).
  TPosition FirstPosition();
  TPosition LastPosition();
  TPosition NextFrom(const TPosition& from);
  TPosition PriorFrom(const TPosition& from);
  // Steps from an index position in one direction until a record passes the filters.
  TPosition SkipFiltered(TBTree& tree, TPosition pos, bool forward);
  TPosition SearchPosition(const std::uint8_t* key, bool after);
  // The record's key in the current index.
  std::vector<std::uint8_t> KeyOfRecord(const std::uint8_t* record);
  TPosition PositionOnRecord(std::int32_t recordNo, const std::uint8_t* record);
  TPosition PositionAfterPost(std::int32_t recordNo, const std::uint8_t* record);
  std::int64_t RangeFirstRank();
  std::int64_t RangeLastRank();
  std::int64_t WalkCount();
  TErrorCode Finish(const TPosition& pos, std::uint8_t* buffer);
  void SelectIndex(int slot);

  // Keys (CursorFind.cpp).
  void BuildSearchKey(const std::uint8_t* record, int fieldCount, int partialLength, bool high,
                      std::uint8_t* key);

  // Changes (CursorEdit.cpp).
  std::vector<int> IndexSlots() const;
  std::vector<std::uint8_t> Normalised(const std::uint8_t* buffer) const;
  bool BeginWrite();
  void EndWriteLock() noexcept;
  void LockCursorRecord(std::int32_t recordNo);
  void UnlockCursorRecord() noexcept;
  void StoreBlobValues(std::int32_t recordNo, std::int32_t rowId, const std::uint8_t* from,
                       std::uint8_t* into, const std::uint8_t* stored);
  void CheckBlobReferences(const std::uint8_t* buffer);
  void AfterPost(std::int32_t recordNo, const std::uint8_t* stored, std::uint8_t* buffer);

  // Filters (CursorFilter.cpp).
  void RebuildFilterBits();
  void RetestRecord(std::int32_t recordNo, const std::uint8_t* record);
  TFilter* FindFilter(int handle);
  void FiltersChanged();
  void EnsureFilterBounds();
  void WidenFilterBounds(const std::uint8_t* record);
  bool FilterPasses(const std::uint8_t* record);
  // The smallest (high: largest) key in index order of the keys of `slot` matching bound.
  void BuildBoundKey(int slot, const TKeyBound& bound, bool high, std::uint8_t* key);
  // The keys of `slot` in the value range from low to high, in index order: the range starts
  // at the first key >= first (> first when firstAfter) and ends before the first key >= last
  // (> last when lastAfter).
  struct TKeyRangeKeys {
    std::vector<std::uint8_t> First, Last;
    bool FirstAfter = false, LastAfter = true;
    bool Ends(int compareKeyWithLast) const {
      return LastAfter ? compareKeyWithLast > 0 : compareKeyWithLast >= 0;
    }
  };
  TKeyRangeKeys KeyRangeKeys(int slot, const TKeyBound& low, const TKeyBound& high);
  template <class F>
  auto InFilterFrame(F&& body);

  // BLOB values (CursorBlob.cpp).
  const TFieldDesc& BlobField(std::uint32_t fieldNo) const;
  TOpenBlob* FindBlob(std::int32_t id);
  TOpenBlob* BlobOf(const std::uint8_t* buffer, const TFieldDesc& field);
  void ReleaseBlobsOf(const std::uint8_t* buffer);
  // A new open value of the field, reading the stored one when load is true.
  TOpenBlob& NewOpenBlob(std::uint8_t* buffer, const TFieldDesc& field, TBlobOpenMode mode,
                         std::int64_t position, bool load);
  // Writes an open value as the chain of record recordNo (in place of the chain at old):
  // a source or a streamed value block by block, a value in memory at once.
  std::int32_t WriteOpenBlob(TBlobFile& blob, TBlobBuffer& value, std::int32_t recordNo,
                             std::int32_t old);
  // Runs body on a streamed value, raising its damage with the table's name.
  template <class F>
  auto OnStreamedBlob(F&& body);

  TDataDirectory& FDatabase;
  TDataTable* FTable = nullptr;
  bool FReadOnly = false;
  bool FAutoIncSuppressed = false;
  // Index.
  int FSlot = kNoIndex;
  bool FIndexMode = false;
  // Range (index mode): padded keys; an unset side is unbounded.
  bool FLowSet = false;
  bool FHighSet = false;
  std::vector<std::uint8_t> FLow;
  std::vector<std::uint8_t> FHigh;
  // Position and the record as last read.
  TPosition FPos;
  std::vector<std::uint8_t> FRecord;
  bool FHaveRecord = false;
  TChangeCounters FSeen;
  std::int32_t FLastRead = 0;  // the record read last (read-ahead follows file order)
  // The read window (ReadFromWindow): a run of records as the table stood at FWindowSeen with
  // the record cache at FWindowMutations.
  TRecordRun FWindow;
  std::int32_t FWindowRuns = 0;  // runs read back to back: later runs are longer
  std::int32_t FForwardRun = 0;  // records read so far one after the other in file order
  static constexpr std::int32_t kWindowAfterRun = 64;
  TChangeCounters FWindowSeen;
  std::uint64_t FWindowMutations = 0;
  std::vector<std::uint8_t> FSpareRecord;  // the buffer the next record read goes into
  // Editing.
  bool FEditing = false;
  std::vector<std::uint8_t> FEditCopy;
  std::int32_t FLockedRecord = 0;
  bool FTableReadLock = false;
  // Filters.
  std::vector<TFilter> FFilters;
  int FNextFilterHandle = 1;
  bool FFiltered = false;
  TRecordsBitmap FFilterBits{0};  // grown (or swapped for a pooled one) when a filter is built
  std::uint64_t FFilterEpoch = 0;
  std::int64_t FFilterRecordsTested = 0;
  bool FBuildingFilterBits = false;  // inside RebuildFilterBits (no nested operation frame)
  // The lowest and highest key of the current index among the records that pass the filters,
  // known while few records pass: navigation then starts at the first candidate's key and
  // stops after the last one instead of stepping over every key of the index.
  enum class TFilterBounds : std::uint8_t { Stale, None, Set, Empty };
  TFilterBounds FFilterBounds = TFilterBounds::Stale;
  std::vector<std::uint8_t> FFilterLowKey;
  std::vector<std::uint8_t> FFilterHighKey;
  // BLOB values.
  std::vector<TOpenBlob> FBlobs;
  std::int32_t FNextBlobId = -1;
};

}  // namespace zorvic::engine
