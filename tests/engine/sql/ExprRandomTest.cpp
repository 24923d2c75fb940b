// Randomized checks of the lexer, parser and binder: random token soup must either parse or
// raise an engine error (never crash or throw anything else), and random well-formed
// expressions must parse to the tree they were generated from.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ExprTestUtil.h"
#include "engine/EngineLimits.h"
#include "engine/sql/bind/Binder.h"
#include "engine/sql/parse/ExpressionParser.h"

namespace zorvic::engine {
namespace {

using testing::Dump;

constexpr ExpressionFlags kAll = efAggregates | efAllColumns | efExtendedPredicates | efParameters;

// Accepts every column as an Integer, so that binding runs through all its checks.
class AnyIntegerColumn : public ColumnResolver {
 public:
  TResolveResult ResolveColumn(std::string_view, std::string_view column,
                               TColumnInfo& info) override {
    if (column == "amb") return TResolveResult::Ambiguous;
    if (column == "none") return TResolveResult::NotFound;
    info.DataType = column == "s" ? dtString : dtInteger;
    info.Size = column == "s" ? 11 : 4;
    return TResolveResult::Found;
  }
};

// Checks invariants of a parsed tree: heights, parent-free structure, operand counts.
void CheckTree(const TExpToken& node, const std::string& where) {
  int height = 0;
  if (node.Left) {
    CheckTree(*node.Left, where);
    height = std::max(height, node.Left->Height);
  }
  if (node.Right) {
    CheckTree(*node.Right, where);
    height = std::max(height, node.Right->Height);
  }
  for (const TExpTokenPtr& argument : node.Arguments) {
    ASSERT_TRUE(argument) << where;
    CheckTree(*argument, where);
    height = std::max(height, argument->Height);
  }
  ASSERT_LE(node.Height, height + 2) << where;  // a Boolean rewrite adds one level
  ASSERT_LE(node.Height - 1, MaxExpressionDepth + 1) << where;
  if (node.NodeClass == ncBinary) {
    ASSERT_TRUE(node.Left && node.Right) << where;
  }
  if (node.NodeClass == ncUnary) {
    ASSERT_TRUE(node.Left && !node.Right) << where;
  }
}

TEST(ExprRandom, TokenSoupParsesOrRaisesEngineErrors) {
  static const char* const kPieces[] = {
      "a",
      "s",
      "amb",
      "none",
      "T.",
      "1",
      "2.5",
      "'x'",
      "\"s\"",
      "''",
      "#65",
      "#",
      "?",
      "*",
      "(",
      ")",
      ",",
      "+",
      "-",
      "/",
      "|",
      "=",
      "<",
      ">",
      "AND",
      "OR",
      "NOT",
      "LIKE",
      "BETWEEN",
      "IN",
      "IS",
      "NULL",
      "TRUE",
      "UPPER(",
      "SUM(",
      "COUNT(",
      "CAST(",
      "AS",
      "INTEGER",
      "IF(",
      "THEN",
      "ELSE",
      "SUBSTRING(",
      "FROM",
      "FOR",
      "TRIM(",
      "BOTH",
      "EXTRACT(",
      "YEAR",
      "/*",
      "*/",
      "[b]",
      "'",
      "1e",
      "COALESCE(",
      "ROUND(",
      "TO",
      "POS(",
      "LASTAUTOINC(",
      "TEXTSEARCH(",
      "CURRENT_DATE",
  };
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::vector<TExpToken*> parameters;
  TParseHooks hooks{&parameters, nullptr};
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int count = 1 + static_cast<int>(random() % 12);
    for (int i = 0; i < count; ++i) {
      text += kPieces[random() % (sizeof(kPieces) / sizeof(kPieces[0]))];
      text += (random() % 3 == 0) ? "" : " ";
    }
    const std::string where =
        "seed " + std::to_string(seed) + " round " + std::to_string(round) + " text: " + text;
    parameters.clear();
    bool parsed = false;
    try {
      TExpressionParser lexer;
      TExpTokenPtr tree = ParseExpressionText(lexer, text, kAll, "test", hooks);
      parsed = true;
      CheckTree(*tree, where);
      for (TExpToken* parameter : parameters)
        ASSERT_TRUE(parameter->IsParameter) << where;
      AnyIntegerColumn resolver;
      TBindOptions options;
      options.BooleanRewrite = (random() % 2) == 0;
      options.Context = "test";
      Bind(tree, resolver, options);
      CheckTree(*tree, where);
    } catch (const EVELDOREngineError& e) {
      ASSERT_EQ(e.ErrorCode, VELDOR_SQLPARSE) << where;
      // A failed parse leaves no dangling parameters (after a bind error the statement still
      // owns the tree and its parameters).
      if (!parsed) {
        ASSERT_TRUE(parameters.empty()) << where;
      }
    } catch (const std::exception& e) {
      FAIL() << where << " threw " << e.what();
    }
  }
}

// A random arithmetic or logical expression over a, b and small integers, written fully
// parenthesised, together with the prefix form the parser must give for it.
struct TGenerated {
  std::string Text;
  std::string Tree;
};

TGenerated Generate(std::mt19937& random, int depth) {
  const unsigned choice = random() % (depth <= 0 ? 2 : 8);
  if (choice == 0) return {"a", "a"};
  if (choice == 1) {
    const std::string number = std::to_string(random() % 100);
    return {number, number};
  }
  static const char* const kOperators[] = {"+", "-", "*", "/", "=", "<>", "AND", "OR"};
  const std::string op = kOperators[random() % 8];
  const TGenerated left = Generate(random, depth - 1);
  const TGenerated right = Generate(random, depth - 1);
  return {"(" + left.Text + " " + op + " " + right.Text + ")",
          "(" + op + " " + left.Tree + " " + right.Tree + ")"};
}

TEST(ExprRandom, GeneratedExpressionsParseToTheirTrees) {
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  for (int round = 0; round < 500; ++round) {
    const TGenerated generated = Generate(random, 6);
    TExpressionParser lexer;
    TExpTokenPtr tree = ParseExpressionText(lexer, generated.Text, kAll, "test");
    ASSERT_EQ(Dump(*tree), generated.Tree) << "seed " << seed << " round " << round;
    // A copy is the same tree.
    ASSERT_EQ(Dump(*CopyExpTree(*tree)), generated.Tree) << "seed " << seed;
  }
}

// Every node below the root names its operator as Parent; bound fields are as in the source.
void ExpectSameNodes(const TExpToken& copy, const TExpToken& source, const TExpToken* parent) {
  EXPECT_EQ(copy.Parent, parent);
  EXPECT_EQ(copy.FieldNumber, source.FieldNumber);
  EXPECT_EQ(copy.SourceTable, source.SourceTable);
  EXPECT_EQ(copy.WasString, source.WasString);
  EXPECT_EQ(copy.Height, source.Height);
  ASSERT_EQ(copy.Arguments.size(), source.Arguments.size());
  ASSERT_EQ(static_cast<bool>(copy.Left), static_cast<bool>(source.Left));
  ASSERT_EQ(static_cast<bool>(copy.Right), static_cast<bool>(source.Right));
  if (copy.Left) ExpectSameNodes(*copy.Left, *source.Left, &copy);
  if (copy.Right) ExpectSameNodes(*copy.Right, *source.Right, &copy);
  for (std::size_t i = 0; i < copy.Arguments.size(); ++i)
    ExpectSameNodes(*copy.Arguments[i], *source.Arguments[i], &copy);
}

TEST(ExprRandom, AssigningIntoATreeOfAnotherShapeGivesACopy) {
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  TExpTokenPtr slot;
  for (int round = 0; round < 300; ++round) {
    const TGenerated generated = Generate(random, 1 + round % 6);
    TExpressionParser lexer;
    TExpTokenPtr tree = ParseExpressionText(lexer, generated.Text, kAll, "test");
    // What binding and evaluation leave in the slot's nodes must not survive.
    if (slot) {
      slot->FieldNumber = 7;
      slot->WasString = true;
      slot->SetStringConstant(std::string(100, 'v'));
      if (slot->Left) slot->Left->Parent = nullptr;
    }
    AssignExpTree(slot, *tree);
    ASSERT_EQ(Dump(*slot), generated.Tree) << "seed " << seed << " round " << round;
    ExpectSameNodes(*slot, *tree, nullptr);
    EXPECT_EQ(slot->ValueLength(), tree->ValueLength());
  }
}

}  // namespace
}  // namespace zorvic::engine
