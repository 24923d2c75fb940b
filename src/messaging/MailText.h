// The texts of the mailer's e-mails, and the checks that keep client and database text from
// changing the shape of an SMTP exchange or of a message header.
//
// An e-mail is built as a cMailMessage (sender, recipients, subject, date, body) and turned
// into the bytes that follow DATA by MailDataText: the header (From, To, Subject, Date), an
// empty line and the body, every line ending in CR LF, every line that starts with "." given a
// second one, and the final "." line. Header values lose their CR and LF on the way, so no
// value can add a header line of its own; the body's bare CR and bare LF become CR LF, so no
// line of it can end the mail early.
//
// Thread safety: pure functions on values.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace zorvic {

// The sender address of the password mail, and of a forwarded message whose sender has no
// PrimaryEmail: a mailbox on the local host.
inline constexpr std::string_view kMailerPlaceholderAddress = "zorvic-admin@localhost";
// The display name of the password mail's sender.
inline constexpr std::string_view kMailerAdminName = "Zorvic Messenger Admin";

// A broken local date; `utcOffsetMinutes` is how far the local time is ahead of UTC.
struct cMailDate {
  int Year = 1970, Month = 1, Day = 1, Hour = 0, Minute = 0, Second = 0;
  int UtcOffsetMinutes = 0;
};

struct cMailMessage {
  std::string FromName;         // display name of the sender
  std::string FromAddress;      // envelope and header sender
  std::vector<std::string> To;  // envelope and header recipients, in order
  std::string Subject;
  cMailDate Date;
  std::string Body;  // any line ends (CR, LF or CR LF)
};

// True when the address can go into "MAIL FROM:<...>", "RCPT TO:<...>" and a header as it is:
// not empty, at most kMailAddressMaxChars, and holding no CR, LF, "<", ">", blank, tab or
// other control character.
bool IsSafeMailAddress(std::string_view address);

// The address in a form fit for a log line: control characters as "\xNN", cut to a bound.
std::string PrintableMailAddress(std::string_view address);

// The value without its CR and LF characters.
std::string CleanHeaderValue(std::string_view value);

// The display name as a header phrase: a quoted string with its quotes and backslashes
// escaped, CR and LF removed.
std::string HeaderPhrase(std::string_view name);

// The RFC 822 form "Wed, 09 Dec 2026 21:51:07 +0100".
std::string FormatMailDate(const cMailDate& date);

// The local date and time of a moment, with the local offset from UTC at that moment.
cMailDate LocalMailDate(std::time_t moment);
// A local date and time read as such (seconds may carry a fraction, which is dropped); the
// offset is the local one at that date. False when the text is not "YYYY-MM-DD HH:MM:SS".
bool ParseLocalTimeStamp(std::string_view text, cMailDate& date);

// The body as it travels after DATA: bare CR, bare LF and CR LF all become CR LF, a line
// that starts with "." gets a second ".", and the text ends in CR LF (an empty body stays
// empty). The final "." line is not part of it.
std::string DotStuffBody(std::string_view body);

// Everything sent after the DATA reply: header lines, an empty line, the dot-stuffed body
// and the line ".". The addresses must have passed IsSafeMailAddress.
std::string MailDataText(const cMailMessage& message);

// The forwarded copy of a stored message (the mailer's e-mail for one queue item).
// `subjectLine` is the SubjectLine option; empty means the built-in subject.
cMailMessage ForwardedMail(std::string_view fromUser, std::string_view senderAddress,
                           std::string_view primaryAddress, std::string_view secondaryAddress,
                           std::string_view subjectLine, const cMailDate& messageDate,
                           std::string_view body);

// The password mail of command 2019.
cMailMessage PasswordMail(std::string_view userName, std::string_view password,
                          std::string_view address, const cMailDate& now);

}  // namespace zorvic
