// Message composition and delivery: command 2003.
//
// True when the code is one of this area's commands and has been answered.
#pragma once

namespace zorvic {

class cServer;
class TZQSock;
struct cClientInfoStruct;
struct cCommandStruct;

bool DispatchCompositionCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                                const cCommandStruct& command);

}  // namespace zorvic
