// The calling thread's kernel id, asked of the kernel once per thread.
//
// Temporary file and table names start with digits of the thread id, and a statement makes
// several of them. The id is kept per thread; a forked child's only thread forgets what it
// kept (the fork handler runs in that thread), so the child names its files with its own id.
#pragma once

#include <sys/types.h>

#include <string>

namespace zorvic::engine {

// The kernel id of the calling thread.
pid_t CurrentThreadId() noexcept;

// The first `digits` decimal digits of the absolute value of the calling thread's id.
std::string ThreadIdDigits(int digits);

}  // namespace zorvic::engine
