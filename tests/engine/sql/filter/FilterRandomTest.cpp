// Randomized check: on small tables with random index shapes (plain, NOCASE, descending,
// compound), NULLs, mixed case and shared prefixes, a filtered cursor shows exactly the
// records that the same filter shows on a copy of the table without secondary indexes, where
// every record is evaluated. Also after inserts, changes and deletes under the filter.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "engine/sql/filter/FilterTestSupport.h"

namespace zorvic::engine::testing {
namespace {

enum : std::uint16_t { rID = 1, rS = 2, rN = 3, rT = 4 };

class TRandomShapes {
 public:
  explicit TRandomShapes(std::uint32_t seed) : FRandom(seed) {}

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(FRandom); }
  bool Chance(int percent) { return Pick(100) < percent; }

  TTableCreation Table(bool indexes, std::uint16_t language) {
    TTableCreation c;
    c.Table.Fields = {Fld("ID", ftInteger, 0, fstAutoInc), Fld("S", ftString, 6),
                      Fld("N", ftInteger), Fld("T", ftString, 6)};
    c.Table.LanguageId = language;
    c.Primary = Idx("", {rID}, true);
    if (!indexes) return c;
    const int shapes = 1 + Pick(5);
    for (int i = 0; i < shapes; ++i) {
      TIndexDefinition d;
      d.Name = "X" + std::to_string(i);
      switch (Pick(6)) {
        case 0:
          d.Fields = {rS};
          break;
        case 1:
          d.Fields = {rN};
          break;
        case 2:
          d.Fields = {rT};
          break;
        case 3:
          d.Fields = {rS, rN};
          break;
        case 4:
          d.Fields = {rN, rT};
          break;
        default:
          d.Fields = {rT, rS};
          break;
      }
      d.NoCase = Chance(50);
      d.Descending = Chance(25);
      if (Chance(25)) d.FieldDescending = {true};
      c.Secondary.push_back(d);
    }
    return c;
  }

  std::string Text() {
    static const char* texts[] = {"",  "a",  "A", "ab",  "Ab", "aB",  "abc", "ABC",    "abd",
                                  "b", "ba", "B", "bab", "c",  "ab ", "zz",  "abcdef", "abcdefgh"};
    return texts[Pick(18)];
  }
  std::optional<std::int32_t> Number() {
    if (Chance(15)) return std::nullopt;
    return Pick(9) - 3;
  }

  std::string Quoted(const std::string& s) { return "'" + s + "'"; }
  std::string Constant(bool text) {
    if (!text) return std::to_string(Pick(9) - 3);
    return Quoted(Text());
  }
  std::string Leaf() {
    const bool text = Chance(60);
    std::string column = text ? (Chance(50) ? "S" : "T") : "N";
    if (text && Chance(25)) column = "UPPER(" + column + ")";
    static const char* ops[] = {"=", "<>", "<", ">", "<=", ">="};
    switch (Pick(9)) {
      case 0:
        return column + " IS NULL";
      case 1:
        return column + " IS NOT NULL";
      case 2:
        if (text) return column + (Chance(50) ? " = " : " <> ") + Quoted(Text() + "*");
        break;
      case 3:
        if (text) return column + (Chance(70) ? " LIKE " : " NOT LIKE ") + Quoted(Text() + "%");
        break;
      case 4: {
        std::string list = Constant(text);
        for (int i = Pick(3); i >= 0; --i)
          list += ", " + Constant(text);
        return column + (Chance(70) ? " IN (" : " NOT IN (") + list + ")";
      }
      case 5:
        return column + (Chance(70) ? " BETWEEN " : " NOT BETWEEN ") + Constant(text) + " AND " +
               Constant(text);
      default:
        break;
    }
    return column + " " + ops[Pick(6)] + " " + Constant(text);
  }
  std::string Condition(int depth) {
    if (depth >= 3 || Chance(35)) return Chance(15) ? "NOT (" + Leaf() + ")" : Leaf();
    const std::string op = Chance(55) ? " AND " : " OR ";
    std::string c = "(" + Condition(depth + 1) + op + Condition(depth + 1) + ")";
    return Chance(12) ? "NOT " + c : c;
  }

 private:
  std::mt19937 FRandom;
};

class TFilterRandomTest : public TFilterFixture {
 protected:
  void Fill(TDataCursor& c, std::vector<std::uint8_t>& buffer, const std::string& s,
            std::optional<std::int32_t> n, const std::string& t) {
    buffer.assign(c.RecordSize(), 0);
    c.InitRecord(buffer.data());
    c.SetString(buffer.data(), rS, s);
    if (n) {
      std::uint8_t b[4];
      PutI32(b, *n);
      c.SetFieldBytes(buffer.data(), rN, b);
    }
    c.SetString(buffer.data(), rT, t);
  }

