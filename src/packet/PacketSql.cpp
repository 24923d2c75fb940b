// INSERT, UPDATE and DELETE statements for one row of a packet; field 0 is the record's key.
#include "packet/LiteXMLPacket.h"
#include "packet/PacketText.h"

namespace zorvic {

namespace {

using packet_text::Excerpt;

void CheckTableName(std::string_view tableName) {
  if (!IsSqlName(tableName))
    throw EPacketError("'" + Excerpt(tableName) + "' is not a valid table name");
}

void CheckFields(const std::vector<cPacketField>& fields) {
  if (fields.empty()) throw EPacketError("The packet holds no fields");
  for (const auto& field : fields)
    if (!IsSqlName(field.Name))
      throw EPacketError("'" + Excerpt(field.Name) + "' is not a valid field name");
}

}  // namespace

std::string cLiteXMLPacket::BuildInsert(std::string_view tableName, std::size_t row) const {
  CheckTableName(tableName);
  CheckFields(fFields);
  if (row >= fRows.size()) throw EPacketError("The packet has no row " + std::to_string(row));
  const auto& values = fRows[row];
  std::string names;
  std::string literals;
  for (std::size_t j = 0; j < fFields.size(); ++j) {
    if (j > 0) {
      names += ", ";
      literals += ", ";
    }
    names += fFields[j].Name;
    literals += SqlLiteral(fFields[j], values[j]);
  }
  std::string sql = "Insert Into ";
  sql.append(tableName);
  sql += " (" + names + ") values (" + literals + ");";
  return sql;
}

std::string cLiteXMLPacket::BuildUpdate(std::string_view tableName, std::size_t row) const {
  CheckTableName(tableName);
  CheckFields(fFields);
  if (row >= fRows.size()) throw EPacketError("The packet has no row " + std::to_string(row));
  const auto& values = fRows[row];
  std::string sql = "Update ";
  sql.append(tableName);
  sql += " set ";
  for (std::size_t j = 1; j < fFields.size(); ++j) {
    if (j > 1) sql += ',';
    sql += fFields[j].Name + "=" + SqlLiteral(fFields[j], values[j]);
  }
  sql += " where " + fFields[0].Name + "=" + SqlLiteral(fFields[0], values[0]);
  return sql;
}

std::string cLiteXMLPacket::BuildDelete(std::string_view tableName, std::size_t row) const {
  CheckTableName(tableName);
  CheckFields(fFields);
  if (row >= fRows.size()) throw EPacketError("The packet has no row " + std::to_string(row));
  std::string sql = "Delete From ";
  sql.append(tableName);
  sql += " where " + fFields[0].Name + "=" + SqlLiteral(fFields[0], fRows[row][0]);
  return sql;
}

}  // namespace zorvic
