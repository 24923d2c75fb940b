// The session loop and the dispatcher of the command protocol (cServer methods).
//
// A session starts in the authentication stage and moves to the command stage when a login
// succeeds. Each stage has its own table of codes; a code of the other stage is answered like
// an unknown code of this one. Handlers of other areas are reached from the two stage
// dispatchers below.
#include <exception>
#include <string>

#include "admin/AdminFiles.h"
#include "admin/Listings.h"
#include "admin/Manipulation.h"
#include "app/ErrorText.h"
#include "app/Server.h"
#include "app/ServerLimits.h"
#include "messaging/Composition.h"
#include "messaging/Mailer.h"
#include "messaging/Retrieval.h"
#include "net/ThreadStack.h"
#include "net/ZQServerCore.h"
#include "net/ZQSock.h"
#include "net/ZQWorkPool.h"
#include "protocol/ClientInfo.h"
#include "protocol/Command.h"
#include "protocol/CommandSessions.h"
#include "protocol/Login.h"
#include "protocol/Presence.h"
#include "protocol/QueryReply.h"

namespace zorvic {

void cServer::OnNewConnect(TZQClientThread& client) {
  TZQSock& socket = client.Socket;
  cClientInfoStruct session;
  cCommandStruct command;
  // Registered once the login succeeds; an administrator's change to the account ends it.
  std::shared_ptr<cCommandSessionStruct> registration;
  bool stackTouched = false;
  try {
    for (;;) {
      if (!socket.Connected() || socket.PeerHasClosed() || !socket.ValidSocket()) break;
      if (client.StopRequested()) break;
      // A session that goes quiet after a command gives back the stack pages the command
      // touched; a client that sends its next line at once never waits for it.
      if (stackTouched && !socket.AwaitData(kIdleStackReleaseMs)) {
        ReleaseUnusedStack();
        stackTouched = false;
      }
      // An idle session is never dropped: it is only re-checked every kAwaitCommandMs.
      if (!socket.AwaitData(kAwaitCommandMs)) continue;
      stackTouched = true;
      std::string line = socket.ReadLine(kReadCommandLineMs);
      if (socket.LastReadTimeout()) continue;  // the partial line is dropped
      ParseCommand(line, command);
      ProcessCommand(socket, session, command);
      if (session.Authenticated && !registration)
        registration = RegisterCommandSession(*this, session.UserName, socket);
      if (registration && registration->Ended.load()) break;
      if (session.IsListening) break;  // the session now only receives pushes
    }
  } catch (...) {
    LogCaughtError("In cServer.OnNewConnect (): " + ErrorMessage(std::current_exception()));
  }
  // The end of the session runs whatever ended the loop, so a mailbox reference or a
  // listener registration is never left behind.
  try {
    if (session.Authenticated) EndAuthenticatedSession(client, session);
  } catch (...) {
    LogCaughtError("In cServer.OnNewConnect (): " + ErrorMessage(std::current_exception()));
  }
  UnregisterCommandSession(*this, registration);
}

void cServer::EndAuthenticatedSession(TZQClientThread& client, cClientInfoStruct& session) {
  (void)client;
  // The login's reference (clears the pointer). Closing a mailbox frees its components on a
  // pool thread, so a listening connection that lives on does not keep them in its cache.
  TZQWorkPool::Shared().Run([&] { ReleaseUserQuery(session.Mailbox); });
  if (session.IsListening) {
    // This session is the listening connection: it serves its pushes until it is released.
    RunListeningConnection(*this, session);
  } else {
    // The user's command session ends: so does the user's listening connection.
    ReleaseUserListener(*this, session.UserName);
  }
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
    if (command.Code == kCmdListGroups) {  // in either stage
      PerformAndSendBackQuery(*this, socket, kGroupListSql);
      return;
    }
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
  return DispatchLoginCommand(*this, socket, session, command) ||
         DispatchPasswordMailCommand(*this, socket, session, command) ||
         DispatchAccountRequestCommand(*this, socket, session, command);
}

bool cServer::DispatchCommandStage(TZQSock& socket, cClientInfoStruct& session,
                                   const cCommandStruct& command) {
  switch (command.Code) {
    case kCmdSendPassword:
      socket.WriteLine(session.Password);
      return true;
    case kCmdBecomeListener:
      RegisterListener(*this, socket, session);
      return true;
    case kCmdPresenceStatus:
      BroadcastPresence(session.UserName, session.GroupName,
                        PresenceStatusArgument(command.Argument));
      return true;
    case kCmdHasAdminPower:
      socket.WriteLine(session.HasAdminPower ? "+OK 1" : "+OK 0");
      return true;
    case kCmdListUsers:
      SendUserList(*this, socket);
      return true;
    case kCmdListGroupMembers:
      SendGroupMembers(*this, socket, command.Argument);
      return true;
    case kCmdAdminListTable:
      SendAdminListing(*this, session, socket, TAdminListingMode::WholeTable, command.Argument);
      return true;
    case kCmdAdminListMatching:
      SendAdminListing(*this, session, socket, TAdminListingMode::MatchingRecords,
                       command.Argument);
      return true;
    default:
      return DispatchCompositionCommand(*this, socket, session, command) ||
             DispatchRetrievalCommand(*this, socket, session, command) ||
             DispatchManipulationCommand(*this, socket, session, command) ||
             DispatchAdminFilesCommand(*this, socket, session, command);
  }
}

}  // namespace zorvic
