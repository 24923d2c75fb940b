// TBlobFile: header, block encoding, the block cache, allocation and freeing.
#include "engine/storage/formats/BlobFile.h"

#include <algorithm>
#include <cstring>

#include "engine/storage/formats/BlobFileInternal.h"
#include "engine/storage/formats/Scramble.h"

namespace zorvic::engine {

using blobfile_internal::GetI32;
using blobfile_internal::PutI32;

void TBlock::ClearUnit() {
  Prev = 0;
  Next = 0;
  Used = 0;
  Owner = 0;
  TotalLength = 0;
  std::fill(Data.begin(), Data.end(), 0);
}

TBlobFile::TBlobFile(std::string fileName, bool inMemory, std::int64_t blockSize, bool encrypted,
                     TFileList& list)
    : TFileHandler(std::move(fileName), inMemory, list),
      FBlockSize(blockSize == 0 ? DefaultBlobBlockSize : blockSize),
      FEncrypted(encrypted),
      FCache(*this, TUnitCacheConfig{1, BlockCacheGrowth, BlockCacheProbe, BlockSpareLimit}) {}

TBlobFile::~TBlobFile() {
  FCache.Drop();
}

void TBlobFile::CheckBlockSize() const {
  if (FBlockSize < MinBlobBlockSize || FBlockSize > MaxBlobBlockSize) {
    RaiseFileError(VELDOR_BLOBLIMIT);
  }
}

void TBlobFile::SetCacheSettings(std::int64_t budgetBytes, std::int64_t maxUnits) {
  FCacheBytes = budgetBytes;
  FCacheMaxUnits = maxUnits;
  ApplyCacheSettings();
}

void TBlobFile::ApplyCacheSettings() {
  TUnitCacheConfig config;
  config.Capacity = CacheCapacityFor(FCacheBytes, FBlockSize, FCacheMaxUnits);
  config.GrowthStep = BlockCacheGrowth;
  config.QuickProbe = BlockCacheProbe;
  config.SpareLimit = BlockSpareLimit;
  FCache.Configure(config);
  FReadAhead = std::max<std::int64_t>(1, BlobReadAheadBytes / FBlockSize);
}

void TBlobFile::Open(bool exclusive, bool temporary) {
  if (IsOpen()) return;
  CheckBlockSize();
  TFileHandler::Open(exclusive, temporary);
  try {
    ReadHeader();
  } catch (...) {
    TFileHandler::Close();
    throw;
  }
  FCache.Drop();
  ApplyCacheSettings();
}

void TBlobFile::CreateFile(bool temporary) {
  CheckBlockSize();
  FCache.Drop();
  TFileHandler::CreateFile(temporary);
  FHeader = TBlobHeader{};
  FHeaderModified = false;
  ApplyCacheSettings();
  // The header is written at once: a file without one could never be opened again.
  std::uint8_t bytes[BlobHeaderSize];
  EncodeHeader(FHeader, bytes, FEncrypted);
  WriteAt(0, bytes, BlobHeaderSize);
}

void TBlobFile::Close() {
  FCache.Drop();
  FHeaderModified = false;
  FChangeDepth = 0;
  TFileHandler::Close();
}

TBlobHeader TBlobFile::DecodeHeader(const std::uint8_t* p, bool encrypted) {
  std::uint8_t bytes[BlobHeaderSize];
  std::memcpy(bytes, p, BlobHeaderSize);
  if (encrypted) Scramble(bytes, BlobHeaderSize, DataSeed);
  TBlobHeader h;
  h.ChangeCount = GetI32(bytes + 0);
  h.FormatVersion = bytes[8];
  h.FirstFreeBlock = GetI32(bytes + 9);
  h.NextBlockNo = GetI32(bytes + 13);
  h.HeaderModified = bytes[17];
  return h;
}

void TBlobFile::EncodeHeader(const TBlobHeader& header, std::uint8_t* p, bool encrypted) {
  std::memset(p, 0, BlobHeaderSize);
  PutI32(p + 0, header.ChangeCount);
  p[8] = header.FormatVersion;
  PutI32(p + 9, header.FirstFreeBlock);
  PutI32(p + 13, header.NextBlockNo);
  p[17] = header.HeaderModified;
  if (encrypted) Scramble(p, BlobHeaderSize, DataSeed);
}

void TBlobFile::ReadHeader() {
  std::uint8_t bytes[BlobHeaderSize];
  if (ReadAt(0, bytes, BlobHeaderSize, true) < BlobHeaderSize) RaiseFileError(VELDOR_HEADERCORRUPT);
  FHeader = DecodeHeader(bytes, FEncrypted);
  FHeader.HeaderModified = 0;
  FHeaderModified = false;
}

bool TBlobFile::RefreshHeader() {
  std::uint8_t bytes[BlobHeaderSize];
  if (ReadAt(0, bytes, BlobHeaderSize, true) < BlobHeaderSize) RaiseFileError(VELDOR_HEADERCORRUPT);
  TBlobHeader fresh = DecodeHeader(bytes, FEncrypted);
  if (fresh.ChangeCount == FHeader.ChangeCount) return false;
  fresh.HeaderModified = 0;
  FHeader = fresh;
  FHeaderModified = false;
  FCache.Drop();
  return true;
}

void TBlobFile::VerifyHeader() {
  if (FHeader.FormatVersion != BlobFormatVersion) RaiseFileError(VELDOR_OLDVERSION);
  if (FHeader.NextBlockNo < 1 || FHeader.NextBlockNo > MaxBlobBlockNo + 1 ||
      FHeader.FirstFreeBlock < 0 ||
      (FHeader.FirstFreeBlock != 0 && FHeader.FirstFreeBlock >= FHeader.NextBlockNo) ||
      FileSize() < BlockOffset(FHeader.NextBlockNo)) {
    RaiseFileError(VELDOR_HEADERCORRUPT);
  }
}

bool TBlobFile::WriteHeader(bool force) {
  if (!force && !FHeaderModified) return false;
  TBlobHeader out = FHeader;
  out.ChangeCount = FHeader.ChangeCount + 1;
  out.HeaderModified = FHeaderModified ? 1 : 0;
  out.FormatVersion = BlobFormatVersion;
  std::uint8_t bytes[BlobHeaderSize];
  EncodeHeader(out, bytes, FEncrypted);
  WriteAt(0, bytes, BlobHeaderSize);
  FHeader.ChangeCount = out.ChangeCount;
  FHeaderModified = false;
  return true;
}

void TBlobFile::MarkHeaderChanged() {
  ++FHeader.ChangeCount;
  FHeaderModified = true;
}

void TBlobFile::Empty(bool flushToDisk) {
  RequireOpen();
  FCache.Drop();
  FHeader.NextBlockNo = 1;
  FHeader.FirstFreeBlock = 0;
  FHeaderModified = true;
  // The header goes first: a crash before the truncation leaves only unused bytes at the end.
  WriteHeader(true);
  Truncate(BlobHeaderSize);
  if (flushToDisk) FlushBuffers();
}

void TBlobFile::EncodeBlock(const TBlock& block, std::uint8_t* p) const {
  PutI32(p + 0, block.Prev);
  PutI32(p + 4, block.Next);
  p[8] = static_cast<std::uint8_t>(block.Used);
  p[9] = static_cast<std::uint8_t>(block.Used >> 8);
  PutI32(p + 10, block.Owner);
  PutI32(p + 14, block.TotalLength);
  std::memcpy(p + BlobBlockHeaderSize, block.Data.data(), static_cast<std::size_t>(Capacity()));
  if (FEncrypted) {
    Scramble(p, BlobBlockHeaderSize, DataSeed);
    Scramble(p + BlobBlockHeaderSize, static_cast<std::size_t>(Capacity()), DataSeed);
  }
}

void TBlobFile::DecodeBlock(const std::uint8_t* p, TBlock& block) const {
  std::uint8_t header[BlobBlockHeaderSize];
  std::memcpy(header, p, BlobBlockHeaderSize);
  block.Data.assign(p + BlobBlockHeaderSize, p + FBlockSize);
  if (FEncrypted) {
    Scramble(header, BlobBlockHeaderSize, DataSeed);
    Scramble(block.Data.data(), block.Data.size(), DataSeed);
  }
  block.Prev = GetI32(header + 0);
  block.Next = GetI32(header + 4);
  block.Used = static_cast<std::uint16_t>(header[8] | header[9] << 8);
  block.Owner = GetI32(header + 10);
  block.TotalLength = GetI32(header + 14);
}

std::unique_ptr<TBlock> TBlobFile::NewCacheUnit(TBlockCache&) {
  auto block = std::make_unique<TBlock>();
  block->Data.assign(static_cast<std::size_t>(Capacity()), 0);
  return block;
}

bool TBlobFile::CacheMayWrite(TBlockCache&) {
  return !FInTransaction && FChangeDepth == 0 && IsOpen() && !OpenedReadOnly();
}

void TBlobFile::WriteModifiedUnits(TBlockCache&) {
  WriteModifiedBlocks();
}

void TBlobFile::BeginChange() {
  if (FChangeDepth == 0 && FCache.Count() > FCache.Config().Capacity && CacheMayWrite(FCache)) {
    WriteChanges(true);
    FCache.Trim();
  }
  ++FChangeDepth;
}

void TBlobFile::EndChange() {
  if (FChangeDepth > 0) --FChangeDepth;
}

TBlock* TBlobFile::GetBlock(std::int32_t blockNo, std::int64_t wanted, bool pin) {
  RequireOpen();
  if (!ValidBlockNo(blockNo)) RaiseCorrupt();
  if (TBlock* cached = FCache.Find(blockNo)) {
    if (!pin) FCache.Unpin(cached);
    return cached;
  }
  std::int64_t count =
      std::min<std::int64_t>({FReadAhead, std::max<std::int64_t>(wanted, 1),
                              static_cast<std::int64_t>(FHeader.NextBlockNo) - blockNo});
  FReadRun.resize(static_cast<std::size_t>(count * FBlockSize));
  std::int64_t got = ReadAt(BlockOffset(blockNo), FReadRun.data(), count * FBlockSize, true);
  std::int64_t whole = got / FBlockSize;
  if (whole < 1) RaiseCorrupt();  // the block lies beyond the end of the file
  TBlock* result = FCache.Add(blockNo, true);
  DecodeBlock(FReadRun.data(), *result);
  // The rest of the run: cached blocks keep their content, the others become entries.
  for (std::int64_t i = 1; i < whole; ++i) {
    std::int64_t no = blockNo + i;
    if (FCache.Peek(no)) continue;
    TBlock* block = FCache.TryAdd(no);
    if (!block) break;  // the cache is full of blocks in use: the rest is not worth growing for
    DecodeBlock(FReadRun.data() + i * FBlockSize, *block);
  }
  if (!pin) FCache.Unpin(result);
  return result;
}

bool TBlobFile::CanAppend(std::int64_t count) const {
  if (count <= 0) return true;
  std::int64_t last = static_cast<std::int64_t>(FHeader.NextBlockNo) + count - 1;
  return FHeader.NextBlockNo >= 1 && last <= MaxBlobBlockNo &&
         BlobHeaderSize + last * FBlockSize <= MaxBlobFileBytes;
}

TBlock* TBlobFile::AllocateBlock() {
  RequireOpen();
  TBlobChange change(*this);
  TBlock* block;
  if (FHeader.FirstFreeBlock != 0) {
    block = GetBlock(FHeader.FirstFreeBlock);
    if (block->Next != 0 && !ValidBlockNo(block->Next)) {
      FCache.Unpin(block);
      RaiseCorrupt();
    }
    FHeader.FirstFreeBlock = block->Next;
  } else {
    if (FHeader.NextBlockNo < 1) RaiseFileError(VELDOR_HEADERCORRUPT);
    if (!CanAppend(1)) RaiseFileError(VELDOR_TABLEFULL);
    std::int32_t no = FHeader.NextBlockNo;
    if (TBlock* stale = FCache.Peek(no)) {
      if (stale->PinCount > 0) RaiseCorrupt();
      FCache.Remove(stale);
    }
    block = FCache.Add(no, true);
    ++FHeader.NextBlockNo;
  }
  block->ClearUnit();
  FCache.MarkModified(block);
  FHeaderModified = true;
  return block;
}

void TBlobFile::FreeBlock(std::int32_t blockNo) {
  RequireOpen();
  TBlobChange change(*this);
  TBlock* block = GetBlock(blockNo);
  block->Next = FHeader.FirstFreeBlock;
  FHeader.FirstFreeBlock = blockNo;
  FCache.MarkModified(block);
  FCache.Unpin(block);
  FHeaderModified = true;
}

void TBlobFile::FreeCollected(const std::vector<TBlock*>& blocks) {
  for (TBlock* block : blocks) {
    block->Next = FHeader.FirstFreeBlock;
    FHeader.FirstFreeBlock = block->BlockNo();
    FCache.MarkModified(block);
  }
  if (!blocks.empty()) FHeaderModified = true;
}

void TBlobFile::CollectChain(std::int32_t firstBlock, std::int32_t owner, bool repair,
                             TPinnedBlocks& chain) {
  std::int32_t no = firstBlock;
  std::int32_t prev = 0;
  std::int64_t estimate = 1;
  std::size_t start = chain.Blocks.size();
  while (no != 0) {
    // A chain can hold each block once: a longer walk is a loop.
    if (!ValidBlockNo(no) ||
        static_cast<std::int64_t>(chain.Blocks.size() - start) >= HighestBlockNo()) {
      RaiseCorrupt();
    }
    std::int64_t done = static_cast<std::int64_t>(chain.Blocks.size() - start);
    TBlock* block = GetBlock(no, std::max<std::int64_t>(1, estimate - done));
    chain.Blocks.push_back(block);
    if (block->PinCount > 1 || block->Prev != prev) RaiseCorrupt();
    if (block->Owner != owner) {
      if (!repair) RaiseCorrupt();
      block->Owner = owner;
      FCache.MarkModified(block);
    }
    if (no == firstBlock && block->TotalLength > 0) {
      estimate = (block->TotalLength + Capacity() - 1) / Capacity();
    }
    prev = no;
    no = block->Next;
  }
}

void TBlobFile::CollectFree(std::int64_t count, const std::vector<std::int32_t>& exclude,
                            TPinnedBlocks& free) {
  std::int32_t no = FHeader.FirstFreeBlock;
  while (static_cast<std::int64_t>(free.Blocks.size()) < count && no != 0) {
    if (!ValidBlockNo(no) || std::binary_search(exclude.begin(), exclude.end(), no)) {
      RaiseCorrupt();
    }
    TBlock* block = GetBlock(no);
    free.Blocks.push_back(block);
    if (block->PinCount > 1) RaiseCorrupt();  // the free list loops
    no = block->Next;
  }
  if (no != 0 && !ValidBlockNo(no)) RaiseCorrupt();
  free.NextFree = no;
}

void TBlobFile::FreeChain(std::int32_t firstBlock, std::int32_t owner, bool repair) {
  RequireOpen();
  if (firstBlock == 0) return;
  TBlobChange change(*this);
  TPinnedBlocks chain(*this);
  CollectChain(firstBlock, owner, repair, chain);
  FreeCollected(chain.Blocks);
}

void TBlobFile::FreeRecordChains(std::int32_t recordNo,
                                 const std::vector<std::int32_t>& firstBlocks) {
  RequireOpen();
  TBlobChange change(*this);
  std::vector<std::unique_ptr<TPinnedBlocks>> chains;
  for (std::int32_t first : firstBlocks) {
    if (first == 0) continue;
    if (first < 0) RaiseCorrupt();
    chains.push_back(std::make_unique<TPinnedBlocks>(*this));
    CollectChain(first, recordNo, false,
                 *chains.back());  // a block shared by two chains: pinned twice
  }
  for (const auto& chain : chains)
    FreeCollected(chain->Blocks);
}

bool TBlobFile::WriteModifiedBlocks() {
  return WriteChanges(false);
}

bool TBlobFile::Flush(bool toDisk) {
  bool wrote = WriteChanges(true);
  if (toDisk && wrote) FlushBuffers();
  return wrote;
}

bool TBlobFile::WriteChanges(bool withHeader) {
  RequireOpen();
  std::vector<TBlock*> modified = FCache.ModifiedUnits(false);
  const bool header = withHeader && FHeaderModified;
  if (modified.empty() && !header) return false;

  // Runs of consecutive blocks, each written with one call.
  struct TRun {
    std::size_t First;
    std::size_t Count;
    std::int64_t Offset;
  };
  std::vector<TRun> runs;
  const std::int64_t perRun = std::max<std::int64_t>(1, BlobWriteRunBytes / FBlockSize);
  for (std::size_t i = 0; i < modified.size();) {
    std::size_t j = i + 1;
    while (j < modified.size() && static_cast<std::int64_t>(j - i) < perRun &&
           modified[j]->UnitNo == modified[j - 1]->UnitNo + 1) {
      ++j;
    }
    runs.push_back(TRun{i, j - i, BlockOffset(modified[i]->BlockNo())});
    i = j;
  }

  // What the writes will overwrite, so that a failure half-way can put the file back as it was.
  // Runs past the end go first: a full disk then fails before anything in place has changed.
  // Writes held back by a journal reach no file here: the journal keeps the old bytes itself.
  const bool direct = Capture() == nullptr;
  const std::int64_t size = FileSize();
  struct TUndo {
    std::int64_t Offset;
    std::vector<std::uint8_t> Bytes;
  };
  std::vector<TUndo> undo;
  for (const TRun& run : runs) {
    if (!direct) break;
    std::int64_t end =
        std::min(size, run.Offset + static_cast<std::int64_t>(run.Count) * FBlockSize);
    if (end <= run.Offset) continue;
    TUndo old{run.Offset, std::vector<std::uint8_t>(static_cast<std::size_t>(end - run.Offset))};
    ReadAt(old.Offset, old.Bytes.data(), end - run.Offset);
    undo.push_back(std::move(old));
  }
  std::stable_partition(runs.begin(), runs.end(),
                        [size](const TRun& run) { return run.Offset >= size; });
  TBlobHeader out = FHeader;
  if (header) {
    if (direct) {
      TUndo old{0, std::vector<std::uint8_t>(BlobHeaderSize)};
      ReadAt(0, old.Bytes.data(), BlobHeaderSize);
      undo.push_back(std::move(old));
    }
    out.ChangeCount = FHeader.ChangeCount + 1;
    out.HeaderModified = 1;
    out.FormatVersion = BlobFormatVersion;
  }

  try {
    for (const TRun& run : runs) {
      FWriteRun.resize(run.Count * static_cast<std::size_t>(FBlockSize));
      for (std::size_t k = 0; k < run.Count; ++k) {
        EncodeBlock(*modified[run.First + k], FWriteRun.data() + k * FBlockSize);
      }
      WriteAt(run.Offset, FWriteRun.data(), static_cast<std::int64_t>(FWriteRun.size()));
    }
    if (header) {
      std::uint8_t bytes[BlobHeaderSize];
      EncodeHeader(out, bytes, FEncrypted);
      WriteAt(0, bytes, BlobHeaderSize);
    }
  } catch (const EVELDOREngineError&) {
    // Best effort: the old bytes back, the file back to its old length. The cache keeps its
    // changes (still modified); the caller drops them or tries again.
    for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
      try {
        WriteAt(it->Offset, it->Bytes.data(), static_cast<std::int64_t>(it->Bytes.size()));
      } catch (const EVELDOREngineError&) {
      }
    }
    try {
      Truncate(size);
    } catch (const EVELDOREngineError&) {
    }
    throw;
  }
  for (TBlock* block : modified)
    FCache.MarkClean(block);
  if (header) {
    FHeader.ChangeCount = out.ChangeCount;
    FHeaderModified = false;
  }
  return true;
}

void TBlobFile::DropCache() {
  FCache.Drop();
}

void TBlobFile::TrimCache() {
  FCache.Trim();
}

void TBlobFile::Recover() noexcept {
  FCache.Drop();
  try {
    ReadHeader();
  } catch (...) {
    FHeaderModified = false;  // the next refresh or open reads it again
  }
}

}  // namespace zorvic::engine
