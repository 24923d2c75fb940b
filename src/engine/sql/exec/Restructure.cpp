#include "engine/sql/exec/Restructure.h"

#include <cstring>
#include <exception>
#include <utility>

#include "engine/sql/eval/Evaluator.h"
#include "engine/sql/eval/RecordValues.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/files/FileLayer.h"
#include "engine/storage/formats/Record.h"

namespace zorvic::engine {
namespace {

constexpr const char* kTableExtensions[] = {".DAT", ".IDX", ".BLB"};
constexpr const char* kBackupExtensions[] = {".DBK", ".IBK", ".BBK"};

// A name for the new table that no table of the database uses.
std::string NewTableName(TDataDirectory& database, const std::string& name, bool inMemory) {
  for (int n = 1;; ++n) {
    std::string candidate = name + "_new" + std::to_string(n);
    if (!database.TableExists(candidate, inMemory)) return candidate;
  }
}

bool SameStorage(const TFieldDesc& from, const TFieldDesc& to) {
  return from.DataType == to.DataType && from.SubType == to.SubType &&
         from.PhysSize == to.PhysSize && from.FieldScale == to.FieldScale;
}

void CopyBlob(TDataCursor& source, std::uint8_t* oldRecord, const TFieldDesc& from,
              TDataCursor& target, std::uint8_t* newRecord, const TFieldDesc& to) {
  std::int64_t size = 0;
  source.OpenBlob(oldRecord, from.FieldNo, TBlobOpenMode::bmRead);
  source.BlobSize(oldRecord, from.FieldNo, &size);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  std::int64_t read = 0;
  if (size > 0) source.ReadBlob(oldRecord, from.FieldNo, 0, bytes.data(), size, &read);
  source.FreeBlob(oldRecord, from.FieldNo);
  target.OpenBlob(newRecord, to.FieldNo, TBlobOpenMode::bmWrite);
  target.TruncateBlob(newRecord, to.FieldNo, 0);
  if (read > 0) target.WriteBlob(newRecord, to.FieldNo, 0, bytes.data(), read);
}

// One field of the new record from its old field: NULL stays NULL, the rest as the top says.
void CopyField(TDataCursor& source, std::uint8_t* oldRecord, const TFieldDesc& from,
               TDataCursor& target, std::uint8_t* newRecord, const TFieldDesc& to) {
  if (from.IsAutoInc() && to.IsAutoInc()) return;  // the RowId carries it
  if (source.IsFieldNull(oldRecord, from.FieldNo)) {
    target.ClearField(newRecord, to.FieldNo);
    return;
  }
  if (from.IsBlob() && to.IsBlob()) {
    CopyBlob(source, oldRecord, from, target, newRecord, to);
    return;
  }
  if (SameStorage(from, to)) {
    std::vector<std::uint8_t> bytes(from.PhysSize + 8u, 0);
    source.GetFieldBytes(oldRecord, from.FieldNo, bytes.data());
    target.SetFieldBytes(newRecord, to.FieldNo, bytes.data());
    return;
  }
  TExpTokenPtr value = NewExpToken();
  FetchFieldValue(source, oldRecord, from.FieldNo, *value);
  if (from.IsBlob()) source.FreeBlob(oldRecord, from.FieldNo);
  if (value->IsNull) {
    target.ClearField(newRecord, to.FieldNo);
    return;
  }
  if (!to.IsBlob()) {
    ConvertValue(*value, static_cast<TDataType>(to.DataType), static_cast<TSubType>(to.SubType),
                 to.DataType == ftString ? to.FieldSize + 1 : to.FieldSize, to.FieldScale);
  }
  if (value->IsNull || !StoreFieldValue(target, newRecord, to.FieldNo, *value))
    target.ClearField(newRecord, to.FieldNo);
}

void CopyRecords(TDataCursor& source, TDataCursor& target, const TTableLayout& layout) {
  source.SetIndex(TDataCursor::kNoIndex);
  source.First();
  target.SetAutoIncSuppressed(true);
  std::vector<std::uint8_t> oldRecord(source.RecordSize());
  std::vector<std::uint8_t> newRecord(target.RecordSize());
  while (source.GetNext(oldRecord.data()) == VELDOR_NONE) {
    target.InitRecord(newRecord.data());
    for (std::size_t i = 0; i < layout.SourceFields.size(); ++i) {
      const std::uint16_t from = layout.SourceFields[i];
      if (from == 0) continue;
      CopyField(source, oldRecord.data(), *source.Field(from), target, newRecord.data(),
                *target.Field(static_cast<std::uint32_t>(i + 1)));
    }
    SetRecRowId(newRecord.data(), RecRowId(oldRecord.data()));
    target.InsertRecord(newRecord.data());
    source.FreeAllBlobs();
    target.FreeAllBlobs();
  }
}

void CheckRc(std::int32_t rc, const std::string& file) {
  if (rc < 0) RaiseTableError(static_cast<TErrorCode>(-rc), file);
}

// Renames kept so that a failure can put them back, the last first.
class TRenames {
 public:
  TRenames(TFileList& list, bool inMemory) : List_(list), InMemory_(inMemory) {}
  void Rename(const std::string& from, const std::string& to) {
    CheckRc(List_.Rename(from, InMemory_, to), from);
    Done_.emplace_back(from, to);
  }
  void Undo() noexcept {
    for (auto it = Done_.rbegin(); it != Done_.rend(); ++it)
      List_.Rename(it->second, InMemory_, it->first);
    Done_.clear();
  }

