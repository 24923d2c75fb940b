// TZQSock: reading, writing, waiting and closing. Listening, accepting and connecting live in
// ZQSockListen.cpp, the error numbers and texts in ZQSockErrors.cpp.
#include "net/ZQSock.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#include "net/SockWait.h"

namespace zorvic {

namespace {

constexpr char kCR = '\r';
constexpr char kLF = '\n';

bool IsTerminator(int c) {
  return c == kCR || c == kLF;
}

}  // namespace

TZQSock::TZQSock() = default;

TZQSock::~TZQSock() {
  CloseNormal();
}

void TZQSock::RecordErrno(int err) {
  FLastCommandStatus = SocketErrorFromErrno(err, true);
}

// ------------------------------------------------------------------------------ writing

int TZQSock::WriteBuffer(const void* bytes, int count) {
  FLastCommandStatus = 0;
  if (count <= 0 || !ValidSocket()) return 0;
  const char* data = static_cast<const char*>(bytes);
  int done = 0;
  net::TDeadline stall(FSendTimeoutMs);
  while (done < count && ValidSocket()) {
    ssize_t sent = ::send(Handle(), data + done, static_cast<std::size_t>(count - done),
                          MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      done += static_cast<int>(sent);
      stall = net::TDeadline(FSendTimeoutMs);  // progress: the stall clock starts again
      continue;
    }
    if (sent == 0) {  // nothing moved and no error: the connection is unusable
      CloseNormal();
      break;
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS || err == ENOMEM) {
      if (stall.Passed()) {
        // The peer has not taken a byte for the whole send time-out. What is sent of this
        // record cannot be completed, so the connection ends here rather than carrying a
        // torn record followed by the next one.
        CloseAbort();
        FLastCommandStatus = kSockErrTimedOut;
        break;
      }
      if (err == EAGAIN || err == EWOULDBLOCK) {
        net::PollOne(Handle(), POLLOUT, stall.RemainingMs());
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // no buffer space yet
      }
      continue;
    }
    RecordErrno(err);
    int status = FLastCommandStatus;
    CloseNormal();
    FLastCommandStatus = status;
    break;
  }
  return done;
}

int TZQSock::WriteText(std::string_view text) {
  return WriteBuffer(text.data(), static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX)));
}

int TZQSock::WriteLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text);
  line.append("\r\n");
  return WriteText(line);
}

int TZQSock::WriteInt32(std::int32_t value) {
  std::uint32_t v = static_cast<std::uint32_t>(value);
  unsigned char bytes[4] = {static_cast<unsigned char>(v >> 24),
                            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 8),
                            static_cast<unsigned char>(v)};
  return WriteBuffer(bytes, 4);
}

// ------------------------------------------------------------------------------ waiting

void TZQSock::DropPendingLF() {
  if (!FPendingLF || !ValidSocket()) return;
  char c;
  ssize_t n = ::recv(Handle(), &c, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;  // not yet
  FPendingLF = false;
  if (n == 1 && c == kLF) (void)::recv(Handle(), &c, 1, MSG_DONTWAIT);
}

bool TZQSock::WaitReadable(int waitMs) {
  net::TDeadline deadline(waitMs);
  for (;;) {
    if (!ValidSocket()) return false;
    int events = net::PollOne(Handle(), POLLIN, deadline.RemainingMs());
    if (events < 0) {
      RecordErrno(errno);
      return false;
    }
    if (events == 0) {
      FLastCommandStatus = kSockErrTimedOut;
      return false;
    }
    if (FPendingLF) {
      DropPendingLF();
      // The byte that woke us may have been the dropped LF; then wait on for real data.
      if (net::PollOne(Handle(), POLLIN, 0) <= 0) {
        if (deadline.Passed()) {
          FLastCommandStatus = kSockErrTimedOut;
          return false;
        }
        continue;
      }
    }
    return true;
  }
}

int TZQSock::ReceiveSome(void* buffer, int size, int waitMs) {
  if (!ValidSocket() || size < 1) return 0;
  if (!WaitReadable(waitMs)) return ValidSocket() ? -1 : 0;
  for (;;) {
    ssize_t n = ::recv(Handle(), buffer, static_cast<std::size_t>(size), MSG_DONTWAIT);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) {  // the peer has closed its side
      CloseAbort();
      return 0;
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      FLastCommandStatus = kSockErrTimedOut;
    } else {
      RecordErrno(err);
    }
    return -1;
  }
}

bool TZQSock::Readable() {
  return ValidSocket() && net::PollOne(Handle(), POLLIN, net::kReadinessPollMs) > 0;
}

