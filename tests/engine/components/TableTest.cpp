// The table component: opening by name, columns and their values, navigation, the edit cycle,
// keys, ranges and filters, and its messages.
#include <cmath>

#include "engine/components/ComponentTestSupport.h"
#include "engine/storage/formats/FieldTypes.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine::testing {
namespace {

using TTableTest = TComponentTest;

void AddUser(TVELDORTable& t, const std::string& name, int rights) {
  t.Insert();
  t.FieldByName("UserName").SetAsString(name);
  t.FieldByName("Rights").SetAsInteger(rights);
  t.Post();
}

TEST_F(TTableTest, OpeningNeedsATableName) {
  TVELDORTable t;
  t.SetDatabaseName(Dir.Path());
  EXPECT_EQ(DatabaseErrorOf([&] { t.Open(); }), "Missing table name.");
  EXPECT_FALSE(t.Active());
  t.SetTableName("Missing");
  EXPECT_EQ(EngineErrorOf([&] { t.Open(); }), VELDOR_OSENOENT);
  EXPECT_FALSE(t.Active());
  // The failed opens released the database they attached to.
  TVELDORDatabase* db = TVELDORSessionList::Instance().DefaultSession().FindDatabase(Dir.Path());
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->RefCount(), 0);
  EXPECT_TRUE(db->DataSets().empty());
}

TEST_F(TTableTest, ColumnsFollowTheEngineFields) {
  CreateUsersTable("Users");
  TVELDORTable t;
  OpenOn(t, "Users");
  ASSERT_EQ(t.FieldCount(), 9u);
  EXPECT_EQ(t.Field(0).FieldName(), "UserName");
  EXPECT_EQ(t.Field(0).DataType(), TFieldKind::String);
  EXPECT_EQ(t.Field(0).Size(), 30);
  EXPECT_EQ(t.FieldByName("id").DataType(), TFieldKind::AutoInc);
  EXPECT_TRUE(t.FieldByName("ID").ReadOnly());
  EXPECT_EQ(t.FieldByName("Balance").DataType(), TFieldKind::BCD);
  EXPECT_EQ(t.FieldByName("Balance").Precision(), 32);
  EXPECT_EQ(t.FieldByName("Balance").Size(), 2);
  EXPECT_EQ(t.FieldByName("Notes").DataType(), TFieldKind::Memo);
  EXPECT_EQ(t.FindField("Nope"), nullptr);
  EXPECT_EQ(DatabaseErrorOf([&] { t.FieldByName("Nope"); }), "Field 'Nope' not found.");
}

TEST(TColumnMapping, EngineTypesMapBothWays) {
  auto kindOf = [](std::uint8_t type, std::uint8_t sub, std::uint8_t size = 0) {
    TFieldDesc f;
    f.DataType = type;
    f.SubType = sub;
    f.FieldSize = size;
    const auto c = ColumnTypeOf(f);
    return c ? c->Kind : TFieldKind::Unknown;
  };
  EXPECT_EQ(kindOf(ftString, 0, 10), TFieldKind::String);
  EXPECT_EQ(kindOf(ftString, fstFixedChar, 10), TFieldKind::FixedChar);
  EXPECT_EQ(kindOf(ftBytes, fstFixedChar, 10), TFieldKind::FixedChar);
  EXPECT_EQ(kindOf(ftVarBytes, 0, 10), TFieldKind::VarBytes);
  EXPECT_EQ(kindOf(ftBlob, fstMemo), TFieldKind::Memo);
  EXPECT_EQ(kindOf(ftBlob, fstFormattedMemo), TFieldKind::FormattedMemo);
  EXPECT_EQ(kindOf(ftBlob, fstGraphic), TFieldKind::Graphic);
  EXPECT_EQ(kindOf(ftBlob, fstTypedBinary), TFieldKind::TypedBinary);
  EXPECT_EQ(kindOf(ftBlob, 7), TFieldKind::Blob);
  EXPECT_EQ(kindOf(ftInteger, fstAutoInc), TFieldKind::AutoInc);
  EXPECT_EQ(kindOf(ftFloat, fstMoney), TFieldKind::Currency);
  EXPECT_EQ(kindOf(ftCardinal, 0), TFieldKind::Integer);
  EXPECT_EQ(kindOf(ftTimeStamp, 0), TFieldKind::DateTime);
  EXPECT_EQ(kindOf(ftLargeInt, 0), TFieldKind::LargeInt);
  EXPECT_FALSE(ColumnTypeOf([] {
    TFieldDesc f;
    f.DataType = ftExtended;
    return f;
  }()));
  for (TFieldKind k : {TFieldKind::String, TFieldKind::Memo, TFieldKind::Currency,
                       TFieldKind::AutoInc, TFieldKind::Graphic, TFieldKind::DateTime}) {
    const TEngineFieldType e = EngineTypeOf(k);
    EXPECT_EQ(kindOf(e.Type, e.SubType, 10), k) << FieldKindName(k);
  }
}

