// The listings of the shared tables: the users and group members that every logged-in client
// shows (2010, 2011) and the administration listings of any shared table (2100, 2101). Each
// reply that carries data is a line, int32 (big-endian) the length of the XML text, then the
// text of a data packet (cLiteXMLPacket) built from the query.
//
// Client text never reaches SQL as such: table and field names are looked up among the
// tables and columns of the shared schema and written in their own spelling; the group name of
// 2011 is a bound parameter; the value of 2101 must be exactly one SQL literal. Every
// statement runs in single-statement mode.
//
// Thread safety: called on the session's thread; each handler holds the server's
// DatabaseLock from the query to the end of the network write (a slow reader delays other
// users of the shared database for that long, as every reply that reads the shared tables).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvic {

class cServer;
class TZQSock;
struct cClientInfoStruct;

inline constexpr char kUserListSql[] = "Select UserName,GroupName from Users Order by GroupName";
inline constexpr char kGroupMembersSql[] =
    "Select UserName from Users where GroupName=? order by UserName";

// 2010: every user with its group, ordered by group.
void SendUserList(cServer& server, TZQSock& socket);
// 2011: the users of the group named `groupName` (compared as a value, never as SQL), ordered
// by name; an unknown group gives a packet without rows. On an error logs
// "In cServer.PerformAndSendBackQuery (): " + the message in single quotes and answers
// "-ERR Server-side error when performing query".
void SendGroupMembers(cServer& server, TZQSock& socket, std::string_view groupName);

enum class TAdminListingMode { WholeTable = 0, MatchingRecords = 1 };

// 2100 ("Table OrderField") and 2101 ("Table KeyField Value"). Refuses a session without
// HasAdminPower with "-ERR You do not have admin permissions". A 2101 that matches nothing
// answers "-ERR No matching record". A table or field that is not one of the shared schema, a
// value that is not one literal, or a failing statement logs "In cServer.SendAdminListing (): "
// + the message and answers "-ERR Server-side error during admin operation".
void SendAdminListing(cServer& server, const cClientInfoStruct& session, TZQSock& socket,
                      TAdminListingMode mode, std::string_view argument);

// ---- the pieces, for tests ----------------------------------------------------------------

// The argument of 2100/2101 split at the first two blanks: the table, the field and the rest
// (the value of 2101). When no blank is left, the whole remaining text is the piece and what
// follows is empty.
struct cAdminListingArgs {
  std::string Table;
  std::string Field;
  std::string Value;
};
cAdminListingArgs SplitAdminListingArgument(std::string_view argument);

// A table of the shared schema and its columns, in the schema's own spelling.
struct cSharedTableColumns {
  std::string Table;
  std::vector<std::string> Columns;
  // Beside each column: the n of its VARCHAR(n) type, nullopt for every other type.
  std::vector<std::optional<std::size_t>> Widths;
};
// The tables created by the shared schema script, in script order.
const std::vector<cSharedTableColumns>& SharedTableColumns();
// The table's and the column's spelling in the schema (names compare without regard to
// letter case, as SQL names do), or nullopt when the schema has no such table or column.
std::optional<std::string> FindSharedTable(std::string_view table);
std::optional<std::string> FindSharedColumn(std::string_view table, std::string_view column);

// The listing statement; raises std::runtime_error with the message for the log
// when a name is not of the schema or the value (2101) is not exactly one literal.
std::string BuildAdminListingSql(TAdminListingMode mode, const cAdminListingArgs& args);

}  // namespace zorvic
