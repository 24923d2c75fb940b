// The mail queue and the mailer thread against a scripted SMTP server on loopback: the
// command sequence with the HELO fallback, a refused recipient followed by good items, a
// deleted message, an unsafe address, an unavailable server retried with one warning, a
// silent server that Stop does not wait for, and items queued from many threads while the
// mailer keeps finishing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/Folders.h"
#include "app/Server.h"
#include "app/SharedSql.h"
#include "app/ThreadINIFile.h"
#include "messaging/MailQueue.h"
#include "messaging/MailboxRegistry.h"
#include "messaging/MailerThread.h"
#include "support/TempDir.h"

using namespace zorvic;
using zorvic::testing::TTempDir;
using zorvic::testing::WriteFileBytes;

namespace {

bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// One connection at a time; answers as a small SMTP server would, or not at all.
class TScriptedSmtp {
 public:
  struct cMail {
    std::string From;
    std::vector<std::string> To;
    std::string Data;
  };

  TScriptedSmtp() {
    fListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fListen, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fListen, 16);
    socklen_t len = sizeof a;
    ::getsockname(fListen, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
    fThread = std::thread([this] { Run(); });
  }
  ~TScriptedSmtp() {
    fStop = true;
    fThread.join();
    ::close(fListen);
  }

  std::vector<cMail> Mails() {
    std::lock_guard<std::mutex> g(fLock);
    return fMails;
  }
  std::vector<std::string> Commands() {
    std::lock_guard<std::mutex> g(fLock);
    return fCommands;
  }

  int Port = 0;
  std::atomic<bool> Silent{false};
  std::atomic<bool> RefuseEhlo{false};
  std::set<std::string> RefusedRecipients;  // set before use

 private:
  void Run() {
    while (!fStop) {
      pollfd p{fListen, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int c = ::accept4(fListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      Serve(c);
      ::close(c);
    }
  }
  bool ReadLine(int c, std::string& line) {
    line.clear();
    for (;;) {
      std::size_t nl = fBuffer.find("\r\n");
      if (nl != std::string::npos) {
        line = fBuffer.substr(0, nl);
        fBuffer.erase(0, nl + 2);
        return true;
      }
      pollfd p{c, POLLIN, 0};
      if (fStop) return false;
      if (::poll(&p, 1, 20) <= 0) continue;
      char b[4096];
      ssize_t n = ::recv(c, b, sizeof b, 0);
      if (n <= 0) return false;
      fBuffer.append(b, static_cast<std::size_t>(n));
    }
  }
  void Say(int c, const std::string& text) {
    (void)!::send(c, text.data(), text.size(), MSG_NOSIGNAL);
  }
  void Serve(int c) {
    fBuffer.clear();
    if (Silent) {
      while (!fStop && Silent)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      return;
    }
    Say(c, "220 scripted ESMTP\r\n");
    cMail mail;
    std::string line;
    while (ReadLine(c, line)) {
      {
        std::lock_guard<std::mutex> g(fLock);
        fCommands.push_back(line);
      }
      if (line.rfind("EHLO ", 0) == 0) {
        Say(c, RefuseEhlo ? "502 5.5.2 not here\r\n" : "250-scripted\r\n250 8BITMIME\r\n");
      } else if (line.rfind("HELO ", 0) == 0 || line == "RSET") {
        Say(c, "250 ok\r\n");
        mail = cMail{};
      } else if (line.rfind("MAIL FROM:<", 0) == 0) {
        mail.From = line.substr(11, line.size() - 12);
        Say(c, "250 ok\r\n");
      } else if (line.rfind("RCPT TO:<", 0) == 0) {
        std::string to = line.substr(9, line.size() - 10);
        if (RefusedRecipients.count(to)) {
          Say(c, "550 no such user\r\n");
        } else {
          mail.To.push_back(to);
          Say(c, "251 will forward\r\n");
        }
      } else if (line == "DATA") {
        Say(c, "354 go ahead\r\n");
        while (ReadLine(c, line) && line != ".")
          mail.Data += line + "\r\n";
        {
          std::lock_guard<std::mutex> g(fLock);
          fMails.push_back(mail);
        }
        Say(c, "250 queued\r\n");
      } else if (line == "QUIT") {
        Say(c, "221 bye\r\n");
        return;
      } else {
        Say(c, "500 what\r\n");
      }
    }
  }

  int fListen = -1;
  std::atomic<bool> fStop{false};
  std::thread fThread;
  std::string fBuffer;
  std::mutex fLock;
  std::vector<cMail> fMails;
  std::vector<std::string> fCommands;
};

class MailerQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("ZORVIC_MAIL_RETRY_MS", "200", 1);
    ::setenv("ZORVIC_SMTP_TIMEOUT_MS", "30000", 1);
    SetAppFolder(home.Path());
    CreateServerFolders();
    SetSmtpServer("127.0.0.1:" + std::to_string(smtp.Port));
    server = std::make_unique<cServer>(0, options, [this](const std::string& entry) {
      std::lock_guard<std::mutex> guard(logMutex);
      log.push_back(entry);
    });
    mailer = std::make_unique<cMailer>();
    Mailer = mailer.get();
  }
  void TearDown() override {
    mailer->Stop();
    Mailer = nullptr;
    mailer.reset();
    server.reset();
  }
  void SetSmtpServer(const std::string& spec) {
    WriteFileBytes(home.File("ServerOptions.ini"),
                   "[ServerOptions]\nEnableLogging=1\nSMTPServer=" + spec + "\n");
  }
  int LogCount(const std::string& text) {
    std::lock_guard<std::mutex> guard(logMutex);
    return static_cast<int>(std::count(log.begin(), log.end(), text));
  }
  // Stores a message in the user's mailbox; its MessageID.
  std::int32_t Store(const std::string& user, const std::string& body) {
    cUserQueryStruct* box = server->ReferenceUserQuery(user);
    EXPECT_NE(box, nullptr);
    cUserQueryStruct* held = server->LockUserQuery(box);
    RunExec(*held->Query, "Insert into Messages (From, To, Body) values (?, ?, ?)",
            {"alice", user, cSqlMemo{body}});
    cSqlRows rows = RunSelect(*held->Query, "Select MAX(MessageID) from Messages");
    server->UnlockUserQuery(held);
    server->ReleaseUserQuery(box);
    return std::stoi(*rows.Rows.at(0).at(0));
  }
  cMailQueueItem Item(const std::string& user, std::int32_t id, const std::string& to,
                      const std::string& second = "") {
    return cMailQueueItem{user, "alice@x", to, second, id};
  }