TEST(TColumnMapping, TakenNamesGetTheFirstFreeSuffix) {
  EXPECT_EQ(UniqueColumnName({}, "Name"), "Name");
  EXPECT_EQ(UniqueColumnName({"Name"}, "Name"), "Name_1");
  EXPECT_EQ(UniqueColumnName({"NAME", "name_1"}, "Name"), "Name_2");
  EXPECT_EQ(UniqueColumnName({"Name", "Name_2"}, "Name"), "Name_1");
}

TEST_F(TTableTest, ValuesRoundTripThroughEveryColumnKind) {
  CreateUsersTable("Users");
  TVELDORTable t;
  OpenOn(t, "Users");
  t.Insert();
  t.FieldByName("UserName").SetAsString("alice");
  t.FieldByName("Rights").SetAsString("  42 ");
  t.FieldByName("Active").SetAsBoolean(true);
  t.FieldByName("Created").SetAsString("2024-02-29");
  t.FieldByName("Quota").SetAsLargeInt(5'000'000'000LL);
  t.FieldByName("Score").SetAsFloat(0.25);
  t.FieldByName("Balance").SetAsString("-12.345");
  t.FieldByName("Notes").SetAsString("a memo");
  EXPECT_TRUE(t.Modified());
  t.Post();
  EXPECT_FALSE(t.Modified());

  TVELDORTable r;
  OpenOn(r, "Users");
  ASSERT_FALSE(r.IsEmpty());
  EXPECT_EQ(r.FieldByName("UserName").AsString(), "alice");
  EXPECT_EQ(r.FieldByName("Rights").AsInteger(), 42);
  EXPECT_EQ(r.FieldByName("Rights").AsString(), "42");
  EXPECT_TRUE(r.FieldByName("Active").AsBoolean());
  EXPECT_EQ(r.FieldByName("Active").AsString(), "True");
  EXPECT_EQ(r.FieldByName("Created").AsString(), "2024-02-29");
  EXPECT_EQ(r.FieldByName("Created").AsDateTime(), EncodeTimeStamp(*EncodeDate(2024, 2, 29), 0));
  EXPECT_EQ(r.FieldByName("Quota").AsLargeInt(), 5'000'000'000LL);
  EXPECT_EQ(DatabaseErrorOf([&] { r.FieldByName("Quota").AsInteger(); }),
            "Value 5000000000 is out of range for field Quota.");
  EXPECT_DOUBLE_EQ(r.FieldByName("Score").AsFloat(), 0.25);
  EXPECT_EQ(r.FieldByName("Balance").AsString(), "-12.35");  // rounded to the scale
  EXPECT_EQ(r.FieldByName("Notes").AsString(), "a memo");
  EXPECT_EQ(r.FieldByName("ID").AsInteger(), 1);
  EXPECT_FALSE(r.FieldByName("ID").IsNull());
}

TEST_F(TTableTest, NullsAndClearing) {
  CreateUsersTable("Users");
  TVELDORTable t;
  OpenOn(t, "Users");
  AddUser(t, "bob", 3);
  EXPECT_TRUE(t.FieldByName("Created").IsNull());
  EXPECT_EQ(t.FieldByName("Created").AsString(), "");
  EXPECT_EQ(t.FieldByName("Score").AsFloat(), 0);
  EXPECT_TRUE(t.FieldByName("Notes").IsNull());
  t.Edit();
  t.FieldByName("Rights").Clear();
  t.FieldByName("UserName").SetAsString("bob");  // unchanged key
  t.Post();
  EXPECT_TRUE(t.FieldByName("Rights").IsNull());
  t.Edit();
  t.FieldByName("Rights").SetAsString("");  // an empty text is NULL too
  EXPECT_TRUE(t.FieldByName("Rights").IsNull());
  t.Cancel();
}

TEST_F(TTableTest, WritingOutsideEditOrInsertAndReadOnlyColumns) {
  CreateUsersTable("Users");
  TVELDORTable t;
  OpenOn(t, "Users");
  AddUser(t, "carol", 1);
  EXPECT_EQ(t.State(), TDataSetState::dsBrowse);
  EXPECT_EQ(DatabaseErrorOf([&] { t.FieldByName("Rights").SetAsInteger(5); }),
            "Table is not in edit or insert mode.");
  EXPECT_EQ(DatabaseErrorOf([&] { t.FieldByName("Notes").SetAsString("x"); }),
            "Table is not in edit or insert mode.");
  EXPECT_EQ(DatabaseErrorOf(
                [&] { TVELDORBlobStream s(t.FieldByName("Notes"), TBlobStreamMode::bmWrite); }),
            "Table is not in edit or insert mode.");
  t.Edit();
  EXPECT_EQ(DatabaseErrorOf([&] { t.FieldByName("ID").SetAsInteger(5); }),
            "Field ID cannot be modified.");
  EXPECT_EQ(
      DatabaseErrorOf([&] { TVELDORBlobStream s(t.FieldByName("ID"), TBlobStreamMode::bmWrite); }),
      "Field ID cannot be modified.");
  t.FieldByName("Rights").SetReadOnly(true);
  EXPECT_EQ(DatabaseErrorOf([&] { t.FieldByName("Rights").SetAsString("9"); }),
            "Field Rights cannot be modified.");
  EXPECT_EQ(DatabaseErrorOf([&] { t.FieldByName("Rights").SetAsInteger(70000); }),
            "Field Rights cannot be modified.");
  t.FieldByName("Rights").SetReadOnly(false);
  t.Cancel();
  // Nothing reached the table.
  EXPECT_EQ(t.FieldByName("Rights").AsInteger(), 1);
}

TEST_F(TTableTest, OutOfRangeAndBadTextsAreRefusedBeforeTheBuffer) {
  TVELDORTable c;
  c.SetDatabaseName(Dir.Path());
  c.SetTableName("Small");
  c.FieldDefs = {Col("S", TFieldKind::SmallInt), Col("W", TFieldKind::Word),
                 Col("D", TFieldKind::Date)};
  c.CreateTable();
  TVELDORTable t;
  OpenOn(t, "Small");
  t.Insert();
  EXPECT_EQ(DatabaseErrorOf([&] { t.FieldByName("S").SetAsInteger(40000); }),
            "Value 40000 is out of range for field S.");
  EXPECT_EQ(DatabaseErrorOf([&] { t.FieldByName("W").SetAsInteger(-1); }),
            "Value -1 is out of range for field W.");
  EXPECT_THROW(t.FieldByName("D").SetAsString("2023-02-30"), EConvertError);
  EXPECT_TRUE(t.FieldByName("S").IsNull());
  EXPECT_TRUE(t.FieldByName("D").IsNull());
  t.FieldByName("S").SetAsInteger(-32768);
  t.Post();
  EXPECT_EQ(t.FieldByName("S").AsInteger(), -32768);
}

TEST_F(TTableTest, NavigationFlags) {
  CreateUsersTable("Users");
  TVELDORTable t;
  OpenOn(t, "Users");
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_TRUE(t.Bof());
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.RecNo(), 0);
  EXPECT_EQ(DatabaseErrorOf([&] { t.Edit(); }),
            "Cannot perform this operation on an empty dataset");
  for (const char* n : {"dan", "amy", "cat", "bea"})
    AddUser(t, n, 1);
  t.First();
  EXPECT_TRUE(t.Bof());
  EXPECT_FALSE(t.Eof());
  std::vector<std::string> seen;
  while (!t.Eof()) {
    seen.push_back(t.FieldByName("UserName").AsString());
    t.Next();
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"amy", "bea", "cat", "dan"}));
  // Next on the last record stays there with Eof set.
  EXPECT_EQ(t.FieldByName("UserName").AsString(), "dan");
  t.Next();
  EXPECT_EQ(t.FieldByName("UserName").AsString(), "dan");
  t.Last();
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.RecNo(), 4);
  t.Prior();
  EXPECT_FALSE(t.Eof());
  EXPECT_EQ(t.FieldByName("UserName").AsString(), "cat");
  t.First();
  t.Prior();
  EXPECT_TRUE(t.Bof());
  EXPECT_EQ(t.FieldByName("UserName").AsString(), "amy");
  EXPECT_EQ(t.RecordCount(), 4);
  t.SetRecNo(3);
  EXPECT_EQ(t.FieldByName("UserName").AsString(), "cat");
  const auto mark = t.GetBookmark();
  t.First();
  t.GotoBookmark(mark);
  EXPECT_EQ(t.FieldByName("UserName").AsString(), "cat");
  EXPECT_TRUE(t.Locate({"UserName"}, {"BEA"}, true));
  EXPECT_EQ(t.RecNo(), 2);
  EXPECT_FALSE(t.Locate({"UserName"}, {"zed"}));
  EXPECT_EQ(t.FieldByName("UserName").AsString(), "bea");
}

