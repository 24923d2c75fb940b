// The real Linux file system behind the engine's OS seam.
#include "engine/storage/files/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace zorvic::engine {
namespace {

// What a stat of a file or of an open descriptor tells the engine.
void FillStatus(const struct stat& st, TFileStatus* status) {
  status->Exists = true;
  status->IsDirectory = S_ISDIR(st.st_mode);
  status->ReadOnly = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  status->Size = static_cast<std::int64_t>(st.st_size);
  status->Device = static_cast<std::uint64_t>(st.st_dev);
  status->Inode = static_cast<std::uint64_t>(st.st_ino);
  status->Links = static_cast<std::uint64_t>(st.st_nlink);
}

int OpenRetrying(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

class TRealFileSystem final : public TFileSystem {
 public:
  int Open(const std::string& path, int flags, mode_t mode) override {
    // Reads leave the access time alone: updating it after every write (the file's change
    // time having moved) costs an inode write per statement, and nothing reads it. Only the
    // file's owner may ask so; anyone else opens the file as it is.
    int fd = OpenRetrying(path, flags | O_CLOEXEC | O_NOATIME, mode);
    if (fd < 0 && errno == EPERM) fd = OpenRetrying(path, flags | O_CLOEXEC, mode);
    return fd;
  }

  int Close(int fd) override { return ::close(fd); }

  ssize_t PRead(int fd, void* buffer, std::size_t count, std::int64_t offset) override {
    ssize_t n;
    do {
      n = ::pread(fd, buffer, count, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return n;
  }

  ssize_t PWrite(int fd, const void* buffer, std::size_t count, std::int64_t offset) override {
    ssize_t n;
    do {
      n = ::pwrite(fd, buffer, count, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return n;
  }

  int Truncate(int fd, std::int64_t size) override {
    int rc;
    do {
      rc = ::ftruncate(fd, static_cast<off_t>(size));
    } while (rc < 0 && errno == EINTR);
    return rc;
  }

  int Sync(int fd) override {
    int rc;
    do {
      rc = ::fdatasync(fd);
    } while (rc < 0 && errno == EINTR);
    return rc;
  }

  int Size(int fd, std::int64_t* size) override {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    *size = static_cast<std::int64_t>(st.st_size);
    return 0;
  }

  int LockRange(int fd, bool exclusive, std::int64_t offset, std::int64_t length) override {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(length);
    return ::fcntl(fd, F_OFD_SETLK, &fl);
  }

  int UnlockRange(int fd, std::int64_t offset, std::int64_t length) override {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(length);
    return ::fcntl(fd, F_OFD_SETLK, &fl);
  }

  int LockOpenMode(int fd, bool exclusive) override {
    int rc;
    do {
      rc = ::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (rc < 0 && errno == EINTR);
    return rc;
  }

  int Stat(const std::string& path, TFileStatus* status) override {
    *status = TFileStatus{};
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return 0;
      return -1;
    }
    FillStatus(st, status);
    return 0;
  }

  int Unlink(const std::string& path) override { return ::unlink(path.c_str()); }

  int Rename(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str());
  }

  int ListDirectory(const std::string& directory, std::vector<std::string>* names) override {
    names->clear();
    DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
    if (!dir) return -1;
    while (struct dirent* entry = ::readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      names->emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return 0;
  }
};

std::atomic<TFileSystem*> GInstalled{nullptr};

}  // namespace

int TFileSystem::StatDescriptor(int fd, TFileStatus* status) {
  *status = TFileStatus{};
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  FillStatus(st, status);
  return 0;
}

TFileSystem& RealFileSystem() {
  static TRealFileSystem* real = new TRealFileSystem();  // never destroyed: used until exit
  return *real;
}

TFileSystem& CurrentFileSystem() {
  TFileSystem* fs = GInstalled.load(std::memory_order_acquire);
  return fs ? *fs : RealFileSystem();
}

TFileSystem* InstallFileSystem(TFileSystem* fs) {
  TFileSystem* previous = GInstalled.exchange(fs, std::memory_order_acq_rel);
  return previous ? previous : &RealFileSystem();
}

}  // namespace zorvic::engine
