// ProcessCommand through the C++ API on a connected pair of sockets, for the stages that the
// wire cannot reach yet (the command stage needs a login).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "app/Console.h"
#include "app/Server.h"
#include "net/ZQServerCore.h"
#include "net/ZQSock.h"
#include "protocol/ClientInfo.h"
#include "protocol/Command.h"
#include "support/TempDir.h"

using namespace zorvic;
using zorvic::testing::TTempDir;

namespace {

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetConsoleSink([](std::string_view) {});
    server = std::make_unique<cServer>(0, options);
    ASSERT_TRUE(listener.Listen(0));
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.LocalPort()));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!listener.Accept(peer, 50) && std::chrono::steady_clock::now() < until) {
    }
    ASSERT_TRUE(peer.ValidSocket());
  }
  void TearDown() override {
    server.reset();
    SetConsoleSink({});
  }
  std::string Run(const std::string& line) {
    cCommandStruct command;
    ParseCommand(line, command);
    server->ProcessCommand(peer, session, command);
    return client.ReadLine(5000);
  }

  TTempDir dir;
  TThreadINIFile options{dir.File("ServerOptions.ini")};
  std::unique_ptr<cServer> server;
  TZQSock listener, peer, client;
  cClientInfoStruct session;
};

TEST_F(DispatchTest, AuthenticationStageRefusesCommandStageCodes) {
  session.Password = "secret";
  EXPECT_EQ(Run("2001"), "-ERR Unrecognized command in the authentication stage: 2001");
  EXPECT_EQ(Run("2105"), "-ERR Unrecognized command in the authentication stage: 2105");
  EXPECT_EQ(Run("letters"), "-ERR Unrecognized command in the authentication stage: -1");
  EXPECT_EQ(Run(""), "-ERR Unrecognized command in the authentication stage: -1");
}

TEST_F(DispatchTest, CommandStageAnswersPasswordAndAdminPower) {
  session.Authenticated = true;
  session.Password = "s3cret pass";
  EXPECT_EQ(Run("2001"), "s3cret pass");
  EXPECT_EQ(Run("2001 ignored"), "s3cret pass");
  EXPECT_EQ(Run("2105"), "+OK 0");
  session.HasAdminPower = true;
  EXPECT_EQ(Run("2105"), "+OK 1");
  EXPECT_EQ(Run("1000 alice"), "-ERR Unrecognized command: 1000");
  EXPECT_EQ(Run("1001"), "-ERR Unrecognized command: 1001");
  EXPECT_EQ(Run(" 2105"), "-ERR Unrecognized command: -1");
}

TEST_F(DispatchTest, GoodbyeInEitherStageRepliesThenCloses) {
  for (bool authenticated : {false, true}) {
    SCOPED_TRACE(authenticated);
    session.Authenticated = authenticated;
    cCommandStruct command;
    ParseCommand("2000", command);
    auto started = std::chrono::steady_clock::now();
    std::thread serverSide([&] { server->ProcessCommand(peer, session, command); });
    EXPECT_EQ(client.ReadLine(5000), "+OK Goodbye!");
    EXPECT_FALSE(client.AwaitData(2000));  // the server's side is closed after the reply
    client.CloseNormal();
    serverSide.join();  // the drain ends as soon as the client has gone
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
    EXPECT_FALSE(peer.ValidSocket());
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.LocalPort()));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!listener.Accept(peer, 50) && std::chrono::steady_clock::now() < until) {
    }
  }
}

TEST_F(DispatchTest, RepliesToAGoneClientDoNotEscape) {
  session.Authenticated = true;
  client.CloseAbort();
  cCommandStruct command;
  ParseCommand("2105", command);
  for (int i = 0; i < 3; ++i)
    server->ProcessCommand(peer, session, command);
  ParseCommand("2000", command);
  server->ProcessCommand(peer, session, command);
  EXPECT_FALSE(peer.ValidSocket());
}

}  // namespace
