// The pieces every administration command of zorvic-cli is made of: a logged-in connection,
// a command line and its status line, a packet sent after its size, a packet reply read with
// a bound on its size, waits that give up with a clear message, and the rows and columns of a
// packet.
//
// Messages: every function that fails writes one line to standard error first (the server's
// own "-ERR ..." line as it came, or "zorvic-cli: ..." for what went wrong on this side), so a
// command handler only returns kExitFailure.
//
// Usage of a typical listing:
//   cCliAdminConnection connection;
//   if (!OpenAdminConnection(connection)) return kExitFailure;
//   auto xml = RequestPacket(connection, "2100 Users UserName", "+OK Admin data follows",
//                            "the user listing");
//   cCliPacketTable table;
//   if (!xml || !ParsePacketTable(*xml, table)) return kExitFailure;
//
// Thread safety: one thread (the tool is single-threaded).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/ZQSock.h"

namespace zorvic {

// How long a command waits for its reply line by default. Some commands answer an error with
// silence (2106, 2107, 2112, 2114): their callers say so with a message instead of hanging.
// The environment variable ZORVIC_REPLY_WAIT (whole seconds, 1 to 3600) changes the wait.
inline constexpr int kCliReplyWaitMs = 15000;
inline constexpr char kCliReplyWaitVariable[] = "ZORVIC_REPLY_WAIT";
// The wait in milliseconds: ZORVIC_REPLY_WAIT when it holds a valid number, else
// kCliReplyWaitMs.
int CliReplyWaitMs();
// The largest packet or file reply taken from the server (a bigger one is a broken stream).
inline constexpr std::size_t kCliMaxPacketBytes = 64u * 1024u * 1024u;

struct cCliAdminConnection {
  TZQSock Socket;
  bool Scrambling = false;  // the server scrambles message texts ("+OK 1" at login)
};

// Connects and logs in with the options of the command line (CliOptions()).
bool OpenAdminConnection(cCliAdminConnection& connection);

// Sends one command line. False when the line holds a line end (which would split it into two
// commands) or the connection took it only in part.
bool SendCommandLine(TZQSock& socket, std::string_view line);

// Waits up to `waitMs` (-1: CliReplyWaitMs()) for the next reply line. nullopt, with "zorvic-cli:
// no reply from the server to WHAT within N s" (or "... the server closed the connection ...") on
// standard error, when none came. `what` names the request in the message ("the user listing").
std::optional<std::string> AwaitReplyLine(TZQSock& socket, std::string_view what, int waitMs = -1);

// True for a line that begins with "+OK".
bool IsOkReply(std::string_view line);

// Sends `line` and reads its status line. nullopt with a message when nothing came back;
// otherwise the line as it came, "+OK" or "-ERR" (callers check IsOkReply).
std::optional<std::string> RequestStatus(TZQSock& socket, std::string_view line,
                                         std::string_view what, int waitMs = -1);

// Sends `bytes` as a 4-byte big-endian size followed by the bytes (options, settings and update
// files). False with a message for more than 2^31-1 bytes or a broken connection.
bool SendSizedBytes(TZQSock& socket, std::string_view bytes);

// Sends the command line "CODE LENGTH TABLE" and right after it the packet's bytes (the form of
// 2102, 2103, 2104 and 2020, which announce the length on the line). False with a message
// when the connection broke.
bool SendPacketCommand(TZQSock& socket, int code, std::string_view table, std::string_view xml);

// Reads a 4-byte big-endian size and that many bytes (at most `maxBytes`; a pause of more than
// CliReplyWaitMs() between them ends the read). nullopt with a
// message for a negative or too large size, or when the bytes stop coming.
std::optional<std::string> ReadSizedBytes(TZQSock& socket, std::string_view what,
                                          std::size_t maxBytes = kCliMaxPacketBytes);

// Sends `line`, expects a reply line that begins with `okLine` and then reads the sized packet
// after it. A "-ERR" line (or any other line) is written to standard error as it came and
// gives nullopt, as do a missing reply and a broken packet.
std::optional<std::string> RequestPacket(cCliAdminConnection& connection, std::string_view line,
                                         std::string_view okLine, std::string_view what);

// The rows and columns of a packet, with each column's type word taken from its type text
// ("string", "integer", "boolean", "real", "datetime", "largeint", "binary", ...) and the
// flags written after it.
struct cCliPacketColumn {
  std::string Name;
  std::string Type;       // the first word of the type text, quotes removed
  std::string SubType;    // the SUBTYPE attribute ("Autoinc", "Money") or empty
  std::string Width;      // the WIDTH attribute of a string column, or empty
  bool Required = false;  // required="true"
};
struct cCliPacketTable {
  std::vector<cCliPacketColumn> Columns;
  std::vector<std::vector<std::string>> Rows;  // one value per column, in column order
};

// Parses a packet's XML text with the packet reader and takes the field elements' extra
// attributes (WIDTH, SUBTYPE, required) from the text itself. False with a message for text
// that is not a packet.
bool ParsePacketTable(std::string_view xml, cCliPacketTable& table);

// True for the type words whose values are numbers ("integer", "real", "largeint"), which JSON
// output writes without quotes.
bool IsNumericType(std::string_view type);

}  // namespace zorvic
