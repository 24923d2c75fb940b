// The statement grammar: what each statement leaves in its query blocks, scripts, table
// references and correlation names, and the bounds on statement nesting.
#include <gtest/gtest.h>

#include <string>

#include "ExprTestUtil.h"
#include "StmtTestSupport.h"
#include "engine/EngineLimits.h"
#include "engine/sql/parse/StatementText.h"

namespace zorvic::engine::test {
namespace {

const TExpToken& Root(const TExpTokenPtr& tree) {
  return *tree;
}

TEST(StmtParser, StatementKindsAndTheirNames) {
  struct {
    const char* Sql;
    TStatementKind Kind;
    const char* Name;
  } rows[] = {
      {"Select UserName from Users", TStatementKind::Select, "SELECT"},
      {"(Select UserName from Users)", TStatementKind::Select, "SELECT"},
      {"Insert into Groups (GroupName) values ('x')", TStatementKind::Insert, "INSERT"},
      {"Update Users set Password='x'", TStatementKind::Update, "UPDATE"},
      {"Delete from Messages", TStatementKind::Delete, "DELETE"},
      {"Create Table t(a INTEGER)", TStatementKind::CreateTable, "CREATE TABLE"},
      {"Alter Table t ADD b INTEGER", TStatementKind::AlterTable, "ALTER TABLE"},
      {"Drop Table t", TStatementKind::DropTable, "DROP TABLE"},
      {"Create Unique Index i on t(a)", TStatementKind::CreateIndex, "CREATE INDEX"},
      {"Create DESCENDING Index i on t(a)", TStatementKind::CreateIndex, "CREATE INDEX"},
      {"Drop Index t.i", TStatementKind::DropIndex, "DROP INDEX"},
      {"start transaction", TStatementKind::StartTransaction, "START TRANSACTION"},
      {"ROLLBACK WORK", TStatementKind::Rollback, "ROLLBACK"},
      {"Commit Work Flush", TStatementKind::Commit, "COMMIT"},
  };
  for (const auto& row : rows) {
    auto statement = ParseOnly(row.Sql);
    ASSERT_NE(statement->MasterQuery(), nullptr) << row.Sql;
    EXPECT_EQ(statement->Kind(), row.Kind) << row.Sql;
    EXPECT_STREQ(StatementKindName(statement->Kind()), row.Name);
  }
  EXPECT_STREQ(StatementKindName(static_cast<TStatementKind>(13)), "UNKNOWN");
  EXPECT_STREQ(StatementKindName(TStatementKind::None), "UNKNOWN");
  EXPECT_TRUE(ParseOnly("Commit Flush")->MasterQuery()->Flush);
  EXPECT_FALSE(ParseOnly("Commit")->MasterQuery()->Flush);
}

TEST(StmtParser, ScriptsParseOneStatementAtATime) {
  TQueryStatement statement;
  statement.Prepare("Select UserName from Users; Delete from Messages;");
  EXPECT_EQ(statement.Kind(), TStatementKind::Select);
  EXPECT_EQ(statement.StatementSource(), "Select UserName from Users");
  ASSERT_FALSE(statement.AtEnd());
  statement.ParseNext();
  EXPECT_EQ(statement.Kind(), TStatementKind::Delete);
  EXPECT_EQ(statement.StatementSource(), "Delete from Messages");
  // The final ";" followed by the end of text ends the script: no empty third statement.
  EXPECT_TRUE(statement.AtEnd());

  // Comments and blanks only: nothing to parse.
  statement.Prepare("  /* nothing */  ");
  EXPECT_EQ(statement.MasterQuery(), nullptr);
  EXPECT_TRUE(statement.AtEnd());

  // A failing statement leaves nothing half-parsed behind.
  EXPECT_THROW(statement.Prepare("Select UserName from Users where"), EVELDOREngineError);
  EXPECT_EQ(statement.MasterQuery(), nullptr);
  EXPECT_TRUE(statement.AtEnd());
}

TEST(StmtParser, QuotedStringsCollapseTheirDoubledQuotes) {
  auto statement =
      ParseOnly("Select * from Users where UserName='O''Brien' or UserName=\"say \"\"hi\"\"\"");
  const TExpToken& condition = *statement->MasterQuery()->Condition;
  ASSERT_EQ(condition.OperatorCode, opOr);
  EXPECT_EQ(condition.Left->Right->StringValue(), "O'Brien");
  EXPECT_EQ(condition.Right->Right->StringValue(), "say \"hi\"");
}

TEST(StmtParser, SelectClausesFillTheBlock) {
  auto statement = ParseOnly(
      "Select Distinct u.UserName As Name, GroupName Grp, COUNT(*) From Users u "
      "Where u.AccountDisabled = False Group By u.UserName, 2 Having COUNT(*) > 1 "
      "Order By 1 Desc, Grp Asc NoCase Top 10 With Locks "
      "Language 'German (Standard)' Sort 'German Phone Book Order' Encrypted With 'pw' "
      "NoJoinOptimize;");
  const TDataQuery& block = *statement->MasterQuery();
  EXPECT_TRUE(block.Distinct);
  ASSERT_EQ(block.ResultFields.size(), 3u);
  EXPECT_EQ(block.ResultFields[0]->Alias, "Name");
  EXPECT_TRUE(block.ResultFields[0]->AliasGiven);
  EXPECT_EQ(block.ResultFields[0]->ColumnName, "UserName");
  EXPECT_EQ(block.ResultFields[0]->CorrelationName, "u");
  EXPECT_EQ(block.ResultFields[0]->ClauseText, "u.UserName");
  EXPECT_EQ(block.ResultFields[1]->Alias, "Grp");
  EXPECT_EQ(block.ResultFields[2]->Aggregate, TAggregateKind::Count);
  EXPECT_FALSE(block.ResultFields[2]->AliasGiven);
  ASSERT_EQ(block.SourceTables.size(), 1u);
  EXPECT_EQ(block.SourceTables[0]->CorrelationName, "u");
  EXPECT_TRUE(block.HasWhereOrJoin);
  EXPECT_FALSE(block.HasMultipleSources);
  ASSERT_EQ(block.GroupByFields.size(), 2u);
  EXPECT_EQ(block.GroupByFields[0].CorrelationName, "u");
  EXPECT_EQ(block.GroupByFields[0].ColumnName, "UserName");
  EXPECT_EQ(block.GroupByFields[1].ColumnNumber, 2);
  EXPECT_TRUE(block.HasHaving);
  ASSERT_EQ(block.OrderByFields.size(), 2u);
  EXPECT_EQ(block.OrderByFields[0].ColumnNumber, 1);
  EXPECT_TRUE(block.OrderByFields[0].Descending);
  EXPECT_EQ(block.OrderByFields[1].ColumnName, "Grp");
  EXPECT_FALSE(block.OrderByFields[1].Descending);
  EXPECT_TRUE(block.OrderByNoCase);
  EXPECT_EQ(block.TopCount, 10);
  EXPECT_TRUE(block.WithLocks);
  EXPECT_TRUE(block.LanguageGiven);
  EXPECT_EQ(block.LanguageId, 0x0407);
  EXPECT_TRUE(block.SortGiven);
  EXPECT_TRUE(block.EncryptedGiven);
  EXPECT_EQ(block.Password, "pw");
  EXPECT_TRUE(block.NoJoinOptimize);
}

TEST(StmtParser, JoinsAndTheCombinedCondition) {
  auto statement = ParseOnly(
      "Select * from Users u inner join Groups g on u.GroupName = g.GroupName "
      "left outer join Profiles p on g.ProfileName = p.ProfileName "
      "right join Requests r on r.From = u.UserName where u.UserName = 'a'");
  const TDataQuery& block = *statement->MasterQuery();
  // The right outer join's table goes to the front of the source list.
  ASSERT_EQ(block.SourceTables.size(), 4u);
  EXPECT_EQ(block.SourceTables[0]->CorrelationName, "r");
  EXPECT_EQ(block.SourceTables[0]->Position, 1);
  EXPECT_EQ(block.SourceTables[1]->CorrelationName, "u");
  EXPECT_EQ(block.SourceTables[3]->Position, 4);
  ASSERT_EQ(block.Joins.size(), 3u);
  EXPECT_EQ(block.Joins[0].Kind, TJoinKind::Inner);
  EXPECT_EQ(block.Joins[0].Left->CorrelationName, "u");
  EXPECT_EQ(block.Joins[0].Right->CorrelationName, "g");
  EXPECT_EQ(block.Joins[1].Kind, TJoinKind::LeftOuter);
  EXPECT_EQ(block.Joins[2].Kind, TJoinKind::RightOuter);
  EXPECT_TRUE(block.HasMultipleSources);
  // Three ON conditions and the WHERE, AND-ed in the order met.
  const TExpToken& top = Root(block.Condition);
  EXPECT_EQ(top.OperatorCode, opAnd);
  EXPECT_EQ(top.Right.get(), block.WhereCondition);
  EXPECT_EQ(top.Left->Right.get(), block.Joins[2].Condition);
  EXPECT_EQ(top.Left->Left->Left.get(), block.Joins[0].Condition);

  // Parenthesised joins.
  auto nested = ParseOnly(
      "Select * from ((Users u join Groups g on u.GroupName=g.GroupName) join Profiles p on "
      "p.ProfileName=g.ProfileName)");
  EXPECT_EQ(nested->MasterQuery()->SourceTables.size(), 3u);
}

TEST(StmtParser, CorrelationNamesStopAtTheStatementsOwnWords) {
  // Words that may follow a table reference are never taken as its correlation name.
  EXPECT_EQ(ParseOnly("Select * from Users where UserName='a'")
                ->MasterQuery()
                ->FirstSource()
                ->CorrelationName,
            "Users");
  EXPECT_EQ(ParseOnly("Select * from Users union select * from Users")
                ->MasterQuery()
                ->FirstSource()
                ->CorrelationName,
            "Users");
  EXPECT_EQ(ParseOnly("Insert into Groups values ('a', 'b')")
                ->MasterQuery()
                ->FirstSource()
                ->CorrelationName,
            "Groups");
  EXPECT_EQ(ParseOnly("Insert into Groups g values ('a', 'b')")
                ->MasterQuery()
                ->FirstSource()
                ->CorrelationName,
            "g");
  EXPECT_EQ(
      ParseOnly("Update Users set Password='x'")->MasterQuery()->FirstSource()->CorrelationName,
      "Users");
  EXPECT_EQ(
      ParseOnly("Update Users u set Password='x'")->MasterQuery()->FirstSource()->CorrelationName,
      "u");
  EXPECT_EQ(
      ParseOnly("Delete from Messages commit flush")->MasterQuery()->FirstSource()->CorrelationName,
      "Messages");
  EXPECT_EQ(ParseOnly("Delete from Messages nojoinoptimize")
                ->MasterQuery()
                ->FirstSource()
                ->CorrelationName,
            "Messages");
  // A quoted token always names the correlation, keyword or not.
  EXPECT_EQ(
      ParseOnly("Select * from Users \"where\"")->MasterQuery()->FirstSource()->CorrelationName,
      "where");
  EXPECT_EQ(
      ParseOnly("Select * from Users AS [x y]")->MasterQuery()->FirstSource()->CorrelationName,
      "x y");
  // In the source SELECT of INSERT, NOAUTOINC and COMMIT also end the reference.
  auto insert =
      ParseOnly("Insert into Groups select UserName, GroupName from Users noautoinc commit flush");
  const TDataQuery& master = *insert->MasterQuery();
  ASSERT_NE(master.InsertSource, nullptr);
  EXPECT_EQ(master.InsertSource->FirstSource()->CorrelationName, "Users");
  EXPECT_TRUE(master.NoAutoInc);
  EXPECT_TRUE(master.Flush);
}

TEST(StmtParser, TableReferences) {
  auto memory = ParseOnly("Select * from memory Temp1 t");
  const TSourceTable& table = *memory->MasterQuery()->FirstSource();
  EXPECT_TRUE(table.InMemory);
  EXPECT_EQ(table.TableName, "Temp1");
  EXPECT_EQ(table.CorrelationName, "t");

  auto path = ParseOnly("Select * from archive\\'Old.dat'");
  EXPECT_EQ(path->MasterQuery()->FirstSource()->Folder, "archive\\");
  EXPECT_EQ(path->MasterQuery()->FirstSource()->TableName, "Old");
  EXPECT_EQ(path->MasterQuery()->FirstSource()->CorrelationName, "Old");

  auto quoted = ParseOnly("Select * from '/var/data/Users.DAT'");
  EXPECT_EQ(quoted->MasterQuery()->FirstSource()->Folder, "/var/data/");
  EXPECT_EQ(quoted->MasterQuery()->FirstSource()->TableName, "Users");

  auto into = ParseOnly("Select * into memory Result from Users");
  EXPECT_TRUE(into->MasterQuery()->IntoGiven);
  EXPECT_TRUE(into->MasterQuery()->Into.InMemory);
  EXPECT_EQ(into->MasterQuery()->Into.Name, "Result");
  auto intoNoName = ParseOnly("Select * into memory from Users");
  EXPECT_TRUE(intoNoName->MasterQuery()->Into.Name.empty());

  std::string longName(256, 'a');
  EXPECT_EQ(ParseError("Select * from " + longName), std::string(kSqlErrorPrefix) + "Table name '" +
                                                         std::string(40, 'a') +
                                                         "...' is longer than 255 characters");
  EXPECT_EQ(ParseError("Select * from " + std::string(255, 'a')), "");
}

TEST(StmtParser, UnionPartsAndTheWholeUnionsOrder) {
  auto statement = ParseOnly(
      "Select UserName from Users union all (select GroupName from Groups) union "
      "select ProfileName from Profiles order by 1 top 5");
  const auto& blocks = statement->QueryBlocks();
  ASSERT_EQ(blocks.size(), 3u);
  const TDataQuery& master = *blocks[0];
  ASSERT_NE(master.UnionNext, nullptr);
  EXPECT_EQ(master.UnionNext, blocks[1].get());
  EXPECT_TRUE(blocks[1]->UnionAll);
  EXPECT_TRUE(blocks[1]->Parenthesized);
  EXPECT_EQ(blocks[1]->Role, TQueryRole::UnionPart);
  EXPECT_EQ(blocks[1]->Master, &master);
  EXPECT_EQ(blocks[1]->UnionNext, blocks[2].get());
  EXPECT_FALSE(blocks[2]->UnionAll);
  // ORDER BY and TOP after the last part belong to the whole union.
  EXPECT_TRUE(master.HasOrderBy);
  EXPECT_EQ(master.TopCount, 5);
  EXPECT_FALSE(blocks[2]->HasOrderBy);
}

TEST(StmtParser, SubSelectsAndInsertSources) {
  auto statement = ParseOnly(
      "Select * from Users where GroupName in (select GroupName from Groups where ProfileName "
      "in (select ProfileName from Profiles))");
  const auto& blocks = statement->QueryBlocks();
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[1]->Role, TQueryRole::InSubSelect);
  EXPECT_EQ(blocks[2]->Role, TQueryRole::InSubSelect);
  EXPECT_EQ(blocks[2]->Master, blocks[0].get());

