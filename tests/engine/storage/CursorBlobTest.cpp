// BLOB values through the cursor: write-back at post, chains reused, shrunk and freed, copies
// of records with values, the open-value limit and identifiers that are not ours.
#include <gtest/gtest.h>

#include "engine/storage/CursorTestSupport.h"

namespace zorvic::engine::testing {
namespace {

class TCursorBlobTest : public TDatabaseFixture {
 protected:
  void SetUp() override {
    TDatabaseFixture::SetUp();
    TTableCreation def;
    def.Table.Fields = {Fld("ID", ftInteger, 0, fstAutoInc), Fld("Memo", ftBlob, 0, fstMemo),
                        Fld("Data", ftBlob)};
    def.Table.BlobBlockSize = 64;  // 46 data bytes a block
    def.Primary = Idx("", {1}, true);
    C = &Create("B", def);
  }
  std::string Read(TRec& r, std::uint32_t field) {
    C->OpenBlob(r.Bytes(), field, TBlobOpenMode::bmRead);
    std::int64_t size = 0;
    EXPECT_EQ(C->BlobSize(r.Bytes(), field, &size), VELDOR_NONE);
    std::string out(static_cast<std::size_t>(size), '\0');
    std::int64_t got = 0;
    EXPECT_EQ(C->ReadBlob(r.Bytes(), field, 0, out.data(), size, &got), VELDOR_NONE);
    C->FreeBlob(r.Bytes(), field);
    return out;
  }
  void Write(TRec& r, std::uint32_t field, const std::string& value) {
    C->OpenBlob(r.Bytes(), field, TBlobOpenMode::bmWrite);
    EXPECT_EQ(C->TruncateBlob(r.Bytes(), field, 0), VELDOR_NONE);
    EXPECT_EQ(
        C->WriteBlob(r.Bytes(), field, 0, value.data(), static_cast<std::int64_t>(value.size())),
        VELDOR_NONE);
  }
  TBlobFile& Blob() { return *C->Table().Blob(); }
  TDataCursor* C = nullptr;
};

TEST_F(TCursorBlobTest, ValuesAreWrittenBackAtPost) {
  TRec r(*C);
  r.Init();
  Write(r, 2, std::string(46, 'a'));                               // exactly one block
  Write(r, 3, std::string(47, 'b'));                               // two blocks
  EXPECT_LT(GetI32(r.Bytes() + C->Field(2)->FieldOffset + 1), 0);  // an identifier, open
  C->InsertRecord(r.Bytes());
  EXPECT_EQ(C->OpenBlobCount(), 0u);
  EXPECT_EQ(ReadBlobField(*C->Field(2), r.Bytes()), 1);  // the buffer got the chains back
  EXPECT_EQ(Blob().Header().NextBlockNo, 4);
  EXPECT_EQ(Read(r, 2), std::string(46, 'a'));
  EXPECT_EQ(Read(r, 3), std::string(47, 'b'));

  // Growing reuses the chain in place and extends it; an unchanged value writes nothing.
  C->GetCurrent(r.Bytes());
  ASSERT_EQ(C->BeginEdit(r.Bytes()), VELDOR_NONE);
  Write(r, 2, std::string(140, 'c'));  // four blocks
  C->ModifyRecord(r.Bytes());
  EXPECT_EQ(ReadBlobField(*C->Field(2), r.Bytes()), 1);
  EXPECT_EQ(Read(r, 2), std::string(140, 'c'));
  EXPECT_EQ(Read(r, 3), std::string(47, 'b'));
  // Shrinking frees the tail; the next allocation takes the block freed last.
  const std::int32_t next = Blob().Header().NextBlockNo;
  ASSERT_EQ(C->BeginEdit(r.Bytes()), VELDOR_NONE);
  Write(r, 2, "short");
  C->ModifyRecord(r.Bytes());
  EXPECT_EQ(Blob().Header().NextBlockNo, next);
  EXPECT_NE(Blob().Header().FirstFreeBlock, 0);
  // An empty value is NULL and frees its chain.
  ASSERT_EQ(C->BeginEdit(r.Bytes()), VELDOR_NONE);
  Write(r, 3, "");
  C->ModifyRecord(r.Bytes());
  EXPECT_TRUE(C->IsFieldNull(r.Bytes(), 3));
  EXPECT_EQ(ReadBlobField(*C->Field(3), r.Bytes()), 0);
  EXPECT_EQ(Read(r, 2), "short");

  // A copied buffer gets its own chain, and deleting frees every block of the record.
  TRec copy(*C);
  C->GetCurrent(copy.Bytes());
  C->InsertRecord(copy.Bytes());
  EXPECT_NE(ReadBlobField(*C->Field(2), copy.Bytes()), ReadBlobField(*C->Field(2), r.Bytes()));
  EXPECT_EQ(Read(copy, 2), "short");
  const std::int32_t blocks = Blob().Header().NextBlockNo;
  C->DeleteRecord();
  C->First();
  C->GetNext(r.Bytes());
  C->DeleteRecord();
  EXPECT_EQ(Blob().Header().NextBlockNo, blocks);
  EXPECT_EQ(C->RecordCount(), 0);
  C->Table().Flush(false, false);
  EXPECT_TRUE(VerifyBlobFile(Blob(), {}).empty());
}

TEST_F(TCursorBlobTest, OpenValuesAndTheirIdentifiers) {
  TRec r(*C);
  r.Init();
  C->OpenBlob(r.Bytes(), 2, TBlobOpenMode::bmWrite);
  const std::int32_t id = GetI32(r.Bytes() + C->Field(2)->FieldOffset + 1);
  C->OpenBlob(r.Bytes(), 2, TBlobOpenMode::bmAppend);  // the same value again
  EXPECT_EQ(GetI32(r.Bytes() + C->Field(2)->FieldOffset + 1), id);
  EXPECT_EQ(C->OpenBlobCount(), 1u);
  EXPECT_TRUE(C->IsFieldNull(r.Bytes(), 2));  // empty while open
  EXPECT_EQ(C->WriteBlob(r.Bytes(), 2, 0, "xy", 2), VELDOR_NONE);
  EXPECT_FALSE(C->IsFieldNull(r.Bytes(), 2));
  char buf[8];
  std::int64_t got = 0;
  EXPECT_EQ(C->ReadBlob(r.Bytes(), 2, 1, buf, 8, &got), VELDOR_ENDOFBLOB);
  EXPECT_EQ(got, 1);
  // Not a Blob field; a field without an open value; an identifier that is not ours.
  EXPECT_EQ(C->ReadBlob(r.Bytes(), 1, 0, buf, 1, &got), VELDOR_NOTABLOB);
  EXPECT_EQ(C->ReadBlob(r.Bytes(), 3, 0, buf, 1, &got), VELDOR_INVALIDBLOBHANDLE);
  EXPECT_ENGINE_ERROR(C->OpenBlob(r.Bytes(), 1, TBlobOpenMode::bmRead), VELDOR_NOTABLOB);
  TRec forged(*C);
  forged.Init();
  PutI32(forged.Bytes() + C->Field(3)->FieldOffset + 1, -12345);
  forged.Bytes()[C->Field(3)->FieldOffset] = 1;
  EXPECT_ENGINE_ERROR(C->OpenBlob(forged.Bytes(), 3, TBlobOpenMode::bmRead),
                      VELDOR_INVALIDBLOBOFFSET);
  EXPECT_ENGINE_ERROR(C->InsertRecord(forged.Bytes()), VELDOR_INVALIDBLOBOFFSET);
  PutI32(forged.Bytes() + C->Field(3)->FieldOffset + 1, 999999);  // no such block
  EXPECT_ENGINE_ERROR(C->InsertRecord(forged.Bytes()), VELDOR_INVALIDBLOBOFFSET);
  EXPECT_EQ(C->RecordCount(), 0);

  // At most 128 open values per cursor.
  C->FreeAllBlobs();
  std::vector<TRec> buffers;
  for (int i = 0; i < 64; ++i)
    buffers.emplace_back(*C);
  for (auto& b : buffers) {
    b.Init();
    C->OpenBlob(b.Bytes(), 2, TBlobOpenMode::bmWrite);
    C->OpenBlob(b.Bytes(), 3, TBlobOpenMode::bmWrite);
  }
  EXPECT_EQ(C->OpenBlobCount(), 128u);
  r.Init();
  EXPECT_ENGINE_ERROR(C->OpenBlob(r.Bytes(), 2, TBlobOpenMode::bmWrite), VELDOR_OPENBLOBLIMIT);
  C->FreeBlob(buffers[0].Bytes(), 2);
  EXPECT_EQ(GetI32(buffers[0].Bytes() + C->Field(2)->FieldOffset + 1), 0);
  C->OpenBlob(r.Bytes(), 2, TBlobOpenMode::bmWrite);
}

}  // namespace
}  // namespace zorvic::engine::testing
