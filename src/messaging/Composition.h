// Message composition and delivery: command 2003.
//
// True when the code is one of this area's commands and has been answered.
#pragma once

namespace zorvic {

class cServer;
class TZQSock;
struct cClientInfoStruct;
struct cCommandStruct;

// Command 2003 with `attachmentCount` attachments (the command's argument as a number, 0 when
// it is missing or not a number). Answers the client and logs; never raises.
void HandleUserComposingMessage(cServer& server, cClientInfoStruct& session, TZQSock& socket,
                                int attachmentCount);

bool DispatchCompositionCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                                const cCommandStruct& command);

}  // namespace zorvic
