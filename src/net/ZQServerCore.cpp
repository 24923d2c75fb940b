// TZQServerCore and TZQRequestReplyServerCore: properties, Start and Stop.
#include "net/ZQServerCore.h"

#include <sys/resource.h>

#include <algorithm>
#include <iostream>

#include "net/SockWait.h"

namespace zorvic {

namespace {

// Each connection holds a descriptor; make sure the process may open enough of them.
void EnsureDescriptorLimit(int needed) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  rlim_t want = static_cast<rlim_t>(needed);
  if (limit.rlim_cur >= want) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? want : std::min(want, limit.rlim_max);
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

TZQServerCore::TZQServerCore() : TZQServerCore(net::kDefaultServerPort) {}

TZQServerCore::TZQServerCore(int defaultPort) : FTracker(std::make_shared<TZQSessionTracker>()) {
  FSettings.Port = defaultPort;
}

TZQServerCore::~TZQServerCore() {
  StopAndCloseSessions(net::kCoreDestroyWaitMs);
}

void TZQServerCore::Start() {
  std::lock_guard<TZQCritical> guard(FCritical);
  if (FActive.load(std::memory_order_acquire)) return;
  if (!FSettings.OnNewConnect) {
    std::string text = "Developer Trap #1!: You must specify a OnNewConnect Event!";
    if (FSettings.OnDiagnostic) {
      FSettings.OnDiagnostic(text);
    } else {
      std::cerr << text << std::endl;
    }
    return;
  }
  EnsureDescriptorLimit(FSettings.ConnectionLimit + net::kDescriptorReserve);
  FSuspend = false;
  FListener = std::make_shared<TZQServerCoreThread>(FSettings, FTracker);
  FActive.store(true, std::memory_order_release);
  FListener->Run();
}

void TZQServerCore::Stop() {
  std::shared_ptr<TZQServerCoreThread> listener;
  {
    std::lock_guard<TZQCritical> guard(FCritical);
    if (!FActive.load(std::memory_order_acquire)) return;
    FActive.store(false, std::memory_order_release);
    FSuspend = false;
    listener = std::move(FListener);
  }
  // Outside the lock: the listener's own handlers may take it while it winds down.
  if (listener) listener->Terminate();
}

bool TZQServerCore::StopAndCloseSessions(int timeoutMs) {
  Stop();
  net::TDeadline deadline(timeoutMs);
  for (;;) {
    FTracker->InterruptAll();
    if (FTracker->Count() == 0) return true;
    int remaining = deadline.RemainingMs();
    if (remaining <= 0) return false;
    // Interrupt again now and then: a connection accepted while Stop ran is caught too.
    if (FTracker->WaitEmpty(std::min(remaining, 100))) return true;
  }
}

std::shared_ptr<TZQServerCoreThread> TZQServerCore::CurrentListener() const {
  std::lock_guard<TZQCritical> guard(const_cast<TZQCritical&>(FCritical));
  return FListener;
}

bool TZQServerCore::WaitUntilListening(int timeoutMs) {
  auto listener = CurrentListener();
  return listener && listener->WaitUntilListening(timeoutMs);
}

int TZQServerCore::ListeningPort() const {
  auto listener = CurrentListener();
  return listener ? listener->ListeningPort() : 0;
}

#define ZQ_GUARD std::lock_guard<TZQCritical> guard(const_cast<TZQCritical&>(FCritical))

int TZQServerCore::ServerPort() const {
  ZQ_GUARD;
  return FSettings.Port;
}
void TZQServerCore::SetServerPort(int port) {
  ZQ_GUARD;
  FSettings.Port = port;
}
std::string TZQServerCore::BindTo() const {
  ZQ_GUARD;
  return FSettings.BindTo;
}
void TZQServerCore::SetBindTo(std::string address) {
  ZQ_GUARD;
  FSettings.BindTo = std::move(address);
}
int TZQServerCore::ThreadCacheSize() const {
  ZQ_GUARD;
  return FSettings.ConnectionLimit;
}
void TZQServerCore::SetThreadCacheSize(int size) {
  ZQ_GUARD;
  if (size > 0) FSettings.ConnectionLimit = std::min(size, net::kMaxConnections);
}
bool TZQServerCore::UseThreadPool() const {
  ZQ_GUARD;
  return FUseThreadPool;
}
void TZQServerCore::SetUseThreadPool(bool use) {
  ZQ_GUARD;
  FUseThreadPool = use;
}
TZQBlockSizeFlags TZQServerCore::SocketOutputBufferSize() const {
  ZQ_GUARD;
  return FSettings.SocketOutputBufferSize;
}
void TZQServerCore::SetSocketOutputBufferSize(TZQBlockSizeFlags flag) {
  ZQ_GUARD;
  FSettings.SocketOutputBufferSize = flag;
}
TZQServerType TZQServerCore::ServerType() const {
  ZQ_GUARD;
  return FServerType;
}
void TZQServerCore::SetServerType(TZQServerType type) {
  ZQ_GUARD;
  FServerType = type;
}
bool TZQServerCore::Suspend() const {
  ZQ_GUARD;
  return FSuspend;
}
void TZQServerCore::SetSuspend(bool suspend) {
  ZQ_GUARD;
  if (!FActive.load(std::memory_order_acquire)) return;  // only an active core is suspended
  FSuspend = suspend;
  if (FListener) FListener->SetSuspend(suspend);
}
std::size_t TZQServerCore::SessionThreadStackSize() const {
  ZQ_GUARD;
  return FSettings.SessionThreadStackSize;
}
void TZQServerCore::SetSessionThreadStackSize(std::size_t bytes) {
  ZQ_GUARD;
  FSettings.SessionThreadStackSize = bytes;
}
void TZQServerCore::SetOnNewConnect(TZQNewConnectEvent handler) {
  ZQ_GUARD;
  FSettings.OnNewConnect = std::move(handler);
}
void TZQServerCore::SetOnListenerFailed(TZQListenerFailedEvent handler) {
  ZQ_GUARD;
  FSettings.OnListenerFailed = std::move(handler);
}
void TZQServerCore::SetOnMaxConnects(TZQListenerEvent handler) {
  ZQ_GUARD;
  FSettings.OnMaxConnects = std::move(handler);
}
void TZQServerCore::SetOnGoingIdle(TZQListenerEvent handler) {
  ZQ_GUARD;
  FSettings.OnGoingIdle = std::move(handler);
}
void TZQServerCore::SetOnAsleep(TZQListenerEvent handler) {
  ZQ_GUARD;
  FSettings.OnAsleep = std::move(handler);
}
void TZQServerCore::SetOnWakeUp(TZQListenerEvent handler) {
  ZQ_GUARD;
  FSettings.OnWakeUp = std::move(handler);
}
void TZQServerCore::SetOnDiagnostic(TZQDiagnosticEvent handler) {
  ZQ_GUARD;
  FSettings.OnDiagnostic = std::move(handler);
}

#undef ZQ_GUARD

TZQRequestReplyServerCore::TZQRequestReplyServerCore() : TZQServerCore(net::kDefaultServerPort) {}

}  // namespace zorvic
