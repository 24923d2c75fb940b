// Detail queries: a query whose DataSource is a master dataset takes its parameters from the
// master's current record and runs again whenever the master opens, moves or is refreshed.
#include "engine/sql/query/QueryTestSupport.h"

#include <memory>

namespace zorvic::engine::testing {
namespace {

class TQueryDetailTest : public TQueryTest {
 protected:
  void SetUp() override {
    RunSchema();
    Run("Insert into Groups (GroupName) values ('admins');"
        "Insert into Groups (GroupName) values ('empty');"
        "Insert into Groups (GroupName) values ('staff');"
        "Insert into Users (UserName, Password, GroupName) values ('alice', 'p', 'admins');"
        "Insert into Users (UserName, Password, GroupName) values ('bob', 'p', 'staff');"
        "Insert into Users (UserName, Password, GroupName) values ('carol', 'p', 'staff');"
        "Insert into Users (UserName, Password, GroupName) values ('dave', 'p', 'admins')");
    Groups.SetDatabaseName(Dir.Path());
    Groups.SetTableName("Groups");
    Source.DataSet = &Groups;
    Use(Members, "Select UserName from Users where GroupName = :GroupName order by UserName");
    Members.SetDataSource(&Source);
    // Every run of the detail reports 100 when it is through.
    Members.OnQueryProgress = [this](TVELDORQuery&, int percent, bool&) {
      if (percent == 100) ++Runs;
    };
  }
  void TearDown() override {
    Members.Close();
    Groups.Close();
    TQueryTest::TearDown();
  }

  // The user names the detail shows, joined by ",".
  std::string Shown(TVELDORQuery& q) {
    std::string names;
    for (q.First(); !q.Eof(); q.Next())
      names += (names.empty() ? "" : ",") + q.Field(0).AsString();
    q.First();
    return names;
  }

