// Registration of listening connections (2013), presence changes (2017) and the end of a
// listening connection: the dispatcher's side of src/protocol/Listening.h.
//
// Thread safety: each function runs on the session thread named in its comment; the
// Listeners list lock is held only for membership changes and for queueing records (memory
// work), never across a network write or wait.
#pragma once

#include <string>

namespace zorvic {

class cServer;
class TZQSock;
struct cClientInfoStruct;

// 2013 on a logged-in session: answers "+OK You are now a listening socket!", registers the
// session as the account's listening connection, queues the account's presence 1 for every
// listener (the new one first sees its own record) and the snapshot of the others for the
// new one, and marks the session listening. A failure to create the record is raised.
void RegisterListener(cServer& server, TZQSock& socket, cClientInfoStruct& session);

// 2017 with its argument: the status number (low 8 bits), 1 when missing or not a number.
int PresenceStatusArgument(const std::string& argument);

// The listening session's own thread, after its loop stopped reading: runs the parked
// connection until it is released, then removes the session's own record, tells the others
// the account is offline and logs "User <name> logged out".
void RunListeningConnection(cServer& server, cClientInfoStruct& session);

// End of an account's command session: asks the account's listening connection to end.
void ReleaseUserListener(cServer& server, const std::string& userName);

}  // namespace zorvic
