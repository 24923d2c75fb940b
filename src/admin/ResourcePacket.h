// The record a client sends to create, change or delete a row of a shared table (2102, 2103,
// 2104, and 2020 for one's own account), checked against the shared schema before any of it
// becomes SQL.
//
// CheckResourcePacket takes the parsed packet and gives back the statement's pieces: the
// table and the fields in the schema's own spelling, row 0's values, and the statement, built
// by the packet's builders (every value a literal of SqlLiteral). It refuses, by raising
// EResourceRefused with a message for the log:
//   - a table that is not one of the shared schema, a field that is not one of its columns,
//     a field named twice, a packet without fields or rows;
//   - on Users, a field 0 other than UserName (the key that names the user's folder);
//   - for a row being written (2102 and 2020 all fields, 2103 the fields after the key): a
//     user, group or profile name holding a control character, a user name that cannot name
//     a folder of its own (2102 and 2020), a text longer than its column (the engine would
//     cut it short);
//   - for 2020, any table but Users. A self-service record keeps only the fields a new user
//     may choose (SelfServiceUserFields), with UserName first; the others are dropped, so an
//     anonymous client cannot give itself a group, a profile or administrator rights.
// A value that is no literal of its field's type raises EPacketError (from SqlLiteral).
//
// Thread safety: pure functions over their arguments and the schema text.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "packet/LiteXMLPacket.h"

namespace zorvic {

class EResourceRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TResourceOperation { Create, Update, Delete };

// The fields a self-service account request (2020) may set.
inline constexpr std::array<std::string_view, 9> SelfServiceUserFields = {
    "UserName",  "Password", "PrimaryEmail", "SecondaryEmail", "PhoneNumber",
    "Question1", "Answer1",  "Question2",    "Answer2"};

struct cResourceStatement {
  std::string Table;       // schema spelling
  cLiteXMLPacket Record;   // the checked fields (schema spelling) and row 0's values
  std::string KeyField;    // field 0
  std::string KeyLiteral;  // SqlLiteral of field 0's value
  std::string Sql;         // the insert, update or delete statement
  // Users only: the user's name (field 0's value); empty for other tables.
  std::string UserName;
  bool IsUsers = false;
};

cResourceStatement CheckResourcePacket(TResourceOperation operation, std::string_view table,
                                       const cLiteXMLPacket& packet, bool selfService);

// The declared length of a VARCHAR column of the shared schema; nullopt for other columns.
std::optional<std::size_t> SharedColumnWidth(std::string_view table, std::string_view column);

}  // namespace zorvic
