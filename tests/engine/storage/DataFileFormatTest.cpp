// The data file's bytes on disk and the checks of a new table definition.
#include <gtest/gtest.h>

#include <cstring>

#include "DataTestSupport.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/formats/Scramble.h"

using namespace zorvic::engine;
using namespace zorvic::engine::testing;

TEST(DataFileFormat, EmptyTableIsHeaderAndDescriptors) {
  TTempDir dir;
  CreateDataFile(dir, "T", SmallTableDef())->Close();
  const std::string bytes = ReadWholeFile(dir.File("T.DAT"));
  ASSERT_EQ(bytes.size(), 127u + 3 * 768u);
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  EXPECT_EQ(GetI32(p + 0), 1);    // one header write
  EXPECT_EQ(p[8], 5);             // format version
  EXPECT_EQ(GetI32(p + 9), 0);    // FirstDeleted
  EXPECT_EQ(GetI32(p + 13), 1);   // NextRecordNo
  EXPECT_EQ(GetU16(p + 21), 34);  // RecordSize = 9 + 21 + 1 + 2 + 1
  EXPECT_EQ(GetU16(p + 23), 3);
  EXPECT_EQ(GetI64(p + 116), 32100);
  EXPECT_LT(GetDouble(p + 27), 0.0);       // day count minus 693594 is negative today
  const std::uint8_t* d2 = p + 127 + 768;  // the String field's descriptor
  EXPECT_EQ(GetU16(d2), 2);
  EXPECT_EQ(d2[2], 4);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d2 + 3), 4), "Name");
  EXPECT_EQ(d2[84], ftString);
  EXPECT_EQ(d2[86], 20);
  EXPECT_EQ(d2[88], 21);
  EXPECT_EQ(GetU16(d2 + 90), 9);
  EXPECT_EQ(GetU16(p + 127 + 90), 5);  // the auto-increment field sits on the RowId

  auto file = OpenDataFile(dir, "T");
  file->Verify();
  EXPECT_EQ(file->Header().NextRecordNo, 1);
  EXPECT_EQ(file->Header().FirstDeleted, 0);
  EXPECT_EQ(file->RecordSize(), 34);
  EXPECT_EQ(file->FindField("NAME")->FieldOffset, 9);
  EXPECT_EQ(file->FindField("active")->FieldOffset, 31);
  EXPECT_EQ(file->Field(1)->Name(), "ID");
  EXPECT_EQ(file->Field(4), nullptr);
}

TEST(DataFileFormat, HeaderRoundTripsEveryByte) {
  std::uint8_t bytes[kTableHeaderSize];
  for (std::size_t i = 0; i < sizeof bytes; ++i)
    bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  TTableHeader h;
  h.Decode(bytes);
  std::uint8_t again[kTableHeaderSize];
  h.Encode(again);
  EXPECT_EQ(std::memcmp(bytes, again, sizeof bytes), 0);
  std::uint8_t desc[kFieldDescSize];
  for (std::size_t i = 0; i < sizeof desc; ++i)
    desc[i] = static_cast<std::uint8_t>(i * 13 + 1);
  TFieldDesc f;
  f.Decode(desc);
  std::uint8_t descAgain[kFieldDescSize];
  f.Encode(descAgain);
  EXPECT_EQ(std::memcmp(desc, descAgain, sizeof desc), 0);
}

