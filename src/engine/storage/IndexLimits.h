// Limits of the index file and its B-trees, each with the reason for its value.
//
// Values marked "format" are fixed by the ".IDX" layout that other processes read and write;
// they can never change without breaking existing files.
//
// Thread safety: constants only.
#pragma once

#include <cstdint>

namespace zorvic::engine {

// format: the header at offset 0 and every page are one 4096-byte block.
inline constexpr int kIndexHeaderSize = 4096;
inline constexpr int kIndexPageSize = 4096;
// format: type, entry count, previous, next, packed size.
inline constexpr int kIndexPageHeaderSize = 13;
// format: what is left of a page for its entries.
inline constexpr int kIndexPageEntryBytes = kIndexPageSize - kIndexPageHeaderSize;
// format: the only index file version this engine reads and writes.
inline constexpr std::uint8_t kIndexFormatVersion = 5;
// format: size of one index descriptor and the number of descriptor slots in the header.
inline constexpr int kIndexDescriptorSize = 120;
inline constexpr int kIndexSlotCount = 33;
// format: slot 0 the primary index, 1..30 secondary indexes, 31 and 32 the internal indexes.
inline constexpr int kPrimaryIndexSlot = 0;
inline constexpr int kMaxSecondaryIndexes = 30;
inline constexpr int kSysDeletedSlot = 31;
inline constexpr int kSysTextSlot = 32;
// format: an index names at most 16 key fields (16 two-byte field numbers in the descriptor).
inline constexpr int kMaxIndexKeyFields = 16;
// format: index names are counted strings of at most 30 characters.
inline constexpr int kMaxIndexNameLength = 30;
// format: the key fields with their flag bytes fill at most 522 bytes; a non-unique index adds
// the 4-byte RowId suffix.
inline constexpr int kMaxKeyFieldBytes = 522;
inline constexpr int kRowIdSuffixSize = 4;
inline constexpr int kMaxKeySize = kMaxKeyFieldBytes + kRowIdSuffixSize;
// format: the internal indexes' key sizes (status + RowId; word flags + word + RowId).
inline constexpr int kSysDeletedKeySize = 5;
inline constexpr int kSysTextKeySize = 68;
// format: the one-byte d and t counts of compressed leaf entries stop at 254.
inline constexpr int kMaxCompressedRun = 254;
// A path from the root is at most 64 pages long; anything deeper is a damaged file (even the
// smallest fan-out of 7 entries per node reaches every possible page well within 64 levels).
inline constexpr int kMaxTreeDepth = 64;
// Highest NextPageNo a new page may leave behind.
inline constexpr std::int64_t kMaxIndexPageCount = 2000000000;
// Largest index file: every page stays below the lock regions just under 4 GiB.
inline constexpr std::int64_t kMaxIndexFileBytes = 4000000000;

}  // namespace zorvic::engine
