// A small JSON reader for table definitions given to the table tool.
//
// Reads one JSON value (objects, arrays, strings, integers and decimals, true, false, null).
// Strings are UTF-8 in the text and come out as the engine's single-byte text (Windows-1252);
// a character without a single-byte form is an error. Nesting is limited to 64 levels and the
// input to what the caller hands over.
//
// Thread safety: values are plain data.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zorvic::tools {

class EJsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TJsonValue {
  enum class TKind { Null, Bool, Number, String, Array, Object };
  TKind Kind = TKind::Null;
  bool Bool = false;
  double Number = 0;
  std::string Text;  // String values, and the source text of numbers
  std::vector<TJsonValue> Items;
  std::vector<std::pair<std::string, TJsonValue>> Members;  // in document order

  bool IsNull() const { return Kind == TKind::Null; }
  // The member of an object, or nullptr.
  const TJsonValue* Find(std::string_view name) const;
};

// Parses the whole text; EJsonError with the position on failure.
TJsonValue ParseJson(std::string_view text);

}  // namespace zorvic::tools
