// Waiting helpers of the socket layer: a monotonic deadline and a poll on one descriptor.
// Internal to src/net. poll() is used throughout because select() cannot watch descriptors
// numbered above 1024, and a server with thousands of connections has such descriptors.
#pragma once

#include <chrono>

namespace zorvic::net {

// A point on the monotonic clock some milliseconds ahead.
class TDeadline {
 public:
  explicit TDeadline(int ms)
      : FAt(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms)) {}
  bool Passed() const { return std::chrono::steady_clock::now() >= FAt; }
  // Milliseconds left, rounded up so a wait never ends just before the deadline; 0 when past.
  int RemainingMs() const;

 private:
  std::chrono::steady_clock::time_point FAt;
};

// Waits up to timeoutMs (negative counts as 0) for events on fd, restarting after signals.
// Returns the events that occurred (including POLLERR, POLLHUP), 0 on time-out, -1 on error
// with errno set.
int PollOne(int fd, short events, int timeoutMs);

}  // namespace zorvic::net
