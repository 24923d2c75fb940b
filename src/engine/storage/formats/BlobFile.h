// The BLOB file (".BLB") of a table: the values of its Blob fields as chains of fixed-size blocks.
//
// Layout: a 512-byte header at offset 0 (ChangeCount, FormatVersion 5, FirstFreeBlock,
// NextBlockNo, the writer's header-modified flag), then block n (n >= 1) at
// 512 + (n - 1) * B. A block is an 18-byte header (previous, next, bytes used, owner record, total
// length of the value in a chain's first block) and B - 18 data bytes. Encrypted tables scramble
// the header as one 512-byte run and each block as two runs (its header, then its data). A record
// refers to a value by the number of its chain's first block; 0 means no value (NULL).
//
// TBlobFile owns the header, the free-block list and the block cache (TUnitCache<TBlock>).
// Changing operations (WriteValue, FreeChain, FreeRecordChains, AllocateBlock) check everything
// that could fail (chain pointers and owners, free blocks, the table limits) before their first
// change, so a failure leaves the cache and the header as they were; nothing is written to the
// file in the middle of an operation. Modified blocks reach the file only through
// WriteModifiedBlocks / Flush (ascending runs, one write per run of consecutive blocks) or, outside
// a transaction, when the cache needs room between operations (then with the header, so the file
// is always the state between two operations). A write that fails half-way puts back what it
// overwrote, so a full disk or a write error leaves the file as it was before the flush. Inside a
// transaction (SetInTransaction) nothing is written and the cache grows instead.
//
// Thread safety: one TBlobFile per table per session, used by one thread at a time under the
// table's locks. The shared file object underneath is thread-safe (FileLayer.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/EngineLimits.h"
#include "engine/storage/files/FileLayer.h"
#include "engine/storage/formats/UnitCache.h"

namespace zorvic::engine {

class TBlobSource;

// Bytes of blocks a streamed write or read moves with one file call (and holds at a time).
inline constexpr std::int64_t StreamedBlobRunBytes = 128 * 1024;

// One cached block. UnitNo is the block number.
struct TBlock : TCacheUnit {
  void ClearUnit() override;
  std::int32_t BlockNo() const { return static_cast<std::int32_t>(UnitNo); }

  std::int32_t Prev = 0;           // previous block of the chain, 0 for the first
  std::int32_t Next = 0;           // next block of the chain (or of the free list), 0 at the end
  std::uint16_t Used = 0;          // data bytes used in this block
  std::int32_t Owner = 0;          // record number the block belongs to
  std::int32_t TotalLength = 0;    // length of the value, in a chain's first block; else 0
  std::vector<std::uint8_t> Data;  // B - 18 bytes
};

// The 512-byte BLOB header as kept in memory.
struct TBlobHeader {
  std::int32_t ChangeCount = 0;
  std::uint8_t FormatVersion = BlobFormatVersion;
  std::int32_t FirstFreeBlock = 0;
  std::int32_t NextBlockNo = 1;
  std::uint8_t HeaderModified = 0;  // as found in the file; ignored on reading
};

// A Blob field's chain as referenced by one record (for deletes and verification).
struct TBlobReference {
  std::int32_t RecordNo = 0;
  int FieldNo = 0;
  std::int32_t FirstBlock = 0;
};

class TBlobFile : public TFileHandler, private TUnitCache<TBlock>::TOwner {
 public:
  using TBlockCache = TUnitCache<TBlock>;

  // blockSize is the data header's BlobBlockSize (0 means 512); encrypted scrambles with DataSeed.
  // A block size outside MinBlobBlockSize..MaxBlobBlockSize raises VELDOR_BLOBLIMIT at Open and
  // CreateFile.
  TBlobFile(std::string fileName, bool inMemory, std::int64_t blockSize, bool encrypted,
            TFileList& list = TFileList::Instance());
  ~TBlobFile() override;

  // Session cache settings (bytes and unit count); take effect at the next Open or now when open.
  void SetCacheSettings(std::int64_t budgetBytes, std::int64_t maxUnits);

  // Opens the file and reads its header (VELDOR_HEADERCORRUPT when shorter than a header).
  void Open(bool exclusive, bool temporary = false) override;
  // Creates the file with an empty header (NextBlockNo 1, FirstFreeBlock 0) written at once.
  void CreateFile(bool temporary = false) override;
  // Drops the cache without writing and closes.
  void Close() override;

