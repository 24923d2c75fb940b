#include "protocol/Payload.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "app/ThreadINIFile.h"
#include "net/WriteAll.h"
#include "net/ZQSock.h"

namespace zorvic {

namespace {

// Bytes taken per receive: big enough to keep the socket busy, small enough that a client
// announcing a huge size costs only this much before its bytes really come.
constexpr std::size_t kPayloadChunkBytes = 64 * 1024;

std::int64_t OptionBytes(TThreadINIFile& serverOptions, std::string_view key,
                         std::int32_t defaultKilobytes) {
  std::int32_t kilobytes =
      ReadIniInteger(serverOptions, kServerOptionsSection, key, defaultKilobytes);
  if (kilobytes < 1) kilobytes = defaultKilobytes;
  return KilobytesToBytes64(kilobytes);
}

}  // namespace

std::int64_t KilobytesToBytes64(std::int64_t kilobytes) {
  return kilobytes < 0 ? 0 : kilobytes * 1024;
}

std::int64_t MaxUploadBytes(TThreadINIFile& serverOptions) {
  return OptionBytes(serverOptions, "MaxUploadSize", kDefaultMaxUploadKilobytes);
}

std::int64_t MaxPacketBytes(TThreadINIFile& serverOptions) {
  return OptionBytes(serverOptions, "MaxPacketSize", kDefaultMaxPacketKilobytes);
}

bool ReceivePayload(TZQSock& socket, std::int64_t size, std::string& out) {
  out.clear();
  if (size < 0) return false;
  auto remaining = static_cast<std::uint64_t>(size);
  while (remaining > 0) {
    const std::size_t chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kPayloadChunkBytes));
    const std::size_t used = out.size();
    out.resize(used + chunk);
    if (!socket.ReadExactInto(out.data() + used, chunk)) {
      out.clear();
      out.shrink_to_fit();
      return false;
    }
    remaining -= chunk;
  }
  return true;
}

bool ReceivePayloadToFile(TZQSock& socket, std::int64_t size, const std::filesystem::path& path) {
  if (size < 0) return false;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::string buffer(kPayloadChunkBytes, '\0');
  auto remaining = static_cast<std::uint64_t>(size);
  bool ok = true;
  while (ok && remaining > 0) {
    const std::size_t chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kPayloadChunkBytes));
    ok = socket.ReadExactInto(buffer.data(), chunk) && WriteAll(fd, buffer.data(), chunk);
    remaining -= chunk;
  }
  ok = (::close(fd) == 0) && ok;
  if (!ok) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
  return ok;
}

bool DiscardPayload(TZQSock& socket, std::int64_t size) {
  if (size < 0) return false;
  std::string buffer(static_cast<std::size_t>(std::min<std::int64_t>(size, kPayloadChunkBytes)),
                     '\0');
  auto remaining = static_cast<std::uint64_t>(size);
  while (remaining > 0) {
    const std::size_t chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kPayloadChunkBytes));
    if (!socket.ReadExactInto(buffer.data(), chunk)) return false;
    remaining -= chunk;
  }
  return true;
}

}  // namespace zorvic
