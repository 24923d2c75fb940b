// The BLOB file through its C++ API: header, chains at the block boundaries, reuse of freed blocks,
// deletes, encryption, limits, open values, and verification.
#include <algorithm>
#include <cstring>
#include <random>

#include "FileTestSupport.h"
#include "engine/storage/formats/BlobBuffer.h"
#include "engine/storage/formats/BlobFile.h"
#include "engine/storage/formats/Scramble.h"

using namespace zorvic::engine;
using namespace zorvic::engine::testing;

namespace {

std::vector<std::uint8_t> Value(std::int64_t n, unsigned seed = 1) {
  std::vector<std::uint8_t> v(static_cast<std::size_t>(n));
  std::mt19937 rng(seed);
  for (auto& b : v)
    b = static_cast<std::uint8_t>(rng());
  return v;
}

std::int32_t Store(TBlobFile& file, std::int32_t record, const std::vector<std::uint8_t>& v,
                   std::int32_t old = 0) {
  return file.WriteValue(record, v.data(), static_cast<std::int64_t>(v.size()), old);
}

// The blocks of a chain, following the cached blocks.
std::vector<std::int32_t> Chain(TBlobFile& file, std::int32_t first) {
  std::vector<std::int32_t> out;
  for (std::int32_t no = first; no != 0;) {
    out.push_back(no);
    TBlock* block = file.GetBlock(no);
    no = block->Next;
    file.ReleaseBlock(block);
  }
  return out;
}

std::vector<std::int32_t> FreeList(TBlobFile& file) {
  std::vector<std::int32_t> out;
  for (std::int32_t no = file.Header().FirstFreeBlock; no != 0 && out.size() < 1000;) {
    out.push_back(no);
    TBlock* block = file.GetBlock(no);
    no = block->Next;
    file.ReleaseBlock(block);
  }
  return out;
}

class BlobFile : public ::testing::Test {
 protected:
  std::unique_ptr<TBlobFile> Make(std::int64_t blockSize = 64, bool encrypted = false) {
    auto file = std::make_unique<TBlobFile>(Name, false, blockSize, encrypted, List);
    file->CreateFile();
    return file;
  }
  std::unique_ptr<TBlobFile> Reopen(std::int64_t blockSize = 64, bool encrypted = false) {
    auto file = std::make_unique<TBlobFile>(Name, false, blockSize, encrypted, List);
    file->Open(false);
    file->VerifyHeader();
    return file;
  }
  TTempDir Dir;
  TFileList List;
  std::string Name = Dir.File("T.BLB");
};

}  // namespace

TEST_F(BlobFile, ANewFileIsJustItsHeader) {
  auto file = Make(0);
  EXPECT_EQ(file->BlockSize(), 512);
  EXPECT_EQ(file->Capacity(), 494);
  EXPECT_EQ(file->HighestBlockNo(), 0);
  file->Close();
  std::string bytes = ReadWholeFile(Name);
  ASSERT_EQ(bytes.size(), 512u);
  EXPECT_EQ(bytes[8], 5);                                      // FormatVersion
  EXPECT_EQ(bytes.substr(9, 4), std::string("\0\0\0\0", 4));   // FirstFreeBlock
  EXPECT_EQ(bytes.substr(13, 4), std::string("\1\0\0\0", 4));  // NextBlockNo
  auto again = Reopen(0);
  EXPECT_EQ(again->Header().NextBlockNo, 1);
  EXPECT_EQ(again->ReadAheadCount(), 32);    // 16,384 / 512
  EXPECT_EQ(again->Cache().Capacity(), 64);  // 32,768 / 512
}

TEST_F(BlobFile, BlockSizesOutsideTheLimitsAreRefused) {
  for (std::int64_t bad : {std::int64_t{63}, MaxBlobBlockSize + 1}) {
    TBlobFile file(Name, false, bad, false, List);
    EXPECT_ENGINE_ERROR(file.CreateFile(), VELDOR_BLOBLIMIT);
  }
  auto ok = Make(MaxBlobBlockSize);
  EXPECT_EQ(ok->Capacity(), 65535);
  EXPECT_EQ(ok->Cache().Capacity(), 1);  // one block is larger than the budget: still one
  std::vector<std::uint8_t> v = Value(65535 + 1);
  std::int32_t first = Store(*ok, 1, v);
  EXPECT_EQ(Chain(*ok, first).size(), 2u);
  ok->Flush(false);
  ok->Close();
  TBlobFile opened(Name, false, 63, false, List);
  EXPECT_ENGINE_ERROR(opened.Open(false), VELDOR_BLOBLIMIT);
  EXPECT_FALSE(opened.IsOpen());
}

