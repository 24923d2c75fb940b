// The rollback journal: atomic writes of one or more tables.
//
// A journaled write runs in two halves. First every write, truncation and flush request the
// tables' file handlers make is held back in a TWriteCapture per file (reads and sizes during
// that half see the held-back bytes). Then TCommitJournal::Commit saves the old content of every
// byte the held-back writes will change, with the files' old lengths, in a journal beside the
// tables, applies the writes to the files, and retires the journal by zeroing its header: that
// is the commit point. A process that dies before it leaves a journal; whoever next takes the
// table's locks plays it back (TableJournal.h) and finds the table as it was before the write.
//
// Journal file "<table>.JNL", in the folder of the tables, one per table of the write. All
// integers little-endian.
//   Header, 48 bytes:
//     0  8  magic "ZVJRNL01"
//     8  8  group id: random, the same in every journal of one write
//     16 8  body length in bytes
//     24 4  CRC-32 (zlib) of the body
//     28 4  role: 1 = lead, 2 = member
//     32 4  flags: bit 0 = the body ends with the write's new bytes' digests
//     36 8  zero
//     44 4  CRC-32 of bytes 0..43
//   Body:
//     u16 count of tables in the write, then per table u16 length + name (the lead first);
//     u32 count of files of this journal's table, then per file:
//       u16 length + file name (without folder), i64 length of the file before the write,
//       u32 count of ranges, then per range: i64 offset, u32 length, the old bytes.
//     With flag bit 0, per file again (in the same order): i64 length of the file after the
//       write (-1: the write leaves the file alone), u32 count of written pieces, then per
//       piece: i64 offset, u32 length, u64 digest of the bytes written there (ContentDigest).
// The lead journal (of the first table of the write) is the commit point of the whole write:
// a member journal counts only while the lead journal with the same group id is valid; a
// journal whose header does not check out was never complete, so no table byte was written
// after it. Playing a journal back writes the old bytes to their offsets and cuts each file to
// its old length; doing it twice gives the same files, so a crash during recovery is harmless.
//
// The file outlives its write: the next write of the table writes its journal over it (its
// header and CRCs decide what counts, whatever lies past the body), so a run of writes does not
// make and remove a file each. A retired journal ("idle") is one whose first 48 bytes are zero,
// or an empty file: nothing to play back. A journal of more than IdleJournalKeepBytes is cut to
// nothing instead, so that the disk does not keep the old bytes of a large write. A table
// object keeps its journal file open from its first write until the object goes, with a shared
// lock on the file's first byte; an idle file that nobody keeps is removed (under an exclusive
// lock on that byte) when its keeper goes or when someone opens a table whose keeper is gone
// (TableJournal.h). A writer takes its claim right after it opens the name and checks that the
// file still has its name, and checks it again at every write, so it never writes to a file
// that was removed.
//
// Order of a commit: member journals, then the lead journal; with sync each is synced (and the
// folder) before a table byte is written; the table files are written and, with sync, synced;
// the commit point: the lead journal's header is overwritten with zeros and synced (with sync);
// then the member journals are zeroed. A failure while the tables are written plays the old
// bytes back at once and retires the journals.
//
// A flushed write of one table outside a transaction saves that last flush. Its journal carries
// the digests of the bytes it writes; once the table files are synced, the write is on the disk
// whether or not the journal's retirement is, so the header is zeroed without a flush and the
// unflushed mark ("ZVJRNLUF") is written right after it, at offset 48. Should the zeroed header
// be lost, recovery finds the journal valid, sees every file holding the digested bytes at the
// length the write gave it, and removes the journal without playing it back. That holds only
// while nothing else has changed the table's files since, so whoever writes them next makes the
// retirement durable first: a journaled write without sync flushes its own journal over it
// before it writes a table byte (a synced one does so anyway), and an exclusive opener of the
// table (who may write it without this journal: its undo journal, a restructure) or a remover
// of the idle file flushes a marked file. The mark is gone with the next journal written over
// it.
//
// Thread safety: a capture and a journal belong to the thread that writes the tables (the
// tables' locks keep every other writer out); the functions below touch only files.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/files/FileLayer.h"
#include "engine/storage/files/FileSystem.h"

namespace zorvic::engine {

class TUndoJournal;

// Asked by a capture whether it may write straight to its file past the file's old end (once
// per table, at the first such write).
class TDirectWriteGate {
 public:
  virtual bool DirectWritesAllowed() = 0;

