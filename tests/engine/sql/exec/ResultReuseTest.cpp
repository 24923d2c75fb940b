// An execution keeps its last temporary result table, emptied, for the next SELECT of the
// same columns: each result must still hold exactly its own rows, under the names and with
// the cursor state it would have had in a table of its own.
#include "engine/sql/exec/ExecTestSupport.h"

namespace zorvic::engine::test {
namespace {

class ResultReuseTest : public TExecTest {
 protected:
  void SetUp() override {
    Run("Create Table Messages(Id AUTOINC, Owner VARCHAR(16), Subject VARCHAR(40), "
        "Primary Key (Id));"
        "Insert into Messages(Owner, Subject) values ('ann', 'one');"
        "Insert into Messages(Owner, Subject) values ('ann', 'two');"
        "Insert into Messages(Owner, Subject) values ('bob', 'three');"
        "Insert into Messages(Owner, Subject) values ('ann', 'four');");
  }
};

TEST_F(ResultReuseTest, EachResultHoldsOnlyItsOwnRows) {
  EXPECT_EQ(Rows("Select Subject from Messages where Owner = 'ann' order by Subject"),
            "four;one;two");
  EXPECT_EQ(Rows("Select Subject from Messages where Owner = 'bob'"), "three");
  EXPECT_EQ(Rows("Select Subject from Messages where Owner = 'carl'"), "");
  EXPECT_EQ(Rows("Select Subject from Messages where Owner = 'ann' order by Subject desc"),
            "two;one;four");
  // Another set of columns, then the first again.
  EXPECT_EQ(Rows("Select Owner, Subject from Messages where Subject = 'two'"), "ann,two");
  EXPECT_EQ(Rows("Select Subject from Messages where Owner = 'bob'"), "three");
  // The same column under names that differ only in case shows each as spelled.
  for (const char* alias : {"Topic", "TOPIC", "topic"}) {
    const TResultText named =
        Run(std::string("Select Subject as ") + alias + " from Messages where Owner = 'bob'");
    ASSERT_EQ(named.Columns.size(), 1u);
    EXPECT_EQ(named.Columns[0], alias);
    EXPECT_EQ(named.Joined(), "three");
  }
  // A wider column is a different table: nothing of the narrower one is cut or kept.
  EXPECT_EQ(Rows("Select Subject || '-long' from Messages where Owner = 'bob'"), "three-long");
  EXPECT_EQ(Rows("Select Subject from Messages where Owner = 'bob'"), "three");
}

TEST_F(ResultReuseTest, WhatAReaderChangedOnAResultIsNotInTheNext) {
  Statement->Prepare("Select Subject from Messages where Owner = 'ann'");
  Execution->Prepare(*Statement);
  TDataCursor* cursor = Execution->Execute(*Statement);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(cursor->RecordCount(), 3);
  // The reader filters its result down to one row.
  int seen = 0;
  cursor->AddFilter([&seen](const std::uint8_t*) { return ++seen == 2; });
  EXPECT_EQ(ReadCursor(*cursor).Rows.size(), 1u);

  EXPECT_EQ(Rows("Select Subject from Messages where Owner = 'ann' order by Subject"),
            "four;one;two");
  // And a reader that is still editing when the next statement runs.
  Statement->Prepare("Select Subject from Messages where Owner = 'bob'");
  Execution->Prepare(*Statement);
  cursor = Execution->Execute(*Statement);
  ASSERT_NE(cursor, nullptr);
  cursor->First();
  ASSERT_EQ(cursor->GetNext(nullptr), VELDOR_NONE);
  ASSERT_EQ(cursor->BeginEdit(), VELDOR_NONE);
  EXPECT_EQ(Rows("Select Subject from Messages where Owner = 'ann' order by Subject"),
            "four;one;two");
}

TEST_F(ResultReuseTest, AutoIncColumnsShowTheStoredNumbers) {
  EXPECT_EQ(Rows("Select Id from Messages where Owner = 'ann' order by Id"), "1;2;4");
  EXPECT_EQ(Rows("Select Id from Messages where Owner = 'ann' order by Id"), "1;2;4");
  Run("Delete from Messages where Id = 1");
  EXPECT_EQ(Rows("Select Id from Messages where Owner = 'ann' order by Id"), "2;4");
  EXPECT_EQ(Rows("Select Id, Subject from Messages where Id > 2 order by Id"), "3,three;4,four");
}

TEST_F(ResultReuseTest, IntoTablesAreNeverReused) {
  Run("Select Subject into Kept from Messages where Owner = 'bob'");
  EXPECT_EQ(Rows("Select Subject from Messages where Owner = 'ann' order by Subject"),
            "four;one;two");
  EXPECT_EQ(Rows("Select Subject from Kept"), "three");
}

}  // namespace
}  // namespace zorvic::engine::test
