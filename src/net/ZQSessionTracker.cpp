#include <chrono>
#include <vector>

#include "net/ZQServerCore.h"

namespace zorvic {

TZQClientThread::TZQClientThread(std::shared_ptr<TZQSessionTracker> tracker, std::uint64_t id)
    : FTracker(std::move(tracker)), FId(id) {}

TZQClientThread::~TZQClientThread() = default;

void TZQSessionTracker::Add(const std::shared_ptr<TZQClientThread>& client) {
  std::lock_guard<std::mutex> guard(FLock);
  FSessions[client.get()] = client;
  FCount.fetch_add(1, std::memory_order_acq_rel);
  OnSessionAdded(*client);
}

void TZQSessionTracker::Remove(TZQClientThread& client) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (FSessions.erase(&client) == 0) return;
    OnSessionRemoved(client);
    FCount.fetch_sub(1, std::memory_order_acq_rel);
  }
  FChanged.notify_all();
}

void TZQSessionTracker::InterruptAll() {
  std::vector<std::shared_ptr<TZQClientThread>> live;
  {
    std::lock_guard<std::mutex> guard(FLock);
    live.reserve(FSessions.size());
    for (auto& entry : FSessions) {
      if (auto client = entry.second.lock()) live.push_back(std::move(client));
    }
  }
  for (auto& client : live) {
    client->FStopRequested.store(true, std::memory_order_release);
    client->Socket.Interrupt();
  }
}

bool TZQSessionTracker::WaitBelow(int limit, int timeoutMs) {
  std::unique_lock<std::mutex> guard(FLock);
  return FChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                           [&] { return FCount.load(std::memory_order_acquire) < limit; });
}

}  // namespace zorvic
