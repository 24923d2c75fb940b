// TDataCursor: BLOB values opened into memory.
//
// While a value is open, the 4 reference bytes of its field in the record buffer hold a
// negative identifier of this cursor; block numbers are never negative, so an identifier can
// never be taken for a chain. Identifiers are handed out downwards from -1 and checked against
// the cursor's list, so a stale or foreign identifier is refused instead of used.
#include <algorithm>

#include "engine/EngineLimits.h"
#include "engine/storage/cursors/CursorOperation.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/formats/Scramble.h"

namespace zorvic::engine {

const TFieldDesc& TDataCursor::BlobField(std::uint32_t fieldNo) const {
  const TFieldDesc* f = Field(fieldNo);
  if (!f) RaiseFieldError(VELDOR_OUTOFRANGE, std::to_string(fieldNo), TableName());
  if (!f->IsBlob()) RaiseFieldError(VELDOR_NOTABLOB, f->Name(), TableName());
  return *f;
}

TDataCursor::TOpenBlob* TDataCursor::FindBlob(std::int32_t id) {
  for (TOpenBlob& b : FBlobs)
    if (b.Id == id) return &b;
  return nullptr;
}

TDataCursor::TOpenBlob* TDataCursor::BlobOf(const std::uint8_t* buffer, const TFieldDesc& field) {
  const std::int32_t ref = GetI32(buffer + field.FieldOffset + 1);
  if (ref >= 0) return nullptr;
  TOpenBlob* b = FindBlob(ref);
  return b && b->Value->FieldNo() == field.FieldNo ? b : nullptr;
}

bool TDataCursor::StoredRecordRefersTo(const TFieldDesc& field, std::int32_t firstBlock,
                                       const std::uint8_t* buffer) {
  const std::int32_t recordNo = RecLink(buffer);
  TDataFile& data = FTable->Data();
  if (recordNo < 1 || recordNo > data.PhysicalRecordCount()) return false;
  // Read from the file, not the cache: another session may have changed the record.
  std::vector<std::uint8_t> stored(data.RecordSize());
  const std::int64_t offset =
      data.HeaderBytes() + static_cast<std::int64_t>(recordNo - 1) * data.RecordSize();
  if (data.ReadAt(offset, stored.data(), static_cast<std::int64_t>(stored.size()), true) !=
      static_cast<std::int64_t>(stored.size()))
    return false;
  if (data.Encrypted()) Scramble(stored.data(), stored.size(), DataSeed);
  const bool same = RecStatus(stored.data()) == kRecActive &&
                    RecRowId(stored.data()) == RecRowId(buffer) && stored[field.FieldOffset] != 0 &&
                    GetI32(stored.data() + field.FieldOffset + 1) == firstBlock;
  return same;
}

template <class F>
auto TDataCursor::OnStreamedBlob(F&& body) {
  return Run([&] {
    try {
      return body();
    } catch (const EVELDOREngineError& e) {
      if (e.ErrorCode == VELDOR_MEMOCORRUPT || e.ErrorCode == VELDOR_ENDOFBLOB ||
          e.ErrorCode == VELDOR_KEYORRECDELETED)
        Raise(e.ErrorCode);
      throw;
    }
  });
}

TDataCursor::TOpenBlob& TDataCursor::NewOpenBlob(std::uint8_t* buffer, const TFieldDesc& f,
                                                 TBlobOpenMode mode, std::int64_t position,
                                                 bool load) {
  std::uint8_t* ref = buffer + f.FieldOffset + 1;
  const std::int32_t current = GetI32(ref);
  if (static_cast<int>(FBlobs.size()) >= MaxOpenBlobsPerCursor) Raise(VELDOR_OPENBLOBLIMIT);
  const std::int32_t firstBlock = buffer[f.FieldOffset] != 0 ? current : 0;
  auto value =
      std::make_unique<TBlobBuffer>(static_cast<int>(f.FieldNo), RecLink(buffer), RecRowId(buffer),
                                    firstBlock, static_cast<int>(mode), position);
  if (load && firstBlock > 0) {
    TBlobFile* blob = FTable->Blob();
    if (!blob) Raise(VELDOR_INVALIDBLOBOFFSET);
    Run([&] {
      try {
        // A long value stays in its chain and is read as it is asked for.
        if (!blob->Cache().Peek(firstBlock)) blob->TableChangedBeforeRead();
        TBlock* head = blob->GetBlock(firstBlock, 1);
        const std::int64_t length = head->TotalLength;
        blob->ReleaseBlock(head);
        if (length > StreamedBlobThreshold)
          value->OpenStreamed(*blob);
        else
          value->Load(*blob);
      } catch (const EVELDOREngineError& e) {
        // Damage is the BLOB file's corruption error naming the table; a first block owned by
        // another record means a changed record only while the stored record no longer refers
        // to that block.
        if (e.ErrorCode == VELDOR_KEYORRECDELETED && !StoredRecordRefersTo(f, firstBlock, buffer))
          throw;
        if (e.ErrorCode == VELDOR_KEYORRECDELETED || e.ErrorCode == VELDOR_MEMOCORRUPT ||
            e.ErrorCode == VELDOR_ENDOFBLOB)
          Raise(e.ErrorCode == VELDOR_ENDOFBLOB ? VELDOR_ENDOFBLOB : VELDOR_MEMOCORRUPT);
        throw;
      }
      return 0;
    });
  }
  if (mode == TBlobOpenMode::bmAppend) value->SetPosition(value->Length());
  // The next identifier not in use (they only wrap after two thousand million opens).
  std::int32_t id = FNextBlobId;
  while (FindBlob(id))
    id = id == -MaxAutoIncValue ? -1 : id - 1;
  FNextBlobId = id == -MaxAutoIncValue ? -1 : id - 1;
  buffer[f.FieldOffset] = value->Length() > 0 ? 1 : 0;
  FBlobs.push_back(TOpenBlob{id, std::move(value)});
  PutI32(ref, id);
  return FBlobs.back();
}

void TDataCursor::OpenBlob(std::uint8_t* buffer, std::uint32_t fieldNo, TBlobOpenMode mode,
                           std::int64_t position) {
  RequireOpen();
  const TFieldDesc& f = BlobField(fieldNo);
  const std::int32_t current = GetI32(buffer + f.FieldOffset + 1);
  if (current < 0) {
    TOpenBlob* open = BlobOf(buffer, f);
    if (!open) Raise(VELDOR_INVALIDBLOBOFFSET);
    open->Value->AddRef();
    open->Value->SetPosition(mode == TBlobOpenMode::bmAppend ? open->Value->Length() : position);
    return;
  }
  NewOpenBlob(buffer, f, mode, position, true);
}

void TDataCursor::SetBlobSource(std::uint8_t* buffer, std::uint32_t fieldNo,
                                std::shared_ptr<TBlobSource> source) {
  RequireOpen();
  const TFieldDesc& f = BlobField(fieldNo);
  if (!source || source->Size() < 0 || source->Size() > MaxBlobValueLength)
    Raise(VELDOR_INVALIDBLOBLEN);
  TOpenBlob* open = nullptr;
  if (GetI32(buffer + f.FieldOffset + 1) < 0) {
    open = BlobOf(buffer, f);
    if (!open) Raise(VELDOR_INVALIDBLOBOFFSET);
  } else {
    open = &NewOpenBlob(buffer, f, TBlobOpenMode::bmWrite, 0, false);
  }
  open->Value->SetSource(std::move(source));
  buffer[f.FieldOffset] = open->Value->Length() > 0 ? 1 : 0;
}

const TBlobBuffer* TDataCursor::OpenBlobValue(const std::uint8_t* buffer, std::uint32_t fieldNo) {
  const TFieldDesc* f = Field(fieldNo);
  if (!f || !f->IsBlob()) return nullptr;
  TOpenBlob* open = BlobOf(buffer, *f);
  return open ? open->Value.get() : nullptr;
}

std::int32_t TDataCursor::WriteOpenBlob(TBlobFile& blob, TBlobBuffer& value, std::int32_t recordNo,
                                        std::int32_t old) {
  if (TBlobSource* source = value.Source()) return blob.WriteStreamedValue(recordNo, *source, old);
  if (value.Streamed()) {
    // A stored value given to another record: copied chain to chain, a run at a time.
    TCallbackBlobSource copy(value.Length(),
                             [&](std::int64_t offset, void* out, std::int64_t count) {
                               std::int64_t got = 0;
                               const TErrorCode rc = value.Read(offset, out, count, &got);
                               if (rc != VELDOR_NONE && rc != VELDOR_ENDOFBLOB) Raise(rc);
                               return got;
                             });
    return blob.WriteStreamedValue(recordNo, copy, old);
  }
  return blob.WriteValue(recordNo, value.Bytes().data(), value.Length(), old);
}

TErrorCode TDataCursor::ReadBlob(const std::uint8_t* buffer, std::uint32_t fieldNo,
                                 std::int64_t position, void* out, std::int64_t count,
                                 std::int64_t* read) {
  RequireOpen();
  *read = 0;
  const TFieldDesc* f = Field(fieldNo);
  if (!f || !f->IsBlob()) return VELDOR_NOTABLOB;
  TOpenBlob* open = BlobOf(buffer, *f);
  if (!open) return VELDOR_INVALIDBLOBHANDLE;
  TBlobBuffer& value = *open->Value;
  if (!value.Streamed()) return value.Read(position, out, count, read);
  return OnStreamedBlob([&] { return value.Read(position, out, count, read); });
}

TErrorCode TDataCursor::WriteBlob(std::uint8_t* buffer, std::uint32_t fieldNo,
                                  std::int64_t position, const void* data, std::int64_t count) {
  RequireOpen();
  const TFieldDesc* f = Field(fieldNo);
  if (!f || !f->IsBlob()) return VELDOR_NOTABLOB;
  TOpenBlob* open = BlobOf(buffer, *f);
  if (!open) return VELDOR_INVALIDBLOBHANDLE;
  TBlobBuffer& value = *open->Value;
  if (value.Streamed())
    OnStreamedBlob([&] {
      value.Materialize();
      return 0;
    });
  const TErrorCode rc = value.Write(position, data, count);
  buffer[f->FieldOffset] = value.Length() > 0 ? 1 : 0;
  return rc;
}

TErrorCode TDataCursor::TruncateBlob(std::uint8_t* buffer, std::uint32_t fieldNo,
                                     std::int64_t length) {
  RequireOpen();
  const TFieldDesc* f = Field(fieldNo);
  if (!f || !f->IsBlob()) return VELDOR_NOTABLOB;
  TOpenBlob* open = BlobOf(buffer, *f);
  if (!open) return VELDOR_INVALIDBLOBHANDLE;
  TBlobBuffer& value = *open->Value;
  if (value.Streamed() && length > 0 && length <= MaxBlobValueLength)
    OnStreamedBlob([&] {
      value.Materialize();
      return 0;
    });
  const TErrorCode rc = value.Truncate(length);
  buffer[f->FieldOffset] = value.Length() > 0 ? 1 : 0;
  return rc;
}

TErrorCode TDataCursor::BlobSize(const std::uint8_t* buffer, std::uint32_t fieldNo,
                                 std::int64_t* size) {
  RequireOpen();
  *size = 0;
  const TFieldDesc* f = Field(fieldNo);
  if (!f || !f->IsBlob()) return VELDOR_NOTABLOB;
  TOpenBlob* open = BlobOf(buffer, *f);
  if (!open) return VELDOR_INVALIDBLOBHANDLE;
  *size = open->Value->Length();
  return VELDOR_NONE;
}

void TDataCursor::FreeBlob(std::uint8_t* buffer, std::uint32_t fieldNo) {
  RequireOpen();
  const TFieldDesc& f = BlobField(fieldNo);
  TOpenBlob* open = BlobOf(buffer, f);
  if (!open || open->Value->Release() > 0) return;
  const std::int32_t first = open->Value->FirstBlock();
  PutI32(buffer + f.FieldOffset + 1, first);
  buffer[f.FieldOffset] = first != 0 ? 1 : 0;
  FBlobs.erase(FBlobs.begin() + (open - FBlobs.data()));
}

void TDataCursor::FreeAllBlobs() {
  FBlobs.clear();
}

void TDataCursor::ReleaseBlobsOf(const std::uint8_t* buffer) {
  for (const TFieldDesc& f : FTable->Data().Fields()) {
    if (!f.IsBlob()) continue;
    const std::int32_t ref = GetI32(buffer + f.FieldOffset + 1);
    if (ref >= 0) continue;
    FBlobs.erase(std::remove_if(FBlobs.begin(), FBlobs.end(),
                                [&](const TOpenBlob& b) { return b.Id == ref; }),
                 FBlobs.end());
  }
}

}  // namespace zorvic::engine
