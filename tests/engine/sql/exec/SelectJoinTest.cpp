// Joins: inner joins from WHERE and JOIN ON, outer joins, cross products, ordering of tables.
#include "engine/sql/exec/ExecTestSupport.h"

namespace zorvic::engine::test {
namespace {

class SelectJoinTest : public TExecTest {
 protected:
  void SetUp() override {
    Run("Create Table Users(UserName VARCHAR(32), GroupName VARCHAR(32), Age Integer, "
        "Primary Key (UserName));"
        "Create Table Groups(GroupName VARCHAR(32), ProfileName VARCHAR(32), Primary Key "
        "(GroupName));"
        "Create Table Profiles(ProfileName VARCHAR(32), Privileges Integer, Primary Key "
        "(ProfileName));"
        "Insert into Users values ('alice', 'admins', 30);"
        "Insert into Users values ('bob', 'staff', 25);"
        "Insert into Users values ('carol', 'staff', 41);"
        "Insert into Users values ('dave', 'nobody', 50);"
        "Insert into Groups values ('admins', 'full');"
        "Insert into Groups values ('staff', 'basic');"
        "Insert into Groups values ('empty', 'basic');"
        "Insert into Profiles values ('full', 7);"
        "Insert into Profiles values ('basic', 1);");
  }
};

TEST_F(SelectJoinTest, InnerJoinsFromWhereAndOn) {
  const std::string expected = "alice,full;bob,basic;carol,basic";
  EXPECT_EQ(Rows("Select u.UserName, g.ProfileName from Users u, Groups g where u.GroupName = "
                 "g.GroupName order by 1"),
            expected);
  EXPECT_EQ(Rows("Select u.UserName, g.ProfileName from Users u join Groups g on u.GroupName = "
                 "g.GroupName order by 1"),
            expected);
  EXPECT_EQ(Rows("Select u.UserName, g.ProfileName from Users u inner join Groups g on "
                 "g.GroupName = u.GroupName order by 1 NOJOINOPTIMIZE"),
            expected);
  // Three tables, and a single-table condition on each side.
  EXPECT_EQ(Rows("Select u.UserName, p.Privileges from Users u, Groups g, Profiles p where "
                 "u.GroupName = g.GroupName and g.ProfileName = p.ProfileName and u.Age > 26 "
                 "and p.Privileges < 5"),
            "carol,1");
}

TEST_F(SelectJoinTest, ComparisonsOtherThanEqualAreTestedPerRow) {
  // a.x < b.y is no join link; every combination is tested.
  EXPECT_EQ(Rows("Select a.UserName, b.UserName from Users a, Users b where a.Age < b.Age and "
                 "b.UserName = 'carol' order by 1"),
            "alice,carol;bob,carol");
  EXPECT_EQ(Rows("Select a.UserName, b.UserName from Users a join Users b on a.Age + 20 = b.Age "
                 "order by 1"),
            "alice,dave");
  EXPECT_EQ(Rows("Select a.UserName from Users a, Groups g where a.GroupName = g.GroupName or "
                 "a.Age = 50 order by 1"),
            "alice;bob;carol;dave;dave;dave");
}

TEST_F(SelectJoinTest, CrossProduct) {
  EXPECT_EQ(Run("Select * from Users, Groups").Rows.size(), 12u);
  EXPECT_EQ(Rows("Select COUNT(*) from Users, Profiles"), "8");
}

TEST_F(SelectJoinTest, LeftOuterJoin) {
  EXPECT_EQ(Rows("Select u.UserName, g.ProfileName from Users u left outer join Groups g on "
                 "u.GroupName = g.GroupName order by 1"),
            "alice,full;bob,basic;carol,basic;dave,<null>");
  // WHERE after the join sees the NULL row.
  EXPECT_EQ(Rows("Select u.UserName from Users u left join Groups g on u.GroupName = "
                 "g.GroupName where g.ProfileName is null"),
            "dave");
  // An ON part naming only the inner table decides matching.
  EXPECT_EQ(Rows("Select u.UserName, g.ProfileName from Users u left join Groups g on "
                 "u.GroupName = g.GroupName and g.ProfileName = 'full' order by 1"),
            "alice,full;bob,<null>;carol,<null>;dave,<null>");
}

TEST_F(SelectJoinTest, OnPartOfThePreservedTableNeverRemovesItsRows) {
  EXPECT_EQ(Rows("Select u.UserName, g.ProfileName from Users u left join Groups g on "
                 "u.GroupName = g.GroupName and u.Age > 26 order by 1"),
            "alice,full;bob,<null>;carol,basic;dave,<null>");
  EXPECT_EQ(Rows("Select u.UserName, g.GroupName from Groups g right join Users u on "
                 "u.GroupName = g.GroupName and u.UserName = 'bob' order by 1"),
            "alice,<null>;bob,staff;carol,<null>;dave,<null>");
}

TEST_F(SelectJoinTest, RightOuterJoin) {
  EXPECT_EQ(Rows("Select g.GroupName, u.UserName from Users u right outer join Groups g on "
                 "u.GroupName = g.GroupName order by 1, 2"),
            "admins,alice;empty,<null>;staff,bob;staff,carol");
}

TEST_F(SelectJoinTest, ChainedOuterJoins) {
  EXPECT_EQ(Rows("Select u.UserName, p.Privileges from Users u left join Groups g on "
                 "u.GroupName = g.GroupName left join Profiles p on g.ProfileName = "
                 "p.ProfileName order by 1"),
            "alice,7;bob,1;carol,1;dave,<null>");
}

TEST_F(SelectJoinTest, Messages) {
  EXPECT_EQ(Error("Select * from Users a, Users b where a.Age + b.Age = 5"),
            SqlError("The join condition cannot contain multiple table correlation names in "
                     "either the left or right operand in WHERE or JOIN clause"));
  EXPECT_EQ(Error("Select * from Users u left join Groups g on u.GroupName = g.GroupName right "
                  "join Profiles p on g.ProfileName = p.ProfileName"),
            SqlError("Internal join error - table correlation name \"g\" is target of multiple "
                     "join conditions in WHERE or JOIN clause"));
  EXPECT_EQ(Error("Select * from Users a, Users b where z.Age = 5"),
            SqlError("Table correlation name 'z' referenced in WHERE clause is not defined in "
                     "the FROM clause"));
}

TEST_F(SelectJoinTest, LinksBetweenColumnsOfDifferentTypes) {
  Run("Create Table A(N Integer);Create Table B(F Float, Tag VARCHAR(5));"
      "Insert into A values (1);Insert into A values (2);Insert into A values (3);"
      "Insert into A values (2);"
      "Insert into B values (1.0, 'one');Insert into B values (2.5, 'half');"
      "Insert into B values (2, 'two');Insert into B values (NULL, 'none')");
  const std::string expected = "1,one;2,two;2,two";
  EXPECT_EQ(Rows("Select a.N, b.Tag from A a, B b where a.N = b.F order by 1"), expected);
  EXPECT_EQ(Rows("Select a.N, b.Tag from B b, A a where b.F = a.N order by 1"), expected);
  EXPECT_EQ(Rows("Select a.N, b.Tag from A a left join B b on b.F = a.N order by 1, 2"),
            "1,one;2,two;2,two;3,<null>");
}

TEST_F(SelectJoinTest, JoinOrderDoesNotChangeTheRows) {
  // Reordered (the smaller Profiles table drives) and in FROM order give the same rows.
  const std::string text =
      "Select u.UserName, p.ProfileName from Users u, Groups g, Profiles p where u.GroupName = "
      "g.GroupName and g.ProfileName = p.ProfileName order by 1";
  const std::string reordered = Rows(text);
  EXPECT_EQ(reordered, "alice,full;bob,basic;carol,basic");
  EXPECT_EQ(Rows(text + " NOJOINOPTIMIZE"), reordered);
}

}  // namespace
}  // namespace zorvic::engine::test
