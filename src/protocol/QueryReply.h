// PerformAndSendBackQuery: a fixed SELECT on the shared database sent back as an XML packet
// ("+OK Query Result Follows", int32 the XML length, the XML text). The group list (2012)
// uses it in either stage.
//
// Thread safety: runs on the session's thread under DatabaseLock for the whole exchange,
// network write included, like every reply that reads the shared tables.
#pragma once

#include <string_view>

namespace zorvic {

class cServer;
class TZQSock;

inline constexpr char kGroupListSql[] = "Select GroupName from Groups order by GroupName";

// Runs `sql` (a fixed text of the server's, never client text) and sends its packet. On an
// error logs "In cServer.PerformAndSendBackQuery (): " + the message in single quotes and
// answers "-ERR Server-side error when performing query".
void PerformAndSendBackQuery(cServer& server, TZQSock& socket, std::string_view sql);

}  // namespace zorvic
