#include "messaging/MailerThread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "app/ErrorText.h"
#include "app/Folders.h"
#include "app/Server.h"
#include "app/SharedSql.h"
#include "app/ThreadINIFile.h"
#include "messaging/MailText.h"
#include "messaging/MailboxRegistry.h"
#include "messaging/MailerLimits.h"
#include "messaging/SmtpClient.h"

namespace zorvic {

cMailer* Mailer = nullptr;

namespace {

constexpr const char* kUnavailableWarning =
    "Warning: message forwarding failed, SMTP server unavailable";

int EnvironmentMs(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value <= 0 || value > 3600000) return fallback;
  return static_cast<int>(value);
}

// The stored message, copied out of the mailbox so it can be sent without its locks.
struct cStoredMessage {
  std::string From;
  std::optional<std::string> MessageDate;
  std::string Body;
};

// Reads the message of the item under the recipient's mailbox lock and the DatabaseLock;
// nothing when the mailbox or the message no longer exists.
std::optional<cStoredMessage> ReadStoredMessage(cServer& server, const cMailQueueItem& item) {
  // A recipient deleted meanwhile has no folder; opening the mailbox would create it again.
  std::error_code ignored;
  if (!IsSafeFolderName(item.UserName) ||
      !std::filesystem::is_directory(UserFolderPath(item.UserName), ignored)) {
    return std::nullopt;
  }
  cUserQueryStruct* box = server.ReferenceUserQuery(item.UserName);
  if (!box) return std::nullopt;  // logged by the registry
  std::optional<cStoredMessage> message;
  std::exception_ptr error;
  cUserQueryStruct* held = server.LockUserQuery(box);
  try {
    cSqlRows rows =
        RunSelect(*held->Query, "Select * from messages where MessageID=?", {item.MessageID});
    if (!rows.Empty()) {
      const auto& row = rows.Rows.front();
      auto column = [&](const char* name) -> std::optional<std::string> {
        int i = rows.ColumnIndex(name);
        return i < 0 ? std::nullopt : row[static_cast<std::size_t>(i)];
      };
      message.emplace();
      message->From = column("From").value_or("");
      message->MessageDate = column("MessageDate");
      message->Body = column("Body").value_or("");
    }
  } catch (...) {
    error = std::current_exception();
  }
  server.UnlockUserQuery(held);
  server.ReleaseUserQuery(box);
  if (error) std::rethrow_exception(error);
  return message;
}

}  // namespace

bool ForwardQueuedMessage(cServer& server, TSmtpClient& client, const cMailQueueItem& item) {
  std::optional<cStoredMessage> stored;
  try {
    stored = ReadStoredMessage(server, item);
  } catch (...) {
    server.WriteLog("In cServer.ForwardQueuedMessage (): " +
                    ErrorMessage(std::current_exception()));
    return false;
  }
  if (!stored) return true;

  cMailDate date;
  if (!stored->MessageDate || !ParseLocalTimeStamp(*stored->MessageDate, date)) {
    date = LocalMailDate(std::time(nullptr));
  }
  const std::string subjectLine =
      ReadIniString(server.ServerOptions(), kServerOptionsSection, "SubjectLine", "");
  cMailMessage mail = ForwardedMail(stored->From, item.SenderEmail, item.PrimaryEmail,
                                    item.SecondaryEmail, subjectLine, date, stored->Body);
  // An address that could change the SMTP commands is never sent; the item is given up.
  std::vector<std::string> addresses = mail.To;
  addresses.insert(addresses.begin(), mail.FromAddress);
  for (const std::string& address : addresses) {
    if (!IsSafeMailAddress(address)) {
      server.WriteLog("In cServer.ForwardQueuedMessage (): Invalid e-mail address \"" +
                      PrintableMailAddress(address) + "\" for the message " +
                      std::to_string(item.MessageID) + " of " + item.UserName);
      return false;
    }
  }
  try {
    client.SendMail(mail);
  } catch (const ESmtpError& e) {
    if (e.Kind() == ESmtpError::Unavailable) throw;
    return false;  // rejected: dropped without a log entry
  }
  std::string recipients;
  for (const std::string& to : mail.To) {
    if (!recipients.empty()) recipients += ", ";
    recipients += to;
  }
  server.WriteLog("Message forwarded to " + recipients);
  return true;
}

// The body of one mailer thread.
class cMailerThread {
 public:
  cMailerThread(cMailer& mailer, cServer& server) : fMailer(mailer), fServer(server) {}

  void Execute() noexcept {
    for (;;) {
      if (fMailer.FinishIfIdle()) return;
      std::uint64_t serial = fMailer.QueuedSerial();
      try {
        DrainOnce();
        continue;  // the queue was empty a moment ago: check it again under the lock
      } catch (const ESmtpError&) {
        if (fMailer.Stopping()) continue;
        if (!fMailer.fWarned) {
          fMailer.fWarned = true;
          fServer.WriteLog(kUnavailableWarning);
        }
      } catch (...) {
        fServer.WriteLog("In cServer.ForwardQueuedMessage (): " +
                         ErrorMessage(std::current_exception()));
      }
      fMailer.PauseForRetry(serial);
    }
  }

