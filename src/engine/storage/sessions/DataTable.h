// TDataTable: one table of one database of one session, with its three files.
//
// A table object owns the table's data file (".DAT"), index file (".IDX") and, when the table
// has Blob fields, its BLOB file (".BLB"), each with the session's cache settings. Cursors of
// the session share it: they read and change the table through its files, and it keeps what
// they need in common: the bitmap of active records (for record-number mode), the records
// locked for cursors, the change counters and the flush at the end of every write.
//
// Change counters. Every file header carries a ChangeCount that goes up with every header
// write. A cursor remembers the three counts together with the table object's epoch and write
// generation, and resynchronises when any of them moved. The epoch goes up on every drop of the
// caches (a change by another user found by Refresh, a rollback, emptying), so a ChangeCount
// that returns to an old value after a drop (an emptied table starts again at 0) can never make
// a cursor trust a stale page; the generation goes up at the end of every write through this
// object.
//
// Ending a write. A shared table outside a transaction (or any table when forced) writes every
// change before the write ends: data records (ascending runs), data header and field
// descriptors, index pages and header, BLOB blocks and header, each file's system buffers
// flushed afterwards when the session forces buffer flushes. An exclusive table, and any table
// inside a transaction, writes lazily: the headers are only marked changed.
//
// Thread safety: a table object belongs to one database of one session and is used by one
// thread at a time, like its database (DataDirectory.h).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/storage/files/FolderWatch.h"
#include "engine/storage/formats/BlobFile.h"
#include "engine/storage/formats/DataFile.h"
#include "engine/storage/formats/IndexFile.h"
#include "engine/storage/formats/RecordsBitmap.h"
#include "engine/storage/locks/TableLockState.h"
#include "engine/storage/locks/TableLocks.h"
#include "engine/storage/sessions/DataSession.h"

namespace zorvic::engine {

class TCollation;
class TDataDirectory;
class TUndoJournal;

// The cache budgets of one table (the session settings of the same names).
struct TTableCacheBudgets {
  std::int64_t RecordCacheBytes = 0;
  std::int64_t RecordCacheCount = 1;
  std::int64_t IndexCacheBytes = 0;
  std::int64_t BlobCacheBytes = 0;
  std::int64_t BlobCacheCount = 1;
};

// Raised by a read that found the table changed by another user (its caches were dropped):
// the cursor operation that made the read starts over from its resynchronised position.
struct ETableChanged {};

// What a new table is made of: the fields and header values, the primary index (no fields: the
// table has none) and the secondary indexes in order.
struct TTableCreation {
  TTableDefinition Table;
  TIndexDefinition Primary;
  std::vector<TIndexDefinition> Secondary;
};

// The three ChangeCounts and the table object's epoch and generation, as a cursor remembers
// them.
struct TChangeCounters {
  std::int32_t Data = 0;
  std::int32_t Index = 0;
  std::int32_t Blob = 0;
  std::uint64_t Epoch = 0;
  std::uint64_t Generation = 0;
  bool operator==(const TChangeCounters&) const = default;
};

class TDataTable {
 public:
  // name: the table name (no path, no extension); inMemory selects the in-memory registry.
  TDataTable(TDataDirectory& database, std::string name, bool inMemory);
  ~TDataTable();
  TDataTable(const TDataTable&) = delete;
  TDataTable& operator=(const TDataTable&) = delete;

  // ---- files -------------------------------------------------------------------------
  // Opens the data file, then the index file (a missing one is made empty only when the data
  // file has no record slots, else VELDOR_INDEXCORRUPT), then the BLOB file when the table has
  // Blob fields. A failure closes what was opened.
  void Open(bool exclusive, bool temporary);
  // Creates the three files from a checked creation (the files stay open exclusively). A
  // failure deletes what was made.
  void Create(const TTableCreation& creation, bool temporary);
  // Flushes an exclusive writable table (a temporary one only drops its caches), releases the
  // locks still held and closes the files.
  void Close();
  bool IsOpen() const { return FData && FData->IsOpen(); }

  // Full file names of the table's files.
  std::string FileName(const std::string& extension) const;
  static std::string FileNameIn(const std::string& directory, const std::string& table,
                                const std::string& extension);

  TDataDirectory& Database() const { return FDatabase; }
  const std::string& Name() const { return FName; }
  bool InMemory() const { return FInMemory; }
  bool Exclusive() const { return FExclusive; }
  bool Temporary() const { return FTemporary; }
  // Some file had to be opened read-only, or carries the read-only attribute.
  bool ReadOnly() const { return FReadOnly; }
  bool ReadOnlyAttribute() const { return FReadOnlyAttribute; }
  // The index file was missing at open and was made empty (cursors skip its verification).
  bool IndexWasMissing() const { return FIndexWasMissing; }
  // The rollback journal's file name: the data file's name as it is on disk, with ".JNL"
  // (empty for in-memory and temporary tables, which keep no journal).
  const std::string& JournalPath() const { return FJournalPath; }
  // The journal file this table object keeps open from its first write until it goes, closed
  // or not (TableJournal.cpp), or -1.
  int& KeptJournalFd() { return FJournalFd; }
  // Whether the folder was flushed to disk since that file was opened: its name is then on
  // the disk, and a flushed write through it needs no folder flush of its own.
  bool& KeptJournalFolderSynced() { return FJournalFolderSynced; }
  // Whether that file may hold a retirement not yet on the disk, as last seen through it.
  bool& KeptJournalUnflushed() { return FJournalUnflushed; }
  // An exclusive table's undo journal (UndoJournal.h), or null.
  TUndoJournal* Undo() { return FUndo.get(); }
  void SetUndo(std::unique_ptr<TUndoJournal> undo);

