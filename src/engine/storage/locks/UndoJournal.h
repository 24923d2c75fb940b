// The undo journal of an exclusively open table: the old content of everything its files
// received since the table's last flush.
//
// An exclusive table writes lazily: its caches write units to make room, and emptying writes
// at once, long before the next flush. Each such write reaches the file through the handler's
// write observer (FileLayer.h), which first saves the old bytes it will change here; a flush
// saves the old bytes of its own writes the same way, syncs the journal (when it flushes to
// the disk), writes the table and removes the journal: that removal is the flush's commit
// point. A process that dies in between leaves the journal; whoever opens the table next plays
// it back and finds the table as it was at its last flush.
//
// Journal file "<table>.JNX" beside the table (the data file's name on disk with ".JNX"),
// made at the first write after a flush. All integers little-endian.
//   Header: magic "ZVJRNX01" (8), u32 length n of the header body, u32 CRC-32 (zlib) of it,
//     then the body: u8 count of files, per file: u16 length + file name (without folder),
//     i64 length of the file at the last flush.
//   Then records, each: u32 length m of the payload, u32 CRC-32 of it, then the payload: u8
//     file number (order of the header), i64 offset, the old bytes (m - 9 of them).
// Records are written before the table bytes they cover, so a record cut short or failing its
// CRC ends the journal: its table write never began. A byte's old content is saved once (the
// ranges of one file never overlap), so playback order does not matter. Playing back writes
// every record's bytes to its offset and cuts each file to its length at the last flush;
// doing it twice gives the same files.
//
// Thread safety: as the table it belongs to; one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/storage/files/FileLayer.h"
#include "engine/storage/files/FileSystem.h"

namespace zorvic::engine {

class TUndoJournal final : public TWriteObserver {
 public:
  // files: the table's open handlers (null ones are left out). sync: every record is synced
  // before the write it covers goes out (a forced buffer flush).
  TUndoJournal(std::string path, std::vector<TFileHandler*> files, bool sync,
               TFileSystem& fs = CurrentFileSystem());
  // Stops watching the handlers; a started journal stays on disk for the next opener.
  ~TUndoJournal();
  TUndoJournal(const TUndoJournal&) = delete;
  TUndoJournal& operator=(const TUndoJournal&) = delete;

  void BeforeWrite(TFileHandler& file, std::int64_t offset, std::int64_t count) override;
  // Saves the old bytes a write (count 0: a truncation) would change, without syncing.
  void Save(TFileHandler& file, std::int64_t offset, std::int64_t count);
  // Syncs the journal file (and, when it was just made, its folder).
  void Sync();
  // While suspended, writes pass unrecorded (the journal already covers them).
  void SetSuspended(bool suspended) { FSuspended = suspended; }
  void SetSync(bool sync) { FSyncEach = sync; }
  // Whether the journal file exists: something was written since the last flush.
  bool Started() const { return FFd >= 0; }
  const std::string& Path() const { return FPath; }
  // The commit point of a flush: the journal goes (with sync, its header is zeroed and synced
  // first) and the next write starts a new one.
  void Finish(bool sync);
  // Puts the files back as they were at the last flush (through the handlers) and starts anew.
  void RollBack();

 private:
  struct TFileState {
    TFileHandler* Handler = nullptr;
    std::string Name;
    std::int64_t OriginalSize = 0;
    std::map<std::int64_t, std::int64_t> Covered;  // start -> end, disjoint, merged
  };
  void Start();
  void Append(std::uint8_t file, std::int64_t offset, const std::vector<std::uint8_t>& bytes);
  void Close() noexcept;
  void Cover(TFileState& state, std::int64_t from, std::int64_t to);

  std::string FPath;
  TFileSystem& FFS;
  std::vector<TFileState> FFiles;
  bool FSyncEach;
  bool FSuspended = false;
  bool FFolderSynced = false;
  int FFd = -1;
  std::int64_t FEnd = 0;
};

// The undo journal file of a table (folder ends with a separator or is empty).
std::string UndoJournalFileName(const std::string& folder, const std::string& table);
// Whether an undo journal with a sound header lies at path (resolved case-insensitively).
bool UndoJournalPresent(TFileSystem& fs, const std::string& path);
// Plays the journal at path back onto the files of folder and syncs them, then removes it. A
// journal whose header does not check out is removed unplayed (nothing was written after it).
// Returns whether the files were put back; a negative engine code is raised by the caller.
std::int32_t PlayBackUndoJournal(TFileSystem& fs, const std::string& folder,
                                 const std::string& path, bool* restored);

}  // namespace zorvic::engine
