// Expression trees: the TExpToken node and its pool.
//
// Every SQL value and condition and every cursor filter is a tree of TExpToken nodes. A node
// is an operator, a function, a column reference, a constant, a parameter or an IN
// sub-select; after binding it also carries its result type, and during evaluation it serves
// as the value cell (type, NULL flag and value in its storage form).
//
// Ownership: a node owns its operands (Left, Right, Arguments) through TExpTokenPtr, whose
// deleter gives the whole tree back to the node pool without recursion. Parent and
// SubSelect are non-owning links. Trees are never deeper than MaxExpressionDepth (the parser
// refuses deeper text), so code that recurses over a tree has a bounded stack.
//
// Shapes of the parsed trees:
//   unary (NOT, unary -, unary +)       Left
//   binary (=, <>, <, AND, +, ...)      Left, Right; IS [NOT] NULL is "="/"<>" with a NULL
//                                       constant on the right (Text "IS NULL"/"IS NOT NULL")
//   LIKE, NOT LIKE                      Arguments: subject, pattern
//   BETWEEN, NOT BETWEEN                Arguments: subject, low, high
//   IN / NOT IN list                    Arguments: subject, value, value, ...
//   IN / NOT IN sub-select              Arguments: subject, sub-select node (SubSelect set)
//   aggregates                          Arguments: the argument ("*" column for COUNT(*))
//   SUBSTRING                           s, start [, length]
//   REPLACE                             search, replacement, s
//   POS, OCCURS, TEXTSEARCH, TEXTOCCURS search, s (or column)
//   TRIM (code says which end)          character, s
//   EXTRACT (code says which part)      value
//   CAST                                value; the target type is the node's own type
//   ROUND                               value [, places]
//   IF                                  condition, then-value, else-value
//   IFNULL                              tested value, value if NULL, value otherwise
//   COALESCE                            values
//   LASTAUTOINC, IDENT_CURRENT          table name constant (SourceTable set by binding)
// The empty string '' is the NULL constant (type dtNull, IsNull). A "?" parameter is a
// constant with IsParameter, untyped until its value is bound. CURRENT_DATE, CURRENT_TIME and
// CURRENT_TIMESTAMP are constants holding the clock at parse time.
//
// Thread safety: a tree belongs to one statement or cursor and is used by one thread at a
// time. Only the pool (TExpTokenStack) is shared; taking and giving back nodes holds its lock.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/SqlTypes.h"

namespace zorvic::engine {

class TDataQuery;  // a query block of the statement parser (IN sub-selects)

enum TNodeClass : std::uint8_t {
  ncNone = 0,
  ncUnary = 1,
  ncBinary = 2,
  ncPrefixCompare = 3,  // made by condition preparation
  ncColumn = 4,
  ncConstant = 5,
  ncSubSelect = 6,
  ncFunction = 10,  // functions and aggregates
  ncExtendedPredicate = 12,
};

enum TOperatorCode : std::uint8_t {
  opNone = 0,
  opEqual = 3,
  opNotEqual = 4,
  opGreater = 5,
  opLess = 6,
  opGreaterEqual = 7,
  opLessEqual = 8,
  opNot = 9,
  opAnd = 10,
  opOr = 11,
  opNegate = 15,    // unary minus
  opPlusSign = 16,  // unary plus
  opAdd = 17,       // + and ||
  opSubtract = 18,
  opMultiply = 19,
  opDivide = 20,
  opSum = 23,
  opRunSum = 24,
  opCount = 25,
  opMin = 26,
  opMax = 27,
  opAvg = 28,
  opLike = 32,
  opInList = 33,
  opInSubSelect = 34,
  opUpper = 36,
  opLower = 37,
  opBetween = 41,
  opNotBetween = 42,
  opNotLike = 43,
  opNotInList = 44,
  opNotInSubSelect = 45,
  opSubstring = 46,
  opReplace = 47,
  opPos = 48,
  opOccurs = 49,
  opTrimLeading = 50,
  opTrimTrailing = 51,
  opTrimBoth = 52,
  opLength = 53,
  opCast = 54,
  opExtractYear = 55,
  opExtractMonth = 56,
  opExtractWeek = 57,
  opExtractDay = 58,
  opExtractDayOfWeek = 59,
  opExtractDayOfYear = 60,
  opExtractHour = 61,
  opExtractMinute = 62,
  opExtractSecond = 63,
  opIf = 64,
  opCoalesce = 65,
  opIfNull = 66,
  opAbs = 67,
  opRound = 68,
  opTextSearch = 69,
  opTextOccurs = 70,
  opLastAutoInc = 71,
  opIdentCurrent = 72,
};

class TExpToken;

// Gives a whole tree back to the pool (iteratively, depth-first).
struct TExpTokenReturn {
  void operator()(TExpToken* node) const noexcept;
};
using TExpTokenPtr = std::unique_ptr<TExpToken, TExpTokenReturn>;

class TExpToken {
 public:
  TExpToken() = default;
  TExpToken(const TExpToken&) = delete;
  TExpToken& operator=(const TExpToken&) = delete;

