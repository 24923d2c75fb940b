// The table component: opening a table by name on its database, index selection, keys and
// ranges, and creating tables from column and index definitions.
#include "engine/components/Table.h"

#include "engine/EngineLimits.h"
#include "engine/components/Database.h"
#include "engine/components/DatabaseError.h"
#include "engine/storage/formats/IndexFile.h"
#include "engine/storage/formats/ValueText.h"
#include "engine/storage/sessions/DataTable.h"

namespace zorvic::engine {

namespace {
std::vector<std::string> SplitNames(const std::string& list) {
  std::vector<std::string> names;
  std::string current;
  auto flush = [&] {
    const std::string_view t = TrimBlanks(current);
    if (!t.empty()) names.emplace_back(t);
    current.clear();
  };
  for (char c : list) {
    if (c == ';')
      flush();
    else
      current += c;
  }
  flush();
  return names;
}
}  // namespace

TVELDORTable::TVELDORTable(const void* owner) : TVELDORDBDataSet(owner) {}

TVELDORTable::~TVELDORTable() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the cursor is closed below.
  }
  FHandle.reset();
}

void TVELDORTable::CheckClosed() const {
  if (Active()) RaiseDatabaseError(kDataSetOpen);
}

void TVELDORTable::SetTableName(const std::string& name) {
  CheckClosed();
  FTableName = name;
}

void TVELDORTable::SetExclusive(bool on) {
  CheckClosed();
  FExclusive = on;
}

void TVELDORTable::SetReadOnly(bool on) {
  CheckClosed();
  FReadOnly = on;
}

void TVELDORTable::SetIndexName(const std::string& name) {
  FIndexName = name;
  FIndexFieldNames.clear();
  if (Active()) {
    CheckBrowseMode();
    SelectIndex();
    First();
  }
}

void TVELDORTable::SetIndexFieldNames(const std::string& names) {
  FIndexFieldNames = names;
  FIndexName.clear();
  if (Active()) {
    CheckBrowseMode();
    SelectIndex();
    First();
  }
}

// ---- opening -----------------------------------------------------------------------------

TDataCursor* TVELDORTable::CreateHandle(TVELDORDatabase& database) {
  if (FTableName.empty()) RaiseDatabaseError(kTableNameMissing);
  TDataDirectory& engine = database.Engine();
  FHandle = std::make_unique<TDataCursor>(engine);
  TVELDORSession* session = database.Session();
  TPasswordCallback password;
  if (session && session->OnPassword)
    password = [session](TDataSession&, const std::string& table) {
      return session->OnPassword(*session, table);
    };
  try {
    FHandle->Open(FTableName, engine.InMemory(), FExclusive, FReadOnly, password);
    if (FHandle->ReadOnly()) FReadOnly = true;
    SelectIndex();
    FBudgetsSet = false;
    if (FCacheSizes) ApplyCacheSizes();
  } catch (...) {
    FHandle.reset();
    throw;
  }
  return FHandle.get();
}

void TVELDORTable::SetCacheSizes(const TTableCacheSizes& sizes) {
  CheckCacheSizes(sizes);
  FCacheSizes = sizes;
  if (Active()) ApplyCacheSizes();
}

void TVELDORTable::ClearCacheSizes() {
  FCacheSizes.reset();
  if (Active()) ApplyCacheSizes();
}

void TVELDORTable::ApplyCacheSizes() {
  TDataCursor& cursor = FHandle ? *FHandle : Cursor();
  if (!FCacheSizes) {
    if (FBudgetsSet) cursor.Table().SetCacheBudgets(std::nullopt);
    FBudgetsSet = false;
    return;
  }
  TTableCacheBudgets budgets;
  budgets.RecordCacheBytes = FCacheSizes->RecordCacheBytes;
  budgets.RecordCacheCount = FCacheSizes->RecordCacheCount;
  budgets.IndexCacheBytes = FCacheSizes->IndexCacheBytes;
  budgets.BlobCacheBytes = FCacheSizes->BlobCacheBytes;
  budgets.BlobCacheCount = FCacheSizes->BlobCacheCount;
  cursor.Table().SetCacheBudgets(budgets);
  FBudgetsSet = true;
}

