// The message record transfer: the general date format, the exact bytes with and without
// scrambling, and reading a record from a mailbox's Messages table.
#include "messaging/MessageRecord.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/Folders.h"
#include "app/Server.h"
#include "app/SharedSql.h"
#include "app/ThreadINIFile.h"
#include "crypto/Scramble.h"
#include "engine/sql/query/Query.h"
#include "messaging/MailboxRegistry.h"
#include "support/TempDir.h"

using namespace zorvic;
using zorvic::testing::TTempDir;
using zorvic::testing::WriteFileBytes;

namespace {

std::string Int32(std::uint32_t v) {
  return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 8), static_cast<char>(v)};
}

cMessageRecord Sample() {
  cMessageRecord record;
  record.Attachments = "7 12 a.txt\r\n8 3 b.bin";
  record.From = "alice";
  record.To = "bob,Sales/*";
  record.MessageDate = 38784.5;
  record.Size = 65;
  record.Priority = 2;
  record.Body = std::string("hello\0world", 11);
  return record;
}

const std::string kSampleHeader =
    "From: alice\r\nTo: bob,Sales/*\r\nDate: 38784.5\r\nSize: 65\r\nPriority: 2";

}  // namespace

TEST(MessageRecordFormat, GeneralFormatKeepsFifteenDigitsAndDropsTrailingZeros) {
  EXPECT_EQ(FormatGeneralFloat(38784.5), "38784.5");
  EXPECT_EQ(FormatGeneralFloat(38784.0), "38784");
  EXPECT_EQ(FormatGeneralFloat(0), "0");
  EXPECT_EQ(FormatGeneralFloat(-2), "-2");
  EXPECT_EQ(FormatGeneralFloat(38784.5, ','), "38784,5");
  // A third of a day after the date: 15 significant digits, rounded.
  EXPECT_EQ(FormatGeneralFloat(38784.0 + 1.0 / 3.0), "38784.3333333333");
  EXPECT_EQ(FormatGeneralFloat(0.00001), "0.00001");
  EXPECT_EQ(FormatGeneralFloat(0.000001), "1E-6");
  EXPECT_EQ(FormatGeneralFloat(0.0000015), "1.5E-6");
  EXPECT_EQ(FormatGeneralFloat(123456789012345.0), "123456789012345");
  EXPECT_EQ(FormatGeneralFloat(1e15), "1E15");
  EXPECT_EQ(FormatGeneralFloat(0.1), "0.1");
}

TEST(MessageRecordFormat, TimeStampsConvertToDaysSince1899) {
  // Noon of 8 March 2006: engine day 732378 (day 1 = 0001-01-01).
  const double noon = 732378.0 * 86400000.0 + 43200000.0;
  EXPECT_EQ(MessageDateFromTimeStamp(noon), 38784.5);
  EXPECT_EQ(TimeStampFromMessageDate(38784.5), noon);
  EXPECT_EQ(MessageDateFromTimeStamp(693594.0 * 86400000.0), 0.0);
}

TEST(MessageRecordBytes, ClearTransferIsThreeCountedBlocks) {
  const cMessageRecord record = Sample();
  EXPECT_EQ(MessageHeaderText(record), kSampleHeader);
  const std::string expected = Int32(21) + record.Attachments + Int32(kSampleHeader.size()) +
                               kSampleHeader + Int32(11) + record.Body;
  EXPECT_EQ(MessageRecordBytes(record, false), expected);
}

TEST(MessageRecordBytes, ScrambledTransferScramblesHeaderAndBodyButNotTheList) {
  const cMessageRecord record = Sample();
  const std::string header = ScrambleString(kSampleHeader, ProgramKey(), true);
  const std::string body = ScrambleString(record.Body, ProgramKey(), true);
  const std::string bytes = MessageRecordBytes(record, true);
  EXPECT_EQ(bytes, Int32(21) + record.Attachments + Int32(header.size()) + header +
                       Int32(body.size()) + body);
  // 11 body bytes: two cipher blocks, 24 Base64 characters.
  EXPECT_EQ(body.size(), 24u);
  EXPECT_EQ(ScrambleString(header, ProgramKey(), false), kSampleHeader);
  EXPECT_EQ(ScrambleString(body, ProgramKey(), false), record.Body);
}

TEST(MessageRecordBytes, EmptyMessageSendsZeroLengthsOrOneBlockWhenScrambled) {
  cMessageRecord record;
  const std::string header = "From: \r\nTo: \r\nDate: 0\r\nSize: 0\r\nPriority: 0";
  EXPECT_EQ(MessageRecordBytes(record, false), Int32(0) + Int32(header.size()) + header + Int32(0));
  const std::string scrambled = MessageRecordBytes(record, true);
  // An empty body still becomes one cipher block: 12 Base64 characters.
  EXPECT_EQ(scrambled.substr(scrambled.size() - 16, 4), Int32(12));
}

class MessageRecordMailboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetAppFolder(home.Path());
    CreateServerFolders();
    WriteFileBytes(home.File("ServerOptions.ini"), "[ServerOptions]\nDataScrambling=0\n");
    server = std::make_unique<cServer>(0, options);
  }
  void TearDown() override { server.reset(); }

  TTempDir home;
  TThreadINIFile options{home.File("ServerOptions.ini")};
  std::unique_ptr<cServer> server;
};

TEST_F(MessageRecordMailboxTest, ReadsTheStoredRowAndSendsItAsTheServerSays) {
  cUserQueryStruct* box = server->ReferenceUserQuery("bob");
  ASSERT_NE(box, nullptr);
  cUserQueryStruct* held = server->LockUserQuery(box);
  cMessageRecord sample = Sample();
  sample.Body = "line one\r\nline two";
  RunExec(
      *held->Query,
      "Insert into Messages (MessageDate, Size, Priority, Attachments, \"From\", \"To\", Body) "
      "values (?, ?, ?, ?, ?, ?, ?)",
      {cSqlTimeStamp{TimeStampFromMessageDate(sample.MessageDate)}, sample.Size, sample.Priority,
       cSqlMemo{sample.Attachments}, sample.From, sample.To, cSqlMemo{sample.Body}});
  cMessageRecord read;
  RunWithResult(*held->Query, "Select * from Messages where MessageID = ?", {std::int32_t{1}},
                [&](engine::TVELDORQuery& query) { ReadMessageRecord(query, read); });
  server->UnlockUserQuery(held);
  server->ReleaseUserQuery(box);

  EXPECT_EQ(read.Attachments, sample.Attachments);
  EXPECT_EQ(read.From, sample.From);
  EXPECT_EQ(read.To, sample.To);
  EXPECT_EQ(read.MessageDate, sample.MessageDate);
  EXPECT_EQ(read.Size, sample.Size);
  EXPECT_EQ(read.Priority, sample.Priority);
  EXPECT_EQ(read.Body, sample.Body);
  EXPECT_FALSE(server->DataScrambling);
  EXPECT_EQ(MessageRecordBytes(*server, read), MessageRecordBytes(sample, false));
}
