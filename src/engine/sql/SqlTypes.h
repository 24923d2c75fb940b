// SQL data types: engine type and subtype codes, and the grammar of the type names.
//
// The engine stores every column as one of a few type codes with a subtype (Money is a Float,
// AutoInc an Integer, Memo and Graphic are BLOBs). The SQL type names map onto them here; the
// same grammar serves CAST ... AS and the column definitions of CREATE and ALTER TABLE.
//
// Thread safety: pure functions and constants; ParseSqlDataType uses only the lexer it is given.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zorvic::engine {

class TExpressionParser;

// Engine data type codes (0 is the type of the NULL constant).
enum TDataType : std::uint16_t {
  dtNull = 0,
  dtString = 1,
  dtDate = 2,
  dtBlob = 3,
  dtBoolean = 4,
  dtSmallInt = 5,
  dtInteger = 6,
  dtFloat = 7,
  dtBCD = 8,
  dtBytes = 9,
  dtTime = 10,
  dtTimeStamp = 11,
  dtWord = 12,
  dtLargeInt = 18,
};

// Subtype codes.
enum TSubType : std::uint16_t {
  stNone = 0,
  stMoney = 21,          // Float
  stMemo = 22,           // BLOB
  stBinary = 23,         // BLOB
  stFormattedMemo = 24,  // BLOB
  stGraphic = 26,        // BLOB
  stTypedBinary = 28,    // BLOB
  stAutoInc = 29,        // Integer
};

// Value sizes in bytes of the fixed-size types.
inline constexpr std::int32_t BooleanSize = 2;
inline constexpr std::int32_t BCDSize = 34;

// The result of a type name: codes, the value size in bytes (a CHAR(n) holds n + 1 bytes with
// its terminating NUL; BLOBs have size 0), the declared length n of CHAR and BYTES types, and
// the BCD scale.
struct TSqlDataType {
  TDataType DataType = dtNull;
  TSubType SubType = stNone;
  std::int32_t Size = 0;
  std::int32_t Length = 0;
  std::int32_t Scale = 0;
};

// Type classes used by the compatibility rules.
inline bool IsIntegerType(TDataType t) {
  return t == dtSmallInt || t == dtInteger || t == dtWord || t == dtLargeInt;
}
inline bool IsNumericType(TDataType t) {
  return IsIntegerType(t) || t == dtFloat || t == dtBCD;
}
inline bool IsDateTimeType(TDataType t) {
  return t == dtDate || t == dtTime || t == dtTimeStamp;
}
inline bool IsMemoType(TDataType t, TSubType s) {
  return t == dtBlob && (s == stMemo || s == stFormattedMemo);
}
inline bool IsStringOrMemo(TDataType t, TSubType s) {
  return t == dtString || IsMemoType(t, s);
}

// The value size of a fixed-size type (0 for String, Bytes and BLOB, whose size varies).
std::int32_t FixedTypeSize(TDataType type);

// Reads a data type at the lexer's current token. Returns nullopt, reading nothing, when the
// token is no type keyword; otherwise reads the keyword and its arguments and leaves the lexer
// on the token after them. Errors end with " in " + context (the clause's context, "table
// column" for column definitions).
std::optional<TSqlDataType> ParseSqlDataType(TExpressionParser& lexer, std::string_view context);

// True when the word is a data type keyword.
bool IsSqlDataTypeKeyword(std::string_view word);

}  // namespace zorvic::engine
