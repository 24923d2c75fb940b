// Hard limits of the storage and SQL engines, each with the reason for its value.
//
// Values that are part of the table file formats can never change without breaking existing
// files; they are marked "format". Session settings that merely default to a value say
// "default".
//
// Every engine file that needs one of these numbers uses the name from here, so a limit is
// changed in one place. Constants only; safe to include from any thread and any layer of the
// engine.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorvic::engine {

// SQL text and expressions ---------------------------------------------------------------

// Deepest nesting of parentheses, operators, NOT chains and function calls in one expression,
// and the greatest height of an expression tree. Parsing, binding, evaluation and freeing
// recurse over the tree; the bound keeps the stack use of a 1,000-level expression well
// inside a connection thread's stack while leaving room far beyond any hand-written SQL.
inline constexpr int MaxExpressionDepth = 1000;

// Longest clause name (`ParseContext`) kept by the lexer; the clause names are short fixed
// texts, and the error context cuts every text to 255 characters anyway.
inline constexpr std::size_t MaxParseContextLength = 255;

// Longest correlation or column name kept in an expression node; table and column names of
// the storage engine never exceed it.
inline constexpr std::size_t MaxExpressionNameLength = 255;

// Largest character constant "#n": the constant is one byte.
inline constexpr int MaxCharacterConstant = 255;

// Nodes kept for reuse by the expression node pool; more are destroyed when given back, so a
// burst of huge expressions does not pin their memory for the life of the process.
inline constexpr std::size_t ExpTokenPoolCapacity = 256;

// Longest string, bytes or column value of the fixed-size SQL types CHAR(n) and BYTES(n).
inline constexpr int MaxSqlStringSize = 250;

// Largest scale of DECIMAL/NUMERIC: BCD arithmetic works on the value times 10000.
inline constexpr int MaxBCDScale = 4;

// Largest number of decimal places of ROUND(x TO n).
inline constexpr int MaxRoundPlaces = 32;

// SQL statements ---------------------------------------------------------------------------

// Longest table name of a statement, folder path included: the storage engine keeps table
// names in 255-character texts.
inline constexpr std::size_t MaxTableNameLength = 255;
// Longest source text kept for a clause (`ClauseText` of select items, values, columns).
inline constexpr std::size_t MaxClauseTextLength = 255;
// Deepest nesting of IN sub-selects: each level parses a whole SELECT inside an expression,
// so the bound keeps statement-level recursion as flat as expression nesting.
inline constexpr int MaxSubSelectDepth = 32;
// Most result columns of a SELECT block, and most ORDER BY, GROUP BY and DISTINCT columns.
inline constexpr int MaxResultColumns = 1024;
// Longest result column name (a field name of the result table).
inline constexpr std::size_t MaxResultNameLength = 30;

// File layer ------------------------------------------------------------------------------

// Longest file name kept by the file layer; longer names are refused as not found.
inline constexpr std::int64_t MaxFileNameLength = 255;
// Whole-file copies move this many bytes per step (and compress each step separately).
inline constexpr std::int64_t FileCopyChunkSize = 65536;
// In-memory files grow their buffer in steps of this many bytes.
inline constexpr std::int64_t MemoryFileGrowStep = 4096;
// Largest in-memory file: no table file may pass 4 GiB (its lock regions sit just below), so a
// larger write is a fault, reported as an invalid length instead of exhausting memory.
inline constexpr std::int64_t MaxMemoryFileBytes = 1LL << 32;
// Decimal digits of the thread id that start a temporary file name.
inline constexpr int TempNameThreadDigits = 5;
// Attempts at a fresh temporary name before giving up (each is an exclusive create).
inline constexpr int TempNameAttempts = 100000;
// Idle tables a database keeps open between statements (TableParking.h): enough for the
// shared schema's tables, few enough that their caches stay a small part of a session.
inline constexpr int MaxParkedTables = 16;

