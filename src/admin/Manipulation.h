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

// 2102 (create), 2103 (update), 2104 (delete) of a record of a shared table, and 2020 (a new
// user's own account, selfService) with the argument "LENGTH TABLE" and the packet of LENGTH
// bytes right after the command line. Refusals: "-ERR You do not have the permissions to
// perform this operation" (not an administrator), "-ERR malformed XML", "-ERR a resource with
// that identifier already exists!" (2102), "-ERR The packet is too large" (above
// MaxPacketSize; the connection ends). A packet the shared schema does not admit, a value
// that is no literal of its type and a failing statement are logged as
// "In cServer.HandleAdminManipulateResource (): " + the quoted message and answered
// "-ERR Server-side exception while performing operation". Success:
// "+OK Admin Resource Manipulation Successful". Changing or deleting a Users record ends the
// account's sessions first; creating one makes the user's folder, deleting it removes it.
void HandleAdminManipulateResource(cServer& server, const cClientInfoStruct& session,
                                   const cCommandStruct& command, TZQSock& socket,
                                   bool selfService);
// 2115 with a RequestID: enables the account that filed the request and deletes the request
// ("+OK Request approved", also for an unknown id). An id that is not a number or a failing
// statement: "In cServer.HandleApproveAccountCreation (): " + the quoted message and
// "-ERR Server-side error during operation".
void HandleApproveAccountCreation(cServer& server, const cClientInfoStruct& session,
                                  TZQSock& socket, const cCommandStruct& command);

}  // namespace zorvic
