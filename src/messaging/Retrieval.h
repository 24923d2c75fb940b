// Message retrieval: commands 2004, 2005, 2008 and 2009.
//
// True when the code is one of this area's commands and has been answered.
#pragma once

namespace zorvic {

class cServer;
class TZQSock;
struct cClientInfoStruct;
struct cCommandStruct;

bool DispatchRetrievalCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                              const cCommandStruct& command);

}  // namespace zorvic