TEST_F(BlobFile, ValuesAtTheBlockBoundaries) {
  auto file = Make(64);  // 46 data bytes per block
  std::int32_t one = Store(*file, 1, Value(46));
  std::int32_t two = Store(*file, 2, Value(47));
  EXPECT_EQ(Chain(*file, one).size(), 1u);
  std::vector<std::int32_t> chain = Chain(*file, two);
  ASSERT_EQ(chain.size(), 2u);
  TBlock* last = file->GetBlock(chain[1]);
  EXPECT_EQ(last->Used, 1);
  EXPECT_EQ(last->TotalLength, 0);
  EXPECT_EQ(last->Prev, chain[0]);
  EXPECT_EQ(last->Owner, 2);
  file->ReleaseBlock(last);
  file->Flush(false);
  file->Close();

  auto again = Reopen(64);
  EXPECT_EQ(again->ReadValue(one, 1), Value(46));
  EXPECT_EQ(again->ReadValue(two, 2), Value(47));
  EXPECT_EQ(again->HighestBlockNo(), 3);
  EXPECT_EQ(again->FileSize(), 512 + 3 * 64);
  EXPECT_TRUE(VerifyBlobFile(*again, {{1, 1, one}, {2, 1, two}}).empty());
}

TEST_F(BlobFile, ShrinkingFreesTheSurplusAndTheLastFreedBlockIsReusedFirst) {
  auto file = Make(64);
  std::int32_t first = Store(*file, 7, Value(46 * 3));
  EXPECT_EQ(Chain(*file, first), (std::vector<std::int32_t>{1, 2, 3}));
  std::int32_t again = Store(*file, 7, Value(10, 2), first);
  EXPECT_EQ(again, first);  // rewritten in place
  EXPECT_EQ(Chain(*file, first), (std::vector<std::int32_t>{1}));
  EXPECT_EQ(FreeList(*file), (std::vector<std::int32_t>{3, 2}));
  TBlock* reused = file->AllocateBlock();
  EXPECT_EQ(reused->BlockNo(), 3);
  EXPECT_EQ(reused->Owner, 0);  // cleared
  file->ReleaseBlock(reused);
  EXPECT_EQ(file->Header().NextBlockNo, 4);
  EXPECT_EQ(file->ReadValue(first, 7), Value(10, 2));
}

TEST_F(BlobFile, GrowingTakesFreeBlocksBeforeAppending) {
  auto file = Make(64);
  std::int32_t a = Store(*file, 1, Value(46 * 2));
  std::int32_t b = Store(*file, 2, Value(46 * 2, 3));
  file->FreeChain(a, 1);
  EXPECT_EQ(FreeList(*file), (std::vector<std::int32_t>{2, 1}));
  std::int32_t grown = Store(*file, 2, Value(46 * 5, 4), b);
  EXPECT_EQ(grown, b);
  EXPECT_EQ(Chain(*file, b), (std::vector<std::int32_t>{3, 4, 2, 1, 5}));
  EXPECT_EQ(file->Header().FirstFreeBlock, 0);
  EXPECT_EQ(file->ReadValue(b, 2), Value(46 * 5, 4));
  // Same length again: the same blocks, nothing allocated.
  Store(*file, 2, Value(46 * 5, 5), b);
  EXPECT_EQ(Chain(*file, b), (std::vector<std::int32_t>{3, 4, 2, 1, 5}));
  EXPECT_EQ(file->Header().NextBlockNo, 6);
  file->Flush(false);
  EXPECT_TRUE(VerifyBlobFile(*file, {{2, 1, b}}).empty());
}

TEST_F(BlobFile, AnEmptyValueFreesTheChain) {
  auto file = Make(64);
  std::int32_t first = Store(*file, 4, Value(100));
  EXPECT_EQ(Store(*file, 4, {}, first), 0);
  EXPECT_EQ(FreeList(*file).size(), 3u);
  EXPECT_EQ(Store(*file, 5, {}, 0), 0);  // nothing to free, nothing stored
  EXPECT_EQ(file->Header().NextBlockNo, 4);
  EXPECT_TRUE(file->ReadValue(0, 4).empty());
}

