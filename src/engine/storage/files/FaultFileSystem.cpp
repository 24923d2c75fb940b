// TFaultFileSystem: fault injection and crash simulation over a base file system.
#include "engine/storage/files/FaultFileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace zorvic::engine {

bool TFaultFileSystem::TFault::Hit() {
  if (Tripped) return Sticky;
  if (Countdown <= 0) return false;
  if (--Countdown > 0) return false;
  Tripped = true;
  return true;
}

TFaultFileSystem::TFaultFileSystem(TFileSystem& base) : FBase(base) {}

TFaultFileSystem::~TFaultFileSystem() = default;

void TFaultFileSystem::FailWrite(std::int64_t n, int error, bool sticky) {
  std::lock_guard<std::mutex> guard(FMutex);
  FWriteFault = TFault{n, error, sticky, false};
}

void TFaultFileSystem::FailRead(std::int64_t n, int error, bool sticky) {
  std::lock_guard<std::mutex> guard(FMutex);
  FReadFault = TFault{n, error, sticky, false};
}

void TFaultFileSystem::FailSync(std::int64_t n, int error, bool sticky) {
  std::lock_guard<std::mutex> guard(FMutex);
  FSyncFault = TFault{n, error, sticky, false};
}

void TFaultFileSystem::SetFreeSpace(std::int64_t freeBytes) {
  std::lock_guard<std::mutex> guard(FMutex);
  FFreeSpace = freeBytes;
}

void TFaultFileSystem::ClearFaults() {
  std::lock_guard<std::mutex> guard(FMutex);
  FWriteFault = FReadFault = FSyncFault = TFault{};
  FFreeSpace = -1;
  FCrashCountdown = -1;
  FCrashed = false;
}

void TFaultFileSystem::ForgetUnsynced() {
  std::lock_guard<std::mutex> guard(FMutex);
  for (auto& [id, log] : FLogs) {
    log.Undo.clear();
    log.Changed = false;
  }
}

void TFaultFileSystem::CrashAfter(std::int64_t n) {
  std::lock_guard<std::mutex> guard(FMutex);
  FCrashCountdown = n < 0 ? 0 : n;
  FCrashed = false;
}

bool TFaultFileSystem::Crashed() const {
  std::lock_guard<std::mutex> guard(FMutex);
  return FCrashed;
}

std::int64_t TFaultFileSystem::Changes() const {
  std::lock_guard<std::mutex> guard(FMutex);
  return FChanges;
}

bool TFaultFileSystem::AllowAccess() {
  if (!FCrashed) return true;
  errno = EIO;
  return false;
}

bool TFaultFileSystem::AllowChange() {
  if (!AllowAccess()) return false;
  if (FCrashCountdown == 0) {
    FCrashed = true;
    errno = EIO;
    return false;
  }
  if (FCrashCountdown > 0) --FCrashCountdown;
  ++FChanges;
  return true;
}

std::int64_t TFaultFileSystem::Writes() const {
  std::lock_guard<std::mutex> guard(FMutex);
  return FWrites;
}

std::int64_t TFaultFileSystem::Reads() const {
  std::lock_guard<std::mutex> guard(FMutex);
  return FReads;
}

std::int64_t TFaultFileSystem::Syncs() const {
  std::lock_guard<std::mutex> guard(FMutex);
  return FSyncs;
}

std::int64_t TFaultFileSystem::SyncsOf(const std::string& path) const {
  std::lock_guard<std::mutex> guard(FMutex);
  std::int64_t n = 0;
  for (const auto& [id, log] : FLogs) {
    if (log.Path == path) n += log.Syncs;
  }
  return n;
}

std::int64_t TFaultFileSystem::UnsyncedBytes() const {
  std::lock_guard<std::mutex> guard(FMutex);
  std::int64_t n = 0;
  for (const auto& [id, log] : FLogs) {
    for (const TUndo& undo : log.Undo)
      n += static_cast<std::int64_t>(undo.Bytes.size());
  }
  return n;
}

bool TFaultFileSystem::IdOf(int fd, TFileId* id) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  *id = TFileId{st.st_dev, st.st_ino};
  return true;
}

TFaultFileSystem::TFileLog& TFaultFileSystem::LogOf(int fd) {
  TFileId id{};
  IdOf(fd, &id);
  TFileLog& log = FLogs[id];
  auto path = FPaths.find(fd);
  if (path != FPaths.end()) log.Path = path->second;
  return log;
}

void TFaultFileSystem::Remember(int fd, std::int64_t offset, std::int64_t count) {
  TFileLog& log = LogOf(fd);
  std::int64_t size = 0;
  FBase.Size(fd, &size);
  if (!log.Changed) {
    log.Changed = true;
    log.SyncedSize = size;
  }
  std::int64_t end = std::min(offset + count, size);
  if (end <= offset) return;
  TUndo undo{offset, std::vector<char>(static_cast<std::size_t>(end - offset))};
  std::int64_t done = 0;
  while (done < end - offset) {
    ssize_t n = FBase.PRead(fd, undo.Bytes.data() + done,
                            static_cast<std::size_t>(end - offset - done), offset + done);
    if (n <= 0) break;
    done += n;
  }
  undo.Bytes.resize(static_cast<std::size_t>(done));
  log.Undo.push_back(std::move(undo));
}

