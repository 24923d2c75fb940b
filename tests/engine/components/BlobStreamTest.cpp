// BLOB streams and whole BLOB values through the components, including values changed or
// deleted by another session while a dataset shows the record.
#include <random>

#include "engine/components/ComponentTestSupport.h"

namespace zorvic::engine::testing {
namespace {

using TBlobStreamTest = TComponentTest;

std::string Pattern(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (char& c : s)
    c = static_cast<char>(rng());
  return s;
}

TEST_F(TBlobStreamTest, TenMegabyteValueThroughAStream) {
  CreateLogTable("Log");
  TVELDORTable t;
  OpenOn(t, "Log");
  const std::string value = Pattern(10 * 1024 * 1024, 7);
  t.Insert();
  t.FieldByName("Text").SetAsString("big");
  t.FieldByName("Stamp").SetAsString("2024-05-01 12:30:00");
  {
    TVELDORBlobStream s(t.FieldByName("Data"), TBlobStreamMode::bmWrite);
    for (std::size_t at = 0; at < value.size(); at += 1 << 20)
      EXPECT_EQ(s.Write(value.data() + at, 1 << 20), 1 << 20);
    EXPECT_EQ(s.Size(), static_cast<std::int64_t>(value.size()));
  }
  t.Post();
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 1);
  t.Close();