TEST(DataFileFormat, EncryptedTableScramblesDescriptionAndRecords) {
  TTempDir dir;
  TTableDefinition def = SmallTableDef();
  def.Encrypted = true;
  def.Password = " secret ";
  def.Description = "Customer accounts";
  {
    auto file = CreateDataFile(dir, "E", def);
    TRecord* r = file->AllocateRecord(false);
    WriteStringField(*file->FindField("Name"), r->Bytes(), "PlainTextName", TCollation::Binary());
    file->ReleaseRecord(r);
    file->Flush();
    EXPECT_EQ(file->TableDescription(), "Customer accounts");
    EXPECT_EQ(file->TablePassword(), "secret");
  }
  const std::string bytes = ReadWholeFile(dir.File("E.DAT"));
  EXPECT_EQ(bytes.find("Customer"), std::string::npos);
  EXPECT_EQ(bytes.find("secret"), std::string::npos);
  EXPECT_EQ(bytes.find("PlainTextName"), std::string::npos);
  EXPECT_EQ(bytes.find("Name"), std::string::npos);     // descriptors are scrambled too
  EXPECT_EQ(static_cast<std::uint8_t>(bytes[35]), 17);  // the length byte stays plain
  std::string desc = bytes.substr(36, 17);
  Scramble(desc.data(), desc.size(), TextSeed);
  EXPECT_EQ(desc, "Customer accounts");

  auto file = OpenDataFile(dir, "E");
  file->Verify();
  EXPECT_EQ(file->TableDescription(), "Customer accounts");
  EXPECT_EQ(file->FindField("Name")->Name(), "Name");
  TRecord* r = file->GetRecord(1);
  EXPECT_EQ(ReadStringField(*file->FindField("Name"), r->Bytes()), "PlainTextName");
  file->ReleaseRecord(r);
}

// A record object carries its bytes: one kept from a table of another record size (the file
// object closed and made again) is not used for the new table's records.
TEST(DataFileFormat, ARecordObjectOfAnotherSizeIsNotReused) {
  TTempDir dir;
  TDataFile file(dir.File("R.DAT"), "R");
  file.Create(SmallTableDef());
  for (int i = 0; i < 20; ++i)
    file.ReleaseRecord(file.AllocateRecord(false));
  file.Flush();
  file.Close();
  file.Create(
      TableDef({FieldDef("ID", ftInteger, 0, fstAutoInc), FieldDef("Name", ftString, 200)}));
  ASSERT_GT(file.RecordSize(), 200);
  TRecord* r = file.AllocateRecord(false);
  ASSERT_EQ(r->Size(), file.RecordSize());
  const std::string name(199, 'w');
  WriteStringField(*file.FindField("Name"), r->Bytes(), name, TCollation::Binary());
  file.ReleaseRecord(r);
  file.Flush();
  TRecord* back = file.GetRecord(1);
  EXPECT_EQ(ReadStringField(*file.FindField("Name"), back->Bytes()), name);
  file.ReleaseRecord(back);
}

