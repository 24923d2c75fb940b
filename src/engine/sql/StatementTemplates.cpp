#include "engine/sql/StatementTemplates.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "engine/EngineLimits.h"
#include "engine/sql/QueryStatement.h"

namespace zorvic::engine {
namespace {

std::atomic<bool> TemplatesOn{true};

// The buffer a thread keeps for the literals of the text being matched.
constexpr std::size_t KeptLiteralBytes = 64 * 1024;

// A place where a literal may stand for the shape's variable part: a constant given as a whole
// INSERT or UPDATE value (ValueIndex its index), or a constant compared with a column in the
// WHERE's chain of ANDs (ValueIndex -1).
struct TPlace {
  TExpToken* Node = nullptr;
  int ValueIndex = -1;
};

bool IsComparison(TOperatorCode code) {
  return code == opEqual || code == opNotEqual || code == opGreater || code == opLess ||
         code == opGreaterEqual || code == opLessEqual;
}

// The places of a block in a fixed order: the values first, then the comparisons from left to
// right. A copy of a block gives the same order.
void CollectPlaces(const TDataQuery& block, std::vector<TPlace>& places) {
  places.clear();
  for (std::size_t i = 0; i < block.UpdateValues.size(); ++i) {
    TExpToken* value = block.UpdateValues[i].Value.get();
    if (value != nullptr && value->NodeClass == ncConstant) {
      places.push_back({value, static_cast<int>(i)});
    }
  }
  if (!block.Condition) return;
  std::vector<TExpToken*> pending{block.Condition.get()};
  while (!pending.empty()) {
    TExpToken* node = pending.back();
    pending.pop_back();
    if (node->NodeClass != ncBinary || !node->Left || !node->Right) continue;
    if (node->OperatorCode == opAnd) {
      pending.push_back(node->Right.get());
      pending.push_back(node->Left.get());
      continue;
    }
    if (!IsComparison(node->OperatorCode)) continue;
    TExpToken* left = node->Left.get();
    TExpToken* right = node->Right.get();
    if (left->NodeClass == ncColumn && right->NodeClass == ncConstant) {
      places.push_back({right, -1});
    } else if (right->NodeClass == ncColumn && left->NodeClass == ncConstant) {
      places.push_back({left, -1});
    }
  }
}

// One statement on one table, with nothing a copy of its block could not stand for.
bool Reusable(const TDataQuery& block) {
  switch (block.Kind) {
    case TStatementKind::Select:
    case TStatementKind::Insert:
    case TStatementKind::Update:
    case TStatementKind::Delete:
      break;
    default:
      return false;
  }
  return block.Role == TQueryRole::Master && block.Master == nullptr &&
         block.UnionNext == nullptr && block.InsertSource == nullptr && !block.IntoGiven &&
         block.SourceTables.size() == 1 && block.Joins.empty() && !block.HasMultipleSources &&
         block.AutoIncTables.empty() && block.CreateFields.empty() && block.CreateIndexes.empty() &&
         !block.Options.TextIndexGiven && block.Options.TextIndexColumns.empty() &&
         (block.WhereCondition == nullptr || block.WhereCondition == block.Condition.get()) &&
         !block.Bound;
}

void AssignTree(TExpTokenPtr& to, const TExpTokenPtr& from) {
  if (from) {
    AssignExpTree(to, *from);
  } else {
    to.reset();
  }
}

// Makes a block what the parser left in from, a block that Reusable accepts: every field is
// set, so a block used by an earlier statement (bound and run) serves as well as a new one,
// and its nodes, strings and lists are reused. A new field of a block or of its clause records
// must be set here too.
void AssignParsedBlock(TDataQuery& to, const TDataQuery& from) {
  to.Kind = from.Kind;
  to.Role = from.Role;
  to.Master = nullptr;
  to.Parenthesized = from.Parenthesized;
  to.ResultFields.resize(from.ResultFields.size());
  for (std::size_t i = 0; i < from.ResultFields.size(); ++i) {
    const TResultField& field = *from.ResultFields[i];
    if (!to.ResultFields[i]) to.ResultFields[i] = std::make_unique<TResultField>();
    TResultField& copy = *to.ResultFields[i];
    AssignTree(copy.Expression, field.Expression);
    copy.ColumnName = field.ColumnName;
    copy.CorrelationName = field.CorrelationName;
    copy.Alias = field.Alias;
    copy.AliasGiven = field.AliasGiven;
    copy.Aggregate = field.Aggregate;
    copy.IsExpression = field.IsExpression;
    copy.ClauseText = field.ClauseText;
    copy.ResultName = field.ResultName;
    copy.DataType = field.DataType;
    copy.SubType = field.SubType;
    copy.Size = field.Size;
    copy.Scale = field.Scale;
    copy.SourceTable = nullptr;
    copy.SourceFieldNo = field.SourceFieldNo;
    copy.SourceFieldName = field.SourceFieldName;
    copy.Position = field.Position;
  }
  to.SourceTables.resize(from.SourceTables.size());
  for (std::size_t i = 0; i < from.SourceTables.size(); ++i) {
    if (!to.SourceTables[i]) to.SourceTables[i] = std::make_unique<TSourceTable>();
    *to.SourceTables[i] = *from.SourceTables[i];
  }
  to.Joins.clear();
  to.GroupByFields = from.GroupByFields;
  to.OrderByFields = from.OrderByFields;
  to.UpdateFields.resize(from.UpdateFields.size());
  for (std::size_t i = 0; i < from.UpdateFields.size(); ++i) {
    const TUpdateField& field = from.UpdateFields[i];
    TUpdateField& copy = to.UpdateFields[i];
    AssignTree(copy.Column, field.Column);
    copy.ColumnName = field.ColumnName;
    copy.CorrelationName = field.CorrelationName;
    copy.ClauseText = field.ClauseText;
    copy.FieldNo = field.FieldNo;
    copy.DataType = field.DataType;
    copy.SubType = field.SubType;
    copy.Size = field.Size;
    copy.Scale = field.Scale;
  }
  to.UpdateValues.resize(from.UpdateValues.size());
  for (std::size_t i = 0; i < from.UpdateValues.size(); ++i) {
    AssignTree(to.UpdateValues[i].Value, from.UpdateValues[i].Value);
    to.UpdateValues[i].ClauseText = from.UpdateValues[i].ClauseText;
  }
  to.CreateFields.clear();
  to.CreateIndexes.clear();
  AssignTree(to.Condition, from.Condition);
  to.WhereCondition = from.WhereCondition != nullptr ? to.Condition.get() : nullptr;
  AssignTree(to.Having, from.Having);
  to.Distinct = from.Distinct;
  to.HasWhereOrJoin = from.HasWhereOrJoin;
  to.HasMultipleSources = from.HasMultipleSources;
  to.HasGroupBy = from.HasGroupBy;
  to.HasHaving = from.HasHaving;
  to.HasOrderBy = from.HasOrderBy;
  to.OrderByNoCase = from.OrderByNoCase;
  to.TopCount = from.TopCount;
  to.WithLocks = from.WithLocks;
  to.LanguageName = from.LanguageName;
  to.LanguageId = from.LanguageId;
  to.LanguageGiven = from.LanguageGiven;
  to.SortName = from.SortName;
  to.SortId = from.SortId;
  to.SortGiven = from.SortGiven;
  to.Password = from.Password;
  to.EncryptedGiven = from.EncryptedGiven;
  to.NoJoinOptimize = from.NoJoinOptimize;
  to.NoAutoInc = from.NoAutoInc;
  to.CommitInterval = from.CommitInterval;
  to.CommitIntervalGiven = from.CommitIntervalGiven;
  to.Flush = from.Flush;
  to.IntoGiven = from.IntoGiven;
  to.Into = from.Into;
  to.UnionNext = nullptr;
  to.UnionAll = from.UnionAll;
  to.InsertSource = nullptr;
  to.IfExists = from.IfExists;
  to.IfNotExists = from.IfNotExists;
  to.Target = from.Target;
  to.IndexName = from.IndexName;
  to.Options = TTableOptions();
  to.AutoIncTables.clear();
  to.Bound = from.Bound;
  to.AggregateOnly = from.AggregateOnly;
  to.StarOnly = from.StarOnly;
}

struct TSlot {
  std::size_t Place = 0;
  TokenKind Kind = tkNone;
  TDataType Type = dtNull;  // of the constant the parse made
};

struct TTemplate {
  std::string Folder;
  // The bytes before, between and after the slots' literals: one more than slots.
  std::vector<std::string> Fixed;
  std::vector<TSlot> Slots;
  std::size_t PlaceCount = 0;
  std::unique_ptr<TDataQuery> Block;  // the parse, never bound
  // A block a statement of this shape gave back, for the next one to be made from.
  std::unique_ptr<TDataQuery> Spare;
  std::thread::id Owner = std::this_thread::get_id();
  // The statement's source is the text from SourceStart to SourceTail bytes before its end.
  std::size_t SourceStart = 0;
  std::size_t SourceTail = 0;
  std::string Context;  // the lexer's parse context after the parse
};

struct TLiteral {
  std::size_t Start = 0;
  std::size_t End = 0;
  std::string Text;
};

struct TThreadTemplates {
  std::vector<std::shared_ptr<TTemplate>> Templates;  // the most recently used first
  std::vector<std::size_t> Seen;                      // shapes seen once, a ring
  std::size_t SeenNext = 0;
  std::vector<TPlace> Places;
  std::vector<TLiteral> Literals;
  std::vector<const TExpToken*> Pending;  // nodes still to visit in a walk of a block
  TExpToken Scratch;
  std::size_t Hits = 0;
};

TThreadTemplates& Mine() {
  thread_local TThreadTemplates templates;
  return templates;
}

std::size_t ShapeHash(const std::string& folder, const std::vector<std::string>& fixed,
                      const std::vector<TSlot>& slots) {
  std::size_t hash = std::hash<std::string>()(folder);
  auto mix = [&hash](std::size_t value) {
    hash ^= value + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
  };
  for (const std::string& part : fixed)
    mix(std::hash<std::string>()(part));
  for (const TSlot& slot : slots)
    mix(static_cast<std::size_t>(slot.Kind));
  return hash;
}

bool SameShape(const TTemplate& a, const TTemplate& b) {
  if (a.Folder != b.Folder || a.Fixed != b.Fixed || a.Slots.size() != b.Slots.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.Slots.size(); ++i) {
    if (a.Slots[i].Kind != b.Slots[i].Kind) return false;
  }
  return true;
}

// Whether text has the template's shape; fills the literals found in the slots. Lexer errors
// (an unterminated string) propagate: the caller parses the text, which reports them.
bool Matches(const TTemplate& shape, const std::string& text, TExpressionParser& lexer,
             TThreadTemplates& mine) {
  mine.Literals.resize(shape.Slots.size());
  std::size_t at = 0;
  for (std::size_t i = 0; i < shape.Slots.size(); ++i) {
    const std::string& fixed = shape.Fixed[i];
    if (text.compare(at, fixed.size(), fixed) != 0) return false;
    at += fixed.size();
    const TSlot& slot = shape.Slots[i];
    if (lexer.ReadTokenAt(at) != slot.Kind || lexer.TokenStart() != at) return false;
    TLiteral& literal = mine.Literals[i];
    literal.Start = at;
    literal.End = lexer.Position();
    literal.Text = lexer.TokenText();
    if (slot.Kind == tkSingleQuoted) {
      if (literal.Text.empty()) return false;  // '' is the NULL constant
    } else if (!SetLiteralConstant(mine.Scratch, slot.Kind, literal.Text) ||
               mine.Scratch.DataType != slot.Type) {
      return false;
    }
    at = literal.End;
  }
  const std::string& last = shape.Fixed.back();
  return text.size() - at == last.size() && text.compare(at, last.size(), last) == 0;
}

// Whether the value buffers of a block's trees hold more than limit bytes (evaluation grows
// them to the largest value met): such a block is not kept for reuse. pending is scratch.
bool HoldsMoreValueBytes(const TDataQuery& block, std::size_t limit,
                         std::vector<const TExpToken*>& pending) {
  pending.clear();
  for (const auto& field : block.ResultFields)
    pending.push_back(field->Expression.get());
  for (const TUpdateField& field : block.UpdateFields)
    pending.push_back(field.Column.get());
  for (const TUpdateValue& value : block.UpdateValues)
    pending.push_back(value.Value.get());
  pending.push_back(block.Condition.get());
  pending.push_back(block.Having.get());
  std::size_t bytes = 0;
  while (!pending.empty()) {
    const TExpToken* node = pending.back();
    pending.pop_back();
    if (node == nullptr) continue;
    bytes += node->ValueCapacity();
    if (bytes > limit) return true;
    pending.push_back(node->Left.get());
    pending.push_back(node->Right.get());
    for (const TExpTokenPtr& argument : node->Arguments)
      pending.push_back(argument.get());
  }
  return false;
}

// A long literal's copy is not kept for the next text.
void DropLongLiterals(TThreadTemplates& mine) {
  for (TLiteral& literal : mine.Literals) {
    if (literal.Text.capacity() > KeptLiteralBytes) std::string().swap(literal.Text);
  }
}

}  // namespace

void SetStatementTemplates(bool on) {
  TemplatesOn.store(on, std::memory_order_relaxed);
}

bool StatementTemplatesOn() {
  return TemplatesOn.load(std::memory_order_relaxed);
}

void ClearStatementTemplates() {
  TThreadTemplates& mine = Mine();
  mine.Templates.clear();
  mine.Seen.clear();
  mine.SeenNext = 0;
}

std::size_t StatementTemplateHits() {
  return Mine().Hits;
}

namespace detail {

bool TStatementTemplates::Take(TQueryStatement& statement) {
  if (!StatementTemplatesOn()) return false;
  TThreadTemplates& mine = Mine();
  if (mine.Templates.empty()) return false;
  TExpressionParser& lexer = statement.Lexer_;
  const std::string& text = lexer.Text();
  for (std::size_t i = 0; i < mine.Templates.size(); ++i) {
    TTemplate& shape = *mine.Templates[i];
    if (shape.Folder != statement.DatabaseFolder_) continue;
    bool matched = false;
    try {
      matched = Matches(shape, text, lexer, mine);
    } catch (const EVELDOREngineError&) {
      matched = false;
    }
    if (!matched) continue;
    std::unique_ptr<TDataQuery> block = std::move(shape.Spare);
    if (!block) block = std::make_unique<TDataQuery>();
    AssignParsedBlock(*block, *shape.Block);
    CollectPlaces(*block, mine.Places);
    if (mine.Places.size() != shape.PlaceCount) break;  // cannot be: a copy has the places
    for (std::size_t s = 0; s < shape.Slots.size(); ++s) {
      const TPlace& place = mine.Places[shape.Slots[s].Place];
      const TLiteral& literal = mine.Literals[s];
      SetLiteralConstant(*place.Node, shape.Slots[s].Kind, literal.Text);
      if (place.ValueIndex >= 0) {
        block->UpdateValues[static_cast<std::size_t>(place.ValueIndex)].ClauseText =
            TExpressionParser::ClauseTextOf(
                std::string_view(text).substr(literal.Start, literal.End - literal.Start),
                MaxClauseTextLength);
      }
    }
    statement.Blocks_.push_back(std::move(block));
    statement.TemplateLink_ = mine.Templates[i];
    statement.StatementSource_ =
        text.substr(shape.SourceStart, text.size() - shape.SourceTail - shape.SourceStart);
    lexer.SetParseContext(shape.Context);
    lexer.MoveToEnd();
    std::rotate(mine.Templates.begin(), mine.Templates.begin() + static_cast<std::ptrdiff_t>(i),
                mine.Templates.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    ++mine.Hits;
    DropLongLiterals(mine);
    return true;
  }
  DropLongLiterals(mine);
  lexer.Rewind();
  return false;
}

void TStatementTemplates::GiveBack(TQueryStatement& statement) {
  if (statement.TemplateLink_.expired()) return;
  const auto shape = std::static_pointer_cast<TTemplate>(statement.TemplateLink_.lock());
  statement.TemplateLink_.reset();
  // Only the thread whose template it is touches it.
  if (!shape || shape->Owner != std::this_thread::get_id() || shape->Spare ||
      statement.Blocks_.size() != 1 ||
      HoldsMoreValueBytes(*statement.Blocks_.front(), KeptLiteralBytes, Mine().Pending)) {
    return;
  }
  shape->Spare = std::move(statement.Blocks_.front());
  statement.Blocks_.clear();
}

void TStatementTemplates::Note(TQueryStatement& statement) {
  if (!StatementTemplatesOn()) return;
  if (statement.Blocks_.size() != 1 || !statement.ParameterList.empty() ||
      statement.ParseNotes_.ClockRead) {
    return;
  }
  const TDataQuery& block = *statement.Blocks_.front();
  if (!Reusable(block)) return;
  const std::string& text = statement.Lexer_.Text();
  TThreadTemplates& mine = Mine();
  CollectPlaces(block, mine.Places);

  // The places that hold a literal of the text, in the order of the text.
  std::vector<std::pair<const TExpToken*, std::size_t>> places;  // node, place index
  places.reserve(mine.Places.size());
  for (std::size_t p = 0; p < mine.Places.size(); ++p)
    places.emplace_back(mine.Places[p].Node, p);
  std::sort(places.begin(), places.end());
  struct TFound {
    TLiteralMark Mark;
    TSlot Slot;
  };
  std::vector<TFound> found;
  for (const TLiteralMark& mark : statement.ParseNotes_.Literals) {
    const auto it =
        std::lower_bound(places.begin(), places.end(), std::make_pair(mark.Node, std::size_t{0}));
    if (it == places.end() || it->first != mark.Node) continue;
    if (mark.Start >= mark.End || mark.End > text.size()) return;
    const TPlace& place = mine.Places[it->second];
    const TExpToken& node = *place.Node;
    if (node.IsParameter || node.DoubleQuoted || node.IsNull) continue;
    // The span reads as the token the constant was made of.
    TExpressionParser& lexer = statement.Lexer_;
    const bool same = lexer.ReadTokenAt(mark.Start) == mark.Kind &&
                      lexer.TokenStart() == mark.Start && lexer.Position() == mark.End &&
                      lexer.TokenText() == node.Text;
    lexer.MoveToEnd();
    if (!same) return;
    if (place.ValueIndex >= 0) {
      // The value's clause text is its literal alone (not "(5)" around it).
      const std::string& clause =
          block.UpdateValues[static_cast<std::size_t>(place.ValueIndex)].ClauseText;
      if (clause != TExpressionParser::ClauseTextOf(
                        std::string_view(text).substr(mark.Start, mark.End - mark.Start),
                        MaxClauseTextLength)) {
        continue;
      }
    }
    found.push_back({mark, {it->second, mark.Kind, node.DataType}});
  }
  std::sort(found.begin(), found.end(),
            [](const TFound& a, const TFound& b) { return a.Mark.Start < b.Mark.Start; });
  for (std::size_t i = 1; i < found.size(); ++i) {
    if (found[i].Slot.Place == found[i - 1].Slot.Place) return;
  }

  std::size_t at = 0, fixedBytes = 0;
  for (const TFound& f : found) {
    if (f.Mark.Start < at) return;  // overlapping spans: a parse that went back
    fixedBytes += f.Mark.Start - at;
    at = f.Mark.End;
  }
  fixedBytes += text.size() - at;
  if (fixedBytes > TemplateFixedBytesLimit) return;
  auto shape = std::make_shared<TTemplate>();
  shape->Folder = statement.DatabaseFolder_;
  shape->PlaceCount = mine.Places.size();
  at = 0;
  for (const TFound& f : found) {
    shape->Fixed.push_back(text.substr(at, f.Mark.Start - at));
    shape->Slots.push_back(f.Slot);
    at = f.Mark.End;
  }
  shape->Fixed.push_back(text.substr(at));
  shape->SourceStart = statement.SourceStart_;
  const std::size_t sourceEnd = statement.SourceStart_ + statement.StatementSource_.size();
  if (sourceEnd > text.size()) return;
  shape->SourceTail = text.size() - sourceEnd;
  // The trimmed tail and the head before the source lie in fixed bytes.
  if (shape->SourceTail > shape->Fixed.back().size() ||
      shape->SourceStart > shape->Fixed.front().size()) {
    return;
  }

  const std::size_t hash = ShapeHash(shape->Folder, shape->Fixed, shape->Slots);
  if (std::find(mine.Seen.begin(), mine.Seen.end(), hash) == mine.Seen.end()) {
    if (mine.Seen.size() < StatementShapesSeen) {
      mine.Seen.push_back(hash);
    } else {
      mine.Seen[mine.SeenNext] = hash;
      mine.SeenNext = (mine.SeenNext + 1) % StatementShapesSeen;
    }
    return;
  }

  shape->Context = std::string(statement.Lexer_.ParseContext());
  shape->Block = std::make_unique<TDataQuery>();
  AssignParsedBlock(*shape->Block, block);
  // The slots' values are set anew at every use: the template keeps none of them.
  CollectPlaces(*shape->Block, mine.Places);
  for (const TSlot& slot : shape->Slots) {
    TExpToken& node = *mine.Places[slot.Place].Node;
    node.Text.clear();
    node.ReleaseValue();
  }
  auto same = std::find_if(mine.Templates.begin(), mine.Templates.end(),
                           [&](const auto& kept) { return SameShape(*kept, *shape); });
  if (same != mine.Templates.end()) {
    mine.Templates.erase(same);
  } else if (mine.Templates.size() >= StatementTemplateCapacity) {
    mine.Templates.pop_back();
  }
  mine.Templates.insert(mine.Templates.begin(), std::move(shape));
}

}  // namespace detail
}  // namespace zorvic::engine
