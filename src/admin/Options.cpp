// 2106 and 2107: the "ServerOptions" section of ServerOptions.ini as a data packet.
//
// Both commands log their failures with the prefix of the fetch handler, the message in
// single quotes, and answer them with silence; the client gives up after its reply time-out.
#include <cstdint>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>

#include "admin/AdminFiles.h"
#include "admin/FileTransfer.h"
#include "app/ErrorText.h"
#include "app/Server.h"
#include "app/ThreadINIFile.h"
#include "net/ZQSock.h"
#include "packet/LiteXMLPacket.h"
#include "protocol/ClientInfo.h"
#include "protocol/Payload.h"

namespace zorvic {

namespace {

constexpr std::string_view kOptionsLogPrefix = "In cServer.HandleAdminFetchOptions (): ";

void LogOptionsError(cServer& server, std::string_view message) {
  server.WriteLog(std::string(kOptionsLogPrefix) + QuotedLogMessage(message));
}

}  // namespace

// The reader of an INI value drops blanks at both ends and one pair of enclosing quotes; a
// value that would lose something that way is written inside double quotes, so it reads back
// as it was sent.
std::string IniValueText(std::string value) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  if (value.empty()) return value;
  const char first = value.front();
  const char last = value.back();
  const bool enclosed = value.size() >= 2 && (first == '"' || first == '\'') && last == first;
  if (blank(first) || blank(last) || enclosed) value = "\"" + value + "\"";
  return value;
}

void HandleAdminFetchOptions(cServer& server, TZQSock& socket, const cClientInfoStruct& session) {
  if (!session.HasAdminPower) {
    socket.WriteLine(kNoPermissionReply);
    return;
  }
  std::string xml;
  try {
    cLiteXMLPacket packet;
    {
      TIniFileLock ini(server.ServerOptions());
      packet.LoadFromIniSection(ini.File(), kServerOptionsSection);
    }
    xml = packet.TakeXml();
    if (xml.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
      throw std::runtime_error("The options packet is too large to send");
  } catch (...) {
    LogOptionsError(server, ErrorMessage(std::current_exception()));
    return;
  }
  socket.WriteLine(kOptionsFollowReply);
  socket.WriteInt32(static_cast<std::int32_t>(xml.size()));
  socket.WriteText(xml);
}

void HandleAdminStoreOptions(cServer& server, TZQSock& socket, const cClientInfoStruct& session) {
  if (!session.HasAdminPower) {
    socket.WriteLine(kNoPermissionReply);
    return;
  }
  socket.WriteLine(kSendOptionsReply);
  std::int32_t size = 0;
  switch (ReadAnnouncedSize(socket, MaxPacketBytes(server.ServerOptions()), size)) {
    case TAnnouncedSize::Accepted:
      break;
    case TAnnouncedSize::Negative:
      LogOptionsError(server, "Invalid packet size " + std::to_string(size));
      return;
    case TAnnouncedSize::TooLarge:
      // Its bytes are never read, so nothing after them could be told from commands.
      LogOptionsError(server, "The options packet of " + std::to_string(size) +
                                  " bytes is larger than MaxPacketSize");
      socket.CloseAbort();
      return;
    case TAnnouncedSize::Lost:
      LogOptionsError(server, "The size of the options packet did not come");
      socket.CloseAbort();
      return;
  }
  std::string text;
  if (!ReceivePayload(socket, size, text)) {
    LogOptionsError(server, "The connection ended before the whole options packet had come");
    socket.CloseAbort();
    return;
  }
  try {
    cLiteXMLPacket packet;
    // Malformed text leaves the packet empty, and an empty packet stores nothing.
    if (!packet.LoadFromXml(text)) {
      LogOptionsError(server, "The options packet is not well-formed XML");
      return;
    }
    // Every name is checked before the first write, so a bad packet changes nothing.
    const cLiteXMLPacket::TKeyValues values = packet.ToKeyValues();
    if (values.empty()) return;
    TIniFileLock ini(server.ServerOptions());
    for (const auto& [key, value] : values)
      ini->WriteString(kServerOptionsSection, key, IniValueText(value));
  } catch (...) {
    LogOptionsError(server, ErrorMessage(std::current_exception()));
  }
}

}  // namespace zorvic
