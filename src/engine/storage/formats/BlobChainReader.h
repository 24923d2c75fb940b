// TBlobChainReader: byte ranges of a stored BLOB value read straight from its block chain.
//
// The reader knows the value's first block, owner record and length, and where in the chain
// its last read ended; a read at or after that block walks on from there, one before it walks
// again from the first block. Blocks come from the block cache when it holds them (a block
// changed and not yet written must be read as changed), else from the file in runs of up to
// StreamedBlobRunBytes that are decoded in place and never enter the cache: the reader holds
// one run whatever the value's length, and the cache does not grow by it.
//
// A table changed by someone else between two reads (the BLOB file's ChangeCount moved, or
// the read lock found it changed) makes the next read check the first block again: a value
// that no longer belongs to the record, or has another length, reads as
// VELDOR_KEYORRECDELETED.
//
// Thread safety: belongs to one open value of one cursor; one thread at a time, under the
// table's read lock for each read (the cursor's operation frame).
#pragma once

#include <cstdint>
#include <vector>

#include "engine/storage/EngineError.h"
#include "engine/storage/formats/BlobFile.h"

namespace zorvic::engine {

class TBlobChainReader {
 public:
  TBlobChainReader(std::int32_t firstBlock, std::int32_t recordNo)
      : FFirstBlock(firstBlock), FRecordNo(recordNo) {}

  // Reads the first block: VELDOR_KEYORRECDELETED when another record owns it,
  // VELDOR_MEMOCORRUPT when it is not a chain's first block.
  void Open(TBlobFile& file);
  std::int64_t Length() const { return FLength; }

  // Reads count bytes at position as TBlobBuffer::Read does (the bytes that remain with
  // VELDOR_ENDOFBLOB past the end). Damage raises: VELDOR_MEMOCORRUPT for a bad pointer, back
  // link or owner, VELDOR_ENDOFBLOB for a chain shorter than the length, and
  // VELDOR_KEYORRECDELETED (as a result code) for a value changed under the reader.
  TErrorCode Read(TBlobFile& file, std::int64_t position, void* out, std::int64_t count,
                  std::int64_t* read);

  // Bytes the reader holds (its run buffer and one decoded block).
  std::int64_t HeldBytes() const {
    return static_cast<std::int64_t>(FRun.capacity() + FScratch.Data.capacity());
  }

 private:
  // The block, from the cache or the run (reading a run from the file when needed); wanted is
  // the number of blocks the caller will still read from here.
  const TBlock& Load(TBlobFile& file, std::int32_t blockNo, std::int64_t wanted);
  // Checks the first block against what Open saw; false when the value changed.
  bool StillSameValue(TBlobFile& file);
  void Rewind();

  std::int32_t FFirstBlock;
  std::int32_t FRecordNo;
  std::int64_t FLength = 0;
  std::int32_t FSeenChangeCount = 0;
  // Where the chain walk stands: block FBlockNo is the FIndex-th of the chain, FPrev before it.
  std::int32_t FBlockNo = 0;
  std::int64_t FIndex = 0;
  std::int32_t FPrev = 0;
  // Blocks read from the file, FRunCount of them from FRunFirst on.
  std::vector<std::uint8_t> FRun;
  std::int32_t FRunFirst = 0;
  std::int64_t FRunCount = 0;
  TBlock FScratch;
};

}  // namespace zorvic::engine
