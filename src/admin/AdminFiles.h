// Options (2106, 2107), settings files (2014, 2015) and client updates (2111 to 2114, 2117,
// 2118): configuration and files moved between clients and the server, on the session's
// thread after login.
//
//   2106 (admin)  "+OK Server Settings Follows", int32 length, the packet of the whole
//                 "ServerOptions" section (one string field per key, one row of values).
//   2107 (admin)  "+OK Send the rest of server options", then the client sends int32 n and a
//                 packet of n bytes (at most MaxPacketSize); every field of its row 0 is
//                 written as a key of the section. No final reply.
//   2015 NAME     the client sends int32 n and n bytes right after the line (at most
//                 MaxUploadSize); they replace the settings file NAME of the user's folder;
//                 "+OK File Received".
//   2014 NAME     "+OK 0" when the file does not exist, else "+OK File size and contents
//                 follow", int32 size and the bytes.
//   2111 / 2113   one bare line: the client version ("0.01") / the update policy ("0").
//   2117 POLICY   stores the update policy; "+OK Policy Changed".
//   2118          "+OK " and the update policy.
//   2114          "+OK NAME", int32 size, the bytes of the update file, "+OK Update all sent";
//                 "-ERR No update file found!" when none is configured or it cannot be opened
//                 (the file is opened before "+OK" is sent).
//   2112 NAME     (admin) the client sends int32 n and n bytes right after the line; they
//                 replace the update file NAME; "+OK File Received".
//
// Refusals that come before an announced payload still read and drop it (a size above the
// ceiling, whose bytes are never read, ends the connection after the refusal); a payload that
// stops coming ends the connection, since the stream is out of step. File names are single
// names inside their folder (FileTransfer.h); uploads go through a temporary file renamed when
// complete. 2106, 2107, 2112 and 2114 answer a server-side failure with silence (it is logged),
// as their clients expect.
//
// Locks: the ServerOptions.ini and versions.ini locks are held only around the INI reads and
// writes, never while the network waits; 2114 reads its entry under the DatabaseLock and the
// versions.ini lock, in that order. Settings and update files are not locked: an upload
// replaces a file in one rename, so readers see the old or the new file whole.
#pragma once

#include <string>
#include <string_view>

namespace zorvic {

class cServer;
class TZQSock;
struct cClientInfoStruct;
struct cCommandStruct;

// True when the code is one of this area's commands and has been answered.
bool DispatchAdminFilesCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                               const cCommandStruct& command);

// The handlers (cServer operations in the log lines).
void HandleAdminFetchOptions(cServer& server, TZQSock& socket, const cClientInfoStruct& session);
void HandleAdminStoreOptions(cServer& server, TZQSock& socket, const cClientInfoStruct& session);
void HandleReceiveSettingsFile(cServer& server, TZQSock& socket, const cClientInfoStruct& session,
                               std::string_view fileName);
void HandleSendSettingsFile(cServer& server, TZQSock& socket, const cClientInfoStruct& session,
                            std::string_view fileName);
void HandleSendUpdate(cServer& server, TZQSock& socket);
void HandleAdminUploadAutoUpdateFile(cServer& server, TZQSock& socket,
                                     const cClientInfoStruct& session, std::string_view fileName);
// 2111, 2113, 2117 and 2118.
void SendClientVersion(cServer& server, TZQSock& socket);
void SendUpdatePolicy(cServer& server, TZQSock& socket, bool withStatus);
void ChangeUpdatePolicy(cServer& server, TZQSock& socket, std::string_view policy);

// The text written for an INI value so that the reader gives back `value`: inside double
// quotes when it starts or ends with a blank or is enclosed in a pair of quotes.
std::string IniValueText(std::string value);

// Replies of this area.
inline constexpr std::string_view kNoPermissionReply =
    "-ERR You do not have the permissions to perform this operation";
inline constexpr std::string_view kOptionsFollowReply = "+OK Server Settings Follows";
inline constexpr std::string_view kSendOptionsReply = "+OK Send the rest of server options";
inline constexpr std::string_view kFileReceivedReply = "+OK File Received";
inline constexpr std::string_view kSettingsFollowReply = "+OK File size and contents follow";
inline constexpr std::string_view kNoSettingsFileReply = "+OK 0";
inline constexpr std::string_view kSettingsErrorReply =
    "-ERR Server-side error during settings file store";
inline constexpr std::string_view kPolicyChangedReply = "+OK Policy Changed";
inline constexpr std::string_view kPolicyErrorReply = "-ERR Server-side error during policy change";
inline constexpr std::string_view kNoUpdateFileReply = "-ERR No update file found!";
inline constexpr std::string_view kUpdateSentReply = "+OK Update all sent";
inline constexpr std::string_view kInvalidFileNameReply = "-ERR Invalid file name";
inline constexpr std::string_view kInvalidFileSizeReply = "-ERR Invalid file size";
inline constexpr std::string_view kFileTooLargeReply = "-ERR File too large";

// INI sections and keys of versions.ini.
inline constexpr std::string_view kClientSection = "Client";
inline constexpr std::string_view kVersionKey = "Version";
inline constexpr std::string_view kDefaultVersion = "0.01";
inline constexpr std::string_view kUpdateFileKey = "UpdateFile";
inline constexpr std::string_view kSettingsSection = "Settings";
inline constexpr std::string_view kUpdatePolicyKey = "UpdatePolicy";
inline constexpr std::string_view kDefaultUpdatePolicy = "0";

}  // namespace zorvic