  TDataFile& Data() { return *FData; }
  TIndexFile& Index() { return *FIndex; }
  TBlobFile* Blob() { return FBlob.get(); }
  bool HasPrimaryIndex() const;
  const TCollation& Collation() const;

  // ---- use by cursors ----------------------------------------------------------------
  int OpenCount() const { return FOpenCount; }
  void AddUser() { ++FOpenCount; }
  void RemoveUser() {
    if (FOpenCount > 0) --FOpenCount;
  }
  // The header checks made when the first cursor of the session opens the table; for a table
  // taken back from parking (TableParking.h), the refresh from its headers instead.
  void VerifyOnce();
  // Once per read batch (TableLocks.h), at its first statement open or cursor operation on the
  // table: when a ChangeCount on disk moved, the read lock is taken, which refreshes the table,
  // so that what others committed before the batch began is seen even when every unit the
  // batch needs is cached. Nothing outside a batch, for exclusive tables, or in a transaction
  // (whose lock keeps every other writer out).
  void CheckInBatch();
  // At the start of a scan (a cursor's First or Last): the same look, and outside a read batch
  // one at every scan start, so that a scan sees what others committed before it began however
  // much of the table the caches hold.
  void CheckAtScanStart();
  // Kept open between statements with no cursor (TableParking.h).
  bool Parked() const { return FParked.load(std::memory_order_acquire); }
  // Taken back from parking: the next VerifyOnce refreshes the table from its headers.
  void NoteReclaimed() { FRefreshWanted = true; }
  // The read batch in which the files of the table kept open were last found under their names
  // (0: none); a take-back within that batch need not look again.
  std::uint64_t FilesCheckedInBatch() const { return FFilesCheckedInBatch; }
  // The Names generation of the table's folder (FolderWatch.h) when its files were last found
  // under their names since the table opened them (0: not since, or the folder is not watched).
  std::uint64_t FilesCheckedInGeneration() const { return FFilesCheckedInGeneration; }
  void NoteFilesChecked(std::uint64_t batch, std::uint64_t generation) {
    FFilesCheckedInBatch = batch;
    FFilesCheckedInGeneration = generation;
  }
  // A look at the table's folder (taken when the table is taken back in a read batch): the
  // batch's check of the ChangeCounts uses it instead of a look of its own.
  void NoteFolderLook(std::uint64_t batch, const TFolderGenerations& look) {
    FFolderLookBatch = batch;
    FFolderLook = look;
  }
  // A write or transaction starts: the counts are read at the next check, whatever the folder
  // says (a change given up may leave the table's own counts apart from the files').
  void ForgetCountsChecked() { FCountsCheckedInGeneration = 0; }
  // The generations of the table's folder now, or as the current batch's look saw them; zeros
  // when the folder is not watched (in memory, another file system, a relative name).
  TFolderGenerations FolderLook();
  // The folder of the table's files ("" for a name without one), made once.
  const std::string& PlaceFolder() const;
  // The normalized name of the table's ".DAT", ".IDX" or ".BLB" file, made once: the check
  // that the files are still in place runs at every statement.
  const std::string& PlaceName(const std::string& ext) const;
  // Whether the file found under the name of the table's file with extension ext (".DAT",
  // ".IDX", ".BLB") is the one the table opened (true when that is not known: in memory).
  bool OpenedFileIs(const std::string& ext, const TFileStatus& atPath) const;

  // ---- change detection and writing --------------------------------------------------
  TChangeCounters Counters() const;
  std::uint64_t Epoch() const { return FEpoch; }
  // Reads the headers; when another user changed the table, drops the stale caches and
  // returns true.
  bool Refresh();
  // Whether a ChangeCount on disk differs from the one in memory (read without a lock).
  bool ChangeCountsMoved();
  // Drops every cache without writing and re-reads the headers (rollback, a failed change).
  void DropCaches();
  // After an exclusive table was emptied and flushed: its caches are empty and its headers are
  // what the files hold (nobody else can write them), so only the cache sizes and the view of
  // active records are reset.
  void NoteEmptied();
  // Ends a write: see the top of this header. The headers named changed are marked so.
  void EndWrite(bool force = false);
  // Writes every pending change (trimming the caches when asked, flushing the system's
  // buffers when asked or forced by the session).
  void Flush(bool trim, bool toDisk);
  // Trims each cache to its configured capacity (what a flush with trim does after writing).
  void TrimCaches();
  // Brackets a change: while one is under way no cache writes to make room.
  void BeginChange();
  void EndChange();
  // A change failed half-way: forget every unwritten change (caches dropped, headers re-read).
  // An exclusive table goes back to its last flush; in a transaction the caches held the
  // transaction's earlier changes too, so the transaction can only be rolled back (ChangeLost).
  void AbandonChange() noexcept;
  bool ChangeLost() const { return FChangeLost; }

