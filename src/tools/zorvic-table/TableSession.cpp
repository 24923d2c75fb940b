#include "tools/zorvic-table/TableSession.h"

#include <cstring>

#include "engine/storage/EngineError.h"
#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/formats/Record.h"

namespace zorvic::tools {

using namespace zorvic::engine;

TTableSession::TTableSession(const std::string& directory)
    : FDatabase(&FSession.OpenDatabase(directory)) {}

TTableSession::~TTableSession() {
  try {
    if (FCursor) FCursor->Close();
  } catch (...) {
  }
  FCursor.reset();
  if (FDatabase) {
    try {
      if (FDatabase->InTransaction()) FDatabase->Rollback();
    } catch (...) {
    }
    FSession.CloseDatabase(*FDatabase);
  }
}

TDataCursor& TTableSession::OpenTable(const std::string& table, bool readOnly, bool exclusive) {
  FCursor = std::make_unique<TDataCursor>(*FDatabase);
  // The password of an encrypted table comes from its own header when it is asked for.
  const std::string directory = FDatabase->Path();
  const TPasswordCallback password = [directory, table](TDataSession& session, const std::string&) {
    TTableAccess files(directory, table);
    files.Open(false);
    const std::string text = files.Data().TablePassword();
    files.Close();
    if (text.empty() || session.HasPassword(text)) return false;
    session.AddPassword(text);
    return true;
  };
  FCursor->Open(table, false, exclusive, readOnly, password);
  FCursor->SetIndex(TDataCursor::kNoIndex);
  return *FCursor;
}

TRecordValues RecordValues(TDataCursor& cursor, std::uint8_t* buffer) {
  const std::vector<TFieldDesc>& fields = cursor.Fields();
  TRecordValues values(fields.size());
  for (const TFieldDesc& f : fields) {
    TFieldValue& v = values[f.FieldNo - 1];
    if (IsFieldNull(f, buffer)) continue;
    v.IsNull = false;
    if (f.DataType == ftString) {
      v.Bytes = ReadStringField(f, buffer);
    } else if (f.IsBlob()) {
      cursor.OpenBlob(buffer, f.FieldNo, TBlobOpenMode::bmRead);
      std::int64_t size = 0;
      TErrorCode rc = cursor.BlobSize(buffer, f.FieldNo, &size);
      std::int64_t read = 0;
      if (rc == VELDOR_NONE) {
        v.Bytes.resize(static_cast<std::size_t>(size));
        rc = cursor.ReadBlob(buffer, f.FieldNo, 0, v.Bytes.data(), size, &read);
      }
      cursor.FreeBlob(buffer, f.FieldNo);
      if (rc != VELDOR_NONE) RaiseTableError(rc, cursor.TableName());
      v.Bytes.resize(static_cast<std::size_t>(read));
    } else {
      v.Bytes.resize(f.ValueSize());
      ReadFieldBytes(f, buffer, reinterpret_cast<std::uint8_t*>(v.Bytes.data()));
    }
  }
  return values;
}

std::int32_t FillRecord(TDataCursor& cursor, const TRecordValues& values, std::uint8_t* buffer) {
  const std::vector<TFieldDesc>& fields = cursor.Fields();
  const std::string& table = cursor.TableName();
  if (values.size() != fields.size())
    RaiseFieldError(VELDOR_OUTOFRANGE, std::to_string(values.size() + 1), table);
  std::memset(buffer, 0, cursor.RecordSize());
  std::int32_t rowId = 0;
  const TDataFile& data = cursor.Table().Data();
  for (const TFieldDesc& f : fields) {
    const TFieldValue& v = values[f.FieldNo - 1];
    if (v.IsNull) continue;
    if (f.IsAutoInc()) {
      if (v.Bytes.size() != 4) RaiseFieldError(VELDOR_INVALIDFLDTYPE, f.Name(), table);
      rowId = GetI32(reinterpret_cast<const std::uint8_t*>(v.Bytes.data()));
      if (rowId <= 0) RaiseFieldError(VELDOR_MINVALERR, f.Name(), table);
      SetRecRowId(buffer, rowId);
    } else if (f.DataType == ftString) {
      WriteStringField(f, buffer, v.Bytes, CaseCollationFor(data.LanguageId(), data.SortId()));
    } else if (f.IsBlob()) {
      if (v.Bytes.empty()) continue;
      cursor.OpenBlob(buffer, f.FieldNo, TBlobOpenMode::bmWrite);
      const TErrorCode rc = cursor.WriteBlob(buffer, f.FieldNo, 0, v.Bytes.data(),
                                             static_cast<std::int64_t>(v.Bytes.size()));
      if (rc != VELDOR_NONE) RaiseTableError(rc, table);
    } else {
      if (v.Bytes.size() != f.PhysSize) RaiseFieldError(VELDOR_INVALIDFLDTYPE, f.Name(), table);
      WriteFieldBytes(f, buffer, reinterpret_cast<const std::uint8_t*>(v.Bytes.data()));
    }
  }
  return rowId;
}

}  // namespace zorvic::tools
