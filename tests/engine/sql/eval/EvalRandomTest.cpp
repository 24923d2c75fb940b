// Randomized checks: LIKE against a plain recursive matcher, and prepared conditions against
// the conditions they were made from (preparation must never change which rows match).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "EvalTestSupport.h"
#include "engine/storage/formats/Collation.h"

namespace zorvic::engine::testing {
namespace {

constexpr unsigned kSeed = 20261209;

std::string RandomText(std::mt19937& random, const std::string& alphabet, int maxLength) {
  std::uniform_int_distribution<int> length(0, maxLength);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::string text;
  for (int n = length(random); n > 0; --n)
    text += alphabet[pick(random)];
  return text;
}

// The reference: "%" any run, "_" one character, others equal ignoring (ASCII and Latin-1)
// case.
bool ReferenceLike(std::string_view s, std::string_view p) {
  if (p.empty()) return s.empty();
  if (p[0] == '%') {
    for (std::size_t i = 0; i <= s.size(); ++i) {
      if (ReferenceLike(s.substr(i), p.substr(1))) return true;
    }
    return false;
  }
  if (s.empty()) return false;
  const TCollation& binary = TCollation::Binary();
  const bool same = p[0] == '_' || binary.UpperChar(static_cast<std::uint8_t>(p[0])) ==
                                       binary.UpperChar(static_cast<std::uint8_t>(s[0]));
  return same && ReferenceLike(s.substr(1), p.substr(1));
}

TEST(EvalRandom, LikeAgreesWithTheReference) {
  std::mt19937 random(kSeed);
  TTestRow row;
  row.Add("Name", dtString, stNone, 21);
  for (int i = 0; i < 3000; ++i) {
    const std::string subject = RandomText(random, "abAB\xE4\xC4", 6);
    std::string pattern = RandomText(random, "abAB%_\xE4", 5);
    if (subject.empty() || pattern.empty()) continue;  // '' is NULL
    row.SetText("Name", subject);
    SCOPED_TRACE("seed " + std::to_string(kSeed) + " case " + std::to_string(i) + ": '" + subject +
                 "' LIKE '" + pattern + "'");
    ASSERT_EQ(Holds(row, "Name LIKE '" + pattern + "'"), ReferenceLike(subject, pattern));
  }
}

TEST(EvalRandom, LikeUnderALocaleFromManyThreads) {
  // The per-character answers of a locale are shared between threads.
  const std::uint16_t de = FindLanguageByName("German (Standard)")->LanguageId;
  std::mt19937 random(kSeed);
  std::vector<std::pair<std::string, std::string>> cases;
  while (cases.size() < 400) {
    std::string subject = RandomText(random, "aAbB\xE4\xC4\xDF", 5);
    std::string pattern = RandomText(random, "aAbB%_\xE4\xDF", 4);
    if (!subject.empty() && !pattern.empty()) cases.emplace_back(subject, pattern);
  }
  std::vector<bool> expected;
  {
    TTestRow row;
    row.Add("Name", dtString, stNone, 21);
    for (const auto& [subject, pattern] : cases) {
      row.SetText("Name", subject);
      expected.push_back(Holds(row, "Name LIKE '" + pattern + "'", de));
    }
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      TTestRow row;
      row.Add("Name", dtString, stNone, 21);
      for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::size_t k = (i * 7 + static_cast<std::size_t>(t) * 13) % cases.size();
        row.SetText("Name", cases[k].first);
        if (Holds(row, "Name LIKE '" + cases[k].second + "'", de) != expected[k]) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

std::string RandomCondition(std::mt19937& random, int depth) {
  std::uniform_int_distribution<int> kind(0, depth > 0 ? 9 : 6);
  const char* ops[] = {"=", "<>", "<", "<=", ">", ">="};
  std::uniform_int_distribution<int> op(0, 5);
  const char* numbers[] = {"2", "2.5", "100000", "-1", "NULL", "0", "32767", "1.0"};
  std::uniform_int_distribution<int> number(0, 7);
  switch (kind(random)) {
    case 0:
      return std::string("Name ") + ops[op(random)] + " '" + RandomText(random, "aAb*\xE4", 3) +
             "'";
    case 1:
      return "Name LIKE '" + RandomText(random, "aAb%_", 3) + "%'";
    case 2:
      return "Name NOT LIKE '" + RandomText(random, "aAb%", 3) + "'";
    case 3:
      return std::string("Age ") + ops[op(random)] + " " + numbers[number(random)];
    case 4:
      return std::string("Id IN (") + numbers[number(random)] + ", " + numbers[number(random)] +
             ")";
    case 5:
      return std::string("Ratio BETWEEN ") + numbers[number(random)] + " AND " +
             numbers[number(random)];
    case 6:
      return std::string("Amount ") + ops[op(random)] + " " + numbers[number(random)];
    case 7:
      return "(" + RandomCondition(random, depth - 1) + ") AND (" +
             RandomCondition(random, depth - 1) + ")";
    case 8:
      return "(" + RandomCondition(random, depth - 1) + ") OR (" +
             RandomCondition(random, depth - 1) + ")";
    default:
      return "NOT (" + RandomCondition(random, depth - 1) + ")";
  }
}

void RandomRow(std::mt19937& random, TTestRow& row) {
  std::uniform_int_distribution<int> coin(0, 5);
  const std::string name = RandomText(random, "aAb*\xE4", 3);
  if (name.empty()) {
    row.SetNull("Name");
  } else {
    row.SetText("Name", name);
  }
  const std::int16_t ages[] = {2, -1, 0, 32767, -31072, 3};
  if (coin(random) == 0) {
    row.SetNull("Age");
  } else {
    row.Set<std::int16_t>("Age", ages[coin(random)]);
  }
  const std::int32_t ids[] = {2, 100000, -1, 0, 1, 3};
  if (coin(random) == 0) {
    row.SetNull("Id");
  } else {
    row.Set<std::int32_t>("Id", ids[coin(random)]);
  }
  const double ratios[] = {2.5, 2, -1, 0, 1e6, 1};
  if (coin(random) == 0) {
    row.SetNull("Ratio");
  } else {
    row.Set<double>("Ratio", ratios[coin(random)]);
  }
  const char* amounts[] = {"2.00", "2.50", "-1.00", "0.00", "1.00", "99999.99"};
  if (coin(random) == 0) {
    row.SetNull("Amount");
  } else {
    TExpTokenPtr v = NewExpToken();
    v->SetStringConstant(amounts[coin(random)]);
    ConvertValue(*v, dtBCD, stNone, BCDSize, 2);
    row.Cell("Amount").SetBytesValue(v->ValueData(), v->ValueLength());
  }
}

TEST(EvalRandom, PreparedConditionsSelectWhatTheConditionSelects) {
  std::mt19937 random(kSeed);
  TTestRow row;
  row.Add("Name", dtString, stNone, 21)
      .Add("Age", dtSmallInt)
      .Add("Id", dtInteger)
      .Add("Ratio", dtFloat)
      .Add("Amount", dtBCD, stNone, BCDSize, 2);
  const std::uint16_t languages[] = {0, FindLanguageByName("German (Standard)")->LanguageId};
  for (int i = 0; i < 300; ++i) {
    const std::string text = RandomCondition(random, 2);
    SCOPED_TRACE("seed " + std::to_string(kSeed) + " case " + std::to_string(i) + ": " + text);
    TExpTokenPtr tree = BindExpression(row, text, true);
    for (const std::uint16_t language : languages) {
      const TEvalContext context = ContextOf(row, language);
      TExpTokenPtr prepared = PrepareCondition(*tree, true, false, context);
      for (int r = 0; r < 8; ++r) {
        RandomRow(random, row);
        ASSERT_EQ(EvaluateCondition(*prepared, context), EvaluateCondition(*tree, context))
            << "language " << language << " row " << r;
      }
    }
  }
}

}  // namespace
}  // namespace zorvic::engine::testing
