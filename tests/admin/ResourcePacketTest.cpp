// The checks a client's record passes before it becomes SQL (2102, 2103, 2104, 2020).
#include <gtest/gtest.h>

#include <string>

#include "admin/ResourcePacket.h"
#include "packet/LiteXMLPacket.h"

namespace zorvic {
namespace {

struct cF {
  std::string Name;
  std::string Type;
  std::string Value;
};

cLiteXMLPacket Packet(std::initializer_list<cF> fields) {
  cLiteXMLPacket packet;
  packet.SetDimensions(fields.size(), 1);
  std::size_t i = 0;
  for (const auto& f : fields) {
    packet.SetField(i, f.Name, f.Type);
    packet.SetValue(0, i, f.Value);
    ++i;
  }
  return packet;
}

constexpr auto kCreate = TResourceOperation::Create;
constexpr auto kUpdate = TResourceOperation::Update;
constexpr auto kDelete = TResourceOperation::Delete;

TEST(ResourcePacketTest, BuildsStatementsInTheSchemasSpelling) {
  auto s = CheckResourcePacket(
      kCreate, "users",
      Packet({{"username", "string", "o'hara"}, {"HASADMINPOWER", "boolean", "1"}}), false);
  EXPECT_EQ(s.Table, "Users");
  EXPECT_TRUE(s.IsUsers);
  EXPECT_EQ(s.UserName, "o'hara");
  EXPECT_EQ(s.KeyField, "UserName");
  EXPECT_EQ(s.KeyLiteral, "'o''hara'");
  EXPECT_EQ(s.Sql, "Insert Into Users (UserName, HasAdminPower) values ('o''hara', true);");

  s = CheckResourcePacket(kUpdate, "Requests",
                          Packet({{"RequestID", "integer", "3"}, {"from", "string", "bob"}}),
                          false);
  EXPECT_EQ(s.Sql, "Update Requests set From='bob' where RequestID=3");
  EXPECT_FALSE(s.IsUsers);
  s = CheckResourcePacket(kDelete, "Groups", Packet({{"GroupName", "string", "a\"b"}}), false);
  EXPECT_EQ(s.Sql, "Delete From Groups where GroupName='a\"b'");
}

TEST(ResourcePacketTest, RefusesNamesOutsideTheSchema) {
  const auto user = Packet({{"UserName", "string", "x"}});
  for (const char* table : {"Users;", "Users --", "../Users", "/etc/passwd", "", "Nope"})
    EXPECT_THROW(CheckResourcePacket(kCreate, table, user, false), EResourceRefused) << table;
  EXPECT_THROW(CheckResourcePacket(
                   kCreate, "Users",
                   Packet({{"UserName", "string", "x"}, {"Password=1;--", "string", "y"}}), false),
               EResourceRefused);
  EXPECT_THROW(CheckResourcePacket(kUpdate, "Users",
                                   Packet({{"UserName", "string", "x"},
                                           {"Password", "string", "a"},
                                           {"PASSWORD", "string", "b"}}),
                                   false),
               EResourceRefused);
  EXPECT_THROW(CheckResourcePacket(kCreate, "Users", cLiteXMLPacket(), false), EResourceRefused);
}

TEST(ResourcePacketTest, UsersAreKeyedByUserName) {
  EXPECT_THROW(CheckResourcePacket(kDelete, "Users", Packet({{"GroupName", "string", "S"}}), false),
               EResourceRefused);
  EXPECT_THROW(CheckResourcePacket(
                   kUpdate, "Users",
                   Packet({{"Password", "string", "p"}, {"UserName", "string", "x"}}), false),
               EResourceRefused);
  // other tables keep the designed freedom of field 0
  EXPECT_NO_THROW(
      CheckResourcePacket(kDelete, "Groups", Packet({{"ProfileName", "string", "P"}}), false));
}

TEST(ResourcePacketTest, RefusesUnsafeWrittenNamesAndOverlongTexts) {
  for (const char* name : {"", ".", "..", "a/b", "/abs", "tab\tx", "line\nx"})
    EXPECT_THROW(
        CheckResourcePacket(kCreate, "Users", Packet({{"UserName", "string", name}}), false),
        EResourceRefused)
        << name;
  EXPECT_THROW(CheckResourcePacket(kCreate, "Users",
                                   Packet({{"UserName", "string", std::string(33, 'u')}}), false),
               EResourceRefused);
  EXPECT_NO_THROW(CheckResourcePacket(
      kCreate, "Users", Packet({{"UserName", "string", std::string(32, 'u')}}), false));
  EXPECT_THROW(CheckResourcePacket(
                   kUpdate, "Users",
                   Packet({{"UserName", "string", "x"}, {"GroupName", "string", "a\rb"}}), false),
               EResourceRefused);
  EXPECT_THROW(
      CheckResourcePacket(kCreate, "Profiles", Packet({{"ProfileName", "string", "p\x7f"}}), false),
      EResourceRefused);
  // the key of an update or delete only selects: a strange one is no refusal
  EXPECT_NO_THROW(
      CheckResourcePacket(kDelete, "Users", Packet({{"UserName", "string", ".."}}), false));
  EXPECT_EQ(SharedColumnWidth("Users", "username"), 32u);
  EXPECT_EQ(SharedColumnWidth("Log", "EntryText"), 250u);
  EXPECT_FALSE(SharedColumnWidth("Users", "HasAdminPower"));
  EXPECT_FALSE(SharedColumnWidth("Nope", "x"));
}

TEST(ResourcePacketTest, ValuesMustBeLiteralsOfTheirType) {
  EXPECT_THROW(CheckResourcePacket(kCreate, "Profiles",
                                   Packet({{"ProfileName", "string", "p"},
                                           {"Privileges", "integer", "1; Delete from Users"}}),
                                   false),
               EPacketError);
  auto s = CheckResourcePacket(
      kCreate, "Profiles",
      Packet({{"ProfileName", "string", "p"}, {"Privileges", "integer", "-12"}}), false);
  EXPECT_EQ(s.Sql, "Insert Into Profiles (ProfileName, Privileges) values ('p', -12);");
}

TEST(ResourcePacketTest, SelfServiceKeepsOnlyTheNewUsersOwnFields) {
  auto s = CheckResourcePacket(kCreate, "USERS",
                               Packet({{"HasAdminPower", "boolean", "1"},
                                       {"Password", "string", "pw"},
                                       {"GroupName", "string", "Admins"},
                                       {"UserName", "string", "newbie"},
                                       {"AccountDisabled", "boolean", "0"},
                                       {"PrimaryEmail", "string", "n@x"}}),
                               true);
  EXPECT_EQ(s.KeyField, "UserName");
  EXPECT_EQ(s.Sql,
            "Insert Into Users (UserName, Password, PrimaryEmail) values ('newbie', 'pw', "
            "'n@x');");
  EXPECT_THROW(CheckResourcePacket(kCreate, "Groups", Packet({{"GroupName", "string", "G"}}), true),
               EResourceRefused);
  EXPECT_THROW(CheckResourcePacket(kCreate, "Users", Packet({{"Password", "string", "pw"}}), true),
               EResourceRefused);
  // a field that is no column is refused even when it would be dropped
  EXPECT_THROW(
      CheckResourcePacket(kCreate, "Users",
                          Packet({{"UserName", "string", "n"}, {"Bogus", "string", "pw"}}), true),
      EResourceRefused);
}

}  // namespace
}  // namespace zorvic
