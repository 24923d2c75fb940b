// The commands of zorvic-table that work through the engine's sessions and index files.
//
// Each returns the process exit status (0 success, 1 failure with the reason on standard
// error, or problems on standard output for verify) and lets unexpected errors propagate to
// main, which prints them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zorvic::tools {

// The index header and every index descriptor in use, "name: value" per line.
void PrintIndexInfo(const std::string& directory, const std::string& table, bool encrypted);
// Every problem of the index file: tree structure, RecordCount, each index against the records.
// Returns the problems (empty when sound).
std::vector<std::string> CheckIndexes(const std::string& directory, const std::string& table);

int CreateTable(const std::string& directory, const std::string& table);
int DumpRecords(const std::string& directory, const std::string& table, const std::string* index);
// exclusive: the table is opened exclusively and written (flushed) every batch lines instead of
// committed in transactions.
int LoadRecords(const std::string& directory, const std::string& table, std::int64_t batch,
                bool exclusive = false);
int DeleteRecords(const std::string& directory, const std::string& table,
                  const std::vector<std::string>& recordNumbers);
// Mends the data and BLOB files (TableRepair.h) and rebuilds the index file, listing every
// change; 1 when records that fail their checks were kept.
int RepairTable(const std::string& directory, const std::string& table, bool dropBadRecords);

}  // namespace zorvic::tools
