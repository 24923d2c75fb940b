// Randomized differential test: small random tables and random statements run through the
// engine and through a row-by-row model written here from the dialect's rules.
//
// The model evaluates every condition on every (combined) row exactly as the dialect defines
// it: "=" of two NULLs is true and of one NULL false, "<>" its negation; string order treats
// NULL as the empty string while numeric order with one NULL is false and with two NULLs
// compares zeros; NULL operands of AND and OR count as false; arithmetic with NULL gives NULL;
// LIKE ignores case under the default language and is false for a NULL subject; an IN list is
// "=" against each value; TEXTSEARCH and TEXTOCCURS match words of letters and digits without
// case. Whatever indexes the tables have, the engine must give the same rows.
//
// ZORVIC_DIFF_ROUNDS scales the run (default 12 table sets of 120 statements each); every
// failure names the seed, the round and the statement.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/sql/diff/DiffSqlRunner.h"
#include "support/TempDir.h"

namespace zorvic::engine::test {
namespace {

using zorvic::testing::TTempDir;

// ---- the model -------------------------------------------------------------------------

struct MRow {
  long long Id = 0;
  std::optional<long long> A, B;
  std::optional<std::string> S;
};

struct MVal {
  bool Null = true;
  bool IsString = false;
  long long I = 0;
  std::string S;
};

MVal Int(std::optional<long long> v) {
  MVal m;
  m.Null = !v.has_value();
  m.I = v.value_or(0);
  return m;
}
MVal Str(std::optional<std::string> v) {
  MVal m;
  m.IsString = true;
  m.Null = !v.has_value();
  m.S = v.value_or("");
  return m;
}

// A combined row: the record of each table (nullptr: the NULL row of an outer join).
struct MContext {
  const MRow* T[2] = {nullptr, nullptr};
};

enum class Op { Eq, Ne, Lt, Le, Gt, Ge };
const char* OpText(Op op) {
  static const char* texts[] = {"=", "<>", "<", "<=", ">", ">="};
  return texts[static_cast<int>(op)];
}

bool Compare(Op op, const MVal& x, const MVal& y) {
  if (op == Op::Eq || op == Op::Ne) {
    bool eq;
    if (x.Null && y.Null)
      eq = true;
    else if (x.Null || y.Null)
      eq = false;
    else
      eq = x.IsString ? x.S == y.S : x.I == y.I;
    return op == Op::Eq ? eq : !eq;
  }
  int c;
  if (x.IsString) {
    c = x.S.compare(y.S);  // NULL is the empty string here
  } else {
    if (x.Null != y.Null) return false;
    long long a = x.Null ? 0 : x.I, b = y.Null ? 0 : y.I;
    c = a < b ? -1 : (a > b ? 1 : 0);
  }
  switch (op) {
    case Op::Lt:
      return c < 0;
    case Op::Le:
      return c <= 0;
    case Op::Gt:
      return c > 0;
    default:
      return c >= 0;
  }
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

bool LikeMatch(const std::string& subject, const std::string& pattern) {
  std::string s = Upper(subject), p = Upper(pattern);
  std::size_t i = 0, j = 0, star = std::string::npos, mark = 0;
  while (i < s.size()) {
    if (j < p.size() && (p[j] == '_' || p[j] == s[i])) {
      ++i;
      ++j;
    } else if (j < p.size() && p[j] == '%') {
      star = j++;
      mark = i;
    } else if (star != std::string::npos) {
      j = star + 1;
      i = ++mark;
    } else {
      return false;
    }
  }
  while (j < p.size() && p[j] == '%')
    ++j;
  return j == p.size();
}

// TEXTSEARCH (countAll false: 1 when every search word is a word of the text) and TEXTOCCURS
// (the number of words of the text that are search words): words are runs of letters and
// digits, compared without case.
std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char ch : text + " ") {
    const bool alnum =
        (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
    if (alnum) {
      word += ch;
    } else if (!word.empty()) {
      words.push_back(Upper(word));
      word.clear();
    }
  }
  return words;
}

long long TextMatches(const std::string& text, const std::string& search, bool countAll) {
  const std::vector<std::string> wanted = Words(search), words = Words(text);
  if (wanted.empty()) return 0;
  auto has = [](const std::vector<std::string>& list, const std::string& w) {
    return std::find(list.begin(), list.end(), w) != list.end();
  };
  long long count = 0;
  if (countAll) {
    for (const std::string& w : words)
      count += has(wanted, w) ? 1 : 0;
    return count;
  }
  for (const std::string& w : wanted)
    if (!has(words, w)) return 0;
  return 1;
}

// Expressions of the model, each with its SQL text.
struct MExpr {
  std::string Sql;
  std::function<MVal(const MContext&)> Value;  // value expressions
  std::function<bool(const MContext&)> Test;   // conditions
  bool IsString = false;
};

// ---- random generation -----------------------------------------------------------------

const std::vector<std::string> kStrings = {"ab", "Ab", "abc", "b", "B", "ba", "AB", "a_b"};
const std::vector<std::string> kPatterns = {"a%", "A%", "%b", "%", "_b", "a_", "%b%", "ab", "AB%c"};

class TGenerator {
 public:
  explicit TGenerator(std::uint32_t seed) : Rng_(seed) {}

