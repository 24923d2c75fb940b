// Limits of the mailer and its SMTP client, each with the reason for its value.
//
// Thread safety: constants only.
#pragma once

#include <cstddef>

namespace zorvic {

// The SMTP port used when the SMTPServer option names a host without ":port".
inline constexpr int kSmtpDefaultPort = 25;

// How long opening the connection may take, and how long one reply (every line of it) or one
// write may take. A server that accepts and then never answers counts as unavailable after
// this long, and it is also the longest a running mailer keeps shutdown waiting; the
// environment variable ZORVIC_SMTP_TIMEOUT_MS overrides it (tests use a short one).
inline constexpr int kSmtpConnectTimeoutMs = 15000;
inline constexpr int kSmtpReplyTimeoutMs = 30000;

// How long queued items wait before the mailer tries an unavailable SMTP server again; a new
// item starts an attempt at once. ZORVIC_MAIL_RETRY_MS overrides it.
inline constexpr int kMailRetryIntervalMs = 60000;

// RFC 5321 allows reply lines of 512 octets; a longer line is cut, and a reply of more lines
// than this is refused, so a hostile server cannot make the mailer store without bound.
inline constexpr std::size_t kSmtpReplyLineMaxBytes = 1000;
inline constexpr int kSmtpReplyMaxLines = 100;

// RFC 5321's limit on a path; longer addresses are refused before anything is sent.
inline constexpr std::size_t kMailAddressMaxChars = 254;

// The longest a log line quotes an address that was refused.
inline constexpr std::size_t kMailAddressLogChars = 80;

}  // namespace zorvic
