// zorvic-cli options / settings / update: the command table of this area, the options
// commands (2106, 2107) and the version and policy lines (2111, 2113, 2117, 2118).
#include <charconv>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "packet/LiteXMLPacket.h"
#include "tools/zorvic-cli/AdminFileCli.h"
#include "tools/zorvic-cli/CliAdmin.h"

namespace zorvic {

namespace {

// PATH "-" is standard input or output. --timeout S bounds the wait for each reply: the
// server answers some failures with silence.
constexpr cCliCommand kCommands[] = {
    {"options", "[--json] [--timeout S] [KEY=VALUE ...]",
     "print the server's options as KEY=VALUE lines (or JSON), or store the values given and "
     "check that the server took them (administrators)",
     &RunOptions},
    {"settings", "get|put NAME [PATH] [--timeout S]",
     "get: the settings file NAME of the user's folder to PATH (default: standard output); "
     "put: PATH (default: the local file NAME, stored under its last part) as NAME",
     &RunSettings},
    {"update", "version | policy [NEW] | upload NAME [PATH] | fetch [PATH] [--timeout S]",
     "the client version; the update policy, or set it; store PATH (default: the local file "
     "NAME) as the update file NAME (administrators); the current update to PATH (default: "
     "the server's file name in the current folder)",
     &RunUpdate},
};

// Options in their order: the pairs of the command line with one entry per key (the last
// value given for a key wins).
using TOptionPairs = std::vector<std::pair<std::string, std::string>>;

bool SameKey(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

bool ParsePairs(const std::vector<std::string_view>& words, TOptionPairs& pairs) {
  for (std::string_view word : words) {
    const std::size_t equals = word.find('=');
    if (equals == std::string_view::npos) {
      WriteErrorLine("zorvic-cli: \"" + std::string(word) + "\" is not KEY=VALUE");
      return false;
    }
    const std::string key(word.substr(0, equals));
    const std::string value(word.substr(equals + 1));
    if (!IsXmlName(key)) {
      WriteErrorLine("zorvic-cli: \"" + key + "\" cannot name an option");
      return false;
    }
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
      WriteErrorLine("zorvic-cli: the value of " + key + " may not hold a line end or NUL");
      return false;
    }
    bool replaced = false;
    for (auto& pair : pairs) {
      if (!SameKey(pair.first, key)) continue;
      pair.second = value;
      replaced = true;
    }
    if (!replaced) pairs.emplace_back(key, value);
  }
  return true;
}

std::optional<TOptionPairs> FetchOptions(cCliAdminConnection& connection, int waitMs) {
  constexpr std::string_view kWhat = "the options request (2106)";
  auto status = RequestStatus(connection.Socket, "2106", kWhat, waitMs);
  if (!status) {
    WriteErrorLine(
        "zorvic-cli: the server answers a failure of 2106 with silence; its log "
        "tells why");
    return std::nullopt;
  }
  if (*status != "+OK Server Settings Follows") {
    WriteErrorLine(*status);
    return std::nullopt;
  }
  auto xml = ReadSizedBytes(connection.Socket, "the options packet");
  cCliPacketTable table;
  if (!xml || !ParsePacketTable(*xml, table)) return std::nullopt;
  TOptionPairs pairs;
  for (std::size_t i = 0; i < table.Columns.size(); ++i)
    pairs.emplace_back(table.Columns[i].Name, table.Rows.empty() ? "" : table.Rows[0][i]);
  return pairs;
}

int PrintOptions(const TOptionPairs& pairs, bool json) {
  bool ok = true;
  if (json) {
    std::string text = "{";
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      if (i > 0) text += ", ";
      text += JsonString(pairs[i].first) + ": " + JsonString(pairs[i].second);
    }
    ok = WriteResultLine(text + "}");
  } else {
    for (const auto& [key, value] : pairs)
      ok = ok && WriteResultLine(key + "=" + value);
  }
  if (!ok) {
    WriteErrorLine("zorvic-cli: cannot write to standard output");
    return kExitFailure;
  }
  return kExitOk;
}

int StoreOptions(cCliAdminConnection& connection, const TOptionPairs& pairs, int waitMs) {
  std::string xml;
  try {
    cLiteXMLPacket packet;
    packet.SetDimensions(pairs.size(), 1);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      packet.SetField(i, pairs[i].first, "string");
      packet.SetValue(0, i, pairs[i].second);
    }
    packet.WriteXml();
    xml = packet.TakeXml();
  } catch (const std::exception& error) {
    WriteErrorLine(std::string("zorvic-cli: ") + error.what());
    return kExitFailure;
  }
  auto status = RequestStatus(connection.Socket, "2107", "the options store (2107)", waitMs);
  if (!status) return kExitFailure;
  if (*status != "+OK Send the rest of server options") {
    WriteErrorLine(*status);
    return kExitFailure;
  }
  if (!SendSizedBytes(connection.Socket, xml)) return kExitFailure;
  // 2107 has no final reply: reading the section back shows whether the values were taken.
  auto stored = FetchOptions(connection, waitMs);
  if (!stored) return kExitFailure;
  int status_ = kExitOk;
  for (const auto& [key, value] : pairs) {
    const std::string* found = nullptr;
    for (const auto& pair : *stored)
      if (SameKey(pair.first, key)) found = &pair.second;
    if (found == nullptr || *found != value) {
      WriteErrorLine("zorvic-cli: the server did not store " + key +
                     (found ? " (it holds \"" + *found + "\")" : ""));
      status_ = kExitFailure;
    }
  }
  return status_;
}