  int Pick(int n) { return static_cast<int>(Rng_() % static_cast<std::uint32_t>(n)); }
  bool Chance(int percent) { return Pick(100) < percent; }

  std::optional<long long> RandomInt() {
    if (Chance(20)) return std::nullopt;
    return Pick(6);
  }
  std::optional<std::string> RandomString() {
    if (Chance(20)) return std::nullopt;
    return kStrings[Pick(static_cast<int>(kStrings.size()))];
  }

  // A column of table t (0 or 1); qualified names when two tables are in play.
  MExpr Column(int t, char column, bool qualified) {
    MExpr e;
    e.Sql = (qualified ? std::string(t == 0 ? "t1." : "t2.") : std::string()) + column;
    e.IsString = column == 's';
    e.Value = [t, column](const MContext& c) {
      const MRow* r = c.T[t];
      if (column == 's') return Str(r ? r->S : std::nullopt);
      if (column == 'i') return Int(r ? std::optional<long long>(r->Id) : std::nullopt);
      return Int(r ? (column == 'a' ? r->A : r->B) : std::nullopt);
    };
    if (column == 'i') e.Sql = (qualified ? std::string(t == 0 ? "t1." : "t2.") : "") + "id";
    return e;
  }

  MExpr IntValue(int tables, bool qualified) {
    int t = Pick(tables);
    int kind = Pick(10);
    if (kind < 6) return Column(t, kind < 3 ? 'a' : 'b', qualified);
    if (kind < 8) {
      long long k = Pick(8) - 1;
      MExpr e;
      e.Sql = std::to_string(k);
      e.Value = [k](const MContext&) { return Int(k); };
      return e;
    }
    MExpr x = Column(t, Chance(50) ? 'a' : 'b', qualified);
    long long k = Pick(3);
    MExpr e;
    e.Sql = "(" + x.Sql + " + " + std::to_string(k) + ")";
    e.Value = [x, k](const MContext& c) {
      MVal v = x.Value(c);
      if (!v.Null) v.I += k;
      return v;
    };
    return e;
  }

  MExpr StringConstant() {
    std::string s = kStrings[Pick(static_cast<int>(kStrings.size()))];
    MExpr e;
    e.Sql = "'" + s + "'";
    e.IsString = true;
    e.Value = [s](const MContext&) { return Str(s); };
    return e;
  }

  // TEXTSEARCH(...) or TEXTOCCURS(...) = k over a String column.
  MExpr TextFunction(const MExpr& x) {
    static const std::vector<std::string> kSearches = {"ab",  "AB",     "b", "a b", "B a",
                                                       "a_b", "abc ab", "x", "_"};
    const std::string search = kSearches[Pick(static_cast<int>(kSearches.size()))];
    MExpr e;
    if (Chance(50)) {
      e.Sql = "TEXTSEARCH('" + search + "' IN " + x.Sql + ")";
      e.Test = [x, search](const MContext& c) {
        MVal v = x.Value(c);
        return !v.Null && TextMatches(v.S, search, false) > 0;
      };
      return e;
    }
    const long long k = Pick(3);
    e.Sql = "TEXTOCCURS('" + search + "' IN " + x.Sql + ") = " + std::to_string(k);
    e.Test = [x, search, k](const MContext& c) {
      MVal v = x.Value(c);
      return (v.Null ? 0 : TextMatches(v.S, search, true)) == k;
    };
    return e;
  }

