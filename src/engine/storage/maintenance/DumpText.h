// The text form of stored values in dumps and result listings, shared by the table tool's
// dumps and the SQL shell's result rows.
//
//   NULL                "\N"
//   String, memo        the text with "\\", "\t", "\n" and "\r" escaped
//   Bytes, VarBytes,    "\x" and two lowercase hex digits per byte
//   binary BLOBs
//   everything else     the value text forms of ValueText.h (dates "YYYY-MM-DD", Booleans
//                       "True"/"False", floats in their shortest round-trip form, ...)
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>

#include "engine/storage/formats/FieldDefs.h"
#include "engine/storage/sessions/TableAccess.h"

namespace zorvic::engine {

std::string EscapeDumpText(std::string_view text);
// "\x" and the bytes in lowercase hex.
std::string DumpHex(std::string_view bytes);
// Whether the field's values are written in hex (Bytes, VarBytes and BLOBs other than memos).
bool IsBinaryDumpField(const TFieldDesc& field);
// The text of one stored value (EConvertError for stored bytes that are no valid value).
std::string FieldValueToDumpText(const TFieldDesc& field, const TFieldValue& value);

}  // namespace zorvic::engine
