// TZQSock: socket options, listening, accepting and connecting.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "net/SockWait.h"
#include "net/ZQSock.h"

namespace zorvic {

namespace {

timeval ToTimeval(int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return tv;
}

bool SetBlocking(int fd, bool blocking) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

// The largest backlog listen() accepts here: net.core.somaxconn, else SOMAXCONN. Larger values
// are cut to it by the kernel anyway; reading it keeps the value honest in messages.
int SystemMaxBacklog() {
  int value = SOMAXCONN;
  if (FILE* f = std::fopen("/proc/sys/net/core/somaxconn", "r")) {
    int read = 0;
    if (std::fscanf(f, "%d", &read) == 1 && read > 0) value = read;
    std::fclose(f);
  }
  return value;
}

}  // namespace

void TZQSock::ApplySocketOptions() {
  int fd = Handle();
  if (fd == -1) return;
  int on = 1;
  FIsKeepAliveMode = ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
  int size = net::kSocketBufferBytes;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  int sendSize = net::kSocketSendBufferBytes;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendSize, sizeof sendSize);
  timeval receive = ToTimeval(FReceiveTimeoutMs);
  timeval send = ToTimeval(FSendTimeoutMs);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receive, sizeof receive);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
}

void TZQSock::SetTimeouts(int sendMs, int receiveMs) {
  FSendTimeoutMs = sendMs < 0 ? 0 : sendMs;
  FReceiveTimeoutMs = receiveMs < 0 ? 0 : receiveMs;
  int fd = Handle();
  if (fd == -1) return;
  timeval receive = ToTimeval(FReceiveTimeoutMs);
  timeval send = ToTimeval(FSendTimeoutMs);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receive, sizeof receive);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
}

bool TZQSock::Listen(int port, int backlog, bool blocking) {
  FLastCommandStatus = 0;
  if (ValidSocket()) {
    FLastCommandStatus = 10056;  // already open
    return false;
  }
  if (port < 0 || port > 65535) {
    FLastCommandStatus = kSockErrInvalidArgument;
    return false;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    RecordErrno(errno);
    return false;
  }
  FHandle.store(fd, std::memory_order_release);

  auto fail = [this](int status) {
    CloseNormal();
    FLastCommandStatus = status;
    return false;
  };

  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (FBindTo.size() > 6) {
    if (::inet_pton(AF_INET, FBindTo.c_str(), &address.sin_addr) != 1) {
      return fail(kSockErrAddrNotAvail);
    }
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return fail(SocketErrorFromErrno(errno));
  }
  if (backlog < 0) backlog = SystemMaxBacklog();
  if (::listen(fd, backlog) != 0) return fail(SocketErrorFromErrno(errno));
  if (!SetBlocking(fd, blocking)) return fail(SocketErrorFromErrno(errno));
  ApplySocketOptions();
  return true;
}

bool TZQSock::Accept(TZQSock& target, int waitMs) {
  if (!ValidSocket()) {
    FLastCommandStatus = 10038;
    return false;
  }
  target.CloseNormal();
  int events = net::PollOne(Handle(), POLLIN, waitMs);
  if (events < 0) {
    RecordErrno(errno);
    return false;
  }
  if (events == 0) return false;

  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  int fd = ::accept4(Handle(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  if (fd < 0) {
    // A peer that gave up between poll and accept, or a non-blocking listener with nothing
    // pending, is not an error worth recording.
    int err = errno;
    if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR && err != ECONNABORTED) {
      RecordErrno(err);
    }
    return false;
  }
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  target.FPeerIPAddress = text;
  target.FPeerPort = ntohs(peer.sin_port);
  target.FLastCommandStatus = 0;
  target.FLastReadTimeout = false;
  target.FPendingLF = false;
  target.FHandle.store(fd, std::memory_order_release);
  // Not every option carries over from the listening socket on this system, so each accepted
  // socket gets them again.
  target.ApplySocketOptions();
  return true;
}

bool TZQSock::Connect(std::string_view host, int port, int timeoutMs) {
  FLastCommandStatus = 0;
  CloseNormal();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string hostText(host);
  std::string portText = std::to_string(port);
  if (::getaddrinfo(hostText.c_str(), portText.c_str(), &hints, &found) != 0 || !found) {
    FLastCommandStatus = kSockErrHostNotFound;
    return false;
  }
  sockaddr_in address{};
  std::memcpy(&address, found->ai_addr, sizeof address);
  ::freeaddrinfo(found);

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    RecordErrno(errno);
    return false;
  }
  FHandle.store(fd, std::memory_order_release);
  int result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (result != 0 && errno != EINPROGRESS) {
    int status = SocketErrorFromErrno(errno);
    CloseAbort();
    FLastCommandStatus = status;
    return false;
  }
  if (result != 0) {
    int events = net::PollOne(fd, POLLOUT, timeoutMs);
    int err = 0;
    socklen_t length = sizeof err;
    if (events <= 0) {
      err = events == 0 ? ETIMEDOUT : errno;
    } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) {
      err = errno;
    }
    if (err != 0) {
      int status = SocketErrorFromErrno(err);
      CloseAbort();
      FLastCommandStatus = status;
      return false;
    }
  }
  SetBlocking(fd, true);
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  FPeerIPAddress = text;
  FPeerPort = port;
  FLastReadTimeout = false;
  FPendingLF = false;
  ApplySocketOptions();
  return true;
}

int TZQSock::LocalPort() const {
  int fd = Handle();
  if (fd == -1) return 0;
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

}  // namespace zorvic