TEST_F(TTableTest, EditCycleAndDelete) {
  CreateUsersTable("Users");
  TVELDORTable t;
  OpenOn(t, "Users");
  AddUser(t, "amy", 1);
  AddUser(t, "bob", 2);
  AddUser(t, "cal", 3);
  t.First();
  t.Edit();
  EXPECT_EQ(t.State(), TDataSetState::dsEdit);
  t.FieldByName("Rights").SetAsInteger(10);
  t.Cancel();
  EXPECT_EQ(t.State(), TDataSetState::dsBrowse);
  EXPECT_EQ(t.FieldByName("Rights").AsInteger(), 1);
  t.Edit();
  t.FieldByName("Rights").SetAsInteger(11);
  t.Post();
  // A pending change is posted, not lost, when the dataset moves on.
  t.Next();
  t.Edit();
  t.FieldByName("Rights").SetAsInteger(22);
  t.Next();
  EXPECT_EQ(t.FieldByName("UserName").AsString(), "cal");
  t.Prior();
  EXPECT_EQ(t.FieldByName("Rights").AsInteger(), 22);
  // Delete leaves the dataset on the following record, or on the new last one.
  t.Delete();
  EXPECT_EQ(t.FieldByName("UserName").AsString(), "cal");
  t.Delete();
  EXPECT_EQ(t.FieldByName("UserName").AsString(), "amy");
  EXPECT_EQ(t.FieldByName("Rights").AsInteger(), 11);
  t.Delete();
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_EQ(DatabaseErrorOf([&] { t.Delete(); }),
            "Cannot perform this operation on an empty dataset");
  // Delete while inserting just drops the new record.
  t.Insert();
  t.FieldByName("UserName").SetAsString("tmp");
  t.Delete();
  EXPECT_TRUE(t.IsEmpty());
}