 protected:
  ~TDirectWriteGate() = default;
};

// The held-back writes of one file.
//
// A capture allowed to (AllowDirectWrites) writes a large piece that lies wholly past the
// file's old end straight to the file instead of keeping a copy: no old byte changes, so the
// journal needs nothing of it, and a playback's cut to the old length takes it away again. A
// reader of the table goes by the lengths its headers give, which the held-back writes alone
// change, so it never meets those bytes before the commit; a write that does not complete cuts
// them off (UndoDirectWrites). A large commit thus does not copy its new records and pages once
// more. Once the write cuts the file below its old end, everything is held back again.
class TWriteCapture {
 public:
  // Direct writes are of pieces of at least this many bytes.
  static constexpr std::int64_t DirectWriteMin = 16 * 1024;

  explicit TWriteCapture(std::int64_t originalSize)
      : FOriginalSize(originalSize),
        FSize(originalSize),
        FMinSize(originalSize),
        FDirectEnd(originalSize) {}

  // Lets the capture write past the old end through handle of file, when gate agrees.
  void AllowDirectWrites(TAbstractFile& file, std::int32_t handle, TDirectWriteGate& gate) {
    FFile = &file;
    FHandle = handle;
    FGate = &gate;
  }
  // A write of count bytes at offset; count 0 cuts the file at offset. False when a direct
  // write or cut did not reach the file.
  bool Write(std::int64_t offset, const void* data, std::int64_t count);
  // A write of the bytes of a buffer (not empty): taken over when held back (bytes is then
  // empty), left to the caller when written directly. False as above.
  bool Write(std::int64_t offset, std::vector<std::uint8_t>&& bytes);
  // Reads through the held-back writes: the bytes the file would hold; the count read.
  std::int64_t Read(TAbstractFile& file, std::int32_t handle, std::int64_t offset, void* buffer,
                    std::int64_t count);
  std::int64_t Size() const { return FSize; }
  void NoteSyncWanted() { FSyncWanted = true; }
  bool SyncWanted() const { return FSyncWanted; }
  bool Empty() const { return FPieces.empty() && FSize == FOriginalSize && FMinSize == FSize; }

  std::int64_t OriginalSize() const { return FOriginalSize; }
  std::int64_t MinSize() const { return FMinSize; }
  const std::map<std::int64_t, std::vector<std::uint8_t>>& Pieces() const { return FPieces; }
  // The end of what the file itself holds of the write past its old end (the old end when
  // nothing was written directly).
  std::int64_t DirectEnd() const { return FDirectEnd; }
  bool HasDirectWrites() const { return FDirectEnd > FOriginalSize; }
  // Cuts the file back to its old length when direct writes reached it (never throws).
  void UndoDirectWrites() noexcept;

 private:
  bool Cut(std::int64_t size);
  // Takes [offset, end) out of the pieces that overlap it.
  void Clear(std::int64_t offset, std::int64_t end);
  // Whether a write of count bytes at offset goes straight to the file.
  bool GoesDirect(std::int64_t offset, std::int64_t count);
  bool WriteDirect(std::int64_t offset, const void* data, std::int64_t count);

