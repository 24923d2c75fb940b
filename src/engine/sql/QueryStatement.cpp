#include "engine/sql/QueryStatement.h"

#include "engine/sql/StatementTemplates.h"
#include "engine/sql/bind/StatementBinder.h"
#include "engine/sql/parse/StatementParser.h"

namespace zorvic::engine {

const char* StatementKindName(TStatementKind kind) {
  switch (kind) {
    case TStatementKind::Select:
      return "SELECT";
    case TStatementKind::Insert:
      return "INSERT";
    case TStatementKind::Update:
      return "UPDATE";
    case TStatementKind::Delete:
      return "DELETE";
    case TStatementKind::CreateTable:
      return "CREATE TABLE";
    case TStatementKind::AlterTable:
      return "ALTER TABLE";
    case TStatementKind::DropTable:
      return "DROP TABLE";
    case TStatementKind::CreateIndex:
      return "CREATE INDEX";
    case TStatementKind::DropIndex:
      return "DROP INDEX";
    case TStatementKind::StartTransaction:
      return "START TRANSACTION";
    case TStatementKind::Rollback:
      return "ROLLBACK";
    case TStatementKind::Commit:
      return "COMMIT";
    default:
      return "UNKNOWN";
  }
}

TQueryStatement::TQueryStatement(std::string databaseFolder)
    : DatabaseFolder_(std::move(databaseFolder)) {}

TQueryStatement::~TQueryStatement() {
  ClearStatement();
}

void TQueryStatement::ClearStatement() {
  detail::TStatementTemplates::GiveBack(*this);
  ParameterList.clear();
  // Blocks refer to each other (sub-selects are referenced from the trees of other blocks);
  // none of them dereferences another while being destroyed.
  Blocks_.clear();
  StatementSource_.clear();
  ParseNotes_.Clear();
}

TDataQuery& TQueryStatement::NewBlock() {
  Blocks_.push_back(std::make_unique<TDataQuery>());
  return *Blocks_.back();
}

TStatementKind TQueryStatement::Kind() const {
  return Blocks_.empty() ? TStatementKind::None : Blocks_.front()->Kind;
}

void TQueryStatement::Prepare(std::string_view text) {
  ClearStatement();
  Lexer_.ErrorCode = VELDOR_SQLPARSE;
  Lexer_.ErrorTableName.clear();
  Lexer_.ErrorDatabaseName.clear();
  Lexer_.SetParseContext("SQL statement");
  Loaded_ = true;
  Lexer_.Load(text);
  // A text that differs from one parsed before only in its literals takes a copy of that
  // parse (StatementTemplates.h).
  if (detail::TStatementTemplates::Take(*this)) return;
  Lexer_.Next();
  ParseCurrent();
  if (AtEnd()) detail::TStatementTemplates::Note(*this);
}

bool TQueryStatement::AtEnd() const {
  return !Loaded_ || Lexer_.Kind() == tkEnd;
}

void TQueryStatement::ParseNext() {
  ClearStatement();
  ParseCurrent();
}

void TQueryStatement::ParseCurrent() {
  if (Lexer_.Kind() == tkEnd) return;
  const std::size_t start = Lexer_.TokenStart();
  SourceStart_ = start;
  try {
    detail::TStatementParser parser(*this);
    parser.ParseStatement(NewBlock());
  } catch (...) {
    // A statement that failed to parse is never left half-built for execution; the rest of
    // the text is not parsed either.
    ClearStatement();
    Loaded_ = false;
    throw;
  }
  std::size_t end = Lexer_.SaveState().PreviousTokenEnd;
  const std::string& text = Lexer_.Text();
  if (end > text.size()) end = text.size();
  while (end > start &&
         (text[end - 1] == ';' || static_cast<unsigned char>(text[end - 1]) <= ' ')) {
    --end;
  }
  StatementSource_ = text.substr(start, end - start);
}

void TQueryStatement::Bind(TSchemaSource& schema) {
  BindStatement(*this, schema);
}

}  // namespace zorvic::engine
