#include "engine/sql/exec/ResultTable.h"

#include <algorithm>

#include "engine/sql/eval/RecordValues.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/formats/FieldDefs.h"
#include "engine/storage/sessions/DataSession.h"

namespace zorvic::engine {

void CellFromValue(const TExpToken& value, TCell& cell) {
  cell.Type = value.DataType;
  cell.SubType = value.SubType;
  cell.Size = value.Size;
  cell.Scale = value.Scale;
  cell.Null = value.IsNull || value.DataType == dtNull;
  if (cell.Null) {
    cell.Bytes.clear();
  } else {
    cell.Bytes.assign(reinterpret_cast<const char*>(value.ValueData()), value.ValueLength());
  }
}

void ValueFromCell(const TCell& cell, TExpToken& value) {
  std::uint8_t* data = value.ReserveValue(cell.Bytes.size());
  if (!cell.Bytes.empty()) std::memcpy(data, cell.Bytes.data(), cell.Bytes.size());
  value.DataType = cell.Type;
  value.SubType = cell.SubType;
  value.Size = cell.Size;
  value.Scale = cell.Scale;
  value.IsNull = cell.Null;
}

void AssignValue(TExpToken& target, const TExpToken& source) {
  std::uint8_t* data = target.ReserveValue(source.ValueLength());
  if (source.ValueLength() > 0) std::memcpy(data, source.ValueData(), source.ValueLength());
  target.DataType = source.DataType;
  target.SubType = source.SubType;
  target.Size = source.Size;
  target.Scale = source.Scale;
  target.IsNull = source.IsNull;
}

// --- comparing rows ------------------------------------------------------------------------

namespace {
// A text cell's text: its bytes up to the first NUL, as a value node's text.
std::string_view TextOfCell(const TCell& cell) {
  const std::string_view bytes(cell.Bytes);
  return bytes.substr(0, std::min(bytes.size(), bytes.find('\0')));
}
}  // namespace

TRowComparer::TRowComparer(std::vector<TKey> keys, const TEvalContext& context, bool noCase)
    : Keys_(std::move(keys)),
      Context_(context),
      NoCase_(noCase),
      Left_(NewExpToken()),
      Right_(NewExpToken()) {}

std::vector<TRowComparer::TKey> TRowComparer::AllColumns(std::size_t count) {
  std::vector<TKey> keys(count);
  for (std::size_t i = 0; i < count; ++i)
    keys[i].Column = static_cast<int>(i);
  return keys;
}

int TRowComparer::Compare(const TRow& a, const TRow& b) const {
  for (const TKey& key : Keys_) {
    const TCell& x = a[static_cast<std::size_t>(key.Column)];
    const TCell& y = b[static_cast<std::size_t>(key.Column)];
    int order;
    if (x.Null || y.Null) {
      order = x.Null == y.Null ? 0 : (x.Null ? -1 : 1);
    } else if (x.Type == dtBlob || y.Type == dtBlob) {
      order = x.Bytes.compare(y.Bytes);
      order = order < 0 ? -1 : (order > 0 ? 1 : 0);
    } else if (IsStringOrMemo(x.Type, x.SubType) && IsStringOrMemo(y.Type, y.SubType)) {
      // Two texts (the commonest key) compare as values do, without copying them into nodes.
      order = CompareTextValues(TextOfCell(x), TextOfCell(y), Context_, NoCase_);
    } else {
      ValueFromCell(x, *Left_);
      ValueFromCell(y, *Right_);
      order = CompareValues(*Left_, *Right_, Context_, NoCase_);
    }
    if (order != 0) return key.Descending ? -order : order;
  }
  return 0;
}

void RemoveDuplicateRows(std::vector<TRow>& rows, const TEvalContext& context) {
  if (rows.size() < 2) return;
  const std::size_t columns = rows.front().size();
  TRowComparer comparer(TRowComparer::AllColumns(columns), context, false);
  // Sort the row numbers, keep the first of each run of equal rows, restore the order.
  std::vector<std::size_t> order(rows.size());
  for (std::size_t i = 0; i < order.size(); ++i)
    order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return comparer.Less(rows[a], rows[b]); });
  std::vector<bool> keep(rows.size(), false);
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i == 0 || comparer.Compare(rows[order[i - 1]], rows[order[i]]) != 0) keep[order[i]] = true;
  }
  std::size_t out = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!keep[i]) continue;
    if (out != i) rows[out] = std::move(rows[i]);
    ++out;
  }
  rows.resize(out);
}

// --- the result table ----------------------------------------------------------------------

