#include "engine/storage/sessions/DataTable.h"
#include "engine/storage/sessions/TableRecords.h"

#include <climits>

#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/IndexKey.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/formats/Scramble.h"
#include "engine/storage/locks/Journal.h"
#include "engine/storage/locks/TableJournal.h"
#include "engine/storage/locks/TableLockState.h"
#include "engine/storage/locks/UndoJournal.h"

namespace zorvic::engine {

TDataTable::TDataTable(TDataDirectory& database, std::string name, bool inMemory)
    : FDatabase(database),
      FName(std::move(name)),
      FInMemory(inMemory),
      FLocks(std::make_unique<TTableLockState>(*this)) {
  ReloadSettings();
}

TDataTable::~TDataTable() {
  Close();
  // The database keeps the journal file on (its next table object for the name may write again).
  if (FJournalFd >= 0) FDatabase.KeepJournalFile(FJournalPath, FJournalFd);
  FJournalFd = -1;
}

void TDataTable::Raise(TErrorCode code) const {
  RaiseTableError(code, FName);
}

std::string TDataTable::FileNameIn(const std::string& directory, const std::string& table,
                                   const std::string& extension) {
  return MakeTableFileName(directory, table, extension);
}

std::string TDataTable::FileName(const std::string& extension) const {
  return FileNameIn(FDatabase.Path(), FName, extension);
}

void TDataTable::ReloadSettings() {
  FSettingsVersion = FDatabase.Session().SettingsVersion();
  FSettings = FDatabase.Session().Settings();
  if (FCacheBudgets) {
    FSettings.RecordCacheBytes = FCacheBudgets->RecordCacheBytes;
    FSettings.RecordCacheCount = FCacheBudgets->RecordCacheCount;
    FSettings.IndexCacheBytes = FCacheBudgets->IndexCacheBytes;
    FSettings.BlobCacheBytes = FCacheBudgets->BlobCacheBytes;
    FSettings.BlobCacheCount = FCacheBudgets->BlobCacheCount;
  }
  ApplySettings();
}

void TDataTable::SetCacheBudgets(const std::optional<TTableCacheBudgets>& budgets) {
  FCacheBudgets = budgets;
  ReloadSettings();
}

const TSessionSettings& TDataTable::Settings() {
  if (FSettingsVersion != FDatabase.Session().SettingsVersion()) ReloadSettings();
  return FSettings;
}

void TDataTable::ApplySettings() {
  if (FData) {
    TDataFileSettings s;
    s.CacheBytes = FSettings.RecordCacheBytes;
    s.CacheCount = FSettings.RecordCacheCount;
    s.ForceBufferFlush = FSettings.ForceBufferFlush;
    FData->SetSettings(s);
  }
  if (FIndex) FIndex->SetCacheBytes(FSettings.IndexCacheBytes);
  if (FBlob) FBlob->SetCacheSettings(FSettings.BlobCacheBytes, FSettings.BlobCacheCount);
}

bool TDataTable::HasPrimaryIndex() const {
  return FIndex && !FIndex->Header().NoPrimaryIndex() && FIndex->Header().SlotInUse(0);
}

const TCollation& TDataTable::Collation() const {
  const TCollation* c = TCollation::Get(FData->LanguageId(), FData->SortId());
  return c ? *c : TCollation::Binary();
}

void TDataTable::NoteReadOnly(const TFileHandler& file) {
  if (file.OpenedReadOnly()) FReadOnly = true;
  if (file.ReadOnlyAttribute()) {
    FReadOnly = true;
    FReadOnlyAttribute = true;
  }
}

void TDataTable::NoteJournalPath() {
  FJournalPath.clear();
  if (FInMemory || FTemporary) return;
  // The data file's name ends in ".DAT" in some spelling; its resolved name is the same length.
  std::string data = ResolveTableFileName(FileName(".DAT"));
  if (data.size() < 4) return;
  data.resize(data.size() - 4);
  FJournalPath = data + ".JNL";
}

// ---- open, create, close ---------------------------------------------------------------

void TDataTable::Open(bool exclusive, bool temporary) {
  if (IsOpen()) return;
  FExclusive = exclusive;
  FTemporary = temporary;
  FReadOnly = FReadOnlyAttribute = FIndexWasMissing = FVerified = false;
  FData = std::make_unique<TDataFile>(FileName(".DAT"), FName, FInMemory);
  FData->SetLocks(FLocks.get());
  ApplySettings();
  try {
    FData->Open(exclusive, temporary);
    NoteReadOnly(*FData);
    NoteJournalPath();
    OpenIndexAndBlob(exclusive, temporary);
    // A journal left by a writer that died is played back before anything is read.
    if (TableJournalPresentAnySpelling(*this)) {
      if (FExclusive) {
        RecoverTableJournal(*this);
      } else if (!FReadOnly) {
        FLocks->TakeWriteLock();
        RecoverTableJournal(*this);  // what the lock did not: an exclusive opener's undo journal
        FLocks->ReleaseWriteLock();
      }
      DropCaches();
    }
    // The retired journal file of a writer that is gone (or idle between writes) goes too.
    RemoveIdleTableJournal(*this);
    StartUndoJournal(*this);
    NoteOpenedFiles();
  } catch (...) {
    FLocks->ReleaseAll();
    CloseFiles();
    throw;
  }
  ++FEpoch;
}

void TDataTable::NoteOpenedFiles() {
  // The names and counts are looked at anew for the files just opened.
  FFilesCheckedInGeneration = 0;
  FCountsCheckedInGeneration = 0;
  FFolderLookBatch = 0;
  TFileHandler* files[3] = {FData.get(), FIndex.get(), FBlob.get()};
  for (std::size_t i = 0; i < FOpenedFiles.size(); ++i) {
    TFileStatus status;
    TOpenedFile& opened = FOpenedFiles[i];
    opened = TOpenedFile{};
    if (files[i] == nullptr || !files[i]->OpenFileStatus(&status)) continue;
    opened.Known = true;
    opened.Device = status.Device;
    opened.Inode = status.Inode;
  }
}

namespace {
// Where the table's file with extension ext stands in its arrays of three.
std::size_t FileSlot(const std::string& ext) {
  return ext == ".DAT" ? 0 : ext == ".IDX" ? 1 : 2;
}
}  // namespace

const std::string& TDataTable::PlaceName(const std::string& ext) const {
  const std::size_t i = FileSlot(ext);
  if (FPlaceNames[i].empty()) FPlaceNames[i] = NormalizeFileName(FileName(ext));
  return FPlaceNames[i];
}

const std::string& TDataTable::PlaceFolder() const {
  if (!FPlaceFolderKnown) {
    const std::string& name = PlaceName(".DAT");
    const std::size_t slash = name.find_last_of('/');
    FPlaceFolder =
        slash == std::string::npos ? std::string() : name.substr(0, slash == 0 ? 1 : slash);
    FPlaceFolderKnown = true;
  }
  return FPlaceFolder;
}

bool TDataTable::OpenedFileIs(const std::string& ext, const TFileStatus& atPath) const {
  const TOpenedFile& opened = FOpenedFiles[FileSlot(ext)];
  return !opened.Known || (opened.Device == atPath.Device && opened.Inode == atPath.Inode);
}

void TDataTable::OpenIndexAndBlob(bool exclusive, bool temporary) {
  const TCollation* collation = TCollation::Get(FData->LanguageId(), FData->SortId());
  if (!collation) Raise(VELDOR_CANNOTLOADLDDRV);
  FIndex = std::make_unique<TIndexFile>(FileName(".IDX"), FInMemory, FName);
  FIndex->SetEncrypted(FData->Encrypted());
  FIndex->SetTableFields(IndexFieldsOf(*FData), collation);
  ApplySettings();
  // A missing index file is made anew only for a table without record slots: for any other
  // table that would lose its record count, its keys and their uniqueness.
  if (CreateIndexFileIfMissing(*FIndex, FData->PhysicalRecordCount())) {
    FIndexWasMissing = true;
    FIndex->Close();
  }
  FIndex->Open(exclusive, temporary);
  NoteReadOnly(*FIndex);
  FIndex->SetMissHandler([this] {
    const bool changed = FLocks->TakeReadLock();
    FLocks->ReleaseReadLock();
    if (changed) throw ETableChanged{};
  });
  FIndex->SetInTransaction(FInTransaction);
  if (FData->BlobFieldCount() > 0) {
    FBlob = std::make_unique<TBlobFile>(FileName(".BLB"), FInMemory, FData->BlobBlockSize(),
                                        FData->Encrypted());
    ApplySettings();
    if (!FBlob->Exists() && FData->PhysicalRecordCount() == 0) {
      FBlob->CreateFile();
      FBlob->Close();
    }
    FBlob->Open(exclusive, temporary);
    NoteReadOnly(*FBlob);
    FBlob->SetInTransaction(FInTransaction);
    FBlob->SetMissHandler([this] {
      const bool changed = FLocks->TakeReadLock();
      FLocks->ReleaseReadLock();
      return changed;
    });
  }
}

void TDataTable::Create(const TTableCreation& creation, bool temporary) {
  FExclusive = true;
  FTemporary = temporary;
  FReadOnly = FReadOnlyAttribute = FIndexWasMissing = false;
  FVerified = true;  // made by us just now
  try {
    FData = std::make_unique<TDataFile>(FileName(".DAT"), FName, FInMemory);
    FData->SetLocks(FLocks.get());
    ApplySettings();
    FData->Create(creation.Table);
    NoteJournalPath();
    const TCollation* collation = TCollation::Get(FData->LanguageId(), FData->SortId());
    if (!collation) Raise(VELDOR_CANNOTLOADLDDRV);
    FIndex = std::make_unique<TIndexFile>(FileName(".IDX"), FInMemory, FName);
    FIndex->SetEncrypted(FData->Encrypted());
    FIndex->SetTableFields(IndexFieldsOf(*FData), collation);
    ApplySettings();
    FIndex->CreateFile();
    FIndex->AddPrimaryIndex(creation.Primary);
    for (const TIndexDefinition& def : creation.Secondary)
      FIndex->AddSecondaryIndex(def);
    FIndex->WriteHeader(true);
    if (FData->BlobFieldCount() > 0) {
      FBlob = std::make_unique<TBlobFile>(FileName(".BLB"), FInMemory, FData->BlobBlockSize(),
                                          FData->Encrypted());
      ApplySettings();
      FBlob->CreateFile();
    }
    if (FSettings.ForceBufferFlush) {
      FData->FlushBuffers();
      FIndex->FlushBuffers();
      if (FBlob) FBlob->FlushBuffers();
    }
    StartUndoJournal(*this);
  } catch (...) {
    CloseFiles();
    TFileList& list = TFileList::Instance();
    for (const char* ext : {".DAT", ".IDX", ".BLB"})
      list.Delete(FileName(ext), FInMemory);
    throw;
  }
  ++FEpoch;
}

void TDataTable::Close() {
  if (!IsOpen()) {
    CloseFiles();
    return;
  }
  try {
    if (!FInTransaction && FExclusive && !FReadOnly) {
      if (FTemporary)
        DropCaches();
      else
        Flush(true, false);
    }
  } catch (...) {
    // A table that cannot be written is still closed; its last changes are lost and the
    // error is not hidden from a caller that flushes explicitly first.
  }
  FLocks->ReleaseAll();
  FCursorLocks.ClearAll();
  CloseFiles();
  if (FTemporary) {
    TFileList& list = TFileList::Instance();
    for (const char* ext : {".DAT", ".IDX", ".BLB"})
      list.Delete(FileName(ext), FInMemory);
  }
}

void TDataTable::SetUndo(std::unique_ptr<TUndoJournal> undo) {
  FUndo = std::move(undo);
}

void TDataTable::CloseFiles() noexcept {
  FUndo.reset();
  // The journal file stays with the table object, closed or not (TableJournal.h).
  FChangeLost = false;
  try {
    if (FBlob) FBlob->Close();
  } catch (...) {
  }
  try {
    if (FIndex) FIndex->Close();
  } catch (...) {
  }
  try {
    if (FData) FData->Close();
  } catch (...) {
  }
  FBlob.reset();
  FIndex.reset();
  FData.reset();
  FActiveEpoch = 0;
  ++FEpoch;
}

void TDataTable::VerifyOnce() {
  if (FVerified) {
    const bool reclaimed = FRefreshWanted;
    FRefreshWanted = false;
    // Within one run of reads (a statement binds its tables, then opens them again to run)
    // the table is looked at once: what was committed before the run began is seen, also when
    // other cursors of the session hold the table open meanwhile (their cached units would
    // otherwise answer the statement until a cache miss looked). A cursor opened outside a
    // statement on a table in use keeps to the cursors' change detection; a table opened
    // exclusively, or in a transaction (whose lock keeps every other writer out since the
    // transaction took it in), has no other writer to look for.
    if (reclaimed)
      CheckBatchStart(true);
    else
      CheckInBatch();
    return;
  }
  const TReadLockHold lock(*FLocks);
  FData->Verify();
  if (!FIndexWasMissing) FIndex->VerifyHeader();
  if (FBlob) FBlob->VerifyHeader();
  FVerified = true;
}

void TDataTable::CheckInBatch() {
  if (FExclusive || FInTransaction) return;
  CheckBatchStart(false);
}

void TDataTable::CheckBatchStart(bool reclaimed) {
  const std::uint64_t batch = TReadBatch::Current(FDatabase.Session());
  if (!reclaimed && batch == 0) return;
  if (batch != 0 && batch == FCheckedInBatch) return;
  FCheckedInBatch = batch;
  RefreshIfMoved(reclaimed);
}

void TDataTable::CheckAtScanStart() {
  if (FExclusive || FInTransaction || FTemporary) return;
  if (TReadBatch::Current(FDatabase.Session()) != 0)
    CheckBatchStart(false);
  else
    RefreshIfMoved(false);
}

void TDataTable::RefreshIfMoved(bool dropAll) {
  // Changes made by others are taken in now, under a read lock, when any ChangeCount on disk
  // moved: the read lock refreshes the files whose count moved. Of a table kept open while
  // no cursor used it (dropAll) every cached unit goes, not only those of the file whose count
  // moved: a memo or record rewritten in place leaves its own file's header as the only trace,
  // and the caches of the other files may hold units that refer to it.
  //
  // In a watched folder where no file was written since the counts were last found to be the
  // table's own, they still are: no count is read.
  const std::uint64_t content = FolderLook().Content;
  if (content != 0 && content == FCountsCheckedInGeneration && IsOpen()) return;
  if (!ChangeCountsMoved()) {
    if (IsOpen()) FCountsCheckedInGeneration = content;
    return;
  }
  {
    const TReadLockHold lock(*FLocks);
    if (dropAll) DropCaches();
  }
  // The read lock took in what moved: the table holds the counts on disk again.
  if (IsOpen()) FCountsCheckedInGeneration = content;
}

TFolderGenerations TDataTable::FolderLook() {
  if (FInMemory || &CurrentFileSystem() != &RealFileSystem()) return {};
  const std::uint64_t batch = TReadBatch::Current(FDatabase.Session());
  if (batch != 0 && batch == FFolderLookBatch) return FFolderLook;
  const TFolderGenerations look = FolderGenerations(PlaceFolder());
  if (batch != 0) NoteFolderLook(batch, look);
  return look;
}

// ---- change detection and writing --------------------------------------------------------

TChangeCounters TDataTable::Counters() const {
  TChangeCounters c;
  if (FData) c.Data = FData->Header().ChangeCount;
  if (FIndex) c.Index = FIndex->Header().ChangeCount();
  if (FBlob) c.Blob = FBlob->ChangeCount();
  c.Epoch = FEpoch;
  c.Generation = FGeneration;
  return c;
}

namespace {

// The ChangeCount at the start of a file's header (its scrambling runs byte by byte from the
// start, so the first four bytes unscramble on their own); INT64_MIN when it cannot be read.
std::int64_t StoredChangeCount(TFileHandler& file, bool scrambled) {
  std::uint8_t b[4];
  try {
    if (file.ReadAt(0, b, 4, true) != 4) return INT64_MIN;
  } catch (...) {
    return INT64_MIN;
  }
  if (scrambled) Scramble(b, 4, DataSeed);
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
      static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24);
}

}  // namespace

