// BLOB streams over the cursor's open BLOB values.
#include "engine/components/BlobStream.h"

#include <vector>

#include "engine/components/DataSet.h"
#include "engine/components/DatabaseError.h"
#include "engine/storage/formats/Record.h"

namespace zorvic::engine {

TVELDORBlobStream::TVELDORBlobStream(TVELDORField& field, TBlobStreamMode mode)
    : FField(field), FMode(mode) {
  TVELDORDataSet& ds = field.DataSet();
  ds.Cursor();  // a closed dataset raises
  if (mode != TBlobStreamMode::bmRead) {
    if (field.ReadOnly()) RaiseDatabaseError(kFieldReadOnly, field.FieldName());
    ds.CheckEditing();
  }
  Open();
  if (mode == TBlobStreamMode::bmWrite) {
    try {
      Truncate();
    } catch (...) {
      // A constructor that fails runs no destructor: give the value back here.
      try {
        ds.Cursor().FreeBlob(Buffer(), field.FieldNo());
      } catch (...) {
      }
      throw;
    }
  }
}

std::uint8_t* TVELDORBlobStream::Buffer() const {
  return FField.DataSet().RecordBuffer();
}

void TVELDORBlobStream::RaiseCode(std::uint16_t code) const {
  TErrorTexts texts;
  texts.Field = FField.FieldName();
  texts.Table = FField.DataSet().Cursor().TableName();
  RaiseEngineError(code, texts);
}

void TVELDORBlobStream::Open() {
  TVELDORDataSet& ds = FField.DataSet();
  TDataCursor& cursor = ds.Cursor();
  const TFieldDesc* f = cursor.Field(FField.FieldNo());
  if (!f || !f->IsBlob()) RaiseDatabaseError(kFieldNoConversion, FField.FieldName());
  const TBlobOpenMode mode = FMode == TBlobStreamMode::bmRead    ? TBlobOpenMode::bmRead
                             : FMode == TBlobStreamMode::bmWrite ? TBlobOpenMode::bmWrite
                                                                 : TBlobOpenMode::bmReadWrite;
  const bool checked = FMode == TBlobStreamMode::bmRead && ds.State() == TDataSetState::dsBrowse;
  for (int attempt = 1;; ++attempt) {
    std::uint8_t* buffer = Buffer();
    const std::int32_t recordNo = cursor.CurrentRecordNo();
    const std::int32_t rowId = RecRowId(buffer);
    FWasOpen = GetI32(buffer + f->FieldOffset + 1) < 0;
    try {
      cursor.OpenBlob(buffer, FField.FieldNo(), mode);
      FOpened = true;
      // The value read must belong to the record shown: a record deleted by someone else can
      // have its slot and blocks reused by another record in the meantime.
      if (!checked || FWasOpen || StillOnRecord(recordNo, rowId)) return;
      FOpened = false;
      cursor.FreeBlob(buffer, FField.FieldNo());
    } catch (const EVELDOREngineError& e) {
      // A changed or deleted record shows up as a failed open; other failures stand.
      if (!checked || (e.ErrorCode != VELDOR_KEYORRECDELETED && StillOnRecord(recordNo, rowId)))
        throw;
    }
    // The record was changed or deleted under the dataset: read it again and retry, a few
    // times at most and only while the dataset is still on the same record.
    if (attempt >= kBlobOpenAttempts || recordNo == 0 || !ds.RefreshCurrentRecord() ||
        cursor.CurrentRecordNo() != recordNo || RecRowId(Buffer()) != rowId)
      RaiseCode(VELDOR_KEYORRECDELETED);
  }
}

bool TVELDORBlobStream::StillOnRecord(std::int32_t recordNo, std::int32_t rowId) const {
  TDataCursor& cursor = FField.DataSet().Cursor();
  std::vector<std::uint8_t> current(cursor.RecordSize());
  return cursor.GetCurrent(current.data()) == VELDOR_NONE && cursor.CurrentRecordNo() == recordNo &&
         RecRowId(current.data()) == rowId;
}

TVELDORBlobStream::~TVELDORBlobStream() {
  if (!FOpened) return;
  FOpened = false;
  try {
    if (FModified) {
      // The written value stays open in the record buffer until Post stores it or Cancel
      // drops it.
      FField.DataSet().MarkModified();
      return;
    }
    FField.DataSet().Cursor().FreeBlob(Buffer(), FField.FieldNo());
  } catch (...) {
    // The dataset closed or moved under the stream: its values are gone already.
  }
}

std::int64_t TVELDORBlobStream::Read(void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  std::int64_t read = 0;
  const TErrorCode rc = FField.DataSet().Cursor().ReadBlob(Buffer(), FField.FieldNo(), FPosition,
                                                           buffer, count, &read);
  if (rc == VELDOR_INVALIDBLOBOFFSET) return 0;
  if (rc != VELDOR_NONE && rc != VELDOR_ENDOFBLOB) RaiseCode(rc);
  FPosition += read;
  return read;
}

std::int64_t TVELDORBlobStream::Write(const void* buffer, std::int64_t count) {
  if (FMode == TBlobStreamMode::bmRead) RaiseDatabaseError(kNotEditing);
  if (count <= 0) return 0;
  FField.DataSet().CheckEditing();
  const TErrorCode rc =
      FField.DataSet().Cursor().WriteBlob(Buffer(), FField.FieldNo(), FPosition, buffer, count);
  if (rc != VELDOR_NONE) RaiseCode(rc);
  FPosition += count;
  FModified = true;
  FField.DataSet().MarkModified();
  return count;
}

std::int64_t TVELDORBlobStream::Size() {
  std::int64_t size = 0;
  const TErrorCode rc = FField.DataSet().Cursor().BlobSize(Buffer(), FField.FieldNo(), &size);
  if (rc != VELDOR_NONE) RaiseCode(rc);
  return size;
}

std::int64_t TVELDORBlobStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = 0;
  if (origin == TSeekOrigin::soCurrent) base = FPosition;
  if (origin == TSeekOrigin::soEnd) base = Size();
  const std::int64_t target = base + offset;
  if (target < 0) RaiseCode(VELDOR_INVALIDBLOBOFFSET);
  FPosition = target;
  return FPosition;
}

