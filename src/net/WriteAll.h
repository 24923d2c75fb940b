// Writing a whole buffer to a file descriptor, for the code that streams received bytes into
// files (the server's uploads and zorvic-cli's downloads).
//
// Thread safety: uses only its arguments.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace zorvic {

// Writes all `count` bytes, retrying short writes and interrupted calls. False on a write
// error (errno tells which); the descriptor may then hold part of the bytes.
inline bool WriteAll(int fd, const void* bytes, std::size_t count) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t written = ::write(fd, next, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    next += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace zorvic
