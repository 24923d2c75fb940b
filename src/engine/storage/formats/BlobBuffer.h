// TBlobBuffer: one BLOB value opened by a cursor, held whole in memory.
//
// The cursor opens a field's value (Load reads its chain), reads, writes and truncates it in
// memory (result codes, no exceptions), and at post time writes it back as the record's chain
// (WriteBack, which reuses, extends or shortens the old chain in place). The cursor keeps its open
// values in its own list (at most MaxOpenBlobsPerCursor), shares one between users through the
// reference count, and marks the record buffer with a negative identifier while it is open.
//
// Thread safety: belongs to one cursor; used by one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/storage/EngineError.h"
#include "engine/storage/formats/BlobFile.h"

namespace zorvic::engine {

class TBlobBuffer {
 public:
  // firstBlock is the chain's first block in the record (0 = NULL). keepOriginal keeps a copy of
  // the value as loaded, for fields whose change must be detected.
  TBlobBuffer(int fieldNo, std::int32_t recordNo, std::int32_t rowId, std::int32_t firstBlock,
              int mode = 0, std::int64_t position = 0, bool keepOriginal = false);

  // Reads the whole value from the file (nothing when the first block is 0). Raises the errors of
  // TBlobFile::ReadValue.
  void Load(TBlobFile& file);

  // Reads count bytes at position into buffer; *read gets the bytes delivered. Past the end of
  // the value the bytes that remain are delivered with VELDOR_ENDOFBLOB.
  TErrorCode Read(std::int64_t position, void* buffer, std::int64_t count,
                  std::int64_t* read) const;
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

  std::int64_t Length() const { return static_cast<std::int64_t>(FBytes.size()); }
  const std::vector<std::uint8_t>& Bytes() const { return FBytes; }
  bool IsNull() const { return FBytes.empty(); }
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
};

}  // namespace zorvic::engine