  MExpr Condition(int tables, bool qualified, int depth = 0) {
    int kind = Pick(depth > 2 ? 7 : 10);
    MExpr e;
    if (kind == 7 || kind == 8) {  // AND / OR
      MExpr l = Condition(tables, qualified, depth + 1),
            r = Condition(tables, qualified, depth + 1);
      bool isAnd = kind == 7;
      e.Sql = "(" + l.Sql + (isAnd ? " AND " : " OR ") + r.Sql + ")";
      e.Test = [l, r, isAnd](const MContext& c) {
        return isAnd ? (l.Test(c) && r.Test(c)) : (l.Test(c) || r.Test(c));
      };
      return e;
    }
    if (kind == 9) {
      MExpr x = Condition(tables, qualified, depth + 1);
      e.Sql = "NOT (" + x.Sql + ")";
      e.Test = [x](const MContext& c) { return !x.Test(c); };
      return e;
    }
    int t = Pick(tables);
    switch (kind) {
      case 0:
      case 1: {  // integer comparison
        MExpr x = IntValue(tables, qualified), y = IntValue(tables, qualified);
        if (Chance(60)) x = Column(t, Chance(50) ? 'a' : 'b', qualified);
        Op op = static_cast<Op>(Pick(6));
        e.Sql = x.Sql + " " + OpText(op) + " " + y.Sql;
        e.Test = [x, y, op](const MContext& c) { return Compare(op, x.Value(c), y.Value(c)); };
        return e;
      }
      case 2: {  // string comparison
        MExpr x = Column(t, 's', qualified);
        MExpr y = Chance(70) ? StringConstant() : Column(Pick(tables), 's', qualified);
        Op op = static_cast<Op>(Pick(6));
        e.Sql = x.Sql + " " + OpText(op) + " " + y.Sql;
        e.Test = [x, y, op](const MContext& c) { return Compare(op, x.Value(c), y.Value(c)); };
        return e;
      }
      case 3: {  // IS [NOT] NULL
        MExpr x = Column(t, "abs"[Pick(3)], qualified);
        bool neg = Chance(50);
        e.Sql = x.Sql + (neg ? " IS NOT NULL" : " IS NULL");
        e.Test = [x, neg](const MContext& c) { return x.Value(c).Null == !neg; };
        return e;
      }
      case 4: {  // [NOT] LIKE
        MExpr x = Column(t, 's', qualified);
        if (Chance(30)) return TextFunction(x);
        std::string p = kPatterns[Pick(static_cast<int>(kPatterns.size()))];
        bool neg = Chance(30);
        e.Sql = x.Sql + (neg ? " NOT LIKE '" : " LIKE '") + p + "'";
        e.Test = [x, p, neg](const MContext& c) {
          MVal v = x.Value(c);
          bool m = !v.Null && LikeMatch(v.S, p);
          return neg ? !m : m;
        };
        return e;
      }
      case 5: {  // [NOT] IN list
        bool str = Chance(40);
        MExpr x = Column(t, str ? 's' : 'a', qualified);
        std::vector<MVal> values;
        std::string list;
        int n = 1 + Pick(4);
        for (int i = 0; i < n; ++i) {
          if (!list.empty()) list += ", ";
          if (str) {
            std::string s = kStrings[Pick(static_cast<int>(kStrings.size()))];
            values.push_back(Str(s));
            list += "'" + s + "'";
          } else {
            long long k = Pick(7) - 1;
            values.push_back(Int(k));
            list += std::to_string(k);
          }
        }
        bool neg = Chance(30);
        e.Sql = x.Sql + (neg ? " NOT IN (" : " IN (") + list + ")";
        e.Test = [x, values, neg](const MContext& c) {
          MVal v = x.Value(c);
          bool m = false;
          for (const MVal& w : values)
            m = m || Compare(Op::Eq, v, w);
          return neg ? !m : m;
        };
        return e;
      }
      default: {  // [NOT] BETWEEN
        MExpr x = Column(t, Chance(50) ? 'a' : 'b', qualified);
        long long lo = Pick(5) - 1, hi = lo + Pick(4);
        bool neg = Chance(30);
        e.Sql = x.Sql + (neg ? " NOT BETWEEN " : " BETWEEN ") + std::to_string(lo) + " AND " +
                std::to_string(hi);
        e.Test = [x, lo, hi, neg](const MContext& c) {
          MVal v = x.Value(c);
          bool m = Compare(Op::Ge, v, Int(lo)) && Compare(Op::Le, v, Int(hi));
          return neg ? !m : m;
        };
        return e;
      }
    }
  }