int RunPolicy(const cAdminFileArgs& args, int waitMs) {
  if (args.Words.size() > 2) return kExitUsage;
  cCliAdminConnection connection;
  if (!OpenAdminConnection(connection)) return kExitFailure;
  if (args.Words.size() == 1) {
    auto line = RequestStatus(connection.Socket, "2118", "the policy request (2118)", waitMs);
    if (!line) return kExitFailure;
    if (!line->starts_with("+OK ")) {
      WriteErrorLine(*line);
      return kExitFailure;
    }
    return WriteResultLine(line->substr(4)) ? kExitOk : kExitFailure;
  }
  auto line = RequestStatus(connection.Socket, "2117 " + std::string(args.Words[1]),
                            "the policy change (2117)", waitMs);
  if (!line) return kExitFailure;
  if (*line != "+OK Policy Changed") {
    WriteErrorLine(*line);
    return kExitFailure;
  }
  return kExitOk;
}

int RunVersion(const cAdminFileArgs& args, int waitMs) {
  if (args.Words.size() != 1) return kExitUsage;
  cCliAdminConnection connection;
  if (!OpenAdminConnection(connection)) return kExitFailure;
  auto line = RequestStatus(connection.Socket, "2111", "the version request (2111)", waitMs);
  if (!line) return kExitFailure;
  if (line->starts_with("-ERR")) {
    WriteErrorLine(*line);
    return kExitFailure;
  }
  return WriteResultLine(*line) ? kExitOk : kExitFailure;
}

}  // namespace

std::span<const cCliCommand> AdminFileCliCommands() {
  return kCommands;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto code = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (code < 32) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", code);
      out += buffer;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

bool ParseAdminFileArgs(TCliArguments arguments, bool allowJson, cAdminFileArgs& parsed) {
  parsed = {};
  bool optionsEnded = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view word = arguments[i];
    if (optionsEnded || word == "-" || !word.starts_with("-")) {
      parsed.Words.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
    } else if (allowJson && word == "--json") {
      parsed.Json = true;
    } else if (word == "--timeout" || word.starts_with("--timeout=")) {
      std::string_view value;
      if (word == "--timeout") {
        if (i + 1 >= arguments.size()) {
          WriteErrorLine("zorvic-cli: option --timeout needs a value");
          return false;
        }
        value = arguments[++i];
      } else {
        value = word.substr(10);
      }
      double seconds = 0;
      auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
      if (error != std::errc() || end != value.data() + value.size() || !(seconds > 0) ||
          seconds > 3600) {
        WriteErrorLine("zorvic-cli: invalid time-out \"" + std::string(value) +
                       "\" (seconds, above 0, at most 3600)");
        return false;
      }
      parsed.ReplyWaitMs = static_cast<int>(seconds * 1000);
      if (parsed.ReplyWaitMs < 1) parsed.ReplyWaitMs = 1;
    } else {
      WriteErrorLine("zorvic-cli: unknown option \"" + std::string(word) + "\"");
      return false;
    }
  }
  return true;
}

int RunOptions(TCliArguments arguments) {
  cAdminFileArgs args;
  if (!ParseAdminFileArgs(arguments, true, args)) return kExitUsage;
  const int waitMs = args.ReplyWaitMs > 0 ? args.ReplyWaitMs : kCliReplyWaitMs;
  TOptionPairs pairs;
  if (!ParsePairs(args.Words, pairs)) return kExitFailure;
  cCliAdminConnection connection;
  if (!OpenAdminConnection(connection)) return kExitFailure;
  if (!pairs.empty()) return StoreOptions(connection, pairs, waitMs);
  auto options = FetchOptions(connection, waitMs);
  return options ? PrintOptions(*options, args.Json) : kExitFailure;
}

int RunSettings(TCliArguments arguments) {
  cAdminFileArgs args;
  if (!ParseAdminFileArgs(arguments, false, args)) return kExitUsage;
  if (args.Words.size() < 2 || args.Words.size() > 3) return kExitUsage;
  if (args.Words[0] == "get") return RunSettingsGet(args);
  if (args.Words[0] == "put") return RunSettingsPut(args);
  return kExitUsage;
}

int RunUpdate(TCliArguments arguments) {
  cAdminFileArgs args;
  if (!ParseAdminFileArgs(arguments, false, args)) return kExitUsage;
  if (args.Words.empty()) return kExitUsage;
  const int waitMs = args.ReplyWaitMs > 0 ? args.ReplyWaitMs : kCliReplyWaitMs;
  const std::string_view action = args.Words[0];
  if (action == "version") return RunVersion(args, waitMs);
  if (action == "policy") return RunPolicy(args, waitMs);
  if (action == "upload" && (args.Words.size() == 2 || args.Words.size() == 3))
    return RunUpdateUpload(args);
  if (action == "fetch" && args.Words.size() <= 2) return RunUpdateFetch(args);
  return kExitUsage;
}

}  // namespace zorvic
