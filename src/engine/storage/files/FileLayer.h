// The file layer: every table file of the engine, on disk or in memory, is reached through it.
//
// TFileList (one per process, TFileList::Instance()) keeps exactly one TAbstractFile per file name
// and kind; every user of a file gets its own handle number with its own position on that shared
// object. TPhysicalFile holds one operating-system descriptor shared by all handles of the process;
// TMemoryFile holds the bytes of an in-memory file, which outlive their handles until the file is
// deleted. TFileHandler is the per-table-file object the data, index and BLOB files derive from: it
// raises EVELDOREngineError (with the full file name as the table of the message) where the lower
// objects return negative engine codes.
//
// Names: leading and trailing characters below 33 are trimmed, "\" and "/" both separate folders,
// and names are matched case-insensitively. Physical names are resolved on disk by
// ResolveTableFileName: the exact name when it exists, else a case-insensitive match in its folder,
// else the name as given (files are created as named).
//
// Exclusive and shared opens. Within the process the list enforces them (an exclusive open, or an
// open of a file held exclusively, fails with VELDOR_OSEACCES). Between processes every physical
// open takes a whole-file flock on its descriptor, exclusive or shared without waiting; flock is
// independent of the byte-range locks, so the two never interfere. Renaming or deleting a file
// that another process holds open fails with VELDOR_OSEACCES as well (probed with that flock).
//
// Byte-range locks are exclusive and never re-entrant across the whole process: a lock fails when
// any byte of the range is held by anyone, this process included. The file object keeps a table of
// the ranges held by the process (shared by all its handles) and, for physical files, also takes an
// open-file-description lock (F_OFD_SETLK) on the one shared descriptor for the sake of other
// processes (a read lock when the file is open read-only). An unlock must name exactly a held
// range. Locks a handle still holds are released when that handle closes. Offsets may lie far
// beyond the end of the file (the lock regions sit just below 4 GiB).
//
// Result codes: operations of TFileList and TAbstractFile return a handle number or count >= 0, or
// a negative engine code (-VELDOR_OSENOENT, ...); errno values map by MapOSError.
//
// Thread safety: TFileList runs every operation under its own mutex; each TAbstractFile runs every
// read, write, seek, size, lock and unlock under its own (recursive) mutex, so that positioning
// and transfer are one step per handle. A TFileHandler belongs to one user (a session's table) and
// is used by one thread at a time; EnterFileLock/LeaveFileLock hold the shared file's mutex across
// several calls.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/storage/EngineError.h"
#include "engine/storage/files/FileSystem.h"

namespace zorvic::engine {

class TAbstractFile;
class TFileHandler;
class TWriteCapture;

// Told before a write or truncation reaches a file directly (not held back in a capture), so
// that it can save what the write will change (an exclusive table's undo journal, Journal.h).
// count 0 is a truncation at offset. It raises to refuse the write.
class TWriteObserver {
 public:
  virtual void BeforeWrite(TFileHandler& file, std::int64_t offset, std::int64_t count) = 0;

 protected:
  ~TWriteObserver() = default;
};
using TFileRef = std::shared_ptr<TAbstractFile>;

// Progress of a whole-file copy: the percentage done (0..100).
using TCopyProgress = std::function<void(int percent)>;

// Negative engine code for an errno value (ENOENT/ENOTDIR -> -11010, EMFILE/ENFILE -> -11012,
// EACCES/EPERM/EROFS/EBUSY/EAGAIN/EWOULDBLOCK -> -11013, EBADF -> -11014, ENOMEM -> -11016,
// ENODEV/ENXIO -> -11023, EXDEV -> -11025, anything else -> -11047).
std::int32_t MapOSError(int error);

// Trims characters below 33 at both ends and turns "\" into "/".
std::string NormalizeFileName(const std::string& name);
// The key a file is registered under: the normalized name in lower case.
std::string FileNameKey(const std::string& name);
// The path to use on disk for a table file name: the exact normalized name when it exists, else
// the single entry of its folder whose name matches case-insensitively (the first in byte order
// when several do), else the normalized name itself.
std::string ResolveTableFileName(const std::string& name, TFileSystem& fs = CurrentFileSystem());
// directory + table, with the extension of table (if any) replaced by extension (".DAT").
// directory may be empty or end with or without a separator.
std::string MakeTableFileName(const std::string& directory, const std::string& table,
                              const std::string& extension);

// The shared object of one file. Created and owned by TFileList.
class TAbstractFile {
 public:
  TAbstractFile(std::string name, bool inMemory);
  virtual ~TAbstractFile();
  TAbstractFile(const TAbstractFile&) = delete;
  TAbstractFile& operator=(const TAbstractFile&) = delete;