  TVELDORTable Groups;
  TVELDORDataSource Source;
  TVELDORQuery Members;
  int Runs = 0;
};

TEST_F(TQueryDetailTest, DetailFollowsEveryMoveOfTheMaster) {
  Groups.Open();
  Members.Open();
  EXPECT_EQ(Shown(Members), "alice,dave");
  Groups.Next();
  EXPECT_EQ(Groups.FieldByName("GroupName").AsString(), "empty");
  EXPECT_EQ(Shown(Members), "");
  Groups.Next();
  EXPECT_EQ(Shown(Members), "bob,carol");
  Groups.Prior();
  Groups.Prior();
  EXPECT_EQ(Shown(Members), "alice,dave");
  Groups.Last();
  EXPECT_EQ(Shown(Members), "bob,carol");
  Groups.SetRecNo(1);
  EXPECT_EQ(Shown(Members), "alice,dave");
  // Next past the last record does not move the master: the detail is not run again.
  Groups.Last();
  Runs = 0;
  Groups.Next();
  EXPECT_EQ(Runs, 0);
  // Locate tries several records but the detail runs once, for the record it ends on (as
  // many reports as one move gives).
  Groups.Last();
  Runs = 0;
  Groups.First();
  const int perRun = Runs;
  ASSERT_GT(perRun, 0);
  Runs = 0;
  ASSERT_TRUE(Groups.Locate({"GroupName"}, {"staff"}));
  EXPECT_EQ(Runs, perRun);
  EXPECT_EQ(Shown(Members), "bob,carol");
  // A bookmark taken on one record brings its members back.
  const auto staff = Groups.GetBookmark();
  Groups.First();
  Groups.GotoBookmark(staff);
  EXPECT_EQ(Shown(Members), "bob,carol");
}

TEST_F(TQueryDetailTest, MasterOpenRefreshAndChanges) {
  // Without an open master the parameter has no value.
  EXPECT_EQ(ErrorOf([&] { Members.Open(); }), "No value for parameter 'GroupName'");
  EXPECT_FALSE(Members.Active());
  Groups.Open();
  // The master's moves do not open a closed detail.
  Groups.Next();
  EXPECT_FALSE(Members.Active());
  Members.Open();
  EXPECT_EQ(Shown(Members), "");
  // Opening the master again puts it on its first record, and the detail follows.
  Groups.Close();
  EXPECT_TRUE(Members.Active());
  Groups.Open();
  EXPECT_EQ(Shown(Members), "alice,dave");
  // A refresh of the master runs the detail again and shows what others wrote meanwhile.
  Run("Insert into Users (UserName, Password, GroupName) values ('erin', 'p', 'admins')");
  Groups.Refresh();
  EXPECT_EQ(Shown(Members), "alice,dave,erin");
  // Changing the master's record: the detail follows the posted values.
  Groups.Edit();
  Groups.FieldByName("GroupName").SetAsString("crew");
  Groups.Post();
  EXPECT_EQ(Groups.FieldByName("GroupName").AsString(), "crew");
  EXPECT_EQ(Shown(Members), "");
  Run("Update Users set GroupName = 'crew' where GroupName = 'admins'");
  Groups.Refresh();
  EXPECT_EQ(Shown(Members), "alice,dave,erin");
  // A new master record has no values yet: the detail shows the members of no group, then
  // those of the record the master returns to.
  Groups.Insert();
  EXPECT_EQ(Shown(Members), "");
  Groups.Cancel();
  EXPECT_EQ(Shown(Members), "alice,dave,erin");
}

TEST_F(TQueryDetailTest, ParameterSetByTheProgramWins) {
  Groups.Open();
  Members.ParamByName("GroupName").SetAsString("staff");
  Members.Open();
  EXPECT_EQ(Shown(Members), "bob,carol");
  Groups.Last();
  Groups.First();
  EXPECT_EQ(Shown(Members), "bob,carol");
}

TEST_F(TQueryDetailTest, QueryMasterAndChainedDetails) {
  // The master is itself a query; a third query counts the members of the detail's first user
  // group, following the detail.
  TVELDORQuery groups;
  Use(groups, "Select GroupName from Groups where GroupName <> 'empty' order by GroupName desc");
  Source.DataSet = &groups;
  TVELDORQuery first;
  Use(first, "Select count(*) from Users where UserName >= :UserName");
  TVELDORDataSource membersSource(&Members);
  first.SetDataSource(&membersSource);
  groups.Open();
  Members.Open();
  first.Open();
  EXPECT_EQ(Shown(Members), "bob,carol");
  EXPECT_EQ(first.Field(0).AsString(), "3");  // bob, carol, dave
  groups.Next();
  EXPECT_EQ(Shown(Members), "alice,dave");
  EXPECT_EQ(first.Field(0).AsString(), "4");
  // Running the master again starts it on its first row; both details follow.
  groups.Close();
  groups.Open();
  EXPECT_EQ(Shown(Members), "bob,carol");
  EXPECT_EQ(first.Field(0).AsString(), "3");
  // A detail cannot be linked back into its own chain.
  TVELDORDataSource back(&first);
  EXPECT_EQ(ErrorOf([&] { Members.SetDataSource(&back); }), "Circular data links are not allowed.");
  first.Close();
  Members.Close();
}

TEST_F(TQueryDetailTest, ChangingOrLosingTheMaster) {
  Groups.Open();
  Members.Open();
  EXPECT_EQ(Shown(Members), "alice,dave");
  // An open detail given another master runs at once on that master's record.
  auto other = std::make_unique<TVELDORTable>();
  other->SetDatabaseName(Dir.Path());
  other->SetTableName("Groups");
  other->Open();
  other->Last();
  TVELDORDataSource otherSource(other.get());
  Members.SetDataSource(&otherSource);
  EXPECT_EQ(Shown(Members), "bob,carol");
  // The old master no longer moves it.
  Groups.Last();
  Groups.First();
  EXPECT_EQ(Shown(Members), "bob,carol");
  // A master destroyed while the detail is open ends the link; the detail keeps its rows.
  other.reset();
  otherSource.DataSet = nullptr;
  EXPECT_TRUE(Members.Active());
  EXPECT_EQ(Shown(Members), "bob,carol");
  Members.Close();
  Members.SetDataSource(&Source);
  Members.Open();
  EXPECT_EQ(Shown(Members), "alice,dave");
}

}  // namespace
}  // namespace zorvic::engine::testing