  // Checks made when a session first uses the table: FormatVersion 5 (else VELDOR_OLDVERSION);
  // NextBlockNo within 1..MaxBlobBlockNo + 1, FirstFreeBlock 0 or below NextBlockNo, and the file
  // long enough for its blocks (else VELDOR_HEADERCORRUPT).
  void VerifyHeader();
  // Reads the header unconditionally (the cache is left alone).
  void ReadHeader();
  // Reads the header; when its ChangeCount differs from the one held, takes it over, drops the
  // block cache and returns true.
  bool RefreshHeader();
  // Writes the header when forced or modified: ChangeCount + 1 first. Returns whether it wrote.
  bool WriteHeader(bool force = false);
  // Raises the in-memory ChangeCount and marks the header modified (a write inside a transaction
  // or on an exclusive table, so that other cursors of the session notice it).
  void MarkHeaderChanged();
  // Truncates to the header: NextBlockNo 1, FirstFreeBlock 0, cache dropped, header modified;
  // flushes the system's buffers when asked.
  void Empty(bool flushToDisk);

  // Block number n, pinned unless asked otherwise. A miss reads up to min(read-ahead count,
  // wanted, NextBlockNo - n) consecutive blocks in one read; cached blocks of that run keep their
  // content. A number outside 1..NextBlockNo - 1, or a block missing from the file, is
  // VELDOR_MEMOCORRUPT.
  TBlock* GetBlock(std::int32_t blockNo, std::int64_t wanted = 1, bool pin = true);
  void ReleaseBlock(TBlock* block) { FCache.Unpin(block); }
  void MarkBlockModified(TBlock* block) { FCache.MarkModified(block); }
  // A cleared, pinned, modified block from the free list or appended at the end
  // (VELDOR_TABLEFULL past the limits).
  TBlock* AllocateBlock();
  // Puts a block at the head of the free list.
  void FreeBlock(std::int32_t blockNo);
  // Frees the chain that starts at firstBlock and belongs to record owner, in chain order. An
  // owner mismatch (unless repairing, which corrects the owner) or a bad pointer is
  // VELDOR_MEMOCORRUPT, raised before anything is freed.
  void FreeChain(std::int32_t firstBlock, std::int32_t owner, bool repair = false);
  // Frees the chains of all Blob fields of a deleted record (all checked before any is freed).
  void FreeRecordChains(std::int32_t recordNo, const std::vector<std::int32_t>& firstBlocks);

  // The whole value of the chain at firstBlock for record recordNo: VELDOR_KEYORRECDELETED when
  // the first block belongs to another record, VELDOR_MEMOCORRUPT for a bad pointer, owner or a
  // block pinned by another reader, VELDOR_ENDOFBLOB when the chain ends before the length.
  std::vector<std::uint8_t> ReadValue(std::int32_t firstBlock, std::int32_t recordNo);
  // Stores a value as the chain of record recordNo, reusing the chain at oldFirstBlock (0 = none)
  // in place, extending it from the free list or the end, or freeing its surplus; an empty value
  // frees the chain. Returns the first block number to store in the record (0 when empty).
  std::int32_t WriteValue(std::int32_t recordNo, const void* bytes, std::int64_t length,
                          std::int32_t oldFirstBlock);
  // Stores the value a source delivers (source.Size() bytes) as a new chain of record recordNo:
  // blocks appended after the last one (NextBlockNo on), encoded and written straight to the
  // file in runs of StreamedBlobRunBytes as the bytes come, never through the block cache, so
  // memory stays at one run whatever the length. Blocks beyond NextBlockNo belong to nobody
  // until the header that counts them is written with the record (by the flush or the commit
  // that ends the operation, journaled like any header write): a crash, a failure or a
  // rollback before that leaves only unused bytes past the last block. The old chain at
  // oldFirstBlock is checked first and freed afterwards. A source shorter than its size is
  // VELDOR_ENDOFBLOB; then, as on any failure, the header and cache are left as they were and
  // the file is cut back to its old length. Returns the first block number (0 when empty).
  std::int32_t WriteStreamedValue(std::int32_t recordNo, TBlobSource& source,
                                  std::int32_t oldFirstBlock);
  // The check made before a value read goes to the file: takes the table's read lock; true when
  // the table changed (the caches were dropped).
  bool TableChangedBeforeRead() { return FMissHandler && FMissHandler(); }

  // Writes the modified, unpinned blocks in runs of consecutive blocks (one call per run): runs
  // past the end of the file first, then the ones in place in ascending order. On a failure
  // (VELDOR_WRITEERR) the bytes overwritten so far are put back and the file cut to its old
  // length, so the file stays as it was; the blocks stay modified. Returns whether it wrote.
  bool WriteModifiedBlocks();
  // The same with the header (when modified) last, as one step that fails as a whole; then the
  // system's buffers when asked and anything was written. Returns whether anything was written.
  bool Flush(bool toDisk);
  // Drops the block cache without writing; TrimCache evicts down to the configured capacity.
  void DropCache();
  void TrimCache();
  // Inside a transaction the cache never writes and grows instead.
  void SetInTransaction(bool inTransaction) { FInTransaction = inTransaction; }
  bool InTransaction() const { return FInTransaction; }
  // Called before a value read goes to the file; returns true when the table changed (the caller
  // dropped the caches), which restarts the read from the first block.
  void SetMissHandler(std::function<bool()> handler) { FMissHandler = std::move(handler); }