bool TDataTable::ChangeCountsMoved() {
  // Read without a lock. A writer writes each file's header after its units, so counts that
  // did not move mean the cached units are the last committed ones; whatever a writer is doing
  // meanwhile, every read that misses the caches takes the read lock and refreshes.
  if (!IsOpen()) return true;
  const bool scrambled = FData->Encrypted();
  if (StoredChangeCount(*FIndex, scrambled) != FIndex->Header().ChangeCount()) return true;
  if (StoredChangeCount(*FData, false) != FData->Header().ChangeCount) return true;
  if (FBlob && FBlob->IsOpen() && StoredChangeCount(*FBlob, scrambled) != FBlob->ChangeCount())
    return true;
  return false;
}

bool TDataTable::Refresh() {
  if (!IsOpen()) return false;
  bool changed = false;
  if (FIndex->RefreshHeaderIfChanged()) {
    FData->ReadHeader();
    FData->DropCache();
    changed = true;
  } else if (FData->RefreshHeaderIfChanged()) {
    changed = true;
  }
  if (FBlob && FBlob->RefreshHeader()) changed = true;
  if (changed) {
    ++FEpoch;
    FActiveEpoch = 0;
  }
  return changed;
}

void TDataTable::NoteEmptied() {
  FChangeLost = false;
  if (!IsOpen()) return;
  FData->TrimCache();
  FIndex->TrimCaches();
  if (FBlob) FBlob->TrimCache();
  ++FEpoch;
  // No record is active now; the inserts that follow keep the set up to date.
  FActive.ClearAll();
  FActiveEpoch = FEpoch;
}

