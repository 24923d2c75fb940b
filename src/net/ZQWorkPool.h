// TZQWorkPool: a few long-lived threads that run the heavy part of a command for the
// connection threads, which wait for it.
//
// Why: the allocator keeps a small cache of freed blocks per thread for as long as the thread
// lives. A login runs SQL and opens a mailbox, which allocates and frees thousands of blocks;
// run on the session's own thread it would leave a cache of them (about 26 KiB) on every
// logged-in session for the session's whole life. Run here, those caches exist once per pool
// thread, however many sessions there are; the session thread only reads its command lines and
// writes the replies.
//
// Run hands one piece of work to a pool thread and waits for it to finish, so everything the
// work touches on the caller's stack stays valid and a session can never end while its work is
// still queued or running. An exception raised by the work is raised again in the caller.
// Work queued from a pool thread, or after Stop, or when no pool thread could be started, runs
// on the caller's thread at once.
//
// The caller must hold no lock that the work takes: the work runs on another thread, which
// waits for such a lock like any other thread would, and the caller waits for the work.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

namespace zorvic {

class TZQWorkPool {
 public:
  // threads: how many pool threads to start (at least 1), on first use; stackBytes: their stack
  // size (the work may run SQL as deep as a session thread would).
  TZQWorkPool(int threads, std::size_t stackBytes);
  // Stops: the work already queued still runs, then the threads are joined.
  ~TZQWorkPool();
  TZQWorkPool(const TZQWorkPool&) = delete;
  TZQWorkPool& operator=(const TZQWorkPool&) = delete;

  // The process's pool (kWorkPoolThreads threads with a session thread's stack), made on first
  // use and never destroyed, so that a connection thread still running at exit finds it.
  static TZQWorkPool& Shared();

  // Runs work on a pool thread and returns when it has finished, raising what it raised.
  void Run(const std::function<void()>& work);

  // Lets the queued work finish, joins the threads; later Run calls run on their caller.
  void Stop();

  // Pool threads running (0 before the first Run and after Stop).
  int ThreadCount() const;
  // Pieces of work run on a pool thread so far.
  std::uint64_t CompletedCount() const;
  // True on one of this pool's threads.
  bool OnPoolThread() const;

 private:
  struct TJob {
    const std::function<void()>* Work = nullptr;
    std::exception_ptr Error;
    bool Done = false;
    std::condition_variable Finished;
    TJob* Next = nullptr;
  };

  static void* ThreadMain(void* pool);
  void Serve();
  // Starts the threads on first use; false when none could start (the caller runs the work).
  bool EnsureStarted(std::unique_lock<std::mutex>& lock);

  const int FWanted;
  const std::size_t FStackBytes;
  mutable std::mutex FMutex;
  std::condition_variable FWork;
  // Queued jobs, oldest first; they live on their callers' stacks, so queueing allocates
  // nothing on the caller's thread.
  TJob* FHead = nullptr;
  TJob* FTail = nullptr;
  bool FStarted = false;
  bool FStopping = false;
  std::vector<pthread_t> FThreads;
  std::uint64_t FCompleted = 0;
};

}  // namespace zorvic