TEST_F(TTableTest, KeyViolationKeepsTheInsertOpen) {
  CreateUsersTable("Users");
  TVELDORTable t;
  OpenOn(t, "Users");
  AddUser(t, "amy", 1);
  t.Insert();
  t.FieldByName("UserName").SetAsString("amy");
  EXPECT_EQ(EngineErrorOf([&] { t.Post(); }), VELDOR_KEYVIOL);
  EXPECT_EQ(t.State(), TDataSetState::dsInsert);
  t.FieldByName("UserName").SetAsString("ann");
  t.Post();
  EXPECT_EQ(t.RecordCount(), 2);
}

TEST_F(TTableTest, AutoIncrementValueAfterPost) {
  CreateLogTable("Log");
  TVELDORTable t;
  OpenOn(t, "Log");
  for (int i = 1; i <= 3; ++i) {
    t.Append();
    t.FieldByName("Text").SetAsString("line " + std::to_string(i));
    t.Post();
    EXPECT_EQ(t.FieldByName("ID").AsInteger(), i);
  }
}

TEST_F(TTableTest, ReadOnlyTablesRefuseChanges) {
  CreateUsersTable("Users");
  TVELDORTable t;
  t.SetReadOnly(true);
  OpenOn(t, "Users");
  EXPECT_FALSE(t.CanModify());
  EXPECT_EQ(DatabaseErrorOf([&] { t.Insert(); }), "Cannot modify a read-only dataset");
  EXPECT_EQ(DatabaseErrorOf([&] { t.SetTableName("Other"); }),
            "Cannot perform this operation on an open dataset");
}

