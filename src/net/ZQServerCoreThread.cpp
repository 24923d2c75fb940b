// The listener thread of the server core and the connection threads it starts.
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "net/SockWait.h"
#include "net/ZQServerCore.h"

namespace zorvic {

namespace {

std::atomic<std::uint64_t> GNextClientId{0};

std::int64_t MonotonicMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void Report(const TZQDiagnosticEvent& sink, const std::string& text) {
  try {
    if (sink) {
      sink(text);
      return;
    }
  } catch (...) {
    // A failing diagnostic sink falls back to standard error below.
  }
  std::cerr << text << std::endl;
}

std::string DescribeCurrentException() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

// What a connection thread needs; owned by the thread from its first instruction.
struct TSessionStart {
  std::shared_ptr<TZQClientThread> Client;
  std::shared_ptr<TZQSessionTracker> Tracker;
  TZQNewConnectEvent OnNewConnect;
  TZQDiagnosticEvent OnDiagnostic;
};

void RunSession(TSessionStart& start) {
  TZQClientThread& client = *start.Client;
  try {
    if (client.Socket.ValidSocket()) start.OnNewConnect(client);
  } catch (...) {
    Report(start.OnDiagnostic, "Connection " + std::to_string(client.Id()) + " from " +
                                   client.Socket.PeerIPAddress() +
                                   " ended by an error: " + DescribeCurrentException());
  }
  try {
    if (client.Socket.ValidSocket()) client.Socket.CloseAbort();
    if (client.OnDestroySessionData && client.SessionData) {
      client.OnDestroySessionData(client.SessionData);
    }
  } catch (...) {
    Report(start.OnDiagnostic,
           "Connection " + std::to_string(client.Id()) +
               " failed to free its session data: " + DescribeCurrentException());
  }
  // Last touch of shared state: from here on the owner may consider this connection gone.
  start.Tracker->Remove(client);
}

void* SessionThreadMain(void* argument) {
  std::unique_ptr<TSessionStart> start(static_cast<TSessionStart*>(argument));
  try {
    RunSession(*start);
  } catch (...) {
    // RunSession reports its own failures; nothing may escape a thread.
  }
  return nullptr;
}

}  // namespace

TZQServerCoreThread::TZQServerCoreThread(TZQListenerSettings settings,
                                         std::shared_ptr<TZQSessionTracker> tracker)
    : FSettings(std::move(settings)), FTracker(std::move(tracker)) {
  FWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TZQServerCoreThread::~TZQServerCoreThread() {
  StopStarter();
  if (FThread.joinable()) {
    FTerminated.store(true, std::memory_order_release);
    if (FThread.get_id() == std::this_thread::get_id()) {
      FThread.detach();
    } else {
      FThread.join();
    }
  }
  if (FWakeFd != -1) ::close(FWakeFd);
}

void TZQServerCoreThread::Run() {
  if (FThread.joinable()) return;
  std::shared_ptr<TZQServerCoreThread> self = shared_from_this();
  FThread = std::thread([self] { self->Execute(); });
}

void TZQServerCoreThread::Terminate() {
  FTerminated.store(true, std::memory_order_release);
  if (FWakeFd != -1) {
    std::uint64_t one = 1;
    ssize_t written = ::write(FWakeFd, &one, sizeof one);
    (void)written;  // a full counter already wakes the loop
  }
  {
    std::lock_guard<std::mutex> guard(FStateLock);
    FStateChanged.notify_all();
  }
  if (!FThread.joinable()) return;
  if (FThread.get_id() == std::this_thread::get_id()) {
    FThread.detach();  // called from one of our own handlers: the loop ends when it returns
  } else {
    FThread.join();
  }
}

TZQServerCoreThread::TState TZQServerCoreThread::State() const {
  std::lock_guard<std::mutex> guard(FStateLock);
  return FState;
}

void TZQServerCoreThread::SetState(TState state) {
  {
    std::lock_guard<std::mutex> guard(FStateLock);
    FState = state;
  }
  FStateChanged.notify_all();
}

bool TZQServerCoreThread::WaitUntilListening(int timeoutMs) {
  std::unique_lock<std::mutex> guard(FStateLock);
  FStateChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                         [&] { return FState != TState::Starting; });
  return FState == TState::Listening;
}

int TZQServerCoreThread::ActiveConnections() const {
  return FTracker->Count();
}

void TZQServerCoreThread::Diagnose(const std::string& text) {
  Report(FSettings.OnDiagnostic, text);
}

void TZQServerCoreThread::CallHook(const TZQListenerEvent& hook, const char* name) {
  if (!hook) return;
  try {
    hook(*this);
  } catch (...) {
    Diagnose(std::string("Listener handler ") + name + " failed: " + DescribeCurrentException());
  }
}

void TZQServerCoreThread::PauseMs(int ms) {
  std::unique_lock<std::mutex> guard(FStateLock);
  FStateChanged.wait_for(guard, std::chrono::milliseconds(ms), [&] { return Terminated(); });
}

void TZQServerCoreThread::Execute() {
  try {
    if (Terminated()) {
      SetState(TState::Ended);
      return;
    }
    // The bind address is used only when it can be a full dotted address.
    FListenSocket.SetBindTo(FSettings.BindTo.size() > 7 ? FSettings.BindTo : std::string());
    if (!FListenSocket.Listen(FSettings.Port, net::kListenBacklog, true)) {
      int code = FListenSocket.LastCommandStatus();
      FFailureCode.store(code, std::memory_order_release);
      SetState(TState::Failed);
      if (FSettings.OnListenerFailed) {
        try {
          FSettings.OnListenerFailed(code);
        } catch (...) {
          Diagnose("Listener handler OnListenerFailed failed: " + DescribeCurrentException());
        }
      } else {
        std::fputs("\a\a\a", stdout);
        std::printf("Listener on port %d, %s\n", FSettings.Port, ErrorText(code).c_str());
        std::fflush(stdout);
        PauseMs(1000);
      }
      return;
    }
    FListeningPort.store(FListenSocket.LocalPort(), std::memory_order_release);
    {
      std::lock_guard<std::mutex> guard(FStartLock);
      FStarterStop = false;
    }
    FStarter = std::thread([this] { StarterLoop(); });
    SetState(TState::Listening);
    AcceptLoop();
  } catch (...) {
    Diagnose("Listener on port " + std::to_string(FSettings.Port) +
             " ended by an error: " + DescribeCurrentException());
  }
  // Connections accepted before the end still get their threads, as they would have had.
  StopStarter();
  FListenSocket.CloseNormal();
  FListeningPort.store(0, std::memory_order_release);
  if (State() != TState::Failed) SetState(TState::Ended);
}

void TZQServerCoreThread::AcceptLoop() {
  FIdleSinceMicros = MonotonicMicros();
  while (!Terminated()) {
    int limit = FSettings.ConnectionLimit;
    if (FTracker->Count() >= limit) {
      // At the limit nothing is accepted; waiting peers stay in the listen backlog.
      CallHook(FSettings.OnMaxConnects, "OnMaxConnects");
      FTracker->WaitBelow(limit, net::kAtLimitWaitMs);
      continue;
    }
    if (Suspended()) {
      PauseMs(net::kSuspendSleepMs);
      continue;
    }
    pollfd entries[2] = {{FListenSocket.Handle(), POLLIN, 0}, {FWakeFd, POLLIN, 0}};
    int ready = ::poll(entries, FWakeFd != -1 ? 2 : 1, IdleWaitMs());
    if (Terminated()) break;
    if (Suspended()) continue;  // suspended while waiting: the peer stays queued
    if (ready > 0 && (entries[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      // Drain the queue in one go: accept while peers are pending and the limit allows, so a
      // storm of connections never waits for another turn of the loop.
      bool accepted = false;
      while (AcceptOne()) {
        accepted = true;
        if (Terminated() || Suspended() || FTracker->Count() >= FSettings.ConnectionLimit) break;
      }
      if (accepted) continue;
    }
    CatchUpIdle();
  }
}

bool TZQServerCoreThread::AcceptOne() {
  auto client = std::make_shared<TZQClientThread>(
      FTracker, GNextClientId.fetch_add(1, std::memory_order_relaxed) + 1);
  FListenSocket.SetLastCommandStatus(0);
  if (!FListenSocket.Accept(client->Socket, 0)) {
    int status = FListenSocket.LastCommandStatus();
    if (status == kSockErrTooManyFiles || status == kSockErrNoBufs) {
      // Out of descriptors or memory: the pending peer stays queued; try again shortly
      // instead of spinning on a socket that stays readable.
      Diagnose("Listener on port " + std::to_string(FSettings.Port) +
               " cannot accept: " + ErrorText(status));
      PauseMs(net::kAcceptFailureBackoffMs);
    }
    return false;
  }
  client->Socket.SetOutputBufferSize(FSettings.SocketOutputBufferSize);
  FTracker->Add(client);
  {
    std::lock_guard<std::mutex> guard(FStartLock);
    FToStart.push_back(client);
  }
  FStartWake.notify_one();
  if (FIdle) CallHook(FSettings.OnWakeUp, "OnWakeUp");
  FIdle = false;
  FIdleCount = 0;
  FIdleSinceMicros = MonotonicMicros();
  return true;
}

void TZQServerCoreThread::StarterLoop() {
  for (;;) {
    std::shared_ptr<TZQClientThread> client;
    {
      std::unique_lock<std::mutex> guard(FStartLock);
      FStartWake.wait(guard, [&] { return FStarterStop || !FToStart.empty(); });
      if (FToStart.empty()) return;  // asked to stop, nothing left to start
      client = std::move(FToStart.front());
      FToStart.pop_front();
    }
    if (!StartSession(client)) {
      client->Socket.CloseAbort();
      FTracker->Remove(*client);
      // Out of threads: give the system a moment before the next one is tried.
      PauseMs(net::kAcceptFailureBackoffMs);
    }
  }
}

void TZQServerCoreThread::StopStarter() {
  if (!FStarter.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(FStartLock);
    FStarterStop = true;
  }
  FStartWake.notify_all();
  FStarter.join();
}

bool TZQServerCoreThread::StartSession(const std::shared_ptr<TZQClientThread>& client) {
  auto* start = new TSessionStart{client, FTracker, FSettings.OnNewConnect, FSettings.OnDiagnostic};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  std::size_t stack = std::max<std::size_t>(FSettings.SessionThreadStackSize, PTHREAD_STACK_MIN);
  pthread_attr_setstacksize(&attributes, stack);
  pthread_t thread;
  int error = pthread_create(&thread, &attributes, &SessionThreadMain, start);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    delete start;
    Diagnose("Listener on port " + std::to_string(FSettings.Port) +
             " cannot start a connection thread (error " + std::to_string(error) +
             "); the connection from " + client->Socket.PeerIPAddress() + " is closed");
    return false;
  }
  return true;
}

// --- idle notifications. The counter counts empty accept attempts of 2.5 ms each; the loop
// waits in poll() instead, so the counter is brought up to the time spent without a
// connection.

void TZQServerCoreThread::IdleStep() {
  if (FIdleCount < net::kIdleAsleepSteps) {
    ++FIdleCount;
    if (FIdleCount > net::kIdleGoingIdleSteps && !FIdle) {
      FIdle = true;
      CallHook(FSettings.OnGoingIdle, "OnGoingIdle");
    }
    return;
  }
  if (FIdle) {
    CallHook(FSettings.OnAsleep, "OnAsleep");
    FIdle = false;
  }
  if (FIdleCount < net::kIdleCounterCap) ++FIdleCount;
}

void TZQServerCoreThread::CatchUpIdle() {
  std::int64_t steps =
      (MonotonicMicros() - FIdleSinceMicros) / std::max(1, FSettings.IdleStepMicros);
  int target = static_cast<int>(std::min<std::int64_t>(steps, net::kIdleCounterCap));
  while (FIdleCount < target && !Terminated())
    IdleStep();
}

int TZQServerCoreThread::IdleWaitMs() const {
  int nextEvent;  // the count at which the next notification falls due
  if (FIdleCount <= net::kIdleGoingIdleSteps) {
    nextEvent = net::kIdleGoingIdleSteps + 1;
  } else if (FIdle) {
    nextEvent = net::kIdleAsleepSteps + 1;
  } else {
    return net::kListenerMaxWaitMs;
  }
  std::int64_t dueMicros =
      FIdleSinceMicros + std::int64_t{nextEvent} * std::max(1, FSettings.IdleStepMicros);
  std::int64_t waitMs = (dueMicros - MonotonicMicros()) / 1000 + 1;
  return static_cast<int>(std::clamp<std::int64_t>(waitMs, 0, net::kListenerMaxWaitMs));
}

}  // namespace zorvic
