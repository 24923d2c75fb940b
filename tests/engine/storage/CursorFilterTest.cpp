// Callback filters: counts, navigation that skips, bitmaps kept up to date by changes, limits
// and the errors of expression filters while no expression compiler is installed.
#include <gtest/gtest.h>

#include "engine/storage/CursorTestSupport.h"

namespace zorvic::engine::testing {
namespace {

class TCursorFilterTest : public TDatabaseFixture {
 protected:
  void SetUp() override {
    TDatabaseFixture::SetUp();
    C = &Create("F", CounterTable());
    TRec r(*C);
    for (int i = 1; i <= 30; ++i) {
      r.Init().Int("Value", i);
      C->InsertRecord(r.Bytes());
    }
  }
  // Passes records whose Value is a multiple of k.
  TRecordFilter MultipleOf(int k) {
    const std::uint32_t offset = C->FindField("Value")->FieldOffset;
    return [offset, k](const std::uint8_t* rec) { return GetI32(rec + offset + 1) % k == 0; };
  }
  std::vector<int> Values() {
    std::vector<int> out;
    TRec r(*C);
    C->First();
    while (C->GetNext(r.Bytes()) == VELDOR_NONE)
      out.push_back(r.GetInt("Value"));
    return out;
  }
  TDataCursor* C = nullptr;
};

TEST_F(TCursorFilterTest, FiltersNarrowEveryMode) {
  const int h = C->AddFilter(MultipleOf(3));
  EXPECT_TRUE(C->Filtered());
  EXPECT_EQ(C->FilterOptimisationLevel(), 0);
  EXPECT_EQ(C->RecordCount(), 10);
  EXPECT_EQ(Values(), (std::vector<int>{3, 6, 9, 12, 15, 18, 21, 24, 27, 30}));
  C->GoToRecordNumber(4);
  EXPECT_EQ(C->RecordNumber(), 4);
  TRec r(*C);
  C->GetCurrent(r.Bytes());
  EXPECT_EQ(r.GetInt("Value"), 12);
  // Two filters combine; record-number mode and ranges see the same records.
  const int h2 = C->AddFilter(MultipleOf(2));
  EXPECT_EQ(Values(), (std::vector<int>{6, 12, 18, 24, 30}));
  C->SetIndex(TDataCursor::kNoIndex);
  EXPECT_EQ(C->RecordCount(), 5);
  EXPECT_EQ(Values(), (std::vector<int>{6, 12, 18, 24, 30}));
  C->SetIndexByName("ByValue");
  TRec lo(*C), hi(*C);
  lo.Init().Int("Value", 10);
  hi.Init().Int("Value", 25);
  C->SetRange(lo.Bytes(), 1, hi.Bytes(), 1);
  EXPECT_EQ(C->RecordCount(), 3);
  C->CancelRange();

  // Changes re-test their record.
  r.Init().Int("Value", 36);
  C->InsertRecord(r.Bytes());
  r.Init().Int("Value", 37);
  C->InsertRecord(r.Bytes());
  EXPECT_EQ(C->RecordCount(), 6);
  C->First();
  C->GetNext(r.Bytes());  // 6
  ASSERT_EQ(C->BeginEdit(r.Bytes()), VELDOR_NONE);
  r.Int("Value", 7);
  C->ModifyRecord(r.Bytes());
  EXPECT_EQ(C->RecordCount(), 5);
  EXPECT_EQ(Values(), (std::vector<int>{12, 18, 24, 30, 36}));

  C->DeactivateFilter(h2);
  EXPECT_EQ(C->RecordCount(), 10);  // 3, 9, ..., 30 and 36 (6 became 7)
  C->DropFilter(h);
  EXPECT_FALSE(C->Filtered());  // the one left is not active
  C->DropAllFilters();
  EXPECT_FALSE(C->Filtered());
  EXPECT_EQ(C->RecordCount(), 32);
  EXPECT_ENGINE_ERROR(C->DropFilter(h), VELDOR_NOSUCHFILTER);
}

TEST_F(TCursorFilterTest, LimitsAndExpressionErrors) {
  for (int i = 0; i < TDataCursor::kMaxFilters; ++i)
    C->AddFilter(MultipleOf(1));
  const EVELDOREngineError full = CatchEngineError([&] { C->AddFilter(MultipleOf(1)); });
  EXPECT_EQ(full.ErrorCode, VELDOR_INTERNALLIMIT);
  EXPECT_EQ(std::string(full.what()),
            "VELDOR Engine Error # 9482 Too many filters defined for the table 'F'");
  C->DropAllFilters();

  const EVELDOREngineError empty = CatchEngineError([&] { C->AddFilter(std::string("  ")); });
  EXPECT_EQ(empty.ErrorCode, VELDOR_INVALIDFILTER);
  EXPECT_EQ(std::string(empty.what()),
            "VELDOR Engine Error # 10051 Filter error for the table 'F' - filter expression is "
            "empty");
  EXPECT_ENGINE_ERROR(C->AddFilter(TRecordFilter()), VELDOR_INVALIDFILTER);
  EXPECT_ENGINE_ERROR(C->AddFilter(std::string("Value > 3")), VELDOR_INVALIDFILTER);

  // An installed compiler takes expressions.
  struct TAbove : TFilterExpression {
    std::uint32_t Offset;
    explicit TAbove(std::uint32_t o) : Offset(o) {}
    bool Matches(const std::uint8_t* rec) override { return GetI32(rec + Offset + 1) > 25; }
    int OptimisationLevel() const override { return 2; }
  };
  TDataCursor::SetFilterCompiler([](const std::string&, TDataCursor& cursor) {
    return std::make_unique<TAbove>(cursor.FindField("Value")->FieldOffset);
  });
  C->AddFilter(std::string("Value > 25"));
  EXPECT_EQ(C->RecordCount(), 5);
  EXPECT_EQ(C->FilterOptimisationLevel(), 2);
  TDataCursor::SetFilterCompiler({});
}

// One record passing in index order (a looked-up key): the cursor stands on it by its key and
// steps to either end; when changes leave one record passing but bounds spanning two keys, the
// one that passes is still found.
TEST_F(TCursorFilterTest, ASingleRecordPassingInIndexOrder) {
  C->SetIndexByName("ByValue");
  const std::uint32_t offset = C->FindField("Value")->FieldOffset;
  C->AddFilter([offset](const std::uint8_t* rec) {
    const std::int32_t v = GetI32(rec + offset + 1);
    return v == 17 || v == 40;
  });
  EXPECT_EQ(Values(), (std::vector<int>{17}));
  TRec r(*C);
  C->First();
  ASSERT_EQ(C->GetNext(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(C->RecordNumber(), 1);
  EXPECT_EQ(C->GetNext(r.Bytes()), VELDOR_EOF);
  EXPECT_EQ(C->GetPrior(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(r.GetInt("Value"), 17);
  EXPECT_EQ(C->GetPrior(r.Bytes()), VELDOR_BOF);
  C->Last();
  ASSERT_EQ(C->GetPrior(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(r.GetInt("Value"), 17);

  // 17 becomes 16 and stops passing; 40 arrives and passes: one record, bounds over 17..40.
  r.Int("Value", 16);
  C->ModifyRecord(r.Bytes());
  EXPECT_TRUE(Values().empty());
  r.Init().Int("Value", 40);
  C->InsertRecord(r.Bytes());
  EXPECT_EQ(Values(), (std::vector<int>{40}));
  C->Last();
  ASSERT_EQ(C->GetPrior(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(r.GetInt("Value"), 40);
  EXPECT_EQ(C->GetPrior(r.Bytes()), VELDOR_BOF);
}

}  // namespace
}  // namespace zorvic::engine::testing
