// The connection options of zorvic-cli and a logged-in session built from them.
//
// --host H (default localhost), --port P (default 37000) and --user U may stand before or after
// the command name, as "--host H" or "--host=H". The password never comes from the command
// line, where other users could read it: it is taken from the environment variable
// ZORVIC_PASSWORD, or else asked for on the terminal without echo.
//
// Thread safety: one thread (the tool is single-threaded).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/ZQSock.h"

namespace zorvic {

inline constexpr char kCliDefaultHost[] = "localhost";
inline constexpr int kCliDefaultPort = 37000;
inline constexpr char kCliPasswordVariable[] = "ZORVIC_PASSWORD";
// How long a login waits for its reply: the server may first probe the user's listening
// connection, which takes up to about 11 seconds.
inline constexpr int kCliLoginReplyWaitMs = 20000;
// A block the server announces larger than this is taken as a broken stream.
inline constexpr int kCliMaxBlockBytes = 64 * 1024 * 1024;

struct cCliOptions {
  std::string Host = kCliDefaultHost;
  int Port = kCliDefaultPort;
  std::string User;
};

// The options given on the command line (set by main before a command runs).
cCliOptions& CliOptions();

// Takes the connection options out of `arguments`, leaving the rest in order. False with a
// message on standard error for an option without its value or a port that is no number.
bool ExtractCliOptions(std::vector<std::string_view>& arguments, cCliOptions& options);

// The password from ZORVIC_PASSWORD or a prompt on the terminal without echo; nullopt with a
// message on standard error when neither is available.
std::optional<std::string> ReadCliPassword(std::string_view user);

// Connects to the options' server and logs in as the options' user (1000, then 1001 with the
// scrambled password). On success `scrambling` tells whether the server scrambles message
// texts ("+OK 1"). False with a message on standard error otherwise (the server's "-ERR ..."
// line as it is).
bool ConnectAndLogin(TZQSock& socket, const cCliOptions& options, bool& scrambling);

}  // namespace zorvic
