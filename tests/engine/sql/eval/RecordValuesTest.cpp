// Field values between record buffers of a real table and value nodes: every field type
// round trip, the string rules of the record (cut, empty is NULL), conversions on store,
// failed conversions leaving the buffer alone, and BLOB values written at post.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/sql/eval/Evaluator.h"
#include "engine/sql/eval/RecordValues.h"
#include "engine/storage/CursorTestSupport.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine::testing {
namespace {

class TRecordValuesTest : public TDatabaseFixture {
 protected:
  void SetUp() override {
    TDatabaseFixture::SetUp();
    TTableCreation def;
    TFieldDefinition amount = Fld("Amount", ftBCD);
    amount.Scale = 2;
    def.Table.Fields = {Fld("ID", ftInteger, 0, fstAutoInc),
                        Fld("Name", ftString, 10),
                        Fld("Born", ftDate),
                        Fld("Notes", ftBlob, 0, fstMemo),
                        Fld("Photo", ftBlob, 0, fstGraphic),
                        Fld("Active", ftBoolean),
                        Fld("Age", ftSmallInt),
                        Fld("Count", ftInteger),
                        Fld("Ratio", ftFloat),
                        Fld("Salary", ftFloat, 0, fstMoney),
                        amount,
                        Fld("Raw", ftBytes, 4),
                        Fld("LoginTime", ftTime),
                        Fld("Created", ftTimeStamp),
                        Fld("Flags", ftWord),
                        Fld("Big", ftLargeInt),
                        Fld("Data", ftBlob)};
    def.Primary = Idx("", {1}, true);
    C = &Create("Values", def);
  }

  std::uint32_t No(const std::string& name) { return C->FindField(name)->FieldNo; }

  // Stores a value given as text through the field's own type.
  bool Store(TRec& r, const std::string& field, const TExpToken& value) {
    return StoreFieldValue(*C, r.Bytes(), No(field), value);
  }
  TExpTokenPtr Fetch(TRec& r, const std::string& field) {
    TExpTokenPtr v = NewExpToken();
    FetchFieldValue(*C, r.Bytes(), No(field), *v);
    return v;
  }
  std::string Text(TRec& r, const std::string& field) {
    TExpTokenPtr v = Fetch(r, field);
    return v->IsNull ? std::string("NULL") : ValueToText(*v);
  }
  // Inserts the buffer and reads the stored record back into it.
  void InsertAndReread(TRec& r) {
    C->InsertRecord(r.Bytes());
    ASSERT_EQ(C->GetCurrent(r.Bytes()), VELDOR_NONE);
  }

  static TExpTokenPtr Value(TDataType type, const std::string& text, std::int32_t size = 0,
                            std::int32_t scale = 0) {
    TExpTokenPtr v = NewExpToken();
    v->SetStringConstant(text);
    ConvertValueStrict(*v, type, type == dtBlob ? stMemo : stNone, size, scale);
    return v;
  }

