// A run of consecutive records read straight from the data file (TDataFile::ReadRecordsDirect,
// under the operation read lock, modified records taken from the cache), for reads in file order
// that pass the record cache by: a filter testing every slot, a cursor's scan.
//
// Thread safety: as the cursor that owns it.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/storage/formats/DataFile.h"
#include "engine/storage/sessions/DataTable.h"

namespace zorvic::engine {

class TRecordRun {
 public:
  bool Holds(std::int32_t recordNo) const {
    return recordNo >= FFirst && recordNo < FFirst + FCount;
  }
  // The record after the run's last one.
  std::int32_t End() const { return FFirst + FCount; }
  // The bytes of a record the run holds.
  const std::uint8_t* Bytes(std::int32_t recordNo, std::size_t recordSize) const {
    return FBytes.data() + static_cast<std::size_t>(recordNo - FFirst) * recordSize;
  }
  // Reads the records from recordNo on, runBytes of them (at least one record, at most up to
  // the last slot); throws ETableChanged when the read lock found the table changed.
  void Fill(TDataFile& data, std::int32_t recordNo, std::size_t runBytes);

 private:
  std::vector<std::uint8_t> FBytes;
  std::int32_t FFirst = 0;
  std::int32_t FCount = 0;
};

}  // namespace zorvic::engine
