#include "admin/FileTransfer.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "app/Folders.h"
#include "app/ThreadINIFile.h"
#include "net/WriteAll.h"
#include "net/ZQSock.h"
#include "protocol/Payload.h"

namespace zorvic {

namespace {

// Bytes moved per disk read or write of a transfer: large enough for few system calls, small
// enough that a huge announced size costs only this much memory.
constexpr std::size_t kTransferChunkBytes = 64 * 1024;
// How much of a refused client text a log line repeats.
constexpr std::size_t kShownClientChars = 64;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i];
    char b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b + 32);
    if (a != b) return false;
  }
  return true;
}

std::string SystemMessage(std::string_view what, std::string_view path, int err) {
  return std::string(what) + " " + std::string(path) + ": " + std::strerror(err);
}

// Flushes a folder's entries, so a rename inside it survives a crash.
void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool IsSafeTransferFileName(std::string_view name) {
  return IsSafeFolderName(name) && !StartsWithNoCase(name, kUploadTempPrefix);
}

bool IsSafeSettingsFileName(std::string_view name) {
  return IsSafeTransferFileName(name) && !StartsWithNoCase(name, "Messages.");
}

std::string ShownClientText(std::string_view text) {
  std::string shown = "'";
  for (char c : text.substr(0, kShownClientChars)) {
    const auto code = static_cast<unsigned char>(c);
    shown += (code < 32 || code == 127) ? '?' : c;
  }
  if (text.size() > kShownClientChars) shown += "...";
  return shown + "'";
}

std::string QuotedLogMessage(std::string_view message) {
  std::string quoted = "'";
  for (char c : message) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

TAnnouncedSize ReadAnnouncedSize(TZQSock& socket, std::int64_t ceiling, std::int32_t& size) {
  size = socket.ReadInt32();
  // ReadInt32 gives -1 both for a sent -1 and for bytes that never came; the socket's state
  // tells them apart.
  if (size == -1 && socket.LastReadTimeout()) return TAnnouncedSize::Lost;
  if (size < 0) return TAnnouncedSize::Negative;
  if (size > ceiling) return TAnnouncedSize::TooLarge;
  return TAnnouncedSize::Accepted;
}

TUploadResult ReceiveFileReplacing(TZQSock& socket, std::int64_t size, const std::string& folder,
                                   std::string_view name, std::string& error,
                                   TThreadINIFile* renameLock) {
  const std::string target = folder + std::string(name);
  std::string temp = folder + std::string(kUploadTempPrefix) + "XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    error = SystemMessage("Unable to create a file in", folder, errno);
    // The bytes still come: take them, so they are never read as commands.
    return DiscardPayload(socket, size) ? TUploadResult::WriteFailed
                                        : TUploadResult::TransferFailed;
  }
  std::string buffer(static_cast<std::size_t>(std::min<std::int64_t>(
                         std::max<std::int64_t>(size, 0), kTransferChunkBytes)),
                     '\0');
  auto remaining = static_cast<std::uint64_t>(std::max<std::int64_t>(size, 0));
  bool written = true;
  int writeErrno = 0;
  while (remaining > 0) {
    const auto chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kTransferChunkBytes));
    if (!socket.ReadExactInto(buffer.data(), chunk)) {
      ::close(fd);
      ::unlink(temp.c_str());
      error = "The connection ended before the whole file of " + std::to_string(size) +
              " bytes had come";
      return TUploadResult::TransferFailed;
    }
    remaining -= chunk;
    // After a failed write the rest is still read, and dropped.
    if (written && !WriteAll(fd, buffer.data(), chunk)) {
      written = false;
      writeErrno = errno;
    }
  }
  if (written && ::fsync(fd) != 0) {
    written = false;
    writeErrno = errno;
  }
  if (::close(fd) != 0 && written) {
    written = false;
    writeErrno = errno;
  }
  if (written) {
    if (renameLock != nullptr) renameLock->LockIni();
    if (::rename(temp.c_str(), target.c_str()) != 0) {
      written = false;
      writeErrno = errno;
    }
    if (renameLock != nullptr) renameLock->UnlockIni();
  }
  if (!written) {
    ::unlink(temp.c_str());
    error = SystemMessage("Unable to write", target, writeErrno);
    return TUploadResult::WriteFailed;
  }
  SyncFolder(folder);
  return TUploadResult::Stored;
}

cFileForSending::~cFileForSending() {
  if (fFd >= 0) ::close(fFd);
}

cFileForSending::cFileForSending(cFileForSending&& other) noexcept
    : fFd(other.fFd), fSize(other.fSize) {
  other.fFd = -1;
}

cFileForSending& cFileForSending::operator=(cFileForSending&& other) noexcept {
  if (this != &other) {
    if (fFd >= 0) ::close(fFd);
    fFd = other.fFd;
    fSize = other.fSize;
    other.fFd = -1;
  }
  return *this;
}

std::optional<cFileForSending> cFileForSending::Open(const std::string& path, std::string& error) {
  error.clear();
  // O_NONBLOCK: a FIFO put in the folder must not hold the session in open().
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno != ENOENT) error = SystemMessage("Unable to open", path, errno);
    return std::nullopt;
  }
  cFileForSending file;
  file.fFd = fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = SystemMessage("Unable to read", path, errno);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "Not a regular file: " + path;
    return std::nullopt;
  }
  if (st.st_size > std::numeric_limits<std::int32_t>::max()) {
    error = "The file is too large to send: " + path;
    return std::nullopt;
  }
  file.fSize = static_cast<std::int32_t>(st.st_size);
  return file;
}

bool cFileForSending::SendSizeAndBytes(TZQSock& socket, std::string& error) {
  if (socket.WriteInt32(fSize) != 4) {
    error = "The connection ended while the file was sent";
    return false;
  }
  std::string buffer(std::min<std::size_t>(static_cast<std::size_t>(fSize), kTransferChunkBytes),
                     '\0');
  std::int64_t offset = 0;
  while (offset < fSize) {
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(fSize - offset, static_cast<std::int64_t>(buffer.size())));
    const ssize_t got = ::pread(fFd, buffer.data(), want, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      // The file shrank or cannot be read: the announced size can no longer be kept.
      error = got < 0 ? std::string("Unable to read the file: ") + std::strerror(errno)
                      : std::string("The file became shorter while it was sent");
      return false;
    }
    for (std::size_t done = 0; done < static_cast<std::size_t>(got); done += kFilePieceBytes) {
      const int piece = static_cast<int>(
          std::min<std::size_t>(kFilePieceBytes, static_cast<std::size_t>(got) - done));
      if (socket.WriteBuffer(buffer.data() + done, piece) != piece) {
        error = "The connection ended while the file was sent";
        return false;
      }
    }
    offset += got;
  }
  return true;
}

}  // namespace zorvic