 private:
  TFileList& List_;
  bool InMemory_;
  std::vector<std::pair<std::string, std::string>> Done_;
};

// Puts the new files in place of the old ones, the old ones becoming the backups.
void SwapFiles(TDataDirectory& database, const std::string& name, const std::string& newName,
               bool inMemory, bool keepBackup) {
  TFileList& list = TFileList::Instance();
  const std::string& dir = database.Path();
  auto file = [&](const std::string& table, const char* ext) {
    return TDataTable::FileNameIn(dir, table, ext);
  };
  for (const char* ext : kBackupExtensions) {
    const std::string backup = file(name, ext);
    if (list.Exists(backup, inMemory)) CheckRc(list.Delete(backup, inMemory), backup);
  }
  TRenames renames(list, inMemory);
  try {
    for (int i = 0; i < 3; ++i) {
      const std::string old = file(name, kTableExtensions[i]);
      if (list.Exists(old, inMemory)) renames.Rename(old, file(name, kBackupExtensions[i]));
    }
    for (const char* ext : kTableExtensions) {
      const std::string made = file(newName, ext);
      if (list.Exists(made, inMemory)) renames.Rename(made, file(name, ext));
    }
  } catch (...) {
    renames.Undo();
    throw;
  }
  if (keepBackup) return;
  for (const char* ext : kBackupExtensions) {
    const std::string backup = file(name, ext);
    if (list.Exists(backup, inMemory)) list.Delete(backup, inMemory);
  }
}

}  // namespace

void RestructureTable(TDataCursor& source, const TTableLayout& layout, bool keepBackup) {
  TDataDirectory& database = source.Database();
  const std::string name = source.TableName();
  const bool inMemory = source.Table().InMemory();
  std::string newName;
  try {
    newName = NewTableName(database, name, inMemory);
    TDataCursor target(database);
    target.CreateTable(newName, layout.Creation, false, inMemory);
    try {
      target.Open(newName, inMemory, true);
      CopyRecords(source, target, layout);
      target.Close();
    } catch (...) {
      target.Close();
      try {
        database.DeleteTable(newName, inMemory);
      } catch (...) {
      }
      throw;
    }
    source.Close();
  } catch (...) {
    source.Close();
    throw;
  }
  try {
    SwapFiles(database, name, newName, inMemory, keepBackup);
  } catch (...) {
    try {
      database.DeleteTable(newName, inMemory);
    } catch (...) {
    }
    throw;
  }
}

}  // namespace zorvic::engine