TEST_F(TTableTest, IndexesKeysAndRanges) {
  CreateUsersTable("Users");
  TVELDORTable t;
  OpenOn(t, "Users");
  for (int i = 0; i < 10; ++i)
    AddUser(t, "user" + std::to_string(i), 100 - i * 10);
  EXPECT_TRUE(t.FindKey({"user7"}));
  EXPECT_EQ(t.FieldByName("Rights").AsInteger(), 30);
  EXPECT_FALSE(t.FindKey({"nobody"}));
  EXPECT_EQ(t.FieldByName("UserName").AsString(), "user7");  // position unchanged
  t.FindNearest({"user45"});
  EXPECT_EQ(t.FieldByName("UserName").AsString(), "user5");

  t.SetIndexName("ByRights");
  t.First();
  EXPECT_EQ(t.FieldByName("Rights").AsInteger(), 10);
  t.SetRange({"30"}, {"60"});
  EXPECT_EQ(t.RecordCount(), 4);
  std::vector<int> rights;
  for (t.First(); !t.Eof(); t.Next())
    rights.push_back(t.FieldByName("Rights").AsInteger());
  EXPECT_EQ(rights, (std::vector<int>{30, 40, 50, 60}));
  t.CancelRange();
  EXPECT_EQ(t.RecordCount(), 10);
  t.SetRange({"70"}, {"20"});
  EXPECT_EQ(t.RecordCount(), 0);
  EXPECT_TRUE(t.IsEmpty());
  t.CancelRange();

  t.SetIndexFieldNames("UserName");
  t.First();
  EXPECT_EQ(t.FieldByName("UserName").AsString(), "user0");
  EXPECT_EQ(EngineErrorOf([&] { t.SetIndexFieldNames("Rights;UserName"); }),
            VELDOR_INVALIDINDEXNAME);
}

TEST_F(TTableTest, FilterEventSelectsRecords) {
  CreateUsersTable("Users");
  TVELDORTable t;
  OpenOn(t, "Users");
  for (int i = 0; i < 6; ++i)
    AddUser(t, "u" + std::to_string(i), i);
  t.SetOnFilterRecord(
      [](TVELDORDataSet& d) { return d.FieldByName("Rights").AsInteger() % 2 == 0; });
  t.SetFiltered(true);
  EXPECT_EQ(t.RecordCount(), 3);
  std::vector<std::string> names;
  for (t.First(); !t.Eof(); t.Next())
    names.push_back(t.FieldByName("UserName").AsString());
  EXPECT_EQ(names, (std::vector<std::string>{"u0", "u2", "u4"}));
  t.SetFiltered(false);
  EXPECT_EQ(t.RecordCount(), 6);
}

TEST_F(TTableTest, CopyOnAppendTakesThePlainValues) {
  CreateUsersTable("Users");
  TVELDORTable t;
  OpenOn(t, "Users");
  AddUser(t, "amy", 7);
  t.CopyOnAppend = true;
  t.Append();
  EXPECT_EQ(t.FieldByName("Rights").AsInteger(), 7);
  t.FieldByName("UserName").SetAsString("amy2");
  t.Post();
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 2);
}

TEST_F(TTableTest, EmptyDeleteAndExists) {
  CreateUsersTable("Users");
  TVELDORTable t;
  t.SetDatabaseName(Dir.Path());
  t.SetTableName("Users");
  EXPECT_TRUE(t.Exists());
  t.Open();
  AddUser(t, "amy", 1);
  t.Close();
  t.EmptyTable();
  t.Open();
  EXPECT_TRUE(t.IsEmpty());
  t.Close();
  t.DeleteTable();
  EXPECT_FALSE(t.Exists());
}

}  // namespace
}  // namespace zorvic::engine::testing
