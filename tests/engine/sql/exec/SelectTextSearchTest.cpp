// TEXTSEARCH and TEXTOCCURS in statements: answered from the column's words per record, in
// SELECT lists, WHERE clauses of every statement kind, and on memo columns.
#include "engine/sql/exec/ExecTestSupport.h"

namespace zorvic::engine::test {
namespace {

class SelectTextSearchTest : public TExecTest {
 protected:
  void SetUp() override {
    Run("Create Table Notes(ID Integer, Title VARCHAR(40), Body MEMO, Primary Key (ID));"
        "Create Index ByTitle on Notes(Title);"
        "Insert into Notes values (1, 'Team meeting', 'Agenda: budget, the new room; budget "
        "again');"
        "Insert into Notes values (2, 'Budget 2024', 'Numbers for the BUDGET meeting');"
        "Insert into Notes values (3, 'Lunch', NULL);"
        "Insert into Notes values (4, 'meeting-room booking', 'Room 12, 10:00')");
  }
};

TEST_F(SelectTextSearchTest, WhereClausesFindWholeWordsWithoutCase) {
  EXPECT_EQ(Rows("Select ID from Notes where TEXTSEARCH('meeting' IN Title) order by ID"), "1;4");
  EXPECT_EQ(Rows("Select ID from Notes where TEXTSEARCH('BUDGET meeting' IN Body) order by ID"),
            "2");
  EXPECT_EQ(Rows("Select ID from Notes where TEXTSEARCH('room' IN Body) order by ID"), "1;4");
  // "meet" is no word of any title; the memo of record 3 is NULL and holds no words.
  EXPECT_EQ(Rows("Select ID from Notes where TEXTSEARCH('meet' IN Title)"), "");
  EXPECT_EQ(Rows("Select ID from Notes where not TEXTSEARCH('budget' IN Body) order by ID"), "3;4");
  // Combined with a condition an index answers.
  EXPECT_EQ(Rows("Select ID from Notes where Title >= 'L' and TEXTSEARCH('room' IN Title)"), "4");
}

TEST_F(SelectTextSearchTest, OccurrencesInTheSelectListAndInChanges) {
  EXPECT_EQ(Rows("Select ID, TEXTOCCURS('budget room' IN Body) from Notes order by ID"),
            "1,3;2,1;3,0;4,1");
  EXPECT_EQ(Run("Select TEXTSEARCH('lunch' IN Title) AS Found from Notes where ID = 3").Joined(),
            "True");
  EXPECT_EQ(
      Run("Update Notes set Title = 'Old' where TEXTOCCURS('budget' IN Body) > 1").RowsAffected, 1);
  EXPECT_EQ(Rows("Select ID from Notes where Title = 'Old'"), "1");
  EXPECT_EQ(Run("Delete from Notes where TEXTSEARCH('10 12' IN Body)").RowsAffected, 1);
  EXPECT_EQ(Rows("Select ID from Notes order by ID"), "1;2;3");
  // The search text is a constant of the statement, never a column or parameter.
  EXPECT_NE(Error("Select ID from Notes where TEXTSEARCH(Title IN Body)"), "");
}

}  // namespace
}  // namespace zorvic::engine::test
