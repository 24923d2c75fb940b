#include "net/ThreadStack.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace zorvic {

namespace {

// Kept below the caller's frame: room for the frames of this function and of the calls the
// caller makes right after, so the pages they use are not faulted in again at once.
constexpr std::uintptr_t kKeptBelowFrameBytes = 4096;

}  // namespace

void ReleaseUnusedStack() noexcept {
  pthread_attr_t attributes;
  if (::pthread_getattr_np(::pthread_self(), &attributes) != 0) return;
  void* lowest = nullptr;
  std::size_t size = 0;
  int status = ::pthread_attr_getstack(&attributes, &lowest, &size);
  ::pthread_attr_destroy(&attributes);
  if (status != 0 || lowest == nullptr || size == 0) return;

  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto low = reinterpret_cast<std::uintptr_t>(lowest);
  const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  // The stack grows down: everything between its lowest address and the frame is unused.
  if (frame < low + kKeptBelowFrameBytes || frame > low + size) return;
  const std::uintptr_t high = (frame - kKeptBelowFrameBytes) & ~(page - 1);
  const std::uintptr_t start = (low + page - 1) & ~(page - 1);
  if (high <= start) return;
  ::madvise(reinterpret_cast<void*>(start), high - start, MADV_DONTNEED);
}

}  // namespace zorvic
