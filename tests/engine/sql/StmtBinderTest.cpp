// Binding whole statements against the server's tables: result columns (types, names, "*"),
// ORDER BY and GROUP BY resolution, HAVING, UNION, sub-selects, target columns and values.
#include <gtest/gtest.h>

#include <string>

#include "StmtTestSupport.h"
#include "engine/sql/bind/StatementBinder.h"

namespace zorvic::engine::test {
namespace {

class StmtBinder : public ::testing::Test {
 protected:
  // Parses and binds the first statement of the text.
  std::unique_ptr<TQueryStatement> Bound(std::string_view sql) {
    auto statement = std::make_unique<TQueryStatement>();
    statement->Prepare(sql);
    statement->Bind(Tables_.Schema());
    return statement;
  }

  std::string Error(std::string_view sql) {
    std::string message = Tables_.Check(sql);
    if (message.starts_with(kSqlErrorPrefix)) message.erase(0, kSqlErrorPrefix.size());
    return message;
  }

  TServerTables Tables_;
};

std::vector<std::string> ResultNames(const TDataQuery& block) {
  std::vector<std::string> names;
  for (const auto& field : block.ResultFields)
    names.push_back(field->ResultName);
  return names;
}

TEST_F(StmtBinder, StarExpandsToEveryColumnInPositionOrder) {
  auto statement = Bound("Select * from Groups g, Attachments");
  const TDataQuery& block = *statement->MasterQuery();
  EXPECT_EQ(ResultNames(block), (std::vector<std::string>{"GroupName", "ProfileName", "AttachID",
                                                          "RefCount", "BODY", "Size"}));
  EXPECT_EQ(block.ResultFields[0]->SourceTable->CorrelationName, "g");
  EXPECT_EQ(block.ResultFields[3]->SourceFieldNo, 2);
  EXPECT_FALSE(statement->ResultIsSingleStar);

  auto one = Bound("Select g.*, UserName from Users, Groups g");
  EXPECT_EQ(ResultNames(*one->MasterQuery()),
            (std::vector<std::string>{"GroupName", "ProfileName", "UserName"}));
  EXPECT_TRUE(Bound("Select * from Users")->ResultIsSingleStar);
}

TEST_F(StmtBinder, ResultTypesFollowTheAggregateRules) {
  auto statement = Bound(
      "Select MAX(AttachID), SUM(Size), COUNT(BODY), AVG(Size), MIN(RefCount), AttachID + 1 "
      "from Attachments group by 6");
  const auto& fields = statement->MasterQuery()->ResultFields;
  // An AUTOINC column is a plain Integer in a result.
  EXPECT_EQ(fields[0]->DataType, dtInteger);
  EXPECT_EQ(fields[0]->SubType, stNone);
  EXPECT_EQ(fields[1]->DataType, dtLargeInt);
  EXPECT_EQ(fields[2]->DataType, dtInteger);
  EXPECT_EQ(fields[3]->DataType, dtFloat);
  EXPECT_EQ(fields[4]->DataType, dtInteger);
  EXPECT_EQ(ResultNames(*statement->MasterQuery()),
            (std::vector<std::string>{"Max Of AttachID", "Sum Of Size", "Count Of BODY",
                                      "Average Of Size", "Min Of RefCount", "Expression"}));

  auto plain = Bound("Select UserName, LastLogin, HasAdminPower, BODY from Users, Attachments");
  const auto& columns = plain->MasterQuery()->ResultFields;
  EXPECT_EQ(columns[0]->DataType, dtString);
  EXPECT_EQ(columns[0]->Size, 33);
  EXPECT_EQ(columns[1]->DataType, dtDate);
  EXPECT_EQ(columns[2]->DataType, dtBoolean);
  EXPECT_EQ(columns[3]->DataType, dtBlob);
}

TEST_F(StmtBinder, ResultNamesAreUniqueAndAtMostThirtyCharacters) {
  EXPECT_EQ(ResultNames(*Bound("Select UserName, UserName, username from Users")->MasterQuery()),
            (std::vector<std::string>{"UserName", "UserName_1", "UserName_2"}));
  EXPECT_EQ(ResultNames(*Bound("Select 1, 2, COUNT(*) + 1 from Users")->MasterQuery()),
            (std::vector<std::string>{"Expression", "Expression_1", "Expression_2"}));
  EXPECT_EQ(ResultNames(*Bound("Select COUNT(*), SUM(1) from Users")->MasterQuery()),
            (std::vector<std::string>{"Count Of Expr", "Sum Of Expr"}));
  // An alias is cut to its last 30 characters; a numbered duplicate is cut from the left.
  auto longAlias = Bound(
      "Select UserName AS abcdefghijklmnopqrstuvwxyz0123456789, Password AS "
      "abcdefghijklmnopqrstuvwxyz0123456789 from Users");
  EXPECT_EQ(ResultNames(*longAlias->MasterQuery()),
            (std::vector<std::string>{"ghijklmnopqrstuvwxyz0123456789",
                                      "ijklmnopqrstuvwxyz0123456789_1"}));
  auto alias = Bound("Select UserName AS \"User\", u.Password Pw from Users u");
  EXPECT_EQ(ResultNames(*alias->MasterQuery()), (std::vector<std::string>{"User", "Pw"}));
}

TEST_F(StmtBinder, OrderAndGroupByNameResultColumns) {
  auto statement = Bound(
      "Select u.GroupName AS Grp, COUNT(UserName) from Users u group by u.GroupName order by "
      "2 desc, Grp");
  const TDataQuery& block = *statement->MasterQuery();
  EXPECT_EQ(block.GroupByFields[0].ResultIndex, 0);
  EXPECT_EQ(block.OrderByFields[0].ResultIndex, 1);
  EXPECT_EQ(block.OrderByFields[1].ResultIndex, 0);
  // A name matches the source column of a plain column, or a result name.
  auto byName =
      Bound("Select UserName AS Login from Users order by UserName, Login, Users.UserName");
  for (const auto& item : byName->MasterQuery()->OrderByFields)
    EXPECT_EQ(item.ResultIndex, 0);
  // ORDER BY names result columns only.
  EXPECT_EQ(Error("Select UserName from Users ORDER BY GroupName"),
            "Invalid column name 'GroupName' or table correlation name '' specified in ORDER BY "
            "clause");
}

TEST_F(StmtBinder, HavingUsesSelectedAggregatesAndColumns) {
  EXPECT_EQ(Error("Select GroupName, COUNT(*) from Users group by GroupName having COUNT(*) > 1 "
                  "and GroupName <> 'x'"),
            "");
  EXPECT_EQ(Error("Select GroupName, COUNT(UserName) AS n from Users group by GroupName having "
                  "COUNT(UserName) > 1"),
            "");
  EXPECT_EQ(Error("Select GroupName, MAX(LastLogin) from Users group by GroupName having "
                  "MIN(LastLogin) > '2005-01-01'"),
            "Expression in HAVING clause not found in source columns");
  auto statement =
      Bound("Select GroupName, COUNT(*) from Users group by GroupName having COUNT(*) > 1");
  EXPECT_EQ(statement->MasterQuery()->Having->DataType, dtBoolean);
}

TEST_F(StmtBinder, ConditionsAreBoundPartByPart) {
  auto statement = Bound(
      "Select * from Users u join Groups g on u.GroupName = g.GroupName where u.AccountDisabled");
  const TDataQuery& block = *statement->MasterQuery();
  ASSERT_NE(block.WhereCondition, nullptr);
  // A Boolean column alone is "column = TRUE".
  EXPECT_EQ(block.WhereCondition->OperatorCode, opEqual);
  EXPECT_EQ(block.WhereCondition->Left->ColumnName, "AccountDisabled");
  EXPECT_EQ(block.Condition->Right.get(), block.WhereCondition);
  EXPECT_EQ(block.Joins[0].Condition, block.Condition->Left.get());
  EXPECT_EQ(block.Condition->DataType, dtBoolean);
  EXPECT_EQ(block.WhereCondition->Parent, block.Condition.get());
}

TEST_F(StmtBinder, QuotedStringsAndColumns) {
  // A single-quoted string is always a literal, even when it spells a column name.
  auto single = Bound("Select * from Users where GroupName = 'UserName'");
  const TExpToken& right = *single->MasterQuery()->WhereCondition->Right;
  EXPECT_EQ(right.NodeClass, ncConstant);
  EXPECT_EQ(right.StringValue(), "UserName");
  // A double-quoted string that names a column is that column...
  auto twin = Bound("Select * from Users where GroupName = \"UserName\"");
  EXPECT_EQ(twin->MasterQuery()->WhereCondition->Right->NodeClass, ncColumn);
  // ...and otherwise a string, also as a LIKE pattern.
  auto pattern = Bound("Select UserName from Users where GroupName like \"Sales%\"");
  const TExpToken& like = *pattern->MasterQuery()->WhereCondition;
  ASSERT_EQ(like.OperatorCode, opLike);
  ASSERT_EQ(like.Arguments.size(), 2u);
  EXPECT_EQ(like.Arguments[1]->NodeClass, ncConstant);
  // A date written as a string becomes a Date constant.
  auto date = Bound("Select * from Users where LastLogin = '2005-01-31'");
  EXPECT_EQ(date->MasterQuery()->WhereCondition->Right->DataType, dtDate);
}

TEST_F(StmtBinder, UnionPartsMatchTheMaster) {
  auto statement = Bound(
      "Select UserName from Users union select GroupName from Groups union all select "
      "ProfileName from Profiles order by 1");
  EXPECT_TRUE(statement->QueryBlocks()[1]->Bound);
  EXPECT_EQ(statement->MasterQuery()->OrderByFields[0].ResultIndex, 0);
}

TEST_F(StmtBinder, SubSelectsBindBeforeTheirUsers) {
  auto statement = Bound(
      "Select UserName from Users where GroupName in (select GroupName from Groups where "
      "ProfileName = 'p')");
  const auto& blocks = statement->QueryBlocks();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_TRUE(blocks[1]->Bound);
  EXPECT_EQ(blocks[1]->ResultFields[0]->DataType, dtString);
}

TEST_F(StmtBinder, InsertTargetsAndValues) {
  auto all = Bound("Insert into Groups values ('Sales', 'Standard')");
  const TDataQuery& block = *all->MasterQuery();
  ASSERT_EQ(block.UpdateFields.size(), 2u);
  EXPECT_EQ(block.UpdateFields[1].ColumnName, "ProfileName");
  EXPECT_EQ(block.UpdateFields[1].FieldNo, 2);

  // Column names match ignoring case; TRUE and FALSE go into Boolean columns.
  auto admin = Bound(
      "Insert into Users (username, password, GroupName, HasAdminPower, AccountDisabled) "
      "values ('admin', 'tarnlamp', 'Admins', True, False)");
  EXPECT_EQ(admin->MasterQuery()->UpdateFields[0].FieldNo, 1);
  EXPECT_EQ(admin->MasterQuery()->UpdateFields[3].DataType, dtBoolean);

  // A date text for a Date column becomes a Date constant now.
  auto request = Bound(
      "Insert into Requests (From, RequestType, RequestDate) values ('bob','User Activation "
      "Request','2005-01-31');");
  EXPECT_EQ(request->MasterQuery()->UpdateValues[2].Value->DataType, dtDate);

  // A string for a numeric column is converted when the row is written.
  EXPECT_EQ(Error("Insert into Attachments (RefCount) values ('abc')"), "");
  // A double-quoted column list item names the column.
  auto quoted = Bound("Insert into Groups (\"GroupName\") values ('x')");
  EXPECT_EQ(quoted->MasterQuery()->UpdateFields[0].FieldNo, 1);
  EXPECT_TRUE(quoted->MasterQuery()->UpdateFields[0].Column->WasString);
}

TEST_F(StmtBinder, UpdateValuesMayUseColumns) {
  auto statement = Bound(
      "Update Users set PrimaryEmail = SecondaryEmail, LastLogin = '2004-03-07' where "
      "UserName='admin';");
  const TDataQuery& block = *statement->MasterQuery();
  EXPECT_EQ(block.UpdateValues[0].Value->NodeClass, ncColumn);
  EXPECT_EQ(block.UpdateValues[1].Value->DataType, dtDate);
  EXPECT_EQ(Error("Update Users set Password='x' from users"), "");
  EXPECT_EQ(Error("Update Users u set Password='x' from Users U"), "");
  EXPECT_EQ(Error("Update Users u set Password=g.ProfileName from Users u, Groups g where "
                  "u.GroupName = g.GroupName"),
            "");
}

TEST_F(StmtBinder, DefinitionsChangeLaterStatements) {
  EXPECT_EQ(Error("Create Table t(a INTEGER, b VARCHAR(10), Primary Key (a)); Insert into t "
                  "values (1, 'x'); Alter Table t ADD c DATE AT 1, DROP b; Select c, a from t; "
                  "Create Index ti on t(c); Drop Table t"),
            "");
  EXPECT_EQ(Error("Select * from t"), "VELDOR Engine Error # 11010 Table 't.DAT' does not exist");
  EXPECT_EQ(Error("Create Table IF NOT EXISTS Users(x INTEGER); Select UserName from Users"), "");
  EXPECT_EQ(Error("Drop Table IF EXISTS NotThere"), "");
}

TEST(StmtBinderSchema, AlterTableComputesTheNewDefinition) {
  TTableSchema table;
  table.Name = "t";
  table.Fields = {
      {"a", dtInteger, stNone, 0, 0}, {"b", dtString, stNone, 10, 0}, {"c", dtDate, stNone, 0, 0}};
  auto statement = ParseOnly(
      "Alter Table t ADD d BOOLEAN AT 1, REDEFINE b bb VARCHAR(20) AT 4, DROP c, ADD Primary Key "
      "(a)");
  auto after = SchemaAfterAlterTable(table, *statement->MasterQuery());
  ASSERT_EQ(after->Fields.size(), 3u);
  EXPECT_EQ(after->Fields[0].Name, "d");
  EXPECT_EQ(after->Fields[1].Name, "a");
  EXPECT_EQ(after->Fields[2].Name, "bb");
  EXPECT_EQ(after->Fields[2].Size, 20);
  EXPECT_TRUE(after->HasPrimaryKey);
}

}  // namespace
}  // namespace zorvic::engine::test