TEST_F(BlobFile, DeletingARecordFreesAllItsChainsWithoutAppending) {
  auto file = Make(64);
  std::int32_t memo = Store(*file, 9, Value(100));
  std::int32_t binary = Store(*file, 9, Value(50, 2));
  std::int32_t other = Store(*file, 10, Value(20, 3));
  file->FreeRecordChains(9, {memo, 0, binary});
  EXPECT_EQ(file->Header().NextBlockNo, 7);
  EXPECT_EQ(FreeList(*file), (std::vector<std::int32_t>{5, 4, 3, 2, 1}));
  file->Flush(false);
  EXPECT_TRUE(VerifyBlobFile(*file, {{10, 1, other}}).empty());
  // Two fields naming one chain is damage: found before anything is freed.
  std::int32_t shared = Store(*file, 11, Value(60, 4));
  std::int32_t freeHead = file->Header().FirstFreeBlock;
  EXPECT_ENGINE_ERROR(file->FreeRecordChains(11, {shared, shared}), VELDOR_MEMOCORRUPT);
  EXPECT_EQ(file->Header().FirstFreeBlock, freeHead);
  EXPECT_EQ(file->ReadValue(shared, 11), Value(60, 4));
}

TEST_F(BlobFile, OwnersAreChecked) {
  auto file = Make(64);
  std::int32_t first = Store(*file, 3, Value(100));
  EXPECT_ENGINE_ERROR(file->ReadValue(first, 4), VELDOR_KEYORRECDELETED);
  EXPECT_ENGINE_ERROR(file->FreeChain(first, 4), VELDOR_MEMOCORRUPT);
  EXPECT_ENGINE_ERROR(Store(*file, 4, Value(10), first), VELDOR_MEMOCORRUPT);
  EXPECT_EQ(file->Header().FirstFreeBlock, 0);  // nothing was freed
  EXPECT_EQ(file->ReadValue(first, 3), Value(100));
  file->FreeChain(first, 4, true);  // repairing corrects the owners and frees
  EXPECT_EQ(FreeList(*file).size(), 3u);
  EXPECT_ENGINE_ERROR(file->GetBlock(4), VELDOR_MEMOCORRUPT);  // beyond the last block
  EXPECT_ENGINE_ERROR(file->GetBlock(0), VELDOR_MEMOCORRUPT);
}

TEST_F(BlobFile, EncryptedFilesScrambleHeaderAndBlocks) {
  std::vector<std::uint8_t> text(300, 'A');
  {
    auto file = Make(128, true);
    std::int32_t first = Store(*file, 1, text);
    EXPECT_EQ(first, 1);
    file->Flush(false);
  }
  std::string bytes = ReadWholeFile(Name);
  ASSERT_EQ(bytes.size(), 512u + 3 * 128);
  EXPECT_NE(bytes[8], 5);  // the header is scrambled
  EXPECT_EQ(bytes.find(std::string(20, 'A')), std::string::npos);
  // Each block is two runs from the seed: its header, then its data.
  std::string block = bytes.substr(512 + 128, 128);
  std::uint8_t header[18];
  std::memcpy(header, block.data(), 18);
  Scramble(header, 18, DataSeed);
  EXPECT_EQ(header[0], 1);  // previous = block 1
  std::vector<std::uint8_t> data(block.begin() + 18, block.end());
  Scramble(data.data(), data.size(), DataSeed);
  EXPECT_EQ(data[0], 'A');
  auto again = Reopen(128, true);
  EXPECT_EQ(again->ReadValue(1, 1), text);
  EXPECT_TRUE(VerifyBlobFile(*again, {{1, 1, 1}}).empty());
}

TEST_F(BlobFile, TheLimitsRefuseBeforeAnythingChanges) {
  auto file = Make(64);
  file->Close();
  // A header that says the file is as long as it may get: 512 + 62,499,992 * 64 is just below
  // 4,000,000,000 bytes.
  std::string bytes = ReadWholeFile(Name);
  std::int32_t next = 62499992;
  std::memcpy(bytes.data() + 13, &next, 4);
  WriteWholeFile(Name, bytes);
  TBlobFile full(Name, false, 64, false, List);
  full.Open(false);
  EXPECT_ENGINE_ERROR(Store(full, 1, Value(47)), VELDOR_TABLEFULL);
  EXPECT_EQ(full.Header().NextBlockNo, 62499992);
  EXPECT_FALSE(full.Cache().HasModified());
  EXPECT_FALSE(full.HeaderIsModified());
  std::int32_t last = Store(full, 1, Value(46));  // exactly one more block fits
  EXPECT_EQ(last, 62499992);
  EXPECT_ENGINE_ERROR(full.AllocateBlock(), VELDOR_TABLEFULL);
  full.DropCache();
  full.Close();
  // A header beyond the block-number limit is damage.
  next = 2000000001;
  std::memcpy(bytes.data() + 13, &next, 4);
  WriteWholeFile(Name, bytes);
  full.Open(false);
  EXPECT_ENGINE_ERROR(full.VerifyHeader(), VELDOR_HEADERCORRUPT);
  full.Close();

  // The 4,000,000,000-byte limit with the largest blocks.
  TBlobFile big(Dir.File("BIG.BLB"), false, MaxBlobBlockSize, false, List);
  big.CreateFile();
  big.Close();
  bytes = ReadWholeFile(Dir.File("BIG.BLB"));
  next = 61019;  // 512 + 61,019 * 65,553 <= 4,000,000,000 < 512 + 61,020 * 65,553
  std::memcpy(bytes.data() + 13, &next, 4);
  WriteWholeFile(Dir.File("BIG.BLB"), bytes);
  big.Open(false);
  EXPECT_ENGINE_ERROR(Store(big, 1, Value(65536)), VELDOR_TABLEFULL);
  EXPECT_EQ(Store(big, 1, Value(65535)), 61019);
  big.DropCache();
}

