// TTableAccess: record-level work on one table's data and BLOB files, without indexes.
//
// Maintenance paths (the table tool) and tests use it to create a table from a definition, to
// read records with their Blob values, to append records given as field values and to delete
// records by number. Every change is one write: both files' caches hold it while it is made
// (nothing is written half-way), then the BLOB file and the data file are flushed, records
// before headers. A failure half-way drops both caches and re-reads both headers, so only the
// failed change is lost. Several changes may be grouped into one write with TWriteBatch.
//
// Index files are not maintained here: tables with indexes must be changed through cursors.
// "Has a primary index" is given by the caller (it decides whether deleted slots are reused).
//
// Thread safety: one thread at a time, like the files it holds.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/formats/BlobFile.h"
#include "engine/storage/formats/DataFile.h"

namespace zorvic::engine {

class TCollation;

// One field's value in its stored form: NULL, or the text of a String field, the bytes of a
// Blob value, the 4-byte RowId of an auto-increment field, or the `PhysSize` bytes of any other
// type. An auto-increment field given as NULL gets the next RowId.
struct TFieldValue {
  bool IsNull = true;
  std::string Bytes;

  static TFieldValue Null() { return {}; }
  static TFieldValue Of(std::string bytes) { return {false, std::move(bytes)}; }
};
using TRecordValues = std::vector<TFieldValue>;

class TTableAccess {
 public:
  // directory: the folder (with or without a trailing separator); table: the table name.
  TTableAccess(std::string directory, std::string table, bool inMemory = false);
  ~TTableAccess();
  TTableAccess(const TTableAccess&) = delete;
  TTableAccess& operator=(const TTableAccess&) = delete;

  // Creates the data file (and the BLOB file when there are Blob fields) and leaves the table
  // open exclusively. VELDOR_TABLEEXISTS when the data file exists. A failure removes the files
  // made so far.
  void Create(const TTableDefinition& definition);
  // Opens the files and makes the first-open checks of both.
  void Open(bool exclusive);
  void Close();
  bool IsOpen() const { return FData && FData->IsOpen(); }

  TDataFile& Data() { return *FData; }
  TBlobFile* Blob() { return FBlob.get(); }
  const std::string& TableName() const { return FTable; }
  std::string DataFileName() const;
  std::string BlobFileName() const;
  const TCollation& Collation() const;
  void SetCacheScale(std::int64_t factor);  // record and block caches times factor

  // The values of an active record (Blob values read whole); false for a deleted slot. Without
  // read-ahead only the record itself is read on a miss (random access).
  bool ReadRecord(std::int32_t recordNo, TRecordValues& values, bool readAhead = true);
  // Appends (or reuses a slot, with a primary index) a record with the given values after
  // checking required fields and minimum and maximum; returns its record number.
  std::int32_t Insert(const TRecordValues& values, bool hasPrimaryIndex = false);
  // The checks Insert makes before it changes anything: value sizes, required fields, minimum
  // and maximum (raises the engine error of the first failure).
  void CheckValues(const TRecordValues& values);
  // Deletes an active record and frees its Blob chains.
  void Delete(std::int32_t recordNo, bool hasPrimaryIndex = false);

  // Groups changes into one write (nested batches join the outer one).
  class TWriteBatch {
   public:
    explicit TWriteBatch(TTableAccess& table);
    ~TWriteBatch();  // abandons the changes unless Commit was called
    void Commit();

   private:
    TTableAccess& FTable;
    bool FDone = false;
  };

  // Problems of the data file, the BLOB file and the references between them (empty when
  // sound), and whether the data file carries bytes past its last slot (tolerated leftovers of
  // an interrupted append).
  std::vector<std::string> Check();
  std::int64_t TrailingBytes();

 private:
  void BeginWrite();
  void EndWrite();
  void AbandonWrite() noexcept;
  // The record image of the values (Blob fields flagged, without chains) and the RowId asked
  // for; raises as CheckValues.
  std::vector<std::uint8_t> BuildImage(const TRecordValues& values, std::int32_t* suppliedRowId);

  std::string FDirectory;
  std::string FTable;
  bool FInMemory;
  std::unique_ptr<TDataFile> FData;
  std::unique_ptr<TBlobFile> FBlob;
  int FWriteDepth = 0;
  std::int64_t FCacheScale = 1;
};

}  // namespace zorvic::engine
