// The query component's view of a long statement: an abort through OnQueryProgress fails the
// change and stops the script, and every run reports the index pages and records it read.
#include "engine/sql/query/QueryTestSupport.h"

namespace zorvic::engine::testing {
namespace {

class TQueryProgressTest : public TQueryTest {
 protected:
  void SetUp() override {
    std::string script = "Create Table T(N Integer, V Integer, Primary Key (N));";
    for (int n = 1; n <= 60; ++n)
      script += "Insert into T values (" + std::to_string(n) + ", 0);";
    Run(script);
    TVELDORSessionList::Instance().DefaultSession().SetProgressSteps(10);
  }
  std::string Count(const std::string& where) {
    return Column("Select COUNT(*) from T where " + where).at(0);
  }
};

TEST_F(TQueryProgressTest, AbortedChangeFailsAndStopsTheScript) {
  TVELDORQuery q;
  Use(q, "Update T set V = 1 COMMIT INTERVAL 20; Update T set V = 2");
  q.OnQueryProgress = [](TVELDORQuery&, int percent, bool& abort) {
    if (percent >= 50 && percent < 100) abort = true;
  };
  EXPECT_EQ(ErrorOf([&] { q.RunSQL(); }), std::string(kSqlError) + "Statement aborted");
  EXPECT_EQ(EngineCodeOf([&] { q.RunSQL(); }), VELDOR_SQLPARSE);
  EXPECT_EQ(q.StatementsRun(), 0);
  EXPECT_FALSE(q.Active());
  // The first batch of 20 was committed before the abort; the second statement never ran.
  EXPECT_EQ(Count("V = 1"), "20");
  EXPECT_EQ(Count("V = 2"), "0");
  // Without the abort the same query runs the whole text.
  q.OnQueryProgress = nullptr;
  q.RunSQL();
  EXPECT_EQ(q.AffectedRows(), 120);
  EXPECT_EQ(Count("V = 2"), "60");
}

TEST_F(TQueryProgressTest, RunsReportTheirReads) {
  TVELDORQuery q;
  Use(q, "Select V from T where N = 30");
  q.Open();
  EXPECT_EQ(q.RecordCount(), 1);
  EXPECT_GE(q.RecordsRead(), 1u);
  EXPECT_LE(q.RecordsRead(), 2u);
  EXPECT_GE(q.IndexPagesRead(), 1u);
  q.Close();
  // Every statement of a script counts; a scan reads every record.
  Use(q, "Select V from T where N = 1; Select V from T where V = 5");
  q.Open();
  EXPECT_GE(q.RecordsRead(), 61u);
  q.Close();
  // A text that fails before anything runs has read nothing.
  Use(q, "Select V from Nowhere");
  EXPECT_NE(ErrorOf([&] { q.Open(); }), "");
  EXPECT_EQ(q.RecordsRead(), 0u);
  EXPECT_EQ(q.IndexPagesRead(), 0u);
}

}  // namespace
}  // namespace zorvic::engine::testing
