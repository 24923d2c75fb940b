#include "protocol/CommandSessions.h"

#include <vector>

#include "app/Server.h"
#include "net/ZQSock.h"
#include "protocol/Listening.h"

namespace zorvic {

std::shared_ptr<cCommandSessionStruct> RegisterCommandSession(cServer& server,
                                                              std::string_view userName,
                                                              TZQSock& socket) {
  auto record = std::make_shared<cCommandSessionStruct>(std::string(userName), socket);
  server.CommandSessions.Add(record);
  return record;
}

void UnregisterCommandSession(cServer& server,
                              const std::shared_ptr<cCommandSessionStruct>& record) {
  if (record) server.CommandSessions.Remove(record);
}

int EndAccountSessions(cServer& server, std::string_view userName, const TZQSock* current) {
  int marked = 0;
  {
    // The sockets are shut down under the list lock: a session leaves the list before its
    // socket is closed, so every socket reached here is still open.
    TThreadListLock<std::shared_ptr<cCommandSessionStruct>> lock(server.CommandSessions);
    for (const auto& record : lock.Items()) {
      if (record->UserName != userName) continue;
      record->Ended.store(true, std::memory_order_release);
      ++marked;
      if (&record->Socket != current) record->Socket.Interrupt();
    }
  }
  std::vector<std::shared_ptr<cNotificationThreadStruct>> listeners;
  {
    TThreadListLock<std::shared_ptr<cNotificationThreadStruct>> lock(server.Listeners);
    for (const auto& record : lock.Items())
      if (record->UserName == userName) listeners.push_back(record);
  }
  for (const auto& record : listeners)
    record->Wake();
  return marked;
}

bool SessionEnded(cServer& server, const TZQSock& socket) {
  TThreadListLock<std::shared_ptr<cCommandSessionStruct>> lock(server.CommandSessions);
  for (const auto& record : lock.Items())
    if (&record->Socket == &socket) return record->Ended.load(std::memory_order_acquire);
  return false;
}

}  // namespace zorvic
