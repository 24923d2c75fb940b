// Cursor changes: uniqueness checked before any change, validity checks, defaults, edits under
// both lock protocols, deletes and slot reuse, suppressed auto-increment.
#include <gtest/gtest.h>

#include "engine/storage/CursorTestSupport.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine::testing {
namespace {

class TCursorEditTest : public TDatabaseFixture {
 protected:
  TDataCursor& UsersWith(std::initializer_list<const char*> names) {
    TDataCursor& c = Create("Users", UsersTable());
    TRec r(c);
    for (const char* n : names) {
      r.Init().Str("UserName", n).Str("FullName", std::string("Full ") + n);
      c.InsertRecord(r.Bytes());
    }
    return c;
  }
  std::string Files(const std::string& table) {
    return ReadWholeFile(File(table + ".DAT")) + "|" + ReadWholeFile(File(table + ".IDX")) + "|" +
           ReadWholeFile(File(table + ".BLB"));
  }
};

TEST_F(TCursorEditTest, DuplicatePrimaryKeyChangesNothing) {
  TDataCursor& c = UsersWith({"ann", "bob"});
  const std::string before = Files("Users");
  const TTableHeader header = c.Table().Data().Header();
  const std::int32_t count = c.Table().Index().RecordCount();
  TRec r(c);
  r.Init().Str("UserName", "bob").Str("FullName", "Another Bob");
  const char* memo = "a value that must not be stored";
  c.OpenBlob(r.Bytes(), r.No("Notes"), TBlobOpenMode::bmWrite);
  c.WriteBlob(r.Bytes(), r.No("Notes"), 0, memo, 31);
  const EVELDOREngineError e = CatchEngineError([&] { c.InsertRecord(r.Bytes()); });
  EXPECT_EQ(e.ErrorCode, VELDOR_KEYVIOL);
  EXPECT_EQ(e.ErrorIndex, "Primary");
  EXPECT_EQ(e.ErrorTable, "Users");
  EXPECT_EQ(std::string(e.what()),
            "VELDOR Engine Error # 9729 Duplicate key found in the index 'Primary' of the table "
            "'Users'");
  c.Table().Flush(false, false);
  EXPECT_EQ(Files("Users"), before);
  EXPECT_EQ(c.Table().Data().Header().NextRecordNo, header.NextRecordNo);
  EXPECT_EQ(c.Table().Data().Header().LastAutoInc, header.LastAutoInc);
  EXPECT_EQ(c.Table().Index().RecordCount(), count);
  EXPECT_TRUE(CheckTable(c.Table()).empty());
}

TEST_F(TCursorEditTest, UniqueSecondaryAndModifyViolations) {
  TTableCreation def = UsersTable();
  def.Secondary[0].Unique = true;
  TDataCursor& c = Create("U", def);
  TRec r(c);
  r.Init().Str("UserName", "ann").Str("FullName", "Ann Smith");
  c.InsertRecord(r.Bytes());
  r.Init().Str("UserName", "bob").Str("FullName", "Bob Jones");
  c.InsertRecord(r.Bytes());
  r.Init().Str("UserName", "carl").Str("FullName", "ANN SMITH");  // NoCase: the same key
  const EVELDOREngineError e = CatchEngineError([&] { c.InsertRecord(r.Bytes()); });
  EXPECT_EQ(e.ErrorCode, VELDOR_KEYVIOL);
  EXPECT_EQ(e.ErrorIndex, "ByFullName");
  EXPECT_EQ(c.RecordCount(), 2);

  // bob -> ann violates the primary key; nothing changes.
  TRec key(c);
  key.Init().Str("UserName", "bob");
  ASSERT_TRUE(c.FindKey(key.Bytes(), 1));
  c.GetCurrent(r.Bytes());
  r.Str("UserName", "ann");
  EXPECT_ENGINE_ERROR(c.ModifyRecord(r.Bytes()), VELDOR_KEYVIOL);
  // Changing only the case of its own NoCase key is no violation.
  c.GetCurrent(r.Bytes());
  r.Str("FullName", "BOB JONES");
  c.ModifyRecord(r.Bytes());
  // A key change moves the record in index order.
  r.Str("UserName", "aaa");
  c.ModifyRecord(r.Bytes());
  EXPECT_EQ(c.RecordNumber(), 1);
  c.First();
  c.GetNext(r.Bytes());
  EXPECT_EQ(r.GetStr("FullName"), "BOB JONES");
  EXPECT_TRUE(CheckTable(c.Table()).empty());
}

// After an insert or a modify the cursor stands on the record it wrote, in whatever index it
// reads: its neighbours, its logical number and a re-read all agree with a fresh search, also
// among duplicates of a non-unique index and after an edit moved the key.
TEST_F(TCursorEditTest, APostedRecordIsTheCurrentOneAmongItsNeighbours) {
  TDataCursor& c = UsersWith({"ann", "cat", "eve"});
  TRec r(c);
  r.Init().Str("UserName", "dan").Str("FullName", "Full cat");
  c.InsertRecord(r.Bytes());
  EXPECT_EQ(c.RecordNumber(), 3);
  ASSERT_EQ(c.GetCurrent(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(r.GetStr("UserName"), "dan");
  ASSERT_EQ(c.GetNext(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(r.GetStr("UserName"), "eve");
  ASSERT_EQ(c.GetPrior(r.Bytes()), VELDOR_NONE);
  ASSERT_EQ(c.GetPrior(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(r.GetStr("UserName"), "cat");

  // "Full cat" twice in ByFullName: the new one is the current, whichever of the two it is.
  c.SetIndexByName("ByFullName");
  r.Init().Str("UserName", "bea").Str("FullName", "Full cat");
  c.InsertRecord(r.Bytes());
  const std::int32_t bea = c.CurrentRecordNo();
  const std::int64_t at = c.RecordNumber();
  ASSERT_EQ(c.GetCurrent(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(r.GetStr("UserName"), "bea");
  ASSERT_EQ(c.GetPrior(r.Bytes()), VELDOR_NONE);
  ASSERT_EQ(c.GetNext(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(c.CurrentRecordNo(), bea);
  EXPECT_EQ(c.RecordNumber(), at);
  std::vector<std::string> order;
  c.First();
  while (c.GetNext(r.Bytes()) == VELDOR_NONE)
    order.push_back(r.GetStr("UserName"));
  ASSERT_EQ(order.size(), 5u);
  EXPECT_EQ(order[static_cast<std::size_t>(at - 1)], "bea");

  // A modify that moves the key to the end of the index: nothing comes after it.
  c.First();
  ASSERT_EQ(c.GetNext(r.Bytes()), VELDOR_NONE);
  r.Str("FullName", "Zed");
  c.ModifyRecord(r.Bytes());
  EXPECT_EQ(c.RecordNumber(), 5);
  EXPECT_EQ(c.GetNext(r.Bytes()), VELDOR_EOF);
  EXPECT_TRUE(CheckTable(c.Table()).empty());
}

TEST_F(TCursorEditTest, ValidityChecksAndDefaults) {
  TTableCreation def;
  TFieldDefinition name = Fld("Name", ftString, 10);
  name.Required = true;
  TFieldDefinition age = Fld("Age", ftInteger);
  age.MinValue = "0";
  age.MaxValue = "150";
  age.DefaultValue = "18";
  TFieldDefinition since = Fld("Since", ftDate);
  since.DefaultValue = "CURRENT_DATE";
  TFieldDefinition note = Fld("Note", ftBlob, 0, fstMemo);
  note.DefaultValue = "none yet";
  def.Table.Fields = {name, age, since, note};
  def.Primary = Idx("", {1}, true);
  TDataCursor& c = Create("V", def);
  TRec r(c);
  r.Init();
  EXPECT_EQ(r.GetInt("Age"), 18);
  std::uint8_t day[4];
  ASSERT_TRUE(c.GetFieldBytes(r.Bytes(), 3, day));
  EXPECT_EQ(GetI32(day), TodayDayNumber());
  const EVELDOREngineError req = CatchEngineError([&] { c.InsertRecord(r.Bytes()); });
  EXPECT_EQ(req.ErrorCode, VELDOR_REQDERR);
  EXPECT_EQ(req.ErrorField, "Name");
  r.Str("Name", "x").Int("Age", -1);
  EXPECT_ENGINE_ERROR(c.InsertRecord(r.Bytes()), VELDOR_MINVALERR);
  r.Int("Age", 151);
  EXPECT_ENGINE_ERROR(c.InsertRecord(r.Bytes()), VELDOR_MAXVALERR);
  r.Int("Age", 150);
  c.InsertRecord(r.Bytes());
  // The memo default was stored as the record's value.
  c.OpenBlob(r.Bytes(), 4, TBlobOpenMode::bmRead);
  char text[32] = {};
  std::int64_t got = 0;
  EXPECT_EQ(c.ReadBlob(r.Bytes(), 4, 0, text, sizeof text, &got), VELDOR_ENDOFBLOB);
  EXPECT_EQ(std::string(text, static_cast<std::size_t>(got)), "none yet");
  EXPECT_EQ(c.Table().Data().Header().NextRecordNo, 2);
}

TEST_F(TCursorEditTest, EditProtocolsAndRecordLocks) {
  TDataCursor& a = UsersWith({"ann", "bob"});
  TDataCursor& b = NewCursor();
  b.Open("Users");
  TRec ra(a), rb(b);
  a.First();
  a.GetNext(ra.Bytes());
  b.First();
  b.GetNext(rb.Bytes());
  // Pessimistic: a's edit locks ann; b's lock on the same record fails at once.
  ASSERT_EQ(a.BeginEdit(ra.Bytes()), VELDOR_NONE);
  EXPECT_EQ(a.LockedRecord(), 1);
  EXPECT_ENGINE_ERROR(b.BeginEdit(rb.Bytes()), VELDOR_RECLOCKFAILED);
  EXPECT_ENGINE_ERROR(b.DeleteRecord(), VELDOR_RECLOCKFAILED);
  ra.Str("FullName", "Ann Changed");
  a.ModifyRecord(ra.Bytes());
  EXPECT_EQ(a.LockedRecord(), 0);
  // b's copy is stale now: editing with it fails, and so does a post without an edit.
  EXPECT_ENGINE_ERROR(b.BeginEdit(rb.Bytes()), VELDOR_KEYORRECDELETED);
  EXPECT_EQ(b.LockedRecord(), 0);
  EXPECT_ENGINE_ERROR(b.ModifyRecord(rb.Bytes()), VELDOR_KEYORRECDELETED);
  b.GetCurrent(rb.Bytes());
  EXPECT_EQ(rb.GetStr("FullName"), "Ann Changed");

  // Optimistic: no lock while editing; the post compares with the copy taken at the start.
  Session->SetLockProtocol(TLockProtocol::lpOptimistic);
  ASSERT_EQ(b.BeginEdit(rb.Bytes()), VELDOR_NONE);
  EXPECT_EQ(b.LockedRecord(), 0);
  a.GetCurrent(ra.Bytes());
  ASSERT_EQ(a.BeginEdit(ra.Bytes()), VELDOR_NONE);
  ra.Int("Rights", 7);
  a.ModifyRecord(ra.Bytes());
  rb.Int("Rights", 9);
  EXPECT_ENGINE_ERROR(b.ModifyRecord(rb.Bytes()), VELDOR_KEYORRECDELETED);
  b.EndEdit();
  b.GetCurrent(rb.Bytes());
  EXPECT_EQ(rb.GetInt("Rights"), 7);
}

TEST_F(TCursorEditTest, OptimisticEditAcrossSessions) {
  TDataCursor& a = UsersWith({"ann"});
  Session->SetLockProtocol(TLockProtocol::lpOptimistic);
  TDataSession other;
  TDataDirectory& db = other.OpenDatabase(Dir.Path());
  {
    TDataCursor b(db);
    b.Open("Users");
    TRec ra(a), rb(b);
    a.First();
    a.GetNext(ra.Bytes());
    b.First();
    b.GetNext(rb.Bytes());
    ASSERT_EQ(a.BeginEdit(ra.Bytes()), VELDOR_NONE);
    rb.Int("Rights", 1);
    b.ModifyRecord(rb.Bytes());  // the other session changes ann first
    ra.Int("Rights", 2);
    EXPECT_ENGINE_ERROR(a.ModifyRecord(ra.Bytes()), VELDOR_KEYORRECDELETED);
  }
  other.CloseDatabase(db);
}

TEST_F(TCursorEditTest, DeletesMoveOnAndSlotsAreReused) {
  TDataCursor& c = Create("C", CounterTable());
  TRec r(c);
  for (int i = 1; i <= 8; ++i) {
    r.Init().Int("Value", i);
    c.InsertRecord(r.Bytes());
  }
  // Deleting the current record leaves the cursor on the following one.
  c.GoToRecordNumber(3);
  c.DeleteRecord();
  ASSERT_EQ(c.GetCurrent(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(r.GetInt("Value"), 4);
  c.GoToRecordNumber(6);  // value 7
  c.GetCurrent(r.Bytes());
  ASSERT_EQ(r.GetInt("Value"), 7);
  c.DeleteRecord();
  // Deleting the last record leaves it on the EOF crack.
  c.GoToRecordNumber(100);
  c.DeleteRecord();
  EXPECT_TRUE(c.AtEOF());
  EXPECT_EQ(c.RecordCount(), 5);
  // With a primary index the freed slots are reused last-freed first: 8, 7, then 3.
  for (int v : {100, 101, 102, 103}) {
    r.Init().Int("Value", v);
    c.InsertRecord(r.Bytes());
    (void)v;
  }
  EXPECT_EQ(c.Table().Data().Header().NextRecordNo, 10);
  std::vector<std::int32_t> slots;
  c.SetIndex(TDataCursor::kNoIndex);
  c.First();
  while (c.GetNext(r.Bytes()) == VELDOR_NONE)
    if (r.GetInt("Value") >= 100) slots.push_back(c.CurrentRecordNo());
  EXPECT_EQ(slots, (std::vector<std::int32_t>{3, 7, 8, 9}));
  // RowIds keep rising across reuse.
  EXPECT_EQ(c.Table().Data().LastAutoInc(), 12);
  EXPECT_TRUE(CheckTable(c.Table()).empty());
}

TEST_F(TCursorEditTest, SuppressedAutoIncrement) {
  TDataCursor& c = Create("C", CounterTable());
  c.SetAutoIncSuppressed(true);
  TRec r(c);
  r.Init().Int("Value", 1);
  SetRecRowId(r.Bytes(), 500);
  c.InsertRecord(r.Bytes());
  EXPECT_EQ(r.GetInt("ID"), 500);
  EXPECT_EQ(c.Table().Data().LastAutoInc(), 500);
  r.Init().Int("Value", 2);
  SetRecRowId(r.Bytes(), 500);
  EXPECT_ENGINE_ERROR(c.InsertRecord(r.Bytes()), VELDOR_KEYVIOL);
  SetRecRowId(r.Bytes(), 20);
  c.InsertRecord(r.Bytes());
  EXPECT_EQ(c.Table().Data().LastAutoInc(), 500);
  c.SetAutoIncSuppressed(false);
  r.Init().Int("Value", 3);
  c.InsertRecord(r.Bytes());
  EXPECT_EQ(r.GetInt("ID"), 501);
  EXPECT_TRUE(CheckTable(c.Table()).empty());
}

TEST_F(TCursorEditTest, ReadOnlyCursorRefusesChanges) {
  UsersWith({"ann"}).Close();
  TDataCursor& c = NewCursor();
  c.Open("Users", false, false, true);
  TRec r(c);
  r.Init().Str("UserName", "bob");
  EXPECT_ENGINE_ERROR(c.InsertRecord(r.Bytes()), VELDOR_OSEACCES);
  c.First();
  c.GetNext(r.Bytes());
  EXPECT_ENGINE_ERROR(c.DeleteRecord(), VELDOR_OSEACCES);
}

}  // namespace
}  // namespace zorvic::engine::testing
