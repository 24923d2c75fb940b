// The TCP server core: listens on one port and runs every accepted connection on a thread of
// its own, calling OnNewConnect with that thread. The handler owns the whole conversation;
// when it returns (or raises) the connection is closed and the thread ends.
//
// Classes:
//   TZQComponent               base of the components; owns a re-entrant lock.
//   TZQServerCore              the properties and Start/Stop.
//   TZQRequestReplyServerCore  a TZQServerCore with port 6160 and a Timeout property.
//   TZQServerCoreThread        the listener thread (one per Start).
//   TZQClientThread            one connection: its socket and session data.
//   TZQSessionTracker          the connections whose handler is running.
//
// Behaviour:
//   - At most ThreadCacheSize connections are served at once. While the limit is reached no
//     connection is accepted; further peers wait in the listen backlog until one ends.
//   - Stop ends listening (the port is released when Stop returns) but leaves running
//     connections alone. StopAndCloseSessions also shuts down every open connection socket
//     and waits, bounded, until their handlers have returned, so the owner can then free what
//     the handlers use. The destructor does both.
//   - When the port cannot be bound, OnListenerFailed is called once, on the listener thread,
//     with the socket error number, and there is no listener; the core stays marked active
//     until Stop. Stop may be called from inside OnListenerFailed.
//   - Exceptions raised by any handler are caught on the thread that ran it and reported
//     through OnDiagnostic (standard error by default); a failed connection never ends the
//     listener or the process.
//   - Connection threads are detached and reclaim themselves; their stack is
//     SessionThreadStackSize bytes.
//
// Thread safety: the properties and Start/Stop/StopAndCloseSessions may be called from any
// thread; property changes take effect at the next Start (Suspend at once). Handlers run on
// the listener thread (OnListenerFailed, OnMaxConnects, the idle hooks) or on a connection
// thread (OnNewConnect) and must guard their own shared state.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "net/NetLimits.h"
#include "net/ZQSock.h"

namespace zorvic {

class TZQServerCoreThread;
class TZQClientThread;
class TZQSessionTracker;

// Re-entrant lock of the components (usable with std::lock_guard).
class TZQCritical {
 public:
  void Enter() { FMutex.lock(); }
  void Leave() { FMutex.unlock(); }
  bool TryEnter() { return FMutex.try_lock(); }
  void lock() { Enter(); }
  void unlock() { Leave(); }
  bool try_lock() { return TryEnter(); }

 private:
  std::recursive_mutex FMutex;
};

class TZQComponent {
 public:
  TZQComponent() = default;
  virtual ~TZQComponent() = default;
  TZQComponent(const TZQComponent&) = delete;
  TZQComponent& operator=(const TZQComponent&) = delete;
  TZQCritical& Critical() { return FCritical; }

 protected:
  TZQCritical FCritical;
};

// The conversation of one connection; runs on that connection's thread.
using TZQNewConnectEvent = std::function<void(TZQClientThread& client)>;
// The listening socket could not be set up; the socket error number (see ErrorText).
using TZQListenerFailedEvent = std::function<void(int socketError)>;
// Notifications of the accept loop (OnMaxConnects, OnGoingIdle, OnAsleep, OnWakeUp).
using TZQListenerEvent = std::function<void(TZQServerCoreThread& listener)>;
// Frees a connection's session data when its thread ends.
using TZQDestroySessionDataEvent = std::function<void(void* sessionData)>;
// Reports failures the core cannot hand to anyone else (an exception escaping a handler).
using TZQDiagnosticEvent = std::function<void(const std::string& text)>;

enum TZQServerType { stNonBlocking, stThreadBlocking };

// One accepted connection. Created by the listener with a fresh socket; the handler talks to
// the peer through Socket. Lives until its thread ends (the listener's session tracker and
// the thread share it).
class TZQClientThread {
 public:
  TZQClientThread(std::shared_ptr<TZQSessionTracker> tracker, std::uint64_t id);
  ~TZQClientThread();
  TZQClientThread(const TZQClientThread&) = delete;
  TZQClientThread& operator=(const TZQClientThread&) = delete;

  // The connection's socket, open while the handler runs.
  TZQSock Socket;
  // Optional per-connection data; when both are set, OnDestroySessionData(SessionData) runs
  // when the connection ends, after the handler and before the thread ends.
  void* SessionData = nullptr;
  TZQDestroySessionDataEvent OnDestroySessionData;

  // Number of the connection, unique within the process (1, 2, ...).
  std::uint64_t Id() const { return FId; }
  // True once the owner asked every connection to end (StopAndCloseSessions). A handler that
  // waits on something other than its socket should check it.
  bool StopRequested() const { return FStopRequested.load(std::memory_order_acquire); }

