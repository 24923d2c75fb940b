// Expression filters answered from indexes: optimisation levels, the records they show, the
// NOCASE and prefix rules, negations, and the records a filter build reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "engine/sql/filter/FilterTestSupport.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine::testing {
namespace {

std::string Upper(std::string s) {
  for (char& ch : s)
    ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return s;
}

class TFilterIndexTest : public TFilterFixture {
 protected:
  void SetUp() override {
    TFilterFixture::SetUp();
    C = &Create("Items", ItemsTable());
    const char* names[] = {"alpha", "Alpha", "alps", "beta", "BETA", "bet", "gamma", "ab", "Abba"};
    const char* codes[] = {"ab1", "AB2", "Ab3", "cd", nullptr, "abc"};
    for (int i = 0; i < 40; ++i) {
      TItem item;
      item.Name = names[i % 9];
      item.Num = i % 10;
      if (codes[i % 6]) item.Code = codes[i % 6];
      item.Note = i % 4 == 0 ? "x" : "y";
      if (i % 7 != 3) item.Amount = i * 0.5 - 5;
      Items.push_back(item);
      Insert(*C, item);
    }
  }
  // The IDs of the items for which pred holds (IDs are 1-based insert positions).
  std::set<std::int32_t> Expect(const std::function<bool(const TItem&)>& pred) const {
    std::set<std::int32_t> out;
    for (std::size_t i = 0; i < Items.size(); ++i)
      if (pred(Items[i])) out.insert(static_cast<std::int32_t>(i + 1));
    return out;
  }
  // Filters by text, checks the records shown and the count, returns the optimisation level.
  int Check(const std::string& text, const std::function<bool(const TItem&)>& pred) {
    const int h = C->AddFilter(text);
    const std::set<std::int32_t> want = Expect(pred);
    EXPECT_EQ(IdSet(*C), want) << text;
    EXPECT_EQ(C->RecordCount(), static_cast<std::int64_t>(want.size())) << text;
    const int level = C->FilterOptimisationLevel();
    C->DropFilter(h);
    return level;
  }
  TDataCursor* C = nullptr;
  std::vector<TItem> Items;
};

TEST_F(TFilterIndexTest, ComparisonsOnIndexedColumnsAreAnsweredWholly) {
  EXPECT_EQ(Check("Num = 5", [](const TItem& t) { return *t.Num == 5; }), 2);
  EXPECT_EQ(Check("Num > 7", [](const TItem& t) { return *t.Num > 7; }), 2);
  EXPECT_EQ(Check("Num >= 7", [](const TItem& t) { return *t.Num >= 7; }), 2);
  EXPECT_EQ(Check("Num < 2", [](const TItem& t) { return *t.Num < 2; }), 2);
  EXPECT_EQ(Check("Num <= 2", [](const TItem& t) { return *t.Num <= 2; }), 2);
  EXPECT_EQ(Check("Num <> 4", [](const TItem& t) { return *t.Num != 4; }), 2);
  EXPECT_EQ(Check("Name = 'alpha'", [](const TItem& t) { return *t.Name == "alpha"; }), 2);
  EXPECT_EQ(Check("Name < 'b'", [](const TItem& t) { return *t.Name < "b"; }), 2);
  // A Boolean-looking column alone is not one here; a compare with a constant on the left is
  // evaluated per record.
  EXPECT_EQ(Check("5 = Num", [](const TItem& t) { return *t.Num == 5; }), 0);
  EXPECT_EQ(Check("Note = 'x'", [](const TItem& t) { return *t.Note == "x"; }), 0);
}

TEST_F(TFilterIndexTest, PrimaryKeyAndFloatZeroAreFoundThroughTheirIndexes) {
  const int h = C->AddFilter("ID = 17");
  EXPECT_EQ(C->FilterOptimisationLevel(), 2);
  EXPECT_EQ(Ids(*C), (std::vector<std::int32_t>{17}));
  C->DropFilter(h);
  // -0 and +0 compare equal but have different keys: both bounds must hold both.
  TItem negativeZero;
  negativeZero.Name = "nz";
  negativeZero.Num = 0;
  negativeZero.Amount = -0.0;
  Items.push_back(negativeZero);
  Insert(*C, negativeZero);
  auto zero = [](const TItem& t) { return t.Amount && *t.Amount == 0; };
  EXPECT_EQ(Check("Amount = 0", zero), 2);
  EXPECT_EQ(Check("Amount >= 0", [](const TItem& t) { return t.Amount && *t.Amount >= 0; }), 2);
  EXPECT_EQ(Check("Amount <= 0", [](const TItem& t) { return t.Amount && *t.Amount <= 0; }), 2);
  EXPECT_EQ(Check("Amount < 0", [](const TItem& t) { return t.Amount && *t.Amount < 0; }), 2);
  // An Integer column against a constant it cannot hold is still right.
  EXPECT_EQ(Check("Num > 4.5", [](const TItem& t) { return *t.Num > 4.5; }) >= 0, true);
  EXPECT_EQ(Check("Num = 4.5", [](const TItem&) { return false; }) >= 0, true);
}

TEST_F(TFilterIndexTest, AndOrCombineGrades) {
  // Partly answerable AND.
  EXPECT_EQ(
      Check("Num = 5 AND Note = 'y'", [](const TItem& t) { return *t.Num == 5 && *t.Note == "y"; }),
      1);
  EXPECT_EQ(
      Check("Note = 'y' AND Num = 5", [](const TItem& t) { return *t.Num == 5 && *t.Note == "y"; }),
      1);
  EXPECT_EQ(Check("Num = 5 AND Name = 'beta'",
                  [](const TItem& t) { return *t.Num == 5 && *t.Name == "beta"; }),
            2);
  EXPECT_EQ(Check("Num = 5 OR Name = 'beta'",
                  [](const TItem& t) { return *t.Num == 5 || *t.Name == "beta"; }),
            2);
  // OR with a side no index answers.
  EXPECT_EQ(
      Check("Num = 5 OR Note = 'x'", [](const TItem& t) { return *t.Num == 5 || *t.Note == "x"; }),
      0);
  // OR over a partly answerable side.
  EXPECT_EQ(Check("(Num = 5 AND Note = 'y') OR Num = 6",
                  [](const TItem& t) { return (*t.Num == 5 && *t.Note == "y") || *t.Num == 6; }),
            0);
  // Nested: an AND whose answerable side is itself an OR.
  EXPECT_EQ(Check("(Num = 1 OR Num = 2) AND Note = 'x'",
                  [](const TItem& t) { return (*t.Num == 1 || *t.Num == 2) && *t.Note == "x"; }),
            1);
}

TEST_F(TFilterIndexTest, NoCaseIndexesServeOnlyCaseInsensitiveTests) {
  // Code has only a NOCASE index: a case-sensitive compare cannot use it.
  EXPECT_EQ(Check("Code = 'ab1'", [](const TItem& t) { return t.Code && *t.Code == "ab1"; }), 0);
  EXPECT_EQ(Check("UPPER(Code) = 'AB1'",
                  [](const TItem& t) { return t.Code && Upper(*t.Code) == "AB1"; }),
            2);
  // UPPER against a constant that is not upper case matches nothing, through the index too.
  EXPECT_EQ(Check("UPPER(Code) = 'ab1'", [](const TItem&) { return false; }), 2);
  EXPECT_EQ(Check("UPPER(Code) >= 'AB2'",
                  [](const TItem& t) { return t.Code && Upper(*t.Code) >= "AB2"; }),
            2);
  // An ordered compare with lower-case letters would be moved by the key's case folding.
  EXPECT_EQ(Check("UPPER(Code) < 'ab2'",
                  [](const TItem& t) { return !t.Code || Upper(*t.Code) < "ab2"; }),
            0);
  EXPECT_EQ(Check("UPPER(Name) = 'BETA'", [](const TItem& t) { return Upper(*t.Name) == "BETA"; }),
            2);
  // IS NULL goes through any index on the column.
  EXPECT_EQ(Check("Code IS NULL", [](const TItem& t) { return !t.Code; }), 2);
  EXPECT_EQ(Check("Code IS NOT NULL", [](const TItem& t) { return t.Code.has_value(); }), 2);
  EXPECT_EQ(Check("Amount IS NULL", [](const TItem& t) { return !t.Amount; }), 2);
  EXPECT_EQ(Check("Note IS NULL", [](const TItem&) { return false; }), 0);
}

TEST_F(TFilterIndexTest, PrefixComparesFromStarsAndLike) {
  auto startsWith = [](const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; };
  // 'al*' is a case-sensitive prefix compare: the case-sensitive Name index.
  EXPECT_EQ(Check("Name = 'al*'", [&](const TItem& t) { return startsWith(*t.Name, "al"); }), 2);
  EXPECT_EQ(Check("Name <> 'al*'", [&](const TItem& t) { return !startsWith(*t.Name, "al"); }), 2);
  // Code has only a NOCASE index.
  EXPECT_EQ(
      Check("Code = 'ab*'", [&](const TItem& t) { return t.Code && startsWith(*t.Code, "ab"); }),
      0);
  // LIKE with a plain prefix ignores case under the default language: a NOCASE index serves it.
  EXPECT_EQ(Check("Code LIKE 'ab%'",
                  [&](const TItem& t) { return t.Code && startsWith(Upper(*t.Code), "AB"); }),
            2);
  EXPECT_EQ(
      Check("Name LIKE 'al%'", [&](const TItem& t) { return startsWith(Upper(*t.Name), "AL"); }),
      2);
  EXPECT_EQ(Check("Name NOT LIKE 'al%'",
                  [&](const TItem& t) { return !startsWith(Upper(*t.Name), "AL"); }),
            2);
  EXPECT_EQ(Check("UPPER(Name) LIKE 'BE%'",
                  [&](const TItem& t) { return startsWith(Upper(*t.Name), "BE"); }),
            2);
  // A pattern that is not a plain prefix is evaluated per record.
  EXPECT_EQ(Check("Name LIKE 'a%a'",
                  [&](const TItem& t) {
                    const std::string u = Upper(*t.Name);
                    return u.size() >= 2 && u.front() == 'A' && u.back() == 'A';
                  }),
            0);
}

TEST_F(TFilterIndexTest, InListsAndBetween) {
  EXPECT_EQ(Check("Num IN (1, 3, 8)",
                  [](const TItem& t) { return *t.Num == 1 || *t.Num == 3 || *t.Num == 8; }),
            2);
  EXPECT_EQ(Check("Num NOT IN (1, 3, 8)",
                  [](const TItem& t) { return !(*t.Num == 1 || *t.Num == 3 || *t.Num == 8); }),
            2);
  EXPECT_EQ(Check("Code IN ('cd', '')", [](const TItem& t) { return !t.Code || *t.Code == "cd"; }),
            0);  // Code's only index is NOCASE
  EXPECT_EQ(Check("UPPER(Code) IN ('CD', 'AB2')",
                  [](const TItem& t) {
                    return t.Code && (Upper(*t.Code) == "CD" || Upper(*t.Code) == "AB2");
                  }),
            2);
  EXPECT_EQ(Check("Num BETWEEN 3 AND 6", [](const TItem& t) { return *t.Num >= 3 && *t.Num <= 6; }),
            2);
  EXPECT_EQ(Check("Num NOT BETWEEN 3 AND 6",
                  [](const TItem& t) { return !(*t.Num >= 3 && *t.Num <= 6); }),
            2);
  EXPECT_EQ(Check("Num BETWEEN 6 AND 3", [](const TItem&) { return false; }), 2);
  EXPECT_EQ(Check("Name BETWEEN 'alp' AND 'b'",
                  [](const TItem& t) { return *t.Name >= "alp" && *t.Name <= "b"; }),
            2);
}

TEST_F(TFilterIndexTest, NotTakesTheGradeOfAWhollyAnsweredOperandOnly) {
  EXPECT_EQ(Check("NOT (Num = 5)", [](const TItem& t) { return *t.Num != 5; }), 2);
  EXPECT_EQ(Check("NOT (Num = 5 OR Num < 2)",
                  [](const TItem& t) { return !(*t.Num == 5 || *t.Num < 2); }),
            2);
  // The complement of a partly answered operand would drop records that pass: not answered.
  EXPECT_EQ(Check("NOT (Num = 5 AND Note = 'x')",
                  [](const TItem& t) { return !(*t.Num == 5 && *t.Note == "x"); }),
            0);
  EXPECT_EQ(Check("NOT (Num = 5 AND Note = 'x') AND Num < 6",
                  [](const TItem& t) { return !(*t.Num == 5 && *t.Note == "x") && *t.Num < 6; }),
            1);
  EXPECT_EQ(Check("NOT NOT (Num = 5)", [](const TItem& t) { return *t.Num == 5; }), 2);
}

TEST_F(TFilterIndexTest, AnalysisEstimatesCountKeysInTheRanges) {
  auto analyse = [&](const std::string& text, bool rule) {
    TExpTokenPtr prepared = CompileFilterCondition(*C, text);
    return AnalyseCondition(*C, *prepared, rule);
  };
  TIndexAnalysis a = analyse("Num = 5", true);
  EXPECT_EQ(a.Grade, 2);
  EXPECT_EQ(a.Estimate, 4);
  EXPECT_TRUE(a.Answerable);
  // IN: the smallest item count; BETWEEN: the smaller half range.
  EXPECT_EQ(analyse("Num IN (5, 1, 99)", false).Estimate, 0);
  EXPECT_EQ(analyse("Num IN (5, 1)", false).Estimate, 4);
  EXPECT_EQ(analyse("Num BETWEEN 2 AND 8", false).Estimate, 32);  // >= 2: 32 keys, <= 8: 36 keys
  EXPECT_EQ(analyse("Num <> 5", false).Estimate, 36);
  // AND: the smaller side; OR: the larger.
  EXPECT_EQ(analyse("Num = 5 AND Num < 2", false).Estimate, 4);
  EXPECT_EQ(analyse("Num = 5 OR Num < 2", false).Estimate, 8);
  TIndexAnalysis partial = analyse("Note = 'x' AND Num = 5", false);
  EXPECT_EQ(partial.Grade, 1);
  EXPECT_EQ(partial.Estimate, 4);
  TIndexAnalysis none = analyse("Note = 'x'", false);
  EXPECT_EQ(none.Grade, 0);
  EXPECT_FALSE(none.Answerable);
}

TEST_F(TFilterIndexTest, SelectivityRuleTurnsDownNearlyEveryRecord) {
  auto analyse = [&](const std::string& text, bool rule) {
    TExpTokenPtr prepared = CompileFilterCondition(*C, text);
    return AnalyseCondition(*C, *prepared, rule);
  };
  // 36 of 40 keys: exactly trunc(0.9 x 40), still answered.
  EXPECT_EQ(analyse("Num <> 5", true).Grade, 2);
  EXPECT_EQ(analyse("Num >= 1", true).Grade, 2);
  // 37 or more keys: graded 0 but marked answerable.
  TIndexAnalysis most = analyse("Num >= 0", true);
  EXPECT_EQ(most.Grade, 0);
  EXPECT_TRUE(most.Answerable);
  EXPECT_EQ(most.Estimate, 40);
  EXPECT_EQ(analyse("Num >= 0", false).Grade, 2);
  // Beside a wholly answered side it is answered after all.
  EXPECT_EQ(analyse("Num >= 0 AND Num = 5", true).Grade, 2);
  EXPECT_EQ(analyse("Num = 5 OR Num >= 0", true).Grade, 2);
  EXPECT_EQ(analyse("Num >= 0 AND Note = 'x'", true).Grade, 0);
  EXPECT_EQ(analyse("Num >= 0 AND Num >= 1", true).Grade, 2);
  EXPECT_EQ(analyse("Num >= 0 AND Num <> 99", true).Grade, 0);
  EXPECT_EQ(analyse("Num >= 0 OR Num <> 99", true).Grade, 0);
  // A condition filter applies the rule itself and still shows the right records.
  TEvalContext context;
  const int h = AddConditionFilter(*C, CompileFilterCondition(*C, "Num >= 0"), context);
  EXPECT_EQ(C->FilterOptimisationLevel(), 0);
  EXPECT_EQ(C->RecordCount(), 40);
  C->DropFilter(h);
  AddConditionFilter(*C, CompileFilterCondition(*C, "Num >= 8"), context);
  EXPECT_EQ(C->FilterOptimisationLevel(), 2);
  EXPECT_EQ(C->RecordCount(), 8);
}

TEST_F(TFilterIndexTest, ConditionFiltersIgnoreSourceHandlesAndOtherCollations) {
  TExpTokenPtr prepared = CompileFilterCondition(*C, "Name = 'beta' AND Num >= 3");
  // The executor's column handles mean nothing to the cursor: only field numbers count.
  std::vector<TExpToken*> stack{prepared.get()};
  while (!stack.empty()) {
    TExpToken* n = stack.back();
    stack.pop_back();
    n->SourceTable = reinterpret_cast<void*>(0x1);
    for (TExpToken* child : {n->Left.get(), n->Right.get()})
      if (child) stack.push_back(child);
  }
  TEvalContext context;
  AddConditionFilter(*C, std::move(prepared), context);
  EXPECT_EQ(C->FilterOptimisationLevel(), 2);
  EXPECT_EQ(IdSet(*C), Expect([](const TItem& t) { return *t.Name == "beta" && *t.Num >= 3; }));
  C->DropAllFilters();
  // Evaluated under another language, String compares are not served by the table's keys.
  context.LanguageId = 1033;
  AddConditionFilter(*C, CompileFilterCondition(*C, "Name = 'beta'"), context);
  EXPECT_EQ(C->FilterOptimisationLevel(), 0);
}

TEST_F(TFilterIndexTest, ChangesKeepTheBitmapCurrent) {
  C->AddFilter("Num = 5");
  EXPECT_EQ(C->RecordCount(), 4);
  TItem item;
  item.Name = "new";
  item.Num = 5;
  const std::int32_t id = Insert(*C, item);
  EXPECT_EQ(C->RecordCount(), 5);
  item.Num = 6;
  Insert(*C, item);
  EXPECT_EQ(C->RecordCount(), 5);
  // Modify the new record out of the filter.
  std::vector<std::uint8_t> buffer(C->RecordSize());
  C->First();
  while (C->GetNext(buffer.data()) == VELDOR_NONE && RecRowId(buffer.data()) != id) {
  }
  ASSERT_EQ(RecRowId(buffer.data()), id);
  ASSERT_EQ(C->BeginEdit(), VELDOR_NONE);
  std::uint8_t b[4];
  PutI32(b, 7);
  C->SetFieldBytes(buffer.data(), fNum, b);
  C->ModifyRecord(buffer.data());
  EXPECT_EQ(C->RecordCount(), 4);
  // Another cursor's changes are seen at the next operation.
  TDataCursor& other = NewCursor();
  other.Open("Items");
  item.Num = 5;
  Insert(other, item);
  EXPECT_EQ(C->RecordCount(), 5);
  other.First();
  ASSERT_EQ(other.GetNext(buffer.data()), VELDOR_NONE);  // ID 1, Num 0
  other.DeleteRecord();
  EXPECT_EQ(C->RecordCount(), 5);
  other.SetIndexByName("ByNum");
  TRec key(other);
  key.Init().Int("Num", 5);
  ASSERT_TRUE(other.FindKey(key.Bytes(), 1));
  other.DeleteRecord();
  EXPECT_EQ(C->RecordCount(), 4);
  EXPECT_EQ(C->FilterOptimisationLevel(), 2);
}

TEST_F(TFilterIndexTest, SixtyFifthFilterIsRefused) {
  for (int i = 0; i < TDataCursor::kMaxFilters; ++i)
    C->AddFilter(i % 2 ? "Num >= 0" : "Num < 100");
  EXPECT_EQ(C->RecordCount(), 40);
  EXPECT_EQ(ErrorText([&] { C->AddFilter("Num = 1"); }),
            "VELDOR Engine Error # 9482 Too many filters defined for the table 'Items'");
  EXPECT_EQ(ErrorCodeOf([&] { C->AddFilter([](const std::uint8_t*) { return true; }); }),
            VELDOR_INTERNALLIMIT);
  EXPECT_EQ(C->RecordCount(), 40);
  C->DropAllFilters();
  EXPECT_FALSE(C->Filtered());
}

TEST_F(TFilterIndexTest, FilterErrorsNameTheTable) {
  const std::string prefix = "VELDOR Engine Error # 10051 Filter error for the table 'Items' - ";
  EXPECT_EQ(ErrorText([&] { C->AddFilter("   "); }), prefix + "filter expression is empty");
  EXPECT_EQ(ErrorText([&] { C->AddFilter("/* nothing */"); }),
            prefix + "filter expression is empty");
  EXPECT_EQ(ErrorText([&] { C->AddFilter("Num + 1"); }),
            prefix + "filter expression must be a boolean expression");
  EXPECT_EQ(ErrorText([&] { C->AddFilter("Name"); }),
            prefix + "filter expression must be a boolean expression");
  const std::string unknown = ErrorText([&] { C->AddFilter("Bogus = 1"); });
  EXPECT_EQ(unknown.rfind(prefix, 0), 0u) << unknown;
  EXPECT_NE(unknown.find("filter expression"), std::string::npos) << unknown;
  const std::string syntax = ErrorText([&] { C->AddFilter("Num = = 1"); });
  EXPECT_EQ(syntax.rfind(prefix, 0), 0u) << syntax;
  EXPECT_EQ(ErrorText([&] { C->AddFilter(std::unique_ptr<TFilterExpression>()); }),
            prefix + "filter expression is invalid");
  // Nothing was kept by the failures.
  EXPECT_FALSE(C->Filtered());
  EXPECT_EQ(C->RecordCount(), 40);
}

// A filter answered from an index reads only the records of its key range.
TEST(TFilterScaleTest, IndexAnsweredFilterReadsOnlyItsRecords) {
  TTempDir dir;
  TDataSession session;
  TDataDirectory& database = session.OpenDatabase(dir.Path());
  InstallExpressionFilters();
  {
    TDataCursor c(database);
    c.CreateTable("Big", ItemsTable(), false);
    c.Open("Big", false, true);
    std::vector<std::uint8_t> buffer(c.RecordSize());
    for (int i = 0; i < 10000; ++i) {
      c.InitRecord(buffer.data());
      std::uint8_t b[4];
      PutI32(b, i);
      c.SetFieldBytes(buffer.data(), fNum, b);
      c.SetString(buffer.data(), fNote, i % 2 ? "odd" : "even");
      c.InsertRecord(buffer.data());
    }
    c.AddFilter("Num = 4242");
    EXPECT_EQ(c.FilterOptimisationLevel(), 2);
    EXPECT_EQ(c.RecordCount(), 1);
    EXPECT_EQ(c.FilterRecordsTested(), 1);
    c.DropAllFilters();
    c.AddFilter("Num BETWEEN 100 AND 109 AND Note = 'odd'");
    EXPECT_EQ(c.FilterOptimisationLevel(), 1);
    EXPECT_EQ(c.RecordCount(), 5);
    EXPECT_EQ(c.FilterRecordsTested(), 10);
    c.DropAllFilters();
    c.AddFilter("Note = 'odd'");
    EXPECT_EQ(c.RecordCount(), 5000);
    EXPECT_EQ(c.FilterRecordsTested(), 10000);
    c.Close();
  }
  session.CloseDatabase(database);
}

// Keys of other field types: the bound is stored in the field's own form.
TEST_F(TFilterFixture, DatesBooleansLargeIntsAndMemos) {
  TTableCreation c;
  c.Table.Fields = {Fld("ID", ftInteger, 0, fstAutoInc), Fld("D", ftDate), Fld("B", ftBoolean),
                    Fld("L", ftLargeInt), Fld("M", ftBlob, 0, fstMemo)};
  c.Primary = Idx("", {1}, true);
  c.Secondary = {Idx("ByD", {2}), Idx("ByB", {3}), Idx("ByL", {4})};
  TDataCursor& t = Create("Typed", c);
  const std::int32_t day = TextToDate("2020-02-28");
  std::vector<std::uint8_t> r(t.RecordSize());
  for (int i = 0; i < 12; ++i) {
    t.InitRecord(r.data());
    std::uint8_t b[8];
    PutI32(b, day + i % 4);
    t.SetFieldBytes(r.data(), 2, b);
    const std::int16_t flag = i % 3 == 0 ? 1 : 0;
    std::memcpy(b, &flag, 2);
    t.SetFieldBytes(r.data(), 3, b);
    const std::int64_t big = (std::int64_t{1} << 40) * (i - 6);
    std::memcpy(b, &big, 8);
    t.SetFieldBytes(r.data(), 4, b);
    t.OpenBlob(r.data(), 5, TBlobOpenMode::bmWrite);
    const std::string memo = i % 2 ? "odd text" : "even text";
    ASSERT_EQ(t.WriteBlob(r.data(), 5, 0, memo.data(), static_cast<std::int64_t>(memo.size())),
              VELDOR_NONE);
    t.InsertRecord(r.data());
  }
  auto count = [&](const std::string& text, int level) {
    const int h = t.AddFilter(text);
    EXPECT_EQ(t.FilterOptimisationLevel(), level) << text;
    const std::int64_t n = t.RecordCount();
    t.DropFilter(h);
    return n;
  };
  EXPECT_EQ(count("D = '2020-02-29'", 2), 3);
  EXPECT_EQ(count("D > '2020-02-29'", 2), 6);
  EXPECT_EQ(count("D BETWEEN '2020-02-29' AND '2020-03-01'", 2), 6);
  EXPECT_EQ(count("B", 2), 4);  // a Boolean alone is B = TRUE
  EXPECT_EQ(count("NOT B", 2), 8);
  EXPECT_EQ(count("L < 0", 2), 6);
  EXPECT_EQ(count("L >= 1099511627776", 2), 5);
  EXPECT_EQ(count("M LIKE 'odd%'", 0), 6);
  EXPECT_EQ(count("M LIKE 'odd%' AND L < 0", 1), 3);
}

// Another session's writes reach a filtered cursor through the change counters (strict
// change detection reads the headers at every operation): its next operation rebuilds the
// bitmap from the index again.
TEST_F(TFilterIndexTest, AnotherSessionsChangesAreSeen) {
  Session->SetStrictChangeDetection(true);
  C->AddFilter("Num = 5 OR Name = 'zed'");
  EXPECT_EQ(C->RecordCount(), 4);
  TDataSession other;
  TDataDirectory& database = other.OpenDatabase(Dir.Path());
  {
    TDataCursor writer(database);
    writer.Open("Items");
    TItem item;
    item.Name = "zed";
    item.Num = 9;
    Insert(writer, item);
    item.Num = 5;
    Insert(writer, item);
    writer.Close();
  }
  other.CloseDatabase(database);
  C->Refresh();
  EXPECT_EQ(C->RecordCount(), 6);
  EXPECT_EQ(C->FilterOptimisationLevel(), 2);
  EXPECT_EQ(C->FilterRecordsTested(), 6);
}

}  // namespace
}  // namespace zorvic::engine::testing
