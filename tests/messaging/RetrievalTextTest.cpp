// Numeric arguments of the retrieval commands, the id list's byte order and the attachment
// list lookup of RestrictAttachmentFetch.
#include "messaging/RetrievalText.h"

#include <gtest/gtest.h>

#include <string>

using namespace zorvic;

TEST(RetrievalArguments, OnlyOneDecimalIntegerIsAnId) {
  EXPECT_EQ(ParseIdArgument("5"), 5);
  EXPECT_EQ(ParseIdArgument(" 12\t"), 12);
  EXPECT_EQ(ParseIdArgument("-3"), -3);
  EXPECT_EQ(ParseIdArgument("+7"), 7);
  EXPECT_EQ(ParseIdArgument("000000000000000009"), 9);
  EXPECT_EQ(ParseIdArgument("99999999999"), 99999999999LL);
  for (const char* bad : {"", " ", "-", "1;", "1 or 1=1", "1; Delete from Users", "0x10", "1.5",
                          "1 2", "abc", "1e3", "--1", "1234567890123456789"}) {
    EXPECT_FALSE(ParseIdArgument(bad).has_value()) << bad;
  }
  EXPECT_TRUE(IsBlankArgument(""));
  EXPECT_TRUE(IsBlankArgument(" \t "));
  EXPECT_FALSE(IsBlankArgument(" 0"));
}

TEST(RetrievalArguments, LogTextsAreQuotedAndCut) {
  EXPECT_EQ(ShownArgument("a\r\nb"), "'a??b'");
  EXPECT_EQ(ShownArgument(std::string(100, 'x')), "'" + std::string(64, 'x') + "...'");
  EXPECT_EQ(QuotedLogText("it's"), "'it''s'");
}

TEST(RetrievalBytes, IdsAreLittleEndianAndLengthsBigEndian) {
  std::string ids;
  AppendLittleEndianId(ids, 6);
  AppendLittleEndianId(ids, 0x01020304);
  EXPECT_EQ(ids, std::string("\x06\x00\x00\x00\x04\x03\x02\x01", 8));
  std::string length;
  AppendBigEndianInt32(length, 8);
  AppendBigEndianInt32(length, -1);
  EXPECT_EQ(length, std::string("\x00\x00\x00\x08\xff\xff\xff\xff", 8));
}

TEST(RetrievalAttachmentList, FindsAnIdOnlyAsTheFirstWordOfALine) {
  const std::string list = "7 12 a.txt\r\n18 3 7 b.bin";
  EXPECT_TRUE(AttachmentListHasId(list, 7));
  EXPECT_TRUE(AttachmentListHasId(list, 18));
  EXPECT_FALSE(AttachmentListHasId(list, 1));
  EXPECT_FALSE(AttachmentListHasId(list, 12));
  EXPECT_FALSE(AttachmentListHasId(list, 3));
  EXPECT_FALSE(AttachmentListHasId("", 0));
  EXPECT_FALSE(AttachmentListHasId("x 1 y", 0));
  EXPECT_TRUE(AttachmentListHasId("5", 5));
}
