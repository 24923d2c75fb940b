// zorvic-cli's commands that create, change and delete users, groups and profiles (2102,
// 2103, 2104) and approve account requests (2115).
//
//   zorvic-cli user add NAME [FIELD=VALUE ...]    user set NAME FIELD=VALUE ...    user del NAME
//   (the same for group and profile)              approve REQUEST-ID
//
// A record travels as a data packet whose first field is the key (UserName, GroupName,
// ProfileName). Field names are the columns of the shared table in any letter case; each
// value takes its column's type: Boolean columns take true/false, yes/no, on/off or 1/0,
// Integer columns a whole number, the others any text (an empty text clears a date).
// The server's reply line is printed on standard output; a refusal goes to standard error
// and gives exit status 1.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/SchemaColumns.h"
#include "app/SharedSchema.h"
#include "packet/LiteXMLPacket.h"
#include "tools/zorvic-cli/CliAdmin.h"
#include "tools/zorvic-cli/CliCommands.h"

namespace zorvic {

namespace {

constexpr int kCmdCreate = 2102;
constexpr int kCmdUpdate = 2103;
constexpr int kCmdDelete = 2104;
constexpr int kCmdApprove = 2115;

struct cColumn {
  std::string Name;
  std::string TypeText;  // the packet's type word for the column
};

// The type word of a column definition of the schema script.
std::string TypeWordOf(std::string_view type) {
  std::string upper;
  for (char c : type.substr(0, type.find_first_of(" (")))
    upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  if (upper == "BOOLEAN") return "boolean";
  if (upper == "INTEGER" || upper == "SMALLINT" || upper == "AUTOINC") return "integer";
  if (upper == "DATE" || upper == "TIMESTAMP" || upper == "TIME") return "datetime";
  return "string";
}

// The columns of one shared table, read from the server's schema script.
std::vector<cColumn> TableColumns(std::string_view table) {
  std::vector<cColumn> columns;
  for (const cSchemaTable& schema : ParseSchemaScript(kSharedSchemaScript)) {
    if (schema.Name != table) continue;
    for (const cSchemaColumn& column : schema.Columns)
      columns.push_back({column.Name, TypeWordOf(column.Definition)});
  }
  return columns;
}

std::optional<std::string> BooleanValue(std::string_view text) {
  for (std::string_view yes : {"1", "true", "yes", "on"})
    if (AsciiEqualsNoCase(text, yes)) return "1";
  for (std::string_view no : {"0", "false", "no", "off"})
    if (AsciiEqualsNoCase(text, no)) return "0";
  return std::nullopt;
}

bool IsWholeNumber(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  return !text.empty() && text.size() <= 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The record of the command line: the key, then FIELD=VALUE pairs. False with a message.
bool BuildRecord(std::string_view table, std::string_view keyField, std::string_view key,
                 TCliArguments pairs, cLiteXMLPacket& packet) {
  const std::vector<cColumn> columns = TableColumns(table);
  std::vector<cPacketField> fields{{std::string(keyField), "string"}};
  std::vector<std::string> values{std::string(key)};
  for (std::string_view pair : pairs) {
    const std::size_t equals = pair.find('=');  // present: checked by the caller
    const std::string_view name = pair.substr(0, equals);
    std::string value(pair.substr(equals + 1));
    auto column = std::find_if(columns.begin(), columns.end(),
                               [&](const cColumn& c) { return AsciiEqualsNoCase(c.Name, name); });
    if (column == columns.end()) {
      WriteErrorLine("zorvic-cli: table " + std::string(table) + " has no field \"" +
                     std::string(name) + "\"");
      return false;
    }
    if (std::any_of(fields.begin(), fields.end(),
                    [&](const cPacketField& f) { return f.Name == column->Name; })) {
      WriteErrorLine("zorvic-cli: field " + column->Name + " is given twice");
      return false;
    }
    if (column->TypeText == "boolean") {
      auto flag = BooleanValue(value);
      if (!flag) {
        WriteErrorLine("zorvic-cli: " + column->Name + " takes true or false, not \"" + value +
                       "\"");
        return false;
      }
      value = *flag;
    } else if (column->TypeText == "integer" && !value.empty() && !IsWholeNumber(value)) {
      WriteErrorLine("zorvic-cli: " + column->Name + " takes a whole number, not \"" + value +
                     "\"");
      return false;
    }
    fields.push_back({column->Name, column->TypeText});
    values.push_back(std::move(value));
  }
  packet.SetDimensions(fields.size(), 1);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    packet.SetField(i, fields[i].Name, fields[i].TypeText);
    packet.SetValue(0, i, values[i]);
  }
  try {
    packet.WriteXml();
  } catch (const std::exception& error) {
    WriteErrorLine(std::string("zorvic-cli: ") + error.what());
    return false;
  }
  return true;
}

// Sends one command and prints its reply: standard output for "+OK", standard error (and
// status 1) for anything else.
int FinishRequest(cCliAdminConnection& connection, std::string_view what) {
  const auto reply = AwaitReplyLine(connection.Socket, what);
  if (!reply) return kExitFailure;
  if (!IsOkReply(*reply)) {
    WriteErrorLine(*reply);
    return kExitFailure;
  }
  return WriteResultLine(*reply) ? kExitOk : kExitFailure;
}

int RunResource(TCliArguments arguments, std::string_view table, std::string_view keyField,
                std::string_view noun) {
  if (arguments.size() < 2) return kExitUsage;
  const std::string_view verb = arguments[0];
  const std::string_view key = arguments[1];
  const TCliArguments pairs = arguments.subspan(2);
  for (std::string_view pair : pairs) {
    if (pair.find('=') == std::string_view::npos || pair.front() == '=') {
      WriteErrorLine("zorvic-cli: expected FIELD=VALUE, got \"" + std::string(pair) + "\"");
      return kExitUsage;
    }
  }
  int code = 0;
  if (verb == "add") {
    code = kCmdCreate;
  } else if (verb == "set") {
    if (pairs.empty()) {
      WriteErrorLine("zorvic-cli: " + std::string(noun) + " set needs at least one FIELD=VALUE");
      return kExitUsage;
    }
    code = kCmdUpdate;
  } else if (verb == "del") {
    if (!pairs.empty()) return kExitUsage;
    code = kCmdDelete;
  } else {
    WriteErrorLine("zorvic-cli: " + std::string(noun) + " takes add, set or del, not \"" +
                   std::string(verb) + "\"");
    return kExitUsage;
  }
  cLiteXMLPacket packet;
  if (!BuildRecord(table, keyField, key, pairs, packet)) return kExitFailure;
  cCliAdminConnection connection;
  if (!OpenAdminConnection(connection)) return kExitFailure;
  if (!SendPacketCommand(connection.Socket, code, table, packet.GetXml())) return kExitFailure;
  return FinishRequest(connection, "the " + std::string(noun) + " " + std::string(verb));
}

int RunUser(TCliArguments arguments) {
  return RunResource(arguments, "Users", "UserName", "user");
}
int RunGroup(TCliArguments arguments) {
  return RunResource(arguments, "Groups", "GroupName", "group");
}
int RunProfile(TCliArguments arguments) {
  return RunResource(arguments, "Profiles", "ProfileName", "profile");
}

int RunApprove(TCliArguments arguments) {
  if (arguments.size() != 1) return kExitUsage;
  const std::string_view id = arguments[0];
  if (id.empty() || id.size() > 10 ||
      !std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    WriteErrorLine("zorvic-cli: a request id is a whole number, not \"" + std::string(id) + "\"");
    return kExitFailure;
  }
  cCliAdminConnection connection;
  if (!OpenAdminConnection(connection)) return kExitFailure;
  if (!SendCommandLine(connection.Socket, std::to_string(kCmdApprove) + " " + std::string(id)))
    return kExitFailure;
  return FinishRequest(connection, "the approval");
}

constexpr cCliCommand kCommands[] = {
    {"user", "add|set|del NAME [FIELD=VALUE ...]",
     "create, change or delete a user account (administrators only)", &RunUser},
    {"group", "add|set|del NAME [FIELD=VALUE ...]",
     "create, change or delete a group (administrators only)", &RunGroup},
    {"profile", "add|set|del NAME [FIELD=VALUE ...]",
     "create, change or delete a profile (administrators only)", &RunProfile},
    {"approve", "REQUEST-ID", "approve an account request: enable the account, drop the request",
     &RunApprove},
};

}  // namespace

std::span<const cCliCommand> AdminResourceCliCommands() {
  return kCommands;
}

}  // namespace zorvic
