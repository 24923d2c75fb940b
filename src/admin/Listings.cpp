#include "admin/Listings.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>

#include "admin/AdminText.h"
#include "app/Server.h"
#include "app/SharedSchema.h"
#include "app/SharedSql.h"
#include "engine/sql/query/Query.h"
#include "net/ZQSock.h"
#include "packet/LiteXMLPacket.h"
#include "protocol/ClientInfo.h"
#include "protocol/QueryReply.h"

namespace zorvic {

namespace {

// How much of a refused client text a log line repeats.
constexpr std::size_t kLoggedArgumentChars = 64;

// A client text as a log line may show it: cut short, control characters as '?'.
std::string Shown(std::string_view text) {
  std::string shown;
  for (char c : text.substr(0, kLoggedArgumentChars))
    shown += static_cast<unsigned char>(c) < 32 ? '?' : c;
  if (text.size() > kLoggedArgumentChars) shown += "...";
  return "'" + shown + "'";
}

std::string QuotedMessage(std::string_view message) {
  std::string quoted = "'";
  for (char c : message) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

// The n of a "VARCHAR(n)..." column type, nullopt for any other type.
std::optional<std::size_t> VarcharWidth(std::string_view type) {
  constexpr std::string_view kVarchar = "VARCHAR(";
  if (!AsciiStartsWithNoCase(type, kVarchar)) return std::nullopt;
  std::size_t width = 0;
  bool digits = false;
  for (char c : type.substr(kVarchar.size())) {
    if (c == ')') return digits ? std::optional<std::size_t>(width) : std::nullopt;
    if (c < '0' || c > '9') return std::nullopt;
    width = width * 10 + static_cast<std::size_t>(c - '0');
    digits = true;
  }
  return std::nullopt;
}

// One "Create Table IF NOT EXISTS Name(col type,...,Primary Key (...))" statement of the
// schema script: the name, the first word of every column definition and its VARCHAR width.
std::optional<cSharedTableColumns> ParseCreateTable(std::string_view statement) {
  statement = TrimBlanksAndTabs(statement);
  constexpr std::string_view kPrefix = "Create Table IF NOT EXISTS ";
  if (!AsciiStartsWithNoCase(statement, kPrefix)) return std::nullopt;
  statement.remove_prefix(kPrefix.size());
  const std::size_t open = statement.find('(');
  const std::size_t close = statement.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open)
    return std::nullopt;
  cSharedTableColumns table{std::string(TrimBlanksAndTabs(statement.substr(0, open))), {}, {}};
  std::string_view body = statement.substr(open + 1, close - open - 1);
  int depth = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= body.size(); ++i) {
    if (i < body.size() && body[i] == '(') ++depth;
    if (i < body.size() && body[i] == ')') --depth;
    if (i < body.size() && !(body[i] == ',' && depth == 0)) continue;
    std::string_view definition = TrimBlanksAndTabs(body.substr(start, i - start));
    start = i + 1;
    if (definition.empty() || AsciiStartsWithNoCase(definition, "Primary Key")) continue;
    const std::size_t blank = definition.find(' ');
    table.Columns.emplace_back(definition.substr(0, blank));
    table.Widths.push_back(blank == std::string_view::npos
                               ? std::nullopt
                               : VarcharWidth(TrimBlanksAndTabs(definition.substr(blank + 1))));
  }
  return table;
}

std::vector<cSharedTableColumns> ParseSharedSchema() {
  std::vector<cSharedTableColumns> tables;
  std::string_view script = kSharedSchemaScript;
  while (!script.empty()) {
    const std::size_t end = script.find(';');
    if (auto table = ParseCreateTable(script.substr(0, end))) tables.push_back(std::move(*table));
    if (end == std::string_view::npos) break;
    script.remove_prefix(end + 1);
  }
  return tables;
}

// A schema name in SQL text: in double quotes, so that a column named like a keyword
// (Requests.From) reads as the column.
std::string QuotedName(std::string_view name) {
  return "\"" + std::string(name) + "\"";
}

// The reply frames the text with an int32 length: a text beyond it is an error, never a
// wrapped length.
void CheckFrameable(const std::string& xml) {
  if (xml.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw std::runtime_error("The packet is too large to send");
}

void SendPacket(TZQSock& socket, std::string_view replyLine, const std::string& xml) {
  socket.WriteLine(replyLine);
  socket.WriteInt32(static_cast<std::int32_t>(xml.size()));
  socket.WriteText(xml);
}

}  // namespace

const std::vector<cSharedTableColumns>& SharedTableColumns() {
  static const std::vector<cSharedTableColumns> tables = ParseSharedSchema();
  return tables;
}

std::optional<std::string> FindSharedTable(std::string_view table) {
  for (const auto& t : SharedTableColumns())
    if (AsciiEqualsNoCase(t.Table, table)) return t.Table;
  return std::nullopt;
}

std::optional<std::string> FindSharedColumn(std::string_view table, std::string_view column) {
  for (const auto& t : SharedTableColumns()) {
    if (!AsciiEqualsNoCase(t.Table, table)) continue;
    for (const auto& c : t.Columns)
      if (AsciiEqualsNoCase(c, column)) return c;
  }
  return std::nullopt;
}

cAdminListingArgs SplitAdminListingArgument(std::string_view argument) {
  auto take = [&argument]() {
    const std::size_t blank = argument.find(' ');
    std::string piece(argument.substr(0, blank));
    argument = blank == std::string_view::npos ? std::string_view() : argument.substr(blank + 1);
    return piece;
  };
  cAdminListingArgs args;
  args.Table = take();
  args.Field = take();
  args.Value = std::string(argument);
  return args;
}

std::string BuildAdminListingSql(TAdminListingMode mode, const cAdminListingArgs& args) {
  const auto table = FindSharedTable(args.Table);
  if (!table) throw std::runtime_error("No table of the data folder is named " + Shown(args.Table));
  const auto field = FindSharedColumn(*table, args.Field);
  if (!field)
    throw std::runtime_error("Table " + *table + " has no field named " + Shown(args.Field));
  std::string sql = "Select * From " + QuotedName(*table) + "\n";
  if (mode == TAdminListingMode::MatchingRecords) {
    const std::string_view value = TrimBlanksAndTabs(args.Value);
    // One literal and nothing else; no control character (a NUL would cut the text short).
    bool plain = true;
    for (char c : value)
      plain = plain && static_cast<unsigned char>(c) >= 32;
    if (!plain || !IsSqlLiteral(value))
      throw std::runtime_error("The value is not one SQL literal: " + Shown(args.Value));
    sql += "where " + QuotedName(*field) + "=" + std::string(value) + "\n";
  }
  return sql + "order by " + QuotedName(*field);
}

void SendUserList(cServer& server, TZQSock& socket) {
  PerformAndSendBackQuery(server, socket, kUserListSql);
}

void SendGroupMembers(cServer& server, TZQSock& socket, std::string_view groupName) {
  std::lock_guard<std::recursive_mutex> guard(server.DatabaseLock);
  std::string xml;
  try {
    cLiteXMLPacket packet;
    WithSharedQuery(server, kGroupMembersSql, {std::string(groupName)},
                    [&](engine::TVELDORQuery& query) { packet.LoadFromQuery(query); });
    xml = packet.TakeXml();
    CheckFrameable(xml);
  } catch (const std::exception& error) {
    server.WriteLog("In cServer.PerformAndSendBackQuery (): " + QuotedMessage(error.what()));
    socket.WriteLine("-ERR Server-side error when performing query");
    return;
  }
  SendPacket(socket, "+OK Query Result Follows", xml);
}

void SendAdminListing(cServer& server, const cClientInfoStruct& session, TZQSock& socket,
                      TAdminListingMode mode, std::string_view argument) {
  std::lock_guard<std::recursive_mutex> guard(server.DatabaseLock);
  if (!session.HasAdminPower) {
    socket.WriteLine("-ERR You do not have admin permissions");
    return;
  }
  std::string xml;
  bool matched = true;
  try {
    const std::string sql = BuildAdminListingSql(mode, SplitAdminListingArgument(argument));
    cLiteXMLPacket packet;
    WithSharedQuery(server, sql, {}, [&](engine::TVELDORQuery& query) {
      if (mode == TAdminListingMode::MatchingRecords && query.IsEmpty()) {
        matched = false;
        return;
      }
      packet.LoadFromQuery(query);
    });
    xml = packet.TakeXml();
    CheckFrameable(xml);
  } catch (const std::exception& error) {
    server.WriteLog(std::string("In cServer.SendAdminListing (): ") + error.what());
    socket.WriteLine("-ERR Server-side error during admin operation");
    return;
  }
  if (!matched) {
    socket.WriteLine("-ERR No matching record");
    return;
  }
  SendPacket(socket, "+OK Admin data follows", xml);
}

}  // namespace zorvic
