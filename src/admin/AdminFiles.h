// Options (2106, 2107), settings files (2014, 2015) and client updates (2111 to 2118).
//
// True when the code is one of this area's commands and has been answered.
#pragma once

namespace zorvic {

class cServer;
class TZQSock;
struct cClientInfoStruct;
struct cCommandStruct;

bool DispatchAdminFilesCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                               const cCommandStruct& command);

}  // namespace zorvic
