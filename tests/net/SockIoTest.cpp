// Writing, waiting, closing, listening and connecting with TZQSock over loopback.
#include <gtest/gtest.h>

#include <atomic>

#include "NetTestSupport.h"

namespace zorvic {
namespace {

using testing::Int32Bytes;
using testing::RawClient;
using testing::SocketPair;
using testing::WaitFor;

TEST(SockWrite, LinesIntegersAndTextAreExactOnTheWire) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  EXPECT_EQ(pair.server.WriteLine("+OK Goodbye!"), 14);
  EXPECT_EQ(pair.server.WriteInt32(-2), 4);
  EXPECT_EQ(pair.server.WriteInt32(2022), 4);
  EXPECT_EQ(pair.server.WriteText("raw"), 3);
  EXPECT_EQ(pair.server.WriteBuffer("x", 0), 0);
  EXPECT_EQ(pair.server.WriteBuffer("x", -5), 0);
  EXPECT_EQ(pair.client.Receive(25),
            "+OK Goodbye!\r\n" + Int32Bytes(-2) + Int32Bytes(2022) + "raw");
  EXPECT_EQ(pair.server.LastCommandStatus(), 0);
}

TEST(SockWrite, LargeBlockToAReadingPeerArrivesWhole) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  std::string block(3 * 1024 * 1024, '\0');
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<char>(i % 251);
  std::string received;
  std::thread reader([&] { received = pair.client.Receive(block.size(), 20000); });
  EXPECT_EQ(pair.server.WriteBuffer(block.data(), static_cast<int>(block.size())),
            static_cast<int>(block.size()));
  reader.join();
  EXPECT_TRUE(received == block);
}

TEST(SockWrite, PeerThatNeverReadsEndsTheWriteAndTheConnection) {
  SocketPair pair(4096);
  ASSERT_TRUE(pair.ok);
  pair.server.SetTimeouts(300, 300);
  std::string block(16 * 1024 * 1024, 'w');
  auto start = std::chrono::steady_clock::now();
  int sent = pair.server.WriteBuffer(block.data(), static_cast<int>(block.size()));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, static_cast<int>(block.size()));
  EXPECT_EQ(pair.server.LastCommandStatus(), kSockErrTimedOut);
  EXPECT_FALSE(pair.server.ValidSocket());
  EXPECT_GE(elapsed, std::chrono::milliseconds(250));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  // Nothing further goes out on the torn connection.
  EXPECT_EQ(pair.server.WriteLine("next record"), 0);
}

TEST(SockWrite, PeerThatHasGoneClosesTheSocketWithoutASignal) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  pair.client.Close();
  std::string block(256 * 1024, 'g');
  // The first write may still be taken by the system; a later one meets the reset.
  bool closed = WaitFor([&] {
    pair.server.WriteBuffer(block.data(), static_cast<int>(block.size()));
    return !pair.server.ValidSocket();
  });
  EXPECT_TRUE(closed);
  int status = pair.server.LastCommandStatus();
  EXPECT_TRUE(status == kSockErrConnAborted || status == kSockErrConnReset) << status;
}

TEST(SockWait, AwaitDataSeesDataTimeoutAndClose) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  EXPECT_FALSE(pair.server.AwaitData(50));
  EXPECT_TRUE(pair.server.ValidSocket());

  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pair.client.Send("x");
  });
  EXPECT_TRUE(pair.server.AwaitData(5000));
  sender.join();
  EXPECT_FALSE(pair.server.PeerHasClosed());  // bytes are waiting
  EXPECT_EQ(pair.server.ReadChunk(10), "x");

  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pair.client.Close();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(pair.server.AwaitData(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  closer.join();
  EXPECT_FALSE(pair.server.ValidSocket());
  EXPECT_FALSE(pair.server.AwaitData(10));
}

TEST(SockWait, PeerHasClosedAndConnected) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  EXPECT_TRUE(pair.server.Connected());
  EXPECT_FALSE(pair.server.PeerHasClosed());
  EXPECT_TRUE(pair.server.Writable());
  EXPECT_FALSE(pair.server.Readable());
  // Bytes sent before the close are still read; only then is the close seen.
  pair.client.Send("last");
  pair.client.Close();
  ASSERT_TRUE(WaitFor([&] { return pair.server.Readable(); }));
  EXPECT_FALSE(pair.server.PeerHasClosed());
  EXPECT_EQ(pair.server.ReadChunk(10), "last");
  EXPECT_TRUE(WaitFor([&] { return pair.server.PeerHasClosed(); }));
  EXPECT_FALSE(pair.server.ValidSocket());
  EXPECT_FALSE(pair.server.Connected());
  EXPECT_EQ(pair.server.CharactersToRead(), 0);
}

TEST(SockWait, InterruptFromAnotherThreadWakesAWaiter) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    pair.server.AwaitData(10000);
    woke = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  pair.server.Interrupt();
  EXPECT_TRUE(WaitFor([&] { return woke.load(); }, 3000));
  waiter.join();
  EXPECT_FALSE(pair.server.ValidSocket());  // the waiter saw the end and closed it
  EXPECT_TRUE(pair.client.SeesClose());
  pair.server.Interrupt();  // harmless once closed
}