  TVELDORTable r;
  OpenOn(r, "Log");
  ASSERT_EQ(r.RecordCount(), 1);
  EXPECT_EQ(r.FieldByName("Stamp").AsString(), "2024-05-01 12:30:00");
  TVELDORBlobStream s(r.FieldByName("Data"), TBlobStreamMode::bmRead);
  EXPECT_EQ(s.Size(), static_cast<std::int64_t>(value.size()));
  std::string back(value.size(), '\0');
  EXPECT_EQ(s.Read(back.data(), static_cast<std::int64_t>(back.size())),
            static_cast<std::int64_t>(value.size()));
  EXPECT_TRUE(back == value);
  EXPECT_EQ(s.Read(back.data(), 10), 0);  // at the end
}

TEST_F(TBlobStreamTest, SeekReadWriteAndTruncate) {
  CreateLogTable("Log");
  TVELDORTable t;
  OpenOn(t, "Log");
  t.Insert();
  {
    TVELDORBlobStream s(t.FieldByName("Body"), TBlobStreamMode::bmReadWrite);
    s.Write("hello world", 11);
    EXPECT_EQ(s.Seek(-5, TSeekOrigin::soEnd), 6);
    char buf[16] = {};
    EXPECT_EQ(s.Read(buf, 16), 5);
    EXPECT_STREQ(buf, "world");
    EXPECT_EQ(s.Seek(0, TSeekOrigin::soBeginning), 0);
    EXPECT_EQ(s.Seek(5, TSeekOrigin::soCurrent), 5);
    s.Truncate();
    EXPECT_EQ(s.Size(), 5);
    EXPECT_EQ(s.Seek(100, TSeekOrigin::soBeginning), 100);
    EXPECT_EQ(s.Read(buf, 4), 0);  // past the end reads nothing
    EXPECT_EQ(EngineErrorOf([&] { s.Seek(-1, TSeekOrigin::soBeginning); }),
              VELDOR_INVALIDBLOBOFFSET);
  }
  // The written value stays in the record buffer until Post.
  EXPECT_EQ(t.FieldByName("Body").AsString(), "hello");
  t.Post();
  EXPECT_EQ(t.FieldByName("Body").AsString(), "hello");

  // A stream opened for writing starts empty; read-write keeps the value.
  t.Edit();
  {
    TVELDORBlobStream s(t.FieldByName("Body"), TBlobStreamMode::bmWrite);
    EXPECT_EQ(s.Size(), 0);
    s.Write("new", 3);
  }
  EXPECT_EQ(t.FieldByName("Body").AsString(), "new");
  t.Post();
  t.Edit();
  {
    TVELDORBlobStream s(t.FieldByName("Body"), TBlobStreamMode::bmReadWrite);
    EXPECT_EQ(s.Size(), 3);
    s.Seek(0, TSeekOrigin::soEnd);
    s.Write("er", 2);
  }
  t.Post();
  t.Close();
  TVELDORTable r;
  OpenOn(r, "Log");
  EXPECT_EQ(r.FieldByName("Body").AsString(), "newer");
  // A stream in read mode refuses to write.
  TVELDORBlobStream s(r.FieldByName("Body"), TBlobStreamMode::bmRead);
  EXPECT_EQ(DatabaseErrorOf([&] { s.Write("x", 1); }), "Table is not in edit or insert mode.");
}

TEST_F(TBlobStreamTest, CancelDropsAWrittenValue) {
  CreateLogTable("Log");
  TVELDORTable t;
  OpenOn(t, "Log");
  t.Insert();
  t.FieldByName("Body").SetAsString("kept");
  t.Post();
  t.Edit();
  t.FieldByName("Body").SetAsString("dropped");
  EXPECT_EQ(t.FieldByName("Body").AsString(), "dropped");
  t.Cancel();
  EXPECT_EQ(t.FieldByName("Body").AsString(), "kept");
  t.Edit();
  t.FieldByName("Body").Clear();
  t.Post();
  EXPECT_TRUE(t.FieldByName("Body").IsNull());
  EXPECT_EQ(t.FieldByName("Body").AsString(), "");
}

TEST_F(TBlobStreamTest, MemoChangedByAnotherSessionIsReadAfresh) {
  CreateLogTable("Log");
  {
    TVELDORTable w;
    OpenOn(w, "Log");
    w.Insert();
    w.FieldByName("Body").SetAsString(std::string(3000, 'a'));
    w.Post();
  }
  TVELDORTable reader;
  OpenOn(reader, "Log");
  ASSERT_FALSE(reader.IsEmpty());

  TVELDORSession other("Other");
  other.SetSessionName("OtherWriter");
  TVELDORTable writer;
  writer.SetSessionName("OtherWriter");
  OpenOn(writer, "Log");
  writer.Edit();
  writer.FieldByName("Body").SetAsString(std::string(5000, 'b'));
  writer.Post();
  writer.Close();

  EXPECT_EQ(reader.FieldByName("Body").AsString(), std::string(5000, 'b'));
}

TEST_F(TBlobStreamTest, MemoOfARecordDeletedByAnotherSessionFailsInsteadOfSpinning) {
  CreateLogTable("Log");
  {
    TVELDORTable w;
    OpenOn(w, "Log");
    for (int i = 0; i < 2; ++i) {
      w.Insert();
      w.FieldByName("Body").SetAsString(std::string(4000, static_cast<char>('a' + i)));
      w.Post();
    }
  }
  TVELDORTable reader;
  OpenOn(reader, "Log");
  ASSERT_EQ(reader.FieldByName("ID").AsInteger(), 1);

  TVELDORSession other("Other");
  other.SetSessionName("OtherDeleter");
  TVELDORTable deleter;
  deleter.SetSessionName("OtherDeleter");
  OpenOn(deleter, "Log");
  deleter.Delete();  // record 1 and its memo chain
  deleter.Close();

  // The record is gone: the read fails instead of retrying for ever, and the dataset shows
  // what is there now.
  EXPECT_EQ(EngineErrorOf([&] { reader.FieldByName("Body").AsString(); }), VELDOR_KEYORRECDELETED);
  EXPECT_EQ(reader.FieldByName("ID").AsInteger(), 2);
  EXPECT_EQ(reader.FieldByName("Body").AsString(), std::string(4000, 'b'));
}

TEST_F(TBlobStreamTest, MemoOfADeletedRecordWhoseSlotWasReusedIsNotShown) {
  CreateLogTable("Log");
  {
    TVELDORTable w;
    OpenOn(w, "Log");
    w.Insert();
    w.FieldByName("Body").SetAsString(std::string(4000, 'a'));
    w.Post();
  }
  TVELDORTable reader;
  OpenOn(reader, "Log");
  ASSERT_EQ(reader.FieldByName("ID").AsInteger(), 1);

  // Another session deletes the record and inserts one that takes over its slot.
  TVELDORSession other("Other");
  other.SetSessionName("OtherReuser");
  TVELDORTable w;
  w.SetSessionName("OtherReuser");
  OpenOn(w, "Log");
  w.Delete();
  w.Insert();
  w.FieldByName("Body").SetAsString(std::string(4000, 'z'));
  w.Post();
  EXPECT_EQ(w.FieldByName("ID").AsInteger(), 2);
  w.Close();

  // Record 1's memo must never come back as record 2's value.
  EXPECT_EQ(EngineErrorOf([&] { reader.FieldByName("Body").AsString(); }), VELDOR_KEYORRECDELETED);
  EXPECT_EQ(reader.FieldByName("ID").AsInteger(), 2);
  EXPECT_EQ(reader.FieldByName("Body").AsString(), std::string(4000, 'z'));
}

}  // namespace
}  // namespace zorvic::engine::testing