  // Index of a handle number in the handle list, -1 if absent.
  int FindHandle(std::int32_t handle) const;
  // Current size in bytes, or a negative code.
  virtual std::int64_t GetSize() = 0;
  // Create (or empty) the file and add a handle; the handle number or a negative code.
  virtual std::int32_t CreateHandle() = 0;
  // Open the existing file and add a handle; same result.
  virtual std::int32_t OpenHandle() = 0;
  // Remove a handle (releasing the range locks it still holds); 0 or a negative code.
  virtual std::int32_t CloseHandle(std::int32_t handle);
  // Rename or delete the file itself (the list calls these only when no handle is open).
  virtual std::int32_t Rename(const std::string& newName) = 0;
  virtual std::int32_t Delete() = 0;
  // Read up to count bytes at the handle's position and advance it; the count read (short at the
  // end of the file) or a negative code.
  std::int64_t Read(std::int32_t handle, void* buffer, std::int64_t count);
  // Write count bytes at the handle's position and advance it; count 0 truncates the file at the
  // position. The count written (short when the disk is full) or a negative code.
  std::int64_t Write(std::int32_t handle, const void* buffer, std::int64_t count);
  // Seek and transfer in one step under the file's mutex.
  std::int64_t ReadAt(std::int32_t handle, std::int64_t offset, void* buffer, std::int64_t count);
  std::int64_t WriteAt(std::int32_t handle, std::int64_t offset, const void* buffer,
                       std::int64_t count);
  // Force the operating system's buffers to the disk.
  virtual bool Flush() = 0;
  // Set the handle's position: mode 0 from the start, 1 from the current position, 2 back from
  // the end. The new position or a negative code.
  std::int64_t Seek(std::int32_t handle, std::int64_t offset, int mode);
  // Exclusive, non-waiting byte-range lock and exact-range unlock (see the top of this header).
  // offset >= 0 and length >= 1, else false.
  bool Lock(std::int32_t handle, std::int64_t offset, std::int64_t length);
  bool Unlock(std::int32_t handle, std::int64_t offset, std::int64_t length);

  std::recursive_mutex& Mutex() { return FMutex; }
  const std::string& Name() const { return FName; }
  bool InMemory() const { return FInMemory; }
  bool Exclusive() const { return FExclusive; }
  bool OpenedReadOnly() const { return FOpenedReadOnly; }
  bool ReadOnlyAttribute() const { return FReadOnlyAttribute; }
  bool Temporary() const { return FTemporary; }
  int HandleCount() const;
  // The ranges this process holds, for tests and diagnostics.
  std::size_t LockCount() const;

 protected:
  friend class TFileList;

  struct THandleEntry {
    std::int32_t Handle = 0;
    std::int64_t Position = 0;
  };
  struct TLockEntry {
    std::int64_t First = 0;  // first byte
    std::int64_t Last = 0;   // last byte
    std::int64_t Length = 0;
    std::int32_t Owner = 0;  // handle that took it
  };

  // Transfers at an absolute offset; the same results as Read/Write.
  virtual std::int64_t ReadRaw(std::int64_t offset, void* buffer, std::int64_t count) = 0;
  virtual std::int64_t WriteRaw(std::int64_t offset, const void* buffer, std::int64_t count) = 0;
  virtual std::int32_t TruncateRaw(std::int64_t size) = 0;
  // The cross-process part of a range lock; in-memory files have none.
  virtual bool LockSystemRange(std::int64_t offset, std::int64_t length);
  virtual void UnlockSystemRange(std::int64_t offset, std::int64_t length);
  // Adds a handle entry and returns its number.
  std::int32_t AddHandle();
  // Forgets every handle and lock (after the file was closed at the system level).
  void ReleaseAllLocks();

