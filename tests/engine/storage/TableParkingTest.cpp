// Tables kept open between cursors (parked): they are taken back as they were, see every change
// committed meanwhile, give way to every other user's exclusive open, re-creation, delete and
// rename, and take no part in a transaction until a cursor uses them again.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "engine/storage/CursorTestSupport.h"
#include "engine/storage/sessions/TableParking.h"

namespace zorvic::engine::testing {
namespace {

class TTableParkingTest : public TDatabaseFixture {
 protected:
  void SetUp() override {
    TDatabaseFixture::SetUp();
    TDataCursor& c = Create("People", CounterTable());
    for (int i = 1; i <= 5; ++i)
      Insert(c, i, "p" + std::to_string(i));
    c.Close();
  }
  static void Insert(TDataCursor& c, int value, const std::string& label) {
    TRec r(c);
    r.Init().Int("Value", value).Str("Label", label);
    c.InsertRecord(r.Bytes());
  }
  static std::int64_t Count(TDataDirectory& database, const std::string& table) {
    TDataCursor c(database);
    c.Open(table);
    return c.RecordCount();
  }
  // The label of the first record in primary-key order.
  static std::string FirstLabel(TDataDirectory& database) {
    TDataCursor c(database);
    c.Open("People");
    TRec r(c);
    c.First();
    EXPECT_EQ(c.GetNext(r.Bytes()), VELDOR_NONE);
    return r.GetStr("Label");
  }
};

TEST_F(TTableParkingTest, ATableStaysOpenBetweenCursorsAndSeesOtherSessionsChanges) {
  const std::size_t parkedBefore = ParkedTableCount();
  EXPECT_EQ(Count(*Database, "People"), 5);
  EXPECT_EQ(Database->TableCount(), 1u);
  ASSERT_NE(Database->FindTable("People", false), nullptr);
  EXPECT_TRUE(Database->FindTable("People", false)->Parked());
  EXPECT_TRUE(Database->FindTable("People", false)->IsOpen());
  EXPECT_EQ(ParkedTableCount(), parkedBefore);  // the same table, parked once
  EXPECT_EQ(FirstLabel(*Database), "p1");

  // Another session changes the table while it is parked here.
  {
    TDataSession other;
    TDataDirectory& db = other.OpenDatabase(Dir.Path());
    TDataCursor c(db);
    c.Open("People");
    Insert(c, 6, "p6");
    TRec r(c);
    c.First();
    ASSERT_EQ(c.GetNext(r.Bytes()), VELDOR_NONE);
    c.BeginEdit(r.Bytes());
    r.Str("Label", "changed");
    c.ModifyRecord(r.Bytes());
    c.Close();
    other.CloseDatabase(db);
  }
  EXPECT_EQ(Count(*Database, "people"), 6);
  EXPECT_EQ(FirstLabel(*Database), "changed");
}

TEST_F(TTableParkingTest, AnotherSessionsExclusiveUseClosesTheParkedTable) {
  EXPECT_EQ(Count(*Database, "People"), 5);
  ASSERT_TRUE(Database->FindTable("People", false)->Parked());
  // From another thread, as a server's sessions would.
  std::thread([&] {
    TDataSession other;
    TDataDirectory& db = other.OpenDatabase(Dir.Path());
    TDataCursor c(db);
    EXPECT_NO_THROW(c.Open("People", false, true));
    if (c.IsOpen()) Insert(c, 7, "p7");
    // While it is held exclusively, this session's shared open is refused.
    EXPECT_ENGINE_ERROR(Count(*Database, "People"), VELDOR_OSEACCES);
    c.Close();
    other.CloseDatabase(db);
  }).join();
  EXPECT_EQ(Count(*Database, "People"), 6);
}

TEST_F(TTableParkingTest, DeleteRenameAndRecreateGoThroughAParkedTable) {
  EXPECT_EQ(Count(*Database, "People"), 5);
  // This session's own maintenance.
  Database->RenameTable("People", "Persons", false);
  EXPECT_EQ(Count(*Database, "Persons"), 5);
  ASSERT_TRUE(Database->FindTable("Persons", false)->Parked());
  // Another session's.
  TDataSession other;
  TDataDirectory& db = other.OpenDatabase(Dir.Path());
  db.RenameTable("Persons", "People", false);
  EXPECT_EQ(Count(*Database, "People"), 5);
  TDataCursor maker(db);
  maker.CreateTable("People", CounterTable(), true);
  EXPECT_EQ(Count(*Database, "People"), 0);
  db.DeleteTable("People", false);
  EXPECT_FALSE(std::filesystem::exists(File("People.DAT")));
  EXPECT_ENGINE_ERROR(Count(*Database, "People"), VELDOR_OSENOENT);
  other.CloseDatabase(db);
}

TEST_F(TTableParkingTest, ATransactionTakesInAParkedTableOnlyWhenACursorUsesIt) {
  TDataCursor& c = Create("Other", CounterTable());
  Insert(c, 1, "o1");
  c.Close();
  EXPECT_EQ(Count(*Database, "People"), 5);
  Database->StartTransaction();
  EXPECT_FALSE(Database->FindTable("People", false)->InTransaction());
  {
    // Nothing of this session's transaction holds People: another session writes it at once.
    TDataSession other;
    TDataDirectory& db = other.OpenDatabase(Dir.Path());
    TDataCursor w(db);
    w.Open("People");
    Insert(w, 8, "p8");
    w.Close();
    other.CloseDatabase(db);
  }
  {
    TDataCursor inside(*Database);
    inside.Open("People");
    EXPECT_TRUE(Database->FindTable("People", false)->InTransaction());
    EXPECT_EQ(inside.RecordCount(), 6);
    Insert(inside, 9, "p9");
  }
  Database->Rollback();
  EXPECT_EQ(Count(*Database, "People"), 6);
  EXPECT_TRUE(Database->FindTable("People", false)->Parked());
}

TEST_F(TTableParkingTest, ADatabaseKeepsABoundedNumberOfTablesOpen) {
  for (int i = 0; i < MaxParkedTables + 4; ++i) {
    const std::string name = "T" + std::to_string(i);
    TDataCursor& c = Create(name, CounterTable());
    Insert(c, i, name);
    c.Close();
    EXPECT_EQ(Count(*Database, name), 1);
  }
  int parked = 0;
  for (int i = 0; i < MaxParkedTables + 4; ++i)
    if (TDataTable* t = Database->FindTable("T" + std::to_string(i), false); t && t->Parked())
      ++parked;
  EXPECT_EQ(parked, MaxParkedTables);
  // The oldest went; it opens again as before.
  EXPECT_EQ(Database->FindTable("T0", false), nullptr);
  EXPECT_EQ(Count(*Database, "T0"), 1);
}

}  // namespace
}  // namespace zorvic::engine::testing