bool TZQSock::Writable() {
  return ValidSocket() && net::PollOne(Handle(), POLLOUT, net::kReadinessPollMs) > 0;
}

int TZQSock::CharactersToRead() {
  if (!ValidSocket()) return 0;
  int waiting = 0;
  if (::ioctl(Handle(), FIONREAD, &waiting) != 0) return 0;
  return waiting;
}

bool TZQSock::Connected() {
  if (!ValidSocket()) return false;
  int status = FLastCommandStatus;
  return status == 0 || status == kSockErrTimedOut || CharactersToRead() > 0;
}

bool TZQSock::PeerHasClosed() {
  if (!ValidSocket()) return false;
  if (net::PollOne(Handle(), POLLIN, 0) <= 0) return false;
  if (CharactersToRead() > 0) return false;
  CloseNormal();
  return true;
}

bool TZQSock::AwaitData(int timeoutMs) {
  net::TDeadline deadline(timeoutMs);
  for (;;) {
    if (!ValidSocket()) return false;
    if (PeerHasClosed()) return false;
    DropPendingLF();
    if (CharactersToRead() > 0) return true;
    int remaining = deadline.RemainingMs();
    if (remaining <= 0) return false;
    if (net::PollOne(Handle(), POLLIN, remaining) < 0) {
      RecordErrno(errno);
      return false;
    }
  }
}

// ------------------------------------------------------------------------------ reading

int TZQSock::ReadBuffer(void* buffer, int size) {
  FLastReadTimeout = false;
  int result = ReceiveSome(buffer, size, FReceiveTimeoutMs);
  FLastReadTimeout = result < 1;
  return result;
}

std::string TZQSock::ReadChunk(int n) {
  if (n < 0) n = net::kDefaultChunkBytes;
  if (n == 0) return {};
  std::string chunk(static_cast<std::size_t>(n), '\0');
  int got = ReadBuffer(chunk.data(), n);
  if (got <= 0) return {};
  chunk.resize(static_cast<std::size_t>(got));
  return chunk;
}

bool TZQSock::ReadExactInto(void* buffer, std::size_t n, int idleTimeoutMs) {
  FLastReadTimeout = false;
  char* out = static_cast<char*>(buffer);
  std::size_t got = 0;
  while (got < n) {
    int want = static_cast<int>(std::min<std::size_t>(n - got, INT_MAX));
    int r = ReceiveSome(out + got, want, idleTimeoutMs);
    if (r <= 0) {
      FLastReadTimeout = true;
      return false;
    }
    got += static_cast<std::size_t>(r);
  }
  return true;
}

std::optional<std::string> TZQSock::ReadExact(std::size_t n, int idleTimeoutMs) {
  FLastReadTimeout = false;
  std::string result;
  // Grow as bytes arrive: a length announced by the peer is not trusted with memory up front.
  result.reserve(std::min(n, net::kReadExactReserveBytes));
  while (result.size() < n) {
    std::size_t want = std::min<std::size_t>(n - result.size(), net::kReadExactReserveBytes);
    std::size_t old = result.size();
    result.resize(old + want);
    int r = ReceiveSome(result.data() + old, static_cast<int>(want), idleTimeoutMs);
    if (r <= 0) {
      FLastReadTimeout = true;
      return std::nullopt;
    }
    result.resize(old + static_cast<std::size_t>(r));
  }
  return result;
}