// Unit caches (records, index pages, BLOB blocks) -----------------------------------------

// default: byte budget of a table's record cache.
inline constexpr std::int64_t RecordCacheBytes = 16384;
// default: byte budget of each index's page cache.
inline constexpr std::int64_t IndexCacheBytes = 16384;
// default: byte budget of a table's BLOB block cache.
inline constexpr std::int64_t BlobCacheBytes = 32768;
// default: most units one cache holds at its configured capacity.
inline constexpr std::int64_t CacheMaxUnits = 8192;
// Entries added at once when every entry is pinned or modified and nothing may be written.
inline constexpr std::int64_t RecordCacheGrowth = 64;
inline constexpr std::int64_t PageCacheGrowth = 4;
inline constexpr std::int64_t BlockCacheGrowth = 32;
// Most-recently-used entries probed before the binary search.
inline constexpr int RecordCacheProbe = 4;
inline constexpr int PageCacheProbe = 2;
inline constexpr int BlockCacheProbe = 4;
// Spare unit objects kept for reuse instead of being freed.
inline constexpr std::int64_t RecordSpareLimit = 64;
inline constexpr std::int64_t PageSpareLimit = 4;
inline constexpr std::int64_t BlockSpareLimit = 32;

// BLOB file -------------------------------------------------------------------------------

// format: size of the BLOB file header at offset 0.
inline constexpr std::int64_t BlobHeaderSize = 512;
// format: size of the header at the start of every BLOB block.
inline constexpr std::int64_t BlobBlockHeaderSize = 18;
// format: block size used when the data header stores 0.
inline constexpr std::int64_t DefaultBlobBlockSize = 512;
// Smallest block size a table may be created with.
inline constexpr std::int64_t MinBlobBlockSize = 64;
// Largest block size: a block's "used" field is 2 bytes, so its data part cannot exceed 65,535.
inline constexpr std::int64_t MaxBlobBlockSize = 65535 + BlobBlockHeaderSize;
// format: the only BLOB file version this engine reads and writes.
inline constexpr std::uint8_t BlobFormatVersion = 5;
// Highest block number that may be appended (keeps block numbers far from the sign bit).
inline constexpr std::int64_t MaxBlobBlockNo = 2000000000;
// Largest BLOB file: every offset stays below the lock regions just under 4 GiB.
inline constexpr std::int64_t MaxBlobFileBytes = 4000000000;
// Bytes read at once when a block is missing from the cache (at least one block).
inline constexpr std::int64_t BlobReadAheadBytes = 16384;
// Longest BLOB value: its length is stored in a signed 32-bit field of the chain's first block.
inline constexpr std::int64_t MaxBlobValueLength = 2147483647;
// Longest run of blocks written with one call (at least one block is always written).
inline constexpr std::int64_t BlobWriteRunBytes = 262144;
// Restarts of one value read when other sessions keep changing the table underneath it.
inline constexpr int MaxBlobReadRestarts = 1000;
// Values one cursor may hold open at the same time.
inline constexpr int MaxOpenBlobsPerCursor = 128;

// Data file and records ---------------------------------------------------------------------

// format: the field count is two bytes in the header; the engine allows at most this many.
inline constexpr std::uint32_t MaxFieldCount = 1024;
// format: Blob fields a table may have (BlobFieldCount).
inline constexpr std::uint32_t MaxBlobFieldCount = 128;
// Index descriptors a definition may ask for: the primary and 31 secondary indexes.
inline constexpr std::uint32_t MaxIndexDescriptors = 32;
// format: RecordSize is two bytes.
inline constexpr std::uint32_t MaxRecordSize = 65535;
// format: a field name is a counted string [30].
inline constexpr std::size_t MaxFieldNameLength = 30;
// format: FieldSize is one byte; String, Bytes and VarBytes fields hold at most 250.
inline constexpr std::uint32_t MaxFieldSize = 250;
// format: table and field descriptions are counted strings [50], and so are min/max/default.
inline constexpr std::size_t MaxDescriptionLength = 50;
inline constexpr std::size_t MaxFieldLiteralLength = 50;
// format: the table password is a counted string [15].
inline constexpr std::size_t MaxTablePasswordLength = 15;
// Highest record number that may be appended.
inline constexpr std::int64_t MaxRecordNo = 200000000;
// Largest data file: every offset stays below the lock regions just under 4 GiB.
inline constexpr std::int64_t MaxDataFileBytes = 4000000000;
// Bytes of consecutive records read at once on a cache miss (at least one record).
inline constexpr std::int64_t RecordReadAheadBytes = 8192;
// Highest auto-increment value; the next insert is refused as a full table instead of wrapping.
inline constexpr std::int32_t MaxAutoIncValue = 2147483647;

