// The TCP server core over real loopback connections: sessions, the connection limit, Stop,
// closing sessions, listener failures, failing handlers and resource reclamation.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "NetTestSupport.h"
#include "net/ZQServerCore.h"

namespace zorvic {
namespace {

using testing::RawClient;
using testing::WaitFor;

// A core on a free loopback port whose sessions greet, then echo lines until "bye".
class EchoCore {
 public:
  explicit EchoCore(int limit = 10) {
    core.SetServerPort(0);
    core.SetBindTo("127.0.0.1");
    core.SetThreadCacheSize(limit);
    core.SetUseThreadPool(false);
    core.SetOnDiagnostic([this](const std::string& text) {
      std::lock_guard<std::mutex> guard(lock);
      diagnostics.push_back(text);
    });
    core.SetOnNewConnect([this](TZQClientThread& client) {
      started.fetch_add(1);
      client.Socket.WriteLine("hello");
      while (client.Socket.Connected() && !client.Socket.PeerHasClosed()) {
        if (!client.Socket.AwaitData(200)) continue;
        std::string line = client.Socket.ReadLine(1000);
        if (client.Socket.LastReadTimeout()) continue;
        if (line == "bye") break;
        client.Socket.WriteLine("echo " + line);
      }
      finished.fetch_add(1);
    });
  }
  int Start() {
    core.Start();
    if (!core.WaitUntilListening(5000)) return 0;
    return core.ListeningPort();
  }
  std::vector<std::string> Diagnostics() {
    std::lock_guard<std::mutex> guard(lock);
    return diagnostics;
  }

  TZQRequestReplyServerCore core;
  std::atomic<int> started{0};
  std::atomic<int> finished{0};
  std::mutex lock;
  std::vector<std::string> diagnostics;
};

int CountEntries(const char* folder) {
  int count = 0;
  if (DIR* dir = ::opendir(folder)) {
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
  }
  return count;
}

// Virtual memory of the process in KiB: a thread that is never reclaimed keeps its stack mapped.
long VmSizeKb() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return 0;
  char line[256];
  long kb = 0;
  while (std::fgets(line, sizeof line, status)) {
    if (std::sscanf(line, "VmSize: %ld kB", &kb) == 1) break;
  }
  std::fclose(status);
  return kb;
}

TEST(ServerCore, DefaultsAndProperties) {
  TZQRequestReplyServerCore core;
  EXPECT_EQ(core.ServerPort(), 6160);
  EXPECT_EQ(core.Timeout(), 120000);
  EXPECT_EQ(core.ThreadCacheSize(), 200);
  EXPECT_TRUE(core.UseThreadPool());
  EXPECT_EQ(core.SocketOutputBufferSize(), bsfHUGE);
  EXPECT_EQ(core.ServerType(), stThreadBlocking);
  EXPECT_FALSE(core.IsActive());
  core.SetThreadCacheSize(0);
  core.SetThreadCacheSize(-4);
  EXPECT_EQ(core.ThreadCacheSize(), 200);
  core.SetThreadCacheSize(20000);
  EXPECT_EQ(core.ThreadCacheSize(), 10000);
  core.SetSuspend(true);  // only an active core is suspended
  EXPECT_FALSE(core.Suspend());
}

TEST(ServerCore, StartWithoutHandlerDoesNotStart) {
  TZQServerCore core;
  std::vector<std::string> texts;
  core.SetOnDiagnostic([&](const std::string& text) { texts.push_back(text); });
  core.SetServerPort(0);
  core.Start();
  EXPECT_FALSE(core.IsActive());
  EXPECT_FALSE(core.WaitUntilListening(50));
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], "Developer Trap #1!: You must specify a OnNewConnect Event!");
}

