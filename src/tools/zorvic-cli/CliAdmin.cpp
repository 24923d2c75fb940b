#include "tools/zorvic-cli/CliAdmin.h"

#include <pugixml.hpp>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>

#include "packet/LiteXMLPacket.h"
#include "tools/zorvic-cli/CliCommands.h"
#include "tools/zorvic-cli/CliSession.h"

namespace zorvic {

namespace {

void ReportNoReply(const TZQSock& socket, std::string_view what, int waitMs) {
  if (!socket.ValidSocket()) {
    WriteErrorLine("zorvic-cli: the server closed the connection instead of answering " +
                   std::string(what));
  } else {
    WriteErrorLine("zorvic-cli: no reply from the server to " + std::string(what) + " within " +
                   std::to_string((waitMs + 999) / 1000) + " s");
  }
}

// The first word of a type text, its quotes removed ("\"string\" WIDTH=..." gives "string").
std::string TypeWord(std::string_view typeText) {
  std::string word;
  for (char c : typeText) {
    if (c == '"' || c == '\'') continue;
    if (c == ' ') {
      if (word.empty()) continue;
      break;
    }
    word += c;
  }
  return word;
}

}  // namespace

int CliReplyWaitMs() {
  const char* text = std::getenv(kCliReplyWaitVariable);
  if (text == nullptr) return kCliReplyWaitMs;
  const std::string_view value(text);
  int seconds = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
  if (error != std::errc() || end != value.data() + value.size() || seconds < 1 || seconds > 3600) {
    return kCliReplyWaitMs;
  }
  return seconds * 1000;
}

bool OpenAdminConnection(cCliAdminConnection& connection) {
  return ConnectAndLogin(connection.Socket, CliOptions(), connection.Scrambling);
}

bool SendCommandLine(TZQSock& socket, std::string_view line) {
  if (line.find_first_of("\r\n") != std::string_view::npos) {
    WriteErrorLine("zorvic-cli: an argument may not hold a line end");
    return false;
  }
  const std::size_t expected = line.size() + 2;
  if (static_cast<std::size_t>(socket.WriteLine(line)) != expected) {
    WriteErrorLine("zorvic-cli: the connection to the server broke: " +
                   ErrorText(socket.LastCommandStatus()));
    return false;
  }
  return true;
}

std::optional<std::string> AwaitReplyLine(TZQSock& socket, std::string_view what, int waitMs) {
  if (waitMs < 0) waitMs = CliReplyWaitMs();
  if (!socket.AwaitData(waitMs)) {
    ReportNoReply(socket, what, waitMs);
    return std::nullopt;
  }
  std::string line = socket.ReadLine(CliReplyWaitMs());
  if (line.empty() && (socket.LastReadTimeout() || !socket.ValidSocket())) {
    ReportNoReply(socket, what, waitMs);
    return std::nullopt;
  }
  return line;
}

bool IsOkReply(std::string_view line) {
  return line.starts_with("+OK");
}

std::optional<std::string> RequestStatus(TZQSock& socket, std::string_view line,
                                         std::string_view what, int waitMs) {
  if (!SendCommandLine(socket, line)) return std::nullopt;
  return AwaitReplyLine(socket, what, waitMs);
}

bool SendSizedBytes(TZQSock& socket, std::string_view bytes) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    WriteErrorLine("zorvic-cli: " + std::to_string(bytes.size()) +
                   " bytes are more than one transfer can carry");
    return false;
  }
  const int count = static_cast<int>(bytes.size());
  if (socket.WriteInt32(static_cast<std::int32_t>(count)) != 4 ||
      socket.WriteBuffer(bytes.data(), count) != count) {
    WriteErrorLine("zorvic-cli: the connection to the server broke: " +
                   ErrorText(socket.LastCommandStatus()));
    return false;
  }
  return true;
}

bool SendPacketCommand(TZQSock& socket, int code, std::string_view table, std::string_view xml) {
  if (xml.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    WriteErrorLine("zorvic-cli: the packet is too large to send");
    return false;
  }
  if (!SendCommandLine(socket, std::to_string(code) + " " + std::to_string(xml.size()) + " " +
                                   std::string(table))) {
    return false;
  }
  const int count = static_cast<int>(xml.size());
  if (socket.WriteBuffer(xml.data(), count) != count) {
    WriteErrorLine("zorvic-cli: the connection to the server broke: " +
                   ErrorText(socket.LastCommandStatus()));
    return false;
  }
  return true;
}

std::optional<std::string> ReadSizedBytes(TZQSock& socket, std::string_view what,
                                          std::size_t maxBytes) {
  const std::int32_t size = socket.ReadInt32();
  if (size < 0) {
    WriteErrorLine("zorvic-cli: the size of " + std::string(what) + " did not come");
    return std::nullopt;
  }
  if (static_cast<std::size_t>(size) > maxBytes) {
    WriteErrorLine("zorvic-cli: the server announced " + std::to_string(size) + " bytes of " +
                   std::string(what) + ", more than the " + std::to_string(maxBytes) + " taken");
    return std::nullopt;
  }
  auto bytes = socket.ReadExact(static_cast<std::size_t>(size), CliReplyWaitMs());
  if (!bytes) {
    WriteErrorLine("zorvic-cli: " + std::string(what) + " broke off before its end");
    return std::nullopt;
  }
  return bytes;
}

std::optional<std::string> RequestPacket(cCliAdminConnection& connection, std::string_view line,
                                         std::string_view okLine, std::string_view what) {
  auto status = RequestStatus(connection.Socket, line, what);
  if (!status) return std::nullopt;
  if (!status->starts_with(okLine)) {
    WriteErrorLine(*status);
    return std::nullopt;
  }
  return ReadSizedBytes(connection.Socket, what);
}

bool ParsePacketTable(std::string_view xml, cCliPacketTable& table) {
  cLiteXMLPacket packet;
  try {
    if (!packet.LoadFromXml(xml)) {
      WriteErrorLine("zorvic-cli: the server's reply is not well-formed XML");
      return false;
    }
  } catch (const std::exception& error) {
    WriteErrorLine(std::string("zorvic-cli: the server's packet cannot be read: ") + error.what());
    return false;
  }
  table = {};
  table.Columns.resize(packet.FieldCount());
  for (std::size_t i = 0; i < packet.FieldCount(); ++i) {
    table.Columns[i].Name = packet.Field(i).Name;
    table.Columns[i].Type = TypeWord(packet.Field(i).TypeText);
  }
  // The reader keeps the type attribute only; the flags after it are read from the field
  // elements themselves, which the first parse has shown to be well-formed.
  pugi::xml_document doc;
  if (doc.load_buffer(xml.data(), xml.size())) {
    std::size_t i = 0;
    for (pugi::xpath_node node : doc.select_nodes("//field")) {
      if (i >= table.Columns.size()) break;
      cCliPacketColumn& column = table.Columns[i++];
      const pugi::xml_node field = node.node();
      column.Width = field.attribute("WIDTH").value();
      column.SubType = field.attribute("SUBTYPE").value();
      column.Required = std::strcmp(field.attribute("required").value(), "true") == 0;
    }
  }
  table.Rows.resize(packet.RowCount());
  for (std::size_t r = 0; r < packet.RowCount(); ++r) {
    table.Rows[r].resize(packet.FieldCount());
    for (std::size_t f = 0; f < packet.FieldCount(); ++f)
      table.Rows[r][f] = packet.Value(r, f);
  }
  return true;
}

bool IsNumericType(std::string_view type) {
  return type == "integer" || type == "real" || type == "largeint";
}

}  // namespace zorvic
