#include "messaging/SmtpClient.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "messaging/MailerLimits.h"

namespace zorvic {

namespace {

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The first line of a reply text, cut for an error message.
std::string ReplySummary(int code, const std::string& text) {
  std::string line = text.size() > 200 ? text.substr(0, 200) + "..." : text;
  return std::to_string(code) + (line.empty() ? "" : " " + line);
}

}  // namespace

bool ParseSmtpServer(std::string_view spec, std::string& host, int& port, std::string& error) {
  while (!spec.empty() && (spec.front() == ' ' || spec.front() == '\t'))
    spec.remove_prefix(1);
  while (!spec.empty() && (spec.back() == ' ' || spec.back() == '\t'))
    spec.remove_suffix(1);
  if (spec.empty()) {
    error = "No SMTP server is configured (the option SMTPServer is empty)";
    return false;
  }
  std::string_view hostPart = spec;
  std::string_view portPart;
  if (spec.front() == '[') {
    std::size_t close = spec.find(']');
    if (close == std::string_view::npos) {
      error = "Invalid SMTPServer value: " + std::string(spec);
      return false;
    }
    hostPart = spec.substr(1, close - 1);
    std::string_view rest = spec.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') {
        error = "Invalid SMTPServer value: " + std::string(spec);
        return false;
      }
      portPart = rest.substr(1);
      if (portPart.empty()) portPart = "x";  // "[::1]:" names no port: refused below
    }
  } else {
    std::size_t colon = spec.find(':');
    if (colon != std::string_view::npos && spec.find(':', colon + 1) == std::string_view::npos) {
      hostPart = spec.substr(0, colon);
      portPart = spec.substr(colon + 1);
      if (portPart.empty()) portPart = "x";
    }
  }
  port = kSmtpDefaultPort;
  if (!portPart.empty()) {
    if (!AllDigits(portPart) || portPart.size() > 5 || std::stoi(std::string(portPart)) < 1 ||
        std::stoi(std::string(portPart)) > 65535) {
      error = "Invalid SMTP server port in " + std::string(spec);
      return false;
    }
    port = std::stoi(std::string(portPart));
  }
  for (unsigned char c : hostPart) {
    if (c <= ' ' || c == 0x7F) {
      error = "Invalid SMTPServer value: " + std::string(spec);
      return false;
    }
  }
  if (hostPart.empty()) {
    error = "Invalid SMTPServer value: " + std::string(spec);
    return false;
  }
  host = std::string(hostPart);
  return true;
}

std::string LocalHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  for (const char* p = name; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    bool fit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.';
    if (!fit) return "localhost";
  }
  return name;
}

TSmtpClient::TSmtpClient(int connectTimeoutMs, int replyTimeoutMs, int stopFd)
    : fConnectTimeoutMs(connectTimeoutMs), fReplyTimeoutMs(replyTimeoutMs), fStopFd(stopFd) {}

TSmtpClient::~TSmtpClient() {
  Close();
}

void TSmtpClient::Close() noexcept {
  if (fSocket >= 0) ::close(fSocket);
  fSocket = -1;
  fPending.clear();
}

void TSmtpClient::Fail(ESmtpError::TKind kind, const std::string& message) {
  if (kind == ESmtpError::Unavailable) Close();
  throw ESmtpError(kind, message);
}

void TSmtpClient::Wait(short events, long long deadlineMs, const char* what) {
  for (;;) {
    long long left = deadlineMs - NowMs();
    if (left <= 0) {
      Fail(ESmtpError::Unavailable, "The SMTP server " + fServer + " did not " + what + " in time");
    }
    pollfd fds[2] = {{fSocket, events, 0}, {fStopFd, POLLIN, 0}};
    int n = ::poll(fds, fStopFd >= 0 ? 2 : 1, static_cast<int>(left));
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(ESmtpError::Unavailable,
           std::string("Waiting for the SMTP server failed: ") + std::strerror(errno));
    }
    if (n == 0) continue;
    if (fStopFd >= 0 && (fds[1].revents & POLLIN)) {
      Fail(ESmtpError::Unavailable, "The mailer is stopping");
    }
    if (fds[0].revents & (events | POLLERR | POLLHUP)) return;
    if (fds[0].revents & POLLNVAL) Fail(ESmtpError::Unavailable, "The SMTP connection is closed");
  }
}

void TSmtpClient::Connect(std::string_view serverSpec) {
  Close();
  std::string host, error;
  int port = 0;
  if (!ParseSmtpServer(serverSpec, host, port, error)) Fail(ESmtpError::Unavailable, error);
  fServer =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    Fail(ESmtpError::Unavailable,
         "Unable to find the SMTP server " + fServer + ": " + ::gai_strerror(rc));
  }
  const long long deadline = NowMs() + fConnectTimeoutMs;
  std::string lastError = "no address";
  for (addrinfo* a = found; a && fSocket < 0; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      lastError = std::strerror(errno);
      continue;
    }
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
      lastError = std::strerror(errno);
      ::close(fd);
      continue;
    }
    fSocket = fd;
    try {
      Wait(POLLOUT, deadline, "accept the connection");
    } catch (...) {
      ::freeaddrinfo(found);
      throw;
    }
    int soError = 0;
    socklen_t len = sizeof soError;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
    if (soError != 0) {
      lastError = std::strerror(soError);
      Close();
    }
  }
  ::freeaddrinfo(found);
  if (fSocket < 0) {
    Fail(ESmtpError::Unavailable,
         "Unable to connect to the SMTP server " + fServer + ": " + lastError);
  }
  int one = 1;
  ::setsockopt(fSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  cReply greeting = ReadReply();
  if (greeting.Code != 220) {
    Fail(ESmtpError::Unavailable, "The SMTP server " + fServer + " refused the session: " +
                                      ReplySummary(greeting.Code, greeting.Text));
  }
  const std::string me = LocalHostName();
  cReply hello = Command("EHLO " + me);
  if (hello.Code != 250) {
    hello = Command("HELO " + me);
    if (hello.Code != 250) {
      Fail(ESmtpError::Unavailable,
           "The SMTP server " + fServer + " refused HELO: " + ReplySummary(hello.Code, hello.Text));
    }
  }
}

