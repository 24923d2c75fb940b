// The listen backlog: by default as deep as the system allows, so that a crowd of peers
// connecting at once completes its handshakes while nobody accepts yet.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "net/ZQSock.h"

namespace zorvic {
namespace {

int SomaxConn() {
  int value = SOMAXCONN;
  if (FILE* f = std::fopen("/proc/sys/net/core/somaxconn", "r")) {
    if (std::fscanf(f, "%d", &value) != 1) value = SOMAXCONN;
    std::fclose(f);
  }
  return value;
}

// Starts `count` non-blocking connects to the port and returns how many completed their
// handshake within `ms` (a SYN the full queue dropped stays pending for a second or more).
int CompletedConnects(int port, int count, int ms, std::vector<int>& fds) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<pollfd> pending;
  for (int i = 0; i < count; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    fds.push_back(fd);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    pending.push_back({fd, POLLOUT, 0});
  }
  int done = 0;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pending.empty() && std::chrono::steady_clock::now() < until) {
    if (::poll(pending.data(), pending.size(), 20) <= 0) continue;
    std::vector<pollfd> still;
    for (const pollfd& p : pending) {
      if (p.revents & POLLOUT) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0) ++done;
      } else {
        still.push_back({p.fd, POLLOUT, 0});
      }
    }
    pending.swap(still);
  }
  return done;
}

TEST(ListenBacklog, TheDefaultQueuesAsManyPeersAsTheSystemAllows) {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  // Well above the design's fixed backlog of 100, within what the system queues.
  const int peers = std::min(600, SomaxConn());
  if (limit.rlim_cur < static_cast<rlim_t>(peers + 64)) GTEST_SKIP() << "open-file limit too low";
  TZQSock listener;
  ASSERT_TRUE(listener.Listen(0));
  std::vector<int> fds;
  // Nobody accepts: every handshake that completes is waiting in the listen queue.
  EXPECT_EQ(CompletedConnects(listener.LocalPort(), peers, 900, fds), peers);
  for (int fd : fds)
    ::close(fd);
}

TEST(ListenBacklog, AnExplicitBacklogStillLimitsTheQueue) {
  TZQSock listener;
  ASSERT_TRUE(listener.Listen(0, 8));
  std::vector<int> fds;
  // The kernel queues backlog + 1 completed handshakes; the rest wait for a retransmission.
  int done = CompletedConnects(listener.LocalPort(), 40, 300, fds);
  EXPECT_GE(done, 8);
  EXPECT_LT(done, 40);
  for (int fd : fds)
    ::close(fd);
}

}  // namespace
}  // namespace zorvic