std::int32_t TZQSock::ReadInt32() {
  unsigned char bytes[4];
  if (!ReadExactInto(bytes, 4, FReceiveTimeoutMs)) return -1;
  std::uint32_t v = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                    (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
  return static_cast<std::int32_t>(v);
}

int TZQSock::PeekWaiting(char* buffer, int size) {
  if (!ValidSocket()) return 0;
  for (;;) {
    ssize_t n = ::recv(Handle(), buffer, static_cast<std::size_t>(size), MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && errno == EINTR) continue;
    return 0;  // nothing waiting, or the close/error that the next receive reports
  }
}

bool TZQSock::TakeWaiting(char* buffer, int n) {
  int got = 0;
  while (got < n && ValidSocket()) {
    ssize_t r = ::recv(Handle(), buffer + got, static_cast<std::size_t>(n - got), MSG_DONTWAIT);
    if (r > 0) {
      got += static_cast<int>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      if (r < 0) RecordErrno(errno);
      return false;
    }
  }
  return got == n;
}

std::string TZQSock::ReadLine(int timeoutMs) {
  FLastReadTimeout = false;
  if (!ValidSocket()) return {};

  std::string collected;
  int last = -1;               // last byte seen, -1 for none; a terminator found by peeking is CR
  bool lastRealCR = false;     // the terminator byte on the wire was CR
  bool lastReadAlone = false;  // the last byte came from a single-byte read, not a peek

  char first;
  if (ReadBuffer(&first, 1) == 1) {
    last = static_cast<unsigned char>(first);
    lastRealCR = first == kCR;
    lastReadAlone = true;
    if (!IsTerminator(first)) collected.push_back(first);
  }

  net::TDeadline deadline(timeoutMs);
  bool found = false;
  bool deadlinePassed = false;
  char peek[net::kLinePeekBytes];
  while (ValidSocket() && !found) {
    if (deadline.Passed()) {
      deadlinePassed = true;
      break;
    }
    if (collected.size() >= static_cast<std::size_t>(net::kMaxLineChars)) break;
    int status = FLastCommandStatus;
    if (status != 0 && status != kSockErrTimedOut && status != kSockErrWouldBlock) break;

    if (!IsTerminator(last)) {
      int waiting = PeekWaiting(peek, net::kLinePeekBytes);
      if (waiting > 0) {
        char* end = peek + waiting;
        char* term = std::find_if(peek, end, [](char c) { return IsTerminator(c); });
        if (term == end) {
          if (!TakeWaiting(peek, waiting)) continue;
          collected.append(peek, static_cast<std::size_t>(waiting));
          last = static_cast<unsigned char>(peek[waiting - 1]);
        } else {
          int take = static_cast<int>(term - peek) + 1;
          char termByte = *term;
          if (!TakeWaiting(peek, take)) continue;
          collected.append(peek, static_cast<std::size_t>(take - 1));
          last = kCR;  // a terminator found among waiting bytes counts as CR
          lastRealCR = termByte == kCR;
        }
        lastReadAlone = false;
      } else {
        char c;
        int wait = std::min(FReceiveTimeoutMs, deadline.RemainingMs());
        if (ReceiveSome(&c, 1, wait) == 1) {
          last = static_cast<unsigned char>(c);
          lastRealCR = c == kCR;
          lastReadAlone = true;
          if (!IsTerminator(c)) collected.push_back(c);
        }
      }
    }

    if (IsTerminator(last)) {
      found = true;
      // Take one more byte only when it is already waiting and pairs with the terminator.
      char next;
      if (PeekWaiting(&next, 1) == 1) {
        bool pairs = (last == kCR && next == kLF) || (last == kLF && lastReadAlone && next == kCR);
        if (pairs) TakeWaiting(&next, 1);
      } else if (lastRealCR) {
        // A CR with nothing after it yet: the LF of a CR LF may still be on its way.
        FPendingLF = true;
      }
    }
  }

  if (found) {
    FLastReadTimeout = false;
    return collected;
  }
  // Too long (2048 characters without a terminator): an empty line; the rest of the long line
  // is read as the next line. Otherwise the read failed or timed out.
  bool tooLong = collected.size() >= static_cast<std::size_t>(net::kMaxLineChars) &&
                 !deadlinePassed && ValidSocket();
  FLastReadTimeout = !tooLong;
  return {};
}

// ------------------------------------------------------------------------------ closing

void TZQSock::CloseHandle(bool abort) {
  std::lock_guard<std::mutex> guard(FCloseLock);
  int fd = FHandle.exchange(-1, std::memory_order_acq_rel);
  if (fd == -1) return;
  linger lingering{};
  lingering.l_onoff = abort ? 1 : 0;
  lingering.l_linger = 0;
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingering, sizeof lingering);
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
  FPendingLF = false;
}

void TZQSock::CloseAbort() {
  CloseHandle(true);
}

void TZQSock::CloseNormal() {
  CloseHandle(false);
}

void TZQSock::CloseGraceful(int drainMs) {
  if (!ValidSocket()) return;
  int fd = Handle();
  ::shutdown(fd, SHUT_WR);  // the peer gets everything written so far, then the end
  // Unread bytes at close would make the system answer with a reset, which can destroy the
  // last reply at the peer; so take and discard what still comes until the peer closes.
  net::TDeadline deadline(drainMs);
  char discard[512];
  while (!deadline.Passed()) {
    int events = net::PollOne(fd, POLLIN, deadline.RemainingMs());
    if (events <= 0) break;
    ssize_t n = ::recv(fd, discard, sizeof discard, MSG_DONTWAIT);
    if (n == 0) break;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
  }
  CloseHandle(false);
}

void TZQSock::Interrupt() {
  std::lock_guard<std::mutex> guard(FCloseLock);
  int fd = Handle();
  if (fd != -1) ::shutdown(fd, SHUT_RDWR);
}

}  // namespace zorvic
