// Listening connections and presence (cServer methods and the dispatcher's 2013 and 2017).
//
// Presence travels as queued records: a broadcast holds the Listeners list lock only while it
// appends one record to each listener's queue, and every listener's own thread writes its
// queue out. A listener that stops reading therefore delays nobody but itself; its write gives
// up after the send time-out and the listener ends as if its session had ended.
#include "protocol/Presence.h"

#include <algorithm>
#include <charconv>
#include <memory>

#include "app/Server.h"
#include "net/ZQSock.h"
#include "protocol/ClientInfo.h"
#include "protocol/Listening.h"
#include "protocol/ProtocolLimits.h"

namespace zorvic {

using TListenerList = TThreadListLock<std::shared_ptr<cNotificationThreadStruct>>;

std::shared_ptr<cNotificationThreadStruct> cServer::FindListener(std::string_view name) {
  TListenerList list(Listeners);
  for (const auto& record : list.Items()) {
    if (record->UserName == name) return record;
  }
  return nullptr;
}

void cServer::BroadcastPresence(std::string_view name, std::string_view group, int status) {
  const std::string bytes = PresenceRecord(name, group, static_cast<std::uint8_t>(status));
  TListenerList list(Listeners);
  for (const auto& record : list.Items())
    record->QueueRecord(bytes);
}

void cServer::SendPresenceSnapshot(cNotificationThreadStruct& target) {
  std::string bytes;
  TListenerList list(Listeners);
  for (const auto& record : list.Items()) {
    if (record.get() == &target) continue;
    bytes += PresenceRecord(record->UserName, record->GroupName, record->Status);
  }
  if (!bytes.empty()) target.QueueRecord(bytes);
}

void RegisterListener(cServer& server, TZQSock& socket, cClientInfoStruct& session) {
  auto record =
      std::make_shared<cNotificationThreadStruct>(session.UserName, session.GroupName, socket);
  // Nobody else writes to this socket before it is registered, so the reply goes first; the
  // records queued below follow it once the session's thread parks.
  socket.WriteLine("+OK You are now a listening socket!");
  {
    // One hold of the list lock from the registration to the snapshot: no other writer can
    // find the new record before its own presence record and the snapshot are queued.
    TListenerList list(server.Listeners);
    list.Items().push_back(record);
    // From here the end of the session removes the record again, whatever happens next.
    session.Listener = record;
    session.IsListening = true;
    server.BroadcastPresence(record->UserName, record->GroupName, kPresenceOnline);
    server.SendPresenceSnapshot(*record);
  }
}

int PresenceStatusArgument(const std::string& argument) {
  std::int32_t value = 0;
  const char* first = argument.data();
  const char* last = first + argument.size();
  if (first != last && *first == '+') ++first;
  auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last || first == last) return kPresenceOnline;
  return static_cast<int>(static_cast<std::uint32_t>(value) & 0xFF);
}

void RunListeningConnection(cServer& server, cClientInfoStruct& session) {
  std::shared_ptr<cNotificationThreadStruct> record = std::move(session.Listener);
  if (!record) return;
  record->RunParked();
  {
    TListenerList list(server.Listeners);
    auto& items = list.Items();
    items.erase(std::remove(items.begin(), items.end(), record), items.end());
  }
  // Only now do waiting logins learn that the listener is gone: when they retry, the record
  // is no longer registered.
  record->Finish();
  server.BroadcastPresence(record->UserName, record->GroupName, kPresenceOffline);
  server.WriteLog("User " + record->UserName + " logged out");
}

void ReleaseUserListener(cServer& server, const std::string& userName) {
  if (auto record = server.FindListener(userName)) record->Wake();
}

}  // namespace zorvic