  // ---- shared cursor state -----------------------------------------------------------
  // The active records, from the "Sys Deleted" index (rebuilt after every cache drop).
  const TRecordsBitmap& ActiveRecords();
  void NoteInserted(std::int32_t recordNo);
  void NoteDeleted(std::int32_t recordNo);
  // Records locked on behalf of this object's cursors.
  TRecordsBitmap& CursorLocks() { return FCursorLocks; }
  // Spare bitmaps for the filters of this object's cursors: a statement's cursor is new, the
  // table object is kept, so the bitmaps (the size of the table) are not made and zeroed anew
  // by every statement.
  TRecordsBitmapStack& BitmapPool() { return FBitmapPool; }

  // ---- locks and transactions ----------------------------------------------------------
  TTableLocks& Locks() { return *FLocks; }
  TTableLockState& LockState() { return *FLocks; }
  bool InTransaction() const { return FInTransaction; }
  // Sets the in-transaction flag on the table and its files.
  void SetInTransaction(bool on);

  // The session's settings as applied to this table (taken at open and whenever a cursor
  // opens it).
  const TSessionSettings& Settings();
  void ReloadSettings();
  // Cache budgets for this table object alone, put over the session's every time the settings
  // are taken, until cleared (nullopt) or the object goes; applied at once.
  void SetCacheBudgets(const std::optional<TTableCacheBudgets>& budgets);

  [[noreturn]] void Raise(TErrorCode code) const;

 private:
  // Savepoints copy and restore the unwritten state (TransactionSavepoint.h).
  friend class TTransactionSavepoint;
  friend void ParkTable(TDataTable&);
  friend bool ReclaimTable(TDataTable&) noexcept;
  friend bool CloseParkedTablesUsing(const std::string&, bool) noexcept;
  void ApplySettings();
  // CheckInBatch's look, also for a table taken back from parking (reclaimed: outside a batch
  // too, and every cached unit goes when a count moved).
  void CheckBatchStart(bool reclaimed);
  // Takes the read lock (which refreshes the table) when a ChangeCount on disk moved; dropAll:
  // every cached unit goes then.
  void RefreshIfMoved(bool dropAll);
  void OpenIndexAndBlob(bool exclusive, bool temporary);
  void CloseFiles() noexcept;
  void NoteReadOnly(const TFileHandler& file);
  void NoteJournalPath();
  void BuildActiveRecords();

  TDataDirectory& FDatabase;
  std::string FName;
  std::string FJournalPath;
  int FJournalFd = -1;
  bool FJournalFolderSynced = false;
  bool FJournalUnflushed = true;
  bool FInMemory;
  bool FExclusive = false;
  bool FTemporary = false;
  bool FReadOnly = false;
  bool FReadOnlyAttribute = false;
  bool FIndexWasMissing = false;
  bool FVerified = false;
  bool FRefreshWanted = false;
  std::uint64_t FCheckedInBatch = 0;  // the read batch whose start VerifyOnce last checked
  std::uint64_t FFilesCheckedInBatch = 0;
  std::uint64_t FFilesCheckedInGeneration = 0;
  // The Content generation of the folder when the ChangeCounts on disk were last known to be
  // the ones the table holds (0: not known).
  std::uint64_t FCountsCheckedInGeneration = 0;
  std::uint64_t FFolderLookBatch = 0;
  TFolderGenerations FFolderLook;
  // The files opened (data, index, BLOB), as the descriptors saw them at the open.
  struct TOpenedFile {
    bool Known = false;
    std::uint64_t Device = 0;
    std::uint64_t Inode = 0;
  };
  std::array<TOpenedFile, 3> FOpenedFiles{};
  mutable std::array<std::string, 3> FPlaceNames;
  mutable std::string FPlaceFolder;
  mutable bool FPlaceFolderKnown = false;
  void NoteOpenedFiles();
  std::atomic<bool> FParked{false};  // written under the parking registry's lock
  bool FInTransaction = false;
  int FOpenCount = 0;
  TSessionSettings FSettings;
  std::optional<TTableCacheBudgets> FCacheBudgets;
  std::uint64_t FSettingsVersion = 0;
  std::uint64_t FEpoch = 1;
  std::uint64_t FGeneration = 0;
  std::unique_ptr<TDataFile> FData;
  std::unique_ptr<TIndexFile> FIndex;
  std::unique_ptr<TBlobFile> FBlob;
  std::unique_ptr<TTableLockState> FLocks;
  TRecordsBitmap FActive;
  TRecordsBitmapStack FBitmapPool;
  std::uint64_t FActiveEpoch = 0;  // epoch the active bitmap was built in; 0: not built
  TRecordsBitmap FCursorLocks;
  std::unique_ptr<TUndoJournal> FUndo;
  bool FChangeLost = false;  // a change abandoned in the transaction took earlier ones with it
};

}  // namespace zorvic::engine
