// TSmtpClient: one client connection to an SMTP server, for the mailer thread and the
// password mail of 2019.
//
// Connect opens the TCP connection to the server named by the SMTPServer option ("host",
// "host:port" or "[v6 address]:port"; port 25 when none is given), waits for the 220
// greeting and sends "EHLO " + the local host name, falling back to "HELO " when the reply is
// not 250. SendMail runs one message: "RSET" (any reply), "MAIL FROM:<...>" (250), one
// "RCPT TO:<...>" per recipient (250 or 251), "DATA" (354), the text and "." (250). Quit sends
// "QUIT" without waiting for its reply and closes the connection.
//
// Every connect, read and write has a time-out, and every wait also watches an optional stop
// descriptor (readable means: give up now), so a server that accepts and never answers, or
// answers slowly, delays only the mail. Failures raise ESmtpError: Rejected when the server
// answered a command with a reply it should not have (the connection stays usable for the
// next message after RSET), Unavailable when the connection could not be opened or broke
// (closed, timed out, stopped, a reply that is not SMTP); the client is then disconnected.
// Addresses are checked with IsSafeMailAddress before anything is sent for a message; a bad
// one raises Rejected.
//
// Thread safety: one thread at a time uses a client.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "messaging/MailText.h"

namespace zorvic {

class ESmtpError : public std::runtime_error {
 public:
  enum TKind { Unavailable, Rejected };
  ESmtpError(TKind kind, const std::string& message) : std::runtime_error(message), fKind(kind) {}
  TKind Kind() const { return fKind; }

 private:
  TKind fKind;
};

// Splits the SMTPServer option into host and port; false (with `error` set) when it is empty
// or its port is not a number from 1 to 65535. A value with more than one colon and no
// brackets is an IPv6 address on the default port.
bool ParseSmtpServer(std::string_view spec, std::string& host, int& port, std::string& error);

// The name sent with EHLO and HELO: the machine's host name, or "localhost" when it has none
// fit for the command line.
std::string LocalHostName();

class TSmtpClient {
 public:
  // `stopFd`, when not -1, is a descriptor that becomes readable when the caller must stop.
  TSmtpClient(int connectTimeoutMs, int replyTimeoutMs, int stopFd = -1);
  ~TSmtpClient();
  TSmtpClient(const TSmtpClient&) = delete;
  TSmtpClient& operator=(const TSmtpClient&) = delete;

  void Connect(std::string_view serverSpec);
  void SendMail(const cMailMessage& message);
  void Quit() noexcept;
  bool Connected() const { return fSocket >= 0; }

 private:
  struct cReply {
    int Code = 0;
    std::string Text;  // the last line, without its end
  };

  [[noreturn]] void Fail(ESmtpError::TKind kind, const std::string& message);
  // Waits until the socket is ready for `events` or the deadline passes; raises Unavailable
  // when it passes, when the stop descriptor fires or the socket breaks.
  void Wait(short events, long long deadlineMs, const char* what);
  void WriteAll(std::string_view bytes);
  cReply ReadReply();
  cReply Command(const std::string& line);
  void Close() noexcept;

  int fConnectTimeoutMs;
  int fReplyTimeoutMs;
  int fStopFd;
  int fSocket = -1;
  std::string fServer;   // host:port for messages
  std::string fPending;  // bytes read past the last reply line
};

}  // namespace zorvic
