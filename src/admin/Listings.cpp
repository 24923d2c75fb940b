#include "admin/Listings.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>

#include "app/AsciiText.h"
#include "app/SchemaColumns.h"
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

std::vector<cSharedTableColumns> ParseSharedSchema() {
  std::vector<cSharedTableColumns> tables;
  for (const cSchemaTable& schema : ParseSchemaScript(kSharedSchemaScript)) {
    cSharedTableColumns table{schema.Name, {}, {}};
    for (const cSchemaColumn& column : schema.Columns) {
      table.Columns.push_back(column.Name);
      table.Widths.push_back(VarcharWidth(column.Definition));
    }
    tables.push_back(std::move(table));
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
