// Parameter scanning, parameter values and the query's text handling, without running SQL.
#include "engine/sql/parse/ExpToken.h"
#include "engine/sql/query/QueryTestSupport.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine::testing {
namespace {

using TQueryParamsTest = TQueryTest;

TEST(TParamScanTest, NamesOutsideLiteralsAndCommentsBecomePlaces) {
  const TParamScan s = ScanParameters(
      "Select * from T where A = :a and B = ':b' and C = \":c\" /* :d */ and [x:e] = :f");
  EXPECT_EQ(s.Text,
            "Select * from T where A = ? and B = ':b' and C = \":c\" /* :d */ and [x:e] = ?");
  EXPECT_EQ(s.PlaceNames, (std::vector<std::string>{"a", "f"}));
  EXPECT_EQ(s.Names, (std::vector<std::string>{"a", "f"}));
}

TEST(TParamScanTest, QuotesOfTheOtherKindDoNotEndALiteral) {
  // A single-quoted literal holding a double quote, and the reverse: the scan must not leave
  // the literal at the other kind of quote.
  TParamScan s = ScanParameters("Select 'it\"s :x' , :y from T");
  EXPECT_EQ(s.PlaceNames, (std::vector<std::string>{"y"}));
  EXPECT_EQ(s.Text, "Select 'it\"s :x' , ? from T");
  s = ScanParameters("Select \"it's :x\" , :y from T");
  EXPECT_EQ(s.PlaceNames, (std::vector<std::string>{"y"}));
  // Doubled quotes stay inside their literal.
  s = ScanParameters("Select 'a'':x''b', :z from T");
  EXPECT_EQ(s.PlaceNames, (std::vector<std::string>{"z"}));
  EXPECT_EQ(s.Text, "Select 'a'':x''b', ? from T");
}

TEST(TParamScanTest, CommentsAndUnterminatedLiteralsStayText) {
  TParamScan s = ScanParameters("/* it's :x */ Select :y /* \" :z");
  EXPECT_EQ(s.PlaceNames, (std::vector<std::string>{"y"}));
  EXPECT_EQ(s.Text, "/* it's :x */ Select ? /* \" :z");
  s = ScanParameters("Select 'open :x");
  EXPECT_TRUE(s.PlaceNames.empty());
  EXPECT_EQ(s.Text, "Select 'open :x");
}

TEST(TParamScanTest, DoubleColonsQuotedNamesRepeatsAndBareMarks) {
  TParamScan s = ScanParameters("a::b :x + :X + :\"long name\" + :'it''s' + ? + : y + :");
  EXPECT_EQ(s.Text, "a:b ? + ? + ? + ? + ? + : y + :");
  EXPECT_EQ(s.PlaceNames, (std::vector<std::string>{"x", "X", "long name", "it's", ""}));
  // Names compare ignoring case: x and X are one parameter.
  EXPECT_EQ(s.Names, (std::vector<std::string>{"x", "long name", "it's"}));
  s = ScanParameters("Select ':'::, :1a, :_b");
  EXPECT_EQ(s.Text, "Select ':':, ?, ?");
  EXPECT_EQ(s.PlaceNames, (std::vector<std::string>{"1a", "_b"}));
}

TEST(TParamTest, ValuesFillNodesInTheEngineForm) {
  auto node = NewExpToken();
  TParam p("p");
  EXPECT_EQ(ErrorOf([&] { p.FillNode(*node, "p"); }), "No value for parameter 'p'");

  p.SetAsInteger(-7);
  p.FillNode(*node, "p");
  EXPECT_EQ(node->DataType, dtInteger);
  EXPECT_FALSE(node->IsNull);
  EXPECT_EQ(node->Scalar<std::int32_t>(), -7);

  p.SetAsString("abc   ");
  p.FillNode(*node, "p");
  EXPECT_EQ(node->DataType, dtString);
  EXPECT_EQ(node->StringValue(), "abc");
  EXPECT_EQ(node->Size, 4);

  // Only blanks: NULL of type String.
  p.SetAsString("   ");
  p.FillNode(*node, "p");
  EXPECT_EQ(node->DataType, dtString);
  EXPECT_TRUE(node->IsNull);

  p.SetAsBoolean(true);
  p.FillNode(*node, "p");
  EXPECT_EQ(node->DataType, dtBoolean);
  EXPECT_EQ(node->Scalar<std::int16_t>(), 1);

  p.SetAsDate(TextToDate("2005-01-31"));
  p.FillNode(*node, "p");
  EXPECT_EQ(node->DataType, dtDate);
  EXPECT_EQ(DateToText(node->Scalar<std::int32_t>()), "2005-01-31");

  p.SetAsBCD(TextToBcd("-12.345"));
  p.FillNode(*node, "p");
  EXPECT_EQ(node->DataType, dtBCD);
  EXPECT_EQ(node->Scale, 3);
  EXPECT_EQ(p.AsText(), "-12.345");

  p.SetAsMemo("line\nline");
  p.FillNode(*node, "p");
  EXPECT_EQ(node->DataType, dtBlob);
  EXPECT_EQ(node->SubType, stMemo);
  EXPECT_EQ(node->ValueLength(), 9u);

  // Clear keeps the kind: a typed NULL, not a missing value.
  p.SetAsLargeInt(1);
  p.Clear();
  p.FillNode(*node, "p");
  EXPECT_EQ(node->DataType, dtLargeInt);
  EXPECT_TRUE(node->IsNull);
  EXPECT_EQ(p.AsText(), "NULL");
}

TEST_F(TQueryParamsTest, ChangingTheTextKeepsValuesByName) {
  TVELDORQuery q;
  q.SetSQLText("Select * from T where A = :a and B = :b");
  ASSERT_EQ(q.Params().Count(), 2u);
  q.ParamByName("a").SetAsInteger(1);
  q.ParamByName("B").SetAsString("x");
  q.SetSQLText("Select * from T where B = :b and C = :c and B <> :b");
  ASSERT_EQ(q.Params().Count(), 2u);
  EXPECT_EQ(q.Params()[0].Name(), "b");
  EXPECT_EQ(q.Params()[0].AsText(), "x");
  EXPECT_EQ(q.Params()[1].DataType(), TFieldKind::Unknown);
  EXPECT_EQ(ErrorOf([&] { q.ParamByName("a"); }), "Parameter 'a' not found");
  EXPECT_EQ(q.ProcessedText(), "Select * from T where B = ? and C = ? and B <> ?");

  // Without ParamCheck the text is taken as it is.
  q.SetParamCheck(false);
  q.SetSQLText("Select ':x', :y from T");
  EXPECT_EQ(q.ProcessedText(), "Select ':x', :y from T");
  EXPECT_EQ(q.Params().Count(), 2u);
}

TEST_F(TQueryParamsTest, LinesJoinWithLineBreaksAndAddOneByOne) {
  TVELDORQuery q;
  q.AddSQL("Select *");
  q.AddSQL("from T where A = :a");
  EXPECT_EQ(q.SQLText(), "Select *\nfrom T where A = :a");
  EXPECT_EQ(q.SQL().size(), 2u);
  EXPECT_EQ(q.Params().Count(), 1u);
  // A text given whole comes back unchanged, line breaks inside literals too.
  q.SetSQLText("Select 'a\r\nb\nc'\r\nfrom T");
  EXPECT_EQ(q.SQLText(), "Select 'a\r\nb\nc'\r\nfrom T");
  EXPECT_EQ(q.SQL().size(), 4u);
  q.ClearSQL();
  EXPECT_TRUE(q.SQL().empty());
  EXPECT_EQ(q.Params().Count(), 0u);
}

TEST_F(TQueryParamsTest, PreparingShortEmptyAndBrokenTexts) {
  TVELDORQuery q;
  q.SetDatabaseName(Dir.Path());
  EXPECT_EQ(ErrorOf([&] { q.PrepareSQL(); }), "No SQL statement available");
  q.SetSQLText(";");
  EXPECT_EQ(ErrorOf([&] { q.RunSQL(); }), "No SQL statement available");
  // A text holding nothing but a comment has no statement either.
  q.SetSQLText("/* nothing */");
  EXPECT_EQ(ErrorOf([&] { q.PrepareSQL(); }), "No SQL statement available");
  EXPECT_FALSE(q.Prepared());
  q.SetSQLText("Selec * from T");
  EXPECT_EQ(EngineCodeOf([&] { q.PrepareSQL(); }), VELDOR_SQLPARSE);
  EXPECT_FALSE(q.Prepared());
}

TEST_F(TQueryParamsTest, TheSameTextKeepsThePreparedStatement) {
  TVELDORQuery q;
  q.SetDatabaseName(Dir.Path());
  q.SetSQLText("Select * from Users where UserName = :u");
  q.PrepareSQL();
  ASSERT_TRUE(q.Prepared());
  q.SetSQLText("Select * from Users where UserName = :u");
  EXPECT_TRUE(q.Prepared());
  q.SetSQL({"Select * from Users where UserName = :u"});
  EXPECT_TRUE(q.Prepared());
  q.SetSQLText("Select * from Users");
  EXPECT_FALSE(q.Prepared());
  q.PrepareSQL();
  q.ReleaseSQL();
  EXPECT_FALSE(q.Prepared());
}

TEST_F(TQueryParamsTest, SingleStatementRefusesASecondStatementWhenPreparing) {
  TVELDORQuery q;
  q.SetDatabaseName(Dir.Path());
  q.SetSingleStatement(true);
  q.SetSQLText("Select BODY from Attachments where AttachID=0;Delete from Users");
  EXPECT_EQ(ErrorOf([&] { q.PrepareSQL(); }),
            std::string(kSqlError) + "Only one statement may be run here, instead found 'Delete'");
  EXPECT_FALSE(q.Prepared());
  // A final ";", blanks and comments may follow; a second ";" may not.
  q.SetSQLText("Select BODY from Attachments where AttachID=0 ; /* done */ \r\n");
  EXPECT_EQ(ErrorOf([&] { q.PrepareSQL(); }), "");
  q.SetSQLText("Select BODY from Attachments;;");
  EXPECT_EQ(EngineCodeOf([&] { q.PrepareSQL(); }), VELDOR_SQLPARSE);
}

TEST_F(TQueryParamsTest, PropertiesAndDataLinks) {
  TVELDORQuery q;
  EXPECT_STREQ(q.EngineVersion(), "3.21");
  q.SetEngineVersion("9.99");
  EXPECT_STREQ(q.EngineVersion(), "3.21");
  EXPECT_EQ(q.MaxRowCount(), -1);
  EXPECT_TRUE(q.ParamCheck());
  EXPECT_FALSE(q.RequestLive());
  EXPECT_FALSE(q.ReadOnly());
  EXPECT_FALSE(q.SingleStatement());

  TVELDORDataSource self(&q);
  EXPECT_EQ(ErrorOf([&] { q.SetDataSource(&self); }), "Circular data links are not allowed.");
  TVELDORQuery master;
  TVELDORDataSource toMaster(&master);
  TVELDORDataSource toDetail(&q);
  q.SetDataSource(&toMaster);
  EXPECT_EQ(ErrorOf([&] { master.SetDataSource(&toDetail); }),
            "Circular data links are not allowed.");
  EXPECT_EQ(master.DataSource(), nullptr);
  EXPECT_EQ(q.DataSource(), &toMaster);
}

}  // namespace
}  // namespace zorvic::engine::testing
