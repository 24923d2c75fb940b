// Texts that differ only in their literals take a copy of an earlier parse: what they give must
// be exactly what parsing them gives, as a tree, as a statement's source and as results.
#include "engine/sql/StatementTemplates.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/sql/QueryStatement.h"
#include "engine/sql/diff/DiffSqlRunner.h"
#include "engine/sql/parse/StatementText.h"
#include "support/TempDir.h"

namespace zorvic::engine::test {
namespace {

using zorvic::testing::TTempDir;

// Turns templates on or off for one test and leaves none behind.
class TTemplatesSwitch {
 public:
  explicit TTemplatesSwitch(bool on) : Was_(StatementTemplatesOn()) {
    ClearStatementTemplates();
    SetStatementTemplates(on);
  }
  ~TTemplatesSwitch() {
    SetStatementTemplates(Was_);
    ClearStatementTemplates();
  }

 private:
  bool Was_;
};

struct TParsed {
  std::string Tree;    // the statement's text form, or the error
  std::string Source;  // StatementSource
  bool AtEnd = false;
};

TParsed Parse(const std::string& text, const std::string& folder = "") {
  TParsed parsed;
  TQueryStatement statement(folder);
  try {
    statement.Prepare(text);
    parsed.Tree = StatementText(statement);
    parsed.Source = statement.StatementSource();
    parsed.AtEnd = statement.AtEnd();
  } catch (const EVELDOREngineError& e) {
    parsed.Tree = std::string("error: ") + e.what();
  }
  return parsed;
}

TParsed ParseFresh(const std::string& text, const std::string& folder = "") {
  SetStatementTemplates(false);
  TParsed parsed = Parse(text, folder);
  SetStatementTemplates(true);
  return parsed;
}

// Parses text with templates on and checks it against a fresh parse; returns whether the
// text was taken from a template.
bool ExpectSameAsFresh(const std::string& text, const std::string& folder = "") {
  const TParsed fresh = ParseFresh(text, folder);
  const std::size_t hits = StatementTemplateHits();
  const TParsed parsed = Parse(text, folder);
  EXPECT_EQ(parsed.Tree, fresh.Tree) << text;
  EXPECT_EQ(parsed.Source, fresh.Source) << text;
  EXPECT_EQ(parsed.AtEnd, fresh.AtEnd) << text;
  return StatementTemplateHits() > hits;
}

// Literals of every kind a slot takes and a few that change a constant's type.
std::string RandomString(std::mt19937& rng) {
  static const char* const kPieces[] = {"a",  "it''s", " ", "\r\n", "x y", "/* c */",
                                        "--", ";",     ",", ")",    "é",   "Z"};
  std::string text;
  const int length = std::uniform_int_distribution<int>(0, 6)(rng);
  for (int i = 0; i < length; ++i)
    text += kPieces[std::uniform_int_distribution<int>(0, 11)(rng)];
  if (std::uniform_int_distribution<int>(0, 20)(rng) == 0) text += std::string(300, 'L');
  return "'" + text + "'";
}

std::string RandomNumber(std::mt19937& rng) {
  switch (std::uniform_int_distribution<int>(0, 5)(rng)) {
    case 0:
      return "0";
    case 1:
      return std::to_string(std::uniform_int_distribution<int>(1, 1000000)(rng));
    case 2:
      return "2147483648";  // past Integer: a LargeInt constant
    case 3:
      return "1.5";
    case 4:
      return "99999999999999999999";  // past LargeInt: a Float constant
    default:
      return "7e3";
  }
}

std::string RandomLiteral(std::mt19937& rng) {
  return std::uniform_int_distribution<int>(0, 1)(rng) ? RandomString(rng) : RandomNumber(rng);
}

TEST(StatementTemplates, TextsOfOneShapeParseToWhatAFreshParseGives) {
  TTemplatesSwitch on(true);
  std::mt19937 rng(20261211);
  const std::vector<std::string> shapes = {
      "INSERT INTO Users (UserName, Password, GroupName, HasAdminPower) VALUES (@, @, @, FALSE)",
      "insert into Messages (Body, Size) values (@,@) ;  ",
      "Insert Into \"Users\" (UserName) Values (@) COMMIT INTERVAL 5",
      "UPDATE Users SET Password = @, GroupName=@ WHERE UserName = @",
      "Delete from Messages where MessageID=@",
      "DELETE FROM Messages WHERE MessageID > @ AND @ >= MessageID /* tail */;",
      "Select * from Messages where MessageID > @ order by MessageID",
      "SELECT TOP 3 UserName, 'fixed' FROM Users WHERE GroupName <> @ AND HasAdminPower = @",
      "Select count(*) from Users where GroupName = @\r\n",
      "SELECT UserName FROM Users WHERE (UserName = @) AND Password < @",
  };
  int hits = 0;
  for (const std::string& shape : shapes) {
    for (int round = 0; round < 40; ++round) {
      std::string text;
      for (const char c : shape)
        text += (c == '@') ? RandomLiteral(rng) : std::string(1, c);
      hits += ExpectSameAsFresh(text) ? 1 : 0;
    }
  }
  // Most texts of a shape are taken from its template once it is kept (the literals' kinds
  // vary, so some are not).
  EXPECT_GT(hits, 100);
}

TEST(StatementTemplates, WhatIsNotAVariablePartMustMatchExactly) {
  TTemplatesSwitch on(true);
  // Literals outside the places a template varies, other spacing, other folders, clock
  // constants, parameters, sub-selects and joins: each text still parses as itself.
  const std::vector<std::vector<std::string>> families = {
      {"SELECT 'a' FROM Users WHERE UserName = 'x'", "SELECT 'b' FROM Users WHERE UserName = 'x'",
       "SELECT 'a' FROM Users WHERE UserName = 'y'"},
      {"SELECT * FROM Users WHERE UserName = 'x'", "SELECT *  FROM Users WHERE UserName = 'x'",
       "SELECT * FROM Users WHERE UserName = 'y'", "select * FROM Users WHERE UserName = 'y'"},
      {"SELECT * FROM Users WHERE UserName LIKE 'a%'",
       "SELECT * FROM Users WHERE UserName LIKE 'b%'"},
      {"SELECT * FROM Users WHERE UserName IN ('a', 'b')",
       "SELECT * FROM Users WHERE UserName IN ('c', 'd')"},
      {"UPDATE Users SET Size = Size + 1 WHERE UserName = 'a'",
       "UPDATE Users SET Size = Size + 2 WHERE UserName = 'a'"},
      {"INSERT INTO Users (UserName) VALUES ((5))", "INSERT INTO Users (UserName) VALUES ((6))"},
      {"INSERT INTO Users (UserName) VALUES (-5)", "INSERT INTO Users (UserName) VALUES (-6)"},
      {"INSERT INTO Users (UserName) VALUES ('')", "INSERT INTO Users (UserName) VALUES ('a')",
       "INSERT INTO Users (UserName) VALUES ('')"},
      {"INSERT INTO Users (UserName) VALUES (\"a\")",
       "INSERT INTO Users (UserName) VALUES (\"b\")"},
      {"INSERT INTO T (D) VALUES (CURRENT_DATE)", "INSERT INTO T (D, E) VALUES (CURRENT_DATE, 1)",
       "INSERT INTO T (D, E) VALUES (CURRENT_DATE, 2)"},
      {"SELECT * FROM Users WHERE UserName = ?", "SELECT * FROM Users WHERE UserName = ? AND 1=1"},
      {"SELECT * FROM A WHERE X IN (SELECT X FROM B WHERE Y = 1)",
       "SELECT * FROM A WHERE X IN (SELECT X FROM B WHERE Y = 2)"},
      {"SELECT * FROM A JOIN B ON A.X = B.X WHERE A.Y = 1",
       "SELECT * FROM A JOIN B ON A.X = B.X WHERE A.Y = 2"},
      {"DELETE FROM A WHERE X = 1; DELETE FROM A WHERE X = 2", "DELETE FROM A WHERE X = 3"},
      {"DELETE FROM A WHERE X = 'open", "DELETE FROM A WHERE X = 'a'",
       "DELETE FROM A WHERE X = 'b"},
  };
  for (const auto& family : families) {
    ClearStatementTemplates();
    for (int round = 0; round < 3; ++round) {
      for (const std::string& text : family)
        ExpectSameAsFresh(text);
    }
  }
  // The same text in another folder has other tables.
  ClearStatementTemplates();
  for (int round = 0; round < 3; ++round)
    ExpectSameAsFresh("DELETE FROM A WHERE X = " + std::to_string(round), "one/");
  EXPECT_TRUE(ExpectSameAsFresh("DELETE FROM A WHERE X = 7", "one/"));
  EXPECT_FALSE(ExpectSameAsFresh("DELETE FROM A WHERE X = 7", "two/"))
      << "a template of another folder";
}

TEST(StatementTemplates, OnlyTheSecondSightingOfAShapeKeepsATemplate) {
  TTemplatesSwitch on(true);
  EXPECT_FALSE(ExpectSameAsFresh("DELETE FROM A WHERE X = 1"));
  EXPECT_FALSE(ExpectSameAsFresh("DELETE FROM A WHERE X = 2"));
  EXPECT_TRUE(ExpectSameAsFresh("DELETE FROM A WHERE X = 3"));
  EXPECT_TRUE(ExpectSameAsFresh("DELETE FROM A WHERE X = 123456"));
  // A constant of another type (LargeInt) parses afresh; its template then replaces the old.
  EXPECT_FALSE(ExpectSameAsFresh("DELETE FROM A WHERE X = 9876543210"));
  EXPECT_TRUE(ExpectSameAsFresh("DELETE FROM A WHERE X = 9876543211"));
  // A text whose fixed part is longer than the limit keeps no template.
  const std::string longFixed =
      "SELECT '" + std::string(TemplateFixedBytesLimit, 'f') + "' FROM A WHERE X = ";
  for (int round = 0; round < 3; ++round)
    EXPECT_FALSE(ExpectSameAsFresh(longFixed + std::to_string(round)));
  // Past the capacity the least recently used shapes go.
  for (std::size_t i = 0; i < StatementTemplateCapacity + 4; ++i) {
    const std::string table = "T" + std::to_string(i);
    for (int round = 0; round < 3; ++round)
      ExpectSameAsFresh("DELETE FROM " + table + " WHERE X = " + std::to_string(round));
  }
  EXPECT_FALSE(ExpectSameAsFresh("DELETE FROM T0 WHERE X = 5"));
  EXPECT_TRUE(ExpectSameAsFresh("DELETE FROM T19 WHERE X = 5"));
}

// Runs one script of statements on a database with templates on or off.
std::vector<TSqlOutcome> RunScript(bool templates, const std::vector<std::string>& script) {
  TTemplatesSwitch use(templates);
  TTempDir dir;
  TSqlRunner runner(dir.Path());
  std::vector<TSqlOutcome> outcomes;
  for (const std::string& text : script)
    outcomes.push_back(runner.Run(text));
  return outcomes;
}

TEST(StatementTemplates, StatementsRunAsParsedOnesAlsoAcrossAChangedTable) {
  std::vector<std::string> script = {
      "CREATE TABLE M (ID AUTOINC, S VARCHAR(8), N INTEGER, D DATE, PRIMARY KEY (ID))"};
  std::mt19937 rng(7);
  auto number = [&rng] { return std::to_string(std::uniform_int_distribution<int>(0, 40)(rng)); };
  auto text = [&rng] {
    static const char* const kValues[] = {
        "'a'", "'bb'", "'much too long'", "'2026-12-11'", "'x''y'", "'12'", "7", "1.5", "''"};
    return std::string(kValues[std::uniform_int_distribution<int>(0, 8)(rng)]);
  };
  for (int i = 0; i < 400; ++i) {
    if (i == 200) script.push_back("ALTER TABLE M ADD E VARCHAR(4)");
    if (i == 300) script.push_back("ALTER TABLE M DROP N");
    switch (std::uniform_int_distribution<int>(0, 6)(rng)) {
      case 0:
      case 1:
        script.push_back("INSERT INTO M (S, N, D) VALUES (" + text() + ", " + text() + ", " +
                         text() + ")");
        break;
      case 2:
        script.push_back("UPDATE M SET S = " + text() + " WHERE ID = " + number());
        break;
      case 3:
        script.push_back("DELETE FROM M WHERE ID = " + number());
        script.push_back("INSERT INTO M VALUES (" + number() + ", " + text() + ", " + text() +
                         ", " + text() + ")");
        break;
      case 4:
        script.push_back("SELECT * FROM M WHERE ID > " + number() + " AND S <> " + text());
        break;
      case 5:
        script.push_back("SELECT ID, S FROM M WHERE D >= " + text() + " ORDER BY ID");
        break;
      default:
        script.push_back("SELECT COUNT(*) FROM M WHERE N = " + text());
        break;
    }
  }
  const std::size_t hitsBefore = StatementTemplateHits();
  const std::vector<TSqlOutcome> with = RunScript(true, script);
  const std::size_t hits = StatementTemplateHits() - hitsBefore;
  const std::vector<TSqlOutcome> without = RunScript(false, script);
  ASSERT_EQ(with.size(), without.size());
  for (std::size_t i = 0; i < script.size(); ++i) {
    EXPECT_EQ(with[i].Ok, without[i].Ok) << script[i];
    EXPECT_EQ(with[i].Error, without[i].Error) << script[i];
    EXPECT_EQ(with[i].Names, without[i].Names) << script[i];
    EXPECT_EQ(with[i].Rows, without[i].Rows) << script[i];
    EXPECT_EQ(with[i].RowsAffected, without[i].RowsAffected) << script[i];
  }
  EXPECT_GT(hits, 200u);
  // After the ALTER TABLEs the columns of "SELECT *" are the table's new ones.
  const std::vector<std::string> columns = {"ID", "S", "D", "E"};
  int starsAfter = 0;
  bool dropped = false;
  for (std::size_t i = 0; i < script.size(); ++i) {
    if (script[i] == "ALTER TABLE M DROP N") dropped = true;
    if (!dropped || script[i].rfind("SELECT *", 0) != 0 || !with[i].Ok) continue;
    EXPECT_EQ(with[i].Names, columns) << script[i];
    ++starsAfter;
  }
  EXPECT_GT(starsAfter, 0);
}

}  // namespace
}  // namespace zorvic::engine::test
