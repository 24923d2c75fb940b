#include "app/Server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/Console.h"
#include "net/ZQServerCore.h"
#include "net/ZQSock.h"
#include "support/TempDir.h"

using namespace zorvic;
using zorvic::testing::TTempDir;
using zorvic::testing::WriteFileBytes;

namespace {

// A cServer on a free port in a temporary folder, with its console and log captured.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetConsoleSink([this](std::string_view line) { console.emplace_back(line); });
  }
  void TearDown() override {
    server.reset();
    SetConsoleSink({});
  }
  void Options(const std::string& text) { WriteFileBytes(dir.File("ServerOptions.ini"), text); }
  void Start(int port = 0) {
    server = std::make_unique<cServer>(port, options, [this](const std::string& entry) {
      std::lock_guard<std::mutex> guard(logMutex);
      log.push_back(entry);
    });
  }
  int Port() {
    EXPECT_TRUE(server->Core->WaitUntilListening(5000));
    return server->Core->ListeningPort();
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> guard(logMutex);
    return log;
  }

  TTempDir dir;
  TThreadINIFile options{dir.File("ServerOptions.ini")};
  std::vector<std::string> console;
  std::mutex logMutex;
  std::vector<std::string> log;
  std::unique_ptr<cServer> server;
};

TEST_F(ServerTest, BannerAndDefaultOptions) {
  Start();
  EXPECT_EQ(console, (std::vector<std::string>{
                         "Zorvic Server 1.04 has started.",
                         "Please use the Zorvic Management Console to manage user accounts.",
                         "To configure how Zorvic Server starts, run the Server Configuration "
                         "utility.",
                         "To close Zorvic Server, type \"quit\" and press the Enter key."}));
  EXPECT_TRUE(server->DataScrambling);
  EXPECT_FALSE(server->EnableLogging);
  EXPECT_EQ(server->Core->ThreadCacheSize(), 10000);
  EXPECT_FALSE(server->Core->UseThreadPool());
  EXPECT_GT(Port(), 0);
  EXPECT_TRUE(server->Shutdown());
  EXPECT_TRUE(Log().empty());  // logging is off by default, whatever happens
}

TEST_F(ServerTest, OptionsAreReadOnceAtCreation) {
  Options("[serveroptions]\ndatascrambling=false\nenablelogging=1\n");
  Start();
  EXPECT_TRUE(server->DataScrambling);  // a word is not an integer: default true stays
  EXPECT_TRUE(server->EnableLogging);
  Options("[ServerOptions]\nDataScrambling=0\nEnableLogging=0\n");
  EXPECT_TRUE(server->EnableLogging);  // changes wait for the next start
  server.reset();
  Start();
  EXPECT_FALSE(server->DataScrambling);
  EXPECT_FALSE(server->EnableLogging);
}

TEST_F(ServerTest, LogEntriesMarkTheRunAndAreCut) {
  Options("[ServerOptions]\nEnableLogging=1\n");
  Start();
  server->WriteLog(std::string(300, 'x'));
  server.reset();
  auto entries = Log();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], "Start of log file");
  EXPECT_EQ(entries[1], std::string(250, 'x'));
  EXPECT_EQ(entries[2], "Server is closing. End of logfile.");
}

TEST_F(ServerTest, PortTakenLogsTheFailureAndKeepsTheServer) {
  TZQSock blocker;
  ASSERT_TRUE(blocker.Listen(0));
  Options("[ServerOptions]\nEnableLogging=1\n");
  Start(blocker.LocalPort());
  EXPECT_FALSE(server->Core->WaitUntilListening(5000));
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (Log().size() < 2 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(Log().size(), 2u);
  EXPECT_EQ(Log()[1], "Could not start server socket, error #10048");
  EXPECT_EQ(console.size(), 4u);  // the banner is printed all the same
  EXPECT_TRUE(server->Shutdown());
}

TEST_F(ServerTest, ShutdownClosesOpenSessionsBeforeReturning) {
  Start();
  int port = Port();
  std::vector<std::unique_ptr<TZQSock>> clients;
  for (int i = 0; i < 8; ++i) {
    clients.push_back(std::make_unique<TZQSock>());
    ASSERT_TRUE(clients.back()->Connect("127.0.0.1", port));
  }
  clients[0]->WriteText("21");  // half a line
  clients[1]->WriteLine("2105");
  EXPECT_EQ(clients[1]->ReadLine(5000),
            "-ERR Unrecognized command in the authentication stage: 2105");
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (server->Core->ActiveSessions() < 8 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(server->Shutdown());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(server->Core->ActiveSessions(), 0);
  for (auto& c : clients)
    EXPECT_FALSE(c->AwaitData(2000)) << "still open";
  EXPECT_TRUE(server->Shutdown());  // a second call changes nothing
}

}  // namespace