TEST_F(BlobFile, HeaderWritesCountChanges) {
  auto file = Make(64);
  file->Close();
  file->Open(false);  // shared, like another session's
  EXPECT_FALSE(file->WriteHeader());
  Store(*file, 1, Value(5));
  EXPECT_TRUE(file->Flush(false));
  EXPECT_EQ(file->ChangeCount(), 1);
  EXPECT_FALSE(file->Flush(false));
  EXPECT_TRUE(file->WriteHeader(true));
  EXPECT_EQ(file->ChangeCount(), 2);

  auto other = Reopen(64);
  EXPECT_EQ(other->ChangeCount(), 2);
  EXPECT_FALSE(other->RefreshHeader());
  Store(*file, 2, Value(5));
  file->Flush(false);
  TBlock* cached = other->GetBlock(1);
  other->ReleaseBlock(cached);
  EXPECT_TRUE(other->RefreshHeader());
  EXPECT_EQ(other->Cache().Count(), 0);  // the stale blocks went
  EXPECT_EQ(other->HighestBlockNo(), 2);
  other->MarkHeaderChanged();
  EXPECT_EQ(other->ChangeCount(), 4);
  EXPECT_TRUE(other->HeaderIsModified());

  file->Empty(false);
  EXPECT_EQ(file->FileSize(), 512);
  EXPECT_EQ(file->HighestBlockNo(), 0);
  file->Close();
  auto emptied = Reopen(64);
  EXPECT_EQ(emptied->Header().NextBlockNo, 1);
}

TEST_F(BlobFile, InsideATransactionNothingIsWrittenAndTheCacheGrows) {
  auto file = Make(64);
  file->SetCacheSettings(64 * 4, 8192);  // four blocks
  file->SetInTransaction(true);
  std::int32_t first = Store(*file, 1, Value(46 * 20));
  EXPECT_EQ(file->FileSize(), 512);
  EXPECT_GE(file->Cache().Capacity(), 20);
  file->SetInTransaction(false);
  file->Flush(false);
  file->TrimCache();
  EXPECT_EQ(file->Cache().Count(), 4);
  EXPECT_EQ(file->ReadValue(first, 1), Value(46 * 20));
  // Outside a transaction a full cache of an exclusive table writes between changes.
  for (int r = 2; r < 30; ++r)
    Store(*file, r, Value(46 * 3, r));
  EXPECT_GT(file->FileSize(), 512 + 46 * 64);
  EXPECT_LE(file->Cache().Count(), 4 + 3);
}