TEST(SockClose, GracefulCloseDeliversTheLastReplyDespiteUnreadInput) {
  SocketPair pair(4096);
  ASSERT_TRUE(pair.ok);
  // The client sends its goodbye and more behind it that the server never reads.
  pair.client.Send("2000\r\n" + std::string(10000, 'u'));
  ASSERT_TRUE(WaitFor([&] { return pair.server.CharactersToRead() >= 10006; }));
  EXPECT_EQ(pair.server.ReadLine(1000), "2000");
  // A last reply larger than the client's window: part of it is still queued at the close.
  std::string reply = "+OK Goodbye!\r\n" + std::string(300000, 'r');
  std::thread writer([&] {
    pair.server.WriteText(reply);
    pair.server.CloseGraceful(300);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(pair.client.Receive(reply.size(), 10000) == reply);
  EXPECT_TRUE(pair.client.SeesClose());
  writer.join();
  EXPECT_FALSE(pair.server.ValidSocket());
}

TEST(SockClose, GracefulCloseEndsAsSoonAsThePeerCloses) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  pair.server.WriteLine("+OK Goodbye!");
  std::thread peer([&] {
    EXPECT_EQ(pair.client.ReceiveLine(), "+OK Goodbye!");
    EXPECT_TRUE(pair.client.SeesClose());
    pair.client.Close();
  });
  auto start = std::chrono::steady_clock::now();
  pair.server.CloseGraceful(5000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  peer.join();
}

TEST(SockClose, AbortAndNormalCloseAreIdempotent) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok);
  pair.server.CloseAbort();
  EXPECT_FALSE(pair.server.ValidSocket());
  EXPECT_EQ(pair.server.Handle(), -1);
  pair.server.CloseAbort();
  pair.server.CloseNormal();
  pair.server.CloseGraceful();
  EXPECT_TRUE(pair.client.SeesClose());
  EXPECT_EQ(pair.server.WriteLine("x"), 0);
  EXPECT_EQ(pair.server.ReadLine(10), "");
  EXPECT_EQ(pair.server.ReadInt32(), -1);
}

TEST(SockListen, TakenPortInvalidAddressAndPeerDetails) {
  TZQSock first;
  int port = testing::ListenAnyPort(first);
  ASSERT_NE(port, 0);
  EXPECT_TRUE(first.IsKeepAliveMode());

  TZQSock second;
  second.SetBindTo("127.0.0.1");
  EXPECT_FALSE(second.Listen(port));
  EXPECT_EQ(second.LastCommandStatus(), kSockErrAddrInUse);
  EXPECT_EQ(ErrorText(second.LastCommandStatus()), "Address already in use");
  EXPECT_FALSE(second.ValidSocket());

  TZQSock third;
  third.SetBindTo("not.an.address");
  EXPECT_FALSE(third.Listen(0));
  EXPECT_EQ(third.LastCommandStatus(), kSockErrAddrNotAvail);

  TZQSock target;
  EXPECT_FALSE(first.Accept(target, 20));  // nobody waiting
  EXPECT_FALSE(target.ValidSocket());

  RawClient client(port);
  ASSERT_TRUE(first.Accept(target, 5000));
  EXPECT_TRUE(target.ValidSocket());
  EXPECT_EQ(target.PeerIPAddress(), "127.0.0.1");
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ASSERT_EQ(::getsockname(client.fd(), reinterpret_cast<sockaddr*>(&local), &length), 0);
  EXPECT_EQ(target.PeerPort(), ntohs(local.sin_port));
  EXPECT_TRUE(target.IsKeepAliveMode());
  int keepAlive = 0;
  length = sizeof keepAlive;
  ::getsockopt(target.Handle(), SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &length);
  EXPECT_EQ(keepAlive, 1);
  timeval receive{};
  length = sizeof receive;
  ::getsockopt(target.Handle(), SOL_SOCKET, SO_RCVTIMEO, &receive, &length);
  EXPECT_EQ(receive.tv_sec, 5);
}

TEST(SockConnect, ConnectsTalksAndReportsRefusal) {
  TZQSock listener;
  int port = testing::ListenAnyPort(listener);
  ASSERT_NE(port, 0);
  TZQSock client;
  ASSERT_TRUE(client.Connect("127.0.0.1", port, 2000));
  TZQSock server;
  ASSERT_TRUE(listener.Accept(server, 5000));
  client.WriteLine("2012");
  EXPECT_EQ(server.ReadLine(1000), "2012");
  server.WriteInt32(77);
  EXPECT_EQ(client.ReadInt32(), 77);
  client.CloseNormal();

  listener.CloseNormal();
  TZQSock refused;
  EXPECT_FALSE(refused.Connect("127.0.0.1", port, 2000));
  EXPECT_EQ(refused.LastCommandStatus(), kSockErrConnRefused);
  EXPECT_FALSE(refused.ValidSocket());
}

}  // namespace
}  // namespace zorvic