  auto insert = ParseOnly("Insert into Groups (select UserName, GroupName from Users)");
  const TDataQuery& master = *insert->MasterQuery();
  ASSERT_NE(master.InsertSource, nullptr);
  EXPECT_TRUE(master.InsertSource->Parenthesized);
  EXPECT_EQ(master.InsertSource->Role, TQueryRole::InsertSource);
  ASSERT_EQ(master.UpdateFields.size(), 1u);
  EXPECT_EQ(master.UpdateFields[0].ColumnName, "*");
}

TEST(StmtParser, InsertUpdateDeleteClauses) {
  auto insert = ParseOnly(
      "Insert into Users (UserName, \"Password\", [GroupName]) values ('a', ?, '') noautoinc "
      "commit interval 100 flush");
  const TDataQuery& block = *insert->MasterQuery();
  ASSERT_EQ(block.UpdateFields.size(), 3u);
  EXPECT_EQ(block.UpdateFields[0].ColumnName, "UserName");
  // A double-quoted string names a column.
  EXPECT_EQ(block.UpdateFields[1].ColumnName, "Password");
  EXPECT_EQ(block.UpdateFields[2].ColumnName, "GroupName");
  ASSERT_EQ(block.UpdateValues.size(), 3u);
  EXPECT_TRUE(block.UpdateValues[1].Value->IsParameter);
  // The empty string is the NULL constant.
  EXPECT_TRUE(block.UpdateValues[2].Value->IsNullConstant());
  EXPECT_TRUE(block.NoAutoInc);
  EXPECT_TRUE(block.CommitIntervalGiven);
  EXPECT_EQ(block.CommitInterval, 100);
  EXPECT_TRUE(block.Flush);
  ASSERT_EQ(insert->ParameterList.size(), 1u);
  EXPECT_EQ(insert->ParameterList[0], block.UpdateValues[1].Value.get());

  // A single-quoted string in a column list is a literal, never a column.
  auto literal = ParseOnly("Insert into Users ('UserName') values ('a')");
  EXPECT_TRUE(literal->MasterQuery()->UpdateFields[0].ColumnName.empty());

  auto update = ParseOnly(
      "Update Users u set u.Password=?, LastLogin='2005-01-31' from Users u join Groups g on "
      "g.GroupName=u.GroupName where g.ProfileName=? noautoinc commit flush nojoinoptimize");
  const TDataQuery& up = *update->MasterQuery();
  ASSERT_EQ(up.SourceTables.size(), 2u);
  EXPECT_EQ(up.Joins.size(), 1u);
  EXPECT_EQ(up.UpdateFields[0].CorrelationName, "u");
  EXPECT_EQ(up.UpdateFields[0].ColumnName, "Password");
  EXPECT_EQ(up.UpdateValues[1].ClauseText, "'2005-01-31'");
  EXPECT_TRUE(up.NoAutoInc);
  EXPECT_TRUE(up.Flush);
  EXPECT_TRUE(up.NoJoinOptimize);
  EXPECT_EQ(update->ParameterList.size(), 2u);

  auto remove = ParseOnly("Delete from Messages m where m.MessageID > 5 commit interval 10");
  EXPECT_EQ(remove->MasterQuery()->FirstSource()->CorrelationName, "m");
  EXPECT_EQ(remove->MasterQuery()->CommitInterval, 10);
}

// Lists read alike whether a ',' or ')' follows an operand at once or after a blank: the
// operand alone is a clause of its own, with the same tree, clause text and errors.
TEST(StmtParser, OperandsRightBeforeACommaReadAsWithBlanks) {
  auto values = [](const std::string& text) {
    auto statement = ParseOnly(text);
    const TDataQuery& block = *statement->MasterQuery();
    std::string out;
    for (const TUpdateField& field : block.UpdateFields)
      out += (field.Column ? testing::Dump(*field.Column) : field.ColumnName) + "[" +
             field.ClauseText + "] ";
    for (const TUpdateValue& value : block.UpdateValues)
      out += testing::Dump(*value.Value) + "[" + value.ClauseText + "] ";
    return out + std::to_string(statement->ParameterList.size());
  };
  const std::string tight =
      "Insert into Users (UserName,\"Password\",[GroupName],HasAdminPower,LastLogin,Size) "
      "values ('a''b',?,'',FALSE,CURRENT_DATE,-5)";
  const std::string spaced =
      "Insert into Users ( UserName , \"Password\" , [GroupName] , HasAdminPower , LastLogin , "
      "Size ) values ( 'a''b' , ? , '' , FALSE , CURRENT_DATE , -5 )";
  EXPECT_EQ(values(tight), values(spaced));
  EXPECT_EQ(values("Insert into T (a) values (1.5,2,#65,NULL,x,t.y,'s'||'t',3*4,1=1)"),
            values("Insert into T (a) values (1.5 ,2 ,#65 ,NULL ,x ,t.y ,'s'||'t' ,3*4 ,1=1 )"));
  EXPECT_EQ(values("Insert into T (a) values (upper('x'),(1),NOT TRUE)"),
            values("Insert into T (a) values (upper('x') ,(1) ,NOT TRUE )"));
  // NOT before the comma still starts a negation that lacks its operand.
  EXPECT_EQ(ParseError("Insert into T (a) values (NOT,1)"),
            ParseError("Insert into T (a) values (NOT ,1)"));
  EXPECT_NE(ParseError("Insert into T (a) values (NOT,1)"), "");
  EXPECT_EQ(ParseError("Insert into T (NOT) values (1)"),
            ParseError("Insert into T (NOT ) values (1)"));
  EXPECT_EQ(ParseError("Insert into T (a) values (#300,1)"),
            ParseError("Insert into T (a) values (#300 ,1)"));
  EXPECT_NE(ParseError("Insert into T (a) values (#300,1)"), "");
}

TEST(StmtParser, NestingIsBoundedNotAStackOverflow) {
  // Sub-selects nested within the bound parse; deeper ones are refused.
  auto nested = [](int depth) {
    std::string sql = "Select * from Users where UserName in ";
    for (int i = 0; i < depth; ++i)
      sql += "(select UserName from Users where UserName in ";
    sql += "('a')";
    sql += std::string(static_cast<std::size_t>(depth), ')');
    return sql;
  };
  EXPECT_EQ(ParseError(nested(MaxSubSelectDepth)), "");
  EXPECT_NE(ParseError(nested(MaxSubSelectDepth + 1)), "");
  EXPECT_NE(ParseError(nested(100000)), "");

  // Very deep parentheses and long UNION chains fail or parse without recursion trouble.
  EXPECT_NE(ParseError("Select * from Users where " + std::string(200000, '(')), "");
  std::string chain = "Select UserName from Users";
  for (int i = 0; i < 5000; ++i)
    chain += " union select UserName from Users";
  EXPECT_EQ(ParseError(chain), "");
}

TEST(StmtParser, NulByteInTheTextIsAnError) {
  const std::string text("Select * from Users\0 where 1=1", 30);
  const std::string error = ParseError(text);
  EXPECT_TRUE(error.starts_with(kSqlErrorPrefix)) << error;
}

}  // namespace
}  // namespace zorvic::engine::test
