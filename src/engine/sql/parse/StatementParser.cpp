#include "engine/sql/parse/StatementParser.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>

#include "engine/EngineLimits.h"
#include "engine/storage/formats/Collation.h"

namespace zorvic::engine::detail {
namespace {

constexpr std::string_view kStatementContext = "SQL statement";

bool EndsWithDat(std::string_view name) {
  if (name.size() < 4) return false;
  std::string_view ext = name.substr(name.size() - 4);
  return SameTextIgnoringCase(ext, ".DAT");
}

std::string UpperText(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

TStatementParser::TStatementParser(TQueryStatement& statement)
    : Statement_(statement), Lexer_(statement.Lexer()) {}

TDataQuery& TStatementParser::NewBlock(TQueryRole role, TDataQuery* master) {
  TDataQuery& block = Statement_.NewBlock();
  block.Role = role;
  block.Master = master;
  return block;
}

TParseHooks TStatementParser::Hooks() {
  TParseHooks hooks;
  hooks.ParameterList = &Statement_.ParameterList;
  hooks.SubSelects = this;
  hooks.Notes = &Statement_.ParseNotes();
  return hooks;
}

bool TStatementParser::IsAnyKeyword(TStopWords words) const {
  if (Lexer_.Kind() != tkName) return false;
  return std::any_of(words.begin(), words.end(),
                     [&](std::string_view w) { return Lexer_.IsKeyword(w); });
}

void TStatementParser::RaiseFound(std::string_view prefix) const {
  Lexer_.RaiseError(std::string(prefix) + Lexer_.TokenText() + "'");
}

void TStatementParser::Raise(const std::string& message) const {
  Lexer_.RaiseError(message);
}

void TStatementParser::ExpectKeyword(std::string_view word, std::string_view prefix) {
  if (!IsKeyword(word)) RaiseFound(prefix);
  Next();
}

void TStatementParser::ExpectSymbol(TokenKind symbol, std::string_view prefix) {
  if (!IsSymbol(symbol)) RaiseFound(prefix);
  Next();
}

std::int32_t TStatementParser::ExpectInteger(std::string_view prefix) {
  if (!IsSymbol(tkInteger)) RaiseFound(prefix);
  const std::string& text = Lexer_.TokenText();
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) RaiseFound(prefix);
  Next();
  return value;
}

// Whether the current token is an operand that a ',' or ')' follows at once (a column of a list,
// a value of VALUES): every operator level of a condition would find no operator after it and
// hand the operand up as it is, so it is read as the primary it is. NOT, signs and "(" start
// something else, and a blank after the operand leaves it to the full grammar.
bool TStatementParser::LoneOperand() const {
  const TokenKind kind = Lexer_.Kind();
  if (kind < tkName || kind > tkReal) return false;
  const char next = Lexer_.PeekChar();
  if (next != ',' && next != ')') return false;
  return kind != tkName || !Lexer_.IsKeyword("NOT");
}

TExpTokenPtr TStatementParser::ParseClause(ExpressionFlags flags, std::string_view context) {
  Lexer_.SetParseContext(context);
  TExpTokenPtr tree =
      LoneOperand() ? ParsePrimary(Lexer_, flags, Hooks()) : ParseCondition(Lexer_, flags, Hooks());
  Lexer_.SetParseContext(kStatementContext);
  return tree;
}

TExpTokenPtr TStatementParser::ParsePrimaryIn(ExpressionFlags flags, std::string_view context) {
  Lexer_.SetParseContext(context);
  TExpTokenPtr tree = ParsePrimary(Lexer_, flags, Hooks());
  Lexer_.SetParseContext(kStatementContext);
  return tree;
}

std::string TStatementParser::ClauseText() const {
  return Lexer_.ClauseText(MaxClauseTextLength);
}

// --- statements ---------------------------------------------------------------------------

void TStatementParser::ParseStatement(TDataQuery& master) {
  Master_ = &master;
  master.Role = TQueryRole::Master;
  Lexer_.SetParseContext(kStatementContext);

  if (IsSymbol('(')) {
    Next();
    if (!IsKeyword("SELECT")) RaiseFound("SELECT keyword expected, instead found '");
    master.Parenthesized = true;
    master.Kind = TStatementKind::Select;
  } else if (IsKeyword("SELECT")) {
    master.Kind = TStatementKind::Select;
  } else if (IsKeyword("INSERT")) {
    master.Kind = TStatementKind::Insert;
  } else if (IsKeyword("UPDATE")) {
    master.Kind = TStatementKind::Update;
  } else if (IsKeyword("DELETE")) {
    master.Kind = TStatementKind::Delete;
  } else if (IsKeyword("CREATE")) {
    Next();
    if (IsKeyword("TABLE")) {
      master.Kind = TStatementKind::CreateTable;
    } else if (IsAnyKeyword(
                   {"INDEX", "UNIQUE", "ASC", "ASCENDING", "DESC", "DESCENDING", "NOCASE"})) {
      master.Kind = TStatementKind::CreateIndex;
    } else {
      RaiseFound(
          "TABLE, INDEX, UNIQUE, ASC, ASCENDING, DESC, DESCENDING, or NOCASE keyword expected, "
          "instead found '");
    }
  } else if (IsKeyword("ALTER")) {
    Next();
    if (!IsKeyword("TABLE")) RaiseFound("TABLE keyword expected, instead found '");
    master.Kind = TStatementKind::AlterTable;
  } else if (IsKeyword("DROP")) {
    Next();
    if (IsKeyword("TABLE")) {
      master.Kind = TStatementKind::DropTable;
    } else if (IsKeyword("INDEX")) {
      master.Kind = TStatementKind::DropIndex;
    } else {
      RaiseFound("TABLE or INDEX keyword expected, instead found '");
    }
  } else if (IsKeyword("START")) {
    Next();
    if (!IsKeyword("TRANSACTION")) RaiseFound("TRANSACTION keyword expected, instead found '");
    master.Kind = TStatementKind::StartTransaction;
  } else if (IsKeyword("ROLLBACK")) {
    master.Kind = TStatementKind::Rollback;
  } else if (IsKeyword("COMMIT")) {
    master.Kind = TStatementKind::Commit;
  } else {
    RaiseFound(
        "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found "
        "'");
  }

  switch (master.Kind) {
    case TStatementKind::Select:
      Next();
      ParseSelectStatement(master);
      break;
    case TStatementKind::Insert:
      Next();
      ParseInsert(master);
      break;
    case TStatementKind::Update:
      Next();
      ParseUpdate(master);
      break;
    case TStatementKind::Delete:
      Next();
      ParseDelete(master);
      break;
    case TStatementKind::CreateTable:
      Next();
      ParseCreateTable(master);
      break;
    case TStatementKind::CreateIndex:
      ParseCreateIndex(master);  // the current word belongs to CREATE INDEX
      break;
    case TStatementKind::AlterTable:
      Next();
      ParseAlterTable(master);
      break;
    case TStatementKind::DropTable:
      Next();
      ParseDropTable(master);
      break;
    case TStatementKind::DropIndex:
      Next();
      ParseDropIndex(master);
      break;
    default:
      Next();
      ParseTransaction(master);
      break;
  }
}

TDataQuery* TStatementParser::ParseSubSelect(TExpressionParser& lexer) {
  (void)lexer;  // the statement's own lexer
  // Each sub-select nests a whole statement parse inside an expression: it counts as one
  // level of the statement's nesting (shared with the expressions around and inside it), and
  // sub-selects themselves nest at most MaxSubSelectDepth deep.
  struct TDepth {
    TDepth(int& subSelects, int& nesting) : SubSelects(++subSelects), Nesting(++nesting) {}
    ~TDepth() {
      --SubSelects;
      --Nesting;
    }
    int& SubSelects;
    int& Nesting;
  } depth(SubSelectDepth_, Lexer_.ExpressionDepth);
  if (SubSelectDepth_ > MaxSubSelectDepth) {
    Lexer_.RaiseInContext("Sub-select queries are nested deeper than " +
                          std::to_string(MaxSubSelectDepth) + " levels");
  }
  if (Lexer_.ExpressionDepth > MaxExpressionDepth) {
    Lexer_.RaiseInContext("Expression nesting is deeper than " +
                          std::to_string(MaxExpressionDepth) + " levels");
  }
  const std::string outerContext(Lexer_.ParseContext());
  Lexer_.SetParseContext(kStatementContext);
  TDataQuery& block = NewBlock(TQueryRole::InSubSelect, Master_);
  block.Kind = TStatementKind::Select;
  if (!IsKeyword("SELECT")) RaiseFound("SELECT keyword expected, instead found '");
  Next();
  ParseSelectBlock(block);
  Lexer_.SetParseContext(outerContext);
  return &block;
}

void TStatementParser::ExpectEndOfStatement(TStatementKind kind) {
  if (IsSymbol(';')) {
    Next();
    return;
  }
  if (IsSymbol(tkEnd)) return;
  Raise(std::string("End of ") + StatementKindName(kind) + " statement expected, instead found '" +
        Lexer_.TokenText() + "'");
}

// --- table references ---------------------------------------------------------------------

TTableRef TStatementParser::ParseTableRef(std::string_view prefix, std::string_view secondPrefix) {
  TTableRef ref;
  if (IsKeyword("MEMORY")) {
    ref.InMemory = true;
    Next();
  }
  if (!Lexer_.IsNameOrString() || Lexer_.TokenText().empty()) RaiseFound(prefix);
  std::string name = Lexer_.TokenText();
  Next();
  if (IsSymbol('\\')) {
    Next();
    if (!Lexer_.IsNameOrString() || Lexer_.TokenText().empty()) RaiseFound(secondPrefix);
    name += '\\';
    name += Lexer_.TokenText();
    Next();
  }
  if (name.size() > MaxTableNameLength) {
    Raise("Table name '" + name.substr(0, 40) + "...' is longer than " +
          std::to_string(MaxTableNameLength) + " characters");
  }
  // A folder path names a table in that folder.
  const std::size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) {
    ref.Folder = name.substr(0, slash + 1);
    name.erase(0, slash + 1);
  }
  if (EndsWithDat(name)) name.resize(name.size() - 4);
  if (name.empty()) RaiseFound(prefix);
  ref.Name = std::move(name);
  return ref;
}

TSourceTable TStatementParser::ParseTableReference(std::string_view prefix,
                                                   std::string_view secondPrefix) {
  TTableRef ref = ParseTableRef(prefix, secondPrefix);
  TSourceTable table;
  table.TableName = std::move(ref.Name);
  table.Folder = std::move(ref.Folder);
  table.InMemory = ref.InMemory;
  table.CorrelationName = table.TableName;
  return table;
}

bool TStatementParser::ParseCorrelationName(TSourceTable& table, TStopWords stopWords) {
  if (IsKeyword("AS")) {
    Next();
    if (!Lexer_.IsNameOrString() || Lexer_.TokenText().empty()) {
      RaiseFound("Symbol or string expected after AS keyword, instead found '");
    }
    table.CorrelationName = Lexer_.TokenText();
    Next();
    return true;
  }
  if (!Lexer_.IsNameOrString() || Lexer_.TokenText().empty() || IsAnyKeyword(stopWords)) {
    return false;
  }
  table.CorrelationName = Lexer_.TokenText();
  Next();
  return true;
}

TSourceTable& TStatementParser::AddSource(TDataQuery& block, TSourceTable table, bool atFront) {
  const std::string key = UpperText(table.CorrelationName);
  for (const auto& existing : block.SourceTables) {
    if (UpperText(existing->CorrelationName) == key) {
      Raise("Duplicate table correlation name '" + table.CorrelationName +
            "' found in source tables");
    }
  }
  auto owned = std::make_unique<TSourceTable>(std::move(table));
  TSourceTable& added = *owned;
  if (atFront) {
    block.SourceTables.insert(block.SourceTables.begin(), std::move(owned));
  } else {
    block.SourceTables.push_back(std::move(owned));
  }
  int position = 1;
  for (auto& source : block.SourceTables)
    source->Position = position++;
  block.HasMultipleSources = block.SourceTables.size() > 1 || !block.Joins.empty();
  return added;
}

void TStatementParser::CloseParentheses(int& parentheses) {
  while (parentheses > 0 && IsSymbol(')')) {
    --parentheses;
    Next();
  }
}

void TStatementParser::ParseSourceList(TDataQuery& block, TStopWords stopWords,
                                       std::string_view prefix, bool updateTarget) {
  bool first = true;
  for (;;) {
    int parentheses = 0;
    while (IsSymbol('(')) {
      ++parentheses;
      Next();
    }
    TSourceTable table = ParseTableReference(prefix, prefix);
    const bool correlationGiven = ParseCorrelationName(table, stopWords);
    TSourceTable* added = nullptr;
    if (first && updateTarget) {
      // UPDATE ... FROM: the first table repeats the target.
      TSourceTable& target = *block.SourceTables.front();
      const bool sameName = SameTextIgnoringCase(table.TableName, target.TableName) &&
                            SameTextIgnoringCase(table.Folder, target.Folder);
      const bool sameCorrelation =
          !correlationGiven || SameTextIgnoringCase(table.CorrelationName, target.CorrelationName);
      const bool memoryAllowed = !table.InMemory || target.InMemory;
      if (!sameName || !sameCorrelation || !memoryAllowed) {
        Raise(
            "The first source table specified in FROM clause must match the table being updated "
            "in the UPDATE statement");
      }
      added = &target;
    } else {
      added = &AddSource(block, std::move(table));
    }
    first = false;
    CloseParentheses(parentheses);
    ParseJoins(block, added, parentheses);
    if (parentheses != 0) Raise("Mismatched join parentheses");
    if (!IsSymbol(',')) break;
    Next();
  }
}

void TStatementParser::ParseJoins(TDataQuery& block, TSourceTable* left, int& parentheses) {
  for (;;) {
    TJoinKind kind;
    if (IsKeyword("JOIN")) {
      kind = TJoinKind::Inner;
    } else if (IsKeyword("INNER")) {
      Next();
      if (!IsKeyword("JOIN"))
        RaiseFound("JOIN keyword expected after INNER keyword, instead found '");
      kind = TJoinKind::Inner;
    } else if (IsKeyword("LEFT")) {
      Next();
      if (IsKeyword("OUTER")) Next();
      if (!IsKeyword("JOIN")) {
        RaiseFound("JOIN keyword expected after LEFT or OUTER keyword, instead found '");
      }
      kind = TJoinKind::LeftOuter;
    } else if (IsKeyword("RIGHT")) {
      Next();
      if (IsKeyword("OUTER")) Next();
      if (!IsKeyword("JOIN")) {
        RaiseFound("JOIN keyword expected after RIGHT or OUTER keyword, instead found '");
      }
      kind = TJoinKind::RightOuter;
    } else if (IsKeyword("FULL")) {
      Raise("Full outer joins are currently not supported in VELDOR SQL SELECT statements");
    } else {
      return;
    }
    Next();  // JOIN
    TSourceTable table =
        ParseTableReference("Table name expected after JOIN keyword, instead found '",
                            "Table name expected after JOIN keyword, instead found '");
    // Any name token after the joined table is its correlation name, except the ON that must
    // follow it.
    static constexpr std::string_view kOn[] = {"ON"};
    ParseCorrelationName(table, kOn);
    TSourceTable& right = AddSource(block, std::move(table), kind == TJoinKind::RightOuter);
    if (!IsKeyword("ON")) RaiseFound("ON keyword expected in JOIN clause, instead found '");
    Next();
    TExpTokenPtr condition =
        ParseClause(efExtendedPredicates | efParameters, "WHERE or JOIN clause");
    TTableJoin join;
    join.Left = left;
    join.Right = &right;
    join.Kind = kind;
    join.Condition = condition.get();
    block.Joins.push_back(join);
    block.HasMultipleSources = true;
    AddCondition(block, std::move(condition), false);
    left = &right;
    CloseParentheses(parentheses);
  }
}

void TStatementParser::AddCondition(TDataQuery& block, TExpTokenPtr condition, bool isWhere) {
  block.HasWhereOrJoin = true;
  if (isWhere) block.WhereCondition = condition.get();
  if (!block.Condition) {
    block.Condition = std::move(condition);
    return;
  }
  TExpTokenPtr node = NewExpToken();
  node->NodeClass = ncBinary;
  node->OperatorCode = opAnd;
  node->Text = "AND";
  node->Left = std::move(block.Condition);
  node->Right = std::move(condition);
  UpdateHeight(*node);
  block.Condition = std::move(node);
}

void TStatementParser::ParseWhere(TDataQuery& block, ExpressionFlags flags) {
  if (!IsKeyword("WHERE")) return;
  Next();
  AddCondition(block, ParseClause(flags, "WHERE or JOIN clause"), true);
}

void TStatementParser::ParseCommitClause(TDataQuery& block) {
  if (!IsKeyword("COMMIT")) return;
  Next();
  if (IsKeyword("INTERVAL")) {
    Next();
    const std::string text = Lexer_.TokenText();
    block.CommitInterval =
        ExpectInteger("Integer value expected after INTERVAL keyword, instead found '");
    // Rows are committed every interval rows: an interval of 0 would never be reached.
    if (block.CommitInterval <= 0) {
      Raise("Commit interval must be greater than 0, instead found '" + text + "'");
    }
    block.CommitIntervalGiven = true;
    if (IsKeyword("FLUSH")) {
      block.Flush = true;
      Next();
    }
  } else if (IsKeyword("FLUSH")) {
    block.Flush = true;
    Next();
  } else {
    RaiseFound("INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found '");
  }
}

void TStatementParser::ParseLanguage(TDataQuery& block) {
  if (!IsKeyword("LANGUAGE")) return;
  Next();
  const std::string language = Lexer_.TokenText();
  const TLanguageEntry* entry = Lexer_.IsNameOrString() ? FindLanguageByName(language) : nullptr;
  if (entry == nullptr) {
    Raise("Invalid language constant '" + language + "' specified after LANGUAGE keyword");
  }
  const std::uint16_t languageId = entry->LanguageId;
  Next();
  block.LanguageName = language;
  block.LanguageId = languageId;
  block.LanguageGiven = true;
  if (!IsKeyword("SORT")) return;
  Next();
  const std::string sort = Lexer_.TokenText();
  const std::optional<std::uint16_t> sortId =
      Lexer_.IsNameOrString() ? FindSortOrder(languageId, sort) : std::nullopt;
  if (!sortId) Raise("Invalid sort constant '" + sort + "' specified after SORT keyword");
  Next();
  block.SortName = sort;
  block.SortId = *sortId;
  block.SortGiven = true;
}

void TStatementParser::ParseEncrypted(TDataQuery& block) {
  if (!IsKeyword("ENCRYPTED")) return;
  Next();
  ExpectKeyword("WITH", "WITH keyword expected after ENCRYPTED keyword, instead found '");
  if (!Lexer_.IsNameOrString()) RaiseFound("Password expected after WITH keyword, instead found '");
  block.Password = Lexer_.TokenText();
  block.EncryptedGiven = true;
  Next();
}

}  // namespace zorvic::engine::detail
