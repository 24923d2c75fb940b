// Glue between a table's data file and its index file: the field list the index keys are built
// from, and the records as the index checks, definitions and rebuilds read them.
//
// Thread safety: as the data file; one thread at a time, under the table's locks.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/storage/formats/DataFile.h"
#include "engine/storage/formats/IndexFile.h"
#include "engine/storage/maintenance/IndexVerify.h"

namespace zorvic::engine {

// The fields of a table as its index file describes them.
std::vector<TIndexFieldInfo> IndexFieldsOf(const std::vector<TFieldDesc>& fields);
inline std::vector<TIndexFieldInfo> IndexFieldsOf(const TDataFile& data) {
  return IndexFieldsOf(data.Fields());
}

// Every record slot of a data file, read one at a time through its record cache. A record that
// cannot be read raises the lock time-out error naming the table.
class TDataFileRecords : public TRecordSource {
 public:
  explicit TDataFileRecords(TDataFile& data) : FData(data), FBytes(data.RecordSize()) {}
  std::int32_t SlotCount() override { return FData.PhysicalRecordCount(); }
  const std::uint8_t* Record(std::int32_t recordNo) override;

 private:
  TDataFile& FData;
  std::vector<std::uint8_t> FBytes;
};

}  // namespace zorvic::engine