  // Brackets a change that must reach the file as a whole: while one is under way the cache never
  // writes. Nested brackets count. Beginning the outermost one writes modified blocks first when
  // the cache has grown past its capacity and writing is allowed.
  void BeginChange();
  void EndChange();

  const TBlobHeader& Header() const { return FHeader; }
  bool HeaderIsModified() const { return FHeaderModified; }
  std::int32_t ChangeCount() const { return FHeader.ChangeCount; }
  std::int64_t BlockSize() const { return FBlockSize; }
  // Data bytes per block: B - 18.
  std::int64_t Capacity() const { return FBlockSize - BlobBlockHeaderSize; }
  std::int32_t HighestBlockNo() const { return FHeader.NextBlockNo - 1; }
  std::int64_t ReadAheadCount() const { return FReadAhead; }
  bool Encrypted() const { return FEncrypted; }
  TBlockCache& Cache() { return FCache; }

  // Byte offset of block n.
  std::int64_t BlockOffset(std::int32_t blockNo) const {
    return BlobHeaderSize + (static_cast<std::int64_t>(blockNo) - 1) * FBlockSize;
  }
  // Encodes or decodes one block at p (B bytes), scrambling when encrypted.
  void EncodeBlock(const TBlock& block, std::uint8_t* p) const;
  void DecodeBlock(const std::uint8_t* p, TBlock& block) const;
  // The 512 header bytes at p and back (scrambled when encrypted).
  static TBlobHeader DecodeHeader(const std::uint8_t* p, bool encrypted);
  static void EncodeHeader(const TBlobHeader& header, std::uint8_t* p, bool encrypted);

 private:
  // Savepoints copy and restore the unwritten state (TransactionSavepoint.h).
  friend class TTransactionSavepoint;
  friend class TBlobChange;

  std::unique_ptr<TBlock> NewCacheUnit(TBlockCache& cache) override;
  bool CacheMayWrite(TBlockCache& cache) override;
  void WriteModifiedUnits(TBlockCache& cache) override;

  void CheckBlockSize() const;
  bool WriteChanges(bool withHeader);
  void ApplyCacheSettings();
  bool ValidBlockNo(std::int32_t blockNo) const {
    return blockNo >= 1 && blockNo < FHeader.NextBlockNo;
  }
  // Raises VELDOR_MEMOCORRUPT (after releasing what the caller holds).
  [[noreturn]] void RaiseCorrupt() const { RaiseFileError(VELDOR_MEMOCORRUPT); }
  // The chain at firstBlock, pinned block by block and checked (pointers, back links, owners);
  // a mismatching owner is corrected when repairing, else VELDOR_MEMOCORRUPT.
  class TPinnedBlocks;
  void CollectChain(std::int32_t firstBlock, std::int32_t owner, bool repair, TPinnedBlocks& chain);
  // The first count blocks of the free list, pinned, none of them in exclude (sorted).
  void CollectFree(std::int64_t count, const std::vector<std::int32_t>& exclude,
                   TPinnedBlocks& free);
  // Whether count blocks can be appended within the limits.
  bool CanAppend(std::int64_t count) const;
  // Frees collected chain blocks in order (no checks left to make).
  void FreeCollected(const std::vector<TBlock*>& blocks);
  // On a failure in the middle of a change: drop the cache and re-read the header.
  void Recover() noexcept;

  std::int64_t FBlockSize;
  bool FEncrypted;
  TBlobHeader FHeader;
  bool FHeaderModified = false;
  std::int64_t FCacheBytes = BlobCacheBytes;
  std::int64_t FCacheMaxUnits = CacheMaxUnits;
  std::int64_t FReadAhead = 1;
  bool FInTransaction = false;
  int FChangeDepth = 0;
  std::function<bool()> FMissHandler;
  TBlockCache FCache;
  std::vector<std::uint8_t> FReadRun;   // blocks read at once
  std::vector<std::uint8_t> FWriteRun;  // blocks written at once (a read may trigger writes)
};

// Brackets a change on a BLOB file for a scope (BeginChange / EndChange).
class TBlobChange {
 public:
  explicit TBlobChange(TBlobFile& file) : FFile(file) { FFile.BeginChange(); }
  ~TBlobChange() { FFile.EndChange(); }
  TBlobChange(const TBlobChange&) = delete;
  TBlobChange& operator=(const TBlobChange&) = delete;

 private:
  TBlobFile& FFile;
};

// Checks a BLOB file against the records that reference it: every chain's blocks, back links,
// lengths and owners; every block in exactly one chain or on the free list; the free list acyclic
// and within bounds; the header against the file size. Reads the file as it is on disk (flush
// first). Returns one line per problem; empty when sound.
std::vector<std::string> VerifyBlobFile(TBlobFile& file,
                                        const std::vector<TBlobReference>& references);

}  // namespace zorvic::engine