void TDataTable::DropCaches() {
  FChangeLost = false;  // back to what the files hold
  if (!IsOpen()) return;
  // Dropped and trimmed: a transaction may have grown the caches past their capacity.
  FData->DropCache();
  FData->TrimCache();
  FData->ReadHeader();
  FIndex->DropCaches();
  FIndex->TrimCaches();
  FIndex->ReadHeader();
  if (FBlob) {
    FBlob->DropCache();
    FBlob->TrimCache();
    FBlob->ReadHeader();
  }
  ++FEpoch;
  FActiveEpoch = 0;
}

void TDataTable::BeginChange() {
  FData->BeginChange();
  if (FBlob) FBlob->BeginChange();
  // The index caches must not write half a change either: they grow instead.
  FIndex->SetInTransaction(true);
}

void TDataTable::EndChange() {
  FData->EndChange();
  if (FBlob) FBlob->EndChange();
  FIndex->SetInTransaction(FInTransaction);
}

void TDataTable::AbandonChange() noexcept {
  try {
    EndChange();
  } catch (...) {
  }
  if (FInTransaction) FChangeLost = true;
  try {
    if (FUndo && !FInTransaction) FUndo->RollBack();
  } catch (...) {
    // The journal stays behind and the next open plays it back.
  }
  try {
    FData->AbandonChange();
    FIndex->DropCaches();
    FIndex->ReadHeader();
    if (FBlob) {
      FBlob->DropCache();
      FBlob->ReadHeader();
    }
  } catch (...) {
  }
  ++FEpoch;
  FActiveEpoch = 0;
}

