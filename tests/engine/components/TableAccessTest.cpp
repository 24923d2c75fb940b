// Table components sharing one table: exclusive opens, record locks between two components of
// one session, and expression filters handed to the cursor.
#include "engine/components/ComponentTestSupport.h"
#include "engine/storage/formats/FieldTypes.h"

namespace zorvic::engine::testing {
namespace {

using TTableAccessTest = TComponentTest;

void AddUser(TVELDORTable& t, const std::string& name, int rights) {
  t.Insert();
  t.FieldByName("UserName").SetAsString(name);
  t.FieldByName("Rights").SetAsInteger(rights);
  t.Post();
}

TEST_F(TTableAccessTest, ExclusiveOpenShutsOutASecondComponent) {
  CreateUsersTable("Users");
  TVELDORTable a, b;
  a.SetExclusive(true);
  OpenOn(a, "Users");
  EXPECT_EQ(EngineErrorOf([&] { OpenOn(b, "Users"); }), VELDOR_OSEACCES);
  EXPECT_FALSE(b.Active());
  a.Close();
  OpenOn(b, "Users");
  EXPECT_TRUE(b.Active());
}

TEST_F(TTableAccessTest, SecondEditOfOneRecordInOneSessionFailsAtOnce) {
  CreateUsersTable("Users");
  TVELDORTable a, b;
  OpenOn(a, "Users");
  AddUser(a, "amy", 1);
  OpenOn(b, "Users");
  a.Edit();
  EXPECT_EQ(EngineErrorOf([&] { b.Edit(); }), VELDOR_RECLOCKFAILED);
  EXPECT_EQ(b.State(), TDataSetState::dsBrowse);
  a.FieldByName("Rights").SetAsInteger(5);
  a.Post();
  // The lock went with the post; b sees the change after a refresh and may edit now.
  b.Refresh();
  EXPECT_EQ(b.FieldByName("Rights").AsInteger(), 5);
  b.Edit();
  b.FieldByName("Rights").SetAsInteger(6);
  b.Post();
  a.Refresh();
  EXPECT_EQ(a.FieldByName("Rights").AsInteger(), 6);
}

// A stand-in for the SQL engine's filter compiler: "Rights=<n>".
class TRightsFilter : public TFilterExpression {
 public:
  TRightsFilter(const TFieldDesc& field, int value) : FField(field), FValue(value) {}
  bool Matches(const std::uint8_t* record) override {
    if (record[FField.FieldOffset] == 0) return false;
    return GetI32(record + FField.FieldOffset + 1) == FValue;
  }

 private:
  TFieldDesc FField;
  int FValue;
};

TEST_F(TTableAccessTest, FilterTextGoesToTheCursorsCompiler) {
  TDataCursor::SetFilterCompiler([](const std::string& text,
                                    TDataCursor& cursor) -> std::unique_ptr<TFilterExpression> {
    if (text.rfind("Rights=", 0) != 0) RaiseTableError(VELDOR_INVALIDFILTER, cursor.TableName());
    return std::make_unique<TRightsFilter>(*cursor.FindField("Rights"), std::stoi(text.substr(7)));
  });
  CreateUsersTable("Users");
  TVELDORTable t;
  OpenOn(t, "Users");
  for (int i = 0; i < 8; ++i)
    AddUser(t, "u" + std::to_string(i), i % 3);
  t.SetFilter("Rights=1");
  EXPECT_EQ(t.RecordCount(), 8);  // not filtered yet
  t.SetFiltered(true);
  EXPECT_EQ(t.RecordCount(), 3);
  EXPECT_EQ(t.FieldByName("UserName").AsString(), "u1");
  t.SetFilter("Rights=2");
  EXPECT_EQ(t.RecordCount(), 2);
  EXPECT_EQ(EngineErrorOf([&] { t.SetFilter("bogus"); }), VELDOR_INVALIDFILTER);
  EXPECT_EQ(t.Filter(), "Rights=2");
  EXPECT_EQ(t.RecordCount(), 2);
  t.SetFilter("");
  EXPECT_EQ(t.RecordCount(), 8);
  // A table opened with a filter set applies it at once.
  t.Close();
  t.SetFilter("Rights=0");
  t.Open();
  EXPECT_EQ(t.RecordCount(), 3);
  TDataCursor::SetFilterCompiler({});
}

}  // namespace
}  // namespace zorvic::engine::testing
