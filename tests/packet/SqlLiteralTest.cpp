// Packet values as SQL literals, the one-literal check and the statements built from a packet.
#include "packet/PacketTestSupport.h"

namespace zorvic::testing {
namespace {

cPacketField Typed(const std::string& type) {
  return cPacketField{"F", type};
}

TEST(SqlLiteralTest, StringsAreQuotedWithInnerQuotesDoubled) {
  EXPECT_EQ(SqlLiteral(Typed("string"), "admin"), "'admin'");
  EXPECT_EQ(SqlLiteral(Typed("string"), ""), "''");
  EXPECT_EQ(SqlLiteral(Typed("string"), "O'Brien"), "'O''Brien'");
  EXPECT_EQ(SqlLiteral(Typed("string"), "'a'; Delete from Users"), "'''a''; Delete from Users'");
  EXPECT_EQ(SqlLiteral(Typed("string"), "''"), "''''''");
  EXPECT_EQ(SqlLiteral(Typed("string"), "  blanks kept \"x\" "), "'  blanks kept \"x\" '");
  // The quoted result always passes the one-literal check.
  for (const char* v : {"", "'", "''", "a'b'c", "x' OR '1'='1", "\\'", "--", "/*"})
    EXPECT_TRUE(IsSqlLiteral(SqlLiteral(Typed("string"), v))) << v;
}

TEST(SqlLiteralTest, BooleansAreTrueOnlyForOne) {
  EXPECT_EQ(SqlLiteral(Typed("boolean"), "1"), "true");
  for (const char* v : {"0", "", "True", "true", "-1", " 1", "1 ", "yes"})
    EXPECT_EQ(SqlLiteral(Typed("boolean"), v), "false") << v;
}

TEST(SqlLiteralTest, TypeTextsCompareExactly) {
  // A query packet's raw type text is no bare word, so its values are no strings.
  EXPECT_EQ(SqlLiteral(Typed("\"string\" WIDTH=\"32\""), "12"), "12");
  EXPECT_NE(PacketErrorOf([] { SqlLiteral(Typed("String"), "abc"); }), "");
  EXPECT_EQ(SqlLiteral(Typed("Boolean"), "1"), "1");
}

TEST(SqlLiteralTest, OtherTypesMustBeNumbersAndEmptyIsNull) {
  for (const char* type : {"integer", "real", "largeint", "", "unknown"}) {
    EXPECT_EQ(SqlLiteral(Typed(type), "42"), "42");
    EXPECT_EQ(SqlLiteral(Typed(type), "-7"), "-7");
    EXPECT_EQ(SqlLiteral(Typed(type), "3.25"), "3.25");
    EXPECT_EQ(SqlLiteral(Typed(type), " 1.5E+10 "), "1.5E+10");
    EXPECT_EQ(SqlLiteral(Typed(type), ".5"), ".5");
    EXPECT_EQ(SqlLiteral(Typed(type), ""), "NULL");
    EXPECT_EQ(SqlLiteral(Typed(type), "   "), "NULL");
  }
  for (const char* bad : {"1; Delete from Users", "1 or 1=1", "UserName", "0x10", "1e", "1.", "--1",
                          "+1", "1-1", "(1)", "'1'", "NULL", "1,5", "- 1", "1 2"})
    EXPECT_EQ(PacketErrorOf([&] { SqlLiteral(Typed("integer"), bad); }).rfind("'", 0), 0u) << bad;
  EXPECT_EQ(PacketErrorOf([] {
              SqlLiteral(cPacketField{"Size", "integer"}, "1;x");
            }),
            "'1;x' is not a valid number for field Size");
  // Error messages do not carry a hostile value whole.
  EXPECT_LT(PacketErrorOf([] { SqlLiteral(Typed("integer"), std::string(10000, 'x')); }).size(),
            200u);
}

TEST(SqlLiteralTest, BinaryValuesCannotBeWrittenBack) {
  EXPECT_EQ(SqlLiteral(Typed("binary"), ""), "NULL");
  EXPECT_NE(PacketErrorOf([] { SqlLiteral(Typed("binary"), "3132"); }), "");
}

TEST(SqlLiteralTest, DateTimesFromDayNumbersAndDateTexts) {
  const cPacketField f = Typed("datetime");
  EXPECT_EQ(SqlLiteral(f, "0"), "'1899-12-30 00:00:00'");
  EXPECT_EQ(SqlLiteral(f, "1"), "'1899-12-31 00:00:00'");
  EXPECT_EQ(SqlLiteral(f, "45000.5"), "'2023-03-15 12:00:00'");
  EXPECT_EQ(SqlLiteral(f, "45000,75"), "'2023-03-15 18:00:00'");  // a comma as the point
  EXPECT_EQ(SqlLiteral(f, "-1.25"), "'1899-12-29 06:00:00'");     // the fraction's size
  EXPECT_EQ(SqlLiteral(f, "2.0000000578703704"), "'1900-01-01 00:00:00.5'");  // 5 ms
  EXPECT_EQ(SqlLiteral(f, "2.0052083333333333"), "'1900-01-01 00:07:30'");
  EXPECT_EQ(SqlLiteral(f, "1.99999999999"), "'1900-01-01 00:00:00'");  // rounds to next day
  EXPECT_EQ(SqlLiteral(f, "2023-03-15"), "'2023-03-15 00:00:00'");
  EXPECT_EQ(SqlLiteral(f, "2024-02-29 23:59"), "'2024-02-29 23:59:00'");
  EXPECT_EQ(SqlLiteral(f, "2024-02-29 7:05:09"), "'2024-02-29 07:05:09'");
  EXPECT_EQ(SqlLiteral(f, "2024-02-29 07:05:09.120"), "'2024-02-29 07:05:09.120'");
  EXPECT_EQ(SqlLiteral(f, "2024-02-29 07:05:09.007"), "'2024-02-29 07:05:09.7'");
  EXPECT_EQ(SqlLiteral(f, "1899-12-30"), "'1899-12-30 00:00:00'");
  EXPECT_EQ(SqlLiteral(f, ""), "NULL");
  for (const char* bad : {"abc", "2023-02-29", "2023-13-01", "2023-00-10", "2023-1-1x", "23-01-01",
                          "2023-01-01 24:00", "2023-01-01 10:60", "2023-01-01 10:00:00.1000",
                          "2023-01-01T10:00", "1e5", "1.2.3", "3000000", "-700000", "nan", "inf",
                          "'2023-01-01'", "2023-01-01'; Delete from Users"})
    EXPECT_NE(PacketErrorOf([&] { SqlLiteral(f, bad); }), "") << bad;
}

TEST(SqlLiteralTest, OneLiteralCheck) {
  for (const char* good : {"'admin'", "''", "'O''Brien'", "''''", "'a; Delete from Users'", "'--'",
                           "'/* x */'", "42", "-42", "0.5", ".5", "1e10", "1.5E-3", "TRUE", "false",
                           "Null", "  'padded'  ", "'line\tbreak'"})
    EXPECT_TRUE(IsSqlLiteral(good)) << good;
  for (const char* bad : {"",
                          "   ",
                          "admin",
                          "'a'; Delete from Users",
                          "'a''",
                          "'a",
                          "a'",
                          "'a' 'b'",
                          "'a'||'b'",
                          "'a' --",
                          "'a' /* c */",
                          "1; Drop Table Users",
                          "1 or 1=1",
                          "1=1",
                          "- 1",
                          "--1",
                          "+1",
                          "1.",
                          "1e",
                          "0x1F",
                          "TRUE FALSE",
                          "truely",
                          "NULLx",
                          "\"admin\"",
                          "[admin]",
                          "#65",
                          "'a' or UserName='b'",
                          "(1)",
                          "'it's'"})
    EXPECT_FALSE(IsSqlLiteral(bad)) << bad;
  EXPECT_FALSE(IsSqlLiteral(std::string("'a\0b'", 5)));
}

TEST(SqlLiteralTest, SqlNames) {
  for (const char* good : {"Users", "_x", "From", "Question1", "ÄÖ", "a_b_c"})
    EXPECT_TRUE(IsSqlName(good)) << good;
  for (const char* bad : {"", "1a", "Users;", "Users Where", "a.b", "[Users]", "\"Users\"", "a-b",
                          "a$", "Users--", "a\tb"})
    EXPECT_FALSE(IsSqlName(bad)) << bad;
  EXPECT_TRUE(IsSqlName(std::string(255, 'a')));
  EXPECT_FALSE(IsSqlName(std::string(256, 'a')));
}

cLiteXMLPacket Parsed(const std::string& fields, const std::string& rows) {
  cLiteXMLPacket p;
  EXPECT_TRUE(p.LoadFromXml(Document(fields, rows)));
  return p;
}

const std::string kUserFields =
    "<field name=\"UserName\" type=\"string\" /><field name=\"Privileges\" type=\"integer\" />"
    "<field name=\"AccountDisabled\" type=\"boolean\" /><field name=\"LastLogin\" "
    "type=\"datetime\" />";

TEST(PacketSqlTest, BuildersGiveTheDesignedStatements) {
  cLiteXMLPacket p = Parsed(kUserFields,
                            "<row UserName=\"O'Brien\" Privileges=\"3\" "
                            "AccountDisabled=\"1\" LastLogin=\"2024-01-02\" />");
  EXPECT_EQ(p.BuildInsert("Users", 0),
            "Insert Into Users (UserName, Privileges, AccountDisabled, LastLogin) values "
            "('O''Brien', 3, true, '2024-01-02 00:00:00');");
  EXPECT_EQ(p.BuildUpdate("Users", 0),
            "Update Users set Privileges=3,AccountDisabled=true,LastLogin='2024-01-02 00:00:00' "
            "where UserName='O''Brien'");
  EXPECT_EQ(p.BuildDelete("Users", 0), "Delete From Users where UserName='O''Brien'");
}

TEST(PacketSqlTest, MissingAttributesAndSingleFields) {
  // A row without the attribute: an empty string, NULL for numbers, false for booleans.
  cLiteXMLPacket p = Parsed(kUserFields, "<row />");
  EXPECT_EQ(p.BuildInsert("Users", 0),
            "Insert Into Users (UserName, Privileges, AccountDisabled, LastLogin) values "
            "('', NULL, false, NULL);");
  // A single field: an update without assignments, which SQL then refuses.
  cLiteXMLPacket one =
      Parsed("<field name=\"GroupName\" type=\"string\" />", "<row GroupName=\"Staff\" />");
  EXPECT_EQ(one.BuildUpdate("Groups", 0), "Update Groups set  where GroupName='Staff'");
}

TEST(PacketSqlTest, BuildersRefuseWhatCouldChangeTheStatement) {
  cLiteXMLPacket p = Parsed(kUserFields,
                            "<row UserName=\"a\" Privileges=\"1; Delete from "
                            "Users\" />");
  EXPECT_EQ(PacketErrorOf([&] { p.BuildInsert("Users", 0); }),
            "'1; Delete from Users' is not a valid number for field Privileges");
  EXPECT_NE(PacketErrorOf([&] { p.BuildUpdate("Users", 0); }), "");

  cLiteXMLPacket ok = Parsed(kUserFields, "<row UserName=\"a\" />");
  for (const char* table :
       {"Users; Delete from Groups", "Users where 1=1", "", "[Users]", "Users--", "\"Users\""}) {
    EXPECT_NE(PacketErrorOf([&] { ok.BuildInsert(table, 0); }), "") << table;
    EXPECT_NE(PacketErrorOf([&] { ok.BuildUpdate(table, 0); }), "") << table;
    EXPECT_NE(PacketErrorOf([&] { ok.BuildDelete(table, 0); }), "") << table;
  }
  // Field names come from the client too.
  cLiteXMLPacket badName = Parsed(
      "<field name=\"UserName=UserName or 1=1 --\" "
      "type=\"string\" />",
      "");
  badName.SetDimensions(1, 1);
  EXPECT_EQ(PacketErrorOf([&] { badName.BuildDelete("Users", 0); }),
            "'UserName=UserName or 1=1 --' is not a valid field name");
}

TEST(PacketSqlTest, BuildersNeedTheFieldsAndTheRow) {
  cLiteXMLPacket empty;
  ASSERT_TRUE(empty.LoadFromXml(Document("", "<row />")));
  EXPECT_EQ(PacketErrorOf([&] { empty.BuildInsert("Users", 0); }), "The packet holds no fields");
  EXPECT_EQ(PacketErrorOf([&] { empty.BuildDelete("Users", 0); }), "The packet holds no fields");
  cLiteXMLPacket noRows = Parsed(kUserFields, "");
  EXPECT_EQ(PacketErrorOf([&] { noRows.BuildInsert("Users", 0); }), "The packet has no row 0");
  EXPECT_EQ(PacketErrorOf([&] { noRows.BuildUpdate("Users", 0); }), "The packet has no row 0");
  EXPECT_EQ(PacketErrorOf([&] { noRows.BuildDelete("Users", 0); }), "The packet has no row 0");
  cLiteXMLPacket p = Parsed(kUserFields, "<row UserName=\"a\"/>");
  EXPECT_EQ(PacketErrorOf([&] { p.BuildDelete("Users", 1); }), "The packet has no row 1");
}

}  // namespace
}  // namespace zorvic::testing
