#include "engine/sql/SqlTypes.h"

#include <string>

#include "engine/EngineLimits.h"
#include "engine/sql/parse/ExpressionParser.h"
#include "engine/sql/parse/Lexer.h"

namespace zorvic::engine {

namespace {

// How a type name takes arguments.
enum class TTypeArguments {
  None,            // no arguments
  PrecisionScale,  // optional (p) or (p, s): DECIMAL, NUMERIC (scale kept), FLOAT (ignored)
  Length,          // required (n)
  Blob,            // optional (n, t)
};

struct TTypeName {
  const char* Keyword;
  TDataType DataType;
  TSubType SubType;
  TTypeArguments Arguments;
};

constexpr TTypeName kTypeNames[] = {
    {"SMALLINT", dtSmallInt, stNone, TTypeArguments::None},
    {"WORD", dtWord, stNone, TTypeArguments::None},
    {"INTEGER", dtInteger, stNone, TTypeArguments::None},
    {"INT", dtInteger, stNone, TTypeArguments::None},
    {"AUTOINC", dtInteger, stAutoInc, TTypeArguments::None},
    {"LARGEINT", dtLargeInt, stNone, TTypeArguments::None},
    {"FLOAT", dtFloat, stNone, TTypeArguments::PrecisionScale},
    {"MONEY", dtFloat, stMoney, TTypeArguments::None},
    {"DECIMAL", dtBCD, stNone, TTypeArguments::PrecisionScale},
    {"NUMERIC", dtBCD, stNone, TTypeArguments::PrecisionScale},
    {"CHARACTER", dtString, stNone, TTypeArguments::Length},
    {"CHAR", dtString, stNone, TTypeArguments::Length},
    {"VARCHAR", dtString, stNone, TTypeArguments::Length},
    {"BYTES", dtBytes, stNone, TTypeArguments::Length},
    {"VARBYTES", dtBytes, stNone, TTypeArguments::Length},
    {"BINARY", dtBytes, stNone, TTypeArguments::Length},
    {"VARBINARY", dtBytes, stNone, TTypeArguments::Length},
    {"DATE", dtDate, stNone, TTypeArguments::None},
    {"TIME", dtTime, stNone, TTypeArguments::None},
    {"TIMESTAMP", dtTimeStamp, stNone, TTypeArguments::None},
    {"BOOLEAN", dtBoolean, stNone, TTypeArguments::None},
    {"BOOL", dtBoolean, stNone, TTypeArguments::None},
    {"BIT", dtBoolean, stNone, TTypeArguments::None},
    {"BLOB", dtBlob, stBinary, TTypeArguments::Blob},
    {"LONGVARBINARY", dtBlob, stBinary, TTypeArguments::None},
    {"LONGVARCHAR", dtBlob, stMemo, TTypeArguments::None},
    {"MEMO", dtBlob, stMemo, TTypeArguments::None},
    {"GRAPHIC", dtBlob, stGraphic, TTypeArguments::None},
};

const TTypeName* FindTypeName(std::string_view word) {
  for (const TTypeName& name : kTypeNames) {
    if (SameTextIgnoringCase(word, name.Keyword)) return &name;
  }
  return nullptr;
}

// Reads the current token as a primary expression and returns it when it is an Integer
// constant (nullopt for any other expression).
std::optional<std::int32_t> ReadIntegerArgument(TExpressionParser& lexer) {
  TExpTokenPtr argument = ParsePrimary(lexer, efNone);
  if (!argument->IsConstant() || argument->IsParameter || argument->DataType != dtInteger) {
    return std::nullopt;
  }
  return argument->Scalar<std::int32_t>();
}

class TTypeReader {
 public:
  TTypeReader(TExpressionParser& lexer, std::string_view context, const char* name)
      : Lexer_(lexer), Context_(context), Name_(name) {}

  [[noreturn]] void RaiseInContext(const std::string& message) const {
    Lexer_.RaiseError(message + Context_);
  }
  [[noreturn]] void RaiseInsteadFound(const std::string& message) const {
    Lexer_.RaiseError(message + " '" + Lexer_.TokenText() + "' in " + Context_);
  }

