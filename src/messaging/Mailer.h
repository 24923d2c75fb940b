// The mailer: forwarding of queued messages by e-mail, and the password mail of 2019.
//
// DispatchPasswordMailCommand: true when the code is one of this area's commands (2019, in the
// authentication stage) and has been answered. SendPasswordByEmail answers "+OK Trying to
// send info by email" at once, then mails the loaded account's user name and password to its
// PrimaryEmail through the SMTP server of the options; any failure only reaches the log, as
// "In cServer.SendPasswordByEmail (): " + message. It runs on the session's thread and holds
// no lock while it talks to the SMTP server; every wait there is bounded.
#pragma once

namespace zorvic {

class cServer;
class TZQSock;
struct cClientInfoStruct;
struct cCommandStruct;

void SendPasswordByEmail(cServer& server, const cClientInfoStruct& session, TZQSock& socket);

bool DispatchPasswordMailCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                                 const cCommandStruct& command);

}  // namespace zorvic