  std::int64_t FOriginalSize;
  std::int64_t FSize;     // the length the file will have
  std::int64_t FMinSize;  // the shortest it was cut to: bytes from here on are not the file's
  std::int64_t FDirectEnd;
  bool FSyncWanted = false;
  std::map<std::int64_t, std::vector<std::uint8_t>> FPieces;  // offset -> bytes, disjoint
  TAbstractFile* FFile = nullptr;
  std::int32_t FHandle = 0;
  TDirectWriteGate* FGate = nullptr;
  int FGateAnswer = -1;  // -1 not asked yet, else 0 or 1
};

// One range of old bytes of a file.
struct TJournalRange {
  std::int64_t Offset = 0;
  std::vector<std::uint8_t> Bytes;
};

// What a journal holds for one file.
struct TJournalFileImage {
  std::string Name;  // without folder
  std::int64_t OriginalSize = 0;
  std::vector<TJournalRange> Ranges;
};

// One piece a write put into a file, by its digest.
struct TJournalWrittenPiece {
  std::int64_t Offset = 0;
  std::uint32_t Length = 0;
  std::uint64_t Digest = 0;
};

// What a file holds once the write is complete (journals with digests only).
struct TJournalFileAfter {
  std::int64_t Size = 0;  // -1: the write leaves the file alone
  std::vector<TJournalWrittenPiece> Pieces;
};

// A parsed journal.
struct TJournalContent {
  std::uint64_t GroupId = 0;
  bool Lead = false;
  std::vector<std::string> Tables;  // of the whole write, the lead first
  std::vector<TJournalFileImage> Files;
  bool HasDigests = false;
  std::vector<TJournalFileAfter> After;  // with digests: one per file, as Files
};

enum class TJournalState {
  None,        // no journal file
  Incomplete,  // a journal whose header or body does not check out (an idle one included):
               // nothing to play back
  Valid,
};

// What lies at a journal's path, from its first bytes alone.
enum class TJournalPresence {
  Missing,
  Idle,  // a retired journal: empty, or its header is zero
  Busy,  // anything else: a journal that may have to be played back (or thrown away)
};

// Larger journals are cut to nothing when retired instead of having their header zeroed.
constexpr std::int64_t IdleJournalKeepBytes = std::int64_t{1} << 20;

// Reads "<folder><table>.JNL".
TJournalState ReadJournal(TFileSystem& fs, const std::string& path, TJournalContent* content);
// The journal file of a table (folder ends with a separator or is empty).
std::string JournalFileName(const std::string& folder, const std::string& table);
// Plays the images back onto the files in folder (each file resolved case-insensitively) and,
// with sync, syncs them. Returns 0 or a negative engine code.
std::int32_t PlayBackImages(TFileSystem& fs, const std::string& folder,
                            const std::vector<TJournalFileImage>& files, bool sync);
// A 64-bit digest of bytes, to tell a complete write from one the disk did not take whole.
std::uint64_t ContentDigest(const std::uint8_t* bytes, std::size_t count);
// Whether every file of a journal with digests holds what the write put there, at the length it
// gave it: then the write reached the disk whole (a file that cannot be read counts as not).
bool JournalWriteComplete(TFileSystem& fs, const std::string& folder,
                          const TJournalContent& content);
// Removes a journal file; with sync its header is first zeroed and synced, so that it cannot
// come back valid. Returns 0 or a negative engine code (a missing file is 0).
std::int32_t RemoveJournal(TFileSystem& fs, const std::string& path, bool sync);
// Looks at the exact path (no other spelling): missing, idle or busy. A file that cannot be
// read counts as busy. unflushed, when given: whether the file is retired with the unflushed
// mark (idle, its retirement maybe not yet on the disk).
TJournalPresence ProbeJournal(TFileSystem& fs, const std::string& path, bool* unflushed = nullptr);
// The same, through a descriptor of the journal file.
TJournalPresence ProbeJournalDescriptor(TFileSystem& fs, int fd, bool* unflushed = nullptr);
// Flushes a journal file retired with the unflushed mark, so that its retirement is on the disk
// (anyone may: it changes no byte). Returns whether the file was marked.
bool FlushUnflushedRetirement(TFileSystem& fs, const std::string& path);
// A journal descriptor kept between writes: fd itself while it still names a file; when its
// file was removed meanwhile (by whoever held the table's write lock), it is closed and set to
// -1. Returns fd.
int CheckKeptJournal(TFileSystem& fs, int& fd);
// Removes the file at the exact path when it is idle and no table object keeps it (a keeper
// holds a shared lock on its first byte); the caller holds the table's write lock (or has the
// table open exclusively). A file with the unflushed mark is flushed first, so that a file
// whose removal the disk loses comes back retired. Returns whether a file was removed.
bool RemoveIdleJournal(TFileSystem& fs, const std::string& path);

// A journaled write of one or more tables of one folder.
class TCommitJournal {
 public:
  TCommitJournal(std::string folder, TFileSystem& fs = CurrentFileSystem());
  // Detaches the captures; when Commit was not reached, the held-back writes are forgotten.
  ~TCommitJournal();
  TCommitJournal(const TCommitJournal&) = delete;
  TCommitJournal& operator=(const TCommitJournal&) = delete;