TEST(ServerCore, SessionsRunConcurrentlyOnSocketsWithTheServerOptions) {
  EchoCore echo;
  std::atomic<int> flag{-1};
  std::atomic<int> freed{0};
  echo.core.SetOnNewConnect([&](TZQClientThread& client) {
    flag = client.Socket.OutputBufferSize();
    client.SessionData = &freed;
    client.OnDestroySessionData = [](void* data) {
      static_cast<std::atomic<int>*>(data)->fetch_add(1);
    };
    client.Socket.WriteLine("hello " + client.Socket.PeerIPAddress());
    while (client.Socket.AwaitData(5000)) {
      std::string line = client.Socket.ReadLine(1000);
      if (line == "bye") break;
      client.Socket.WriteLine("echo " + line);
    }
  });
  int port = echo.Start();
  ASSERT_NE(port, 0);
  RawClient a(port), b(port);
  EXPECT_EQ(a.ReceiveLine(), "hello 127.0.0.1");
  EXPECT_EQ(b.ReceiveLine(), "hello 127.0.0.1");
  ASSERT_TRUE(b.Send("two\n"));
  EXPECT_EQ(b.ReceiveLine(), "echo two");  // b is served while a's session waits
  ASSERT_TRUE(a.Send("one\r\n"));
  EXPECT_EQ(a.ReceiveLine(), "echo one");
  EXPECT_EQ(echo.core.ActiveSessions(), 2);
  EXPECT_EQ(flag.load(), bsfHUGE);
  a.Send("bye\r\n");
  EXPECT_TRUE(a.SeesClose());  // the core closes the socket when the handler returns
  EXPECT_TRUE(WaitFor([&] { return echo.core.ActiveSessions() == 1; }));
  EXPECT_EQ(freed.load(), 1);
}

// The stack a connection thread runs on, as the thread library reports it.
std::size_t CurrentThreadStack() {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
  std::size_t size = 0;
  pthread_attr_getstacksize(&attributes, &size);
  pthread_attr_destroy(&attributes);
  return size;
}

TEST(ServerCore, SessionsRunOnTheConfiguredStack) {
  for (std::size_t wanted : {std::size_t{0}, std::size_t{1} << 20}) {
    TZQServerCore core;
    core.SetServerPort(0);
    if (wanted != 0) core.SetSessionThreadStackSize(wanted);
    std::atomic<std::size_t> stack{0};
    core.SetOnNewConnect([&](TZQClientThread& client) {
      stack = CurrentThreadStack();
      client.Socket.WriteLine("ok");
    });
    core.Start();
    ASSERT_TRUE(core.WaitUntilListening(5000));
    RawClient client(core.ListeningPort());
    EXPECT_EQ(client.ReceiveLine(), "ok");
    std::size_t expected = wanted != 0 ? wanted : net::kSessionThreadStackBytes;
    EXPECT_GE(stack.load(), expected);
    EXPECT_LT(stack.load(), expected + (std::size_t{1} << 20));
  }
}

TEST(ServerCore, ConnectionLimitKeepsFurtherPeersInTheBacklog) {
  EchoCore echo(3);
  std::atomic<int> maxConnects{0};
  echo.core.SetOnMaxConnects([&](TZQServerCoreThread& listener) {
    EXPECT_EQ(listener.ActiveConnections(), 3);
    maxConnects.fetch_add(1);
  });
  int port = echo.Start();
  ASSERT_NE(port, 0);
  RawClient a(port), b(port), c(port);
  for (RawClient* client : {&a, &b, &c})
    EXPECT_EQ(client->ReceiveLine(), "hello");
  RawClient d;
  ASSERT_TRUE(d.Connect(port));  // taken by the kernel's backlog, not by the server
  EXPECT_EQ(d.ReceiveLine(300), "");
  EXPECT_EQ(echo.started.load(), 3);
  EXPECT_EQ(echo.core.ActiveSessions(), 3);
  EXPECT_GT(maxConnects.load(), 0);

  b.Send("bye\r\n");
  EXPECT_EQ(d.ReceiveLine(), "hello");  // accepted as soon as one session ended
  EXPECT_EQ(echo.started.load(), 4);
  d.Send("ping\r\n");
  EXPECT_EQ(d.ReceiveLine(), "echo ping");
}

