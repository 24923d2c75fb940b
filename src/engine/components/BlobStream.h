// TVELDORBlobStream: one BLOB or memo column of a dataset's current record as a stream.
//
// The stream works on the value opened in the dataset's record buffer through the cursor (the
// cursor holds BLOB values in memory while they are open). Reading needs no particular state;
// writing needs the dataset in edit or insert state and a column that is not read-only. A
// stream in write mode starts with an empty value. A value written through a stream stays open
// in the record buffer after the stream is gone, until Post stores it or Cancel drops it; a
// value only read is closed again when the stream goes.
//
// A stream reads a long value (longer than StreamedBlobThreshold) in ranges straight from its
// chain, so reading it through a stream never holds it whole. LoadBlobFromSource and
// LoadBlobFromFile give a column a value that is written block by block when the record is
// posted, so storing a file never holds it whole either.
//
// Thread safety: belongs to its dataset; used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/components/Field.h"
#include "engine/storage/formats/BlobSource.h"

namespace zorvic::engine {

enum class TBlobStreamMode : std::uint8_t { bmRead, bmWrite, bmReadWrite };
enum class TSeekOrigin : std::uint8_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TVELDORBlobStream {
 public:
  // Opens the column's value. Write modes: "Field %s cannot be modified." for a read-only
  // column, "Table is not in edit or insert mode." outside edit and insert. Engine errors of
  // the open are raised with the column's name.
  TVELDORBlobStream(TVELDORField& field, TBlobStreamMode mode);
  ~TVELDORBlobStream();
  TVELDORBlobStream(const TVELDORBlobStream&) = delete;
  TVELDORBlobStream& operator=(const TVELDORBlobStream&) = delete;

  // Reads up to count bytes from the position; returns the bytes read (fewer at the end).
  std::int64_t Read(void* buffer, std::int64_t count);
  // Writes count bytes at the position (growing the value) and advances it.
  std::int64_t Write(const void* buffer, std::int64_t count);
  // Moves the position; returns the new one. Negative results are refused.
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin);
  // Cuts the value at the position.
  void Truncate();
  std::int64_t Size();
  std::int64_t Position() const { return FPosition; }
  bool Modified() const { return FModified; }

 private:
  void Open();
  // Whether the cursor is still on that record (same slot, same RowId).
  bool StillOnRecord(std::int32_t recordNo, std::int32_t rowId) const;
  [[noreturn]] void RaiseCode(std::uint16_t code) const;
  std::uint8_t* Buffer() const;

  TVELDORField& FField;
  TBlobStreamMode FMode;
  std::int64_t FPosition = 0;
  bool FOpened = false;
  bool FModified = false;
  bool FWasOpen = false;  // the value was already open in the buffer (another stream, a write)
};

// Gives a BLOB or memo column of the record being inserted or edited the bytes of a source,
// read when the record is posted (the checks of a stream in write mode first). The value stays
// open in the record buffer until Post stores it or Cancel drops it.
void LoadBlobFromSource(TVELDORField& field, std::shared_ptr<TBlobSource> source);
// The same with the bytes of a file: size -1 for the file's length, else the length to store
// (a shorter file fails the post with the engine's "End of blob data" error).
void LoadBlobFromFile(TVELDORField& field, const std::string& path, std::int64_t size = -1);

}  // namespace zorvic::engine
