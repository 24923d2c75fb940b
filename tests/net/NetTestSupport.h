// Helpers of the socket tests: a raw loopback client that writes exact segments, a connected
// pair of sockets (a TZQSock on the server side and a raw client descriptor), and bounded
// polling waits.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "net/ZQSock.h"

namespace zorvic::testing {

// Waits until pred() holds or timeoutMs pass; returns pred()'s last value.
inline bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 5000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < until) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return pred();
}

// A plain blocking loopback client. rcvBuf > 0 shrinks its receive buffer before connecting.
class RawClient {
 public:
  RawClient() = default;
  explicit RawClient(int port, int rcvBuf = 0) { Connect(port, rcvBuf); }
  ~RawClient() { Close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connect(int port, int rcvBuf = 0) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (rcvBuf > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof rcvBuf);
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  int fd() const { return fd_; }
  bool Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Reads until n bytes came, the peer closed or timeoutMs passed.
  std::string Receive(size_t n, int timeoutMs = 5000) {
    std::string out;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      until - std::chrono::steady_clock::now())
                                      .count());
      if (left <= 0) break;
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, left) <= 0) break;
      char buffer[65536];
      ssize_t r = ::recv(fd_, buffer, std::min(sizeof buffer, n - out.size()), 0);
      if (r <= 0) break;
      out.append(buffer, static_cast<size_t>(r));
    }
    return out;
  }
  // Reads one CR LF line (without it); empty on time-out or close.
  std::string ReceiveLine(int timeoutMs = 5000) {
    std::string line;
    while (true) {
      std::string c = Receive(1, timeoutMs);
      if (c.empty()) return line;
      line += c;
      if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) {
        return line.substr(0, line.size() - 2);
      }
    }
  }
  // True when the peer closed (a read returns 0 or fails) within timeoutMs.
  bool SeesClose(int timeoutMs = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, 20) <= 0) continue;
      char buffer[4096];
      ssize_t r = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
    return false;
  }
  void ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// A TZQSock listening on a free loopback port.
inline int ListenAnyPort(TZQSock& listener) {
  listener.SetBindTo("127.0.0.1");
  if (!listener.Listen(0)) return 0;
  return listener.LocalPort();
}

// A connected pair: server (TZQSock, accepted) and client (RawClient).
struct SocketPair {
  TZQSock listener;
  TZQSock server;
  RawClient client;
  bool ok = false;

  explicit SocketPair(int rcvBuf = 0) {
    int port = ListenAnyPort(listener);
    if (port == 0 || !client.Connect(port, rcvBuf)) return;
    ok = listener.Accept(server, 5000);
  }
};

inline std::string Int32Bytes(int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  std::string out(4, '\0');
  out[0] = static_cast<char>(v >> 24);
  out[1] = static_cast<char>(v >> 16);
  out[2] = static_cast<char>(v >> 8);
  out[3] = static_cast<char>(v);
  return out;
}

}  // namespace zorvic::testing
