// The operating-system seam of the storage engine.
//
// Every physical file call the engine makes (open, positioned read and write, truncate, sync,
// range and open-mode locks, unlink, rename, stat, directory listing) goes through a TFileSystem.
// The default one talks to Linux directly; tests install TFaultFileSystem (FaultFileSystem.h) to
// fail the Nth read or write, fill the disk, or throw away everything written since the last
// sync, and then prove that tables still open and verify.
//
// The calls follow POSIX conventions: -1 (or a negative count) with errno set on failure. They
// never throw.
//
// Thread safety: implementations must accept calls from any thread at the same time. The
// process-wide current file system is read when a physical file object is made; swap it only
// while no physical file is open (tests do so at start-up).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zorvic::engine {

// What Stat reports about a path.
struct TFileStatus {
  bool Exists = false;
  bool IsDirectory = false;
  bool ReadOnly = false;  // no write permission bit for anyone: the read-only attribute
  std::int64_t Size = 0;
  // Which file it is: another file put in its place under the same name differs here.
  std::uint64_t Device = 0;
  std::uint64_t Inode = 0;
  // Names the file has: 0 for an open file whose name was removed.
  std::uint64_t Links = 0;
};

class TFileSystem {
 public:
  virtual ~TFileSystem() = default;

  // open(2) with O_CLOEXEC added; returns a descriptor or -1.
  virtual int Open(const std::string& path, int flags, mode_t mode) = 0;
  virtual int Close(int fd) = 0;
  // pread/pwrite with 64-bit offsets; a single call (callers loop over partial transfers).
  virtual ssize_t PRead(int fd, void* buffer, std::size_t count, std::int64_t offset) = 0;
  virtual ssize_t PWrite(int fd, const void* buffer, std::size_t count, std::int64_t offset) = 0;
  virtual int Truncate(int fd, std::int64_t size) = 0;
  // Forces the file's data to the disk (fdatasync).
  virtual int Sync(int fd) = 0;
  // Current size of an open file (fstat).
  virtual int Size(int fd, std::int64_t* size) = 0;
  // Byte-range lock on the descriptor's open file description (F_OFD_SETLK, never waits):
  // exclusive (write lock) or shared (read lock). Unlock releases exactly that range.
  virtual int LockRange(int fd, bool exclusive, std::int64_t offset, std::int64_t length) = 0;
  virtual int UnlockRange(int fd, std::int64_t offset, std::int64_t length) = 0;
  // Whole-file open-mode lock (flock with LOCK_NB): exclusive or shared. Independent of the
  // range locks above, so it never interferes with them.
  virtual int LockOpenMode(int fd, bool exclusive) = 0;
  // Status of a path; a missing path is Exists = false with result 0. Other failures -1.
  virtual int Stat(const std::string& path, TFileStatus* status) = 0;
  // Status of the file an open descriptor refers to (fstat); -1 on failure.
  virtual int StatDescriptor(int fd, TFileStatus* status);
  virtual int Unlink(const std::string& path) = 0;
  virtual int Rename(const std::string& from, const std::string& to) = 0;
  // Names of the entries of a directory (without "." and "..").
  virtual int ListDirectory(const std::string& directory, std::vector<std::string>* names) = 0;
};

// The real Linux implementation (a process-wide object that is never destroyed).
TFileSystem& RealFileSystem();
// The file system new physical file objects use; RealFileSystem() unless a test installed another.
TFileSystem& CurrentFileSystem();
// Installs fs (nullptr restores the real one) and returns the previous one.
TFileSystem* InstallFileSystem(TFileSystem* fs);

}  // namespace zorvic::engine
