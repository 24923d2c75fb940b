// The NOT NULL and auto-increment marks that the columns of a query result keep of the table
// columns they name.
#include "engine/sql/query/QueryTestSupport.h"

namespace zorvic::engine::testing {
namespace {

class TQueryColumnMarksTest : public TQueryTest {
 protected:
  void SetUp() override {
    Run("Create Table Marks(K AUTOINC, N INTEGER NOT NULL, S VARCHAR(10) NOT NULL, "
        "O VARCHAR(10), Primary Key (K));"
        "Create Table Other(J AUTOINC, M INTEGER NOT NULL, P INTEGER, Primary Key (J));"
        "Insert Into Marks (N, S, O) values (1, 'a', 'x');"
        "Insert Into Marks (N, S, O) values (2, 'b', NULL);"
        "Insert Into Other (M, P) values (1, 5);");
  }

  // "kind/required" of every column of the result, e.g. "K:AutoInc/0 N:Integer/1".
  std::string Marks(const std::string& text, bool live = false) {
    TVELDORQuery q;
    Use(q, text);
    q.SetRequestLive(live);
    q.Open();
    std::string out;
    for (std::size_t i = 0; i < q.FieldCount(); ++i) {
      const TVELDORField& f = q.Field(i);
      if (!out.empty()) out += ' ';
      out += f.FieldName() + ":" + FieldKindName(f.DataType()) + "/" + (f.Required() ? "1" : "0");
    }
    return out;
  }
};

TEST_F(TQueryColumnMarksTest, PlainColumnsKeepTheirTablesMarks) {
  EXPECT_EQ(Marks("Select * From Marks"), "K:AutoInc/0 N:Integer/1 S:String/1 O:String/0");
  // An alias is still the column; the order of the list does not matter.
  EXPECT_EQ(Marks("Select O, S as Name, K From Marks where N > 0 order by K"),
            "O:String/0 Name:String/1 K:AutoInc/0");
  // DISTINCT and GROUP BY keep the column as it is.
  EXPECT_EQ(Marks("Select Distinct S From Marks"), "S:String/1");
  EXPECT_EQ(Marks("Select N From Marks group by N"), "N:Integer/1");
}

TEST_F(TQueryColumnMarksTest, ExpressionsAndAggregatesHaveNoMarks) {
  EXPECT_EQ(Marks("Select N + 1 as N1, K * 1 as K1, Upper(S) as US, 'c' as C From Marks"),
            "N1:Integer/0 K1:Integer/0 US:String/0 C:String/0");
  // The grouped column keeps its mark; the aggregates of marked columns have none.
  const std::string grouped =
      Marks("Select S, Max(N) as MN, Min(K) as MK, Count(*) as C From Marks group by S");
  EXPECT_EQ(grouped.substr(0, grouped.find(' ')), "S:String/1");
  EXPECT_EQ(grouped.find("/1", grouped.find(' ')), std::string::npos) << grouped;
  EXPECT_EQ(grouped.find("AutoInc"), std::string::npos) << grouped;
}

TEST_F(TQueryColumnMarksTest, AnOuterJoinDropsRequiredButKeepsAutoInc) {
  EXPECT_EQ(Marks("Select Marks.N, Other.M From Marks inner join Other on Marks.N = Other.M"),
            "N:Integer/1 M:Integer/1");
  // The left join gives M NULL for the second row of Marks.
  EXPECT_EQ(Marks("Select Marks.K, Marks.N, Other.M From Marks left outer join Other on "
                  "Marks.N = Other.M"),
            "K:AutoInc/0 N:Integer/0 M:Integer/0");
  TVELDORQuery q;
  Use(q,
      "Select Marks.N, Other.M From Marks left outer join Other on Marks.N = Other.M order by "
      "Marks.N");
  q.Open();
  q.Last();
  EXPECT_TRUE(q.Field(1).IsNull());  // a value the mark would have denied
}

TEST_F(TQueryColumnMarksTest, UnionKeepsOnlyTheMarksEveryPartHas) {
  EXPECT_EQ(Marks("Select K, N, O From Marks union Select J, M, 'p' From Other"),
            "K:AutoInc/0 N:Integer/1 O:String/0");
  EXPECT_EQ(Marks("Select K, N From Marks union all Select P, M + 0 From Other"),
            "K:Integer/0 N:Integer/0");
}

TEST_F(TQueryColumnMarksTest, LiveResultsAndReopenedQueriesShowTheSameMarks) {
  EXPECT_EQ(Marks("Select * From Marks", true), "K:AutoInc/0 N:Integer/1 S:String/1 O:String/0");
  TVELDORQuery q;
  Use(q, "Select K, N From Marks");
  q.Open();
  q.Close();
  q.Open();
  EXPECT_EQ(q.Field(0).DataType(), TFieldKind::AutoInc);
  EXPECT_TRUE(q.Field(0).ReadOnly());
  EXPECT_TRUE(q.Field(1).Required());
  // The marks describe, they do not change what the result holds.
  EXPECT_EQ(q.Field(0).AsInteger(), 1);
  q.Next();
  EXPECT_EQ(q.Field(0).AsInteger(), 2);
}

TEST_F(TQueryColumnMarksTest, TheSharedSchemaListings) {
  Run(kSchemaScript);
  EXPECT_EQ(Marks("Select * From Requests order by RequestID"),
            "RequestID:AutoInc/0 From:String/0 RequestType:String/0 RequestDate:Date/0");
  const std::string users = Marks("Select * From Users order by UserName");
  EXPECT_NE(users.find("Password:String/1"), std::string::npos) << users;
  EXPECT_NE(users.find("HasAdminPower:Boolean/1"), std::string::npos) << users;
  EXPECT_NE(users.find("GroupName:String/0"), std::string::npos) << users;
}

}  // namespace
}  // namespace zorvic::engine::testing
