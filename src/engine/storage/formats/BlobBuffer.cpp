// TBlobBuffer: a value's bytes in memory and their write-back.
#include "engine/storage/formats/BlobBuffer.h"

#include <algorithm>
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
  FReader.reset();
  FSource.reset();
  FBytes = file.ReadValue(FFirstBlock, FRecordNo);
  FModified = false;
  if (FKeepOriginal) FOriginal = FBytes;
}

void TBlobBuffer::OpenStreamed(TBlobFile& file) {
  auto reader = std::make_unique<TBlobChainReader>(FFirstBlock, FRecordNo);
  reader->Open(file);
  FBytes.clear();
  FSource.reset();
  FReader = std::move(reader);
  FFile = &file;
  FModified = false;
}

void TBlobBuffer::SetSource(std::shared_ptr<TBlobSource> source) {
  FReader.reset();
  FBytes.clear();
  FBytes.shrink_to_fit();
  FSource = std::move(source);
  FModified = true;
}

std::int64_t TBlobBuffer::Length() const {
  if (FSource) return FSource->Size();
  if (FReader) return FReader->Length();
  return static_cast<std::int64_t>(FBytes.size());
}

std::int64_t TBlobBuffer::HeldBytes() const {
  return static_cast<std::int64_t>(FBytes.capacity() + FOriginal.capacity()) +
         (FReader ? FReader->HeldBytes() : 0);
}

void TBlobBuffer::Materialize() {
  if (!FSource && !FReader) return;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(Length()));
  std::int64_t got = 0;
  if (FReader) {
    const TErrorCode rc = FReader->Read(*FFile, 0, bytes.data(), Length(), &got);
    if (rc != VELDOR_NONE) RaiseTableError(rc, std::string());
  } else {
    while (got < Length()) {
      const std::int64_t n = FSource->ReadAt(got, bytes.data() + got, Length() - got);
      if (n <= 0 || n > Length() - got) RaiseTableError(VELDOR_ENDOFBLOB, std::string());
      got += n;
    }
  }
  if (FKeepOriginal && FReader) FOriginal = bytes;
  FBytes = std::move(bytes);
  FReader.reset();
  FSource.reset();
}

TErrorCode TBlobBuffer::Read(std::int64_t position, void* buffer, std::int64_t count,
                             std::int64_t* read) {
  *read = 0;
  if (position < 0 || count < 0) return VELDOR_INVALIDBLOBLEN;
  if (FReader) return FReader->Read(*FFile, position, buffer, count, read);
  if (FSource) {
    const std::int64_t length = FSource->Size();
    const std::int64_t want = position < length ? std::min(count, length - position) : 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (*read < want) {
      const std::int64_t n = FSource->ReadAt(position + *read, out + *read, want - *read);
      if (n <= 0 || n > want - *read) return VELDOR_ENDOFBLOB;
      *read += n;
    }
    return *read == count ? VELDOR_NONE : VELDOR_ENDOFBLOB;
  }
  const std::int64_t length = Length();
  if (count <= length && position <= length - count) {
    // An empty value has no bytes to copy from (memcpy must not see its null pointer).
    if (count > 0) std::memcpy(buffer, FBytes.data() + position, static_cast<std::size_t>(count));
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
  if (FReader || FSource) {
    try {
      Materialize();
    } catch (const std::bad_alloc&) {
      return VELDOR_OSENOMEM;
    } catch (const EVELDOREngineError& e) {
      return e.ErrorCode;
    }
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
  if (length == 0 && (FReader || FSource)) {
    // Emptied: nothing of the stored value or the source is needed any more.
    FReader.reset();
    FSource.reset();
    FBytes.clear();
    FModified = true;
    return VELDOR_NONE;
  }
  try {
    if (FReader || FSource) Materialize();
    FBytes.resize(static_cast<std::size_t>(length), 0);
  } catch (const std::bad_alloc&) {
    return VELDOR_OSENOMEM;
  } catch (const EVELDOREngineError& e) {
    return e.ErrorCode;
  }
  FModified = true;
  return VELDOR_NONE;
}

void TBlobBuffer::WriteBack(TBlobFile& file, std::int32_t* firstBlock) {
  if (FModified) {
    if (FSource)
      FFirstBlock = file.WriteStreamedValue(FRecordNo, *FSource, FFirstBlock);
    else
      FFirstBlock = file.WriteValue(FRecordNo, FBytes.data(), Length(), FFirstBlock);
    FModified = false;
    if (FKeepOriginal) FOriginal = FBytes;
  }
  *firstBlock = FFirstBlock;
}

bool TBlobBuffer::ChangedFromOriginal() const {
  if (!FKeepOriginal || FSource) return FModified;
  return FBytes != FOriginal;
}

}  // namespace zorvic::engine