  void OpenParenthesis() {
    if (!Lexer_.IsSymbol('(')) {
      RaiseInsteadFound("Left parentheses expected after " + Name_ + " data type, instead found");
    }
    Lexer_.Next();
  }
  void Comma() {
    if (!Lexer_.IsSymbol(',')) {
      RaiseInsteadFound("Comma expected after first " + Name_ + " argument, instead found");
    }
    Lexer_.Next();
  }
  void CloseParenthesis() {
    if (!Lexer_.IsSymbol(')')) {
      RaiseInsteadFound("Right parentheses expected after " + Name_ +
                        " data type arguments, instead found");
    }
    Lexer_.Next();
  }

 private:
  TExpressionParser& Lexer_;
  std::string Context_;
  std::string Name_;
};

}  // namespace

std::int32_t FixedTypeSize(TDataType type) {
  switch (type) {
    case dtSmallInt:
    case dtWord:
    case dtBoolean:
      return 2;
    case dtInteger:
    case dtDate:
    case dtTime:
      return 4;
    case dtLargeInt:
    case dtFloat:
    case dtTimeStamp:
      return 8;
    case dtBCD:
      return BCDSize;
    default:
      return 0;
  }
}

bool IsSqlDataTypeKeyword(std::string_view word) {
  return FindTypeName(word) != nullptr;
}

std::optional<TSqlDataType> ParseSqlDataType(TExpressionParser& lexer, std::string_view context) {
  if (lexer.Kind() != tkName) return std::nullopt;
  const TTypeName* name = FindTypeName(lexer.TokenText());
  if (name == nullptr) return std::nullopt;

  TSqlDataType type;
  type.DataType = name->DataType;
  type.SubType = name->SubType;
  type.Size = FixedTypeSize(name->DataType);
  TTypeReader reader(lexer, context, name->Keyword);
  // The arguments are expressions of the type's own context: their errors name it.
  struct TContextScope {
    TContextScope(TExpressionParser& l, std::string_view inner)
        : Lexer(l), Outer(l.ParseContext()) {
      Lexer.SetParseContext(inner);
    }
    ~TContextScope() { Lexer.SetParseContext(Outer); }
    TExpressionParser& Lexer;
    std::string Outer;
  } scope(lexer, context);
  lexer.Next();

  switch (name->Arguments) {
    case TTypeArguments::None:
      break;
    case TTypeArguments::PrecisionScale: {
      if (!lexer.IsSymbol('(')) break;
      lexer.Next();
      ParsePrimary(lexer, efNone);  // the precision is not kept
      std::optional<std::int32_t> scale = 0;
      bool scaleGiven = false;
      if (lexer.IsSymbol(',')) {
        lexer.Next();
        scale = ReadIntegerArgument(lexer);
        scaleGiven = true;
      }
      reader.CloseParenthesis();
      if (name->DataType == dtBCD && scaleGiven) {
        if (!scale) reader.RaiseInContext("Scale argument must be an integer in ");
        if (*scale < 0 || *scale > MaxBCDScale) {
          reader.RaiseInContext(
              "Scale argument must be an integer less than or equal to 4 but greater than or "
              "equal to 0 for the BCD data type ");
        }
        type.Scale = *scale;
      }
      break;
    }
    case TTypeArguments::Length: {
      reader.OpenParenthesis();
      const std::optional<std::int32_t> length = ReadIntegerArgument(lexer);
      reader.CloseParenthesis();
      if (!length) reader.RaiseInContext("Length argument must be an integer in ");
      if (*length < 1 || *length > MaxSqlStringSize) {
        reader.RaiseInContext(
            "Length argument must be an integer greater than 0 and less than or equal to " +
            std::to_string(MaxSqlStringSize) + " in ");
      }
      type.Length = *length;
      type.Size = name->DataType == dtString ? *length + 1 : *length;
      break;
    }
    case TTypeArguments::Blob: {
      if (!lexer.IsSymbol('(')) break;
      lexer.Next();
      const std::optional<std::int32_t> first = ReadIntegerArgument(lexer);
      reader.Comma();
      const std::optional<std::int32_t> blobType = ReadIntegerArgument(lexer);
      reader.CloseParenthesis();
      if (!first) reader.RaiseInContext("First BLOB type argument must be an integer in ");
      if (!blobType) reader.RaiseInContext("BLOB type argument must be an integer in ");
      const std::int32_t t = *blobType;
      if (t != 1 && t != 2 && t != 3 && t != 5 && t != 7) {
        reader.RaiseInContext(
            "BLOB type argument must be an integer with a value of 1,2,3,5, or 7 in ");
      }
      type.SubType = static_cast<TSubType>(t + 21);
      break;
    }
  }
  return type;
}

}  // namespace zorvic::engine
