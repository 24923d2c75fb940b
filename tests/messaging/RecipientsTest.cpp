#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "messaging/Delivery.h"
#include "messaging/Forwarding.h"
#include "messaging/Recipients.h"

namespace zorvic {
namespace {

using Kind = TRecipientKind;

TEST(SplitRecipientItems, KeepsOrderDuplicatesAndBlanks) {
  EXPECT_EQ(SplitRecipientItems("bob,alice,bob, carol"),
            (std::vector<cRecipientItem>{{Kind::User, "bob"},
                                         {Kind::User, "alice"},
                                         {Kind::User, "bob"},
                                         {Kind::User, " carol"}}));
  EXPECT_TRUE(SplitRecipientItems("").empty());
  EXPECT_EQ(SplitRecipientItems(",,a,"), (std::vector<cRecipientItem>{{Kind::User, "a"}}));
}

TEST(SplitRecipientItems, GroupSuffixesDropTwoCharacters) {
  EXPECT_EQ(SplitRecipientItems("Sales/*,Sales/?,Salesx*,Sales??"),
            (std::vector<cRecipientItem>{{Kind::GroupPrefix, "Sales"},
                                         {Kind::GroupExact, "Sales"},
                                         {Kind::GroupPrefix, "Sales"},
                                         {Kind::GroupExact, "Sales"}}));
  // Items no longer than their suffix give an empty group text.
  EXPECT_EQ(SplitRecipientItems("*,?,/*,a?"),
            (std::vector<cRecipientItem>{{Kind::GroupPrefix, ""},
                                         {Kind::GroupExact, ""},
                                         {Kind::GroupPrefix, ""},
                                         {Kind::GroupExact, ""}}));
  // A quote stays part of the text; it is bound, never pasted into SQL.
  EXPECT_EQ(SplitRecipientItems("x\" or 1=1 or \"/*"),
            (std::vector<cRecipientItem>{{Kind::GroupPrefix, "x\" or 1=1 or \""}}));
}

cForwardingFlags Flags(bool apply) {
  cForwardingFlags f;
  f.ForwardMsgs = true;
  f.ForwardingConditionsApply = apply;
  return f;
}

TEST(ForwardingWanted, ProfileWithoutConditionsForwardsEverythingOffline) {
  const cRecipientPresence offline;
  for (int priority : {0, 1, 2, 7})
    EXPECT_TRUE(ForwardingWanted(Flags(false), priority, offline));
  cForwardingFlags off = Flags(false);
  off.ForwardMsgs = false;
  EXPECT_FALSE(ForwardingWanted(off, 0, offline));
}

TEST(ForwardingWanted, ConditionsSelectPriorities) {
  cForwardingFlags f = Flags(true);
  f.ForwardHigh = true;
  const cRecipientPresence offline;
  EXPECT_FALSE(ForwardingWanted(f, 0, offline));
  EXPECT_TRUE(ForwardingWanted(f, 1, offline));
  EXPECT_FALSE(ForwardingWanted(f, 2, offline));
  EXPECT_FALSE(ForwardingWanted(f, 3, offline));
}

TEST(ForwardingWanted, OnlyWhenDoNotDisturbForOnlineRecipients) {
  cForwardingFlags f = Flags(false);
  f.ForwardNormalOnlyDND = true;
  const cRecipientPresence online{true, 1};
  const cRecipientPresence busy{true, kDoNotDisturbStatus};
  EXPECT_FALSE(ForwardingWanted(f, 0, online));
  EXPECT_TRUE(ForwardingWanted(f, 0, busy));
  EXPECT_TRUE(ForwardingWanted(f, 0, cRecipientPresence{}));
  EXPECT_TRUE(ForwardingWanted(f, 1, online));   // the flag of another priority
  EXPECT_FALSE(ForwardingWanted(f, 9, online));  // no flags for unknown priorities
}

TEST(NewMessagePush, CodeIdAndRecordBytes) {
  const std::string record("\0\0\0\0tail", 8);
  EXPECT_EQ(NewMessagePush(0x01020304, 0, record), std::string("\0\0\0\2\1\2\3\4", 8) + record);
  EXPECT_EQ(NewMessagePush(7, kUrgentPriority, "").substr(0, 4), std::string("\0\0\0\3", 4));
  EXPECT_EQ(NewMessagePush(7, 1, "").substr(0, 4), std::string("\0\0\0\2", 4));
}

}  // namespace
}  // namespace zorvic
