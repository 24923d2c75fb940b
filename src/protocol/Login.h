// Login in the authentication stage: 1000 (load an account), 1002 and 1003 (security answers),
// 2002 (security questions) and 1001 (log in), plus the checks shared with other handlers.
//
// No client text reaches SQL except as a bound value, and a user name that could not name a
// folder of its own never reaches the file system: such a name is an unknown account.
//
// Thread safety: the handlers run on the session's own thread and change only its session
// record; they take DatabaseLock for the account's rows (FetchUserInfo, UpdateLastLoginDate)
// and never hold it while they probe another session's listening connection.
#pragma once

#include <string>
#include <string_view>

namespace zorvic {

class cServer;
class TZQSock;
struct cClientInfoStruct;
struct cCommandStruct;

inline constexpr char kInvalidLoginReply[] = "-ERR Invalid User Name or Password!";
inline constexpr char kAlreadyConnectedReply[] =
    "-ERR You are already connected from somewhere else!";
inline constexpr char kDeadConnectionReply[] =
    "-ERR You are already connected, but that connection seems to have died. Please re-login "
    "in a few seconds.";

// True for a name that can be one folder under UsersFolder (IsSafeFolderName).
bool IsSafeUserName(std::string_view name);

// Clears every field 1000 loads (the account's data, rights and limits, Authenticated and
// IsListening); the answers given by 1002 and 1003 and the user name stay.
void ResetLoginFields(cClientInfoStruct& session);

// The authentication-stage codes of login: 1000, 1001, 1002, 1003 and 2002. True when the code
// was one of them (and has been answered as its command says).
bool DispatchLoginCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                          const cCommandStruct& command);

}  // namespace zorvic
