// TDataCursor: opening and closing, table maintenance, fields, index selection and new
// records with their defaults.
#include <cstring>
#include <mutex>

#include "engine/storage/cursors/CursorOperation.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/IndexKey.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/formats/ValueText.h"
#include "engine/storage/sessions/TableRecords.h"

namespace zorvic::engine {
namespace {

std::mutex& CompilerMutex() {
  static std::mutex m;
  return m;
}
TFilterCompiler& Compiler() {
  static TFilterCompiler compiler;
  return compiler;
}

bool EqualsNoCase(const std::string& a, const char* b) {
  const std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

TFilterCompiler CurrentFilterCompiler() {
  std::lock_guard<std::mutex> guard(CompilerMutex());
  return Compiler();
}

void TDataCursor::SetFilterCompiler(TFilterCompiler compiler) {
  std::lock_guard<std::mutex> guard(CompilerMutex());
  Compiler() = std::move(compiler);
}

TDataCursor::TDataCursor(TDataDirectory& database) : FDatabase(database) {}

TDataCursor::~TDataCursor() {
  try {
    Close();
  } catch (...) {
  }
}

void TDataCursor::Open(const std::string& tableName, bool inMemory, bool exclusive, bool readOnly,
                       const TPasswordCallback& password) {
  if (FTable) Close();
  TDataTable& table = FDatabase.OpenTable(tableName, inMemory, exclusive, false);
  try {
    table.Settings();  // taken in again only when the session's settings changed
    if (table.Data().Encrypted()) {
      TDataSession& session = FDatabase.Session();
      const std::string secret = table.Data().TablePassword();
      if (!session.HasPassword(secret) &&
          !(password && password(session, table.Name()) && session.HasPassword(secret)))
        table.Raise(VELDOR_NOTSUFFTABLERIGHTS);
    }
    FTable = &table;
    {
      TOperation operation(*this);
      table.VerifyOnce();
    }
  } catch (...) {
    FTable = nullptr;
    if (table.OpenCount() <= 1) table.LockState().EndBatchHold();
    FDatabase.CloseTable(table);
    throw;
  }
  FReadOnly = readOnly || table.ReadOnly();
  FFilters.clear();
  FFiltered = false;
  FLowSet = FHighSet = false;
  FPos = TPosition{};
  FHaveRecord = false;
  FEditing = false;
  FLockedRecord = 0;
  FSeen = table.Counters();
  SelectIndex(table.HasPrimaryIndex() ? PrimaryIndexSlot : kNoIndex);
}

void TDataCursor::Close() {
  if (!FTable) return;
  TDataTable& table = *FTable;
  FreeAllBlobs();
  FFilters.clear();
  FFiltered = false;
  // The filter's bitmap (the size of the table) goes to the table object's pool for the next
  // statement's cursor, which would otherwise make and zero one anew.
  if (FFilterBits.Size() > TRecordsBitmap::kInitialBits) {
    try {
      std::unique_ptr<TRecordsBitmap> spare = table.BitmapPool().Take(0);
      std::swap(*spare, FFilterBits);
      table.BitmapPool().Give(std::move(spare));
    } catch (...) {
    }
  }
  try {
    UnlockCursorRecord();
    if (FTableReadLock) table.Locks().ReleaseTableReadLock();
  } catch (...) {
  }
  FTableReadLock = false;
  FEditing = false;
  FTable = nullptr;
  // An idle table holds no lock: a read lock kept for the statement's next reads goes with
  // the last cursor.
  if (table.OpenCount() <= 1) table.LockState().EndBatchHold();
  FDatabase.CloseTable(table);
}

// ---- table maintenance ------------------------------------------------------------------

void TDataCursor::CreateTable(const std::string& name, const TTableCreation& creation,
                              bool overwrite, bool inMemory) {
  TDataTable& table = FDatabase.CreateTable(name, inMemory, creation, overwrite);
  FDatabase.CloseTable(table);
}

void TDataCursor::DeleteTable(const std::string& name, bool inMemory) {
  FDatabase.DeleteTable(name, inMemory);
}

void TDataCursor::RenameTable(const std::string& name, const std::string& newName, bool inMemory) {
  FDatabase.RenameTable(name, newName, inMemory);
}

void TDataCursor::EmptyTable() {
  RequireOpen();
  if (FReadOnly) Raise(VELDOR_OSEACCES);
  FreeAllBlobs();
  FDatabase.EmptyTable(*FTable);
  FSeen = FTable->Counters();
  FPos = TPosition{};
  FHaveRecord = false;
  if (FFiltered) RebuildFilterBits();
}

int TDataCursor::AddIndex(const TIndexDefinition& definition) {
  RequireOpen();
  if (FReadOnly) Raise(VELDOR_OSEACCES);
  return Run([&] {
    BeginWrite();
    int slot = 0;
    try {
      TDataFileRecords records(FTable->Data());  // under the write lock
      slot = FTable->Index().AddSecondaryIndex(definition, &records);
      FTable->EndWrite(true);
    } catch (...) {
      FTable->AbandonChange();
      EndWriteLock();
      throw;
    }
    EndWriteLock();
    FSeen = FTable->Counters();
    return slot;
  });
}

void TDataCursor::DeleteIndex(const std::string& name) {
  RequireOpen();
  if (FReadOnly) Raise(VELDOR_OSEACCES);
  Run([&] {
    BeginWrite();
    try {
      const int slot = FTable->Index().FindIndex(name);
      FTable->Index().DeleteSecondaryIndex(name);
      FTable->EndWrite(true);
      if (slot == FSlot) {
        FSlot = kNoIndex;
        FIndexMode = false;
        CancelRange();
      } else if (slot > 0 && FSlot != kNoIndex && FSlot > slot && FSlot < SysDeletedSlot) {
        --FSlot;  // the later descriptors moved down
      }
    } catch (...) {
      FTable->AbandonChange();
      EndWriteLock();
      throw;
    }
    EndWriteLock();
    FSeen = FTable->Counters();
    FPos.StepValid = false;
    return 0;
  });
}

// ---- fields -------------------------------------------------------------------------------

std::uint16_t TDataCursor::RecordSize() const {
  return Table().Data().RecordSize();
}
std::uint16_t TDataCursor::FieldCount() const {
  return Table().Data().FieldCount();
}
const std::vector<TFieldDesc>& TDataCursor::Fields() const {
  return Table().Data().Fields();
}
const TFieldDesc* TDataCursor::Field(std::uint32_t fieldNo) const {
  return Table().Data().Field(fieldNo);
}
const TFieldDesc* TDataCursor::FindField(const std::string& name) const {
  return Table().Data().FindField(name);
}
const TCollation& TDataCursor::Collation() const {
  return Table().Collation();
}

namespace {
const TFieldDesc& FieldOrRaise(const TDataCursor& cursor, std::uint32_t fieldNo) {
  const TFieldDesc* f = cursor.Field(fieldNo);
  if (!f) RaiseFieldError(VELDOR_OUTOFRANGE, std::to_string(fieldNo), cursor.TableName());
  return *f;
}
}  // namespace

bool TDataCursor::IsFieldNull(const std::uint8_t* record, std::uint32_t fieldNo) const {
  return engine::IsFieldNull(FieldOrRaise(*this, fieldNo), record);
}

bool TDataCursor::GetFieldBytes(const std::uint8_t* record, std::uint32_t fieldNo,
                                std::uint8_t* out) const {
  return ReadFieldBytes(FieldOrRaise(*this, fieldNo), record, out);
}

std::string TDataCursor::GetString(const std::uint8_t* record, std::uint32_t fieldNo) const {
  return ReadStringField(FieldOrRaise(*this, fieldNo), record);
}

void TDataCursor::SetFieldBytes(std::uint8_t* record, std::uint32_t fieldNo,
                                const std::uint8_t* value) const {
  const TFieldDesc& f = FieldOrRaise(*this, fieldNo);
  if (f.DataType == ftString) {
    const std::size_t n = strnlen(reinterpret_cast<const char*>(value), f.PhysSize);
    WriteStringField(f, record, std::string_view(reinterpret_cast<const char*>(value), n),
                     CaseCollationFor(Table().Data().LanguageId(), Table().Data().SortId()));
  } else if (f.DataType == ftBlob) {
    RaiseFieldError(VELDOR_NOTABLOB, f.Name(), TableName());
  } else {
    WriteFieldBytes(f, record, value);
  }
}

void TDataCursor::SetString(std::uint8_t* record, std::uint32_t fieldNo,
                            std::string_view text) const {
  const TFieldDesc& f = FieldOrRaise(*this, fieldNo);
  if (f.DataType != ftString) RaiseFieldError(VELDOR_INVALIDFLDTYPE, f.Name(), TableName());
  WriteStringField(f, record, text,
                   CaseCollationFor(Table().Data().LanguageId(), Table().Data().SortId()));
}

void TDataCursor::ClearField(std::uint8_t* record, std::uint32_t fieldNo) const {
  const TFieldDesc& f = FieldOrRaise(*this, fieldNo);
  if (!engine::ClearField(f, record)) RaiseFieldError(VELDOR_INVALIDFLDTYPE, f.Name(), TableName());
}

// ---- index selection ----------------------------------------------------------------------

std::string TDataCursor::IndexName() const {
  if (!FTable || FSlot == kNoIndex) return {};
  return FTable->Index().IndexName(FSlot);
}

int TDataCursor::KeySize() const {
  if (!FTable || !FIndexMode) return 0;
  return FTable->Index().Header().KeySize(FSlot);
}

void TDataCursor::SelectIndex(int slot) {
  TIndexFile& index = FTable->Index();
  if (slot == kNoIndex || (slot == PrimaryIndexSlot && !FTable->HasPrimaryIndex())) {
    FSlot = slot == PrimaryIndexSlot ? PrimaryIndexSlot : kNoIndex;
    FIndexMode = false;
  } else {
    if (slot < 0 || slot >= SysTextSlot || !index.Header().SlotInUse(slot))
      RaiseIndexError(VELDOR_INVALIDINDEXNAME, std::to_string(slot), FTable->Name());
    index.KeyLayout(slot);  // refuses a descriptor that does not fit the table
    FSlot = slot;
    FIndexMode = true;
  }
  FLowSet = FHighSet = false;
  FLow.clear();
  FHigh.clear();
  FFilterBounds = TFilterBounds::Stale;
}

void TDataCursor::SetIndex(int slot) {
  RequireOpen();
  Run([&] {
    const bool on = FPos.State == TState::OnRecord;
    const std::int32_t recordNo = FPos.RecordNo;
    std::vector<std::uint8_t> bytes;
    if (on) {
      bytes.resize(FTable->Data().RecordSize());
      ReadRecordInto(recordNo, bytes.data());
    }
    SelectIndex(slot);
    TPosition p;
    if (on) p = PositionOnRecord(recordNo, bytes.data());
    FPos = p;
    if (FPos.State != TState::OnRecord) FHaveRecord = false;
    return 0;
  });
}

void TDataCursor::SetIndexByName(const std::string& name) {
  RequireOpen();
  const std::string trimmed = NormalizeFileName(name);
  if (trimmed.empty() || EqualsNoCase(trimmed, "none")) return SetIndex(kNoIndex);
  if (EqualsNoCase(trimmed, "Primary")) return SetIndex(PrimaryIndexSlot);
  const int slot = FTable->Index().FindIndex(trimmed);
  if (slot < 0 || slot >= SysTextSlot)
    RaiseIndexError(VELDOR_INVALIDINDEXNAME, trimmed, TableName());
  SetIndex(slot);
}

// ---- new records --------------------------------------------------------------------------

namespace {

// The stored bytes of a default text for a field of a fixed-size type; false when the text
// does not read as a value of the type.
bool DefaultBytes(const TFieldDesc& f, const std::string& text, std::uint8_t* out) {
  std::memset(out, 0, f.PhysSize);
  const bool now = IsCurrentDateTimeWord(ftDate, text) || IsCurrentDateTimeWord(ftTime, text) ||
                   IsCurrentDateTimeWord(ftTimeStamp, text);
  switch (f.DataType) {
    case ftDate: {
      auto d = now ? std::optional<std::int32_t>(TodayDayNumber()) : ParseDate(text);
      if (!d) return false;
      PutI32(out, *d);
      return true;
    }
    case ftTime: {
      auto t = now ? std::optional<std::int32_t>(NowMsOfDay()) : ParseTime(text);
      if (!t) return false;
      PutI32(out, *t);
      return true;
    }
    case ftTimeStamp: {
      std::optional<double> ts;
      if (IsCurrentDateTimeWord(ftDate, text))
        ts = EncodeTimeStamp(TodayDayNumber(), 0);
      else if (now)
        ts = EncodeTimeStamp(TodayDayNumber(), NowMsOfDay());
      else
        ts = ParseTimeStamp(text);
      if (!ts) return false;
      PutDouble(out, *ts);
      return true;
    }
    case ftBoolean: {
      auto b = ParseBool(text);
      if (!b) return false;
      PutU16(out, *b ? 1 : 0);
      return true;
    }
    case ftSmallInt: {
      auto v = ParseInt(text, INT16_MIN, INT16_MAX);
      if (!v) return false;
      PutI16(out, static_cast<std::int16_t>(*v));
      return true;
    }
    case ftInteger: {
      auto v = ParseInt(text, INT32_MIN, INT32_MAX);
      if (!v) return false;
      PutI32(out, static_cast<std::int32_t>(*v));
      return true;
    }
    case ftWord: {
      auto v = ParseInt(text, 0, UINT16_MAX);
      if (!v) return false;
      PutU16(out, static_cast<std::uint16_t>(*v));
      return true;
    }
    case ftCardinal: {
      auto v = ParseInt(text, 0, UINT32_MAX);
      if (!v) return false;
      PutU32(out, static_cast<std::uint32_t>(*v));
      return true;
    }
    case ftLargeInt: {
      auto v = ParseInt(text, INT64_MIN, INT64_MAX);
      if (!v) return false;
      PutI64(out, *v);
      return true;
    }
    case ftFloat: {
      auto v = ParseFloat(text);
      if (!v) return false;
      PutDouble(out, *v);
      return true;
    }
    case ftExtended: {
      auto v = ParseFloat(text);
      if (!v) return false;
      StoreExtended(*v, out);
      return true;
    }
    case ftBCD: {
      auto v = ParseBcdWithScale(text, f.FieldScale);
      if (!v) return false;
      StoreBcd(*v, out);
      return true;
    }
    case ftBytes:
    case ftVarBytes:
      std::memcpy(out, text.data(), std::min<std::size_t>(text.size(), f.PhysSize));
      return true;
    default:
      return false;
  }
}

}  // namespace

void TDataCursor::InitRecord(std::uint8_t* buffer) {
  RequireOpen();
  TDataFile& data = FTable->Data();
  std::memset(buffer, 0, data.RecordSize());
  std::vector<std::uint8_t> value(256);
  for (const TFieldDesc& f : data.Fields()) {
    const std::string text = f.DefaultValue.Text();
    if (text.empty() || f.IsAutoInc()) continue;
    if (f.DataType == ftString) {
      SetString(buffer, f.FieldNo, text);
    } else if (f.DataType == ftBlob) {
      OpenBlob(buffer, f.FieldNo, TBlobOpenMode::bmWrite);
      WriteBlob(buffer, f.FieldNo, 0, text.data(), static_cast<std::int64_t>(text.size()));
    } else if (DefaultBytes(f, text, value.data())) {
      WriteFieldBytes(f, buffer, value.data());
    }
  }
}

}  // namespace zorvic::engine