  // Starts holding back the writes of a table's open files (the first table added leads).
  // Files that already have a capture are left alone. journalPath: the journal's exact file
  // name (the table's data file name on disk with ".JNL"); empty: "<folder><table>.JNL",
  // matched case-insensitively.
  // undo: the table's undo journal (an exclusive table, UndoJournal.h). A write of that table
  // alone saves its old bytes there instead, and the undo journal's removal is its commit point.
  // keptFd: where the table object keeps its journal file open between writes (-1: not yet);
  // the journal is written through it and it stays open. keptFolderSynced: whether the
  // folder was flushed since that file was opened (kept with it, updated by a flushed commit).
  // keptUnflushed: whether that file may hold a retirement not yet on the disk (the unflushed
  // mark, or a journal of someone else's), kept with it by the table object and updated here;
  // without it the file's first bytes are read to tell.
  void AddTable(const std::string& table, const std::vector<TFileHandler*>& files,
                const std::string& journalPath = std::string(), TUndoJournal* undo = nullptr,
                int* keptFd = nullptr, bool* keptFolderSynced = nullptr,
                bool* keptUnflushed = nullptr);
  bool HasTables() const { return !FTables.empty(); }
  // The write is one table's own, outside a transaction: flushed, it may retire its journal
  // without a flush (see the top of this header).
  void AllowUnflushedRetirement() { FUnflushedRetirementAllowed = true; }
  // Saves the old bytes, writes the tables, retires the journals (see the top of this header).
  // sync: also when no handler asked for a flush. On failure the files are put back as they
  // were (when they can be) and the error is raised; the held-back writes are gone either way.
  void Commit(bool sync);
  // Forgets the held-back writes (and the failure handlers).
  void Discard() noexcept;
  // Runs handler (once, never throwing) when the write does not complete: Commit fails, or the
  // journal goes without Commit. The tables' caches then believe written what the files never
  // received, so a handler puts them back in step with the files.
  void OnFailure(std::function<void()> handler) { FOnFailure.push_back(std::move(handler)); }

 private:
  struct TFileEntry {
    TFileHandler* Handler = nullptr;
    std::unique_ptr<TWriteCapture> Capture;
    TJournalFileImage Image;
    bool Written = false;
  };
  // Lets the captures of one table write past their files' old ends (TWriteCapture).
  class TTableGate final : public TDirectWriteGate {
   public:
    TTableGate(const TCommitJournal& journal, const std::string& path, bool exact, int* keptFd,
               bool* keptUnflushed)
        : FJournal(journal),
          FPath(path),
          FExact(exact),
          FKeptFd(keptFd),
          FKeptUnflushed(keptUnflushed) {}
    bool DirectWritesAllowed() override;

   private:
    bool Decide();

    const TCommitJournal& FJournal;
    std::string FPath;
    bool FExact;
    int* FKeptFd;
    bool* FKeptUnflushed;
    int FAnswer = -1;  // -1 not decided yet (the table's files ask in turn), else 0 or 1
  };
  struct TTableEntry {
    std::string Name;
    std::unique_ptr<TTableGate> Gate;
    std::vector<TFileEntry> Files;
    std::string JournalPath;
    bool JournalPathExact = false;  // the path is the file's name as it is on disk
    bool JournalWritten = false;
    int JournalFd = -1;  // open from the journal's write until it is retired
    int* KeptFd = nullptr;
    bool JournalFdKept = false;  // JournalFd is the table object's, not ours to close
    bool* KeptFolderSynced = nullptr;
    bool* KeptUnflushed = nullptr;
    bool FolderDurable = false;  // the journal's name is known to be on the disk already
    std::int64_t JournalBytes = 0;
    TUndoJournal* Undo = nullptr;
  };

  void Detach() noexcept;
  // Cuts what the captures wrote straight to the files of tables not written (never throws).
  void UndoDirectWrites() noexcept;
  void CommitWrites(bool sync);
  void RunFailureHandlers() noexcept;
  void SuspendUndo(bool suspended) noexcept;
  void CommitThroughUndo(TTableEntry& table, bool sync);
  void CollectImages();
  bool UnflushedRetirementFits(bool sync) const;
  std::vector<std::uint8_t> Encode(const TTableEntry& table, std::uint64_t groupId, bool lead,
                                   bool digests) const;
  void WriteJournal(TTableEntry& table, const std::vector<std::uint8_t>& bytes, bool sync);
  void ApplyWrites(bool sync);
  void PutBack() noexcept;
  void RetireJournal(TTableEntry& table, bool sync, bool unflushed = false);
  void RetireJournals(bool sync, bool unflushed);
  void CloseJournals() noexcept;
  void SyncFolder();

  std::string FFolder;
  TFileSystem& FFS;
  std::vector<TTableEntry> FTables;
  std::vector<std::function<void()>> FOnFailure;
  bool FCommitStarted = false;
  bool FUnflushedRetirementAllowed = false;
};

}  // namespace zorvic::engine
