#include "engine/sql/exec/InsertValues.h"

#include <string>

#include "engine/sql/eval/RecordValues.h"
#include "engine/sql/exec/DmlTransaction.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/cursors/DataCursor.h"

namespace zorvic::engine {
namespace {

[[noreturn]] void RaiseTypeMismatch(const std::string& column, const std::string& text) {
  RaiseSQLError("Type mismatch between column " + column + " and constant value " + text +
                " in INSERT statement");
}

// Stores one value into a target column of the new record (NULL clears it).
void StoreColumn(TDataCursor& target, std::uint8_t* record, const TUpdateField& column,
                 const TExpToken& value, const std::string& text) {
  const TFieldDesc* field = target.Field(static_cast<std::uint32_t>(column.FieldNo));
  if (field == nullptr) {
    RaiseSQLError("Internal error: Column '" + column.ColumnName + "' specified illegally");
  }
  if (value.IsNull || value.DataType == dtNull) {
    // An auto-increment field is never NULL: the cursor assigns it.
    if (!field->IsAutoInc()) target.ClearField(record, field->FieldNo);
    return;
  }
  if (!StoreFieldValue(target, record, field->FieldNo, value)) {
    RaiseTypeMismatch(field->Name(), text);
  }
}

// The text of a value as the statement wrote it: a constant's own text, else the clause text.
std::string WrittenText(const TUpdateValue& value) {
  if (value.Value && value.Value->NodeClass == ncConstant && !value.Value->IsParameter)
    return value.Value->Text;
  return value.ClauseText;
}

// Appends the new record; a failure leaves no open BLOB values behind.
void Append(TDataCursor& target, std::uint8_t* record) {
  try {
    target.InsertRecord(record);
  } catch (...) {
    target.FreeAllBlobs();
    throw;
  }
  target.FreeAllBlobs();
}

}  // namespace

std::int32_t ExecuteInsertValues(TDataCursor& target, TDataQuery& block,
                                 const TEvalContext& context) {
  if (block.UpdateFields.size() != block.UpdateValues.size()) {
    RaiseSQLError("The number of values must match the number of table columns");
  }
  // One row needs no savepoint: the cursor makes every check of an insert before its first
  // change, so a refused row leaves the table and an open transaction as they were. (A
  // savepoint copies everything the transaction has changed so far, which would make a long
  // transaction of single-row inserts cost the square of its length.)
  target.SetAutoIncSuppressed(block.NoAutoInc);
  std::vector<std::uint8_t> record(target.RecordSize());
  target.InitRecord(record.data());
  try {
    for (std::size_t i = 0; i < block.UpdateFields.size(); ++i) {
      const TUpdateValue& source = block.UpdateValues[i];
      TExpTokenPtr value = Evaluate(*source.Value, context);
      StoreColumn(target, record.data(), block.UpdateFields[i], *value, WrittenText(source));
    }
  } catch (...) {
    target.FreeAllBlobs();
    throw;
  }
  Append(target, record.data());
  return 1;
}

void AppendInsertRecord(TDataCursor& target, const TDataQuery& block,
                        const std::vector<const TExpToken*>& values) {
  if (block.UpdateFields.size() != values.size()) {
    RaiseSQLError("The number of values must match the number of table columns");
  }
  target.SetAutoIncSuppressed(block.NoAutoInc);
  std::vector<std::uint8_t> record(target.RecordSize());
  target.InitRecord(record.data());
  try {
    for (std::size_t i = 0; i < values.size(); ++i)
      StoreColumn(target, record.data(), block.UpdateFields[i], *values[i],
                  ValueToText(*values[i]));
  } catch (...) {
    target.FreeAllBlobs();
    throw;
  }
  Append(target, record.data());
}

}  // namespace zorvic::engine
