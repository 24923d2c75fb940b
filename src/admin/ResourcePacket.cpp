#include "admin/ResourcePacket.h"

#include <algorithm>
#include <vector>

#include "app/AsciiText.h"
#include "admin/Listings.h"
#include "protocol/Login.h"

namespace zorvic {

namespace {

// How much of a refused client text a log line repeats.
constexpr std::size_t kShownChars = 48;

std::string Shown(std::string_view text) {
  std::string shown;
  for (char c : text.substr(0, kShownChars)) {
    const auto b = static_cast<unsigned char>(c);
    shown += (b < 32 || b == 127) ? '?' : c;
  }
  if (text.size() > kShownChars) shown += "...";
  return "'" + shown + "'";
}

bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 32 || b == 127;
  });
}

// Columns that hold the name of a user, a group or a profile: names that reach presence
// lines, folders and listings.
bool IsNameColumn(std::string_view table, std::string_view column) {
  return column == "UserName" || column == "GroupName" || column == "ProfileName" ||
         (table == "Requests" && column == "From");
}

void CheckWrittenValue(const std::string& table, const cPacketField& field,
                       const std::string& value) {
  if (IsNameColumn(table, field.Name) && HasControlCharacter(value))
    throw EResourceRefused("The " + field.Name + " " + Shown(value) + " holds a control character");
  if (field.TypeText == "string") {
    if (auto width = SharedColumnWidth(table, field.Name); width && value.size() > *width)
      throw EResourceRefused("The value of " + table + "." + field.Name + " is longer than " +
                             std::to_string(*width) + " bytes: " + Shown(value));
  }
}

bool IsSelfServiceField(std::string_view column) {
  return std::find(SelfServiceUserFields.begin(), SelfServiceUserFields.end(), column) !=
         SelfServiceUserFields.end();
}

}  // namespace

std::optional<std::size_t> SharedColumnWidth(std::string_view table, std::string_view column) {
  for (const auto& shared : SharedTableColumns()) {
    if (!AsciiEqualsNoCase(shared.Table, table)) continue;
    for (std::size_t i = 0; i < shared.Columns.size(); ++i)
      if (AsciiEqualsNoCase(shared.Columns[i], column)) return shared.Widths[i];
  }
  return std::nullopt;
}

cResourceStatement CheckResourcePacket(TResourceOperation operation, std::string_view table,
                                       const cLiteXMLPacket& packet, bool selfService) {
  cResourceStatement result;
  const auto schemaTable = FindSharedTable(table);
  if (!schemaTable) throw EResourceRefused("No table of the data folder is named " + Shown(table));
  result.Table = *schemaTable;
  result.IsUsers = result.Table == "Users";
  if (selfService && !result.IsUsers)
    throw EResourceRefused("An account request may only create a user, not a record of " +
                           result.Table);
  if (packet.FieldCount() == 0) throw EResourceRefused("The packet holds no fields");
  if (packet.RowCount() == 0) throw EResourceRefused("The packet holds no record");

  // The fields kept, in the schema's spelling, with row 0's values.
  std::vector<cPacketField> fields;
  std::vector<std::string> values;
  for (std::size_t i = 0; i < packet.FieldCount(); ++i) {
    const cPacketField& field = packet.Field(i);
    const auto column = FindSharedColumn(result.Table, field.Name);
    if (!column)
      throw EResourceRefused("Table " + result.Table + " has no field named " + Shown(field.Name));
    for (const auto& kept : fields)
      if (kept.Name == *column)
        throw EResourceRefused("The packet names the field " + *column + " twice");
    if (selfService && !IsSelfServiceField(*column)) continue;
    fields.push_back({*column, field.TypeText});
    values.push_back(packet.Value(0, i));
  }
  if (selfService) {
    // UserName first: the key of the existence check and of the new folder.
    auto it = std::find_if(fields.begin(), fields.end(),
                           [](const cPacketField& f) { return f.Name == "UserName"; });
    if (it == fields.end()) throw EResourceRefused("The account request names no UserName");
    const auto index = static_cast<std::size_t>(it - fields.begin());
    std::rotate(fields.begin(), fields.begin() + static_cast<std::ptrdiff_t>(index),
                fields.begin() + static_cast<std::ptrdiff_t>(index) + 1);
    std::rotate(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                values.begin() + static_cast<std::ptrdiff_t>(index) + 1);
  }
  if (result.IsUsers && fields[0].Name != "UserName")
    throw EResourceRefused("A record of Users must name UserName as its first field, not " +
                           fields[0].Name);

  // Values that are written: every field of a new record, the assignments of an update.
  if (operation != TResourceOperation::Delete) {
    const std::size_t first = operation == TResourceOperation::Create ? 0 : 1;
    for (std::size_t i = first; i < fields.size(); ++i)
      CheckWrittenValue(result.Table, fields[i], values[i]);
  }
  if (result.IsUsers) {
    result.UserName = values[0];
    if (operation == TResourceOperation::Create && !IsSafeUserName(result.UserName))
      throw EResourceRefused("The user name " + Shown(result.UserName) +
                             " cannot name a user folder");
  }

  result.Record.SetDimensions(fields.size(), 1);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    result.Record.SetField(i, fields[i].Name, fields[i].TypeText);
    result.Record.SetValue(0, i, values[i]);
  }
  result.KeyField = fields[0].Name;
  result.KeyLiteral = SqlLiteral(fields[0], values[0]);
  switch (operation) {
    case TResourceOperation::Create:
      result.Sql = result.Record.BuildInsert(result.Table, 0);
      break;
    case TResourceOperation::Update:
      result.Sql = result.Record.BuildUpdate(result.Table, 0);
      break;
    case TResourceOperation::Delete:
      result.Sql = result.Record.BuildDelete(result.Table, 0);
      break;
  }
  return result;
}

}  // namespace zorvic