 private:
  std::mt19937 Rng_;
};

// ---- running and comparing -------------------------------------------------------------

TCell IntCell(std::optional<long long> v) {
  return v ? TCell(std::to_string(*v)) : TCell();
}

std::string RowsText(const std::vector<TRow>& rows) {
  std::ostringstream out;
  for (const TRow& row : rows) {
    out << "  (";
    for (std::size_t i = 0; i < row.size(); ++i)
      out << (i ? ", " : "") << (row[i] ? *row[i] : std::string("NULL"));
    out << ")\n";
  }
  return out.str();
}

class TDifferential {
 public:
  TDifferential(std::uint32_t seed, int round)
      : Gen_(seed * 7919u + static_cast<std::uint32_t>(round)), Runner_(Dir_.Path()) {
    std::ostringstream label;
    label << "seed " << seed << " round " << round;
    Label_ = label.str();
  }

  void Setup() {
    for (int t = 0; t < 2; ++t) {
      std::string name = t == 0 ? "t1" : "t2";
      Exec("CREATE TABLE " + name +
           " (id INTEGER, a INTEGER, b INTEGER, s VARCHAR(8), PRIMARY KEY (id))");
      if (Gen_.Chance(60)) Exec("CREATE INDEX " + name + "a ON " + name + " (a)");
      if (Gen_.Chance(50)) Exec("CREATE INDEX " + name + "s ON " + name + " (s)");
      if (Gen_.Chance(50)) Exec("CREATE NOCASE INDEX " + name + "n ON " + name + " (s)");
      if (Gen_.Chance(30)) Exec("CREATE INDEX " + name + "ab ON " + name + " (a, b)");
      int rows = Gen_.Pick(22);
      for (int i = 0; i < rows; ++i)
        Insert(t, i + 1);
    }
  }

  void Insert(int t, long long id) {
    MRow r;
    r.Id = id;
    r.A = Gen_.RandomInt();
    r.B = Gen_.RandomInt();
    r.S = Gen_.RandomString();
    auto lit = [](const std::optional<long long>& v) { return v ? std::to_string(*v) : "NULL"; };
    std::string s = r.S ? "'" + *r.S + "'" : "NULL";
    Exec(std::string("INSERT INTO ") + (t == 0 ? "t1" : "t2") + " (id, a, b, s) VALUES (" +
         std::to_string(id) + ", " + lit(r.A) + ", " + lit(r.B) + ", " + s + ")");
    Tables_[t].push_back(r);
  }

  void Exec(const std::string& sql) {
    TSqlOutcome outcome = Runner_.Run(sql);
    ASSERT_TRUE(outcome.Ok) << Label_ << ": " << sql << "\n" << outcome.Error;
  }

  // Runs a SELECT and compares with the expected rows (as multisets unless ordered).
  void Expect(const std::string& sql, std::vector<TRow> expected, bool ordered) {
    ++Cases;
    TSqlOutcome outcome = Runner_.Run(sql);
    ASSERT_TRUE(outcome.Ok) << Label_ << ": " << sql << "\n" << outcome.Error;
    std::vector<TRow> actual = outcome.Rows;
    if (!ordered) {
      std::sort(actual.begin(), actual.end());
      std::sort(expected.begin(), expected.end());
    }
    ASSERT_EQ(actual, expected) << Label_ << ": " << sql << "\nexpected\n"
                                << RowsText(expected) << "actual\n"
                                << RowsText(actual);
  }

