// TBlobBuffer: one BLOB value opened by a cursor.
//
// The cursor opens a field's value (Load reads its chain), reads, writes and truncates it in
// memory (result codes, no exceptions), and at post time writes it back as the record's chain
// (WriteBack, which reuses, extends or shortens the old chain in place).
//
// Two forms keep a large value out of memory. A value opened streamed (OpenStreamed, for values
// longer than StreamedBlobThreshold) keeps only a TBlobChainReader and reads its ranges from
// the chain as they are asked for. A value given a source (SetSource) keeps the source and is
// written from it block by block at post time (TBlobFile::WriteStreamedValue). Writing into
// either form, or truncating it to anything but 0, first reads the whole value into memory
// (Materialize), so the in-memory rules above hold for every change made piece by piece. The cursor
// keeps its open values in its own list (at most MaxOpenBlobsPerCursor), shares one between users
// through the reference count, and marks the record buffer with a negative identifier while it is
// open.
//
// Thread safety: belongs to one cursor; used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/storage/EngineError.h"
#include "engine/storage/formats/BlobChainReader.h"
#include "engine/storage/formats/BlobFile.h"
#include "engine/storage/formats/BlobSource.h"

namespace zorvic::engine {

// Values longer than this are opened streamed rather than read whole.
inline constexpr std::int64_t StreamedBlobThreshold = 256 * 1024;

class TBlobBuffer {
 public:
  // firstBlock is the chain's first block in the record (0 = NULL). keepOriginal keeps a copy of
  // the value as loaded, for fields whose change must be detected.
  TBlobBuffer(int fieldNo, std::int32_t recordNo, std::int32_t rowId, std::int32_t firstBlock,
              int mode = 0, std::int64_t position = 0, bool keepOriginal = false);

  // Reads the whole value from the file (nothing when the first block is 0). Raises the errors of
  // TBlobFile::ReadValue.
  void Load(TBlobFile& file);
  // Opens the value streamed: reads its first block only (the errors of TBlobChainReader::Open).
  // The file must outlive the value (the cursor's table does).
  void OpenStreamed(TBlobFile& file);
  // Takes the value's bytes from a source from now on (the value becomes modified).
  void SetSource(std::shared_ptr<TBlobSource> source);
  // Reads a streamed value or a source into memory; nothing for a value already there. Raises
  // the errors of the chain or the source.
  void Materialize();

  // Reads count bytes at position into buffer; *read gets the bytes delivered. Past the end of
  // the value the bytes that remain are delivered with VELDOR_ENDOFBLOB. A streamed value raises
  // on damage (TBlobChainReader::Read).
  TErrorCode Read(std::int64_t position, void* buffer, std::int64_t count, std::int64_t* read);
  // Writes count bytes at position, growing the value first when it is shorter.
  TErrorCode Write(std::int64_t position, const void* buffer, std::int64_t count);
  // Sets the length (cutting, or growing with zeros).
  TErrorCode Truncate(std::int64_t length);

  // Writes the value back as the chain of its record when it was modified; *firstBlock gets the
  // number to store in the record (0 when the value is empty). Raises the errors of
  // TBlobFile::WriteValue, leaving the value modified.
  void WriteBack(TBlobFile& file, std::int32_t* firstBlock);

  // The record the value belongs to; an insert learns its record number only when it is posted.
  void SetRecord(std::int32_t recordNo, std::int32_t rowId) {
    FRecordNo = recordNo;
    FRowId = rowId;
  }

  std::int64_t Length() const;
  // The bytes in memory: the whole value unless it is streamed or has a source.
  const std::vector<std::uint8_t>& Bytes() const { return FBytes; }
  bool IsNull() const { return Length() == 0; }
  bool Streamed() const { return FReader != nullptr; }
  TBlobSource* Source() const { return FSource.get(); }
  // Bytes the value holds in memory (its bytes, the original copy, the chain reader's buffers).
  std::int64_t HeldBytes() const;
  bool Modified() const { return FModified; }
  // Whether the bytes differ from the value as loaded (always true without an original copy
  // once modified).
  bool ChangedFromOriginal() const;

  int AddRef() { return ++FRefCount; }
  int Release() { return FRefCount > 0 ? --FRefCount : 0; }
  int RefCount() const { return FRefCount; }

  int FieldNo() const { return FFieldNo; }
  std::int32_t RecordNo() const { return FRecordNo; }
  std::int32_t RowId() const { return FRowId; }
  std::int32_t FirstBlock() const { return FFirstBlock; }
  int Mode() const { return FMode; }
  std::int64_t Position() const { return FPosition; }
  void SetPosition(std::int64_t position) { FPosition = position; }

 private:
  int FFieldNo;
  std::int32_t FRecordNo;
  std::int32_t FRowId;
  std::int32_t FFirstBlock;
  int FMode;
  std::int64_t FPosition;
  bool FKeepOriginal;
  bool FModified = false;
  int FRefCount = 1;
  std::vector<std::uint8_t> FBytes;
  std::vector<std::uint8_t> FOriginal;
  std::shared_ptr<TBlobSource> FSource;
  std::unique_ptr<TBlobChainReader> FReader;
  TBlobFile* FFile = nullptr;  // of a streamed value
};

}  // namespace zorvic::engine