void TVELDORBlobStream::Truncate() {
  if (FMode == TBlobStreamMode::bmRead) RaiseDatabaseError(kNotEditing);
  FField.DataSet().CheckEditing();
  const TErrorCode rc =
      FField.DataSet().Cursor().TruncateBlob(Buffer(), FField.FieldNo(), FPosition);
  if (rc != VELDOR_NONE) RaiseCode(rc);
  FModified = true;
  FField.DataSet().MarkModified();
}

void LoadBlobFromSource(TVELDORField& field, std::shared_ptr<TBlobSource> source) {
  TVELDORDataSet& ds = field.DataSet();
  TDataCursor& cursor = ds.Cursor();  // a closed dataset raises
  if (field.ReadOnly()) RaiseDatabaseError(kFieldReadOnly, field.FieldName());
  ds.CheckEditing();
  const TFieldDesc* f = cursor.Field(field.FieldNo());
  if (!f || !f->IsBlob()) RaiseDatabaseError(kFieldNoConversion, field.FieldName());
  try {
    cursor.SetBlobSource(ds.RecordBuffer(), field.FieldNo(), std::move(source));
  } catch (const EVELDOREngineError& e) {
    TErrorTexts texts;
    texts.Field = field.FieldName();
    texts.Table = cursor.TableName();
    RaiseEngineError(e.ErrorCode, texts);
  }
  ds.MarkModified();
}

void LoadBlobFromFile(TVELDORField& field, const std::string& path, std::int64_t size) {
  LoadBlobFromSource(field, std::make_shared<TFileBlobSource>(path, size));
}

}  // namespace zorvic::engine
