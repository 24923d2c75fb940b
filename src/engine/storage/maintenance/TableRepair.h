// Repairing a table's files: everything the table check finds wrong is mended, then the index
// file is rebuilt.
//
// RepairTable takes the table to itself (its files opened exclusively, after any journal of an
// interrupted write has been played back by an ordinary open) and reads what the files hold:
//  - record slots: the whole slots of the data file; a slot cut by the end of the file keeps the
//    fields that lie wholly inside it (the rest become NULL); slots past NextRecordNo are kept
//    only when they look like records the header knew (active, their own link, a RowId up to
//    LastAutoInc), otherwise they are the leftovers of an interrupted append and cut off;
//  - records whose status byte or fields fail their checks are reported and kept, unless
//    DropBadRecords is asked for (then they are marked deleted and their chains freed);
//  - BLOB chains are followed from every active record's reference and cut at the first block
//    that cannot belong to them (outside the file, taken by another chain, linked back to
//    another block, or carrying the wrong owner and back link both): the value keeps the bytes
//    read up to there, or becomes NULL when nothing of it is readable. Chains whose first block
//    names their record are followed before the others, so a damaged reference never takes the
//    blocks of a sound chain;
//  - every block in no chain goes to the free list (in ascending order), NextBlockNo becomes
//    the number of whole blocks plus one, and the data header's NextRecordNo, FirstDeleted (the
//    chain of all deleted slots) and LastAutoInc are set from the records.
// Every change is listed in Changes, one line each. The new data and BLOB files are written
// beside the old ones, synced, the old files are copied to ".DBK", ".BBK" and ".IBK" (synced),
// and the new files renamed over the old ones; then the index file is rebuilt (IndexRebuild.h).
// An interruption at any moment leaves either the old files or the complete new ones beside
// their backups.
//
// Thread safety: one call at a time per table; it uses only its own file objects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/storage/files/FileSystem.h"
#include "engine/storage/maintenance/IndexRebuild.h"

namespace zorvic::engine {

struct TTableRepairOptions {
  bool DropBadRecords = false;
};

struct TTableRepairResult {
  std::vector<std::string> Changes;     // what was changed, one line each
  std::vector<std::string> BadRecords;  // records failing their checks (kept unless dropped)
  std::int64_t BadRecordsKept = 0;
  TIndexRebuildResult Index;
};

// directory: the table's folder; table: its name.
TTableRepairResult RepairTableFiles(const std::string& directory, const std::string& table,
                                    const TTableRepairOptions& options = {});

namespace repair_detail {

// One Blob reference of an active record, as the BLOB repair sees it.
struct TBlobRef {
  std::int32_t RecordNo = 0;
  int FieldNo = 0;
  std::int32_t FirstBlock = 0;
  std::int64_t Length = 0;    // after the repair: 0 = NULL
  std::int32_t NewFirst = 0;  // after the repair
  bool Flagged = true;        // the field's flag said it holds a value
};

// Reads the old BLOB file (inFd, -1 when it is missing; inSize bytes), mends it for the
// references and writes the new file to outFd; fills each reference's NewFirst and Length and
// appends the changes. blockSize: B.
void RepairBlobFile(TFileSystem& fs, int inFd, std::int64_t inSize, int outFd,
                    std::int64_t blockSize, bool encrypted, std::vector<TBlobRef>& refs,
                    std::vector<std::string>& changes);

}  // namespace repair_detail

}  // namespace zorvic::engine
