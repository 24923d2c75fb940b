// Socket layer and server core: command-line reading throughput, the cost of one connection
// (connect, greeting, close), and holding thousands of connections at once (time to accept
// them all and memory per connection).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/ZQServerCore.h"

namespace zorvic {
namespace {

int ConnectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

long StatusKb(const char* field) {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return 0;
  char line[256];
  long kb = 0;
  std::string pattern = std::string(field) + ": %ld kB";
  while (std::fgets(line, sizeof line, status)) {
    if (std::sscanf(line, pattern.c_str(), &kb) == 1) break;
  }
  std::fclose(status);
  return kb;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// 64 command lines per send, read back with ReadLine as the session loop does.
void BM_ReadLineCommands(benchmark::State& state) {
  TZQSock listener;
  listener.SetBindTo("127.0.0.1");
  listener.Listen(0);
  int client = ConnectLoopback(listener.LocalPort());
  TZQSock server;
  listener.Accept(server, 5000);
  std::string batch;
  for (int i = 0; i < 64; ++i)
    batch += "2004 " + std::to_string(1000 + i) + "\r\n";
  for (auto _ : state) {
    ::send(client, batch.data(), batch.size(), MSG_NOSIGNAL);
    for (int i = 0; i < 64; ++i)
      benchmark::DoNotOptimize(server.ReadLine(10000));
  }
  state.SetItemsProcessed(state.iterations() * 64);
  ::close(client);
}
BENCHMARK(BM_ReadLineCommands);

// One whole connection: connect, read the greeting, close; the core starts and reclaims a
// thread each time.
void BM_ConnectGreetClose(benchmark::State& state) {
  TZQServerCore core;
  core.SetServerPort(0);
  core.SetBindTo("127.0.0.1");
  core.SetThreadCacheSize(100);
  core.SetOnNewConnect([](TZQClientThread& client) {
    client.Socket.WriteLine("+OK hello");
    client.Socket.AwaitData(5000);
  });
  core.Start();
  core.WaitUntilListening(5000);
  int port = core.ListeningPort();
  char greeting[16];
  for (auto _ : state) {
    int fd = ConnectLoopback(port);
    ::recv(fd, greeting, 11, MSG_WAITALL);  // "+OK hello" CR LF
    ::close(fd);
  }
  state.SetItemsProcessed(state.iterations());
  core.StopAndCloseSessions(5000);
}
BENCHMARK(BM_ConnectGreetClose)->UseRealTime();

// N connections held open at once, each session idle in AwaitData like a logged-in client.
// Reports the time until the last one is served and the memory each costs.
void BM_HoldConnections(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    TZQServerCore core;
    core.SetServerPort(0);
    core.SetBindTo("127.0.0.1");
    core.SetThreadCacheSize(net::kMaxConnections);
    core.SetOnNewConnect([](TZQClientThread& client) {
      while (client.Socket.ValidSocket() && !client.Socket.PeerHasClosed()) {
        client.Socket.AwaitData(10000);
      }
    });
    core.Start();
    core.WaitUntilListening(5000);
    int port = core.ListeningPort();
    long rssBefore = StatusKb("VmRSS");
    auto start = std::chrono::steady_clock::now();
    std::vector<int> clients;
    clients.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      int fd = ConnectLoopback(port);
      if (fd < 0) {
        state.SkipWithError("connect failed (descriptor limit?)");
        break;
      }
      clients.push_back(fd);
      // Stay within the listen backlog, as real clients spread over time would.
      WaitUntil([&] { return i + 1 - core.ActiveSessions() < 90; }, 10000);
    }
    bool all = WaitUntil([&] { return core.ActiveSessions() == count; }, 60000);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long rssAfter = StatusKb("VmRSS");
    if (!all) state.SkipWithError("not every connection was served");
    state.counters["accept_all_s"] = seconds;
    state.counters["rss_kib_per_conn"] =
        static_cast<double>(rssAfter - rssBefore) / static_cast<double>(count);
    state.counters["threads"] = core.ActiveSessions();
    for (int fd : clients)
      ::close(fd);
    WaitUntil([&] { return core.ActiveSessions() == 0; }, 60000);
  }
}
// The process holds both ends of every connection, so 8000 connections use 16000 descriptors.
BENCHMARK(BM_HoldConnections)->Arg(1000)->Arg(8000)->Iterations(1)->UseRealTime();

}  // namespace
}  // namespace zorvic

BENCHMARK_MAIN();
