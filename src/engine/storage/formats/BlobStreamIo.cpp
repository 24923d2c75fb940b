// Streamed BLOB values: chains written from a source straight to the file, and byte ranges
// read from a chain without the block cache.
#include <algorithm>
#include <cstring>

#include "engine/storage/formats/BlobChainReader.h"
#include "engine/storage/formats/BlobFile.h"
#include "engine/storage/formats/BlobFileInternal.h"
#include "engine/storage/formats/BlobSource.h"

namespace zorvic::engine {

// ---- streamed write ---------------------------------------------------------------------

std::int32_t TBlobFile::WriteStreamedValue(std::int32_t recordNo, TBlobSource& source,
                                           std::int32_t oldFirstBlock) {
  RequireOpen();
  const std::int64_t length = source.Size();
  if (length < 0 || length > MaxBlobValueLength) RaiseFileError(VELDOR_INVALIDBLOBLEN);
  TBlobChange change(*this);

  // Everything that can fail before the first byte: the old chain, the limits, the blocks.
  TPinnedBlocks old(*this);
  if (oldFirstBlock < 0) RaiseCorrupt();
  if (oldFirstBlock != 0) CollectChain(oldFirstBlock, recordNo, false, old);
  if (length == 0) {
    FreeCollected(old.Blocks);
    FHeaderModified = true;
    return 0;
  }
  if (FHeader.NextBlockNo < 1) RaiseFileError(VELDOR_HEADERCORRUPT);
  const std::int64_t capacity = Capacity();
  const std::int64_t needed = (length + capacity - 1) / capacity;
  if (!CanAppend(needed)) RaiseFileError(VELDOR_TABLEFULL);
  const std::int32_t first = FHeader.NextBlockNo;
  for (std::int64_t i = 0; i < needed; ++i) {
    if (FCache.Count() == 0) break;
    if (TBlock* stale = FCache.Peek(first + i)) {
      if (stale->PinCount > 0) RaiseCorrupt();
      FCache.Remove(stale);  // left over from a change that was dropped: not a block of the file
    }
  }

  const std::int64_t perRun = std::max<std::int64_t>(1, StreamedBlobRunBytes / FBlockSize);
  const std::int64_t sizeBefore = FileSize();
  std::vector<std::uint8_t> run(static_cast<std::size_t>(std::min(needed, perRun) * FBlockSize));
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min(needed, perRun) * capacity));
  TBlock block;
  block.Data.assign(static_cast<std::size_t>(capacity), 0);
  try {
    std::int64_t done = 0;
    for (std::int64_t start = 0; start < needed; start += perRun) {
      const std::int64_t count = std::min(perRun, needed - start);
      const std::int64_t want = std::min(count * capacity, length - done);
      std::int64_t got = 0;
      while (got < want) {
        const std::int64_t n = source.ReadAt(done + got, bytes.data() + got, want - got);
        if (n <= 0 || n > want - got) RaiseFileError(VELDOR_ENDOFBLOB);
        got += n;
      }
      for (std::int64_t k = 0; k < count; ++k) {
        const std::int64_t index = start + k;
        const std::int64_t offset = k * capacity;
        const std::int64_t take = std::min(capacity, want - offset);
        block.Prev = index == 0 ? 0 : static_cast<std::int32_t>(first + index - 1);
        block.Next = index + 1 < needed ? static_cast<std::int32_t>(first + index + 1) : 0;
        block.Owner = recordNo;
        block.TotalLength = index == 0 ? static_cast<std::int32_t>(length) : 0;
        block.Used = static_cast<std::uint16_t>(take);
        std::memcpy(block.Data.data(), bytes.data() + offset, static_cast<std::size_t>(take));
        std::fill(block.Data.begin() + take, block.Data.end(), 0);
        EncodeBlock(block, run.data() + k * FBlockSize);
      }
      WriteAt(BlockOffset(static_cast<std::int32_t>(first + start)), run.data(),
              count * FBlockSize);
      done += want;
    }
  } catch (...) {
    // Nothing refers to the blocks written so far; give the file its old length back.
    try {
      if (FileSize() > sizeBefore) Truncate(sizeBefore);
    } catch (...) {
    }
    throw;
  }

  // The chain exists in the file; from here on only the header and cache in memory change.
  FHeader.NextBlockNo = static_cast<std::int32_t>(first + needed);
  FreeCollected(old.Blocks);
  FHeaderModified = true;
  return first;
}

// ---- streamed read ----------------------------------------------------------------------

void TBlobChainReader::Rewind() {
  FBlockNo = FFirstBlock;
  FIndex = 0;
  FPrev = 0;
}

