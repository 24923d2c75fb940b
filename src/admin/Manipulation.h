// Resource manipulation (2102, 2103, 2104) and account requests (2020 before login, 2115).
//
// True when the code is one of this area's commands and has been answered.
#pragma once

namespace zorvic {

class cServer;
class TZQSock;
struct cClientInfoStruct;
struct cCommandStruct;

bool DispatchManipulationCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                                 const cCommandStruct& command);
bool DispatchAccountRequestCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                                   const cCommandStruct& command);

}  // namespace zorvic
