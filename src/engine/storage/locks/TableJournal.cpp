// Journaled writes of tables and recovery (TableJournal.h).
#include "engine/storage/locks/TableJournal.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/locks/Journal.h"
#include "engine/storage/locks/LockRegions.h"
#include "engine/storage/locks/UndoJournal.h"
#include "engine/storage/sessions/DataTable.h"

namespace zorvic::engine {
namespace {

// The write lock of a table that this session does not have open, taken through handlers of
// its own (the file layer makes them exclusive against every other user in the process too).
class TForeignWriteLock {
 public:
  TForeignWriteLock(const std::string& folder, const std::string& table) {
    for (const char* ext : {".DAT", ".IDX", ".BLB"}) {
      auto file = std::make_unique<TFileHandler>(MakeTableFileName(folder, table, ext), false);
      if (!file->Exists()) continue;
      file->Open(false);
      const bool data = std::string(ext) == ".DAT";
      const std::int64_t offset = data ? TransactionByteRegion : WriterRegionOffset;
      const std::int64_t length = data ? 1 : WriterRegionLength;
      if (!Take(*file, offset, length)) RaiseTableError(VELDOR_LOCKTIMEOUT, table);
      FLocks.push_back(TLock{std::move(file), offset, length});
    }
  }
  ~TForeignWriteLock() {
    for (auto it = FLocks.rbegin(); it != FLocks.rend(); ++it)
      it->File->UnlockRange(it->Offset, it->Length);
  }
  TForeignWriteLock(const TForeignWriteLock&) = delete;
  TForeignWriteLock& operator=(const TForeignWriteLock&) = delete;

