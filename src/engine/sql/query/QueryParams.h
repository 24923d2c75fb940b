// Parameters of the query component: the values a program hands to the "?" places of a text,
// and the scan that turns the named parameters of a text (":name") into those places.
//
// A parameter has a name, a column kind (Field.h) and a value in the engine's value form (the
// form of an expression node's value cell, ExpToken.h). A parameter whose kind was never set
// has no value; running a text that needs it fails. Assigning a value through one of the
// typed setters sets the kind, marks the parameter as bound by the program and stores the
// value; Clear makes it NULL and keeps its kind.
//
// Scanning walks the text the way the SQL lexer reads it: '...', "..." and [...] are literals
// (doubled delimiters stay inside), /* ... */ is a comment, and neither is ever changed. Outside
// them "::" stands for one ":", and ":" followed by a name (letters, digits, '_' and bytes from
// 128, or a name in single or double quotes) becomes "?" and one place of that name. A "?"
// written as such is a place without a name. Every place of a repeated name takes the same
// parameter's value.
//
// Thread safety: plain values; a parameter collection belongs to its query and is used by one
// thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/components/Field.h"
#include "engine/sql/SqlTypes.h"
#include "engine/storage/formats/FieldTypes.h"

namespace zorvic::engine {

class TExpToken;

// Texts of the query component's own failures (raised as EDatabaseError).
inline constexpr const char* kNoSqlStatement = "No SQL statement available";
inline constexpr const char* kNoParameterValue = "No value for parameter '%s'";
inline constexpr const char* kCircularDataLink = "Circular data links are not allowed.";
inline constexpr const char* kParameterNotFound = "Parameter '%s' not found";

class TParam {
 public:
  explicit TParam(std::string name = {}) : FName(std::move(name)) {}

  const std::string& Name() const { return FName; }
  // Unknown until a value or a kind is set: such a parameter has no value at all.
  TFieldKind DataType() const { return FKind; }
  // Sets the kind; a value of another kind is dropped (the parameter becomes NULL).
  void SetDataType(TFieldKind kind);
  bool IsNull() const { return FNull; }
  // Set by every setter; a master dataset fills only parameters that are not bound.
  bool Bound() const { return FBound; }
  void SetBound(bool bound) { FBound = bound; }

  // NULL of the current kind (still no value when the kind is Unknown).
  void Clear();
  void SetAsString(std::string_view text);
  void SetAsMemo(std::string_view text);
  void SetAsSmallInt(std::int16_t value);
  void SetAsWord(std::uint16_t value);
  void SetAsInteger(std::int32_t value);
  void SetAsLargeInt(std::int64_t value);
  void SetAsFloat(double value);
  void SetAsCurrency(double value);
  void SetAsBoolean(bool value);
  // The engine's day number (0001-01-01 = 1).
  void SetAsDate(std::int32_t dayNumber);
  // Milliseconds since midnight.
  void SetAsTime(std::int32_t msOfDay);
  // The engine's time stamp (milliseconds, Field.h).
  void SetAsDateTime(double value);
  void SetAsBCD(const TBcd& value);
  void SetAsBlob(std::string_view bytes);
  void SetAsBytes(std::string_view bytes);
  // Copies kind and value (not the name); the copy counts as bound.
  void Assign(const TParam& other);
  // Takes the value of a column of a dataset's current record, in the column's kind.
  void AssignField(const TVELDORField& field);

  // The value's bytes in the value-cell form (strings without their NUL).
  const std::string& ValueBytes() const { return FBytes; }
  // A readable form of the value: "NULL", or its text form.
  std::string AsText() const;

  // Writes the value into a "?" node: its engine type, subtype, size, scale and value. A
  // String has its trailing blanks removed and is NULL when nothing is left. Raises "No value
  // for parameter" for a parameter without a kind.
  void FillNode(TExpToken& node, const std::string& displayName) const;

 private:
  void Store(TFieldKind kind, std::string bytes);

  std::string FName;
  TFieldKind FKind = TFieldKind::Unknown;
  bool FNull = true;
  bool FBound = false;
  std::string FBytes;
};

// The parameters of a query in order of first appearance.
class TParams {
 public:
  std::size_t Count() const { return FItems.size(); }
  TParam& operator[](std::size_t index) { return *FItems.at(index); }
  const TParam& operator[](std::size_t index) const { return *FItems.at(index); }
  // Case-insensitive; nullptr when there is none.
  TParam* FindParam(std::string_view name) const;
  // "Parameter '%s' not found" when there is none.
  TParam& ParamByName(std::string_view name) const;
  // Appends a parameter (names need not be unique for unnamed ones).
  TParam& CreateParam(std::string name, TFieldKind kind = TFieldKind::Unknown);
  void Clear() { FItems.clear(); }
  // Index of the parameter, or -1.
  int IndexOf(const TParam* param) const;

 private:
  std::vector<std::unique_ptr<TParam>> FItems;
};

// The result of scanning a text.
struct TParamScan {
  // The text the engine sees: names replaced by "?", "::" by ":".
  std::string Text;
  // One entry per "?" of Text, in order: the parameter's name, or empty for a "?" written as
  // such.
  std::vector<std::string> PlaceNames;
  // Each name once, in order of first appearance (case-insensitive).
  std::vector<std::string> Names;
};
TParamScan ScanParameters(std::string_view text);

// The engine's value type of a column kind (VarBytes and fixed-length characters map onto
// Bytes and String).
struct TParamEngineType {
  TDataType Type = dtNull;
  TSubType SubType = stNone;
};
TParamEngineType ParamEngineType(TFieldKind kind);

}  // namespace zorvic::engine