  // Runs a changing statement, checks its rows affected and then the whole table.
  void ExpectChange(const std::string& sql, int rowsAffected, int t) {
    TSqlOutcome outcome = Runner_.Run(sql);
    ASSERT_TRUE(outcome.Ok) << Label_ << ": " << sql << "\n" << outcome.Error;
    EXPECT_EQ(outcome.RowsAffected, rowsAffected) << Label_ << ": " << sql;
    CheckTable(t, sql);
  }

  void CheckTable(int t, const std::string& after) {
    std::vector<TRow> expected;
    for (const MRow& r : Tables_[t])
      expected.push_back({IntCell(r.Id), IntCell(r.A), IntCell(r.B), r.S});
    Expect(std::string("SELECT id, a, b, s FROM ") + (t == 0 ? "t1" : "t2") + " /* after " + after +
               " */",
           expected, false);
  }

  void RandomStatement() {
    switch (Gen_.Pick(19)) {
      case 0:
      case 1:
        return PlainSelect();
      case 2:
        return OrderedSelect();
      case 3:
        return Aggregates();
      case 4:
        return GroupBy();
      case 5:
        return Distinct();
      case 6:
        return Top();
      case 7:
      case 8:
        return Join();
      case 9:
        return Union();
      case 10:
        return InSubSelect();
      case 11:
        return UpdateValues();
      case 12:
        return UpdateKeys();
      case 13:
        return Delete();
      case 14:
        return Insert(0, NextId());
      case 15:
        return CrossCondition();
      case 16:
        return OrderedByString();
      case 17:
        return InsertSelect();
      default:
        return UpdateStrings();
    }
  }

  int Cases = 0;

 private:
  std::vector<const MRow*> Matching(int t, const MExpr& c) {
    std::vector<const MRow*> out;
    for (const MRow& r : Tables_[t]) {
      MContext ctx;
      ctx.T[0] = &r;
      if (c.Test(ctx)) out.push_back(&r);
    }
    return out;
  }

  long long NextId() {
    long long m = 0;
    for (const MRow& r : Tables_[0])
      m = std::max(m, r.Id);
    return m + 1;
  }

  void PlainSelect() {
    MExpr c = Gen_.Condition(1, false);
    std::vector<TRow> expected;
    for (const MRow* r : Matching(0, c))
      expected.push_back({IntCell(r->Id), IntCell(r->A), IntCell(r->B), r->S});
    Expect("SELECT id, a, b, s FROM t1 WHERE " + c.Sql, expected, false);
  }

  void OrderedSelect() {
    MExpr c = Gen_.Condition(1, false);
    bool desc = Gen_.Chance(50);
    std::vector<const MRow*> rows = Matching(0, c);
    std::stable_sort(rows.begin(), rows.end(), [desc](const MRow* x, const MRow* y) {
      // NULL sorts first ascending, last descending; ties by id ascending.
      long long ka = x->A ? *x->A : -1000, kb = y->A ? *y->A : -1000;
      if (ka != kb) return desc ? ka > kb : ka < kb;
      return x->Id < y->Id;
    });
    std::vector<TRow> expected;
    for (const MRow* r : rows)
      expected.push_back({IntCell(r->Id), IntCell(r->A)});
    Expect("SELECT id, a FROM t1 WHERE " + c.Sql + " ORDER BY a" + (desc ? " DESC" : "") + ", id",
           expected, true);
  }

  // Strings order byte by byte (case counts), NULL first.
  void OrderedByString() {
    MExpr c = Gen_.Condition(1, false);
    bool desc = Gen_.Chance(50);
    std::vector<const MRow*> rows = Matching(0, c);
    std::stable_sort(rows.begin(), rows.end(), [desc](const MRow* x, const MRow* y) {
      if (x->S != y->S) return desc ? x->S > y->S : x->S < y->S;
      return x->Id < y->Id;
    });
    std::vector<TRow> expected;
    for (const MRow* r : rows)
      expected.push_back({IntCell(r->Id), r->S});
    Expect("SELECT id, s FROM t1 WHERE " + c.Sql + " ORDER BY s" + (desc ? " DESC" : "") + ", id",
           expected, true);
  }