  mutable std::recursive_mutex FMutex;
  std::string FName;
  bool FInMemory;
  bool FExclusive = false;
  bool FOpenedReadOnly = false;
  bool FReadOnlyAttribute = false;
  bool FTemporary = false;
  std::int32_t FHandleCounter = 0;
  std::vector<THandleEntry> FHandles;
  // By first byte. Locked ranges never overlap, so they are ordered by their last bytes too and
  // an overlap test looks only at the range starting at or before the new one's last byte.
  std::map<std::int64_t, TLockEntry> FLocks;
};

// A file on disk: one descriptor per process, opened with the first handle, closed with the last.
class TPhysicalFile : public TAbstractFile {
 public:
  TPhysicalFile(std::string name, TFileSystem& fs);
  ~TPhysicalFile() override;

  std::int64_t GetSize() override;
  std::int32_t CreateHandle() override;
  std::int32_t OpenHandle() override;
  std::int32_t CloseHandle(std::int32_t handle) override;
  std::int32_t Rename(const std::string& newName) override;
  std::int32_t Delete() override;
  bool Flush() override;

  // The resolved path on disk.
  const std::string& Path() const { return FPath; }
  // The status of the file the descriptor has open (which may no longer be the one under the
  // path); false when none is open or the call fails.
  bool StatOpenFile(TFileStatus* status);

 protected:
  std::int64_t ReadRaw(std::int64_t offset, void* buffer, std::int64_t count) override;
  std::int64_t WriteRaw(std::int64_t offset, const void* buffer, std::int64_t count) override;
  std::int32_t TruncateRaw(std::int64_t size) override;
  bool LockSystemRange(std::int64_t offset, std::int64_t length) override;
  void UnlockSystemRange(std::int64_t offset, std::int64_t length) override;

 private:
  friend class TFileList;
  // Creates the file exclusively (O_EXCL) for a fresh temporary name; -EEXIST-mapped on collision.
  std::int32_t CreateExclusiveHandle(bool* collided);
  void CloseDescriptor();

  TFileSystem& FFS;
  std::string FPath;
  int FFd = -1;
};

// A file held in memory; its bytes live until the file is deleted, even without open handles.
class TMemoryFile : public TAbstractFile {
 public:
  explicit TMemoryFile(std::string name);

  std::int64_t GetSize() override;
  std::int32_t CreateHandle() override;
  std::int32_t OpenHandle() override;
  std::int32_t Rename(const std::string& newName) override;
  std::int32_t Delete() override;
  bool Flush() override { return true; }

 protected:
  std::int64_t ReadRaw(std::int64_t offset, void* buffer, std::int64_t count) override;
  std::int64_t WriteRaw(std::int64_t offset, const void* buffer, std::int64_t count) override;
  std::int32_t TruncateRaw(std::int64_t size) override;

 private:
  std::vector<std::uint8_t> FBytes;  // capacity grows in steps of MemoryFileGrowStep
  std::int64_t FSize = 0;
};

// Result of TFileList::Open beyond the handle number.
struct TOpenInfo {
  TFileRef File;
  bool OpenedReadOnly = false;
  bool ReadOnlyAttribute = false;
};

// The registry of open files of the process.
class TFileList {
 public:
  // The process's list (made on first use, never destroyed before exit).
  static TFileList& Instance();
  // A separate list; tests use one to act like another process. fs = nullptr follows the
  // process's current file system at each new physical file.
  explicit TFileList(TFileSystem* fs = nullptr);
  ~TFileList();
  TFileList(const TFileList&) = delete;
  TFileList& operator=(const TFileList&) = delete;

