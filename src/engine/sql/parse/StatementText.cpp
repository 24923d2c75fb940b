#include "engine/sql/parse/StatementText.h"

#include <map>
#include <sstream>
#include <vector>

namespace zorvic::engine {
namespace {

const char* TypeName(TDataType type) {
  switch (type) {
    case dtNull:
      return "NULL";
    case dtString:
      return "String";
    case dtDate:
      return "Date";
    case dtBlob:
      return "BLOB";
    case dtBoolean:
      return "Boolean";
    case dtSmallInt:
      return "SmallInt";
    case dtInteger:
      return "Integer";
    case dtFloat:
      return "Float";
    case dtBCD:
      return "BCD";
    case dtBytes:
      return "Bytes";
    case dtTime:
      return "Time";
    case dtTimeStamp:
      return "TimeStamp";
    case dtWord:
      return "Word";
    case dtLargeInt:
      return "LargeInt";
  }
  return "Type?";
}

const char* SubTypeName(TSubType subType) {
  switch (subType) {
    case stMoney:
      return "Money";
    case stMemo:
      return "Memo";
    case stBinary:
      return "Binary";
    case stFormattedMemo:
      return "FormattedMemo";
    case stGraphic:
      return "Graphic";
    case stTypedBinary:
      return "TypedBinary";
    case stAutoInc:
      return "AutoInc";
    default:
      return nullptr;
  }
}

const char* OperatorName(TOperatorCode code) {
  switch (code) {
    case opEqual:
      return "=";
    case opNotEqual:
      return "<>";
    case opGreater:
      return ">";
    case opLess:
      return "<";
    case opGreaterEqual:
      return ">=";
    case opLessEqual:
      return "<=";
    case opNot:
      return "NOT";
    case opAnd:
      return "AND";
    case opOr:
      return "OR";
    case opNegate:
      return "NEGATE";
    case opPlusSign:
      return "PLUS";
    case opAdd:
      return "+";
    case opSubtract:
      return "-";
    case opMultiply:
      return "*";
    case opDivide:
      return "/";
    case opSum:
      return "SUM";
    case opRunSum:
      return "RUNSUM";
    case opCount:
      return "COUNT";
    case opMin:
      return "MIN";
    case opMax:
      return "MAX";
    case opAvg:
      return "AVG";
    case opLike:
      return "LIKE";
    case opInList:
      return "IN";
    case opInSubSelect:
      return "IN SELECT";
    case opUpper:
      return "UPPER";
    case opLower:
      return "LOWER";
    case opBetween:
      return "BETWEEN";
    case opNotBetween:
      return "NOT BETWEEN";
    case opNotLike:
      return "NOT LIKE";
    case opNotInList:
      return "NOT IN";
    case opNotInSubSelect:
      return "NOT IN SELECT";
    case opSubstring:
      return "SUBSTRING";
    case opReplace:
      return "REPLACE";
    case opPos:
      return "POS";
    case opOccurs:
      return "OCCURS";
    case opTrimLeading:
      return "TRIM LEADING";
    case opTrimTrailing:
      return "TRIM TRAILING";
    case opTrimBoth:
      return "TRIM BOTH";
    case opLength:
      return "LENGTH";
    case opCast:
      return "CAST";
    case opExtractYear:
      return "EXTRACT YEAR";
    case opExtractMonth:
      return "EXTRACT MONTH";
    case opExtractWeek:
      return "EXTRACT WEEK";
    case opExtractDay:
      return "EXTRACT DAY";
    case opExtractDayOfWeek:
      return "EXTRACT DAYOFWEEK";
    case opExtractDayOfYear:
      return "EXTRACT DAYOFYEAR";
    case opExtractHour:
      return "EXTRACT HOUR";
    case opExtractMinute:
      return "EXTRACT MINUTE";
    case opExtractSecond:
      return "EXTRACT SECOND";
    case opIf:
      return "IF";
    case opCoalesce:
      return "COALESCE";
    case opIfNull:
      return "IFNULL";
    case opAbs:
      return "ABS";
    case opRound:
      return "ROUND";
    case opTextSearch:
      return "TEXTSEARCH";
    case opTextOccurs:
      return "TEXTOCCURS";
    case opLastAutoInc:
      return "LASTAUTOINC";
    case opIdentCurrent:
      return "IDENT_CURRENT";
    default:
      return nullptr;
  }
}

std::string Quoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

// Names the blocks of a statement by their number (1 = master).
using TBlockNumbers = std::map<const TDataQuery*, int>;

class TWriter {
 public:
  explicit TWriter(const TBlockNumbers* numbers) : Numbers_(numbers) {}

