// The implicit transaction of a long UPDATE: intermediate commits every interval rows, seen
// from a second session while the statement runs.
#include "engine/sql/exec/ExecTestSupport.h"

namespace zorvic::engine::test {
namespace {

class UpdateDeleteBatchTest : public TExecTest {
 protected:
  // A table of `count` records of exactly 100 bytes: an Integer V = 0 and padding.
  void MakeTable(int count) {
    int padding = 80;
    for (int attempt = 0; attempt < 2; ++attempt) {
      TTableCreation creation;
      TFieldDefinition v;
      v.Name = "V";
      v.DataType = dtInteger;
      TFieldDefinition pad;
      pad.Name = "Pad";
      pad.DataType = dtString;
      pad.Size = static_cast<std::uint32_t>(padding);
      creation.Table.Fields = {v, pad};
      TDataCursor cursor(*Database);
      cursor.CreateTable("Big", creation, true);
      cursor.Open("Big");
      const int size = cursor.RecordSize();
      if (size != 100) {
        padding += 100 - size;
        cursor.Close();
        continue;
      }
      std::vector<std::uint8_t> record(cursor.RecordSize());
      Database->StartTransaction();
      for (int i = 0; i < count; ++i) {
        cursor.InitRecord(record.data());
        cursor.SetFieldBytes(record.data(), 1, reinterpret_cast<const std::uint8_t*>("\0\0\0\0"));
        cursor.SetString(record.data(), 2, "x");
        cursor.InsertRecord(record.data());
      }
      Database->Commit();
      return;
    }
    FAIL() << "no padding gives a 100-byte record";
  }
};

TEST_F(UpdateDeleteBatchTest, LongUpdateCommitsEveryIntervalRows) {
  constexpr int kRows = 10000;
  MakeTable(kRows);
  ASSERT_EQ(Rows("Select COUNT(*) from Big where V = 0"), std::to_string(kRows));
  Session->SetProgressSteps(10);

  // A second session reads the committed state at every progress report.
  TDataSession other;
  TDataDirectory& otherDatabase = other.OpenDatabase(Dir.Path());
  TSqlExecution otherExecution(otherDatabase);
  TQueryStatement otherStatement(Dir.Path() + "/");
  std::vector<std::pair<int, int>> seen;  // (percent, committed rows)
  Statement->Progress = [&](int percent, bool&) {
    if (percent == 100) return;
    otherStatement.Prepare("Select COUNT(*) from Big where V = 1");
    otherExecution.Prepare(otherStatement);
    TResultText count = ReadCursor(*otherExecution.Execute(otherStatement));
    seen.emplace_back(percent, std::stoi(count.Rows.at(0).at(0)));
    otherExecution.Release();
  };
  EXPECT_EQ(Run("Update Big set V = 1").RowsAffected, kRows);
  ASSERT_FALSE(seen.empty());
  for (const auto& [percent, committed] : seen) {
    // Rows done when the report came, rounded down to whole batches of 32768 / 100 = 327.
    const int done = percent * kRows / 100;
    EXPECT_EQ(committed, done / 327 * 327) << "at " << percent << "%";
  }
  // The final commit leaves every row changed for everybody.
  otherStatement.Prepare("Select COUNT(*) from Big where V = 1");
  otherExecution.Prepare(otherStatement);
  EXPECT_EQ(ReadCursor(*otherExecution.Execute(otherStatement)).Joined(), std::to_string(kRows));
}

TEST_F(UpdateDeleteBatchTest, FailureKeepsTheBatchesCommittedBefore) {
  std::string script = "Create Table T(N Integer);Create Unique Index ByN on T(N);";
  for (int n = 1; n <= 100; ++n)
    script += "Insert into T values (" + std::to_string(n) + ");";
  script += "Insert into T values (1095)";
  Run(script);
  // Row 95 would become 1095, which exists: the statement fails after 94 changed rows, of
  // which the batches of 10 up to row 90 were committed.
  EXPECT_NE(Error("Update T set N = N + 1000 where N <= 100 COMMIT INTERVAL 10"), "");
  EXPECT_EQ(Rows("Select COUNT(*) from T where N > 1000"), "91");
  EXPECT_EQ(Rows("Select COUNT(*) from T where N between 91 and 100"), "10");
}

}  // namespace
}  // namespace zorvic::engine::test
