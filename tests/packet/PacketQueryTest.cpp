// Packets of real query results, and statements built from packets run on a real database.
#include "app/SharedSchema.h"
#include "engine/components/Components.h"
#include "engine/components/Table.h"
#include "engine/sql/query/Query.h"
#include "packet/PacketTestSupport.h"
#include "support/TempDir.h"

namespace zorvic::testing {
namespace {

using engine::TVELDORQuery;

class PacketQueryTest : public ::testing::Test {
 protected:
  void SetUp() override { Run(std::string(kSharedSchemaScript)); }
  void TearDown() override { engine::TVELDORSessionList::Instance().DefaultSession().Close(); }

  void Run(const std::string& text) {
    TVELDORQuery q;
    q.SetDatabaseName(Dir.Path());
    q.SetSQLText(text);
    q.RunSQL();
  }
  // The packet of a SELECT.
  cLiteXMLPacket Listing(const std::string& text) {
    TVELDORQuery q;
    q.SetDatabaseName(Dir.Path());
    q.SetSQLText(text);
    q.Open();
    cLiteXMLPacket p;
    p.LoadFromQuery(q);
    return p;
  }
  // A listing read back as a client would.
  cLiteXMLPacket Parsed(const std::string& text) {
    cLiteXMLPacket p;
    EXPECT_TRUE(p.LoadFromXml(Listing(text).GetXml()));
    return p;
  }