// Index file ------------------------------------------------------------------------------

// format: the header at offset 0 and every page are one 4096-byte block.
inline constexpr int IndexHeaderSize = 4096;
inline constexpr int IndexPageSize = 4096;
// format: type, entry count, previous, next, packed size.
inline constexpr int IndexPageHeaderSize = 13;
// format: what is left of a page for its entries.
inline constexpr int IndexPageEntryBytes = IndexPageSize - IndexPageHeaderSize;
// format: the only index file version this engine reads and writes.
inline constexpr std::uint8_t IndexFormatVersion = 5;
// format: size of one index descriptor and the number of descriptor slots in the header.
inline constexpr int IndexDescriptorSize = 120;
inline constexpr int IndexSlotCount = 33;
// format: slot 0 the primary index, 1..30 secondary indexes, 31 and 32 the internal indexes.
inline constexpr int PrimaryIndexSlot = 0;
inline constexpr int MaxSecondaryIndexes = 30;
inline constexpr int SysDeletedSlot = 31;
inline constexpr int SysTextSlot = 32;
// format: an index names at most 16 key fields (16 two-byte field numbers in the descriptor).
inline constexpr int MaxIndexKeyFields = 16;
// format: index names are counted strings of at most 30 characters.
inline constexpr int MaxIndexNameLength = 30;
// format: the key fields with their flag bytes fill at most 522 bytes; a non-unique index adds
// the 4-byte RowId suffix.
inline constexpr int MaxKeyFieldBytes = 522;
inline constexpr int RowIdSuffixSize = 4;
inline constexpr int MaxKeySize = MaxKeyFieldBytes + RowIdSuffixSize;
// format: the internal indexes' key sizes (status + RowId; word flags + word + RowId).
inline constexpr int SysDeletedKeySize = 5;
inline constexpr int SysTextKeySize = 68;
// format: the one-byte d and t counts of compressed leaf entries stop at 254.
inline constexpr int MaxCompressedRun = 254;
// A path from the root is at most 64 pages long; anything deeper is a damaged file (even the
// smallest fan-out of 7 entries per node reaches every possible page well within 64 levels).
inline constexpr int MaxTreeDepth = 64;
// Highest NextPageNo a new page may leave behind.
inline constexpr std::int64_t MaxIndexPageCount = 2000000000;
// Largest index file: every page stays below the lock regions just under 4 GiB.
inline constexpr std::int64_t MaxIndexFileBytes = 4000000000;
// Each index caches IndexCacheBytes / 8192 pages (2 by default): the byte budget is counted
// at two pages' worth per cached page, leaving room for the page's unpacked entries.
inline constexpr std::int64_t IndexCacheBytesPerPage = 8192;
// Most pages written with one call when modified pages run consecutively (1 MiB of buffer).
inline constexpr int MaxPagesPerWrite = 256;

// Lock regions (format: other processes sharing the files rely on them) -------------------

// The highest byte of the 32-bit offset space; the transaction byte of a data file.
inline constexpr std::int64_t LockRegionTop = 0xFFFFFFFFLL;

}  // namespace zorvic::engine
