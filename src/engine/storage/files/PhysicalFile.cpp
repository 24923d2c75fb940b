// TPhysicalFile: one descriptor per file per process, shared by every handle.
//
// Opening follows the read-only attribute (no write permission bit: open read-only from the start),
// falls back to a read-only open when read-write access is refused, and takes the whole-file
// open-mode lock (flock, exclusive or shared, never waiting) so that other processes see exclusive
// opens. Range locks go to the descriptor's open file description (F_OFD_SETLK), a read lock when
// the file is open read-only.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "engine/EngineLimits.h"
#include "engine/storage/files/FileLayer.h"

namespace zorvic::engine {
namespace {

// Largest single transfer handed to the system at once.
constexpr std::int64_t MaxTransferChunk = 1LL << 30;

// 0 when no process holds the file open through the file layer (a probe with the exclusive
// open-mode lock, which every open takes in some mode); -VELDOR_OSEACCES when one does.
std::int32_t ProbeUnused(TFileSystem& fs, const std::string& path) {
  int fd = fs.Open(path, O_RDONLY, 0);
  if (fd < 0) return MapOSError(errno);
  int rc = fs.LockOpenMode(fd, true);
  fs.Close(fd);
  return rc == 0 ? 0 : -VELDOR_OSEACCES;
}

}  // namespace

TPhysicalFile::TPhysicalFile(std::string name, TFileSystem& fs)
    : TAbstractFile(std::move(name), false), FFS(fs) {}

TPhysicalFile::~TPhysicalFile() {
  CloseDescriptor();
}

void TPhysicalFile::CloseDescriptor() {
  if (FFd < 0) return;
  if (FTemporary) FFS.Unlink(FPath);
  FFS.Close(FFd);  // also drops the descriptor's open-mode and range locks
  FFd = -1;
  ReleaseAllLocks();
}

std::int64_t TPhysicalFile::GetSize() {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  if (FFd < 0) return -VELDOR_OSEBADF;
  std::int64_t size = 0;
  if (FFS.Size(FFd, &size) != 0) return MapOSError(errno);
  return size;
}

std::int32_t TPhysicalFile::OpenHandle() {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  if (FFd >= 0) return AddHandle();
  if (FName.empty() || static_cast<std::int64_t>(FName.size()) > MaxFileNameLength) {
    return -VELDOR_OSENOENT;
  }
  FPath = ResolveTableFileName(FName, FFS);
  TFileStatus status;
  if (FFS.Stat(FPath, &status) != 0) return MapOSError(errno);
  if (!status.Exists || status.IsDirectory) return -VELDOR_OSENOENT;

  FReadOnlyAttribute = status.ReadOnly;
  FOpenedReadOnly = status.ReadOnly;
  int fd = -1;
  if (!FOpenedReadOnly) {
    fd = FFS.Open(FPath, O_RDWR, 0);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS))
      FOpenedReadOnly = true;
    else if (fd < 0)
      return MapOSError(errno);
  }
  if (fd < 0) {
    fd = FFS.Open(FPath, O_RDONLY, 0);
    if (fd < 0) return MapOSError(errno);
  }
  if (FFS.LockOpenMode(fd, FExclusive) != 0) {
    FFS.Close(fd);
    return -VELDOR_OSEACCES;
  }
  FFd = fd;
  return AddHandle();
}

std::int32_t TPhysicalFile::CreateHandle() {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  if (FFd >= 0) return -VELDOR_OSEACCES;
  if (FName.empty() || static_cast<std::int64_t>(FName.size()) > MaxFileNameLength) {
    return -VELDOR_OSENOENT;
  }
  FPath = ResolveTableFileName(FName, FFS);
  TFileStatus status;
  if (FFS.Stat(FPath, &status) != 0) return MapOSError(errno);
  if (status.Exists && (status.IsDirectory || status.ReadOnly)) return -VELDOR_OSEACCES;
  // Take the exclusive open-mode lock before emptying: another process may have the file open.
  int fd = FFS.Open(FPath, O_RDWR | O_CREAT, 0666);
  if (fd < 0) return MapOSError(errno);
  if (FFS.LockOpenMode(fd, true) != 0) {
    FFS.Close(fd);
    return -VELDOR_OSEACCES;
  }
  if (FFS.Truncate(fd, 0) != 0) {
    std::int32_t rc = MapOSError(errno);
    FFS.Close(fd);
    return rc;
  }
  FFd = fd;
  FOpenedReadOnly = false;
  FReadOnlyAttribute = false;
  return AddHandle();
}