 private:
  friend class TZQSessionTracker;
  friend class TZQServerCoreThread;
  std::shared_ptr<TZQSessionTracker> FTracker;
  std::uint64_t FId;
  std::atomic<bool> FStopRequested{false};
};

// The connections of one core whose handler is running, with their count. Shared by the core,
// its listener threads and the connection threads, so it outlives any of them. Add and remove
// call hooks that do nothing here; a subclass may watch sessions through them.
class TZQSessionTracker {
 public:
  TZQSessionTracker() = default;
  virtual ~TZQSessionTracker() = default;
  TZQSessionTracker(const TZQSessionTracker&) = delete;
  TZQSessionTracker& operator=(const TZQSessionTracker&) = delete;

  // Registers a connection and counts it as active.
  void Add(const std::shared_ptr<TZQClientThread>& client);
  // Unregisters a connection and wakes waiters of Count.
  void Remove(TZQClientThread& client);
  // Connections whose handler is running.
  int Count() const { return FCount.load(std::memory_order_acquire); }
  // Marks every registered connection as asked to stop and interrupts its socket.
  void InterruptAll();
  // Waits until Count() < limit or timeoutMs pass; true when below the limit.
  bool WaitBelow(int limit, int timeoutMs);
  // Waits until Count() is 0 or timeoutMs pass; true when 0.
  bool WaitEmpty(int timeoutMs) { return WaitBelow(1, timeoutMs); }

 protected:
  virtual void OnSessionAdded(TZQClientThread&) {}
  virtual void OnSessionRemoved(TZQClientThread&) {}

 private:
  mutable std::mutex FLock;
  std::condition_variable FChanged;
  std::unordered_map<TZQClientThread*, std::weak_ptr<TZQClientThread>> FSessions;
  std::atomic<int> FCount{0};
};

// Settings the core hands to each listener at Start.
struct TZQListenerSettings {
  std::string BindTo;
  int Port = net::kDefaultServerPort;
  int ConnectionLimit = net::kDefaultThreadCacheSize;
  TZQBlockSizeFlags SocketOutputBufferSize = bsfHUGE;
  std::size_t SessionThreadStackSize = net::kSessionThreadStackBytes;
  // Length of one empty accept attempt in the idle count (tests shorten it).
  int IdleStepMicros = net::kIdleStepMicros;
  TZQNewConnectEvent OnNewConnect;
  TZQListenerFailedEvent OnListenerFailed;
  TZQListenerEvent OnMaxConnects;
  TZQListenerEvent OnGoingIdle;
  TZQListenerEvent OnAsleep;
  TZQListenerEvent OnWakeUp;
  TZQDiagnosticEvent OnDiagnostic;
};

// The listener thread: sets up the listening socket and runs the accept loop. Created by
// Start, ended by Stop. Handlers of the accept loop receive it.
class TZQServerCoreThread : public std::enable_shared_from_this<TZQServerCoreThread> {
 public:
  enum class TState { Starting, Listening, Failed, Ended };

  TZQServerCoreThread(TZQListenerSettings settings, std::shared_ptr<TZQSessionTracker> tracker);
  ~TZQServerCoreThread();
  TZQServerCoreThread(const TZQServerCoreThread&) = delete;
  TZQServerCoreThread& operator=(const TZQServerCoreThread&) = delete;

  // Starts the thread (once). The thread keeps the object alive until it ends.
  void Run();
  // Asks the accept loop to end and, unless called on the listener thread itself, waits until
  // it has ended and the listening socket is closed.
  void Terminate();

  void SetSuspend(bool suspend) { FSuspend.store(suspend, std::memory_order_release); }
  bool Suspended() const { return FSuspend.load(std::memory_order_acquire); }
  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
  TState State() const;
  // Waits until the listener listens (true) or has failed or ended (false), at most timeoutMs.
  bool WaitUntilListening(int timeoutMs);
  // The port actually listened on (useful with port 0); 0 when not listening.
  int ListeningPort() const { return FListeningPort.load(std::memory_order_acquire); }
  // The error number of a failed set-up (0 otherwise).
  int FailureCode() const { return FFailureCode.load(std::memory_order_acquire); }
  int ActiveConnections() const;
  int ConnectionLimit() const { return FSettings.ConnectionLimit; }
  // Empty accept attempts since the last accepted connection (one attempt counts 2.5 ms).
  int IdleCount() const { return FIdleCount; }
  bool Idle() const { return FIdle; }

 private:
  void Execute();
  void AcceptLoop();
  bool AcceptOne();
  void IdleStep();
  void CatchUpIdle();
  int IdleWaitMs() const;
  bool StartSession(const std::shared_ptr<TZQClientThread>& client);
  // The starter thread: starts the connection threads of accepted connections in turn.
  void StarterLoop();
  void StopStarter();
  void PauseMs(int ms);
  void SetState(TState state);
  void CallHook(const TZQListenerEvent& hook, const char* name);
  void Diagnose(const std::string& text);

