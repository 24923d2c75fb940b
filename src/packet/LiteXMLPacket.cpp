// The packet's table in memory, its INI key/value form and the writer of held rows.
#include "packet/LiteXMLPacket.h"

#include <unordered_set>

#include "packet/PacketLimits.h"
#include "packet/PacketText.h"

namespace zorvic {

void cLiteXMLPacket::SetDimensions(std::size_t fieldCount, std::size_t rowCount) {
  fFields.resize(fieldCount);
  fRows.resize(rowCount);
  for (auto& row : fRows)
    row.resize(fieldCount);
}

const cPacketField& cLiteXMLPacket::Field(std::size_t index) const {
  if (index >= fFields.size())
    throw EPacketError("The packet has no field " + std::to_string(index));
  return fFields[index];
}

void cLiteXMLPacket::SetField(std::size_t index, std::string name, std::string typeText) {
  if (index >= fFields.size())
    throw EPacketError("The packet has no field " + std::to_string(index));
  fFields[index] = cPacketField{std::move(name), std::move(typeText)};
}

const std::string& cLiteXMLPacket::Value(std::size_t row, std::size_t field) const {
  if (row >= fRows.size()) throw EPacketError("The packet has no row " + std::to_string(row));
  if (field >= fFields.size())
    throw EPacketError("The packet has no field " + std::to_string(field));
  return fRows[row][field];
}

void cLiteXMLPacket::SetValue(std::size_t row, std::size_t field, std::string value) {
  if (row >= fRows.size()) throw EPacketError("The packet has no row " + std::to_string(row));
  if (field >= fFields.size())
    throw EPacketError("The packet has no field " + std::to_string(field));
  fRows[row][field] = std::move(value);
}

int cLiteXMLPacket::FieldIndex(std::string_view name) const {
  for (std::size_t i = 0; i < fFields.size(); ++i)
    if (fFields[i].Name == name) return static_cast<int>(i);
  return -1;
}

std::string cLiteXMLPacket::GetValue(std::string_view name, std::size_t row,
                                     std::string_view defaultValue) const {
  const int index = FieldIndex(name);
  if (index < 0 || row >= fRows.size()) return std::string(defaultValue);
  return fRows[row][static_cast<std::size_t>(index)];
}

void cLiteXMLPacket::WriteXml() {
  packet_text::CheckFieldNames(fFields);
  std::string out(packet_text::kDocumentHead);
  for (const auto& field : fFields)
    packet_text::AppendFieldElement(out, field, /*rawType=*/false);
  out += packet_text::kMetadataEnd;
  for (const auto& row : fRows) {
    packet_text::AppendRowStart(out);
    for (std::size_t j = 0; j < fFields.size(); ++j)
      packet_text::AppendQuotedAttribute(out, fFields[j].Name, row[j]);
    packet_text::AppendElementEnd(out);
  }
  out += packet_text::kDocumentTail;
  fXml = std::move(out);
}

void cLiteXMLPacket::LoadFromKeyValues(const TKeyValues& section) {
  // Keys a row cannot carry as attributes are left out rather than failing the whole section,
  // so one odd line in an INI file does not hide every other option.
  std::vector<cPacketField> fields;
  std::vector<std::string> values;
  std::unordered_set<std::string_view> seen;
  for (const auto& [key, value] : section) {
    if (!IsXmlName(key) || !seen.insert(key).second) continue;
    if (fields.size() == kPacketMaxFields) break;
    fields.push_back(cPacketField{key, "string"});
    values.push_back(value);
  }
  fFields = std::move(fields);
  fRows.assign(1, std::move(values));
  WriteXml();
}

cLiteXMLPacket::TKeyValues cLiteXMLPacket::ToKeyValues() const {
  TKeyValues out;
  if (fFields.empty()) return out;
  if (fRows.empty()) throw EPacketError("The packet holds no row to store");
  // Checked before anything is handed out, so a packet is stored whole or not at all. An XML
  // name never holds what would break an INI line ('=', ']', a line break, a leading '[' or
  // ';'), and every key a section packet carries is one.
  for (const auto& field : fFields)
    if (!IsXmlName(field.Name))
      throw EPacketError("'" + packet_text::Excerpt(field.Name) + "' cannot be a key name");
  out.reserve(fFields.size());
  for (std::size_t j = 0; j < fFields.size(); ++j)
    out.emplace_back(fFields[j].Name, fRows[0][j]);
  return out;
}

}  // namespace zorvic
