#include "net/ZQWorkPool.h"

#include <algorithm>
#include <climits>

#include "net/NetLimits.h"

namespace zorvic {

namespace {

// The pool whose thread this is (nullptr on every other thread).
thread_local const TZQWorkPool* tCurrentPool = nullptr;

}  // namespace

TZQWorkPool::TZQWorkPool(int threads, std::size_t stackBytes)
    : FWanted(std::max(threads, 1)),
      FStackBytes(std::max<std::size_t>(stackBytes, PTHREAD_STACK_MIN)) {}

TZQWorkPool::~TZQWorkPool() {
  Stop();
}

TZQWorkPool& TZQWorkPool::Shared() {
  static TZQWorkPool* pool = new TZQWorkPool(net::kWorkPoolThreads, net::kSessionThreadStackBytes);
  return *pool;
}

bool TZQWorkPool::OnPoolThread() const {
  return tCurrentPool == this;
}

int TZQWorkPool::ThreadCount() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return static_cast<int>(FThreads.size());
}

std::uint64_t TZQWorkPool::CompletedCount() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FCompleted;
}

bool TZQWorkPool::EnsureStarted(std::unique_lock<std::mutex>& lock) {
  (void)lock;
  if (FStarted) return !FThreads.empty();
  FStarted = true;
  FThreads.reserve(static_cast<std::size_t>(FWanted));
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) != 0) return false;
  ::pthread_attr_setstacksize(&attributes, FStackBytes);
  for (int i = 0; i < FWanted; ++i) {
    pthread_t thread;
    if (::pthread_create(&thread, &attributes, &ThreadMain, this) != 0) break;
    FThreads.push_back(thread);
  }
  ::pthread_attr_destroy(&attributes);
  return !FThreads.empty();
}

void TZQWorkPool::Run(const std::function<void()>& work) {
  if (OnPoolThread()) {
    work();
    return;
  }
  TJob job;
  job.Work = &work;
  std::unique_lock<std::mutex> lock(FMutex);
  if (FStopping || !EnsureStarted(lock)) {
    lock.unlock();
    work();
    return;
  }
  if (FTail)
    FTail->Next = &job;
  else
    FHead = &job;
  FTail = &job;
  FWork.notify_one();
  job.Finished.wait(lock, [&] { return job.Done; });
  lock.unlock();
  if (job.Error) std::rethrow_exception(job.Error);
}

void* TZQWorkPool::ThreadMain(void* pool) {
  auto* self = static_cast<TZQWorkPool*>(pool);
  tCurrentPool = self;
  self->Serve();
  return nullptr;
}

void TZQWorkPool::Serve() {
  std::unique_lock<std::mutex> lock(FMutex);
  for (;;) {
    FWork.wait(lock, [&] { return FHead != nullptr || FStopping; });
    if (FHead == nullptr) return;  // stopping, and nothing is left to run
    TJob* job = FHead;
    FHead = job->Next;
    if (FHead == nullptr) FTail = nullptr;
    lock.unlock();
    std::exception_ptr error;
    try {
      (*job->Work)();
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    job->Error = std::move(error);
    job->Done = true;
    ++FCompleted;
    // Notified under the lock: the caller may return (and its job go away) the moment it sees
    // Done, so nothing of the job may be touched after the lock is released.
    job->Finished.notify_one();
  }
}

void TZQWorkPool::Stop() {
  std::vector<pthread_t> threads;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FStopping = true;
    threads.swap(FThreads);
    FWork.notify_all();
  }
  for (pthread_t thread : threads)
    ::pthread_join(thread, nullptr);
}

}  // namespace zorvic
