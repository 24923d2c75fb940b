#include "protocol/Command.h"

#include <gtest/gtest.h>

#include <vector>

#include "protocol/ClientInfo.h"

using namespace zorvic;

namespace {

cCommandStruct Parse(std::string_view line) {
  cCommandStruct c;
  c.Code = 12345;
  c.Argument = "stale";
  ParseCommand(line, c);
  return c;
}

TEST(ParseCommand, CodeAndArgument) {
  auto c = Parse("2004 17");
  EXPECT_EQ(c.Code, 2004);
  EXPECT_EQ(c.Argument, "17");
  c = Parse("2101 Users UserName  two  blanks ");
  EXPECT_EQ(c.Code, 2101);
  EXPECT_EQ(c.Argument, "Users UserName  two  blanks ");
  c = Parse("2000");
  EXPECT_EQ(c.Code, 2000);
  EXPECT_EQ(c.Argument, "");
}

TEST(ParseCommand, BlankPlacementDecides) {
  auto c = Parse(" 2000");
  EXPECT_EQ(c.Code, -1);
  EXPECT_EQ(c.Argument, "2000");
  c = Parse("2000 ");
  EXPECT_EQ(c.Code, 2000);
  EXPECT_EQ(c.Argument, "");
}

TEST(ParseCommand, JunkAndOverflowAreMinusOne) {
  for (std::string_view junk :
       std::vector<std::string_view>{"", "abc", "20a0", "2000\t", "0x7D0", "2147483648",
                                     "99999999999999999999", "-", "+", "\x80\xff",
                                     std::string_view("20\0"
                                                      "00",
                                                      5)}) {
    EXPECT_EQ(Parse(junk).Code, -1) << junk;
  }
  EXPECT_EQ(Parse("2147483647").Code, 2147483647);
  EXPECT_EQ(Parse("-2147483648").Code, -2147483647 - 1);
  EXPECT_EQ(Parse("-5").Code, -5);
  EXPECT_EQ(Parse("002105").Code, 2105);
}

TEST(ClientInfo, StartsEmpty) {
  cClientInfoStruct s;
  EXPECT_TRUE(s.UserName.empty() && s.Password.empty() && s.GivenAnswer2.empty());
  EXPECT_FALSE(s.Authenticated || s.HasAdminPower || s.IsListening || s.AllowAttachments);
  EXPECT_EQ(s.MaxMsgSize, 0);
  EXPECT_EQ(s.Privileges, 0);
}

}  // namespace