  void InsertSelect() {
    MExpr c = Gen_.Condition(1, false);
    long long shift = 1;
    for (const MRow& r : Tables_[1])
      shift = std::max(shift, r.Id + 1);
    int added = 0;
    for (const MRow* r : Matching(0, c)) {
      MRow copy = *r;
      copy.Id += shift;
      Tables_[1].push_back(copy);
      ++added;
    }
    std::string sql = "INSERT INTO t2 (id, a, b, s) SELECT id + " + std::to_string(shift) +
                      ", a, b, s FROM t1 WHERE " + c.Sql;
    ExpectChange(sql, added, 1);
  }

  void UpdateStrings() {
    MExpr c = Gen_.Condition(1, false);
    std::optional<std::string> value = Gen_.RandomString();
    int changed = 0;
    for (MRow& r : Tables_[0]) {
      MContext ctx;
      ctx.T[0] = &r;
      if (!c.Test(ctx)) continue;
      ++changed;
      r.S = value;
    }
    std::string sql = "UPDATE t1 SET s = " + (value ? "'" + *value + "'" : std::string("NULL")) +
                      " WHERE " + c.Sql;
    ExpectChange(sql, changed, 0);
  }

  void Aggregates() {
    MExpr c = Gen_.Condition(1, false);
    std::vector<const MRow*> rows = Matching(0, c);
    if (Gen_.Chance(40)) {
      Expect("SELECT COUNT(*) FROM t1 WHERE " + c.Sql, {{TCell(std::to_string(rows.size()))}},
             true);
      return;
    }
    TRow row;
    if (rows.empty()) {
      // No qualifying row: NULL everywhere, except that a count of rows is never NULL.
      row.assign(5, std::nullopt);
      row[0] = TCell("0");
    } else {
      long long count = 0, sum = 0;
      std::optional<long long> lo, hi;
      for (const MRow* r : rows) {
        if (!r->A) continue;
        ++count;
        sum += *r->A;
        lo = lo ? std::min(*lo, *r->A) : *r->A;
        hi = hi ? std::max(*hi, *r->A) : *r->A;
      }
      row = {TCell(std::to_string(rows.size())), TCell(std::to_string(count)),
             count ? IntCell(sum) : TCell(), IntCell(lo), IntCell(hi)};
    }
    Expect("SELECT COUNT(*), COUNT(a), SUM(a), MIN(a), MAX(a) FROM t1 WHERE " + c.Sql, {row}, true);
  }

  void GroupBy() {
    MExpr c = Gen_.Condition(1, false);
    bool having = Gen_.Chance(40);
    std::map<std::optional<long long>, std::pair<long long, std::optional<long long>>> groups;
    for (const MRow* r : Matching(0, c)) {
      auto& g = groups[r->A];
      ++g.first;
      if (r->B) g.second = g.second.value_or(0) + *r->B;
    }
    std::vector<TRow> expected;
    for (const auto& [key, g] : groups) {
      if (having && g.first <= 1) continue;
      expected.push_back({IntCell(key), TCell(std::to_string(g.first)), IntCell(g.second)});
    }
    Expect("SELECT a, COUNT(*), SUM(b) FROM t1 WHERE " + c.Sql + " GROUP BY a" +
               (having ? " HAVING COUNT(*) > 1" : ""),
           expected, false);
  }

  void Distinct() {
    MExpr c = Gen_.Condition(1, false);
    std::set<TRow> seen;
    for (const MRow* r : Matching(0, c))
      seen.insert({IntCell(r->A), r->S});
    Expect("SELECT DISTINCT a, s FROM t1 WHERE " + c.Sql,
           std::vector<TRow>(seen.begin(), seen.end()), false);
  }

  void Top() {
    MExpr c = Gen_.Condition(1, false);
    int n = 1 + Gen_.Pick(4);
    std::vector<const MRow*> rows = Matching(0, c);
    std::sort(rows.begin(), rows.end(), [](const MRow* x, const MRow* y) { return x->Id < y->Id; });
    std::vector<TRow> expected;
    for (std::size_t i = 0; i < rows.size() && i < static_cast<std::size_t>(n); ++i)
      expected.push_back({IntCell(rows[i]->Id), IntCell(rows[i]->A)});
    Expect("SELECT id, a FROM t1 WHERE " + c.Sql + " ORDER BY id TOP " + std::to_string(n),
           expected, true);
  }