namespace {

TFieldDefinition FieldOf(const TResultColumn& column) {
  TFieldDefinition field;
  field.Name = column.Name;
  field.DataType = static_cast<std::uint8_t>(column.Type);
  field.SubType = static_cast<std::uint8_t>(column.SubType);
  switch (column.Type) {
    case dtNull:
      // A column of NULL constants: the smallest String.
      field.DataType = dtString;
      field.SubType = stNone;
      field.Size = 1;
      break;
    case dtString:
      field.Size = static_cast<std::uint32_t>(std::max(column.Size - 1, 1));
      break;
    case dtBytes:
      field.Size = static_cast<std::uint32_t>(std::max(column.Size, 1));
      break;
    case dtBCD:
      field.Scale = static_cast<std::uint32_t>(column.Scale);
      break;
    default:
      break;
  }
  return field;
}

// A result name as a table column can hold it: an alias may begin with any character, a
// column name only with a letter or "_"; such a name gets a leading "_" (and a number when
// that makes it equal to another column's).
std::string StorableName(const std::string& name, const std::vector<TFieldDefinition>& before) {
  std::string stored = name;
  if (!IsValidFieldName(stored)) stored = ("_" + stored).substr(0, MaxFieldNameLength);
  auto taken = [&](const std::string& candidate) {
    return std::any_of(before.begin(), before.end(), [&](const TFieldDefinition& field) {
      return SameFieldName(field.Name, candidate);
    });
  };
  for (int number = 1; taken(stored); ++number) {
    const std::string suffix = "_" + std::to_string(number);
    stored = stored.substr(0, MaxFieldNameLength - suffix.size()) + suffix;
  }
  return stored;
}

bool SameFields(const std::vector<TFieldDefinition>& a, const std::vector<TFieldDefinition>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const TFieldDefinition& x = a[i];
    const TFieldDefinition& y = b[i];
    // Spelled the same, not merely equal ignoring case: the cursor shows the names as made.
    if (x.Name != y.Name || x.DataType != y.DataType || x.SubType != y.SubType ||
        x.Size != y.Size || x.Scale != y.Scale)
      return false;
  }
  return true;
}

}  // namespace

std::vector<TFieldDefinition> ResultTableFields(const std::vector<TResultColumn>& columns) {
  std::vector<TFieldDefinition> fields;
  fields.reserve(columns.size());
  for (const TResultColumn& column : columns) {
    TFieldDefinition field = FieldOf(column);
    field.Name = StorableName(field.Name, fields);
    fields.push_back(std::move(field));
  }
  return fields;
}

TResultTable::TResultTable(TDataDirectory& statementDatabase)
    : StatementDatabase_(statementDatabase), Scratch_(NewExpToken()) {}

TResultTable::~TResultTable() {
  try {
    if (Cursor_ && Cursor_->IsOpen()) Cursor_->Close();
    Cursor_.reset();
    if (Temporary_ && Database_ != nullptr) Database_->DeleteTable(Name_, Database_->InMemory());
  } catch (...) {
    // A temporary table that cannot be deleted now is left to the registry's clean-up.
  }
  if (OwnsDatabase_ && Database_ != nullptr) Database_->Session().CloseDatabase(*Database_);
}

void TResultTable::Create(const std::vector<TResultColumn>& columns, const TTableRef* into) {
  TDataSession& session = StatementDatabase_.Session();
  if (into == nullptr || into->InMemory) {
    Database_ = &session.OpenDatabase("Memory");
    OwnsDatabase_ = true;
  } else if (!into->Folder.empty()) {
    Database_ = &session.OpenDatabase(into->Folder);
    OwnsDatabase_ = true;
  } else {
    Database_ = &StatementDatabase_;
  }
  TTableCreation creation;
  creation.Table.Fields = ResultTableFields(columns);
  Fields_ = creation.Table.Fields;
  const bool memory = Database_->InMemory();
  if (into == nullptr || into->Name.empty()) {
    // The name is reserved exclusively before the table is made over it. INTO MEMORY without
    // a name has no name to find the table by later, so it goes with the statement too.
    Name_ = Database_->TemporaryTableName(true);
    if (Name_.size() > 4) Name_.resize(Name_.size() - 4);
    Temporary_ = true;
  } else {
    Name_ = into->Name;
  }
  Cursor_ = std::make_unique<TDataCursor>(*Database_);
  Cursor_->CreateTable(Name_, creation, true, memory);
  Cursor_->Open(Name_, memory, Temporary_);
  OpenedSlot_ = Cursor_->IndexSlot();
  Buffer_.assign(Cursor_->RecordSize(), 0);
}

bool TResultTable::Retire() {
  if (!Temporary_ || Database_ == nullptr || !Database_->InMemory() || !Cursor_ ||
      !Cursor_->IsOpen())
    return false;
  for (const TFieldDefinition& field : Fields_)
    if (IsAutoIncField(field.DataType, field.SubType)) return false;
  Cursor_->EmptyTable();
  // A cursor left as it was opened stays open for the next rows; one its reader changed
  // (an index, a range or a filter set, a record being edited or locked) is closed, and the
  // next use opens the table afresh.
  TDataCursor& cursor = *Cursor_;
  if (cursor.IndexSlot() != OpenedSlot_ || cursor.RangeActive() || cursor.Filtered() ||
      cursor.Editing() || cursor.LockedRecord() > 0 || cursor.AutoIncSuppressed()) {
    Cursor_->Close();
    Cursor_.reset();
  }
  return true;
}

bool TResultTable::Reuse(const std::vector<TFieldDefinition>& fields) {
  if (!Temporary_ || Database_ == nullptr) return false;
  if (!SameFields(Fields_, fields)) return false;
  if (!Cursor_) {
    auto cursor = std::make_unique<TDataCursor>(*Database_);
    cursor->Open(Name_, true, true);
    Cursor_ = std::move(cursor);
  }
  return true;
}

void TResultTable::Append(const TRow& row) {
  Cursor_->InitRecord(Buffer_.data());
  for (std::size_t i = 0; i < row.size(); ++i) {
    const TCell& cell = row[i];
    const auto fieldNo = static_cast<std::uint32_t>(i + 1);
    if (cell.Null) {
      Cursor_->ClearField(Buffer_.data(), fieldNo);
      continue;
    }
    ValueFromCell(cell, *Scratch_);
    StoreFieldValue(*Cursor_, Buffer_.data(), fieldNo, *Scratch_);
  }
  Cursor_->InsertRecord(Buffer_.data());
}

}  // namespace zorvic::engine