  // Source text: operator symbol, function keyword, constant text or column name.
  std::string Text;
  TNodeClass NodeClass = ncNone;
  TOperatorCode OperatorCode = opNone;

  // Column nodes (at most 255 characters each).
  std::string CorrelationName;
  std::string ColumnName;
  int FieldNumber = -1;         // the column's number in its source table (set by binding)
  void* SourceTable = nullptr;  // the resolver's handle of the column's (or LASTAUTOINC's) table
  TDataQuery* SubSelect = nullptr;  // IN sub-select block, owned by the statement

  // Type: engine data type and subtype (SqlTypes.h), value size in bytes, BCD scale. For a
  // CAST node the parser stores the target type here.
  TDataType DataType = dtNull;
  TSubType SubType = stNone;
  std::int32_t Size = 0;
  std::int32_t Scale = 0;

  bool IsNull = false;
  bool IsParameter = false;
  // A String constant written in double quotes (it may name a column; a single-quoted one
  // never does).
  bool DoubleQuoted = false;
  // A String constant that binding turned into a column, and the constant's type before.
  bool WasString = false;
  TDataType SavedDataType = dtNull;
  TSubType SavedSubType = stNone;
  std::int32_t SavedSize = 0;
  std::int32_t SavedScale = 0;

  // Prefix-compare nodes.
  std::int32_t PrefixLength = 0;
  bool CaseInsensitive = false;

  TExpTokenPtr Left;
  TExpTokenPtr Right;
  std::vector<TExpTokenPtr> Arguments;
  TExpToken* Parent = nullptr;  // enclosing operator (set by binding)

  // Height of the subtree rooted here (a leaf is 1); kept by the parser to bound recursion.
  int Height = 1;

  // --- value cell -------------------------------------------------------------------------
  // The value in its storage form: String NUL-terminated; Date int32 (days since 1 Jan 0001
  // plus one); Time int32 ms since midnight; TimeStamp float64 ms; Boolean int16 (0/1);
  // SmallInt int16; Word uint16; Integer int32; LargeInt int64; Float float64; BCD 34 bytes;
  // Memo, BLOB and Bytes raw bytes. The buffer only grows, so a warm node allocates nothing.
  const std::uint8_t* ValueData() const { return Value_.data(); }
  std::size_t ValueLength() const { return ValueLength_; }
  std::uint8_t* ReserveValue(std::size_t length);  // sets ValueLength to length
  void ReleaseValue();                             // frees the buffer; ValueLength 0
  std::size_t ValueCapacity() const { return Value_.capacity(); }

  void SetNullValue();  // type 0, NULL
  void SetStringValue(std::string_view text);
  std::string_view StringValue() const;  // up to the first NUL
  void SetBytesValue(const void* data, std::size_t length);

  template <typename T>
  void SetScalar(T value) {
    std::memcpy(ReserveValue(sizeof(T)), &value, sizeof(T));
    IsNull = false;
  }
  template <typename T>
  T Scalar() const {
    T value{};
    if (ValueLength_ >= sizeof(T)) std::memcpy(&value, Value_.data(), sizeof(T));
    return value;
  }

  // Typed setters for constants: set DataType, Size and the value.
  void SetBooleanConstant(bool value);
  void SetIntegerConstant(std::int32_t value);
  void SetLargeIntConstant(std::int64_t value);
  void SetFloatConstant(double value);
  void SetStringConstant(std::string_view text);  // Size = length + 1
  void SetDateConstant(std::int32_t days);
  void SetTimeConstant(std::int32_t milliseconds);
  void SetTimeStampConstant(double milliseconds);

  // Resets every field to its default; keeps the value buffer's capacity. Operands must have
  // been released first (the pool does that).
  void Clear();

  bool IsConstant() const { return NodeClass == ncConstant; }
  bool IsNullConstant() const {
    return NodeClass == ncConstant && DataType == dtNull && !IsParameter;
  }

 private:
  std::vector<std::uint8_t> Value_;
  std::size_t ValueLength_ = 0;
};

// The process-wide pool of free nodes (capacity ExpTokenPoolCapacity).
class TExpTokenStack {
 public:
  static TExpTokenStack& Instance();

  // A cleared node, from the pool or new.
  TExpTokenPtr Take();
  // Gives back one node whose operands have been released.
  void Give(TExpToken* node) noexcept;
  std::size_t FreeCount();

 private:
  std::mutex Lock_;
  std::vector<TExpToken*> Free_;
};

inline TExpTokenPtr NewExpToken() {
  return TExpTokenStack::Instance().Take();
}

// A deep copy of a tree (Parent links rebuilt; SubSelect and SourceTable shared).
TExpTokenPtr CopyExpTree(const TExpToken& node);
// Makes the tree in slot a deep copy of node's, reusing the nodes and buffers it has (a null
// slot gets new ones); the copy's root has no Parent.
void AssignExpTree(TExpTokenPtr& slot, const TExpToken& node);

// Recomputes node.Height from its operands.
void UpdateHeight(TExpToken& node);

}  // namespace zorvic::engine
