// The lock regions of a table's files and the fixed waits of the table locks.
//
// Sessions and processes that share a table coordinate only through byte-range locks at fixed
// offsets just below 4 GiB (beyond the end of any real file, so they never block a read or a
// write of data) and through the ChangeCounts of the file headers. The regions are part of the
// file format: other processes that share the files rely on them, so they never move.
//
//   data file   record lock of record n (n >= 1)   0xFFFFFFFE - n   1 byte
//   data file   transaction byte                   0xFFFFFFFF       1 byte
//   index file  reader slot s (1..65,535)          0xFFFFFFFF - s   1 byte    (also the BLOB
//   index file  writer range                       0xFFFEFFFF       65,536     file when the
//                                                                               table has Blobs)
//
// The writer range covers every reader slot: a writer shuts out all readers, any reader shuts
// out a writer, and readers (each on its own slot) never shut each other out.
//
// Fixed waits: read, write and transaction locks make up to LockAttempts attempts per region
// with a pause of LockPauseMs after each failed attempt but the last (about 98 s in all).
// Record locks wait by the session's LockRetryCount and LockWaitTime instead. Tests may
// shorten the fixed waits for the whole process (SetFixedLockWaits); nothing else changes them.
//
// Thread safety: the constants are constant; the fixed waits are atomics read at every wait.
#pragma once

#include <cstdint>

namespace zorvic::engine {

// Record lock byte of record n in the data file.
inline constexpr std::int64_t RecordLockRegion(std::int32_t recordNo) {
  return 0xFFFFFFFELL - recordNo;
}
// Held by a transaction from its start to its end, and by every write outside one.
inline constexpr std::int64_t TransactionByteRegion = 0xFFFFFFFFLL;
// Reader slot s of the index (and BLOB) file.
inline constexpr std::int64_t ReaderSlotRegion(int slot) {
  return 0xFFFFFFFFLL - slot;
}
inline constexpr int ReaderSlotCount = 65535;
// Writer range of the index (and BLOB) file: exactly the reader slots and one byte below.
inline constexpr std::int64_t WriterRegionOffset = 0xFFFEFFFFLL;
inline constexpr std::int64_t WriterRegionLength = 65536;

// Attempts per region of a read, write or transaction lock: with the pause below, a lock waits
// long enough for any single operation of another user and still ends a deadlock in bounded time.
inline constexpr int LockAttempts = 32767;
// Pause after a failed attempt: short enough that one operation's wait costs little.
inline constexpr int LockPauseMs = 3;

// The fixed waits in force in this process.
struct TFixedLockWaits {
  int Attempts = LockAttempts;
  int PauseMs = LockPauseMs;
};
TFixedLockWaits FixedLockWaits();
// Tests only: shorten (or restore, with the defaults) the fixed waits of the whole process.
// Attempts is at least 1 and the pause at least 0.
void SetFixedLockWaits(const TFixedLockWaits& waits);

}  // namespace zorvic::engine
