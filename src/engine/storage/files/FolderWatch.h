// Whether the names in a folder changed, without looking at each of them.
//
// A table kept open from statement to statement makes sure at the start of each run of reads
// that its files are still the ones under its names: a file removed, renamed over, copied in
// place or made read-only meanwhile means the table must be opened again. Looking costs a stat
// of every file by its path. The folder watch tells instead whether anything of that kind has
// happened in the folder since it last looked: one read of the kernel's notification queue per
// look, whatever the number of tables and files. The same look tells whether any file of the
// folder was written since, so that a table need not read its ChangeCounts either.
//
// FolderGenerations(folder) gives two numbers. Names stays the same while no entry of the
// folder is created, removed or renamed, has its attributes (mode, owner, links) changed, and
// the folder itself is neither moved nor removed. Content stays the same while, besides, no
// file of the folder is written to or cut. Once such an event has happened the number differs
// from every number handed out before, so a caller that noted a number when it last looked
// (at the files under their names, at the ChangeCounts in their headers) and gets the same
// number again knows that what it saw then still holds. 0 means the folder cannot be watched
// (the kernel refused, the path is not absolute): the caller looks itself.
//
// The events are queued by the kernel before the call that caused them returns, so a change
// made before a look began, by any process, is never missed. Not seen: a folder above the
// watched one renamed (the watched folder itself is then the same, with the same files, only
// reached by another name), and writes to a file through a hard link in another folder (tables
// have none).
//
// Thread safety: callable from any thread. After a fork the child watches with a queue of
// its own (the inherited one is the parent's).
#pragma once

#include <cstdint>
#include <string>

namespace zorvic::engine {

struct TFolderGenerations {
  std::uint64_t Names = 0;
  std::uint64_t Content = 0;
};

TFolderGenerations FolderGenerations(const std::string& folder);

}  // namespace zorvic::engine
