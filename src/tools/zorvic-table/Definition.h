// The JSON form of a table definition read by "zorvic-table create".
//
//   {"fields": [{"name": "ID", "type": "AutoInc"},
//               {"name": "Name", "type": "String", "size": 30, "required": true,
//                "charCase": "upper", "default": "", "min": "", "max": "",
//                "description": ""},
//               {"name": "Body", "type": "Blob", "subtype": "memo"}],
//    "blockSize": 512, "description": "", "encrypted": false, "password": "",
//    "language": "English (USA)", "sort": "Default Order",
//    "userMajorVersion": 0, "userMinorVersion": 0, "lastAutoInc": 0,
//    "primary": {"fields": ["ID"]},
//    "indexes": [{"name": "ByName", "fields": ["Name", {"field": "Born", "descending": true}],
//                 "unique": false, "descending": false, "nocase": true,
//                 "compression": "full"}]}
//
// Types by name (case-insensitive) or engine code: String, Date, Blob, Memo (Blob, subtype
// memo), Boolean, SmallInt, Integer, AutoInc (Integer, subtype auto-increment), Float, Money
// (Float, subtype money), BCD, Bytes, Time, TimeStamp, Word, Cardinal, Extended, VarBytes,
// LargeInt. Subtypes by name or code: binary, memo, formattedMemo, graphic, typedBinary,
// autoInc, money, fixedChar, wideString. Language and sort by name or number. Unknown members
// are refused so that a misspelt one is not silently ignored.
//
// Indexes: the primary index is the member "primary" (or an entry of "indexes" with
// "primary": true and no name); the other entries are secondary indexes in order. Key fields are
// field names (case-insensitive) or numbers, each optionally an object with "field" and
// "descending". Compression is none, dupbyte, trailbyte, full or 0..3. Whether the definition
// is valid beyond its form (names, limits, key sizes) is the engine's to decide at creation.
#pragma once

#include <string_view>

#include "engine/storage/sessions/DataTable.h"

namespace zorvic::tools {

// EJsonError (Json.h) for text that is not a valid definition.
engine::TTableCreation ParseTableDefinition(std::string_view json);

}  // namespace zorvic::tools