  // Combined rows of an equality join on t1.x = t2.y (kind 0 inner, 1 left, 2 right), with an
  // optional ON condition on the inner table and a WHERE over both.
  void Join() {
    int kind = Gen_.Pick(3);
    char x = Gen_.Chance(50) ? 'a' : 'b', y = Gen_.Chance(50) ? 'a' : 'b';
    MExpr lx = Gen_.Column(0, x, true), ry = Gen_.Column(1, y, true);
    int inner = kind == 2 ? 0 : 1;
    bool onExtra = kind != 0 && Gen_.Chance(40);
    MExpr extra;
    if (onExtra) {
      // A condition on the inner table only, written in ON: it decides matching.
      extra = Gen_.Column(inner, 'b', true);
      long long k = Gen_.Pick(5);
      MExpr col = extra;
      extra.Sql = col.Sql + " >= " + std::to_string(k);
      extra.Test = [col, k](const MContext& c) { return Compare(Op::Ge, col.Value(c), Int(k)); };
    }
    bool where = Gen_.Chance(60);
    MExpr w = where ? Gen_.Condition(2, true) : MExpr{};
    std::vector<TRow> expected;
    auto emit = [&](const MRow* a, const MRow* b) {
      MContext ctx;
      ctx.T[0] = a;
      ctx.T[1] = b;
      if (where && !w.Test(ctx)) return;
      expected.push_back({a ? IntCell(a->Id) : TCell(), b ? IntCell(b->Id) : TCell()});
    };
    auto matches = [&](const MRow* a, const MRow* b) {
      MContext ctx;
      ctx.T[0] = a;
      ctx.T[1] = b;
      if (!Compare(Op::Eq, lx.Value(ctx), ry.Value(ctx))) return false;
      return !onExtra || extra.Test(ctx);
    };
    if (kind == 2) {
      for (const MRow& b : Tables_[1]) {
        bool any = false;
        for (const MRow& a : Tables_[0])
          if (matches(&a, &b)) any = true, emit(&a, &b);
        if (!any) emit(nullptr, &b);
      }
    } else {
      for (const MRow& a : Tables_[0]) {
        bool any = false;
        for (const MRow& b : Tables_[1])
          if (matches(&a, &b)) any = true, emit(&a, &b);
        if (!any && kind == 1) emit(&a, nullptr);
      }
    }
    static const char* joins[] = {" INNER JOIN ", " LEFT OUTER JOIN ", " RIGHT OUTER JOIN "};
    std::string sql = "SELECT t1.id, t2.id FROM t1" + std::string(joins[kind]) + "t2 ON " + lx.Sql +
                      " = " + ry.Sql + (onExtra ? " AND " + extra.Sql : "") +
                      (where ? " WHERE " + w.Sql : "");
    Expect(sql, expected, false);
  }

  // Two tables in FROM with a WHERE that holds the link and any cross-table comparison.
  void CrossCondition() {
    MExpr link = Gen_.Chance(60) ? Gen_.Condition(2, true) : MExpr{};
    MExpr lx = Gen_.Column(0, 'a', true), ry = Gen_.Column(1, Gen_.Chance(50) ? 'a' : 'b', true);
    Op op = static_cast<Op>(Gen_.Pick(6));
    std::vector<TRow> expected;
    for (const MRow& a : Tables_[0])
      for (const MRow& b : Tables_[1]) {
        MContext ctx;
        ctx.T[0] = &a;
        ctx.T[1] = &b;
        if (!Compare(op, lx.Value(ctx), ry.Value(ctx))) continue;
        if (link.Test && !link.Test(ctx)) continue;
        expected.push_back({IntCell(a.Id), IntCell(b.Id)});
      }
    Expect("SELECT t1.id, t2.id FROM t1, t2 WHERE " + lx.Sql + " " + OpText(op) + " " + ry.Sql +
               (link.Test ? " AND " + link.Sql : ""),
           expected, false);
  }