void TBlobChainReader::Open(TBlobFile& file) {
  FRunCount = 0;
  if (file.TableChangedBeforeRead()) FRunCount = 0;
  if (FFirstBlock < 1 || FFirstBlock > file.HighestBlockNo())
    RaiseTableError(VELDOR_MEMOCORRUPT, std::string());
  const std::int64_t capacity = file.Capacity();
  const TBlock& head = Load(file, FFirstBlock, 1);
  if (head.Owner != FRecordNo) RaiseTableError(VELDOR_KEYORRECDELETED, std::string());
  const std::int64_t length = head.TotalLength;
  if (head.Prev != 0 || length <= 0 ||
      length > static_cast<std::int64_t>(file.HighestBlockNo()) * capacity)
    RaiseTableError(VELDOR_MEMOCORRUPT, std::string());
  FLength = length;
  FSeenChangeCount = file.ChangeCount();
  Rewind();
}

bool TBlobChainReader::StillSameValue(TBlobFile& file) {
  FRunCount = 0;
  Rewind();
  FSeenChangeCount = file.ChangeCount();
  if (FFirstBlock > file.HighestBlockNo()) return false;
  const TBlock& head = Load(file, FFirstBlock, 1);
  return head.Owner == FRecordNo && head.Prev == 0 && head.TotalLength == FLength;
}

const TBlock& TBlobChainReader::Load(TBlobFile& file, std::int32_t blockNo, std::int64_t wanted) {
  if (const TBlock* cached = file.Cache().Peek(blockNo)) return *cached;
  const std::int64_t size = file.BlockSize();
  if (FRunCount == 0 || blockNo < FRunFirst || blockNo >= FRunFirst + FRunCount) {
    const std::int64_t perRun = std::max<std::int64_t>(1, StreamedBlobRunBytes / size);
    const std::int64_t count =
        std::min<std::int64_t>({perRun, std::max<std::int64_t>(wanted, 1),
                                static_cast<std::int64_t>(file.HighestBlockNo()) - blockNo + 1});
    FRun.resize(static_cast<std::size_t>(count * size));
    FRunCount = 0;
    const std::int64_t got =
        file.ReadAt(file.BlockOffset(blockNo), FRun.data(), count * size, true);
    if (got < size) RaiseTableError(VELDOR_MEMOCORRUPT, std::string());
    FRunFirst = blockNo;
    FRunCount = got / size;
  }
  file.DecodeBlock(FRun.data() + (blockNo - FRunFirst) * size, FScratch);
  return FScratch;
}

TErrorCode TBlobChainReader::Read(TBlobFile& file, std::int64_t position, void* out,
                                  std::int64_t count, std::int64_t* read) {
  *read = 0;
  if (position < 0 || count < 0) return VELDOR_INVALIDBLOBLEN;
  // Someone else changed the table since the last read: the value must still be ours.
  const bool changed = file.TableChangedBeforeRead();
  if (changed || file.ChangeCount() != FSeenChangeCount) {
    if (!StillSameValue(file)) return VELDOR_KEYORRECDELETED;
  }
  if (position >= FLength) return VELDOR_ENDOFBLOB;
  const std::int64_t n = std::min(count, FLength - position);
  const std::int64_t capacity = file.Capacity();
  const std::int64_t target = position / capacity;
  if (target < FIndex) Rewind();
  const std::int64_t lastBlock = (FLength - 1) / capacity;
  auto* dest = static_cast<std::uint8_t*>(out);
  std::int64_t at = position;
  while (*read < n) {
    const std::int64_t index = FIndex;
    const TBlock& block = Load(file, FBlockNo, lastBlock - index + 1);
    if (block.Owner != FRecordNo || block.Prev != FPrev ||
        (index == 0 && block.TotalLength != FLength))
      RaiseTableError(VELDOR_MEMOCORRUPT, std::string());
    const std::int64_t blockStart = index * capacity;
    if (at < blockStart + capacity) {
      const std::int64_t from = at - blockStart;
      const std::int64_t take = std::min(capacity - from, n - *read);
      std::memcpy(dest + *read, block.Data.data() + from, static_cast<std::size_t>(take));
      *read += take;
      at += take;
      if (*read == n && at < blockStart + capacity) break;  // the next read may start here
    }
    if (index == lastBlock) break;
    const std::int32_t next = block.Next;
    if (next == 0) RaiseTableError(VELDOR_ENDOFBLOB, std::string());
    if (next < 1 || next > file.HighestBlockNo())
      RaiseTableError(VELDOR_MEMOCORRUPT, std::string());
    FPrev = FBlockNo;
    FBlockNo = next;
    FIndex = index + 1;
  }
  return *read == count ? VELDOR_NONE : VELDOR_ENDOFBLOB;
}

}  // namespace zorvic::engine
