#include "engine/storage/files/ThreadId.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

namespace zorvic::engine {
namespace {

thread_local pid_t tCachedThreadId = 0;

void ForgetThreadIdInChild() {
  tCachedThreadId = 0;
}

}  // namespace

pid_t CurrentThreadId() noexcept {
  static const int registered = ::pthread_atfork(nullptr, nullptr, &ForgetThreadIdInChild);
  (void)registered;
  if (tCachedThreadId == 0) tCachedThreadId = static_cast<pid_t>(::syscall(SYS_gettid));
  return tCachedThreadId;
}

std::string ThreadIdDigits(int digits) {
  std::string text = std::to_string(std::labs(static_cast<long>(CurrentThreadId())));
  if (digits >= 0 && static_cast<int>(text.size()) > digits) text.resize(digits);
  return text;
}

}  // namespace zorvic::engine
