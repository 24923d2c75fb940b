// The mailer: forwarding of queued messages by e-mail, and the password mail of 2019.
//
// True when the code is one of this area's commands and has been answered.
#pragma once

namespace zorvic {

class cServer;
class TZQSock;
struct cClientInfoStruct;
struct cCommandStruct;

bool DispatchPasswordMailCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                                 const cCommandStruct& command);

}  // namespace zorvic
