// The session loop and the dispatcher of the command protocol (cServer methods).
//
// A session starts in the authentication stage and moves to the command stage when a login
// succeeds. Each stage has its own table of codes; a code of the other stage is answered like
// an unknown code of this one. Handlers of other areas are reached from the two stage
// dispatchers below.
#include <exception>
#include <string>

#include "app/Server.h"
#include "app/ServerLimits.h"
#include "net/ZQServerCore.h"
#include "net/ZQSock.h"
#include "protocol/ClientInfo.h"
#include "protocol/Command.h"

namespace zorvic {

namespace {

std::string ErrorMessage(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

}  // namespace

void cServer::OnNewConnect(TZQClientThread& client) {
  TZQSock& socket = client.Socket;
  cClientInfoStruct session;
  cCommandStruct command;
  try {
    for (;;) {
      if (!socket.Connected() || socket.PeerHasClosed() || !socket.ValidSocket()) break;
      if (client.StopRequested()) break;
      // An idle session is never dropped: it is only re-checked every kAwaitCommandMs.
      if (!socket.AwaitData(kAwaitCommandMs)) continue;
      std::string line = socket.ReadLine(kReadCommandLineMs);
      if (socket.LastReadTimeout()) continue;  // the partial line is dropped
      ParseCommand(line, command);
      ProcessCommand(socket, session, command);
      if (session.IsListening) break;  // the session now only receives pushes
    }
    if (session.Authenticated) EndAuthenticatedSession(client, session);
  } catch (...) {
    LogCaughtError("In cServer.OnNewConnect (): " + ErrorMessage(std::current_exception()));
  }
}

void cServer::EndAuthenticatedSession(TZQClientThread& client, cClientInfoStruct& session) {
  // Dropping the mailbox reference taken by the login, and ending or handing over the user's
  // listening connection, arrive with the mailbox registry and listening connections.
  (void)client;
  (void)session;
}

void cServer::ProcessCommand(TZQSock& socket, cClientInfoStruct& session,
                             const cCommandStruct& command) {
  try {
    if (command.Code == kCmdGoodbye) {
      socket.WriteLine("+OK Goodbye!");
      // Half-close and drain instead of a reset, so the goodbye reaches the client even when
      // it has sent more lines after 2000.
      socket.CloseGraceful(kGoodbyeDrainMs);
      return;
    }
    // The group list (2012) is answered in either stage: its handler goes here, before the
    // stage split, when the listings exist.
    if (session.Authenticated) {
      if (!DispatchCommandStage(socket, session, command)) {
        socket.WriteLine("-ERR Unrecognized command: " + std::to_string(command.Code));
      }
    } else if (!DispatchAuthenticationStage(socket, session, command)) {
      socket.WriteLine("-ERR Unrecognized command in the authentication stage: " +
                       std::to_string(command.Code));
    }
  } catch (...) {
    LogCaughtError("In cServer.ProcessCommand (): " + ErrorMessage(std::current_exception()));
  }
}

bool cServer::DispatchAuthenticationStage(TZQSock& socket, cClientInfoStruct& session,
                                          const cCommandStruct& command) {
  (void)socket;
  (void)session;
  switch (command.Code) {
    // Login (1000 to 1003, 2002), password mail (2019) and account requests (2020) are
    // handled here once their areas exist.
    default:
      return false;
  }
}

bool cServer::DispatchCommandStage(TZQSock& socket, cClientInfoStruct& session,
                                   const cCommandStruct& command) {
  switch (command.Code) {
    case kCmdSendPassword:
      socket.WriteLine(session.Password);
      return true;
    case kCmdHasAdminPower:
      socket.WriteLine(session.HasAdminPower ? "+OK 1" : "+OK 0");
      return true;
    default:
      return false;
  }
}

}  // namespace zorvic