void TFaultFileSystem::SimulateCrash() {
  std::lock_guard<std::mutex> guard(FMutex);
  for (auto& [id, log] : FLogs) {
    if (!log.Changed) continue;
    int fd = FBase.Open(log.Path, O_RDWR, 0);
    if (fd >= 0) {
      for (auto it = log.Undo.rbegin(); it != log.Undo.rend(); ++it) {
        FBase.PWrite(fd, it->Bytes.data(), it->Bytes.size(), it->Offset);
      }
      FBase.Truncate(fd, log.SyncedSize);
      FBase.Close(fd);
    }
    log.Undo.clear();
    log.Changed = false;
  }
}

int TFaultFileSystem::Open(const std::string& path, int flags, mode_t mode) {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    if (!AllowAccess()) return -1;
  }
  int fd = FBase.Open(path, flags, mode);
  if (fd >= 0) {
    std::lock_guard<std::mutex> guard(FMutex);
    FPaths[fd] = path;
    LogOf(fd);
  }
  return fd;
}

int TFaultFileSystem::Close(int fd) {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    FPaths.erase(fd);
  }
  return FBase.Close(fd);
}

ssize_t TFaultFileSystem::PRead(int fd, void* buffer, std::size_t count, std::int64_t offset) {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    ++FReads;
    if (!AllowAccess()) return -1;
    if (FReadFault.Hit()) {
      errno = FReadFault.Error;
      return -1;
    }
  }
  return FBase.PRead(fd, buffer, count, offset);
}

ssize_t TFaultFileSystem::PWrite(int fd, const void* buffer, std::size_t count,
                                 std::int64_t offset) {
  std::lock_guard<std::mutex> guard(FMutex);
  ++FWrites;
  if (!AllowChange()) return -1;
  if (FWriteFault.Hit()) {
    errno = FWriteFault.Error;
    return -1;
  }
  std::int64_t size = 0;
  if (FBase.Size(fd, &size) != 0) return -1;
  std::int64_t allowed = static_cast<std::int64_t>(count);
  if (FFreeSpace >= 0) {
    allowed = std::clamp<std::int64_t>(size + FFreeSpace - offset, 0, allowed);
    if (allowed == 0 && count > 0) {
      errno = ENOSPC;
      return -1;
    }
  }
  Remember(fd, offset, allowed);
  ssize_t n = FBase.PWrite(fd, buffer, static_cast<std::size_t>(allowed), offset);
  if (n > 0 && FFreeSpace >= 0) FFreeSpace -= std::max<std::int64_t>(0, offset + n - size);
  return n;
}

int TFaultFileSystem::Truncate(int fd, std::int64_t size) {
  std::lock_guard<std::mutex> guard(FMutex);
  if (!AllowChange()) return -1;
  std::int64_t current = 0;
  if (FBase.Size(fd, &current) != 0) return -1;
  if (size < current) {
    Remember(fd, size, current - size);
  } else {
    Remember(fd, current, 0);  // marks the file changed at its synced size
  }
  return FBase.Truncate(fd, size);
}

int TFaultFileSystem::Sync(int fd) {
  std::lock_guard<std::mutex> guard(FMutex);
  ++FSyncs;
  if (!AllowChange()) return -1;
  if (FSyncFault.Hit()) {
    errno = FSyncFault.Error;
    return -1;
  }
  int rc = FBase.Sync(fd);
  if (rc == 0) {
    TFileLog& log = LogOf(fd);
    log.Undo.clear();
    log.Changed = false;
    ++log.Syncs;
  }
  return rc;
}

int TFaultFileSystem::Size(int fd, std::int64_t* size) {
  return FBase.Size(fd, size);
}

int TFaultFileSystem::LockRange(int fd, bool exclusive, std::int64_t offset, std::int64_t length) {
  return FBase.LockRange(fd, exclusive, offset, length);
}

int TFaultFileSystem::UnlockRange(int fd, std::int64_t offset, std::int64_t length) {
  return FBase.UnlockRange(fd, offset, length);
}

int TFaultFileSystem::LockOpenMode(int fd, bool exclusive) {
  return FBase.LockOpenMode(fd, exclusive);
}

int TFaultFileSystem::Stat(const std::string& path, TFileStatus* status) {
  return FBase.Stat(path, status);
}

int TFaultFileSystem::Unlink(const std::string& path) {
  std::lock_guard<std::mutex> guard(FMutex);
  if (!AllowChange()) return -1;
  for (auto it = FLogs.begin(); it != FLogs.end();) {
    it = it->second.Path == path ? FLogs.erase(it) : std::next(it);
  }
  return FBase.Unlink(path);
}

int TFaultFileSystem::Rename(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> guard(FMutex);
  if (!AllowChange()) return -1;
  int rc = FBase.Rename(from, to);
  if (rc == 0) {
    for (auto& [id, log] : FLogs) {
      if (log.Path == from) log.Path = to;
    }
  }
  return rc;
}

int TFaultFileSystem::ListDirectory(const std::string& directory, std::vector<std::string>* names) {
  return FBase.ListDirectory(directory, names);
}

}  // namespace zorvic::engine
