// Running SQL through the query component: scripts and their rows-affected sums, failures part
// of the way through, parameters, results as datasets, single-statement mode, and the query
// sharing a transaction with table components.
#include <filesystem>

#include "engine/sql/query/QueryTestSupport.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine::testing {
namespace {

using TQueryRunTest = TQueryTest;

const char* const kNotes =
    "Create Table Notes(ID AUTOINC, Txt VARCHAR(20), N Integer, Primary Key (ID));";

// ---- scripts -----------------------------------------------------------------------------

TEST_F(TQueryRunTest, SchemaScriptRunsWholeInOneRunAndTwiceWithoutChange) {
  TVELDORQuery q;
  Use(q, kSchemaScript);
  q.RunSQL();
  EXPECT_FALSE(q.Active());
  EXPECT_EQ(q.AffectedRows(), 0);
  EXPECT_EQ(q.StatementsRun(), 7);
  for (const char* table : {"Profiles", "Groups", "Users", "Attachments", "Requests", "Log"})
    EXPECT_TRUE(std::filesystem::exists(Dir.File(std::string(table) + ".DAT"))) << table;
  // A second run of the same prepared query starts again at its first statement.
  q.RunSQL();
  EXPECT_EQ(q.StatementsRun(), 7);
  EXPECT_EQ(q.AffectedRows(), 0);
}

TEST_F(TQueryRunTest, RowsAffectedOfTransactionsInAScript) {
  Run(kNotes);
  EXPECT_EQ(Run("START TRANSACTION; Insert into Notes (Txt) values ('a'); "
                "Insert into Notes (Txt) values ('b'); ROLLBACK;"),
            0);
  EXPECT_TRUE(Column("Select Txt from Notes").empty());
  EXPECT_EQ(Run("START TRANSACTION; Insert into Notes (Txt) values ('a'); "
                "Insert into Notes (Txt) values ('b'); COMMIT;"),
            2);
  // Rows before the transaction stay counted when it is rolled back.
  EXPECT_EQ(Run("Insert into Notes (Txt) values ('c'); START TRANSACTION; "
                "Delete from Notes; ROLLBACK"),
            1);
  EXPECT_EQ(Column("Select Txt from Notes order by Txt"),
            (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(Run("Update Notes set N = 1"), 3);
}

TEST_F(TQueryRunTest, RunningAPreparedScriptAgainStartsAtItsFirstStatement) {
  Run(kNotes);
  TVELDORQuery q;
  Use(q, "Insert into Notes (N) values (1); Insert into Notes (N) values (2); Select N from Notes");
  q.PrepareSQL();
  for (int round = 1; round <= 3; ++round) {
    q.RunSQL();
    ASSERT_TRUE(q.Active());
    EXPECT_EQ(q.RecordCount(), 2 * round);
    EXPECT_EQ(q.StatementsRun(), 3);
    EXPECT_EQ(q.AffectedRows(), 2 + 2 * round);
    q.Close();
  }
  // A single prepared statement stays prepared from run to run.
  Use(q, "Select N from Notes where N = 2");
  q.PrepareSQL();
  q.Open();
  EXPECT_EQ(q.RecordCount(), 3);
  q.Close();
  EXPECT_TRUE(q.Prepared());
  Run("Insert into Notes (N) values (2)");
  q.Open();
  EXPECT_EQ(q.RecordCount(), 4);
}

TEST_F(TQueryRunTest, TheThirdOfFiveFailingStopsTheScript) {
  Run(kNotes);
  TVELDORQuery q;
  Use(q,
      "START TRANSACTION; Insert into Notes (Txt) values ('one'); Insert into Missing (X) "
      "values (1); Insert into Notes (Txt) values ('two'); COMMIT");
  EXPECT_EQ(EngineCodeOf([&] { q.RunSQL(); }), VELDOR_OSENOENT);
  EXPECT_EQ(q.StatementsRun(), 2);
  EXPECT_EQ(q.AffectedRows(), 1);
  // The transaction the script started is still open on the database.
  TVELDORDatabase* database =
      TVELDORSessionList::Instance().DefaultSession().FindDatabase(Dir.Path());
  ASSERT_NE(database, nullptr);
  EXPECT_TRUE(database->InTransaction());
  EXPECT_EQ(Run("ROLLBACK"), 0);
  EXPECT_FALSE(database->InTransaction());
  EXPECT_TRUE(Column("Select Txt from Notes").empty());
}

TEST_F(TQueryRunTest, AnSqlErrorReleasesTheStatementAnEngineErrorDoesNot) {
  Run(kNotes);
  TVELDORQuery q;
  Use(q, "Select Txt from Notes; Select Nope from Notes");
  EXPECT_EQ(EngineCodeOf([&] { q.RunSQL(); }), VELDOR_SQLPARSE);
  EXPECT_FALSE(q.Prepared());
  EXPECT_FALSE(q.Active());

  Use(q, "Select Txt from Gone");
  q.PrepareSQL();
  EXPECT_EQ(EngineCodeOf([&] { q.RunSQL(); }), VELDOR_OSENOENT);
  EXPECT_TRUE(q.Prepared());
  Run("Create Table Gone(Txt VARCHAR(5))");
  q.RunSQL();
  EXPECT_TRUE(q.Active());
}

TEST_F(TQueryRunTest, RunSqlOpensOnASelectAndStaysClosedOnAnUpdate) {
  Run(kNotes);
  Run("Insert into Notes (Txt, N) values ('a', 1)");
  TVELDORQuery q;
  Use(q, "Select Txt, N from Notes");
  q.RunSQL();
  ASSERT_TRUE(q.Active());
  EXPECT_EQ(q.FieldByName("Txt").AsString(), "a");
  EXPECT_EQ(q.AffectedRows(), 1);
  EXPECT_EQ(ErrorOf([&] { q.RunSQL(); }), "Cannot perform this operation on an open dataset");
  EXPECT_EQ(ErrorOf([&] { q.PrepareSQL(); }), "Cannot perform this operation on an open dataset");
  EXPECT_EQ(ErrorOf([&] { q.SetReadOnly(true); }),
            "Cannot perform this operation on an open dataset");
  q.Close();
  EXPECT_TRUE(q.Prepared());  // closing keeps the statement

  Use(q, "Update Notes set N = 2");
  q.RunSQL();
  EXPECT_FALSE(q.Active());
  EXPECT_EQ(q.AffectedRows(), 1);
  // Opening a text whose last statement is no SELECT runs it and leaves the query closed.
  Use(q, "Update Notes set N = 3");
  q.Open();
  EXPECT_FALSE(q.Active());
  EXPECT_EQ(Column("Select N from Notes"), (std::vector<std::string>{"3"}));
  // The result of a script is that of its last statement.
  Use(q, "Update Notes set N = 4; Select N, Txt from Notes");
  q.Open();
  ASSERT_TRUE(q.Active());
  EXPECT_EQ(q.Field(0).AsInteger(), 4);
  EXPECT_EQ(q.AffectedRows(), 2);
}

// ---- parameters --------------------------------------------------------------------------

TEST_F(TQueryRunTest, ParametersOfSeveralTypes) {
  Run("Create Table P(S VARCHAR(10), I Integer, L LargeInt, F Float, B Boolean, D Date, "
      "T Timestamp, M Memo)");
  TVELDORQuery q;
  Use(q, "Insert into P (S, I, L, F, B, D, T, M) values (:s, :i, :l, :f, :b, :d, :t, :m)");
  ASSERT_EQ(q.Params().Count(), 8u);
  q.ParamByName("s").SetAsString("it's  ");
  q.ParamByName("i").SetAsInteger(-5);
  q.ParamByName("l").SetAsLargeInt(1LL << 40);
  q.ParamByName("f").SetAsFloat(0.1);
  q.ParamByName("b").SetAsBoolean(true);
  q.ParamByName("d").SetAsDate(TextToDate("2005-01-31"));
  q.ParamByName("t").SetAsDateTime(TextToTimeStamp("2005-01-31 13:05:00"));
  q.ParamByName("m").SetAsMemo("a\nb");
  q.RunSQL();
  EXPECT_EQ(q.AffectedRows(), 1);
  // A NULL and a blank string are NULL.
  q.ParamByName("s").SetAsString("   ");
  q.ParamByName("i").Clear();
  q.RunSQL();

  TVELDORQuery r;
  Use(r, "Select S, I, L, F, B, D, T, M from P where I = :i");
  r.ParamByName("i").SetAsInteger(-5);
  r.Open();
  ASSERT_EQ(r.RecordCount(), 1);
  EXPECT_EQ(r.FieldByName("S").AsString(), "it's");
  EXPECT_EQ(r.FieldByName("L").AsLargeInt(), 1LL << 40);
  EXPECT_EQ(r.FieldByName("F").AsFloat(), 0.1);
  EXPECT_TRUE(r.FieldByName("B").AsBoolean());
  EXPECT_EQ(r.FieldByName("D").AsString(), "2005-01-31");
  EXPECT_EQ(r.FieldByName("T").AsString(), "2005-01-31 13:05:00");
  EXPECT_EQ(r.FieldByName("M").AsString(), "a\nb");
  r.Close();
  EXPECT_EQ(Column("Select I from P where S IS NULL"), (std::vector<std::string>{"NULL"}));
}

TEST_F(TQueryRunTest, NamedPlacesOnlyOutsideQuotesAndComments) {
  Run(kNotes);
  TVELDORQuery q;
  Use(q, "Insert into Notes (Txt, N) values (':x', :x)");
  ASSERT_EQ(q.Params().Count(), 1u);
  EXPECT_EQ(ErrorOf([&] { q.RunSQL(); }), "No value for parameter 'x'");
  q.ParamByName("x").SetAsInteger(7);
  q.RunSQL();
  Use(q, "Insert into Notes (Txt, N) values (\"it's :y\", 8) /* :z */");
  EXPECT_EQ(q.Params().Count(), 0u);
  q.RunSQL();
  EXPECT_EQ(Column("Select Txt, N from Notes order by N"),
            (std::vector<std::string>{":x", "it's :y"}));
}

TEST_F(TQueryRunTest, LineBreaksInsideLiteralsReachTheTableUnchanged) {
  Run(kNotes);
  Run("Insert into Notes (Txt, N) values ('a\nb', 1);\r\nInsert into Notes (Txt, N) values "
      "('c\r\nd', 2)");
  EXPECT_EQ(Column("Select Txt, N from Notes order by N"),
            (std::vector<std::string>{"a\nb", "c\r\nd"}));
}

TEST_F(TQueryRunTest, EveryStatementOfAScriptTakesItsValuesAndMissingOnesFail) {
  Run(kNotes);
  TVELDORQuery q;
  // A repeated name fills each of its places, also in later statements.
  Use(q,
      "Insert into Notes (Txt, N) values (:t, :n); Insert into Notes (Txt, N) values (:t, :n + 1); "
      "Select N from Notes where Txt = :t order by N");
  q.ParamByName("t").SetAsString("x");
  q.ParamByName("n").SetAsInteger(10);
  q.RunSQL();
  ASSERT_TRUE(q.Active());
  EXPECT_EQ(q.RecordCount(), 2);
  EXPECT_EQ(q.Field(0).AsInteger(), 10);
  q.Next();
  EXPECT_EQ(q.Field(0).AsInteger(), 11);
  q.Close();

  // A "?" without a value is refused before its statement runs, not taken as NULL.
  Use(q, "Insert into Notes (Txt) values ('first'); Insert into Notes (Txt) values (?)");
  EXPECT_EQ(ErrorOf([&] { q.RunSQL(); }), "No value for parameter '?'");
  EXPECT_EQ(q.StatementsRun(), 1);
  EXPECT_EQ(Column("Select COUNT(*) from Notes where Txt IS NULL"),
            (std::vector<std::string>{"0"}));
  // A "?" written as such takes the parameter at its position.
  Use(q, "Insert into Notes (Txt, N) values (?, 99)");
  q.Params().CreateParam("").SetAsString("positional");
  q.RunSQL();
  EXPECT_EQ(Column("Select Txt from Notes where N = 99"), (std::vector<std::string>{"positional"}));
}

TEST_F(TQueryRunTest, MasterDataSourceFillsUnboundParameters) {
  Run(kNotes);
  Run("Insert into Notes (Txt, N) values ('a', 1); Insert into Notes (Txt, N) values ('b', 2)");
  TVELDORTable master;
  master.SetDatabaseName(Dir.Path());
  master.SetTableName("Notes");
  master.Open();
  TVELDORDataSource link(&master);
  TVELDORQuery detail;
  Use(detail, "Select Txt from Notes where N = :N and Txt = :Txt");
  detail.SetDataSource(&link);
  const auto fields = detail.GetDetailLinkFields();
  EXPECT_EQ(fields.first, (std::vector<std::string>{"N", "Txt"}));
  EXPECT_EQ(fields.second, (std::vector<std::string>{"N", "Txt"}));
  for (master.First(); !master.Eof(); master.Next()) {
    detail.Open();
    ASSERT_EQ(detail.RecordCount(), 1);
    EXPECT_EQ(detail.Field(0).AsString(), master.FieldByName("Txt").AsString());
    detail.Close();
  }
  // A value the program sets wins over the master's.
  master.First();
  detail.ParamByName("Txt").SetAsString("nothing");
  detail.Open();
  EXPECT_EQ(detail.RecordCount(), 0);
}

// ---- options -----------------------------------------------------------------------------

TEST_F(TQueryRunTest, MaxRowCountLimitsTheResult) {
  Run(kNotes);
  for (int i = 0; i < 5; ++i)
    Run("Insert into Notes (N) values (" + std::to_string(i) + ")");
  TVELDORQuery q;
  Use(q, "Select N from Notes");
  q.SetMaxRowCount(3);
  q.Open();
  EXPECT_EQ(q.RecordCount(), 3);
  q.Close();
  q.SetMaxRowCount(-1);
  q.Open();
  EXPECT_EQ(q.RecordCount(), 5);
}

TEST_F(TQueryRunTest, SingleStatementModeNeverRunsAHiddenSecondStatement) {
  RunSchema();
  Run("Insert into Users (UserName, Password) values ('ann', 'pw')");
  TVELDORQuery q;
  q.SetSingleStatement(true);
  Use(q, "Select BODY from Attachments where AttachID=0;Delete from Users");
  EXPECT_EQ(EngineCodeOf([&] { q.RunSQL(); }), VELDOR_SQLPARSE);
  EXPECT_EQ(q.StatementsRun(), 0);
  EXPECT_EQ(Column("Select UserName from Users"), (std::vector<std::string>{"ann"}));
  // The whole text in a literal is one statement and harmless.
  Use(q, "Select UserName from Users where UserName = 'x;Delete from Users';");
  q.Open();
  EXPECT_EQ(q.RecordCount(), 0);
  q.Close();
  EXPECT_EQ(Column("Select UserName from Users"), (std::vector<std::string>{"ann"}));
  // Off (the default), the script runs.
  q.SetSingleStatement(false);
  Use(q, "Select BODY from Attachments where AttachID=0;Delete from Users");
  q.RunSQL();
  EXPECT_TRUE(Column("Select UserName from Users").empty());
}

TEST_F(TQueryRunTest, ReadOnlyRefusesEditsOfTheResult) {
  Run(kNotes);
  Run("Insert into Notes (Txt) values ('a')");
  TVELDORQuery q;
  Use(q, "Select * from Notes");
  q.SetRequestLive(true);
  q.Open();
  // A live result of one table can be edited, and the edit reaches the table.
  ASSERT_TRUE(q.CanModify());
  q.Edit();
  q.FieldByName("Txt").SetAsString("b");
  q.Post();
  q.Close();
  EXPECT_EQ(Column("Select Txt from Notes"), (std::vector<std::string>{"b"}));
  q.SetReadOnly(true);
  q.Open();
  EXPECT_FALSE(q.CanModify());
  EXPECT_EQ(ErrorOf([&] { q.Edit(); }), "Cannot modify a read-only dataset");
  q.Close();
  // A canned result (no live result asked for) is never editable.
  q.SetReadOnly(false);
  q.SetRequestLive(false);
  q.Open();
  EXPECT_FALSE(q.CanModify());
}

TEST_F(TQueryRunTest, ProgressIsReportedAndAbortStops) {
  Run(kNotes);
  Run("Insert into Notes (N) values (1); Insert into Notes (N) values (2); "
      "Insert into Notes (N) values (3); Insert into Notes (N) values (4)");
  TVELDORQuery q;
  Use(q, "Select N from Notes where N > 0");
  std::vector<int> seen;
  bool abortAt50 = false;
  q.OnQueryProgress = [&](TVELDORQuery& sender, int percent, bool& abort) {
    EXPECT_EQ(&sender, &q);
    seen.push_back(percent);
    if (abortAt50 && percent >= 50) abort = true;
  };
  q.Open();
  EXPECT_EQ(q.RecordCount(), 4);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 100);
  for (std::size_t i = 1; i < seen.size(); ++i)
    EXPECT_GE(seen[i], seen[i - 1]);
  q.Close();
  // Aborting stops the statement before it has seen every row.
  seen.clear();
  abortAt50 = true;
  q.Open();
  EXPECT_LT(q.RecordCount(), 4);
  EXPECT_NE(seen.back(), 100);
}

TEST_F(TQueryRunTest, TableFiltersWorkBesideQueries) {
  Run(kNotes);
  Run("Insert into Notes (Txt, N) values ('a', 1); Insert into Notes (Txt, N) values ('b', 2); "
      "Insert into Notes (Txt, N) values ('c', 3)");
  TVELDORTable t;
  t.SetDatabaseName(Dir.Path());
  t.SetTableName("Notes");
  t.SetFilter("N > 1 and Txt <> 'c'");
  t.SetFiltered(true);
  t.Open();
  EXPECT_EQ(t.RecordCount(), 1);
  EXPECT_EQ(t.FieldByName("Txt").AsString(), "b");
}

// ---- the attachment store: a table insert inside a transaction started by SQL --------------

TEST_F(TQueryRunTest, BlobInsertInsideSqlTransactionThenMaxId) {
  RunSchema();
  TVELDORQuery shared;
  Use(shared, "START TRANSACTION");
  shared.RunSQL();
  TVELDORTable attachments;
  attachments.SetDatabaseName(Dir.Path());
  attachments.SetTableName("Attachments");
  attachments.Open();
  std::string body(1 << 20, '\0');
  for (std::size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<char>(i * 7 + 3);
  for (int round = 0; round < 2; ++round) {
    if (round == 1) {
      Use(shared, "START TRANSACTION");
      shared.RunSQL();
    }
    attachments.Insert();
    attachments.FieldByName("RefCount").SetAsInteger(1);
    attachments.FieldByName("Size").SetAsInteger(static_cast<std::int32_t>(body.size()));
    {
      TVELDORBlobStream s(attachments.FieldByName("BODY"), TBlobStreamMode::bmWrite);
      EXPECT_EQ(s.Write(body.data(), static_cast<std::int64_t>(body.size())),
                static_cast<std::int64_t>(body.size()));
    }
    attachments.Post();
    Use(shared, "COMMIT FLUSH");
    shared.RunSQL();
    Use(shared, "Select MAX(AttachID) from Attachments;");
    shared.Open();
    EXPECT_EQ(shared.Field(0).AsString(), std::to_string(round + 1));
    shared.Close();
  }
  TVELDORQuery q;
  Use(q, "Select BODY, Size from Attachments where AttachID = 2");
  q.Open();
  ASSERT_EQ(q.RecordCount(), 1);
  EXPECT_TRUE(q.FieldByName("BODY").AsBytes() == body);
}

}  // namespace
}  // namespace zorvic::engine::testing