  TZQListenerSettings FSettings;
  std::shared_ptr<TZQSessionTracker> FTracker;
  TZQSock FListenSocket;
  std::thread FThread;
  std::atomic<bool> FSuspend{false};
  std::atomic<bool> FTerminated{false};
  std::atomic<int> FListeningPort{0};
  std::atomic<int> FFailureCode{0};
  int FWakeFd = -1;  // written by Terminate to wake the accept wait at once
  int FIdleCount = 0;
  bool FIdle = false;
  std::int64_t FIdleSinceMicros = 0;  // monotonic time of the last accept (or of the start)
  // Accepted connections waiting for their thread. Threads are made by a starter thread of
  // their own, so the accept loop only takes connections off the kernel's queue: a storm of
  // clients is taken in at the pace of accept, not of thread creation, and the kernel never
  // drops a SYN for a full queue while threads are being made. The queue is bounded by the
  // connection limit, since a queued connection already counts in the tracker.
  std::thread FStarter;
  std::mutex FStartLock;
  std::condition_variable FStartWake;
  std::deque<std::shared_ptr<TZQClientThread>> FToStart;
  bool FStarterStop = false;
  mutable std::mutex FStateLock;
  std::condition_variable FStateChanged;
  TState FState = TState::Starting;
};

class TZQServerCore : public TZQComponent {
 public:
  TZQServerCore();
  // Stops listening, shuts down open connections and waits for them (bounded).
  ~TZQServerCore() override;

  // Starts listening on a listener thread and returns at once. Does nothing when already
  // active. Without OnNewConnect it does not start and reports "Developer Trap #1!".
  void Start();
  // Ends listening; running connections are left alone. Safe from any thread, including the
  // listener thread inside its own handlers.
  void Stop();
  // Stop, then shut down every open connection socket and wait up to timeoutMs for their
  // handlers to return. True when none is left running.
  bool StopAndCloseSessions(int timeoutMs);
  bool IsActive() const { return FActive.load(std::memory_order_acquire); }
  void SetActive(bool active) { active ? Start() : Stop(); }

  // Waits until the current listener listens (true), or has failed, or timeoutMs pass.
  bool WaitUntilListening(int timeoutMs);
  // The port actually listened on; 0 when not listening.
  int ListeningPort() const;
  // Connections whose handler is running (over every Start of this core).
  int ActiveSessions() const { return FTracker->Count(); }

  // ---------------------------------------------------------------- properties
  int ServerPort() const;
  void SetServerPort(int port);
  // Local IPv4 address in dotted form; used only when longer than 7 characters.
  std::string BindTo() const;
  void SetBindTo(std::string address);
  // Largest number of connections served at once; only positive values are taken, and
  // values above the process limit of 10000 are reduced to it.
  int ThreadCacheSize() const;
  void SetThreadCacheSize(int size);
  // Kept for compatibility: every connection gets a fresh thread whatever its value.
  bool UseThreadPool() const;
  void SetUseThreadPool(bool use);
  TZQBlockSizeFlags SocketOutputBufferSize() const;
  void SetSocketOutputBufferSize(TZQBlockSizeFlags flag);
  TZQServerType ServerType() const;
  void SetServerType(TZQServerType type);
  // While true (and active) no connection is accepted.
  bool Suspend() const;
  void SetSuspend(bool suspend);
  std::size_t SessionThreadStackSize() const;
  void SetSessionThreadStackSize(std::size_t bytes);

  void SetOnNewConnect(TZQNewConnectEvent handler);
  void SetOnListenerFailed(TZQListenerFailedEvent handler);
  void SetOnMaxConnects(TZQListenerEvent handler);
  void SetOnGoingIdle(TZQListenerEvent handler);
  void SetOnAsleep(TZQListenerEvent handler);
  void SetOnWakeUp(TZQListenerEvent handler);
  // Default: one line on standard error.
  void SetOnDiagnostic(TZQDiagnosticEvent handler);

 protected:
  explicit TZQServerCore(int defaultPort);

 private:
  std::shared_ptr<TZQServerCoreThread> CurrentListener() const;

  std::shared_ptr<TZQSessionTracker> FTracker;
  std::shared_ptr<TZQServerCoreThread> FListener;
  std::atomic<bool> FActive{false};
  TZQListenerSettings FSettings;
  bool FUseThreadPool = true;
  bool FSuspend = false;
  TZQServerType FServerType = stThreadBlocking;
};

// A TZQServerCore listening on port 6160 by default, with a request/reply Timeout property.
// No request/reply registrations are made by this server, so it behaves as TZQServerCore.
class TZQRequestReplyServerCore : public TZQServerCore {
 public:
  TZQRequestReplyServerCore();
  int Timeout() const { return FTimeout.load(std::memory_order_relaxed); }
  void SetTimeout(int ms) { FTimeout.store(ms, std::memory_order_relaxed); }

 private:
  std::atomic<int> FTimeout{net::kDefaultRequestReplyTimeoutMs};
};

}  // namespace zorvic
