// The registry of parked tables (TableParking.h).
#include "engine/storage/sessions/TableParking.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "engine/storage/sessions/DataTable.h"

namespace zorvic::engine {
namespace {

struct TParking {
  std::mutex Mutex;
  std::vector<TDataTable*> Tables;
};

TParking& Parking() {
  static TParking* parking = new TParking;  // lives until exit: tables close at any time
  return *parking;
}

bool UsesFile(const TDataTable& table, const std::string& key) {
  for (const char* ext : {".DAT", ".IDX", ".BLB"})
    if (FileNameKey(table.FileName(ext)) == key) return true;
  return false;
}

// The file layer asks the registry before it refuses a file that parked tables hold.
const bool gCloserInstalled = (TFileList::SetIdleCloser(&CloseParkedTablesUsing), true);

}  // namespace

bool ParkableTable(const TDataTable& table) {
  return table.IsOpen() && !table.InMemory() && !table.Exclusive() && !table.Temporary() &&
         !table.InTransaction() && table.OpenCount() == 0;
}

void ParkTable(TDataTable& table) {
  TParking& parking = Parking();
  std::lock_guard<std::mutex> guard(parking.Mutex);
  if (table.FParked) return;
  table.FParked = true;
  parking.Tables.push_back(&table);
}

bool ReclaimTable(TDataTable& table) noexcept {
  TParking& parking = Parking();
  std::lock_guard<std::mutex> guard(parking.Mutex);
  if (!table.FParked) return false;
  table.FParked = false;
  parking.Tables.erase(std::remove(parking.Tables.begin(), parking.Tables.end(), &table),
                       parking.Tables.end());
  return table.IsOpen();
}

bool CloseParkedTablesUsing(const std::string& fileName, bool inMemory) noexcept {
  TParking& parking = Parking();
  std::lock_guard<std::mutex> guard(parking.Mutex);
  const std::string key = FileNameKey(fileName);
  bool closed = false;
  for (auto it = parking.Tables.begin(); it != parking.Tables.end();) {
    TDataTable& table = **it;
    if (table.InMemory() != inMemory || !UsesFile(table, key)) {
      ++it;
      continue;
    }
    it = parking.Tables.erase(it);
    table.FParked = false;
    try {
      table.Close();  // a shared table has nothing to write: this only lets go of its files
    } catch (...) {
    }
    closed = true;
  }
  return closed;
}

std::size_t ParkedTableCount() {
  TParking& parking = Parking();
  std::lock_guard<std::mutex> guard(parking.Mutex);
  return parking.Tables.size();
}

}  // namespace zorvic::engine