void TVELDORTable::DestroyHandle() {
  if (!FHandle) return;
  std::unique_ptr<TDataCursor> handle = std::move(FHandle);
  handle->Close();
}

void TVELDORTable::SelectIndex() {
  TDataCursor& cursor = FHandle ? *FHandle : Cursor();
  if (!FIndexFieldNames.empty()) {
    const std::vector<std::string> wanted = SplitNames(FIndexFieldNames);
    TIndexFile& index = cursor.Table().Index();
    std::vector<int> slots;
    if (cursor.Table().HasPrimaryIndex()) slots.push_back(PrimaryIndexSlot);
    for (int s = 1; s <= index.Header().SecondaryCount(); ++s)
      slots.push_back(s);
    for (int slot : slots) {
      const TKeyLayout& layout = index.KeyLayout(slot);
      if (layout.Fields.size() != wanted.size()) continue;
      bool same = true;
      for (std::size_t i = 0; i < wanted.size() && same; ++i)
        same = SameFieldName(layout.Fields[i].Field.Name, wanted[i]);
      if (same) {
        cursor.SetIndex(slot);
        return;
      }
    }
    RaiseIndexError(VELDOR_INVALIDINDEXNAME, FIndexFieldNames, cursor.TableName());
  }
  cursor.SetIndexByName(FIndexName.empty() ? std::string("Primary") : FIndexName);
}

// ---- keys and ranges ---------------------------------------------------------------------

std::vector<TVELDORField*> TVELDORTable::KeyFields(std::size_t count) {
  TDataCursor& cursor = Cursor();
  if (!cursor.IndexMode())
    RaiseIndexError(VELDOR_INVALIDINDEXNAME, cursor.IndexName(), cursor.TableName());
  const TKeyLayout& layout = cursor.Table().Index().KeyLayout(cursor.IndexSlot());
  if (count > layout.Fields.size())
    RaiseIndexError(VELDOR_INVALIDKEY, cursor.IndexName(), cursor.TableName());
  std::vector<TVELDORField*> fields;
  for (std::size_t i = 0; i < count; ++i) {
    TVELDORField* field = nullptr;
    for (std::size_t c = 0; c < FieldCount() && !field; ++c)
      if (Field(c).FieldNo() == layout.Fields[i].Field.FieldNo) field = &Field(c);
    if (!field) RaiseDatabaseError(kFieldNotFound, layout.Fields[i].Field.Name);
    fields.push_back(field);
  }
  return fields;
}

bool TVELDORTable::FindKey(const std::vector<std::string>& values) {
  CheckBrowseMode();
  const std::vector<TVELDORField*> fields = KeyFields(values.size());
  const std::vector<std::uint8_t> key = BuildKeyRecord(fields, values);
  const std::vector<std::uint8_t> back = GetBookmark();
  if (Cursor().FindKey(key.data(), static_cast<int>(values.size()))) return ShowCursorRecord();
  if (!back.empty())
    GotoBookmark(back);
  else
    First();
  return false;
}

void TVELDORTable::FindNearest(const std::vector<std::string>& values) {
  CheckBrowseMode();
  const std::vector<TVELDORField*> fields = KeyFields(values.size());
  const std::vector<std::uint8_t> key = BuildKeyRecord(fields, values);
  Cursor().FindKey(key.data(), static_cast<int>(values.size()), 0, true);
  if (!ShowCursorRecord()) Last();
}

void TVELDORTable::SetRange(const std::vector<std::string>& low,
                            const std::vector<std::string>& high) {
  CheckBrowseMode();
  const std::vector<std::uint8_t> lowKey = BuildKeyRecord(KeyFields(low.size()), low);
  const std::vector<std::uint8_t> highKey = BuildKeyRecord(KeyFields(high.size()), high);
  Cursor().SetRange(lowKey.data(), static_cast<int>(low.size()), highKey.data(),
                    static_cast<int>(high.size()));
  First();
}