TEST(DataFileFormat, DefinitionChecksRunInOrder) {
  TTempDir dir;
  const auto raises = [&](TTableDefinition def) {
    TDataFile file(dir.File("V.DAT"), "V");
    return CatchEngineError([&] { file.Create(def); });
  };
  TTableDefinition def = SmallTableDef();
  def.Encrypted = true;
  def.Password = "   ";
  def.LanguageId = 0x0999;  // also wrong, but the password is checked first
  EXPECT_EQ(raises(def).ErrorCode, VELDOR_INVALIDPASSWORD);
  def.Password = "sixteen-chars-xx";
  EXPECT_EQ(raises(def).ErrorCode, VELDOR_INVALIDPASSWORD);
  def.Password = "fifteen-chars-x";
  EXPECT_EQ(raises(def).ErrorCode, VELDOR_CANNOTLOADLDDRV);
  def.LanguageId = 0x0409;
  def.SortId = 1;  // English has no phone-book order
  EXPECT_EQ(raises(def).ErrorCode, VELDOR_CANNOTLOADLDDRV);
  def.SortId = 0;
  def.LastAutoInc = -2;
  EXPECT_EQ(raises(def).ErrorCode, VELDOR_FLDLIMIT);
  def.LastAutoInc = -1;
  def.IndexCount = 33;
  EXPECT_EQ(raises(def).ErrorCode, VELDOR_INDEXLIMIT);
  def.IndexCount = 32;
  def.BlobBlockSize = 63;
  EXPECT_EQ(raises(def).ErrorCode, VELDOR_BLOBLIMIT);
  def.BlobBlockSize = 64;

  TTableDefinition many;
  for (int i = 0; i < 1025; ++i)
    many.Fields.push_back(FieldDef("F" + std::to_string(i), ftWord));
  EXPECT_EQ(raises(many).ErrorCode, VELDOR_FLDLIMIT);
  EXPECT_EQ(raises(TTableDefinition{}).ErrorCode, VELDOR_FLDLIMIT);

  const auto fieldError = [&](TFieldDefinition f) {
    TTableDefinition one = SmallTableDef();
    one.Fields.push_back(f);
    return raises(one);
  };
  EXPECT_EQ(fieldError(FieldDef("9lives", ftWord)).ErrorCode, VELDOR_INVALIDFIELDNAME);
  EXPECT_EQ(fieldError(FieldDef("", ftWord)).ErrorCode, VELDOR_INVALIDFIELDNAME);
  EXPECT_EQ(fieldError(FieldDef(std::string(31, 'a'), ftWord)).ErrorCode, VELDOR_INVALIDFIELDNAME);
  const EVELDOREngineError dup = fieldError(FieldDef(" NAME ", ftWord));
  EXPECT_EQ(dup.ErrorCode, VELDOR_INVALIDFIELDNAME);
  EXPECT_EQ(dup.ErrorField, "Name");  // the first of the two names the error
  EXPECT_EQ(dup.ErrorTable, "V");
  EXPECT_STREQ(dup.what(),
               "VELDOR Engine Error # 10038 Invalid or duplicate field name 'Name' specified for "
               "the table 'V'");
  EXPECT_NO_THROW(CreateDataFile(dir, "W",
                                 TableDef({FieldDef("\xC4rger", ftWord), FieldDef("_x", ftWord),
                                           FieldDef(std::string(30, 'b'), ftWord)})));
  EXPECT_EQ(fieldError(FieldDef("T", 0)).ErrorCode, VELDOR_INVALIDFLDTYPE);
  EXPECT_EQ(fieldError(FieldDef("T", 16)).ErrorCode, VELDOR_INVALIDFLDTYPE);
  EXPECT_EQ(fieldError(FieldDef("T", ftString, 251)).ErrorCode, VELDOR_INVALIDFLDTYPE);
  EXPECT_EQ(fieldError(FieldDef("T", ftBytes, 0)).ErrorCode, VELDOR_INVALIDFLDTYPE);
  TFieldDefinition bcd = FieldDef("T", ftBCD);
  bcd.Scale = 5;
  EXPECT_EQ(fieldError(bcd).ErrorCode, VELDOR_INVALIDFLDTYPE);
  TFieldDefinition numbered = FieldDef("T", ftWord);
  numbered.FieldNo = 7;
  EXPECT_EQ(fieldError(numbered).ErrorCode, VELDOR_INVALIDFLDTYPE);
  TFieldDefinition date = FieldDef("T", ftDate);
  date.MinValue = "2024-02-30";
  EXPECT_EQ(fieldError(date).ErrorCode, VELDOR_INVALIDVCHKSTRUCT);
  date.MinValue = "2024-02-29";
  date.DefaultValue = "CURRENT_DATE";
  date.MaxValue = "9999-12-31";
  EXPECT_NO_THROW(CreateDataFile(dir, "X", TableDef({date})));
}

