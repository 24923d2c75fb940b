// Escaping and the element pieces of the packet writer.
#include "packet/PacketText.h"

#include <unordered_set>

#include "packet/PacketLimits.h"

namespace zorvic {

bool IsXmlName(std::string_view text) {
  // No ':' and no "xmlns": a client that reads namespaces would refuse an undeclared prefix or
  // take the attribute for a namespace declaration, and the value would be lost to it.
  if (text.empty() || text == "xmlns") return false;
  auto isStart = [](unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 128;
  };
  auto isPart = [&](unsigned char c) {
    return isStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
  };
  if (!isStart(static_cast<unsigned char>(text[0]))) return false;
  for (char c : text.substr(1))
    if (!isPart(static_cast<unsigned char>(c))) return false;
  return true;
}

namespace packet_text {

namespace {
bool NeedsEscape(unsigned char c) {
  return c == '&' || c == '<' || c == '"' || c < 0x20;
}
}  // namespace

void AppendEscaped(std::string& out, std::string_view value) {
  std::size_t plainFrom = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (!NeedsEscape(c)) continue;
    out.append(value.substr(plainFrom, i - plainFrom));
    plainFrom = i + 1;
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += "&#";
        out += std::to_string(static_cast<int>(c));
        out += ';';
        break;
    }
  }
  out.append(value.substr(plainFrom));
}

void AppendQuotedAttribute(std::string& out, std::string_view name, std::string_view value) {
  out.append(name);
  out += "=\"";
  AppendEscaped(out, value);
  out += "\" ";
}

void AppendFieldElement(std::string& out, const cPacketField& field, bool rawType) {
  out += "<field ";
  AppendQuotedAttribute(out, "name", field.Name);
  if (rawType) {
    out += "type=";
    out += field.TypeText;
    out += ' ';
  } else {
    AppendQuotedAttribute(out, "type", field.TypeText);
  }
  AppendElementEnd(out);
}

void CheckFieldNames(const std::vector<cPacketField>& fields) {
  if (fields.size() > kPacketMaxFields)
    throw EPacketError("A packet holds at most " + std::to_string(kPacketMaxFields) + " fields");
  std::unordered_set<std::string_view> seen;
  for (const auto& field : fields) {
    if (!IsXmlName(field.Name))
      throw EPacketError("Field name '" + Excerpt(field.Name) +
                         "' cannot name an attribute of a packet row");
    if (!seen.insert(field.Name).second)
      throw EPacketError("Field name '" + Excerpt(field.Name) + "' appears twice in a packet");
  }
}

std::string Excerpt(std::string_view value) {
  constexpr std::size_t kMax = 64;
  if (value.size() <= kMax) return std::string(value);
  return std::string(value.substr(0, kMax)) + "...";
}

}  // namespace packet_text
}  // namespace zorvic