TEST(ServerCore, TakenPortCallsOnListenerFailedOnce) {
  TZQSock occupant;
  int port = testing::ListenAnyPort(occupant);
  ASSERT_NE(port, 0);

  EchoCore echo;
  std::atomic<int> calls{0};
  std::atomic<int> code{0};
  echo.core.SetServerPort(port);
  echo.core.SetOnListenerFailed([&](int error) {
    calls.fetch_add(1);
    code = error;
  });
  echo.core.Start();
  EXPECT_FALSE(echo.core.WaitUntilListening(5000));
  EXPECT_TRUE(WaitFor([&] { return calls.load() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(code.load(), kSockErrAddrInUse);
  EXPECT_EQ(echo.core.ListeningPort(), 0);
  EXPECT_TRUE(echo.core.IsActive());  // marked active until stopped
  echo.core.Stop();
  EXPECT_FALSE(echo.core.IsActive());
}

TEST(ServerCore, StopInsideOnListenerFailedAndAddressRules) {
  TZQSock occupant;
  int port = testing::ListenAnyPort(occupant);
  ASSERT_NE(port, 0);
  EchoCore echo;
  std::atomic<int> calls{0};
  echo.core.SetServerPort(port);
  echo.core.SetOnListenerFailed([&](int) {
    calls.fetch_add(1);
    echo.core.Stop();  // what the server does: log, then stop the core from the handler
  });
  echo.core.Start();
  EXPECT_TRUE(WaitFor([&] { return calls.load() == 1 && !echo.core.IsActive(); }));

  // An address that is not local fails with its own number.
  EchoCore remote;
  std::atomic<int> remoteCode{0};
  remote.core.SetBindTo("10.255.255.254");
  remote.core.SetOnListenerFailed([&](int error) { remoteCode = error; });
  remote.core.Start();
  EXPECT_TRUE(WaitFor([&] { return remoteCode.load() != 0; }));
  EXPECT_EQ(remoteCode.load(), kSockErrAddrNotAvail);

  // A bind address of 7 characters or fewer means all local addresses.
  EchoCore any;
  any.core.SetBindTo("1.2.3.4");
  int anyPort = any.Start();
  ASSERT_NE(anyPort, 0);
  RawClient client(anyPort);
  EXPECT_EQ(client.ReceiveLine(), "hello");
}

TEST(ServerCore, StopEndsListeningButLeavesSessionsRunning) {
  EchoCore echo;
  int port = echo.Start();
  ASSERT_NE(port, 0);
  RawClient a(port);
  EXPECT_EQ(a.ReceiveLine(), "hello");
  echo.core.Stop();
  EXPECT_FALSE(echo.core.IsActive());
  RawClient late;
  EXPECT_FALSE(late.Connect(port));  // nobody listens any more
  a.Send("still there\r\n");
  EXPECT_EQ(a.ReceiveLine(), "echo still there");
  EXPECT_EQ(echo.core.ActiveSessions(), 1);

  // The port is free again at once; a second start serves new peers beside the old session.
  echo.core.SetServerPort(port);
  ASSERT_EQ(echo.Start(), port);
  RawClient b(port);
  EXPECT_EQ(b.ReceiveLine(), "hello");
  EXPECT_EQ(echo.core.ActiveSessions(), 2);
}

TEST(ServerCore, ABurstOfPeersIsTakenInAndEveryAcceptedOneGetsItsSessionEvenAfterStop) {
  // Accepting and starting connection threads are separate steps: a crowd connecting at once
  // is counted as soon as it is accepted, and a Stop that follows at once still starts a
  // thread for every connection already taken in.
  constexpr int kPeers = 200;
  EchoCore echo(kPeers + 10);
  int port = echo.Start();
  ASSERT_NE(port, 0);
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < kPeers; ++i)
    clients.push_back(std::make_unique<RawClient>(port));
  EXPECT_TRUE(WaitFor([&] { return echo.core.ActiveSessions() == kPeers; }, 10000));
  echo.core.Stop();
  for (auto& client : clients)
    EXPECT_EQ(client->ReceiveLine(), "hello");
  EXPECT_EQ(echo.started.load(), kPeers);
  EXPECT_TRUE(echo.core.StopAndCloseSessions(5000));
  EXPECT_EQ(echo.core.ActiveSessions(), 0);
}

TEST(ServerCore, StopAndCloseSessionsEndsEverySessionWithinTheWait) {
  EchoCore echo;
  int port = echo.Start();
  ASSERT_NE(port, 0);
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::make_unique<RawClient>(port));
    EXPECT_EQ(clients.back()->ReceiveLine(), "hello");
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(echo.core.StopAndCloseSessions(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(echo.core.ActiveSessions(), 0);
  EXPECT_EQ(echo.finished.load(), 4);
  for (auto& client : clients)
    EXPECT_TRUE(client->SeesClose());
}

TEST(ServerCore, StopRequestReachesHandlersThatDoNotReadAndTheWaitIsBounded) {
  TZQServerCore core;
  core.SetServerPort(0);
  std::atomic<bool> release{false};
  core.SetOnNewConnect([&](TZQClientThread& client) {
    client.Socket.WriteLine("parked");
    while (!client.StopRequested())
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    while (!release.load())
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  core.Start();
  ASSERT_TRUE(core.WaitUntilListening(5000));
  RawClient client(core.ListeningPort());
  EXPECT_EQ(client.ReceiveLine(), "parked");
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(core.StopAndCloseSessions(200));  // the handler does not return yet
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(core.ActiveSessions(), 1);
  release = true;
  EXPECT_TRUE(core.StopAndCloseSessions(5000));
}

TEST(ServerCore, FailingHandlersNeverEndTheServer) {
  EchoCore echo;
  std::atomic<int> connection{0};
  echo.core.SetOnNewConnect([&](TZQClientThread& client) {
    int n = connection.fetch_add(1);
    if (n == 0) throw std::runtime_error("handler broke");
    if (n == 1) throw 42;
    client.Socket.WriteLine("served");
  });
  int port = echo.Start();
  ASSERT_NE(port, 0);
  RawClient first(port);
  EXPECT_TRUE(first.SeesClose());
  RawClient second(port);
  EXPECT_TRUE(second.SeesClose());
  RawClient third(port);
  EXPECT_EQ(third.ReceiveLine(), "served");
  EXPECT_TRUE(WaitFor([&] { return echo.core.ActiveSessions() == 0; }));
  auto texts = echo.Diagnostics();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_NE(texts[0].find("handler broke"), std::string::npos);
  EXPECT_NE(texts[1].find("unknown exception"), std::string::npos);
}

TEST(ServerCore, SuspendHoldsNewConnectionsUntilResumed) {
  EchoCore echo;
  int port = echo.Start();
  ASSERT_NE(port, 0);
  echo.core.SetSuspend(true);
  EXPECT_TRUE(echo.core.Suspend());
  RawClient client(port);
  EXPECT_EQ(client.ReceiveLine(300), "");
  echo.core.SetSuspend(false);
  EXPECT_EQ(client.ReceiveLine(), "hello");
}

TEST(ServerCore, ConnectAndVanishCyclesLeaveNoThreadsOrDescriptorsBehind) {
  EchoCore echo;
  int port = echo.Start();
  ASSERT_NE(port, 0);
  {  // one full cycle first, so lazily created process state is not counted as a leak
    RawClient warm(port);
    warm.ReceiveLine();
  }
  ASSERT_TRUE(WaitFor([&] { return echo.core.ActiveSessions() == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  int threadsBefore = CountEntries("/proc/self/task");
  int descriptorsBefore = CountEntries("/proc/self/fd");
  long memoryBefore = VmSizeKb();

  for (int i = 0; i < 1000; ++i) {
    RawClient client(port);
    if (i % 3 == 0) client.Send("half a comm");
    if (i % 5 == 0) client.Send("2000\r\n");
    // Keep the peers the server has not yet taken below the listen backlog, so the kernel
    // never drops a handshake.
    ASSERT_TRUE(WaitFor([&] { return i + 2 - echo.started.load() < 50; }, 10000));
  }  // each client vanishes at once
  EXPECT_TRUE(WaitFor([&] { return echo.started.load() == 1001; }, 30000));
  EXPECT_TRUE(WaitFor([&] { return echo.finished.load() == echo.started.load(); }, 30000));
  EXPECT_TRUE(WaitFor([&] { return echo.core.ActiveSessions() == 0; }, 30000));
  EXPECT_TRUE(WaitFor([&] { return CountEntries("/proc/self/task") <= threadsBefore; }, 10000))
      << CountEntries("/proc/self/task") << " threads, " << threadsBefore << " before";
  EXPECT_TRUE(WaitFor([&] { return CountEntries("/proc/self/fd") <= descriptorsBefore; }, 10000))
      << CountEntries("/proc/self/fd") << " descriptors, " << descriptorsBefore << " before";
  // 1000 unreclaimed stacks would add 500 MiB; the thread library caches a few freed ones.
  EXPECT_LT(VmSizeKb() - memoryBefore, 150 * 1024);
}

TEST(ServerCore, DestroyingTheCoreEndsItsSessions) {
  std::atomic<int> finished{0};
  RawClient client;
  {
    TZQServerCore core;
    core.SetServerPort(0);
    core.SetOnNewConnect([&](TZQClientThread& c) {
      c.Socket.WriteLine("hi");
      while (c.Socket.ValidSocket())
        c.Socket.AwaitData(10000);
      finished.fetch_add(1);
    });
    core.Start();
    ASSERT_TRUE(core.WaitUntilListening(5000));
    ASSERT_TRUE(client.Connect(core.ListeningPort()));
    EXPECT_EQ(client.ReceiveLine(), "hi");
  }
  EXPECT_EQ(finished.load(), 1);
  EXPECT_TRUE(client.SeesClose());
}

TEST(ServerListener, IdleNotificationsFollowTheEmptyAcceptCount) {
  std::mutex lock;
  std::vector<std::string> events;
  auto record = [&](const char* name) {
    return [&, name](TZQServerCoreThread&) {
      std::lock_guard<std::mutex> guard(lock);
      events.push_back(name);
    };
  };
  auto seen = [&] {
    std::lock_guard<std::mutex> guard(lock);
    return events;
  };
  TZQListenerSettings settings;
  settings.BindTo = "127.0.0.1";
  settings.Port = 0;
  settings.IdleStepMicros = 500;  // going idle after 0.5 s, asleep after 1 s
  settings.OnNewConnect = [](TZQClientThread& client) { client.Socket.WriteLine("x"); };
  settings.OnGoingIdle = record("idle");
  settings.OnAsleep = record("asleep");
  settings.OnWakeUp = record("wake");
  auto listener =
      std::make_shared<TZQServerCoreThread>(settings, std::make_shared<TZQSessionTracker>());
  listener->Run();
  ASSERT_TRUE(listener->WaitUntilListening(5000));
  int port = listener->ListeningPort();

  // Going idle, then a connection: wake-up, and the count starts again.
  ASSERT_TRUE(WaitFor([&] { return seen().size() == 1; }));
  {
    RawClient client(port);
    EXPECT_EQ(client.ReceiveLine(), "x");
  }
  ASSERT_TRUE(WaitFor([&] { return seen().size() >= 2; }));
  EXPECT_EQ(listener->IdleCount(), 0);
  // Idle, then asleep; a connection after that wakes nobody (the idle flag is clear by then).
  ASSERT_TRUE(WaitFor([&] { return seen().size() == 4; }));
  {
    RawClient client(port);
    EXPECT_EQ(client.ReceiveLine(), "x");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  listener->Terminate();
  EXPECT_EQ(seen(), (std::vector<std::string>{"idle", "wake", "idle", "asleep"}));
  EXPECT_EQ(listener->ListeningPort(), 0);
}

}  // namespace
}  // namespace zorvic
