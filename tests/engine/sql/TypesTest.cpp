#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "ExprTestUtil.h"
#include "engine/sql/SqlTypes.h"
#include "engine/sql/parse/Lexer.h"

namespace zorvic::engine {
namespace {

using testing::ErrorOf;
using testing::kSqlError;

// Reads a type from text and checks that the whole text was used.
std::optional<TSqlDataType> ReadType(const std::string& text) {
  TExpressionParser lexer;
  lexer.SetParseContext("table column");
  lexer.Load(text);
  lexer.Next();
  std::optional<TSqlDataType> type = ParseSqlDataType(lexer, "table column");
  if (type) {
    EXPECT_TRUE(lexer.IsSymbol(tkEnd)) << text;
  }
  return type;
}

std::string TypeError(const std::string& text) {
  return ErrorOf([&] { ReadType(text); });
}

struct TypeRow {
  const char* Text;
  TDataType Type;
  TSubType SubType;
  std::int32_t Size;
  std::int32_t Length;
  std::int32_t Scale;
};

TEST(TypesTable, NamesMapToEngineCodes) {
  const TypeRow rows[] = {
      {"SMALLINT", dtSmallInt, stNone, 2, 0, 0},
      {"word", dtWord, stNone, 2, 0, 0},
      {"INTEGER", dtInteger, stNone, 4, 0, 0},
      {"Int", dtInteger, stNone, 4, 0, 0},
      {"AUTOINC", dtInteger, stAutoInc, 4, 0, 0},
      {"LARGEINT", dtLargeInt, stNone, 8, 0, 0},
      {"FLOAT", dtFloat, stNone, 8, 0, 0},
      {"FLOAT(10, 2)", dtFloat, stNone, 8, 0, 0},
      {"MONEY", dtFloat, stMoney, 8, 0, 0},
      {"DECIMAL", dtBCD, stNone, 34, 0, 0},
      {"NUMERIC(12)", dtBCD, stNone, 34, 0, 0},
      {"DECIMAL(12, 4)", dtBCD, stNone, 34, 0, 4},
      {"CHARACTER(1)", dtString, stNone, 2, 1, 0},
      {"CHAR(10)", dtString, stNone, 11, 10, 0},
      {"VARCHAR(250)", dtString, stNone, 251, 250, 0},
      {"BYTES(16)", dtBytes, stNone, 16, 16, 0},
      {"VARBYTES(1)", dtBytes, stNone, 1, 1, 0},
      {"BINARY(8)", dtBytes, stNone, 8, 8, 0},
      {"VARBINARY(250)", dtBytes, stNone, 250, 250, 0},
      {"DATE", dtDate, stNone, 4, 0, 0},
      {"TIME", dtTime, stNone, 4, 0, 0},
      {"TIMESTAMP", dtTimeStamp, stNone, 8, 0, 0},
      {"BOOLEAN", dtBoolean, stNone, 2, 0, 0},
      {"BOOL", dtBoolean, stNone, 2, 0, 0},
      {"BIT", dtBoolean, stNone, 2, 0, 0},
      {"BLOB", dtBlob, stBinary, 0, 0, 0},
      {"BLOB(0, 1)", dtBlob, stMemo, 0, 0, 0},
      {"BLOB(10, 2)", dtBlob, stBinary, 0, 0, 0},
      {"BLOB(1, 3)", dtBlob, stFormattedMemo, 0, 0, 0},
      {"BLOB(1, 5)", dtBlob, stGraphic, 0, 0, 0},
      {"BLOB(1, 7)", dtBlob, stTypedBinary, 0, 0, 0},
      {"LONGVARBINARY", dtBlob, stBinary, 0, 0, 0},
      {"LONGVARCHAR", dtBlob, stMemo, 0, 0, 0},
      {"MEMO", dtBlob, stMemo, 0, 0, 0},
      {"GRAPHIC", dtBlob, stGraphic, 0, 0, 0},
  };
  for (const TypeRow& row : rows) {
    const std::optional<TSqlDataType> type = ReadType(row.Text);
    ASSERT_TRUE(type.has_value()) << row.Text;
    EXPECT_EQ(type->DataType, row.Type) << row.Text;
    EXPECT_EQ(type->SubType, row.SubType) << row.Text;
    EXPECT_EQ(type->Size, row.Size) << row.Text;
    EXPECT_EQ(type->Length, row.Length) << row.Text;
    EXPECT_EQ(type->Scale, row.Scale) << row.Text;
  }
  // Not a type: nothing is read, and the caller reports it.
  TExpressionParser lexer;
  lexer.Load("VARCHARS(10)");
  lexer.Next();
  EXPECT_FALSE(ParseSqlDataType(lexer, "table column").has_value());
  EXPECT_EQ(lexer.TokenText(), "VARCHARS");
  EXPECT_TRUE(IsSqlDataTypeKeyword("timestamp"));
  EXPECT_FALSE(IsSqlDataTypeKeyword("TEXT"));
}

TEST(TypesTable, ArgumentErrors) {
  const std::string in = " in table column";
  EXPECT_EQ(TypeError("VARCHAR(251)"),
            kSqlError +
                "Length argument must be an integer greater than 0 and less than or equal to 250" +
                in);
  EXPECT_EQ(TypeError("VARCHAR(0)"),
            kSqlError +
                "Length argument must be an integer greater than 0 and less than or equal to 250" +
                in);
  EXPECT_EQ(TypeError("BYTES(1.5)"), kSqlError + "Length argument must be an integer" + in);
  EXPECT_EQ(TypeError("VARCHAR"),
            kSqlError + "Left parentheses expected after VARCHAR data type, instead found ''" + in);
  EXPECT_EQ(TypeError("char 10"),
            kSqlError + "Left parentheses expected after CHAR data type, instead found '10'" + in);
  EXPECT_EQ(TypeError("CHAR(10"),
            kSqlError +
                "Right parentheses expected after CHAR data type arguments, instead found ''" + in);
  EXPECT_EQ(TypeError("DECIMAL(10, 5)"),
            kSqlError +
                "Scale argument must be an integer less than or equal to 4 but greater than or "
                "equal to 0 for the BCD data type table column");
  EXPECT_EQ(TypeError("NUMERIC(10, 'x')"), kSqlError + "Scale argument must be an integer" + in);
  EXPECT_EQ(TypeError("DECIMAL(10 2)"),
            kSqlError +
                "Right parentheses expected after DECIMAL data type arguments, instead found '2'" +
                in);
  EXPECT_EQ(TypeError("FLOAT(10, 2"),
            kSqlError +
                "Right parentheses expected after FLOAT data type arguments, instead found ''" +
                in);
  EXPECT_EQ(TypeError("BLOB(10)"),
            kSqlError + "Comma expected after first BLOB argument, instead found ')'" + in);
  EXPECT_EQ(TypeError("BLOB(10, 2"),
            kSqlError +
                "Right parentheses expected after BLOB data type arguments, instead found ''" + in);
  EXPECT_EQ(TypeError("BLOB('a', 1)"),
            kSqlError + "First BLOB type argument must be an integer" + in);
  EXPECT_EQ(TypeError("BLOB(1, 'a')"), kSqlError + "BLOB type argument must be an integer" + in);
  EXPECT_EQ(TypeError("BLOB(1, 4)"),
            kSqlError + "BLOB type argument must be an integer with a value of 1,2,3,5, or 7" + in);
  // An argument is one primary: a signed number is not.
  EXPECT_EQ(TypeError("CHAR(-1)"),
            kSqlError + "Unknown or unexpected symbol '-' found in table column");
}

}  // namespace
}  // namespace zorvic::engine
