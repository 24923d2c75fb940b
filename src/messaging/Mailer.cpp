// The mail queue's entry point and the password mail of command 2019.
#include "messaging/Mailer.h"

#include <ctime>
#include <exception>
#include <stdexcept>
#include <string>

#include "app/ErrorText.h"
#include "app/Server.h"
#include "app/ThreadINIFile.h"
#include "messaging/MailQueue.h"
#include "messaging/MailText.h"
#include "messaging/MailerLimits.h"
#include "messaging/MailerThread.h"
#include "messaging/SmtpClient.h"
#include "net/ZQSock.h"
#include "protocol/ClientInfo.h"
#include "protocol/Command.h"

namespace zorvic {

namespace {

constexpr std::int32_t kCmdSendPasswordByEmail = 2019;

}  // namespace

void QueueMailItem(cServer& server, cMailQueueItem item) {
  if (!Mailer) {
    server.WriteLog("In cServer.QueueMailItem (): The mailer is not running; the e-mail copy for " +
                    item.UserName + " is not sent");
    return;
  }
  Mailer->QueueItem(server, std::move(item));
}

void SendPasswordByEmail(cServer& server, const cClientInfoStruct& session, TZQSock& socket) {
  socket.WriteLine("+OK Trying to send info by email");
  try {
    if (session.UserName.empty()) {
      throw std::runtime_error("No account is loaded: name the user with command 1000 first");
    }
    if (session.PrimaryEmail.empty()) {
      throw std::runtime_error("The user " + session.UserName + " has no e-mail address");
    }
    cMailMessage mail = PasswordMail(session.UserName, session.Password, session.PrimaryEmail,
                                     LocalMailDate(std::time(nullptr)));
    const std::string smtpServer =
        ReadIniString(server.ServerOptions(), kServerOptionsSection, "SMTPServer", "");
    // The mailer's time-outs and stop descriptor: a stopping server is not kept waiting.
    TSmtpClient client(Mailer ? Mailer->ConnectTimeoutMs() : kSmtpConnectTimeoutMs,
                       Mailer ? Mailer->ReplyTimeoutMs() : kSmtpReplyTimeoutMs,
                       Mailer ? Mailer->StopFd() : -1);
    client.Connect(smtpServer);
    client.SendMail(mail);
    client.Quit();
  } catch (...) {
    server.WriteLog("In cServer.SendPasswordByEmail (): " + ErrorMessage(std::current_exception()));
  }
}

bool DispatchPasswordMailCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                                 const cCommandStruct& command) {
  if (command.Code != kCmdSendPasswordByEmail) return false;
  SendPasswordByEmail(server, session, socket);
  return true;
}

}  // namespace zorvic