 private:
  // Connects and forwards until the queue is empty. Raises ESmtpError when the server is
  // unavailable; the item in transit is back at the front of the queue by then.
  void DrainOnce() {
    const std::string smtpServer =
        ReadIniString(fServer.ServerOptions(), kServerOptionsSection, "SMTPServer", "");
    TSmtpClient client(fMailer.fConnectTimeoutMs, fMailer.fReplyTimeoutMs, fMailer.fStopFd);
    client.Connect(smtpServer);
    fMailer.fWarned = false;  // the outage, if there was one, is over
    cMailQueueItem item;
    while (!fMailer.Stopping() && fMailer.TakeFirst(item)) {
      try {
        (void)ForwardQueuedMessage(fServer, client, item);
      } catch (const ESmtpError&) {
        fMailer.PutBack(std::move(item));
        throw;
      }
    }
    client.Quit();
  }

  cMailer& fMailer;
  cServer& fServer;
};

cMailer::cMailer()
    : fConnectTimeoutMs(EnvironmentMs("ZORVIC_SMTP_TIMEOUT_MS", kSmtpConnectTimeoutMs)),
      fReplyTimeoutMs(EnvironmentMs("ZORVIC_SMTP_TIMEOUT_MS", kSmtpReplyTimeoutMs)),
      fRetryIntervalMs(EnvironmentMs("ZORVIC_MAIL_RETRY_MS", kMailRetryIntervalMs)) {
  fStopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fStopFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

cMailer::~cMailer() {
  Stop();
  ::close(fStopFd);
}

void cMailer::QueueItem(cServer& server, cMailQueueItem item) {
  std::string failure;
  {
    std::lock_guard<std::recursive_mutex> hold(MailerLock);
    if (fStopping) return;  // the server is closing; nothing would send it any more
    {
      std::lock_guard<std::mutex> queue(fQueueLock);
      MailQueue.push_back(std::move(item));
      ++fSerial;
    }
    fQueued.notify_all();
    if (!MailerRunning) {
      // The last thread cleared the flag as its final step, so this join is immediate.
      if (fThread.joinable()) fThread.join();
      try {
        fThread = std::thread([this, &server] { cMailerThread(*this, server).Execute(); });
        MailerRunning = true;
      } catch (const std::exception& e) {
        failure = e.what();
      }
    }
  }
  // Logged after leaving MailerLock: WriteLog takes the DatabaseLock, which comes first.
  if (!failure.empty()) {
    server.WriteLog("In cServer.QueueMailItem (): Unable to start the mailer thread: " + failure);
  }
}

void cMailer::Stop() {
  std::thread last;
  {
    std::lock_guard<std::recursive_mutex> hold(MailerLock);
    if (!fStopping) {
      fStopping = true;
      fStopRequested = true;
      std::uint64_t one = 1;
      (void)!::write(fStopFd, &one, sizeof one);
    }
    last = std::move(fThread);
  }
  {
    std::lock_guard<std::mutex> queue(fQueueLock);
    fQueued.notify_all();
  }
  if (last.joinable()) last.join();
}

std::size_t cMailer::QueuedCount() {
  std::lock_guard<std::mutex> queue(fQueueLock);
  return MailQueue.size();
}

bool cMailer::Running() {
  std::lock_guard<std::recursive_mutex> hold(MailerLock);
  return MailerRunning;
}

bool cMailer::TakeFirst(cMailQueueItem& item) {
  std::lock_guard<std::mutex> queue(fQueueLock);
  if (MailQueue.empty()) return false;
  item = std::move(MailQueue.front());
  MailQueue.pop_front();
  return true;
}

void cMailer::PutBack(cMailQueueItem item) {
  std::lock_guard<std::mutex> queue(fQueueLock);
  MailQueue.push_front(std::move(item));
}

bool cMailer::FinishIfIdle() {
  std::lock_guard<std::recursive_mutex> hold(MailerLock);
  bool idle;
  {
    std::lock_guard<std::mutex> queue(fQueueLock);
    idle = MailQueue.empty();
  }
  if (!idle && !fStopping) return false;
  MailerRunning = false;
  return true;
}

void cMailer::PauseForRetry(std::uint64_t serial) {
  std::unique_lock<std::mutex> queue(fQueueLock);
  fQueued.wait_for(queue, std::chrono::milliseconds(fRetryIntervalMs),
                   [&] { return fSerial != serial || Stopping(); });
}

std::uint64_t cMailer::QueuedSerial() {
  std::lock_guard<std::mutex> queue(fQueueLock);
  return fSerial;
}

bool cMailer::Stopping() {
  return fStopRequested.load();
}

}  // namespace zorvic
