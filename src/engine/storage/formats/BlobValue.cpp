// Whole values of the BLOB file: reading a chain, and writing a value back as a chain.
#include <algorithm>
#include <cstring>

#include "engine/storage/formats/BlobFile.h"
#include "engine/storage/formats/BlobFileInternal.h"

namespace zorvic::engine {
namespace {

// Unpins one block when the scope ends.
class TBlockPin {
 public:
  TBlockPin(TBlobFile& file, TBlock* block) : FFile(file), FBlock(block) {}
  ~TBlockPin() {
    if (FBlock) FFile.ReleaseBlock(FBlock);
  }
  TBlockPin(const TBlockPin&) = delete;
  TBlockPin& operator=(const TBlockPin&) = delete;
  TBlock* operator->() const { return FBlock; }
  TBlock* Get() const { return FBlock; }

 private:
  TBlobFile& FFile;
  TBlock* FBlock;
};

// Largest part of a value's length reserved up front; the rest grows as blocks arrive.
constexpr std::int64_t MaxInitialReserve = 1 << 24;

}  // namespace

std::vector<std::uint8_t> TBlobFile::ReadValue(std::int32_t firstBlock, std::int32_t recordNo) {
  RequireOpen();
  if (firstBlock == 0) return {};
  const std::int64_t capacity = Capacity();
  for (int attempt = 0; attempt < MaxBlobReadRestarts; ++attempt) {
    // Another session may change the table while we read: a changed table restarts the read.
    auto changedBeforeRead = [&](std::int32_t no) {
      return FMissHandler && !FCache.Peek(no) && FMissHandler();
    };
    if (changedBeforeRead(firstBlock)) continue;
    if (!ValidBlockNo(firstBlock)) RaiseCorrupt();
    TBlockPin first(*this, GetBlock(firstBlock, FReadAhead));
    if (first->Owner != recordNo) RaiseFileError(VELDOR_KEYORRECDELETED);
    std::int64_t length = first->TotalLength;
    if (first->PinCount > 1 || first->Prev != 0 || length <= 0 ||
        length > static_cast<std::int64_t>(HighestBlockNo()) * capacity) {
      RaiseCorrupt();
    }
    std::vector<std::uint8_t> value;
    value.reserve(static_cast<std::size_t>(std::min(length, MaxInitialReserve)));
    std::int64_t take = std::min(capacity, length);
    value.insert(value.end(), first->Data.begin(), first->Data.begin() + take);
    std::int32_t prev = firstBlock;
    std::int32_t next = first->Next;
    bool restart = false;
    while (static_cast<std::int64_t>(value.size()) < length) {
      if (next == 0) RaiseFileError(VELDOR_ENDOFBLOB);
      if (!ValidBlockNo(next)) RaiseCorrupt();
      if (changedBeforeRead(next)) {
        restart = true;
        break;
      }
      std::int64_t remaining = length - static_cast<std::int64_t>(value.size());
      TBlockPin block(*this, GetBlock(next, (remaining + capacity - 1) / capacity));
      // Back links and owners make every loop visible before it repeats a block.
      if (block->PinCount > 1 || block->Prev != prev || block->Owner != recordNo) RaiseCorrupt();
      take = std::min(capacity, remaining);
      value.insert(value.end(), block->Data.begin(), block->Data.begin() + take);
      prev = next;
      next = block->Next;
    }
    if (!restart) return value;
  }
  RaiseFileError(VELDOR_LOCKTIMEOUT);
}

std::int32_t TBlobFile::WriteValue(std::int32_t recordNo, const void* bytes, std::int64_t length,
                                   std::int32_t oldFirstBlock) {
  RequireOpen();
  if (length < 0 || length > MaxBlobValueLength) RaiseFileError(VELDOR_INVALIDBLOBLEN);
  TBlobChange change(*this);

  // Everything that can fail comes first: the old chain, the free blocks, the limits.
  TPinnedBlocks old(*this);
  if (oldFirstBlock < 0) RaiseCorrupt();
  if (oldFirstBlock != 0) CollectChain(oldFirstBlock, recordNo, false, old);
  if (length == 0) {
    FreeCollected(old.Blocks);
    FHeaderModified = true;
    return 0;
  }
  const std::int64_t capacity = Capacity();
  const std::int64_t needed = (length + capacity - 1) / capacity;
  const std::int64_t reused = std::min<std::int64_t>(needed, old.Blocks.size());
  const std::int64_t extra = needed - reused;
  TPinnedBlocks fresh(*this);
  std::int64_t appended = 0;
  if (extra > 0) {
    std::vector<std::int32_t> exclude;
    for (TBlock* block : old.Blocks)
      exclude.push_back(block->BlockNo());
    std::sort(exclude.begin(), exclude.end());
    CollectFree(extra, exclude, fresh);
    appended = extra - static_cast<std::int64_t>(fresh.Blocks.size());
    if (!CanAppend(appended)) RaiseFileError(VELDOR_TABLEFULL);
  }

  // From here on only the cache and the header in memory change.
  try {
    std::vector<TBlock*> chain(old.Blocks.begin(), old.Blocks.begin() + reused);
    if (!fresh.Blocks.empty()) FHeader.FirstFreeBlock = fresh.NextFree;
    for (TBlock* block : fresh.Blocks) {
      block->ClearUnit();
      chain.push_back(block);
    }
    for (std::int64_t i = 0; i < appended; ++i) {
      std::int32_t no = FHeader.NextBlockNo;
      if (TBlock* stale = FCache.Peek(no)) FCache.Remove(stale);
      TBlock* block = FCache.Add(no, true);
      fresh.Blocks.push_back(block);
      ++FHeader.NextBlockNo;
      chain.push_back(block);
    }
    const auto* source = static_cast<const std::uint8_t*>(bytes);
    std::int64_t done = 0;
    for (std::size_t i = 0; i < chain.size(); ++i) {
      TBlock* block = chain[i];
      std::int64_t take = std::min(capacity, length - done);
      block->Prev = i == 0 ? 0 : chain[i - 1]->BlockNo();
      block->Next = i + 1 < chain.size() ? chain[i + 1]->BlockNo() : 0;
      block->Owner = recordNo;
      block->TotalLength = i == 0 ? static_cast<std::int32_t>(length) : 0;
      block->Used = static_cast<std::uint16_t>(take);
      std::memcpy(block->Data.data(), source + done, static_cast<std::size_t>(take));
      std::fill(block->Data.begin() + take, block->Data.end(), 0);
      FCache.MarkModified(block);
      done += take;
    }
    // The old chain's surplus goes to the free list, in chain order.
    FreeCollected(std::vector<TBlock*>(old.Blocks.begin() + reused, old.Blocks.end()));
    FHeaderModified = true;
    return chain.front()->BlockNo();
  } catch (...) {
    Recover();
    throw;
  }
}

}  // namespace zorvic::engine
