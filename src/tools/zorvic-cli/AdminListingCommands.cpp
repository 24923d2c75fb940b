// zorvic-cli's administration listings: the records of the shared tables, printed as an
// aligned table or, with --json, as JSON (CliTable.h).
//
//   users | groups | profiles | requests | log     one table, ordered by its key (2100)
//   table NAME [ORDER-FIELD]                        any shared table (2100)
//   match TABLE FIELD VALUE [--literal]             the records whose FIELD equals VALUE (2101)
//
// With --columns a listing prints its columns instead of its rows: name, type, width (of a
// string column), whether a value is required, and the subtype ("Autoinc", "Money").
//
// The server lists these only for administrators. Every refusal ("-ERR ...") is printed on
// standard error as the server sent it, and the command ends with status 1; so does
// "-ERR No matching record" of match. VALUE is sent as a quoted SQL text; with --literal it
// is sent as it is, for numbers, TRUE, FALSE, NULL or a text already in quotes.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "packet/LiteXMLPacket.h"
#include "tools/zorvic-cli/CliAdmin.h"
#include "tools/zorvic-cli/CliCommands.h"
#include "tools/zorvic-cli/CliTable.h"

namespace zorvic {

namespace {

constexpr int kWholeTable = 2100;
constexpr int kMatchingRecords = 2101;
constexpr std::string_view kAdminDataFollows = "+OK Admin data follows";

struct cListingFlags {
  bool Json = false;
  bool Literal = false;
  bool Columns = false;
  std::vector<std::string_view> Words;  // the arguments that are no flags, in order
};

// Takes --json (and --literal where allowed) from anywhere among the arguments; everything
// after "--" is a word. False with a message for any other option.
bool ParseListingFlags(TCliArguments arguments, bool allowLiteral, cListingFlags& flags) {
  bool onlyWords = false;
  for (std::string_view argument : arguments) {
    if (!onlyWords && argument == "--") {
      onlyWords = true;
    } else if (!onlyWords && argument == "--json") {
      flags.Json = true;
    } else if (!onlyWords && argument == "--columns") {
      flags.Columns = true;
    } else if (!onlyWords && allowLiteral && argument == "--literal") {
      flags.Literal = true;
    } else if (!onlyWords && argument.size() > 1 && argument.front() == '-') {
      WriteErrorLine("zorvic-cli: unknown option \"" + std::string(argument) + "\"");
      return false;
    } else {
      flags.Words.push_back(argument);
    }
  }
  return true;
}

// The description of a packet's columns as a table of its own.
cCliPacketTable ColumnsTable(const cCliPacketTable& listing) {
  cCliPacketTable table;
  for (const char* name : {"Name", "Type", "Width", "Required", "SubType"})
    table.Columns.push_back({name, "string", "", "", false});
  table.Columns[2].Type = "integer";
  table.Columns[3].Type = "boolean";
  for (const cCliPacketColumn& column : listing.Columns) {
    table.Rows.push_back(
        {column.Name, column.Type, column.Width, column.Required ? "1" : "0", column.SubType});
  }
  return table;
}

// Sends the listing command and prints its packet. kExitFailure for a refusal, a broken
// reply or output that could not be written.
int PrintListing(const std::string& command, const cListingFlags& flags) {
  cCliAdminConnection connection;
  if (!OpenAdminConnection(connection)) return kExitFailure;
  auto xml = RequestPacket(connection, command, kAdminDataFollows, "the listing");
  if (!xml) return kExitFailure;
  cCliPacketTable table;
  if (!ParsePacketTable(*xml, table)) return kExitFailure;
  if (flags.Columns) table = ColumnsTable(table);
  std::string text = flags.Json ? FormatPacketJson(table) : FormatPacketTable(table);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.empty()) return kExitOk;  // a packet without columns has nothing to show
  if (!WriteResultLine(text)) {
    WriteErrorLine("zorvic-cli: cannot write the listing to standard output");
    return kExitFailure;
  }
  return kExitOk;
}

bool CheckName(std::string_view name, std::string_view what) {
  if (IsSqlName(name)) return true;
  WriteErrorLine("zorvic-cli: \"" + std::string(name) + "\" is no " + std::string(what) + " name");
  return false;
}

// The key of the shared tables, by which their listings are ordered.
std::optional<std::string_view> KeyOf(std::string_view table) {
  static constexpr std::pair<std::string_view, std::string_view> kKeys[] = {
      {"Users", "UserName"},     {"Groups", "GroupName"}, {"Profiles", "ProfileName"},
      {"Requests", "RequestID"}, {"Log", "EntryNo"},      {"Attachments", "AttachID"},
  };
  const auto same = [](std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
      if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
  };
  for (const auto& [name, key] : kKeys)
    if (same(name, table)) return key;
  return std::nullopt;
}

int RunFixedListing(TCliArguments arguments, std::string_view table) {
  cListingFlags flags;
  if (!ParseListingFlags(arguments, false, flags) || !flags.Words.empty()) return kExitUsage;
  return PrintListing(
      std::to_string(kWholeTable) + " " + std::string(table) + " " + std::string(*KeyOf(table)),
      flags);
}

int RunUsers(TCliArguments arguments) {
  return RunFixedListing(arguments, "Users");
}
int RunGroups(TCliArguments arguments) {
  return RunFixedListing(arguments, "Groups");
}
int RunProfiles(TCliArguments arguments) {
  return RunFixedListing(arguments, "Profiles");
}
int RunRequests(TCliArguments arguments) {
  return RunFixedListing(arguments, "Requests");
}
int RunLog(TCliArguments arguments) {
  return RunFixedListing(arguments, "Log");
}

int RunTable(TCliArguments arguments) {
  cListingFlags flags;
  if (!ParseListingFlags(arguments, false, flags) || flags.Words.empty() ||
      flags.Words.size() > 2) {
    return kExitUsage;
  }
  const std::string_view table = flags.Words[0];
  if (!CheckName(table, "table")) return kExitFailure;
  std::string_view order;
  if (flags.Words.size() == 2) {
    order = flags.Words[1];
  } else if (auto key = KeyOf(table)) {
    order = *key;
  } else {
    WriteErrorLine("zorvic-cli: name the field to order table " + std::string(table) + " by");
    return kExitUsage;
  }
  if (!CheckName(order, "field")) return kExitFailure;
  return PrintListing(
      std::to_string(kWholeTable) + " " + std::string(table) + " " + std::string(order), flags);
}

int RunMatch(TCliArguments arguments) {
  cListingFlags flags;
  if (!ParseListingFlags(arguments, true, flags) || flags.Words.size() != 3) return kExitUsage;
  const std::string_view table = flags.Words[0];
  const std::string_view field = flags.Words[1];
  if (!CheckName(table, "table") || !CheckName(field, "field")) return kExitFailure;
  const std::string value =
      flags.Literal ? std::string(flags.Words[2]) : QuoteSqlString(flags.Words[2]);
  return PrintListing(std::to_string(kMatchingRecords) + " " + std::string(table) + " " +
                          std::string(field) + " " + value,
                      flags);
}

constexpr cCliCommand kCommands[] = {
    {"users", "[--json] [--columns]", "list the user accounts (administrators only)", &RunUsers},
    {"groups", "[--json] [--columns]", "list the groups (administrators only)", &RunGroups},
    {"profiles", "[--json] [--columns]", "list the profiles (administrators only)", &RunProfiles},
    {"requests", "[--json] [--columns]", "list the account requests (administrators only)",
     &RunRequests},
    {"log", "[--json] [--columns]", "list the server log, oldest entry first (administrators only)",
     &RunLog},
    {"table", "NAME [ORDER-FIELD] [--json] [--columns]",
     "list a shared table, ordered by ORDER-FIELD (default: its key)", &RunTable},
    {"match", "TABLE FIELD VALUE [--literal] [--json] [--columns]",
     "list the records whose FIELD equals the text VALUE (--literal: VALUE is SQL as it is)",
     &RunMatch},
};

}  // namespace

std::span<const cCliCommand> AdminListingCliCommands() {
  return kCommands;
}

}  // namespace zorvic