  TDataCursor* C = nullptr;
};

TEST_F(TRecordValuesTest, EveryFieldTypeRoundTrips) {
  TRec r(*C);
  r.Init();
  struct {
    const char* Field;
    TDataType Type;
    const char* Text;
    std::int32_t Scale;
  } const cases[] = {
      {"Name", dtString, "Zorvic", 0},
      {"Born", dtDate, "2005-01-31", 0},
      {"Notes", dtBlob, "", 0},  // a memo longer than a block, below
      {"Active", dtBoolean, "True", 0},
      {"Age", dtSmallInt, "-32768", 0},
      {"Count", dtInteger, "2147483647", 0},
      {"Ratio", dtFloat, "0.1", 0},
      {"Salary", dtFloat, "1234.5", 0},
      {"Amount", dtBCD, "-12.35", 2},
      {"LoginTime", dtTime, "13:05:00.250", 0},
      {"Created", dtTimeStamp, "2005-01-31 13:05:00", 0},
      {"Flags", dtWord, "65535", 0},
      {"Big", dtLargeInt, "-9223372036854775808", 0},
  };
  const std::string memo(3000, 'n');
  for (const auto& c : cases) {
    const std::string text = std::string(c.Field) == "Notes" ? memo : std::string(c.Text);
    EXPECT_TRUE(Store(r, c.Field, *Value(c.Type, text, 0, c.Scale))) << c.Field;
  }
  const std::uint8_t raw[4] = {0, 1, 0xFE, 0xFF};
  TExpTokenPtr bytes = NewExpToken();
  bytes->DataType = dtBytes;
  bytes->Size = 4;
  bytes->SetBytesValue(raw, 4);
  EXPECT_TRUE(Store(r, "Raw", *bytes));
  std::string picture(700, '\0');
  for (std::size_t i = 0; i < picture.size(); ++i)
    picture[i] = static_cast<char>(i * 7);
  TExpTokenPtr blob = NewExpToken();
  blob->DataType = dtBlob;
  blob->SubType = stGraphic;
  blob->SetBytesValue(picture.data(), picture.size());
  EXPECT_TRUE(Store(r, "Photo", *blob));

  InsertAndReread(r);
  for (const auto& c : cases) {
    const std::string text = std::string(c.Field) == "Notes" ? memo : std::string(c.Text);
    TExpTokenPtr v = Fetch(r, c.Field);
    EXPECT_EQ(v->DataType, c.Type) << c.Field;
    EXPECT_EQ(ValueToText(*v), text) << c.Field;
  }
  EXPECT_EQ(Fetch(r, "Salary")->SubType, stMoney);
  EXPECT_EQ(Fetch(r, "Notes")->SubType, stMemo);
  EXPECT_EQ(Fetch(r, "Amount")->Scale, 2);
  EXPECT_EQ(Fetch(r, "Name")->Size, 11);
  TExpTokenPtr gotRaw = Fetch(r, "Raw");
  EXPECT_EQ(gotRaw->DataType, dtBytes);
  ASSERT_EQ(gotRaw->ValueLength(), 4u);
  EXPECT_EQ(std::memcmp(gotRaw->ValueData(), raw, 4), 0);
  TExpTokenPtr gotPhoto = Fetch(r, "Photo");
  EXPECT_EQ(gotPhoto->DataType, dtBlob);
  EXPECT_EQ(gotPhoto->SubType, stGraphic);
  EXPECT_EQ(
      std::string(reinterpret_cast<const char*>(gotPhoto->ValueData()), gotPhoto->ValueLength()),
      picture);
  // The auto-increment field reads as the record's RowId; the unset BLOB as NULL.
  TExpTokenPtr id = Fetch(r, "ID");
  EXPECT_EQ(id->DataType, dtInteger);
  EXPECT_EQ(id->SubType, stAutoInc);
  EXPECT_EQ(id->Scalar<std::int32_t>(), 1);
  EXPECT_EQ(Text(r, "Data"), "NULL");
  EXPECT_EQ(C->OpenBlobCount(), 0u);  // reading leaves no value open
}

TEST_F(TRecordValuesTest, StringsFollowTheRecordRules) {
  TRec r(*C);
  r.Init();
  TExpTokenPtr v = NewExpToken();
  v->SetStringConstant("abcdefghijklmnop");
  EXPECT_TRUE(Store(r, "Name", *v));
  EXPECT_EQ(Text(r, "Name"), "abcdefghij");  // cut to the field
  v->SetStringConstant("");
  EXPECT_TRUE(Store(r, "Name", *v));
  EXPECT_EQ(Text(r, "Name"), "NULL");  // the empty string is NULL
  v->SetNullValue();
  EXPECT_TRUE(Store(r, "Count", *v));
  EXPECT_EQ(Text(r, "Count"), "NULL");
  EXPECT_TRUE(Store(r, "ID", *v));  // the auto-increment field keeps its value
  // Values of other types are converted as CAST converts them.
  v->SetIntegerConstant(42);
  EXPECT_TRUE(Store(r, "Name", *v));
  EXPECT_EQ(Text(r, "Name"), "42");
  v->SetStringConstant("17");
  EXPECT_TRUE(Store(r, "Count", *v));
  EXPECT_EQ(Text(r, "Count"), "17");
  v->SetFloatConstant(2.345);
  EXPECT_TRUE(Store(r, "Amount", *v));
  EXPECT_EQ(Text(r, "Amount"), "2.35");
  v->SetIntegerConstant(5);
  EXPECT_TRUE(Store(r, "Ratio", *v));
  EXPECT_EQ(Text(r, "Ratio"), "5");
  // A date-time text keeps the part a Date or Time field holds.
  v->SetStringConstant("2005-01-31 10:11:12");
  EXPECT_TRUE(Store(r, "Born", *v));
  EXPECT_EQ(Text(r, "Born"), "2005-01-31");
  EXPECT_TRUE(Store(r, "LoginTime", *v));
  EXPECT_EQ(Text(r, "LoginTime"), "10:11:12");
  EXPECT_TRUE(Store(r, "Created", *v));
  EXPECT_EQ(Text(r, "Created"), "2005-01-31 10:11:12");
}

TEST_F(TRecordValuesTest, FailedConversionsLeaveTheBufferAlone) {
  TRec r(*C);
  r.Init();
  TExpTokenPtr v = NewExpToken();
  v->SetIntegerConstant(7);
  ASSERT_TRUE(Store(r, "Age", *v));
  ASSERT_TRUE(Store(r, "Count", *v));
  const std::vector<std::uint8_t> before(r.Bytes(), r.Bytes() + C->RecordSize());
  v->SetStringConstant("abc");
  EXPECT_FALSE(Store(r, "Count", *v));
  EXPECT_FALSE(Store(r, "Born", *v));
  v->SetIntegerConstant(100000);
  EXPECT_FALSE(Store(r, "Age", *v));
  v->SetIntegerConstant(-1);
  EXPECT_FALSE(Store(r, "Flags", *v));
  v->SetDateConstant(0);  // no calendar day
  EXPECT_FALSE(Store(r, "Born", *v));
  EXPECT_EQ(std::vector<std::uint8_t>(r.Bytes(), r.Bytes() + C->RecordSize()), before);
}

TEST_F(TRecordValuesTest, BooleansAreNormalised) {
  TRec r(*C);
  r.Init();
  TExpTokenPtr v = NewExpToken();
  v->DataType = dtBoolean;
  v->Size = 2;
  v->SetScalar<std::int16_t>(5);
  EXPECT_TRUE(Store(r, "Active", *v));
  EXPECT_EQ(Fetch(r, "Active")->Scalar<std::int16_t>(), 1);
  v->SetStringConstant("false");
  EXPECT_TRUE(Store(r, "Active", *v));
  EXPECT_EQ(Text(r, "Active"), "False");
}

TEST_F(TRecordValuesTest, BlobValuesChangeAndClear) {
  TRec r(*C);
  r.Init();
  TExpTokenPtr v = NewExpToken();
  v->SetStringConstant("first note");
  EXPECT_TRUE(Store(r, "Notes", *v));
  EXPECT_EQ(Text(r, "Notes"), "first note");  // readable before the post
  InsertAndReread(r);
  EXPECT_EQ(Text(r, "Notes"), "first note");

  ASSERT_EQ(C->BeginEdit(r.Bytes()), VELDOR_NONE);
  v->SetStringConstant(std::string(2000, 'x'));
  EXPECT_TRUE(Store(r, "Notes", *v));
  v->SetIntegerConstant(12);  // a binary BLOB takes the value's own bytes
  EXPECT_TRUE(Store(r, "Data", *v));
  C->ModifyRecord(r.Bytes());
  ASSERT_EQ(C->GetCurrent(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(Text(r, "Notes"), std::string(2000, 'x'));
  TExpTokenPtr data = Fetch(r, "Data");
  ASSERT_EQ(data->ValueLength(), 4u);  // the Integer's own bytes
  EXPECT_EQ(GetI32(data->ValueData()), 12);

  ASSERT_EQ(C->BeginEdit(r.Bytes()), VELDOR_NONE);
  v->SetNullValue();
  EXPECT_TRUE(Store(r, "Notes", *v));
  C->ModifyRecord(r.Bytes());
  ASSERT_EQ(C->GetCurrent(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(Text(r, "Notes"), "NULL");
  EXPECT_EQ(C->OpenBlobCount(), 0u);
}

}  // namespace
}  // namespace zorvic::engine::testing