void TVELDORTable::CancelRange() {
  CheckBrowseMode();
  Cursor().CancelRange();
  First();
}

// ---- table maintenance -------------------------------------------------------------------

template <class F>
void TVELDORTable::WithDatabase(F&& body) {
  CheckClosed();
  if (FTableName.empty()) RaiseDatabaseError(kTableNameMissing);
  TVELDORSession& session = TVELDORSessionList::Instance().SessionByName(SessionName());
  TVELDORDatabase& database = session.OpenDatabase(DatabaseName(), Owner());
  try {
    TDataCursor cursor(database.Engine());
    body(cursor, database.Engine().InMemory());
  } catch (...) {
    session.CloseDatabase(database);
    throw;
  }
  session.CloseDatabase(database);
}

void TVELDORTable::CreateTable() {
  TTableCreation creation;
  for (const TFieldDef& d : FieldDefs) {
    TFieldDefinition f;
    f.Name = d.Name;
    const TEngineFieldType t = EngineTypeOf(d.DataType);
    f.DataType = t.Type;
    f.SubType = t.SubType;
    if (d.DataType == TFieldKind::BCD)
      f.Scale = static_cast<std::uint32_t>(d.Size);
    else if (TypeHasSize(t.Type))
      f.Size = static_cast<std::uint32_t>(d.Size);
    f.Required = d.Required;
    f.Description = d.Description;
    f.DefaultValue = d.DefaultValue;
    f.MinValue = d.MinValue;
    f.MaxValue = d.MaxValue;
    creation.Table.Fields.push_back(std::move(f));
  }
  auto fieldNumbers = [&](const TIndexDef& def) {
    std::vector<std::uint16_t> numbers;
    for (const std::string& name : SplitNames(def.Fields)) {
      std::uint16_t no = 0;
      for (std::size_t i = 0; i < FieldDefs.size() && !no; ++i)
        if (SameFieldName(FieldDefs[i].Name, name)) no = static_cast<std::uint16_t>(i + 1);
      if (!no) RaiseDatabaseError(kFieldNotFound, name);
      numbers.push_back(no);
    }
    return numbers;
  };
  bool primary = false;
  for (const TIndexDef& d : IndexDefs) {
    TIndexDefinition index;
    index.Fields = fieldNumbers(d);
    index.Unique = d.Unique;
    index.NoCase = d.CaseInsensitive;
    index.Descending = d.Descending;
    if (d.Primary && !primary) {
      primary = true;
      index.Unique = true;
      creation.Primary = std::move(index);
    } else {
      index.Name = d.Name;
      creation.Secondary.push_back(std::move(index));
    }
  }
  creation.Table.IndexCount = static_cast<std::uint32_t>(creation.Secondary.size() + 1);
  WithDatabase([&](TDataCursor& cursor, bool inMemory) {
    cursor.CreateTable(FTableName, creation, true, inMemory);
  });
}

void TVELDORTable::DeleteTable() {
  WithDatabase(
      [&](TDataCursor& cursor, bool inMemory) { cursor.DeleteTable(FTableName, inMemory); });
}

void TVELDORTable::EmptyTable() {
  if (Active()) {
    CheckBrowseMode();
    Cursor().EmptyTable();
    First();
    return;
  }
  WithDatabase([&](TDataCursor& cursor, bool inMemory) {
    cursor.Open(FTableName, inMemory, true);
    cursor.EmptyTable();
    cursor.Close();
  });
}

bool TVELDORTable::Exists() {
  if (Active()) return true;
  bool exists = false;
  WithDatabase([&](TDataCursor& cursor, bool inMemory) {
    exists = cursor.Database().TableExists(FTableName, inMemory);
  });
  return exists;
}

}  // namespace zorvic::engine
