// TBlobBuffer: a value's bytes in memory and their write-back.
#include "engine/storage/formats/BlobBuffer.h"

#include <cstring>
#include <new>

namespace zorvic::engine {

TBlobBuffer::TBlobBuffer(int fieldNo, std::int32_t recordNo, std::int32_t rowId,
                         std::int32_t firstBlock, int mode, std::int64_t position,
                         bool keepOriginal)
    : FFieldNo(fieldNo),
      FRecordNo(recordNo),
      FRowId(rowId),
      FFirstBlock(firstBlock),
      FMode(mode),
      FPosition(position),
      FKeepOriginal(keepOriginal) {}

void TBlobBuffer::Load(TBlobFile& file) {
  FBytes = file.ReadValue(FFirstBlock, FRecordNo);
  FModified = false;
  if (FKeepOriginal) FOriginal = FBytes;
}

TErrorCode TBlobBuffer::Read(std::int64_t position, void* buffer, std::int64_t count,
                             std::int64_t* read) const {
  *read = 0;
  if (position < 0 || count < 0) return VELDOR_INVALIDBLOBLEN;
  const std::int64_t length = Length();
  if (count <= length && position <= length - count) {
    std::memcpy(buffer, FBytes.data() + position, static_cast<std::size_t>(count));
    *read = count;
    return VELDOR_NONE;
  }
  // Whatever remains, down to the last byte, then the end of the value.
  if (position < length) {
    *read = length - position;
    std::memcpy(buffer, FBytes.data() + position, static_cast<std::size_t>(*read));
  }
  return VELDOR_ENDOFBLOB;
}

TErrorCode TBlobBuffer::Write(std::int64_t position, const void* buffer, std::int64_t count) {
  if (position < 0 || count < 0 || position > MaxBlobValueLength - count) {
    return VELDOR_INVALIDBLOBLEN;
  }
  if (position + count > Length()) {
    TErrorCode rc = Truncate(position + count);
    if (rc != VELDOR_NONE) return rc;
  }
  if (count > 0) std::memcpy(FBytes.data() + position, buffer, static_cast<std::size_t>(count));
  FModified = true;
  return VELDOR_NONE;
}

TErrorCode TBlobBuffer::Truncate(std::int64_t length) {
  if (length < 0 || length > MaxBlobValueLength) return VELDOR_INVALIDBLOBLEN;
  try {
    FBytes.resize(static_cast<std::size_t>(length), 0);
  } catch (const std::bad_alloc&) {
    return VELDOR_OSENOMEM;
  }
  FModified = true;
  return VELDOR_NONE;
}

void TBlobBuffer::WriteBack(TBlobFile& file, std::int32_t* firstBlock) {
  if (FModified) {
    FFirstBlock = file.WriteValue(FRecordNo, FBytes.data(), Length(), FFirstBlock);
    FModified = false;
    if (FKeepOriginal) FOriginal = FBytes;
  }
  *firstBlock = FFirstBlock;
}

bool TBlobBuffer::ChangedFromOriginal() const {
  if (!FKeepOriginal) return FModified;
  return FBytes != FOriginal;
}

}  // namespace zorvic::engine