void TDataTable::Flush(bool trim, bool toDisk) {
  if (!IsOpen() || FReadOnly) return;
  const bool flushDisk = toDisk || Settings().ForceBufferFlush;
  // A flush of its own is one journaled write; within a commit the commit's journal holds it.
  std::unique_ptr<TCommitJournal> journal;
  if (JournalWanted(*this) && !FData->Capture()) {
    journal = std::make_unique<TCommitJournal>(FDatabase.Path());
    AddTableToJournal(*journal, *this);
  }
  // Data file: records in ascending runs, then the descriptors and the header.
  {
    const bool pending = FData->Cache().HasModified() || FData->HeaderModified();
    FData->FlushRecords();
    FData->WriteFieldDescs();
    FData->WriteHeader(false);
    if (pending && flushDisk) FData->FlushBuffers();
  }
  // Index file: pages in ascending runs, then the header.
  {
    bool wrote = FIndex->WriteModifiedPages();
    wrote = FIndex->WriteHeader(false) || wrote;
    if (wrote && flushDisk) FIndex->FlushBuffers();
  }
  if (FBlob) FBlob->Flush(flushDisk);
  if (journal) journal->Commit(flushDisk);
  if (trim) TrimCaches();
}

void TDataTable::TrimCaches() {
  if (!IsOpen()) return;
  FData->TrimCache();
  FIndex->TrimCaches();
  if (FBlob) FBlob->TrimCache();
}