TEST_F(BlobFile, OpenValuesReadWriteAndTruncateInMemory) {
  auto file = Make(64);
  TBlobBuffer value(1, 5, 50, 0, 0, 0, true);
  value.Load(*file);
  EXPECT_TRUE(value.IsNull());
  EXPECT_EQ(value.Write(3, "abc", 3), VELDOR_NONE);
  EXPECT_EQ(value.Length(), 6);
  char out[10] = {};
  std::int64_t got = 0;
  EXPECT_EQ(value.Read(0, out, 6, &got), VELDOR_NONE);
  EXPECT_EQ(std::string(out, 6), std::string("\0\0\0abc", 6));
  EXPECT_EQ(value.Read(4, out, 5, &got), VELDOR_ENDOFBLOB);
  EXPECT_EQ(got, 2);
  EXPECT_EQ(value.Read(5, out, 5, &got), VELDOR_ENDOFBLOB);  // the last byte still comes
  EXPECT_EQ(got, 1);
  EXPECT_EQ(out[0], 'c');
  EXPECT_EQ(value.Read(6, out, 1, &got), VELDOR_ENDOFBLOB);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(value.Read(-1, out, 1, &got), VELDOR_INVALIDBLOBLEN);
  EXPECT_EQ(value.Write(MaxBlobValueLength, "x", 1), VELDOR_INVALIDBLOBLEN);
  EXPECT_TRUE(value.ChangedFromOriginal());

  std::int32_t first = -1;
  value.WriteBack(*file, &first);
  EXPECT_GT(first, 0);
  EXPECT_FALSE(value.Modified());
  EXPECT_FALSE(value.ChangedFromOriginal());
  EXPECT_EQ(value.Truncate(2), VELDOR_NONE);
  std::int32_t again = -1;
  value.WriteBack(*file, &again);
  EXPECT_EQ(again, first);
  EXPECT_EQ(value.Truncate(0), VELDOR_NONE);
  value.WriteBack(*file, &again);
  EXPECT_EQ(again, 0);

  // A new record learns its number when it is posted.
  TBlobBuffer inserted(2, 0, 0, 0);
  inserted.Write(0, "new", 3);
  inserted.SetRecord(12, 120);
  inserted.WriteBack(*file, &first);
  TBlobBuffer reader(2, 12, 120, first);
  reader.Load(*file);
  EXPECT_EQ(reader.Bytes(), (std::vector<std::uint8_t>{'n', 'e', 'w'}));
  EXPECT_EQ(reader.AddRef(), 2);
  EXPECT_EQ(reader.Release(), 1);
}

TEST_F(BlobFile, VerificationFindsEveryKindOfDamage) {
  auto file = Make(64);
  std::int32_t a = Store(*file, 1, Value(100));
  std::int32_t b = Store(*file, 2, Value(100, 2));
  std::int32_t c = Store(*file, 3, Value(30, 3));
  file->FreeChain(c, 3);
  file->Flush(false);
  EXPECT_TRUE(VerifyBlobFile(*file, {{1, 1, a}, {2, 1, b}}).empty());
  // The same chain named twice, a lost chain, a wrong owner.
  auto twice = VerifyBlobFile(*file, {{1, 1, a}, {1, 2, a}, {2, 1, b}});
  ASSERT_EQ(twice.size(), 1u);
  EXPECT_NE(twice[0].find("another chain"), std::string::npos);
  auto lost = VerifyBlobFile(*file, {{1, 1, a}});
  EXPECT_EQ(lost.size(), 3u);  // b's three blocks
  auto owner = VerifyBlobFile(*file, {{1, 1, a}, {5, 1, b}});
  EXPECT_FALSE(owner.empty());
  auto onFree = VerifyBlobFile(*file, {{1, 1, a}, {2, 1, b}, {3, 1, c}});
  ASSERT_FALSE(onFree.empty());
  EXPECT_NE(onFree[0].find("free list"), std::string::npos);

  // A free list that loops.
  TBlock* freeBlock = file->GetBlock(c);
  freeBlock->Next = c;
  file->MarkBlockModified(freeBlock);
  file->ReleaseBlock(freeBlock);
  file->Flush(false);
  auto loop = VerifyBlobFile(*file, {{1, 1, a}, {2, 1, b}});
  ASSERT_EQ(loop.size(), 1u);
  EXPECT_NE(loop[0].find("loops"), std::string::npos);
  // Allocation refuses to follow it round.
  EXPECT_ENGINE_ERROR(Store(*file, 4, Value(46 * 3)), VELDOR_MEMOCORRUPT);
}

TEST_F(BlobFile, AChangeFoundAtACacheMissRestartsTheRead) {
  auto file = Make(64);
  std::int32_t first = Store(*file, 1, Value(46 * 4));
  file->Flush(false);
  file->DropCache();
  file->SetCacheSettings(64, 8192);  // one block: every block of the chain is a miss
  int misses = 0;
  file->SetMissHandler([&] {
    ++misses;
    if (misses == 2) {  // someone changed the table while we read its second block
      file->DropCache();
      return true;
    }
    return false;
  });
  EXPECT_EQ(file->ReadValue(first, 1), Value(46 * 4));
  EXPECT_GT(misses, 2);
  // A table that never settles ends in a lock failure instead of reading for ever.
  file->DropCache();
  file->SetMissHandler([&] {
    file->DropCache();
    return true;
  });
  EXPECT_ENGINE_ERROR(file->ReadValue(first, 1), VELDOR_LOCKTIMEOUT);
}