  TTempDir Dir;
};

TEST_F(PacketQueryTest, GroupNamesPacketHasTheExactBytes) {
  Run("Insert Into Groups (GroupName, ProfileName) values ('Staff', 'P');"
      "Insert Into Groups (GroupName, ProfileName) values ('Admins', 'P');");
  const cLiteXMLPacket p = Listing("Select GroupName from Groups order by GroupName");
  EXPECT_EQ(p.GetXml(),
            "<?xml version=\"1.0\" standalone=\"yes\" ?><LiteDataPacket version=\"1.0\">"
            "<metadata><field name=\"GroupName\" type=\"string\" WIDTH=\"32\" />"
            "</metadata><data><row GroupName=\"Admins\" /><row GroupName=\"Staff\" /></data>"
            "</LiteDataPacket>");
  EXPECT_EQ(p.RowCount(), 0u);  // the rows went straight into the text
  ASSERT_EQ(p.FieldCount(), 1u);
}

TEST_F(PacketQueryTest, EmptyResultGivesDataWithoutChildren) {
  const cLiteXMLPacket p = Listing("Select * From Requests order by RequestID");
  const std::string& xml = p.GetXml();
  EXPECT_NE(xml.find("</metadata><data></data></LiteDataPacket>"), std::string::npos) << xml;
}

TEST_F(PacketQueryTest, TypeTextsAndValuesOfEveryColumnKind) {
  Run("Create Table Kinds(K AUTOINC, S VARCHAR(10), M MEMO, I INTEGER, SI SMALLINT, W WORD, "
      "LI LARGEINT, B BOOLEAN, F FLOAT, N NUMERIC(10,2), C MONEY, D DATE, T TIME, TS "
      "TIMESTAMP, BL BLOB, Primary Key (K));"
      "Insert Into Kinds (S, M, I, SI, W, LI, B, F, N, C, D, T, TS, BL) values ('a\"b', "
      "'line1\nline2', -5, 7, 9, 9000000000, TRUE, 1.5, 12.25, 3.5, '2024-02-29', '13:05:00', "
      "'2024-03-01 10:20:30', 'xyz');"
      "Insert Into Kinds (S) values (NULL);");
  const cLiteXMLPacket listed = Listing("Select * From Kinds order by K");
  const std::string& xml = listed.GetXml();
  EXPECT_EQ(xml.substr(0, xml.find("</metadata>")),
            kHead +
                "<field name=\"K\" type=\"integer\" SUBTYPE=\"Autoinc\" /><field name=\"S\" "
                "type=\"string\" "
                "WIDTH=\"10\" /><field name=\"M\" type=\"string\" WIDTH=\"0\" /><field "
                "name=\"I\" type=\"integer\" /><field name=\"SI\" type=\"integer\" /><field "
                "name=\"W\" type=\"integer\" /><field name=\"LI\" type=\"largeint\" /><field "
                "name=\"B\" type=\"boolean\" /><field name=\"F\" type=\"real\" /><field "
                "name=\"N\" type=\"real\" /><field name=\"C\" type=\"real\" SUBTYPE=\"Money\" "
                "/><field name=\"D\" type=\"datetime\" /><field name=\"T\" type=\"datetime\" "
                "/><field name=\"TS\" type=\"datetime\" /><field name=\"BL\" type=\"binary\" "
                "ENCODING=\"hex\" />");
  cLiteXMLPacket p;
  ASSERT_TRUE(p.LoadFromXml(xml));
  ASSERT_EQ(p.RowCount(), 2u);
  EXPECT_EQ(p.GetValue("S", 0, "?"), "a\"b");
  EXPECT_EQ(p.GetValue("M", 0, "?"), "line1\nline2");
  EXPECT_EQ(p.GetValue("I", 0, "?"), "-5");
  EXPECT_EQ(p.GetValue("LI", 0, "?"), "9000000000");
  EXPECT_EQ(p.GetValue("B", 0, "?"), "1");
  EXPECT_EQ(p.GetValue("D", 0, "?"), "2024-02-29");
  EXPECT_EQ(p.GetValue("TS", 0, "?"), "2024-03-01");  // the time of day is not written
  EXPECT_EQ(p.GetValue("BL", 0, "?"), "78797a");
  // The NULL row: booleans 0, dates day 0 of the day count, the rest empty.
  EXPECT_EQ(p.GetValue("B", 1, "?"), "0");
  EXPECT_EQ(p.GetValue("D", 1, "?"), "1899-12-30");
  EXPECT_EQ(p.GetValue("TS", 1, "?"), "1899-12-30");
  EXPECT_EQ(p.GetValue("I", 1, "?"), "");
  EXPECT_EQ(p.GetValue("BL", 1, "?"), "");
}

TEST_F(PacketQueryTest, TableColumnsShowAutoincAndRequired) {
  engine::TVELDORTable t;
  t.SetDatabaseName(Dir.Path());
  t.SetTableName("Requests");
  t.Open();
  cLiteXMLPacket p;
  p.LoadFromQuery(t);
  EXPECT_EQ(p.GetXml(), Document("<field name=\"RequestID\" type=\"integer\" "
                                 "SUBTYPE=\"Autoinc\" /><field name=\"From\" type=\"string\" "
                                 "WIDTH=\"32\" /><field name=\"RequestType\" type=\"string\" "
                                 "WIDTH=\"32\" /><field name=\"RequestDate\" "
                                 "type=\"datetime\" />",
                                 ""));
  t.Close();
  t.SetTableName("Users");
  t.Open();
  p.LoadFromQuery(t);
  EXPECT_NE(p.GetXml().find("<field name=\"Password\" type=\"string\" WIDTH=\"32\" "
                            "required=\"true\" />"),
            std::string::npos)
      << p.GetXml();
  // Parsed, the type texts are bare words again.
  cLiteXMLPacket back;
  ASSERT_TRUE(back.LoadFromXml(p.GetXml()));
  // Attributes are taken by position: the type attribute's text alone, WIDTH and required are
  // attributes of their own.
  EXPECT_EQ(back.Field(back.FieldIndex("Password")).TypeText, "string");
  EXPECT_EQ(back.Field(back.FieldIndex("Password")).Name, "Password");
}

TEST_F(PacketQueryTest, QueryColumnsShowTheMarksOfTheirTableColumns) {
  EXPECT_EQ(Listing("Select * From Requests order by RequestID").GetXml(),
            Document("<field name=\"RequestID\" type=\"integer\" SUBTYPE=\"Autoinc\" /><field "
                     "name=\"From\" type=\"string\" WIDTH=\"32\" /><field name=\"RequestType\" "
                     "type=\"string\" WIDTH=\"32\" /><field name=\"RequestDate\" "
                     "type=\"datetime\" />",
                     ""));
  const std::string users = Listing(
                                "Select UserName, Password as P, HasAdminPower, "
                                "Upper(Password) as UP From Users")
                                .GetXml();
  EXPECT_NE(users.find("<field name=\"UserName\" type=\"string\" WIDTH=\"32\" /><field "
                       "name=\"P\" type=\"string\" WIDTH=\"32\" required=\"true\" /><field "
                       "name=\"HasAdminPower\" type=\"boolean\" required=\"true\" /><field "
                       "name=\"UP\" type=\"string\" WIDTH=\"32\" /></metadata>"),
            std::string::npos)
      << users;
}

TEST_F(PacketQueryTest, ListedRecordSentBackUnchangedThroughSql) {
  Run("Insert Into Users (UserName, Password, GroupName, HasAdminPower, AccountDisabled, "
      "LastLogin, PrimaryEmail) values ('O''Brien', 'pa\"ss&<word>', 'Staff', TRUE, FALSE, "
      "'2024-02-29', 'ob@example.com')");
  const std::string select = "Select * From Users where UserName='O''Brien'";
  const cLiteXMLPacket listed = Listing(select);

  // A client changes nothing and sends the record back as an update.
  cLiteXMLPacket sent;
  ASSERT_TRUE(sent.LoadFromXml(listed.GetXml()));
  ASSERT_EQ(sent.Field(0).Name, "UserName");
  // The listing's type texts carry widths; a client sends bare words.
  for (std::size_t j = 0; j < sent.FieldCount(); ++j) {
    std::string type = sent.Field(j).TypeText;
    sent.SetField(j, sent.Field(j).Name, type.substr(0, type.find(' ')));
  }
  Run(sent.BuildUpdate("Users", 0));
  EXPECT_EQ(Listing(select).GetXml(), listed.GetXml());

  // The same record under a new key goes in through an insert and lists the same.
  sent.SetValue(0, 0, "Copy'; Delete from Users; --");
  Run(sent.BuildInsert("Users", 0));
  cLiteXMLPacket copy =
      Parsed("Select * From Users where UserName='Copy''; Delete from Users; --'");
  ASSERT_EQ(copy.RowCount(), 1u);
  for (std::size_t j = 1; j < copy.FieldCount(); ++j)
    EXPECT_EQ(copy.Value(0, j), sent.Value(0, j)) << copy.Field(j).Name;
  EXPECT_EQ(copy.GetValue("Password", 0, ""), "pa\"ss&<word>");
  EXPECT_EQ(copy.GetValue("LastLogin", 0, ""), "2024-02-29");
  EXPECT_EQ(copy.GetValue("HasAdminPower", 0, ""), "1");
  EXPECT_EQ(Parsed("Select UserName From Users order by UserName").RowCount(), 2u);

  // And the delete removes only that record.
  Run(copy.BuildDelete("Users", 0));
  const cLiteXMLPacket left = Parsed("Select UserName From Users order by UserName");
  ASSERT_EQ(left.RowCount(), 1u);
  EXPECT_EQ(left.Value(0, 0), "O'Brien");
}

TEST_F(PacketQueryTest, ComputedColumnNamesBecomeAttributeNames) {
  Run("Insert Into Groups (GroupName) values ('G')");
  EXPECT_EQ(
      Listing("Select count(*) From Groups").GetXml(),
      Document("<field name=\"Count_Of_Expr\" type=\"integer\" />", "<row Count_Of_Expr=\"1\" />"));
  EXPECT_EQ(Listing("Select GroupName, GroupName From Groups").GetXml(),
            Document("<field name=\"GroupName\" type=\"string\" WIDTH=\"32\" /><field "
                     "name=\"GroupName_1\" type=\"string\" WIDTH=\"32\" />",
                     "<row GroupName=\"G\" GroupName_1=\"G\" />"));
  // Names that only become unique after the change still come out unique.
  const cLiteXMLPacket p =
      Parsed("Select 1 as \"a b\", 2 as a_b, 3 as \"1x\", 4 as \"p:q\" From Groups");
  ASSERT_EQ(p.FieldCount(), 4u);
  EXPECT_EQ(p.Field(0).Name, "a_b");
  EXPECT_EQ(p.Field(1).Name, "a_b_1");
  EXPECT_EQ(p.Field(2).Name, "_1x");
  EXPECT_EQ(p.Field(3).Name, "p_q");
  EXPECT_EQ(p.Value(0, 1), "2");
}

}  // namespace
}  // namespace zorvic::testing
