// zorvic-cli's commands for server options, settings files and client updates, and the
// pieces they share.
//
//   options [--json] [KEY=VALUE ...]        print the "ServerOptions" section, or store values
//   settings get NAME [PATH]                a settings file of the user's folder to PATH
//   settings put NAME [PATH]                PATH (default: the local file NAME) as settings file
//   update version | policy [NEW]           the client version; the update policy
//   update upload NAME [PATH]               PATH (default: NAME) as the update file NAME
//   update fetch [PATH]                     the current client update to PATH
//
// PATH "-" is standard input or output. Every command takes --timeout SECONDS, the wait for
// a reply: the server answers some failures (options, update upload and fetch) with silence,
// and the command then gives up with a message saying so.
//
// Thread safety: one thread (the tool is single-threaded).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zorvic-cli/CliCommands.h"

namespace zorvic {

int RunOptions(TCliArguments arguments);
int RunSettings(TCliArguments arguments);
int RunUpdate(TCliArguments arguments);

// The arguments of one command split into its own options and the rest.
struct cAdminFileArgs {
  std::vector<std::string_view> Words;  // positional arguments, in order
  int ReplyWaitMs = 0;                  // --timeout (0: the tool's default)
  bool Json = false;                    // --json
};
// Takes --timeout S (or --timeout=S) and --json (when `allowJson`) out of the
// arguments. False with a message on standard error for an unknown option or a bad value.
bool ParseAdminFileArgs(TCliArguments arguments, bool allowJson, cAdminFileArgs& parsed);

// ---- file transfers (AdminFileCopy.cpp) --------------------------------------------------
int RunSettingsGet(const cAdminFileArgs& args);
int RunSettingsPut(const cAdminFileArgs& args);
int RunUpdateUpload(const cAdminFileArgs& args);
int RunUpdateFetch(const cAdminFileArgs& args);

// The JSON form of a text (quotes, backslash and control characters escaped).
std::string JsonString(std::string_view text);

}  // namespace zorvic