 private:
  struct TLock {
    std::unique_ptr<TFileHandler> File;
    std::int64_t Offset;
    std::int64_t Length;
  };
  static bool Take(TFileHandler& file, std::int64_t offset, std::int64_t length) {
    const TFixedLockWaits waits = FixedLockWaits();
    for (int i = 0; i < waits.Attempts; ++i) {
      if (file.LockRange(offset, length)) return true;
      if (i + 1 < waits.Attempts && waits.PauseMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(waits.PauseMs));
    }
    return false;
  }
  std::vector<TLock> FLocks;
};

std::atomic<bool> JournalOff{false};

void Check(std::int32_t rc, const std::string& table) {
  if (rc < 0) RaiseTableError(static_cast<TErrorCode>(-rc), table);
}

std::string UndoPathOf(TDataTable& table) {
  std::string path = table.JournalPath();
  if (path.size() < 4) return std::string();
  path.resize(path.size() - 4);
  return path + ".JNX";
}

}  // namespace

void SwitchJournalOffForMeasurement(bool off) {
  JournalOff.store(off);
}

bool JournalSwitchedOff() {
  return JournalOff.load();
}

bool JournalWanted(TDataTable& table) {
  return !JournalOff.load() && table.IsOpen() && !table.InMemory() && !table.Temporary() &&
         !table.ReadOnly();
}

void AddTableToJournal(TCommitJournal& journal, TDataTable& table) {
  if (!JournalWanted(table)) return;
  TUndoJournal* undo = table.Undo();
  if (undo) undo->SetSync(table.Settings().ForceBufferFlush);
  journal.AddTable(table.Name(), {&table.Data(), &table.Index(), table.Blob()}, table.JournalPath(),
                   undo, &table.KeptJournalFd(), &table.KeptJournalFolderSynced(),
                   &table.KeptJournalUnflushed());
  if (!table.InTransaction()) journal.AllowUnflushedRetirement();
  // A write of the table on its own that fails (a commit's failure is undone by its savepoint):
  // its caches took the change for written, so they go, and an exclusive table returns to its
  // last flush, the change lost and nothing else.
  if (!table.InTransaction()) journal.OnFailure([&table] { table.AbandonChange(); });
}

void StartUndoJournal(TDataTable& table) {
  if (!JournalWanted(table) || !table.Exclusive()) return;
  const std::string path = UndoPathOf(table);
  if (path.empty()) return;
  table.SetUndo(std::make_unique<TUndoJournal>(
      path, std::vector<TFileHandler*>{&table.Data(), &table.Index(), table.Blob()},
      table.Settings().ForceBufferFlush));
}

bool TableJournalPresent(TDataTable& table) {
  const std::string& path = table.JournalPath();
  if (path.empty()) return false;
  TFileSystem& fs = CurrentFileSystem();
  // A writer keeps its journal open: a look through it spares an open of the name.
  // What it finds there is noted for the table's next write (TCommitJournal::AddTable).
  if (CheckKeptJournal(fs, table.KeptJournalFd()) >= 0) {
    bool unflushed = false;
    const bool busy =
        ProbeJournalDescriptor(fs, table.KeptJournalFd(), &unflushed) == TJournalPresence::Busy;
    table.KeptJournalUnflushed() = busy || unflushed;
    return busy;
  }
  return ProbeJournal(fs, path) == TJournalPresence::Busy;
}

bool TableJournalPresentAnySpelling(TDataTable& table) {
  if (table.InMemory() || table.Temporary()) return false;
  TFileSystem& fs = CurrentFileSystem();
  const std::string path =
      ResolveTableFileName(JournalFileName(table.Database().Path(), table.Name()), fs);
  return ProbeJournal(fs, path) == TJournalPresence::Busy ||
         UndoJournalPresent(fs, UndoJournalFileName(table.Database().Path(), table.Name()));
}

void RemoveIdleTableJournal(TDataTable& table) noexcept {
  try {
    if (!JournalWanted(table)) return;
    const std::string& path = table.JournalPath();
    TFileSystem& fs = CurrentFileSystem();
    bool unflushed = false;
    if (path.empty() || ProbeJournal(fs, path, &unflushed) != TJournalPresence::Idle) return;
    if (table.Exclusive()) {
      // An exclusive opener writes the files without this journal (its undo journal): a
      // retirement that may not be on the disk yet goes there first, even when a keeper of
      // this process keeps the file.
      if (!RemoveIdleJournal(fs, path) && unflushed) FlushUnflushedRetirement(fs, path);
      return;
    }
    // The table's write lock, one attempt at each part: a writer holds it from before it opens
    // its journal until after it closes it, so the file goes while nobody has it open. When
    // someone has the lock, the file stays for them.
    TDataFile& data = table.Data();
    TIndexFile& index = table.Index();
    TBlobFile* blob = table.Blob() && table.Blob()->IsOpen() ? table.Blob() : nullptr;
    if (!data.LockWriteByte()) return;
    bool indexHeld = false;
    bool blobHeld = false;
    try {
      indexHeld = index.LockWriterRange();
      blobHeld = indexHeld && blob && blob->LockRange(WriterRegionOffset, WriterRegionLength);
      if (indexHeld && (!blob || blobHeld)) RemoveIdleJournal(fs, path);
    } catch (...) {
    }
    if (blobHeld) blob->UnlockRange(WriterRegionOffset, WriterRegionLength);
    if (indexHeld) index.UnlockWriterRange();
    data.UnlockWriteByte();
  } catch (...) {
  }
}

namespace {

// The undo journal of an exclusive opener that died: back to the table's last flush.
bool RecoverUndoJournal(TDataTable& table) {
  TFileSystem& fs = CurrentFileSystem();
  const std::string& folder = table.Database().Path();
  const std::string path = UndoJournalFileName(folder, table.Name());
  if (!UndoJournalPresent(fs, path)) return false;
  bool restored = false;
  Check(PlayBackUndoJournal(fs, folder, path, &restored), table.Name());
  return restored;
}

bool RecoverGroupJournal(TDataTable& table) {
  TFileSystem& fs = CurrentFileSystem();
  const std::string& folder = table.Database().Path();
  const std::string path = JournalFileName(folder, table.Name());
  TJournalContent journal;
  const TJournalState state = ReadJournal(fs, path, &journal);
  if (state == TJournalState::None) return false;
  if (state == TJournalState::Incomplete) {
    // Never complete: its writer had not yet written a byte of any table.
    Check(RemoveJournal(fs, path, false), table.Name());
    return false;
  }
  if (!journal.Lead) {
    TJournalContent lead;
    const bool hot = ReadJournal(fs, JournalFileName(folder, journal.Tables.front()), &lead) ==
                         TJournalState::Valid &&
                     lead.Lead && lead.GroupId == journal.GroupId;
    if (hot) Check(PlayBackImages(fs, folder, journal.Files, true), table.Name());
    Check(RemoveJournal(fs, path, false), table.Name());
    return hot;
  }
  // A flushed write of one table that retired its journal without a flush, and the disk lost
  // the retirement: the files show the write whole, so it stands.
  if (journal.Tables.size() == 1 && journal.HasDigests &&
      JournalWriteComplete(fs, folder, journal)) {
    Check(RemoveJournal(fs, path, true), table.Name());
    return true;
  }
  // The lead: every member journal of the same write that is still there goes first.
  for (std::size_t i = 1; i < journal.Tables.size(); ++i) {
    const std::string& member = journal.Tables[i];
    const std::string memberPath = JournalFileName(folder, member);
    TJournalContent content;
    if (ReadJournal(fs, memberPath, &content) != TJournalState::Valid ||
        content.GroupId != journal.GroupId)
      continue;
    // A table of our own database whose write lock we hold needs no lock of its own here.
    TDataTable* own = table.Database().FindTable(member, false);
    std::unique_ptr<TForeignWriteLock> lock;
    if (!own || !(own->LockState().HoldsWriteLock() || own->Exclusive()))
      lock = std::make_unique<TForeignWriteLock>(folder, member);
    if (ReadJournal(fs, memberPath, &content) != TJournalState::Valid ||
        content.GroupId != journal.GroupId)
      continue;  // recovered meanwhile by whoever held the lock
    Check(PlayBackImages(fs, folder, content.Files, true), member);
    Check(RemoveJournal(fs, memberPath, false), member);
  }
  Check(PlayBackImages(fs, folder, journal.Files, true), table.Name());
  Check(RemoveJournal(fs, path, true), table.Name());
  return true;
}

}  // namespace

bool RecoverTableJournal(TDataTable& table) {
  if (!JournalWanted(table)) return false;
  // The group journal first: it is the newer, when a commit of the table's own flush left both.
  bool restored = RecoverGroupJournal(table);
  // Our own undo journal is the state of our caches, not a dead writer's.
  if (!table.Undo() || !table.Undo()->Started()) restored = RecoverUndoJournal(table) || restored;
  return restored;
}

}  // namespace zorvic::engine