  void Line(int depth, const std::string& text) {
    Out_ << std::string(static_cast<std::size_t>(depth) * 2, ' ') << text << '\n';
  }

  std::string Block(const TDataQuery* block) const {
    if (Numbers_ != nullptr) {
      auto it = Numbers_->find(block);
      if (it != Numbers_->end()) return "block " + std::to_string(it->second);
    }
    return "block ?";
  }

  void Expression(const TExpToken& root, int depth);
  void Query(const TDataQuery& block, int depth);
  std::string Take() { return Out_.str(); }

 private:
  std::string NodeHead(const TExpToken& node) const;

  const TBlockNumbers* Numbers_;
  std::ostringstream Out_;
};

std::string TWriter::NodeHead(const TExpToken& node) const {
  std::string head;
  const char* op = OperatorName(node.OperatorCode);
  switch (node.NodeClass) {
    case ncColumn:
      head = "column ";
      if (!node.CorrelationName.empty()) head += node.CorrelationName + ".";
      head += node.ColumnName;
      if (node.FieldNumber > 0) head += " #" + std::to_string(node.FieldNumber);
      if (node.WasString) head += " (was string)";
      break;
    case ncConstant:
      if (node.IsParameter) {
        head = "parameter ?";
      } else if (node.DataType == dtNull) {
        head = "constant NULL";
      } else if (node.DataType == dtString) {
        head = "constant " + Quoted(node.StringValue());
        if (node.DoubleQuoted) head += " (double-quoted)";
      } else {
        head = "constant " + node.Text;
        if (node.DataType == dtDate || node.DataType == dtTime) {
          head += " value=" + std::to_string(node.Scalar<std::int32_t>());
        } else if (node.DataType == dtTimeStamp) {
          std::ostringstream value;
          value.precision(17);
          value << node.Scalar<double>();
          head += " value=" + value.str();
        }
      }
      break;
    case ncSubSelect:
      head = "subselect " + Block(node.SubSelect);
      break;
    case ncUnary:
      head = std::string("unary ") + (op != nullptr ? op : node.Text.c_str());
      break;
    case ncBinary:
      head = std::string("binary ") + (op != nullptr ? op : node.Text.c_str());
      break;
    case ncPrefixCompare:
      head = std::string("prefix ") + (op != nullptr ? op : node.Text.c_str()) +
             " length=" + std::to_string(node.PrefixLength);
      break;
    case ncFunction:
      head = std::string("function ") + (op != nullptr ? op : node.Text.c_str());
      break;
    case ncExtendedPredicate:
      head = std::string("predicate ") + (op != nullptr ? op : node.Text.c_str());
      break;
    default:
      head = "node " + node.Text;
      break;
  }
  if (node.NodeClass == ncFunction && node.OperatorCode == opCast) {
    head += " as " + TypeText(node.DataType, node.SubType, node.Size, node.Scale);
  }
  head += " : " + TypeText(node.DataType, node.SubType, node.Size, node.Scale);
  return head;
}

void TWriter::Expression(const TExpToken& root, int depth) {
  // Iterative, so the text of the deepest tree the parser accepts needs no deep stack.
  std::vector<std::pair<const TExpToken*, int>> work{{&root, depth}};
  while (!work.empty()) {
    auto [node, level] = work.back();
    work.pop_back();
    Line(level, NodeHead(*node));
    std::vector<const TExpToken*> children;
    if (node->Left) children.push_back(node->Left.get());
    if (node->Right) children.push_back(node->Right.get());
    for (const auto& argument : node->Arguments)
      children.push_back(argument.get());
    for (auto it = children.rbegin(); it != children.rend(); ++it)
      work.emplace_back(*it, level + 1);
  }
}

const char* RoleName(TQueryRole role) {
  switch (role) {
    case TQueryRole::Master:
      return "master";
    case TQueryRole::UnionPart:
      return "union part";
    case TQueryRole::InSubSelect:
      return "IN sub-select";
    case TQueryRole::InsertSource:
      return "INSERT source";
  }
  return "?";
}

const char* AggregateName(TAggregateKind kind) {
  switch (kind) {
    case TAggregateKind::Sum:
      return "SUM";
    case TAggregateKind::RunSum:
      return "RUNSUM";
    case TAggregateKind::Min:
      return "MIN";
    case TAggregateKind::Max:
      return "MAX";
    case TAggregateKind::Avg:
      return "AVG";
    case TAggregateKind::Count:
      return "COUNT";
    default:
      return "";
  }
}

const char* JoinName(TJoinKind kind) {
  switch (kind) {
    case TJoinKind::Inner:
      return "inner";
    case TJoinKind::LeftOuter:
      return "left outer";
    case TJoinKind::RightOuter:
      return "right outer";
  }
  return "?";
}

const char* CompressionName(TIndexCompression compression) {
  switch (compression) {
    case TIndexCompression::None:
      return "none";
    case TIndexCompression::DuplicateBytes:
      return "duplicate bytes";
    case TIndexCompression::TrailingBytes:
      return "trailing bytes";
    case TIndexCompression::Full:
      return "full";
  }
  return "?";
}

std::string TableRefText(const TTableRef& ref) {
  std::string text = ref.InMemory ? "MEMORY " : "";
  return text + ref.Folder + ref.Name;
}

std::string IndexText(const TCreateIndex& index) {
  std::string text = index.PrimaryKey ? "primary key" : "index " + Quoted(index.Name);
  if (!index.ConstraintName.empty()) text += " constraint " + Quoted(index.ConstraintName);
  if (index.Add) text += " add";
  if (index.Redefine) text += " redefine";
  if (index.Drop) text += " drop";
  if (index.Unique) text += " unique";
  if (index.Descending) text += " descending";
  if (index.NoCase) text += " nocase";
  text += std::string(" compress ") + CompressionName(index.Compression);
  if (!index.ColumnNames.empty()) {
    text += " (";
    for (std::size_t i = 0; i < index.ColumnNames.size(); ++i) {
      if (i > 0) text += ", ";
      text += index.ColumnNames[i];
      if (i < index.FieldNumbers.size()) text += " #" + std::to_string(index.FieldNumbers[i]);
    }
    text += ")";
  }
  return text;
}

std::string FieldText(const TCreateField& field) {
  std::string text = Quoted(field.Name);
  if (field.Add) text += " add";
  if (field.Redefine) text += " redefine";
  if (field.Drop) text += " drop";
  if (!field.NewName.empty()) text += " as " + Quoted(field.NewName);
  if (field.TypeGiven) {
    text += std::string(" ") + TypeName(field.DataType);
    if (const char* sub = SubTypeName(field.SubType)) text += std::string("/") + sub;
    if (field.Size != 0) text += "(" + std::to_string(field.Size) + ")";
    if (field.Scale != 0) text += " scale " + std::to_string(field.Scale);
  }
  if (field.PositionGiven) text += " at " + std::to_string(field.Position);
  if (field.DescriptionGiven) text += " description " + Quoted(field.Description);
  if (field.NotNull) text += " not null";
  if (field.DefaultGiven) text += " default " + Quoted(field.DefaultText);
  if (field.MinGiven) text += " min " + Quoted(field.MinText);
  if (field.MaxGiven) text += " max " + Quoted(field.MaxText);
  if (field.CharCaseGiven) {
    text += field.CharCase == TCharCase::Upper   ? " charcase upper"
            : field.CharCase == TCharCase::Lower ? " charcase lower"
                                                 : " charcase nochange";
  }
  return text;
}

void TWriter::Query(const TDataQuery& block, int depth) {
  std::string head =
      Block(&block) + " " + RoleName(block.Role) + " " + StatementKindName(block.Kind);
  if (block.Parenthesized) head += " parenthesized";
  if (block.Role == TQueryRole::UnionPart) head += block.UnionAll ? " (UNION ALL)" : " (UNION)";
  Line(depth, head);
  ++depth;

  std::string flags;
  auto flag = [&](bool on, const char* name) {
    if (on) flags += std::string(flags.empty() ? "" : " ") + name;
  };
  flag(block.Distinct, "distinct");
  flag(block.HasWhereOrJoin, "where-or-join");
  flag(block.HasMultipleSources, "multiple-sources");
  flag(block.HasGroupBy, "group-by");
  flag(block.HasHaving, "having");
  flag(block.HasOrderBy, "order-by");
  flag(block.OrderByNoCase, "order-nocase");
  flag(block.WithLocks, "with-locks");
  flag(block.NoJoinOptimize, "nojoinoptimize");
  flag(block.NoAutoInc, "noautoinc");
  flag(block.Flush, "flush");
  flag(block.IfExists, "if-exists");
  flag(block.IfNotExists, "if-not-exists");
  flag(block.AggregateOnly, "aggregate-only");
  flag(block.StarOnly, "star-only");
  flag(block.Bound, "bound");
  if (!flags.empty()) Line(depth, "flags " + flags);
  if (block.TopCount >= 0) Line(depth, "top " + std::to_string(block.TopCount));
  if (block.CommitIntervalGiven)
    Line(depth, "commit interval " + std::to_string(block.CommitInterval));
  if (block.LanguageGiven) {
    Line(depth,
         "language " + Quoted(block.LanguageName) + " id " + std::to_string(block.LanguageId));
  }
  if (block.SortGiven) {
    Line(depth, "sort " + Quoted(block.SortName) + " id " + std::to_string(block.SortId));
  }
  if (block.EncryptedGiven) Line(depth, "encrypted with " + Quoted(block.Password));
  if (block.IntoGiven) Line(depth, "into " + TableRefText(block.Into));
  if (!block.Target.Name.empty() || block.Target.InMemory) {
    Line(depth, "target " + TableRefText(block.Target));
  }
  if (!block.IndexName.empty()) Line(depth, "index name " + Quoted(block.IndexName));
  if (block.UnionNext != nullptr) Line(depth, "union next " + Block(block.UnionNext));
  if (block.InsertSource != nullptr) Line(depth, "insert source " + Block(block.InsertSource));

  if (!block.ResultFields.empty()) Line(depth, "columns");
  for (const auto& field : block.ResultFields) {
    std::string text = std::to_string(field->Position) + " {" + field->ClauseText + "}";
    if (!field->ResultName.empty()) text += " name " + Quoted(field->ResultName);
    if (field->AliasGiven) text += " alias " + Quoted(field->Alias);
    if (field->Aggregate != TAggregateKind::None)
      text += std::string(" ") + AggregateName(field->Aggregate);
    if (field->IsExpression) text += " expression";
    if (field->SourceTable != nullptr) {
      text += " source " + field->SourceTable->CorrelationName + "." + field->SourceFieldName +
              " #" + std::to_string(field->SourceFieldNo);
    }
    if (block.Bound)
      text += " : " + TypeText(field->DataType, field->SubType, field->Size, field->Scale);
    Line(depth + 1, text);
    Expression(*field->Expression, depth + 2);
  }
  if (!block.SourceTables.empty()) Line(depth, "sources");
  for (const auto& table : block.SourceTables) {
    std::string text = std::to_string(table->Position) + " " + TableRefText(table->Ref()) + " as " +
                       table->CorrelationName;
    if (table->Schema) text += " (" + std::to_string(table->Schema->Fields.size()) + " fields)";
    Line(depth + 1, text);
  }
  for (const TTableJoin& join : block.Joins) {
    Line(depth, std::string("join ") + JoinName(join.Kind) + " " +
                    (join.Left != nullptr ? join.Left->CorrelationName : "?") + " -> " +
                    (join.Right != nullptr ? join.Right->CorrelationName : "?"));
  }
  for (const auto& table : block.AutoIncTables) {
    Line(depth, "autoinc table " + TableRefText(table->Ref()));
  }
  if (block.Condition) {
    Line(depth, "condition");
    Expression(*block.Condition, depth + 1);
  }
  if (!block.GroupByFields.empty()) Line(depth, "group by");
  for (const TGroupByField& item : block.GroupByFields) {
    std::string text =
        item.ColumnName.empty()
            ? "#" + std::to_string(item.ColumnNumber)
            : (item.CorrelationName.empty() ? "" : item.CorrelationName + ".") + item.ColumnName;
    if (item.ResultIndex >= 0) text += " -> column " + std::to_string(item.ResultIndex + 1);
    Line(depth + 1, text);
  }
  if (block.Having) {
    Line(depth, "having");
    Expression(*block.Having, depth + 1);
  }
  if (!block.OrderByFields.empty()) Line(depth, "order by");
  for (const TOrderByField& item : block.OrderByFields) {
    std::string text =
        item.ColumnName.empty()
            ? "#" + std::to_string(item.ColumnNumber)
            : (item.CorrelationName.empty() ? "" : item.CorrelationName + ".") + item.ColumnName;
    if (item.Descending) text += " desc";
    if (item.ResultIndex >= 0) text += " -> column " + std::to_string(item.ResultIndex + 1);
    Line(depth + 1, text);
  }
  if (!block.UpdateFields.empty()) Line(depth, "target columns");
  for (std::size_t i = 0; i < block.UpdateFields.size(); ++i) {
    const TUpdateField& field = block.UpdateFields[i];
    std::string text = std::to_string(i + 1) + " " +
                       Quoted(field.ColumnName.empty() ? field.ClauseText : field.ColumnName);
    if (field.FieldNo > 0) {
      text += " #" + std::to_string(field.FieldNo) + " : " +
              TypeText(field.DataType, field.SubType, field.Size, field.Scale);
    }
    Line(depth + 1, text);
  }
  if (!block.UpdateValues.empty()) Line(depth, "values");
  for (std::size_t i = 0; i < block.UpdateValues.size(); ++i) {
    Line(depth + 1, std::to_string(i + 1) + " {" + block.UpdateValues[i].ClauseText + "}");
    Expression(*block.UpdateValues[i].Value, depth + 2);
  }
  if (!block.CreateFields.empty()) Line(depth, "fields");
  for (std::size_t i = 0; i < block.CreateFields.size(); ++i) {
    Line(depth + 1, std::to_string(i + 1) + " " + FieldText(block.CreateFields[i]));
  }
  for (const TCreateIndex& index : block.CreateIndexes)
    Line(depth, IndexText(index));
  const TTableOptions& options = block.Options;
  if (options.TextIndexGiven) {
    std::string text = "text index (";
    for (std::size_t i = 0; i < options.TextIndexColumnNames.size(); ++i) {
      if (i > 0) text += ", ";
      text += options.TextIndexColumnNames[i];
      if (i < options.TextIndexFieldNumbers.size()) {
        text += " #" + std::to_string(options.TextIndexFieldNumbers[i]);
      }
    }
    Line(depth, text + ")");
  }
  if (options.StopWordsGiven) Line(depth, "stop words " + Quoted(options.StopWords));
  if (options.SpaceCharsGiven) Line(depth, "space chars " + Quoted(options.SpaceChars));
  if (options.IncludeCharsGiven) Line(depth, "include chars " + Quoted(options.IncludeChars));
  if (options.DescriptionGiven) Line(depth, "description " + Quoted(options.Description));
  if (options.BlobBlockSizeGiven)
    Line(depth, "blob block size " + std::to_string(options.BlobBlockSize));
  if (options.UserMajorVersionGiven) {
    Line(depth, "user major version " + std::to_string(options.UserMajorVersion));
  }
  if (options.UserMinorVersionGiven) {
    Line(depth, "user minor version " + std::to_string(options.UserMinorVersion));
  }
  if (options.LastAutoIncGiven) Line(depth, "last autoinc " + std::to_string(options.LastAutoInc));
  if (options.NoBackup) Line(depth, "nobackup");
}

}  // namespace

std::string TypeText(TDataType type, TSubType subType, std::int32_t size, std::int32_t scale) {
  std::string text = TypeName(type);
  if (const char* sub = SubTypeName(subType)) text += std::string("/") + sub;
  if (type == dtString || type == dtBytes || type == dtBCD) {
    text += "[" + std::to_string(size);
    if (type == dtBCD) text += "," + std::to_string(scale);
    text += "]";
  }
  return text;
}

std::string ExpressionText(const TExpToken& tree, const std::string& indent) {
  TWriter writer(nullptr);
  writer.Expression(tree, 0);
  std::string text = writer.Take();
  if (indent.empty()) return text;
  std::string out;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    out += indent + text.substr(start, end - start + 1);
    start = end + 1;
  }
  return out;
}

std::string StatementText(const TQueryStatement& statement) {
  TBlockNumbers numbers;
  const auto& blocks = statement.QueryBlocks();
  for (std::size_t i = 0; i < blocks.size(); ++i)
    numbers[blocks[i].get()] = static_cast<int>(i) + 1;
  TWriter writer(&numbers);
  writer.Line(0, std::string("statement ") + StatementKindName(statement.Kind()));
  for (const auto& block : blocks)
    writer.Query(*block, 1);
  return writer.Take();
}

}  // namespace zorvic::engine
