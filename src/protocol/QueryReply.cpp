#include "protocol/QueryReply.h"

#include <exception>
#include <mutex>
#include <string>

#include "app/Server.h"
#include "app/SharedSql.h"
#include "engine/sql/query/Query.h"
#include "net/ZQSock.h"
#include "packet/LiteXMLPacket.h"

namespace zorvic {

namespace {

std::string QuotedMessage(std::string_view message) {
  std::string quoted = "'";
  for (char c : message) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

}  // namespace

void PerformAndSendBackQuery(cServer& server, TZQSock& socket, std::string_view sql) {
  std::lock_guard<std::recursive_mutex> guard(server.DatabaseLock);
  std::string xml;
  try {
    cLiteXMLPacket packet;
    WithSharedQuery(server, sql, {},
                    [&](engine::TVELDORQuery& query) { packet.LoadFromQuery(query); });
    xml = packet.TakeXml();
  } catch (const std::exception& error) {
    server.WriteLog("In cServer.PerformAndSendBackQuery (): " + QuotedMessage(error.what()));
    socket.WriteLine("-ERR Server-side error when performing query");
    return;
  }
  socket.WriteLine("+OK Query Result Follows");
  socket.WriteInt32(static_cast<std::int32_t>(xml.size()));
  socket.WriteText(xml);
}

}  // namespace zorvic
