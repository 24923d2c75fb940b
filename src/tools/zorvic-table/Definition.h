// The JSON form of a table definition read by "zorvic-table create".
//
//   {"fields": [{"name": "ID", "type": "AutoInc"},
//               {"name": "Name", "type": "String", "size": 30, "required": true,
//                "charCase": "upper", "default": "", "min": "", "max": "",
//                "description": ""},
//               {"name": "Body", "type": "Blob", "subtype": "memo"}],
//    "blockSize": 512, "description": "", "encrypted": false, "password": "",
//    "language": "English (USA)", "sort": "Default Order",
//    "userMajorVersion": 0, "userMinorVersion": 0, "lastAutoInc": 0, "indexes": []}
//
// Types by name (case-insensitive) or engine code: String, Date, Blob, Memo (Blob, subtype
// memo), Boolean, SmallInt, Integer, AutoInc (Integer, subtype auto-increment), Float, Money
// (Float, subtype money), BCD, Bytes, Time, TimeStamp, Word, Cardinal, Extended, VarBytes,
// LargeInt. Subtypes by name or code: binary, memo, formattedMemo, graphic, typedBinary,
// autoInc, money, fixedChar, wideString. Language and sort by name or number. Unknown members
// are refused so that a misspelt one is not silently ignored. Index definitions are not
// supported yet: a non-empty "indexes" list is refused.
#pragma once

#include <string_view>

#include "engine/storage/FieldDefs.h"

namespace zorvic::tools {

// EJsonError (Json.h) for text that is not a valid definition.
engine::TTableDefinition ParseTableDefinition(std::string_view json);

}  // namespace zorvic::tools
