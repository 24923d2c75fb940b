#include <gtest/gtest.h>

#include <atomic>

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

  TZQRequestReplyServerCore core;
  std::atomic<int> started{0};
  std::atomic<int> finished{0};
};

TEST(ServerCore, AcceptsAndRunsOneThreadPerConnection) {
  EchoCore echo;
  int port = echo.Start();
  ASSERT_NE(port, 0);
  RawClient a(port), b(port);
  EXPECT_EQ(a.ReceiveLine(), "hello");
  EXPECT_EQ(b.ReceiveLine(), "hello");
  ASSERT_TRUE(a.Send("one\r\n"));
  ASSERT_TRUE(b.Send("two\n"));
  EXPECT_EQ(a.ReceiveLine(), "echo one");
  EXPECT_EQ(b.ReceiveLine(), "echo two");
  EXPECT_EQ(echo.core.ActiveSessions(), 2);
  a.Send("bye\r\n");
  EXPECT_TRUE(a.SeesClose());
  EXPECT_TRUE(WaitFor([&] { return echo.core.ActiveSessions() == 1; }));
}

}  // namespace
}  // namespace zorvic