  void Union() {
    bool all = Gen_.Chance(50);
    MExpr c1 = Gen_.Condition(1, false), c2 = Gen_.Condition(1, false);
    std::vector<TRow> rows;
    for (const MRow* r : Matching(0, c1))
      rows.push_back({IntCell(r->A)});
    for (const MRow& r : Tables_[1]) {
      MContext ctx;
      ctx.T[0] = &r;
      if (c2.Test(ctx)) rows.push_back({IntCell(r.A)});
    }
    if (!all) {
      std::set<TRow> unique(rows.begin(), rows.end());
      rows.assign(unique.begin(), unique.end());
    }
    Expect("SELECT a FROM t1 WHERE " + c1.Sql + (all ? " UNION ALL " : " UNION ") +
               "SELECT a FROM t2 WHERE " + c2.Sql,
           rows, false);
  }

  void InSubSelect() {
    bool neg = Gen_.Chance(30);
    MExpr c = Gen_.Condition(1, false);
    std::vector<MVal> inner;
    for (const MRow& r : Tables_[1]) {
      MContext ctx;
      ctx.T[0] = &r;
      if (c.Test(ctx)) inner.push_back(Int(r.B));
    }
    std::vector<TRow> expected;
    for (const MRow& r : Tables_[0]) {
      bool m = false;
      for (const MVal& v : inner)
        m = m || Compare(Op::Eq, Int(r.A), v);
      if (m != neg) expected.push_back({IntCell(r.Id)});
    }
    Expect(std::string("SELECT id FROM t1 WHERE a ") + (neg ? "NOT IN" : "IN") +
               " (SELECT b FROM t2 WHERE " + c.Sql + ")",
           expected, false);
  }

  void UpdateValues() {
    MExpr c = Gen_.Condition(1, false);
    long long k = Gen_.Pick(3);
    int changed = 0;
    for (MRow& r : Tables_[0]) {
      MContext ctx;
      ctx.T[0] = &r;
      if (!c.Test(ctx)) continue;
      ++changed;
      r.B = r.A ? std::optional<long long>(*r.A + k) : std::nullopt;
    }
    std::string sql = "UPDATE t1 SET b = a + " + std::to_string(k) + " WHERE " + c.Sql;
    ExpectChange(sql, changed, 0);
  }

  // Moves every qualifying record in primary-key order: each must move exactly once.
  void UpdateKeys() {
    MExpr c = Gen_.Condition(1, false);
    long long shift = NextId();
    int changed = 0;
    for (MRow& r : Tables_[0]) {
      MContext ctx;
      ctx.T[0] = &r;
      if (!c.Test(ctx)) continue;
      ++changed;
      r.Id += shift;
    }
    std::string sql = "UPDATE t1 SET id = id + " + std::to_string(shift) + " WHERE " + c.Sql;
    ExpectChange(sql, changed, 0);
  }

  void Delete() {
    MExpr c = Gen_.Condition(1, false);
    std::vector<MRow> kept;
    int removed = 0;
    for (const MRow& r : Tables_[0]) {
      MContext ctx;
      ctx.T[0] = &r;
      if (c.Test(ctx))
        ++removed;
      else
        kept.push_back(r);
    }
    Tables_[0] = kept;
    std::string sql = "DELETE FROM t1 WHERE " + c.Sql;
    ExpectChange(sql, removed, 0);
  }

  TGenerator Gen_;
  TTempDir Dir_;
  TSqlRunner Runner_;
  std::string Label_;
  std::vector<MRow> Tables_[2];
};

int Rounds() {
  const char* env = std::getenv("ZORVIC_DIFF_ROUNDS");
  int n = env ? std::atoi(env) : 0;
  return n > 0 ? n : 12;
}

TEST(SqlDifferential, RandomStatementsAgreeWithTheRowModel) {
  const std::uint32_t seed =
      std::getenv("ZORVIC_DIFF_SEED")
          ? static_cast<std::uint32_t>(std::atoll(std::getenv("ZORVIC_DIFF_SEED")))
          : 20261209u;
  int cases = 0;
  for (int round = 0; round < Rounds(); ++round) {
    TDifferential run(seed, round);
    run.Setup();
    if (::testing::Test::HasFatalFailure()) return;
    for (int i = 0; i < 120; ++i) {
      run.RandomStatement();
      if (::testing::Test::HasFailure()) return;
    }
    cases += run.Cases;
  }
  RecordProperty("cases", cases);
}

}  // namespace
}  // namespace zorvic::engine::test
