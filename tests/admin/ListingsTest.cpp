#include "admin/Listings.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace zorvic {
namespace {

TEST(AdminListingArgs, SplitsAtTheFirstTwoBlanks) {
  auto args = SplitAdminListingArgument("Users UserName 'a b'  c");
  EXPECT_EQ(args.Table, "Users");
  EXPECT_EQ(args.Field, "UserName");
  EXPECT_EQ(args.Value, "'a b'  c");  // the rest, blanks included

  args = SplitAdminListingArgument("Users");
  EXPECT_EQ(args.Table, "Users");
  EXPECT_EQ(args.Field, "");
  EXPECT_EQ(args.Value, "");

  // A second blank in a row leaves the field empty and the rest as the value.
  args = SplitAdminListingArgument("Users  UserName");
  EXPECT_EQ(args.Field, "");
  EXPECT_EQ(args.Value, "UserName");

  args = SplitAdminListingArgument("");
  EXPECT_EQ(args.Table, "");
  EXPECT_EQ(args.Field, "");
}

TEST(SharedTables, AreReadFromTheSchemaScript) {
  std::vector<std::string> names;
  for (const auto& t : SharedTableColumns())
    names.push_back(t.Table);
  EXPECT_EQ(names, (std::vector<std::string>{"Profiles", "Groups", "Users", "Attachments",
                                             "Requests", "Log"}));
  const auto& users = SharedTableColumns()[2];
  ASSERT_EQ(users.Columns.size(), 14u);
  EXPECT_EQ(users.Columns.front(), "UserName");
  EXPECT_EQ(users.Columns.back(), "Answer2");
  const auto& requests = SharedTableColumns()[4];
  EXPECT_EQ(requests.Columns,
            (std::vector<std::string>{"RequestID", "From", "RequestType", "RequestDate"}));
}

TEST(SharedTables, NamesMatchWithoutCaseAndOnlyInTheirTable) {
  EXPECT_EQ(FindSharedTable("users").value_or(""), "Users");
  EXPECT_EQ(FindSharedColumn("USERS", "username").value_or(""), "UserName");
  EXPECT_FALSE(FindSharedTable("Messages"));  // a mailbox table
  EXPECT_FALSE(FindSharedTable("Users;"));
  EXPECT_FALSE(FindSharedTable(""));
  EXPECT_FALSE(FindSharedColumn("Groups", "UserName"));
  EXPECT_FALSE(FindSharedColumn("Users", "Primary"));  // the key clause is no column
  EXPECT_FALSE(FindSharedColumn("Users", "UserName VARCHAR(32)"));
}

TEST(AdminListingSql, UsesTheSchemaSpellingAndOneLiteral) {
  EXPECT_EQ(BuildAdminListingSql(TAdminListingMode::WholeTable, {"groups", "groupname", "x"}),
            "Select * From \"Groups\"\norder by \"GroupName\"");
  EXPECT_EQ(
      BuildAdminListingSql(TAdminListingMode::MatchingRecords, {"Users", "UserName", "  'it''s' "}),
      "Select * From \"Users\"\nwhere \"UserName\"='it''s'\norder by \"UserName\"");
  EXPECT_EQ(BuildAdminListingSql(TAdminListingMode::MatchingRecords, {"Log", "EntryNo", "-3"}),
            "Select * From \"Log\"\nwhere \"EntryNo\"=-3\norder by \"EntryNo\"");
}

TEST(AdminListingSql, RefusesWhatIsNotOfTheSchemaOrNotOneLiteral) {
  const cAdminListingArgs bad[] = {
      {"Users;Drop", "UserName", ""}, {"Users", "UserName;", ""},    {"Users", "", ""},
      {"\"Users\"", "UserName", ""},  {"Messages", "MessageID", ""}, {"Groups", "UserName", ""},
  };
  for (const auto& args : bad)
    EXPECT_THROW(BuildAdminListingSql(TAdminListingMode::WholeTable, args), std::runtime_error)
        << args.Table << " " << args.Field;
  const char* badValues[] = {"admin",  "",       "'a' or 1=1", "'a';Delete From Users",
                             "'a' --", "'it's'", "\"a\"",      "1 or 1=1",
                             "'a\nb'"};
  for (const char* value : badValues)
    EXPECT_THROW(
        BuildAdminListingSql(TAdminListingMode::MatchingRecords, {"Users", "UserName", value}),
        std::runtime_error)
        << value;
  // The NUL case with its full length (a C string would end at the NUL).
  EXPECT_THROW(BuildAdminListingSql(TAdminListingMode::MatchingRecords,
                                    {"Users", "UserName", std::string("'a\0b'", 5)}),
               std::runtime_error);
}

}  // namespace
}  // namespace zorvic
