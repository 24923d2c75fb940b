// Rebuilding a table's index file from its data file.
//
// RebuildIndexFile makes a fresh index file with the index definitions of the old one (the
// primary index and every secondary index in order, with their fields, uniqueness, order, case
// and compression settings) through the index file's own creation and definition paths, then
// inserts the keys of every active record into each index and every record slot into
// "Sys Deleted", and sets RecordCount. The new file is written under a temporary name beside
// the table, flushed to the disk and renamed over the old one, and the directory is flushed, so
// an interruption at any moment leaves either the old file or the complete new one.
//
// A missing index file (a table whose ".IDX" was lost) is rebuilt without primary or secondary
// indexes: their definitions went with the file. An old header that cannot be read at all is
// refused (VELDOR_HEADERCORRUPT): its definitions would be lost silently. Records whose keys
// collide in a unique index make the rebuild fail with VELDOR_KEYVIOL and leave the old file.
//
// The table is opened exclusively for the whole rebuild, so no other user (session or process)
// may have it open. Only tables on disk are rebuilt.
//
// Thread safety: one call at a time per table; it uses only its own file objects.
#pragma once

#include <cstdint>
#include <string>

namespace zorvic::engine {

struct TIndexRebuildResult {
  int Indexes = 0;           // primary and secondary indexes rebuilt
  std::int64_t Records = 0;  // active records indexed
  std::int64_t Slots = 0;    // record slots (active and deleted) in "Sys Deleted"
  bool IndexFileWasMissing = false;
};

// directory: the table's folder (with or without a trailing separator); table: its name.
TIndexRebuildResult RebuildIndexFile(const std::string& directory, const std::string& table);

// The name the new index file is written under before it replaces the old one.
std::string RebuildTemporaryName(const std::string& directory, const std::string& table);

}  // namespace zorvic::engine