  // Create (or empty) a file and open it exclusively: -VELDOR_OSEACCES when it has open handles.
  std::int32_t Create(const std::string& name, bool inMemory, bool temporary, TFileRef* file);
  // Create a fresh temporary file named directory + up to 5 digits of the thread id + a counter +
  // extension, exclusively (a name in use is skipped, never overwritten). *name gets the name.
  std::int32_t CreateTemporary(const std::string& directory, const std::string& extension,
                               bool inMemory, std::string* name, TFileRef* file);
  // Open a file (see the top of this header for the sharing rules).
  std::int32_t Open(const std::string& name, bool inMemory, bool temporary, bool exclusive,
                    TOpenInfo* info);
  // Close one handle; the last close destroys a physical file object (deleting a temporary file)
  // and a temporary in-memory file, while a plain in-memory file keeps its bytes.
  std::int32_t Close(const TFileRef& file, std::int32_t handle);
  // Rename / delete a file that no handle has open (else -VELDOR_OSEACCES).
  std::int32_t Rename(const std::string& name, bool inMemory, const std::string& newName);
  std::int32_t Delete(const std::string& name, bool inMemory);
  bool Exists(const std::string& name, bool inMemory);
  // Whole-file copies in chunks of FileCopyChunkSize from position 0, to or from another file of
  // the same kind. With compress each chunk is stored as a frame: 4-byte little-endian length of
  // the original bytes, 4-byte little-endian length of the compressed bytes, the zlib (level 9)
  // bytes; CopyFrom with compress reads that framing back. 0 or a negative code (-VELDOR_COMPRESS,
  // -VELDOR_UNCOMPRESS for damaged frames, -VELDOR_READERR/-VELDOR_WRITEERR for short transfers).
  std::int32_t CopyTo(const TFileRef& file, std::int32_t handle, const std::string& otherName,
                      bool compress, const TCopyProgress& progress, int progressStep);
  std::int32_t CopyFrom(const TFileRef& file, std::int32_t handle, const std::string& otherName,
                        bool compress, const TCopyProgress& progress, int progressStep);

  // Number of registered file objects (tests).
  std::size_t Count();

  // Asked by the process's list before it refuses a create, exclusive open, rename or delete
  // because the file has handles open: closes idle holders of the file (tables kept open between
  // statements, TableParking.h) and says whether it closed one, in which case the call is tried
  // once more. Separate lists (which act as other processes) never ask.
  using TIdleCloser = bool (*)(const std::string& name, bool inMemory) noexcept;
  static void SetIdleCloser(TIdleCloser closer);

 private:
  struct TKey {
    std::string Name;  // FileNameKey
    bool InMemory;
    bool operator<(const TKey& o) const {
      return InMemory != o.InMemory ? InMemory < o.InMemory : Name < o.Name;
    }
  };

  TFileSystem& FS();
  // Whether the idle holders of a busy file were closed (see SetIdleCloser).
  bool CloseIdleHolders(const std::string& name, bool inMemory);
  TFileRef Find(const std::string& name, bool inMemory);
  TFileRef MakeFile(const std::string& name, bool inMemory);
  void Forget(const TFileRef& file);
  std::int32_t CopyLocked(const TFileRef& file, std::int32_t handle, const std::string& otherName,
                          bool toOther, bool compress, const TCopyProgress& progress,
                          int progressStep);

  std::recursive_mutex FMutex;
  TFileSystem* FFixedFS;
  std::map<TKey, TFileRef> FFiles;
};

// The per-table-file object the data, index and BLOB files derive from. Raises
// EVELDOREngineError with the full file name as the table of the message.
class TFileHandler {
 public:
  TFileHandler(std::string fileName, bool inMemory, TFileList& list = TFileList::Instance());
  virtual ~TFileHandler();
  TFileHandler(const TFileHandler&) = delete;
  TFileHandler& operator=(const TFileHandler&) = delete;

  // Opens the file (nothing when already open): VELDOR_OSENOENT when it does not exist, else the
  // list's result raised. Sets the read-only results.
  virtual void Open(bool exclusive, bool temporary = false);
  // Closes the handle (nothing when closed).
  virtual void Close();
  // Creates (or empties) the file and opens it exclusively.
  virtual void CreateFile(bool temporary = false);
  // Creates a fresh temporary file in directory with extension and takes its name.
  void CreateTemporaryFile(const std::string& directory, const std::string& extension);
  virtual void DeleteFile();
  // Renames the (closed) file and keeps the new name.
  virtual void RenameFile(const std::string& newName);
  virtual void CopyToFile(const std::string& otherName, bool compress,
                          const TCopyProgress& progress = {}, int progressStep = 20);
  virtual void CopyFromFile(const std::string& otherName, bool compress,
                            const TCopyProgress& progress = {}, int progressStep = 20);
  // Reads count bytes at the position: VELDOR_READERR when fewer arrive and allowShort is false.
  // Returns the count read.
  virtual std::int64_t Read(void* buffer, std::int64_t count, bool allowShort = false);
  // Writes count bytes at the position: VELDOR_WRITEERR when fewer are written. Count 0
  // truncates the file at the position.
  virtual void Write(const void* buffer, std::int64_t count);
  // Forces the operating system's buffers to the disk: VELDOR_WRITEERR on failure.
  virtual void FlushBuffers();