void TSmtpClient::WriteAll(std::string_view bytes) {
  long long lastProgress = NowMs();
  while (!bytes.empty()) {
    // The time-out counts from the last progress, so a large body on a slow link still goes
    // through while a server that stops reading is given up.
    Wait(POLLOUT, lastProgress + fReplyTimeoutMs, "take the data");
    ssize_t n = ::send(fSocket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      Fail(ESmtpError::Unavailable,
           "Writing to the SMTP server " + fServer + " failed: " + std::strerror(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
    lastProgress = NowMs();
  }
}

TSmtpClient::cReply TSmtpClient::ReadReply() {
  const long long deadline = NowMs() + fReplyTimeoutMs;
  cReply reply;
  for (int lines = 0;; ++lines) {
    if (lines >= kSmtpReplyMaxLines) {
      Fail(ESmtpError::Unavailable, "The SMTP server " + fServer + " sent an endless reply");
    }
    std::size_t end;
    while ((end = fPending.find('\n')) == std::string::npos) {
      if (fPending.size() > kSmtpReplyLineMaxBytes) {
        // Keep the start of an overlong line and drop the rest as it arrives.
        fPending.resize(kSmtpReplyLineMaxBytes);
      }
      Wait(POLLIN, deadline, "answer");
      char buffer[2048];
      ssize_t n = ::recv(fSocket, buffer, sizeof buffer, 0);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        Fail(ESmtpError::Unavailable,
             "Reading from the SMTP server " + fServer + " failed: " + std::strerror(errno));
      }
      if (n == 0) {
        Fail(ESmtpError::Unavailable, "The SMTP server " + fServer + " closed the connection");
      }
      fPending.append(buffer, static_cast<std::size_t>(n));
    }
    std::string line = fPending.substr(0, end);
    fPending.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 3 || !AllDigits(std::string_view(line).substr(0, 3)) ||
        (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
      Fail(ESmtpError::Unavailable,
           "The SMTP server " + fServer + " sent a reply that is not SMTP");
    }
    reply.Code = std::stoi(line.substr(0, 3));
    reply.Text = line.size() > 4 ? line.substr(4) : std::string();
    if (line.size() == 3 || line[3] == ' ') return reply;
  }
}

TSmtpClient::cReply TSmtpClient::Command(const std::string& line) {
  WriteAll(line + "\r\n");
  return ReadReply();
}

void TSmtpClient::SendMail(const cMailMessage& message) {
  if (fSocket < 0) Fail(ESmtpError::Unavailable, "The SMTP client is not connected");
  if (!IsSafeMailAddress(message.FromAddress)) {
    Fail(ESmtpError::Rejected,
         "Invalid sender e-mail address: \"" + PrintableMailAddress(message.FromAddress) + "\"");
  }
  if (message.To.empty()) Fail(ESmtpError::Rejected, "The e-mail has no recipient");
  for (const std::string& to : message.To) {
    if (!IsSafeMailAddress(to)) {
      Fail(ESmtpError::Rejected,
           "Invalid recipient e-mail address: \"" + PrintableMailAddress(to) + "\"");
    }
  }
  (void)Command("RSET");
  cReply reply = Command("MAIL FROM:<" + message.FromAddress + ">");
  if (reply.Code != 250) {
    Fail(ESmtpError::Rejected, "The SMTP server refused MAIL FROM:<" + message.FromAddress +
                                   ">: " + ReplySummary(reply.Code, reply.Text));
  }
  for (const std::string& to : message.To) {
    reply = Command("RCPT TO:<" + to + ">");
    if (reply.Code != 250 && reply.Code != 251) {
      Fail(ESmtpError::Rejected,
           "The SMTP server refused RCPT TO:<" + to + ">: " + ReplySummary(reply.Code, reply.Text));
    }
  }
  reply = Command("DATA");
  if (reply.Code != 354) {
    Fail(ESmtpError::Rejected,
         "The SMTP server refused DATA: " + ReplySummary(reply.Code, reply.Text));
  }
  WriteAll(MailDataText(message));
  reply = ReadReply();
  if (reply.Code != 250) {
    Fail(ESmtpError::Rejected,
         "The SMTP server refused the message: " + ReplySummary(reply.Code, reply.Text));
  }
}

void TSmtpClient::Quit() noexcept {
  if (fSocket >= 0) {
    static constexpr char kQuit[] = "QUIT\r\n";
    // Its reply is not awaited; a full send buffer only loses the courtesy.
    (void)::send(fSocket, kQuit, sizeof kQuit - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  Close();
}

}  // namespace zorvic
