// Login: 1000, 1001, 1002, 1003, 2002, FetchUserInfo and UpdateLastLoginDate.
//
// A login (1001) that passes the password (or the two security answers), the account's
// enabled flag and its folder still has to show that the account has no live session: when
// the account holds a listening connection, that connection is probed (int32 2022, answered by
// int32 1) by the listener's own thread while this login waits without holding any lock; a
// live listener refuses the login, a dead one is ended and the client is told to log in again
// shortly. Only then is the mailbox opened, and a mailbox that cannot be opened refuses the
// login too.
#include "protocol/Login.h"

#include <climits>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include "app/Folders.h"
#include "app/Server.h"
#include "app/SharedSql.h"
#include "app/ThreadINIFile.h"
#include "crypto/Scramble.h"
#include "engine/storage/formats/FieldTypes.h"
#include "net/ZQSock.h"
#include "net/ZQWorkPool.h"
#include "protocol/ClientInfo.h"
#include "protocol/Command.h"
#include "protocol/Listening.h"
#include "protocol/ProtocolLimits.h"

namespace zorvic {

namespace {

std::string Text(const cSqlRows& rows, std::string_view column) {
  const int index = rows.ColumnIndex(column);
  if (index < 0 || rows.Rows.empty()) return {};
  const auto& value = rows.Rows.front()[static_cast<std::size_t>(index)];
  return value ? *value : std::string();
}

// Booleans come as "True" / "False"; NULL reads as `ifNull`.
bool Flag(const cSqlRows& rows, std::string_view column, bool ifNull) {
  const int index = rows.ColumnIndex(column);
  if (index < 0 || rows.Rows.empty()) return ifNull;
  const auto& value = rows.Rows.front()[static_cast<std::size_t>(index)];
  if (!value) return ifNull;
  return *value == "True" || *value == "true" || *value == "TRUE" || *value == "1";
}

std::int32_t Number(const cSqlRows& rows, std::string_view column) {
  std::int32_t value = 0;
  const std::string text = Text(rows, column);
  try {
    std::size_t used = 0;
    const long long n = std::stoll(text, &used);
    if (used == text.size() && n >= INT32_MIN && n <= INT32_MAX)
      value = static_cast<std::int32_t>(n);
  } catch (const std::exception&) {
  }
  return value;
}

// Kilobytes to bytes without overflowing: sizes past 2 GiB are taken as 2 GiB - 1.
std::int32_t KilobytesToBytes(std::int32_t kilobytes) {
  const long long bytes = static_cast<long long>(kilobytes) * 1024;
  if (bytes > INT32_MAX) return INT32_MAX;
  if (bytes < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(bytes);
}

bool UserFolderExists(const std::string& userName) {
  std::error_code error;
  return std::filesystem::is_directory(UserFolderPath(userName), error);
}

// Runs the engine work of a login step on the shared work pool (see ZQWorkPool.h), so that the
// blocks it allocates and frees are not kept in this session thread's allocator cache for the
// rest of the session. The session thread holds no lock while it waits.
template <class F>
void OnWorkPool(F&& work) {
  TZQWorkPool::Shared().Run(std::function<void()>(std::forward<F>(work)));
}

// Steps 1 to 5 of 1001: the password (or the two answers), the enabled flag and the folder;
// LogEntry is the entry to write for an argument that is not scrambled text.
struct TLoginCheck {
  bool Passed = false;
  std::string LogEntry;
};

TLoginCheck CheckCredentials(cServer& server, const cClientInfoStruct& session,
                             const std::string& argument) {
  TLoginCheck check;
  if (session.UserName.empty()) return check;
  std::string offered;
  if (!argument.empty()) {
    try {
      std::lock_guard<std::recursive_mutex> guard(server.ScramblingLock);
      offered = ScrambleString(argument, ProgramKey(), false);
    } catch (const std::exception& error) {
      // Text that is not scrambled at all is a wrong password, and the client must hear so.
      check.LogEntry = std::string("In cServer.ProcessCommand (): ") + error.what();
      return check;
    }
  }
  bool passed = offered == session.Password;
  if (!passed && !session.GivenAnswer1.empty() && !session.GivenAnswer2.empty()) {
    passed = session.GivenAnswer1 == session.Answer1 && session.GivenAnswer2 == session.Answer2;
  }
  if (passed) {
    passed = !session.AccountDisabled && IsSafeUserName(session.UserName) &&
             UserFolderExists(session.UserName);
  }
  check.Passed = passed;
  return check;
}

void HandleLogin(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                 const std::string& argument) {
  session.Authenticated = false;
  TLoginCheck check;
  if (!session.UserName.empty()) {
    OnWorkPool([&] {
      check = CheckCredentials(server, session, argument);
      if (!check.LogEntry.empty()) server.WriteLog(check.LogEntry);
    });
  }
  if (!check.Passed) {
    socket.WriteLine(kInvalidLoginReply);
    return;
  }
  // The probe waits on the other connection's thread; this thread holds no lock meanwhile.
  if (auto listener = server.FindListener(session.UserName)) {
    if (listener->Probe() == TProbeResult::Alive) {
      socket.WriteLine(kAlreadyConnectedReply);
    } else {
      listener->Wake();  // ends on its own when the probe failed; a wait that ran out ends it
      socket.WriteLine(kDeadConnectionReply);
    }
    return;
  }
  const std::string peer = socket.PeerIPAddress();
  OnWorkPool([&] {
    session.Mailbox = server.ReferenceUserQuery(session.UserName);
    // Without a mailbox the session could not work; ReferenceUserQuery has logged why.
    if (session.Mailbox == nullptr) return;
    session.Authenticated = true;
    server.WriteLog("User " + session.UserName + " logged in from " + peer);
    server.UpdateLastLoginDate(session.UserName);
  });
  if (!session.Authenticated) {
    socket.WriteLine(kInvalidLoginReply);
    return;
  }
  std::lock_guard<std::recursive_mutex> guard(server.ScramblingLock);
  socket.WriteLine(server.DataScrambling ? "+OK 1" : "+OK 0");
}

}  // namespace

bool IsSafeUserName(std::string_view name) {
  return IsSafeFolderName(name);
}

void ResetLoginFields(cClientInfoStruct& session) {
  cClientInfoStruct fresh;
  fresh.UserName = std::move(session.UserName);
  fresh.GivenAnswer1 = std::move(session.GivenAnswer1);
  fresh.GivenAnswer2 = std::move(session.GivenAnswer2);
  fresh.Mailbox = session.Mailbox;
  fresh.Listener = std::move(session.Listener);
  session = std::move(fresh);
}

bool cServer::FetchUserInfo(cClientInfoStruct& session) {
  ResetLoginFields(session);
  if (!IsSafeUserName(session.UserName)) return false;
  try {
    std::lock_guard<std::recursive_mutex> guard(DatabaseLock);
    const cSqlRows user =
        SelectShared(*this, "Select * from Users where UserName = ?", {session.UserName});
    if (user.Empty()) return false;
    session.Password = Text(user, "Password");
    session.LimitMessageSize = false;
    session.AllowAttachments = true;
    session.RestrictAttachSize = false;
    session.AccountDisabled = Flag(user, "AccountDisabled", false);
    session.IsListening = false;
    session.GroupName = Text(user, "GroupName");
    session.HasAdminPower = Flag(user, "HasAdminPower", false);
    session.Question1 = Text(user, "Question1");
    session.Answer1 = Text(user, "Answer1");
    session.Question2 = Text(user, "Question2");
    session.Answer2 = Text(user, "Answer2");
    session.PrimaryEmail = Text(user, "PrimaryEmail");

    std::string profileName = Text(user, "ProfileName");
    if (profileName.empty() && !session.GroupName.empty()) {
      const cSqlRows group = SelectShared(
          *this, "Select ProfileName from Groups where GroupName = ?", {session.GroupName});
      if (!group.Empty()) profileName = Text(group, "ProfileName");
    }
    if (profileName.empty()) {
      session.Privileges = 0;
      return true;
    }
    const cSqlRows profile =
        SelectShared(*this, "Select * from Profiles where ProfileName = ?", {profileName});
    if (!profile.Empty()) {
      session.Privileges = Number(profile, "Privileges");
      session.LimitMessageSize =
          ReadIniBool(ServerOptions(), kServerOptionsSection, "LimitMessageSize", false);
      session.MaxMsgSize =
          KilobytesToBytes(ReadIniInteger(ServerOptions(), kServerOptionsSection, "MaxMsgSize", 1));
      session.AllowAttachments = Flag(profile, "AllowAttachments", false);
      session.RestrictAttachSize = Flag(profile, "RestrictAttachSize", false);
      session.MaxAttachSize = KilobytesToBytes(Number(profile, "MaxAttachSize"));
    }
    return true;
  } catch (const std::exception& error) {
    WriteLog(std::string("In cServer.FetchUserInfo (): ") + error.what());
    ResetLoginFields(session);
    return false;
  }
}

void cServer::UpdateLastLoginDate(const std::string& userName) {
  try {
    ExecShared(*this, "Update Users set LastLogin = ? where UserName = ?",
               {cSqlDate{engine::TodayDayNumber()}, userName});
  } catch (const std::exception& error) {
    WriteLog(std::string("In cServer.UpdateLastLoginDate (): ") + error.what());
  }
}

bool DispatchLoginCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                          const cCommandStruct& command) {
  switch (command.Code) {
    case kCmdFetchUserInfo:
      session.UserName = command.Argument;
      OnWorkPool([&] {
        if (!server.FetchUserInfo(session)) session.UserName.clear();
      });
      return true;
    case kCmdLogin:
      HandleLogin(server, socket, session, command.Argument);
      return true;
    case kCmdGivenAnswer1:
      session.GivenAnswer1 = command.Argument;
      return true;
    case kCmdGivenAnswer2:
      session.GivenAnswer2 = command.Argument;
      return true;
    case kCmdSecurityQuestions:
      socket.WriteLine(session.Question1);
      socket.WriteLine(session.Question2);
      return true;
    default:
      return false;
  }
}

}  // namespace zorvic