  TScriptedSmtp smtp;
  TTempDir home;
  TThreadINIFile options{home.File("ServerOptions.ini")};
  std::mutex logMutex;
  std::vector<std::string> log;
  std::unique_ptr<cServer> server;
  std::unique_ptr<cMailer> mailer;
};

TEST_F(MailerQueueTest, CommandSequenceWithHeloFallback) {
  smtp.RefuseEhlo = true;
  QueueMailItem(*server, Item("bob", Store("bob", "hi\n.\nthere"), "bob@x", "bob@home"));
  ASSERT_TRUE(WaitFor([&] { return LogCount("Message forwarded to bob@x, bob@home") == 1; }));
  ASSERT_TRUE(WaitFor([&] { return !mailer->Running(); }));
  std::vector<std::string> commands = smtp.Commands();
  ASSERT_GE(commands.size(), 7u);
  EXPECT_EQ(commands[0].rfind("EHLO ", 0), 0u);
  EXPECT_EQ(commands[1], "HELO " + commands[0].substr(5));
  EXPECT_EQ(commands[2], "RSET");
  EXPECT_EQ(commands[3], "MAIL FROM:<alice@x>");
  EXPECT_EQ(commands[4], "RCPT TO:<bob@x>");
  EXPECT_EQ(commands[5], "RCPT TO:<bob@home>");
  EXPECT_EQ(commands[6], "DATA");
  std::vector<TScriptedSmtp::cMail> mails = smtp.Mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_NE(mails[0].Data.find("\r\n\r\nThis message was forwarded to you by Zorvic Messenger:"
                               "\r\n\r\nhi\r\n..\r\nthere\r\n"),
            std::string::npos)
      << mails[0].Data;
  EXPECT_EQ(mailer->QueuedCount(), 0u);
}

TEST_F(MailerQueueTest, RejectedDeletedAndUnsafeItemsAreDroppedAndTheRestSent) {
  smtp.RefusedRecipients = {"rick@x"};
  std::int32_t bob = Store("bob", "for bob");
  std::int32_t rick = Store("rick", "for rick");
  QueueMailItem(*server, Item("rick", rick, "rick@x"));
  QueueMailItem(*server, Item("bob", bob + 100, "bob@x"));               // no such message
  QueueMailItem(*server, Item("ghost", 1, "ghost@x"));                   // no such mailbox
  QueueMailItem(*server, Item("bob", bob, "bob@x\r\nRCPT TO:<eve@x>"));  // unsafe
  QueueMailItem(*server, Item("bob", bob, "bob@x"));
  ASSERT_TRUE(WaitFor([&] { return smtp.Mails().size() == 1 && !mailer->Running(); }));
  EXPECT_EQ(smtp.Mails()[0].To, std::vector<std::string>{"bob@x"});
  EXPECT_EQ(LogCount("Message forwarded to bob@x"), 1);
  EXPECT_EQ(LogCount("In cServer.ForwardQueuedMessage (): Invalid e-mail address "
                     "\"bob@x\\x0D\\x0ARCPT TO:<eve@x>\" for the message " +
                     std::to_string(bob) + " of bob"),
            1);
  EXPECT_FALSE(std::filesystem::exists(UsersFolder + "ghost"));  // not created by the mailer
  for (const std::string& c : smtp.Commands())
    EXPECT_EQ(c.find("eve"), std::string::npos);
}

TEST_F(MailerQueueTest, UnavailableServerIsRetriedWithOneWarning) {
  const std::string warning = "Warning: message forwarding failed, SMTP server unavailable";
  SetSmtpServer("");
  std::int32_t id = Store("bob", "later");
  QueueMailItem(*server, Item("bob", id, "bob@x"));
  ASSERT_TRUE(WaitFor([&] { return LogCount(warning) == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // several retries
  EXPECT_EQ(LogCount(warning), 1);
  EXPECT_EQ(mailer->QueuedCount(), 1u);
  EXPECT_TRUE(mailer->Running());
  SetSmtpServer("127.0.0.1:" + std::to_string(smtp.Port));
  ASSERT_TRUE(WaitFor([&] { return smtp.Mails().size() == 1 && !mailer->Running(); }));
  EXPECT_EQ(mailer->QueuedCount(), 0u);
  // a new outage is warned about again
  SetSmtpServer("127.0.0.1:1");
  QueueMailItem(*server, Item("bob", id, "bob@x"));
  ASSERT_TRUE(WaitFor([&] { return LogCount(warning) == 2; }));
}

TEST_F(MailerQueueTest, StopDoesNotWaitForASilentServer) {
  smtp.Silent = true;
  QueueMailItem(*server, Item("bob", Store("bob", "x"), "bob@x"));
  ASSERT_TRUE(WaitFor([&] { return mailer->Running(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto t0 = std::chrono::steady_clock::now();
  mailer->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_FALSE(mailer->Running());
  // after Stop nothing is queued or started any more
  QueueMailItem(*server, Item("bob", 1, "bob@x"));
  EXPECT_FALSE(mailer->Running());
  smtp.Silent = false;
}

TEST_F(MailerQueueTest, ItemsQueuedWhileTheMailerFinishesAreNeverStranded) {
  const int threads = 4;
  const int perThread = std::getenv("ZORVIC_LONG_TESTS") ? 100 : 15;
  std::int32_t id = Store("bob", "many");
  std::vector<std::thread> senders;
  for (int t = 0; t < threads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < perThread; ++i) {
        QueueMailItem(*server, Item("bob", id, "bob@x"));
        // uneven pauses, so items often arrive just as the mailer finds the queue empty
        std::this_thread::sleep_for(std::chrono::microseconds(((i * 7 + t * 13) % 5) * 700));
      }
    });
  }
  for (std::thread& s : senders)
    s.join();
  ASSERT_TRUE(WaitFor(
      [&] { return smtp.Mails().size() == static_cast<std::size_t>(threads * perThread); }, 30000))
      << smtp.Mails().size();
  ASSERT_TRUE(WaitFor([&] { return !mailer->Running(); }));
  EXPECT_EQ(mailer->QueuedCount(), 0u);
}

}  // namespace
