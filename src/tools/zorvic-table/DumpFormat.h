// The line format of table dumps: one record per line, fields in field order separated by a
// tab. NULL is "\N"; text (String and memo values) escapes "\\", "\t", "\n" and "\r"; binary
// values (Bytes, VarBytes, binary BLOBs) are "\x" and lowercase hex; dates, times, time stamps,
// Booleans and numbers use the engine's value text forms.
//
// Thread safety: pure functions.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/maintenance/DumpText.h"
#include "engine/storage/sessions/TableAccess.h"

namespace zorvic::tools {

// A field text that does not fit its field.
class EDumpFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The writing half lives in the engine (DumpText.h), shared with the SQL shell.
inline std::string EscapeText(std::string_view text) {
  return engine::EscapeDumpText(text);
}
// nullopt for a bad escape.
std::optional<std::string> UnescapeText(std::string_view text);

// The dump text of one stored value (EConvertError for stored bytes that are no valid value).
inline std::string FieldValueToText(const engine::TFieldDesc& field,
                                    const engine::TFieldValue& value) {
  return engine::FieldValueToDumpText(field, value);
}
// The stored value of one dump text (EDumpFormatError naming the field on failure).
engine::TFieldValue TextToFieldValue(const engine::TFieldDesc& field, std::string_view text);

// Splits a line at its tabs.
std::vector<std::string_view> SplitFields(std::string_view line);

}  // namespace zorvic::tools