TEST(DataFileFormat, RecordSizeLimitsAndBlobFieldCount) {
  TTempDir dir;
  // 9 + 261 x (250 + 1) + (15 + 1) = 65,536 bytes: one too many.
  TTableDefinition def;
  for (int i = 0; i < 261; ++i)
    def.Fields.push_back(FieldDef("B" + std::to_string(i), ftBytes, 250));
  def.Fields.push_back(FieldDef("Last", ftBytes, 15));
  TDataFile big(dir.File("Big.DAT"), "Big");
  EXPECT_ENGINE_ERROR(big.Create(def), VELDOR_RECTOOBIG);
  def.Fields.back().Size = 14;
  auto ok = CreateDataFile(dir, "Big", def);
  EXPECT_EQ(ok->RecordSize(), 65535);

  TTableDefinition blobs;
  for (int i = 0; i < 129; ++i)
    blobs.Fields.push_back(FieldDef("M" + std::to_string(i), ftBlob, 0, 22));
  TDataFile tooMany(dir.File("Blobs.DAT"), "Blobs");
  EXPECT_ENGINE_ERROR(tooMany.Create(blobs), VELDOR_BLOBLIMIT);
  blobs.Fields.pop_back();
  EXPECT_EQ(CreateDataFile(dir, "Blobs", blobs)->BlobFieldCount(), 128);
}

TEST(DataFileFormat, MissingTableNamesTheFile) {
  TTempDir dir;
  TDataFile file(dir.File("Nowhere.DAT"), "Nowhere");
  const EVELDOREngineError e = CatchEngineError([&] { file.Open(false); });
  EXPECT_EQ(e.ErrorCode, VELDOR_OSENOENT);
  EXPECT_EQ(e.ErrorTable, dir.File("Nowhere.DAT"));
  EXPECT_EQ(std::string(e.what()),
            "VELDOR Engine Error # 11010 Table '" + dir.File("Nowhere.DAT") + "' does not exist");
}

TEST(DataFileFormat, OldVersionAndBadDescriptorsAreRefusedAtOpen) {
  TTempDir dir;
  CreateDataFile(dir, "T", SmallTableDef())->Close();
  const std::string good = ReadWholeFile(dir.File("T.DAT"));
  const auto openError = [&](std::string bytes) {
    WriteWholeFile(dir.File("T.DAT"), bytes);
    TDataFile file(dir.File("T.DAT"), "T");
    try {
      file.Open(false);
    } catch (const EVELDOREngineError& e) {
      EXPECT_FALSE(file.IsOpen());  // a failed open closes the file again
      return e.ErrorCode;
    }
    try {
      file.Verify();
    } catch (const EVELDOREngineError& e) {
      return e.ErrorCode;
    }
    return TErrorCode{VELDOR_NONE};
  };
  std::string bytes = good;
  bytes[8] = 4;
  EXPECT_EQ(openError(bytes), VELDOR_OLDVERSION);
  bytes = good;
  PutU16(reinterpret_cast<std::uint8_t*>(bytes.data()) + 23, 1025);
  EXPECT_EQ(openError(bytes), VELDOR_HEADERCORRUPT);
  bytes = good;
  bytes[127 + 768 + 90] = 10;  // String field offset
  EXPECT_EQ(openError(bytes), VELDOR_HEADERCORRUPT);
  bytes = good;
  bytes[127 + 768 + 3] = '1';  // name starting with a digit
  EXPECT_EQ(openError(bytes), VELDOR_HEADERCORRUPT);
  bytes = good;
  bytes[127 + 768 * 2 + 2] = 2;  // third field renamed "ID"... a duplicate of field 1
  bytes[127 + 768 * 2 + 3] = 'i';
  bytes[127 + 768 * 2 + 4] = 'd';
  EXPECT_EQ(openError(bytes), VELDOR_HEADERCORRUPT);
  bytes = good;
  bytes[103] = 0x99;  // a collation that does not exist
  bytes[104] = 0x09;
  EXPECT_EQ(openError(bytes), VELDOR_CANNOTLOADLDDRV);
  EXPECT_EQ(openError(good.substr(0, 100)), VELDOR_HEADERCORRUPT);
  EXPECT_EQ(openError(good.substr(0, 127 + 768)), VELDOR_HEADERCORRUPT);
  EXPECT_EQ(openError(std::string()), VELDOR_HEADERCORRUPT);
}
