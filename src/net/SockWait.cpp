#include "net/SockWait.h"

#include <poll.h>

#include <cerrno>

namespace zorvic::net {

int TDeadline::RemainingMs() const {
  auto left = FAt - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

int PollOne(int fd, short events, int timeoutMs) {
  TDeadline deadline(timeoutMs);
  for (;;) {
    pollfd entry{fd, events, 0};
    int r = ::poll(&entry, 1, deadline.RemainingMs());
    if (r > 0) return entry.revents != 0 ? entry.revents : events;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
    if (deadline.Passed()) return 0;
  }
}

}  // namespace zorvic::net