void TDataTable::EndWrite(bool force) {
  ++FGeneration;
  if (force || (!FExclusive && !FInTransaction)) Flush(false, false);
}

void TDataTable::SetInTransaction(bool on) {
  FInTransaction = on;
  if (FIndex) FIndex->SetInTransaction(on);
  if (FBlob) FBlob->SetInTransaction(on);
}

// ---- active records ------------------------------------------------------------------------

void TDataTable::BuildActiveRecords() {
  FActive.ClearAll();
  FActive.EnsureSize(static_cast<std::int64_t>(FData->PhysicalRecordCount()) + 1);
  TBTree tree = FIndex->Tree(SysDeletedSlot);
  std::uint8_t low[SysDeletedKeySize];
  BuildSysDeletedKey(kRecActive, 0, low);
  low[1] = low[2] = low[3] = low[4] = 0;  // below every RowId of an active record
  TTreePosition pos = tree.Search(low);
  if (pos.Empty()) {
    FActiveEpoch = FEpoch;
    return;
  }
  TTreeStep step = pos.Path.Leaf();
  // The search may end one past the last entry of its leaf.
  {
    TPage& page = FIndex->FetchPage(SysDeletedSlot, step.PageNo);
    const bool past = step.Position >= page.Count();
    FIndex->ReleasePage(page);
    if (past && !tree.StepNext(step)) {
      FActiveEpoch = FEpoch;
      return;
    }
  }
  const std::int32_t slots = FData->PhysicalRecordCount();
  std::uint8_t key[SysDeletedKeySize];
  std::int32_t recordNo = 0;
  while (true) {
    tree.ReadEntry(step, key, &recordNo);
    if (key[0] != kRecActive) break;
    if (recordNo < 1 || recordNo > slots) Raise(VELDOR_INDEXCORRUPT);
    FActive.Set(recordNo);
    if (!tree.StepNext(step)) break;
  }
  FActiveEpoch = FEpoch;
}

const TRecordsBitmap& TDataTable::ActiveRecords() {
  if (FActiveEpoch != FEpoch) BuildActiveRecords();
  return FActive;
}

void TDataTable::NoteInserted(std::int32_t recordNo) {
  if (FActiveEpoch == FEpoch) FActive.Set(recordNo);
}

void TDataTable::NoteDeleted(std::int32_t recordNo) {
  if (FActiveEpoch == FEpoch) FActive.Clear(recordNo);
}

}  // namespace zorvic::engine