  // Seek and transfer in one step (the usual way to reach a record, page or block).
  std::int64_t ReadAt(std::int64_t offset, void* buffer, std::int64_t count,
                      bool allowShort = false);
  void WriteAt(std::int64_t offset, const void* buffer, std::int64_t count);
  // WriteAt of a whole buffer: a capture takes the buffer itself (leaving it empty) instead of
  // a copy (a commit's runs of records, megabytes for a large transaction); a write that
  // reaches the file (no capture, or a capture's direct write, Journal.h) leaves it to the
  // caller.
  void WriteBytesAt(std::int64_t offset, std::vector<std::uint8_t>& bytes);
  // Sets the end of the file (a write of 0 bytes at size).
  void Truncate(std::int64_t size);
  void Seek(std::int64_t offset);
  std::int64_t Position() const;
  // Current size, read without disturbing the position.
  std::int64_t FileSize() const;
  // Byte-range lock and unlock (never wait); false when refused.
  bool LockRange(std::int64_t offset, std::int64_t length);
  bool UnlockRange(std::int64_t offset, std::int64_t length);
  // Hold the shared file's mutex across several calls (see the thread-safety note above).
  void EnterFileLock();
  void LeaveFileLock();

  // Whether the file exists (registered, or on disk for physical files).
  bool Exists() const;
  bool IsOpen() const { return FOpen; }
  bool InMemory() const { return FInMemory; }
  // The status of the physical file this handler has open; false for an in-memory or closed
  // file, or when it cannot be had.
  bool OpenFileStatus(TFileStatus* status) const;
  const std::string& FileName() const { return FFileName; }
  std::int32_t Handle() const { return FHandle; }
  // The shared file object (open handlers only).
  TAbstractFile& File() const { return *FFile; }
  bool Exclusive() const { return FExclusive; }
  bool OpenedReadOnly() const { return FOpenedReadOnly; }
  bool ReadOnlyAttribute() const { return FReadOnlyAttribute; }
  bool Temporary() const { return FTemporary; }
  TFileList& List() const { return FList; }
  // While a capture is set, writes, truncations and flushes are held back in it and reads see
  // them (a journaled write, Journal.h). The handler does not own it.
  void SetCapture(TWriteCapture* capture) { FCapture = capture; }
  TWriteCapture* Capture() const { return FCapture; }
  // Sees every write that is not captured. The handler does not own it.
  void SetWriteObserver(TWriteObserver* observer) { FObserver = observer; }
  TWriteObserver* WriteObserver() const { return FObserver; }

  // Raises code with this file's full name as the table.
  [[noreturn]] void RaiseFileError(TErrorCode code) const;

 protected:
  // Raises -result when result is negative.
  void Check(std::int64_t result) const;
  void RequireOpen() const;
  void CloseQuietly() noexcept;

  TFileList& FList;
  bool FInMemory;
  TFileRef FFile;
  std::string FFileName;
  std::int32_t FHandle = 0;
  bool FExclusive = false;
  bool FOpenedReadOnly = false;
  bool FReadOnlyAttribute = false;
  bool FOpen = false;
  bool FTemporary = false;
  TWriteCapture* FCapture = nullptr;
  TWriteObserver* FObserver = nullptr;
};

// Holds a handler's file lock for a scope.
class TFileLockGuard {
 public:
  explicit TFileLockGuard(TFileHandler& handler) : FHandler(handler) { FHandler.EnterFileLock(); }
  ~TFileLockGuard() { FHandler.LeaveFileLock(); }
  TFileLockGuard(const TFileLockGuard&) = delete;
  TFileLockGuard& operator=(const TFileLockGuard&) = delete;

 private:
  TFileHandler& FHandler;
};

}  // namespace zorvic::engine
