#include <limits>

#include "engine/sql/SqlTypes.h"
#include "engine/sql/parse/StatementParser.h"

namespace zorvic::engine::detail {
namespace {

// Words that end the column list of CREATE TABLE where a column would begin.
constexpr std::string_view kColumnListEnd[] = {
    "CONSTRAINT", "PRIMARY", "UNIQUE",      "ASC",  "ASCENDING", "DESC",      "DESCENDING",
    "NOCASE",     "TEXT",    "DESCRIPTION", "BLOB", "LANGUAGE",  "ENCRYPTED", "USER"};

// Words after REDEFINE column [type] that do not start a second definition: the column
// options, and the table options that may follow the last action.
constexpr std::string_view kRedefineOptionWords[] = {
    "AT",       "DESCRIPTION", "NOT",  "DEFAULT",  "MIN",       "MINIMUM", "MAX",  "MAXIMUM",
    "CHARCASE", "TEXT",        "BLOB", "LANGUAGE", "ENCRYPTED", "USER",    "LAST", "NOBACKUP"};

// The name a column, index column or DROP INDEX part stands for: a column node's name, or
// the text of a quoted string (an empty string is the NULL constant and names nothing).
bool NameOfPrimary(const TExpToken& node, std::string& name, std::string& correlation) {
  if (node.NodeClass == ncColumn) {
    name = node.ColumnName;
    correlation = node.CorrelationName;
    return !name.empty() && name != "*";
  }
  if (node.NodeClass == ncConstant && node.DataType == dtString && !node.IsParameter) {
    name = std::string(node.StringValue());
    correlation.clear();
    return !name.empty();
  }
  return false;
}

}  // namespace

void TStatementParser::ParseIfNotExists(TDataQuery& block) {
  if (!IsKeyword("IF")) return;
  Next();
  ExpectKeyword("NOT", "NOT keyword expected after IF keyword, instead found '");
  ExpectKeyword("EXISTS", "EXISTS keyword expected after NOT keyword, instead found '");
  block.IfNotExists = true;
}

// --- CREATE TABLE -------------------------------------------------------------------------

void TStatementParser::ParseCreateTable(TDataQuery& block) {
  ParseIfNotExists(block);
  block.Target = ParseTableRef("Table name expected after CREATE TABLE keywords, instead found '",
                               "Table name expected after CREATE TABLE keywords, instead found '");
  ExpectSymbol('(', "Left parentheses expected before list of table columns, instead found '");
  while (!IsSymbol(')') && !IsAnyKeyword(kColumnListEnd)) {
    TCreateField field;
    ParseColumnDefinition(field, false);
    block.CreateFields.push_back(std::move(field));
    if (!IsSymbol(',')) break;
    Next();
  }
  if (AtPrimaryKeyStart()) {
    TCreateIndex index;
    ParsePrimaryKey(index);
    block.CreateIndexes.push_back(std::move(index));
  }
  ParseTableOptions(block, false);
  ExpectSymbol(')', "Right parentheses expected after CREATE TABLE statement, instead found '");
  ExpectEndOfStatement(TStatementKind::CreateTable);
}

void TStatementParser::ParseColumnName(TCreateField& field, std::string& name) {
  const std::string found = Lexer_.TokenText();
  field.NameExpression = ParsePrimaryIn(efNone, "table column");
  std::string correlation;
  if (!NameOfPrimary(*field.NameExpression, name, correlation)) {
    Raise("Column name expected, instead found '" + found + "' in table column");
  }
  if (!correlation.empty()) {
    Raise("Invalid use of table correlation name '" + correlation + "' specified in table columns");
  }
}

void TStatementParser::ParseColumnDefinition(TCreateField& field, bool alter) {
  ParseColumnName(field, field.Name);
  const std::optional<TSqlDataType> type = ParseSqlDataType(Lexer_, "table column");
  if (!type) {
    Raise("SQL data type keyword expected, instead found '" + Lexer_.TokenText() +
          "' in table column");
  }
  field.DataType = type->DataType;
  field.SubType = type->SubType;
  field.Size = type->Length;
  field.Scale = type->Scale;
  field.TypeGiven = true;
  ParseColumnOptions(field, alter);
}

void TStatementParser::ParseColumnOptions(TCreateField& field, bool alter) {
  if (alter && IsKeyword("AT")) {
    Next();
    field.Position = ExpectInteger("Integer value expected after AT keyword, instead found '");
    field.PositionGiven = true;
  }
  if (IsKeyword("DESCRIPTION")) {
    Next();
    field.Description = Lexer_.TokenText();
    field.DescriptionGiven = true;
    Next();
  }
  if (IsKeyword("NOT")) {
    Next();
    ExpectKeyword("NULL", "NULL keyword expected after NOT keyword, instead found '");
    field.NotNull = true;
    field.NotNullGiven = true;
  }
  if (IsKeyword("DEFAULT")) {
    Next();
    field.DefaultText = Lexer_.TokenText();
    field.DefaultGiven = true;
    Next();
  }
  if (IsKeyword("MIN") || IsKeyword("MINIMUM")) {
    Next();
    field.MinText = Lexer_.TokenText();
    field.MinGiven = true;
    Next();
  }
  if (IsKeyword("MAX") || IsKeyword("MAXIMUM")) {
    Next();
    field.MaxText = Lexer_.TokenText();
    field.MaxGiven = true;
    Next();
  }
  if (IsKeyword("CHARCASE")) {
    Next();
    if (IsKeyword("UPPER")) {
      field.CharCase = TCharCase::Upper;
    } else if (IsKeyword("LOWER")) {
      field.CharCase = TCharCase::Lower;
    } else if (IsKeyword("NOCHANGE")) {
      field.CharCase = TCharCase::NoChange;
    } else {
      RaiseFound(
          "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found '");
    }
    field.CharCaseGiven = true;
    Next();
  }
}

// --- indexes ------------------------------------------------------------------------------

bool TStatementParser::AtPrimaryKeyStart() const {
  return IsAnyKeyword(
      {"CONSTRAINT", "UNIQUE", "ASC", "ASCENDING", "DESC", "DESCENDING", "NOCASE", "PRIMARY"});
}

void TStatementParser::ParsePrimaryKey(TCreateIndex& index) {
  index.PrimaryKey = true;
  if (IsKeyword("CONSTRAINT")) {
    Next();
    if (!Lexer_.IsNameOrString()) {
      RaiseFound("Constraint name expected after CONSTRAINT keyword, instead found '");
    }
    index.ConstraintName = Lexer_.TokenText();
    Next();
  }
  if (IsKeyword("UNIQUE")) {
    index.Unique = true;
    Next();
  }
  if (IsKeyword("ASC") || IsKeyword("ASCENDING")) {
    Next();
  } else if (IsKeyword("DESC") || IsKeyword("DESCENDING")) {
    index.Descending = true;
    Next();
  }
  if (IsKeyword("NOCASE")) {
    index.NoCase = true;
    Next();
  }
  ExpectKeyword("PRIMARY", "PRIMARY keyword expected, instead found '");
  ExpectKeyword("KEY", "KEY keyword expected after PRIMARY keyword, instead found '");
  ParseIndexColumns(index);
  ParseCompression(index);
}

std::string TStatementParser::ParseIndexColumn(TExpTokenPtr& column) {
  const std::string found = Lexer_.TokenText();
  column = ParsePrimaryIn(efNone, "index column");
  std::string name;
  std::string correlation;
  if (!NameOfPrimary(*column, name, correlation)) {
    Raise("Column name expected, instead found '" + found + "' in index column");
  }
  if (!correlation.empty()) {
    Raise("Invalid use of table correlation name '" + correlation +
          "' specified in indexed columns");
  }
  return name;
}

void TStatementParser::ParseIndexColumns(TCreateIndex& index) {
  ExpectSymbol('(', "Left parentheses expected, instead found '");
  for (;;) {
    TExpTokenPtr column;
    index.ColumnNames.push_back(ParseIndexColumn(column));
    index.Columns.push_back(std::move(column));
    if (!IsSymbol(',')) break;
    Next();
  }
  ExpectSymbol(')', "Right parentheses expected, instead found '");
}

void TStatementParser::ParseCompression(TCreateIndex& index) {
  if (!IsKeyword("COMPRESS")) return;
  Next();
  if (IsKeyword("FULL")) {
    index.Compression = TIndexCompression::Full;
  } else if (IsKeyword("DUPBYTE")) {
    index.Compression = TIndexCompression::DuplicateBytes;
  } else if (IsKeyword("TRAILBYTE")) {
    index.Compression = TIndexCompression::TrailingBytes;
  } else if (IsKeyword("NONE")) {
    index.Compression = TIndexCompression::None;
  } else {
    RaiseFound(
        "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found "
        "'");
  }
  Next();
}

void TStatementParser::ParseCreateIndex(TDataQuery& block) {
  TCreateIndex index;
  if (IsKeyword("UNIQUE")) {
    index.Unique = true;
    Next();
  }
  if (IsKeyword("ASC") || IsKeyword("ASCENDING")) {
    Next();
  } else if (IsKeyword("DESC") || IsKeyword("DESCENDING")) {
    index.Descending = true;
    Next();
  }
  if (IsKeyword("NOCASE")) {
    index.NoCase = true;
    Next();
  }
  ExpectKeyword("INDEX", "INDEX keyword expected, instead found '");
  ParseIfNotExists(block);
  if (!Lexer_.IsNameOrString() || Lexer_.TokenText().empty()) {
    RaiseFound("Index name expected after INDEX keyword, instead found '");
  }
  index.Name = Lexer_.TokenText();
  Next();
  ExpectKeyword("ON", "ON keyword expected after index name, instead found '");
  block.Target = ParseTableRef("Table name expected after ON keyword, instead found '",
                               "Table name expected after ON keyword, instead found '");
  ParseIndexColumns(index);
  ParseCompression(index);
  block.CreateIndexes.push_back(std::move(index));
  ExpectEndOfStatement(TStatementKind::CreateIndex);
}

// --- table options ------------------------------------------------------------------------

std::string TStatementParser::ParseOptionText(std::string_view context) {
  // A string expression; a constant gives its text, anything else the empty text.
  TExpTokenPtr value = ParseClause(efNone, context);
  if (value->NodeClass != ncConstant || value->IsParameter || value->DataType == dtNull) return {};
  if (value->DataType == dtString) return std::string(value->StringValue());
  return value->Text;
}

void TStatementParser::ParseTableOptions(TDataQuery& block, bool alter) {
  TTableOptions& options = block.Options;
  if (IsKeyword("TEXT")) {
    Next();
    ExpectKeyword("INDEX", "INDEX keyword expected after TEXT keyword, instead found '");
    ExpectSymbol('(', "Left parentheses expected after TEXTINDEX keyword, instead found '");
    for (;;) {
      TExpTokenPtr column;
      options.TextIndexColumnNames.push_back(ParseIndexColumn(column));
      options.TextIndexColumns.push_back(std::move(column));
      if (!IsSymbol(',')) break;
      Next();
    }
    ExpectSymbol(')', "Right parentheses expected after TEXT INDEX clause, instead found '");
    options.TextIndexGiven = true;
    if (IsKeyword("STOP")) {
      Next();
      ExpectKeyword("WORDS", "WORDS keyword expected after STOP keyword, instead found '");
      options.StopWords = ParseOptionText("stop words");
      options.StopWordsGiven = true;
    }
    if (IsKeyword("SPACE")) {
      Next();
      ExpectKeyword("CHARS", "CHARS keyword expected after SPACE keyword, instead found '");
      options.SpaceChars = ParseOptionText("character set");
      options.SpaceCharsGiven = true;
    }
    if (IsKeyword("INCLUDE")) {
      Next();
      ExpectKeyword("CHARS", "CHARS keyword expected after INCLUDE keyword, instead found '");
      options.IncludeChars = ParseOptionText("character set");
      options.IncludeCharsGiven = true;
    }
  }
  if (IsKeyword("DESCRIPTION")) {
    Next();
    options.Description = Lexer_.TokenText();
    options.DescriptionGiven = true;
    Next();
  }
  if (IsKeyword("BLOB")) {
    Next();
    ExpectKeyword("BLOCK", "BLOCK keyword expected after BLOB keyword, instead found '");
    ExpectKeyword("SIZE", "SIZE keyword expected after BLOCK keyword, instead found '");
    options.BlobBlockSize =
        ExpectInteger("Integer value expected after SIZE keyword, instead found '");
    options.BlobBlockSizeGiven = true;
  }
  ParseLanguage(block);
  ParseEncrypted(block);
  for (int clause = 0; clause < 2 && IsKeyword("USER"); ++clause) {
    Next();
    if (IsKeyword("MAJOR")) {
      Next();
      ExpectKeyword("VERSION", "VERSION keyword expected after MAJOR keyword, instead found '");
      options.UserMajorVersion =
          ExpectInteger("Integer value expected after VERSION keyword, instead found '");
      options.UserMajorVersionGiven = true;
    } else if (IsKeyword("MINOR")) {
      Next();
      ExpectKeyword("VERSION", "VERSION keyword expected after MINOR keyword, instead found '");
      options.UserMinorVersion =
          ExpectInteger("Integer value expected after VERSION keyword, instead found '");
      options.UserMinorVersionGiven = true;
    } else {
      RaiseFound("MAJOR or MINOR keyword expected after USER keyword, instead found '");
    }
  }
  if (IsKeyword("LAST")) {
    Next();
    ExpectKeyword("AUTOINC", "AUTOINC keyword expected after LAST keyword, instead found '");
    TExpTokenPtr value = ParseClause(efNone, "next auto-increment number");
    // An integer constant, also with a sign; any other expression gives 0.
    std::int64_t number = 0;
    const TExpToken* node = value.get();
    bool negative = false;
    if (node->NodeClass == ncUnary &&
        (node->OperatorCode == opNegate || node->OperatorCode == opPlusSign)) {
      negative = node->OperatorCode == opNegate;
      node = node->Left.get();
    }
    if (node != nullptr && node->NodeClass == ncConstant && !node->IsParameter) {
      if (node->DataType == dtInteger) number = node->Scalar<std::int32_t>();
      if (node->DataType == dtLargeInt) number = node->Scalar<std::int64_t>();
    }
    if (negative) number = -number;
    if (number < 0 || number > std::numeric_limits<std::int32_t>::max()) {
      Raise("LAST AUTOINC value must be an integer from 0 to " +
            std::to_string(std::numeric_limits<std::int32_t>::max()) + ", instead found '" +
            std::to_string(number) + "'");
    }
    options.LastAutoInc = static_cast<std::int32_t>(number);
    options.LastAutoIncGiven = true;
  }
  if (alter && IsKeyword("NOBACKUP")) {
    options.NoBackup = true;
    Next();
  }
}

// --- ALTER TABLE --------------------------------------------------------------------------

void TStatementParser::ParseAlterTable(TDataQuery& block) {
  block.Target = ParseTableRef("Table name expected after ALTER TABLE keywords, instead found '",
                               "Table name expected after ALTER TABLE keywords, instead found '");
  for (;;) {
    if (IsKeyword("ADD") || IsKeyword("REDEFINE")) {
      const bool add = IsKeyword("ADD");
      Next();
      if (AtPrimaryKeyStart()) {
        TCreateIndex index;
        ParsePrimaryKey(index);
        index.Add = add;
        index.Redefine = !add;
        block.CreateIndexes.push_back(std::move(index));
      } else {
        if (IsKeyword("COLUMN")) Next();
        TCreateField field;
        field.Add = add;
        field.Redefine = !add;
        if (add) {
          ParseColumnDefinition(field, true);
        } else {
          ParseColumnName(field, field.Name);
          if (const auto type = ParseSqlDataType(Lexer_, "table column")) {
            field.DataType = type->DataType;
            field.SubType = type->SubType;
            field.Size = type->Length;
            field.Scale = type->Scale;
            field.TypeGiven = true;
          }
          if (!IsSymbol(';') && !IsSymbol(',') && !IsSymbol(tkEnd) &&
              !IsAnyKeyword(kRedefineOptionWords)) {
            // A second definition: the new name and type.
            TCreateField second;
            ParseColumnName(second, field.NewName);
            const std::optional<TSqlDataType> type = ParseSqlDataType(Lexer_, "table column");
            if (!type) {
              Raise("SQL data type keyword expected, instead found '" + Lexer_.TokenText() +
                    "' in table column");
            }
            field.DataType = type->DataType;
            field.SubType = type->SubType;
            field.Size = type->Length;
            field.Scale = type->Scale;
            field.TypeGiven = true;
          }
          ParseColumnOptions(field, true);
        }
        block.CreateFields.push_back(std::move(field));
      }
    } else if (IsKeyword("DROP")) {
      Next();
      if (IsKeyword("CONSTRAINT") || IsKeyword("PRIMARY")) {
        TCreateIndex index;
        index.PrimaryKey = true;
        index.Drop = true;
        if (IsKeyword("CONSTRAINT")) {
          Next();
          if (!Lexer_.IsNameOrString()) {
            RaiseFound("Constraint name expected after CONSTRAINT keyword, instead found '");
          }
          index.ConstraintName = Lexer_.TokenText();
          Next();
        }
        ExpectKeyword("PRIMARY", "PRIMARY keyword expected, instead found '");
        ExpectKeyword("KEY", "KEY keyword expected after PRIMARY keyword, instead found '");
        block.CreateIndexes.push_back(std::move(index));
      } else {
        if (IsKeyword("COLUMN")) Next();
        TCreateField field;
        field.Drop = true;
        ParseColumnName(field, field.Name);
        block.CreateFields.push_back(std::move(field));
      }
    } else {
      RaiseFound("ADD, DROP, or REDEFINE keyword expected, instead found '");
    }
    if (!IsSymbol(',')) break;
    Next();
  }
  ParseTableOptions(block, true);
  ExpectEndOfStatement(TStatementKind::AlterTable);
}

// --- DROP ---------------------------------------------------------------------------------

void TStatementParser::ParseDropTable(TDataQuery& block) {
  if (IsKeyword("IF")) {
    Next();
    ExpectKeyword("EXISTS", "EXISTS keyword expected after IF keyword, instead found '");
    block.IfExists = true;
  }
  block.Target = ParseTableRef("Table name expected after DROP TABLE keywords, instead found '",
                               "Table name expected after DROP TABLE keywords, instead found '");
  ExpectEndOfStatement(TStatementKind::DropTable);
}

void TStatementParser::ParseDropIndex(TDataQuery& block) {
  if (IsKeyword("IF")) {
    Next();
    ExpectKeyword("EXISTS", "EXISTS keyword expected after IF keyword, instead found '");
    block.IfExists = true;
  }
  if (IsKeyword("MEMORY")) {
    block.Target.InMemory = true;
    Next();
  }
  constexpr std::string_view kExpected =
      "Table name expected after DROP INDEX keywords, instead found '";
  if (!Lexer_.IsNameOrString()) RaiseFound(kExpected);
  const std::string found = Lexer_.TokenText();
  TExpTokenPtr name = ParsePrimaryIn(efNone, "index name expression");
  if (name->NodeClass != ncColumn || name->CorrelationName.empty() || name->ColumnName.empty() ||
      name->ColumnName == "*") {
    Raise(std::string(kExpected) + found + "'");
  }
  std::string table = name->CorrelationName;
  const std::size_t slash = table.find_last_of("\\/");
  if (slash != std::string::npos) {
    block.Target.Folder = table.substr(0, slash + 1);
    table.erase(0, slash + 1);
  }
  if (table.size() >= 4 && SameTextIgnoringCase(table.substr(table.size() - 4), ".DAT")) {
    table.resize(table.size() - 4);
  }
  if (table.empty()) Raise(std::string(kExpected) + found + "'");
  block.Target.Name = table;
  block.IndexName = name->ColumnName;
  ExpectEndOfStatement(TStatementKind::DropIndex);
}

}  // namespace zorvic::engine::detail