std::int32_t TPhysicalFile::CreateExclusiveHandle(bool* collided) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  *collided = false;
  if (FFd >= 0) return -VELDOR_OSEACCES;
  FPath = NormalizeFileName(FName);
  int fd = FFS.Open(FPath, O_RDWR | O_CREAT | O_EXCL, 0666);
  if (fd < 0) {
    *collided = errno == EEXIST;
    return MapOSError(errno);
  }
  if (FFS.LockOpenMode(fd, true) != 0) {
    FFS.Close(fd);
    return -VELDOR_OSEACCES;
  }
  FFd = fd;
  FOpenedReadOnly = false;
  FReadOnlyAttribute = false;
  return AddHandle();
}

std::int32_t TPhysicalFile::CloseHandle(std::int32_t handle) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  std::int32_t rc = TAbstractFile::CloseHandle(handle);
  if (rc == 0 && FHandles.empty()) CloseDescriptor();
  return rc;
}

std::int32_t TPhysicalFile::Rename(const std::string& newName) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  if (FFd >= 0) return -VELDOR_OSEACCES;
  std::string from = ResolveTableFileName(FName, FFS);
  std::string to = NormalizeFileName(newName);
  TFileStatus status;
  if (FFS.Stat(from, &status) != 0) return MapOSError(errno);
  if (!status.Exists) return -VELDOR_OSENOENT;
  // Never replace another file: only a change of case of the same name may land on an existing one.
  std::string target = ResolveTableFileName(to, FFS);
  TFileStatus targetStatus;
  if (FFS.Stat(target, &targetStatus) != 0) return MapOSError(errno);
  if (targetStatus.Exists && FileNameKey(target) != FileNameKey(from)) return -VELDOR_OSEACCES;
  if (std::int32_t rc = ProbeUnused(FFS, from); rc < 0) return rc;  // open in another process
  if (FFS.Rename(from, to) != 0) return MapOSError(errno);
  FName = newName;
  FPath = to;
  return 0;
}

std::int32_t TPhysicalFile::Delete() {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  if (FFd >= 0) return -VELDOR_OSEACCES;
  std::string path = ResolveTableFileName(FName, FFS);
  TFileStatus status;
  if (FFS.Stat(path, &status) != 0) return MapOSError(errno);
  if (!status.Exists || status.IsDirectory) return -VELDOR_OSENOENT;
  if (std::int32_t rc = ProbeUnused(FFS, path); rc < 0) return rc;  // open in another process
  if (FFS.Unlink(path) != 0) return MapOSError(errno);
  return 0;
}

bool TPhysicalFile::Flush() {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  return FFd >= 0 && FFS.Sync(FFd) == 0;
}

std::int64_t TPhysicalFile::ReadRaw(std::int64_t offset, void* buffer, std::int64_t count) {
  if (FFd < 0) return -VELDOR_OSEBADF;
  auto* p = static_cast<char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    std::int64_t chunk = std::min(count - done, MaxTransferChunk);
    ssize_t n = FFS.PRead(FFd, p + done, static_cast<std::size_t>(chunk), offset + done);
    if (n < 0) return done > 0 ? done : MapOSError(errno);
    if (n == 0) break;  // end of file
    done += n;
  }
  return done;
}

std::int64_t TPhysicalFile::WriteRaw(std::int64_t offset, const void* buffer, std::int64_t count) {
  if (FFd < 0) return -VELDOR_OSEBADF;
  if (FOpenedReadOnly) return -VELDOR_OSEACCES;
  const auto* p = static_cast<const char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    std::int64_t chunk = std::min(count - done, MaxTransferChunk);
    ssize_t n = FFS.PWrite(FFd, p + done, static_cast<std::size_t>(chunk), offset + done);
    if (n < 0) return done > 0 ? done : MapOSError(errno);
    if (n == 0) break;  // the disk is full
    done += n;
  }
  return done;
}

std::int32_t TPhysicalFile::TruncateRaw(std::int64_t size) {
  if (FFd < 0) return -VELDOR_OSEBADF;
  if (FOpenedReadOnly) return -VELDOR_OSEACCES;
  if (FFS.Truncate(FFd, size) != 0) return MapOSError(errno);
  return 0;
}

bool TPhysicalFile::LockSystemRange(std::int64_t offset, std::int64_t length) {
  if (FFd < 0) return false;
  return FFS.LockRange(FFd, !FOpenedReadOnly, offset, length) == 0;
}

void TPhysicalFile::UnlockSystemRange(std::int64_t offset, std::int64_t length) {
  if (FFd >= 0) FFS.UnlockRange(FFd, offset, length);
}

bool TPhysicalFile::StatOpenFile(TFileStatus* status) {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  return FFd >= 0 && FFS.StatDescriptor(FFd, status) == 0;
}

}  // namespace zorvic::engine