  void RunSeed(std::uint32_t seed, std::uint16_t language) {
    TRandomShapes random(seed);
    const std::string tag =
        "seed " + std::to_string(seed) + " language " + std::to_string(language);
    TDataCursor& indexed = Create("I" + std::to_string(seed), random.Table(true, language));
    TDataCursor& plain = Create("P" + std::to_string(seed), random.Table(false, language));
    std::vector<std::uint8_t> buffer;
    const int rows = random.Pick(60);
    for (int i = 0; i < rows; ++i) {
      const std::string s = random.Text(), t = random.Text();
      const std::optional<std::int32_t> n = random.Number();
      for (TDataCursor* c : {&indexed, &plain}) {
        Fill(*c, buffer, s, n, t);
        c->InsertRecord(buffer.data());
      }
    }
    // Gaps: delete every record whose ID is a multiple of 7 in both tables.
    for (TDataCursor* c : {&indexed, &plain}) {
      c->SetIndex(0);
      c->First();
      std::vector<std::uint8_t> r(c->RecordSize());
      while (c->GetNext(r.data()) == VELDOR_NONE) {
        if (RecRowId(r.data()) % 7 == 0) {
          c->DeleteRecord();
          c->GetPrior(nullptr);
        }
      }
    }
    for (int round = 0; round < 12; ++round) {
      const std::string text = random.Condition(0);
      SCOPED_TRACE(tag + ": " + text);
      int hi = 0, hp = 0;
      try {
        hp = plain.AddFilter(text);
      } catch (const EVELDOREngineError& e) {
        // A condition the binder refuses is refused for both tables alike.
        EXPECT_NE(ErrorCodeOf([&] { indexed.AddFilter(text); }), VELDOR_NONE) << e.what();
        continue;
      }
      if (random.Chance(50)) {
        hi = indexed.AddFilter(text);
      } else {
        TEvalContext context;
        context.LanguageId = language;
        hi = AddConditionFilter(indexed, CompileFilterCondition(indexed, text), context);
      }
      ASSERT_EQ(IdSet(indexed), IdSet(plain)) << "level " << indexed.FilterOptimisationLevel();
      ASSERT_EQ(indexed.RecordCount(), plain.RecordCount());
      // Changes under the filter keep both bitmaps current.
      const std::string s = random.Text(), t = random.Text();
      const std::optional<std::int32_t> n = random.Number();
      for (TDataCursor* c : {&indexed, &plain}) {
        Fill(*c, buffer, s, n, t);
        c->InsertRecord(buffer.data());
      }
      ASSERT_EQ(IdSet(indexed), IdSet(plain)) << "after insert";
      // Change one record in both tables (found through the unfiltered primary index).
      const std::int32_t id = 1 + random.Pick(rows + round + 1);
      const std::string s2 = random.Text();
      for (TDataCursor* c : {&indexed, &plain}) {
        const int h = c == &indexed ? hi : hp;
        c->DeactivateFilter(h);
        c->SetIndex(0);
        std::vector<std::uint8_t> r(c->RecordSize(), 0);
        std::uint8_t b[4];
        PutI32(b, id);
        c->SetFieldBytes(r.data(), rID, b);
        if (c->FindKey(r.data(), 1) && c->GetCurrent(r.data()) == VELDOR_NONE) {
          ASSERT_EQ(c->BeginEdit(), VELDOR_NONE);
          c->SetString(r.data(), rS, s2);
          c->ModifyRecord(r.data());
        }
        c->ActivateFilter(h);
      }
      ASSERT_EQ(IdSet(indexed), IdSet(plain)) << "after change of " << id;
      indexed.DropFilter(hi);
      plain.DropFilter(hp);
    }
  }
};

TEST_F(TFilterRandomTest, IndexAnsweredFiltersMatchPlainEvaluation) {
  for (std::uint32_t seed = 1; seed <= 25; ++seed) {
    RunSeed(seed, 0);
    if (HasFatalFailure()) return;
  }
}

TEST_F(TFilterRandomTest, IndexAnsweredFiltersMatchUnderALocaleCollation) {
  for (std::uint32_t seed = 101; seed <= 110; ++seed) {
    RunSeed(seed, 0x0409);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace zorvic::engine::testing
