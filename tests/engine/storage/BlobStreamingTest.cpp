// Streamed BLOB values through the cursor: values written from a source block by block at post
// time, and long values read in ranges straight from their chains. The file they leave is the
// one a value written from memory leaves; neither the block cache nor the open value grows by
// the value's size; transactions, failures and encrypted tables behave as for any value.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

#include "engine/storage/CursorTestSupport.h"
#include "engine/storage/formats/BlobSource.h"

namespace zorvic::engine::testing {
namespace {

std::string Pattern(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  std::mt19937 gen(seed);
  for (char& c : s)
    c = static_cast<char>(gen());
  return s;
}

// A source over a string that remembers the largest piece asked for.
struct TStringSource {
  explicit TStringSource(std::string bytes, std::int64_t shortBy = 0)
      : Bytes(std::move(bytes)), ShortBy(shortBy) {}
  std::shared_ptr<TBlobSource> Make() {
    return std::make_shared<TCallbackBlobSource>(
        static_cast<std::int64_t>(Bytes.size()),
        [this](std::int64_t offset, void* out, std::int64_t count) -> std::int64_t {
          Largest = std::max(Largest, count);
          const std::int64_t end = static_cast<std::int64_t>(Bytes.size()) - ShortBy;
          const std::int64_t n = std::max<std::int64_t>(0, std::min(count, end - offset));
          std::memcpy(out, Bytes.data() + offset, static_cast<std::size_t>(n));
          return n;
        });
  }
  std::string Bytes;
  std::int64_t ShortBy;
  std::int64_t Largest = 0;
};

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class TBlobStreamingTest : public TDatabaseFixture {
 protected:
  TTableCreation Definition(std::int64_t blockSize, bool encrypted = false) {
    TTableCreation def;
    def.Table.Fields = {Fld("ID", ftInteger, 0, fstAutoInc), Fld("Data", ftBlob)};
    def.Table.BlobBlockSize = static_cast<std::uint32_t>(blockSize);
    if (encrypted) {
      def.Table.Encrypted = true;
      def.Table.Password = "streams";
    }
    def.Primary = Idx("", {1}, true);
    return def;
  }
  // Inserts one record whose Data comes from the source (or from memory when source is null).
  void InsertStreamed(TDataCursor& c, std::shared_ptr<TBlobSource> source) {
    TRec r(c);
    r.Init();
    c.SetBlobSource(r.Bytes(), 2, std::move(source));
    c.InsertRecord(r.Bytes());
  }
  void InsertInMemory(TDataCursor& c, const std::string& value) {
    TRec r(c);
    r.Init();
    c.OpenBlob(r.Bytes(), 2, TBlobOpenMode::bmWrite);
    ASSERT_EQ(c.WriteBlob(r.Bytes(), 2, 0, value.data(), static_cast<std::int64_t>(value.size())),
              VELDOR_NONE);
    c.InsertRecord(r.Bytes());
  }
  // The Data value of the cursor's current record, read in pieces of `piece` bytes.
  std::string ReadCurrent(TDataCursor& c, std::int64_t piece = 100000) {
    TRec r(c);
    EXPECT_EQ(c.GetCurrent(r.Bytes()), VELDOR_NONE);
    if (c.IsFieldNull(r.Bytes(), 2)) return {};
    c.OpenBlob(r.Bytes(), 2, TBlobOpenMode::bmRead);
    std::int64_t size = 0;
    EXPECT_EQ(c.BlobSize(r.Bytes(), 2, &size), VELDOR_NONE);
    std::string out(static_cast<std::size_t>(size), '\0');
    for (std::int64_t at = 0; at < size;) {
      std::int64_t got = 0;
      const TErrorCode rc =
          c.ReadBlob(r.Bytes(), 2, at, out.data() + at, std::min(piece, size - at), &got);
      EXPECT_EQ(rc, VELDOR_NONE);
      if (got <= 0) break;
      at += got;
    }
    c.FreeBlob(r.Bytes(), 2);
    return out;
  }
};

// The sizes around a block's capacity and a few megabytes: each reads back whole, and the BLOB
// file is byte for byte the one the same value written from memory gives.
TEST_F(TBlobStreamingTest, StreamedValuesMatchValuesWrittenFromMemory) {
  for (std::int64_t blockSize : {64, 512}) {
    const std::int64_t capacity = blockSize - 18;
    const std::vector<std::size_t> sizes = {0,
                                            1,
                                            static_cast<std::size_t>(capacity),
                                            static_cast<std::size_t>(capacity + 1),
                                            static_cast<std::size_t>(3 * capacity - 1),
                                            blockSize == 512 ? (1u << 20) + 7 : 150000u};
    for (std::size_t size : sizes) {
      SCOPED_TRACE("block " + std::to_string(blockSize) + " size " + std::to_string(size));
      const std::string tag = std::to_string(blockSize) + "_" + std::to_string(size);
      TDataCursor& streamed = Create("S" + tag, Definition(blockSize));
      TDataCursor& memory = Create("M" + tag, Definition(blockSize));
      const std::string value = Pattern(size, static_cast<unsigned>(size));
      TStringSource source(value);
      InsertStreamed(streamed, source.Make());
      InsertInMemory(memory, value);
      EXPECT_LE(source.Largest, StreamedBlobRunBytes);
      streamed.GoToRecordNumber(1);
      EXPECT_EQ(ReadCurrent(streamed), value);
      const std::int64_t blocks = (static_cast<std::int64_t>(size) + capacity - 1) / capacity;
      EXPECT_EQ(streamed.Table().Blob()->Header().NextBlockNo, 1 + blocks);
      streamed.Close();
      memory.Close();
      EXPECT_EQ(FileBytes(File("S" + tag + ".BLB")), FileBytes(File("M" + tag + ".BLB")));
      EXPECT_EQ(FileBytes(File("S" + tag + ".DAT")).size(),
                FileBytes(File("M" + tag + ".DAT")).size());
    }
  }
}

// A long value opened for reading stays in its chain: ranges at odd offsets, backwards, across
// block ends and past the end read right while the value and the cache hold little.
TEST_F(TBlobStreamingTest, LongValuesAreReadInRangesFromTheChain) {
  TDataCursor& c = Create("R", Definition(512));
  const std::string value = Pattern(1024 * 1024 + 77, 7);
  InsertInMemory(c, value);
  c.Close();
  c.Open("R");
  c.Table().Blob()->DropCache();  // nothing of the value cached
  c.GoToRecordNumber(1);
  TRec r(c);
  ASSERT_EQ(c.GetCurrent(r.Bytes()), VELDOR_NONE);
  c.OpenBlob(r.Bytes(), 2, TBlobOpenMode::bmRead);
  const TBlobBuffer* open = c.OpenBlobValue(r.Bytes(), 2);
  ASSERT_NE(open, nullptr);
  EXPECT_TRUE(open->Streamed());
  std::int64_t size = 0;
  EXPECT_EQ(c.BlobSize(r.Bytes(), 2, &size), VELDOR_NONE);
  EXPECT_EQ(size, static_cast<std::int64_t>(value.size()));

  std::mt19937 gen(11);
  std::string piece;
  for (int i = 0; i < 100; ++i) {
    const std::int64_t at = static_cast<std::int64_t>(gen() % value.size());
    const std::int64_t count = 1 + static_cast<std::int64_t>(gen() % 5000);
    piece.assign(static_cast<std::size_t>(count), '\0');
    std::int64_t got = 0;
    const TErrorCode rc = c.ReadBlob(r.Bytes(), 2, at, piece.data(), count, &got);
    const std::int64_t expected = std::min(count, size - at);
    ASSERT_EQ(got, expected) << "at " << at;
    EXPECT_EQ(rc, expected == count ? VELDOR_NONE : VELDOR_ENDOFBLOB);
    ASSERT_EQ(piece.substr(0, static_cast<std::size_t>(got)),
              value.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(got)));
  }
  // The last byte, the end and beyond.
  std::int64_t got = 0;
  char tail[4] = {};
  EXPECT_EQ(c.ReadBlob(r.Bytes(), 2, size - 1, tail, 4, &got), VELDOR_ENDOFBLOB);
  EXPECT_EQ(got, 1);
  EXPECT_EQ(tail[0], value.back());
  EXPECT_EQ(c.ReadBlob(r.Bytes(), 2, size, tail, 4, &got), VELDOR_ENDOFBLOB);
  EXPECT_EQ(got, 0);
  // The whole value in one sequential pass: memory stays at one run.
  std::string whole;
  for (std::int64_t at = 0; at < size; at += got) {
    piece.assign(65536, '\0');
    c.ReadBlob(r.Bytes(), 2, at, piece.data(), 65536, &got);
    whole.append(piece, 0, static_cast<std::size_t>(got));
  }
  EXPECT_EQ(whole, value);
  EXPECT_LE(open->HeldBytes(), StreamedBlobRunBytes + 1024);
  const TBlobFile& blob = *c.Table().Blob();
  EXPECT_LE(const_cast<TBlobFile&>(blob).Cache().Count(),
            const_cast<TBlobFile&>(blob).Cache().Config().Capacity);
  c.FreeBlob(r.Bytes(), 2);

  // A short value is still read whole.
  InsertInMemory(c, "short");
  c.GoToRecordNumber(c.RecordCount());
  ASSERT_EQ(c.GetCurrent(r.Bytes()), VELDOR_NONE);
  c.OpenBlob(r.Bytes(), 2, TBlobOpenMode::bmRead);
  EXPECT_FALSE(c.OpenBlobValue(r.Bytes(), 2)->Streamed());
  c.FreeBlob(r.Bytes(), 2);
}

// Writing into a long value opened streamed, and copying one to another record, store the
// right bytes; emptying it stores NULL.
TEST_F(TBlobStreamingTest, ChangesToLongValuesAreStored) {
  TDataCursor& c = Create("W", Definition(512));
  std::string value = Pattern(400000, 3);
  InsertInMemory(c, value);
  c.GoToRecordNumber(1);
  TRec r(c);
  ASSERT_EQ(c.GetCurrent(r.Bytes()), VELDOR_NONE);
  ASSERT_EQ(c.BeginEdit(r.Bytes()), VELDOR_NONE);
  c.OpenBlob(r.Bytes(), 2, TBlobOpenMode::bmReadWrite);
  EXPECT_TRUE(c.OpenBlobValue(r.Bytes(), 2)->Streamed());
  ASSERT_EQ(c.WriteBlob(r.Bytes(), 2, 300001, "changed", 7), VELDOR_NONE);
  value.replace(300001, 7, "changed");
  c.ModifyRecord(r.Bytes());
  c.GoToRecordNumber(1);
  EXPECT_EQ(ReadCurrent(c), value);

  // A copy of the buffer with the value open goes to a record of its own, chain to chain.
  ASSERT_EQ(c.GetCurrent(r.Bytes()), VELDOR_NONE);
  c.OpenBlob(r.Bytes(), 2, TBlobOpenMode::bmRead);
  c.InsertRecord(r.Bytes());
  c.GoToRecordNumber(c.RecordCount());
  EXPECT_EQ(ReadCurrent(c), value);
  c.GoToRecordNumber(1);
  EXPECT_EQ(ReadCurrent(c), value);

  // Truncated to nothing: NULL, and the chain is free.
  ASSERT_EQ(c.GetCurrent(r.Bytes()), VELDOR_NONE);
  ASSERT_EQ(c.BeginEdit(r.Bytes()), VELDOR_NONE);
  c.OpenBlob(r.Bytes(), 2, TBlobOpenMode::bmWrite);
  ASSERT_EQ(c.TruncateBlob(r.Bytes(), 2, 0), VELDOR_NONE);
  c.ModifyRecord(r.Bytes());
  ASSERT_EQ(c.GetCurrent(r.Bytes()), VELDOR_NONE);
  EXPECT_TRUE(c.IsFieldNull(r.Bytes(), 2));
  EXPECT_NE(c.Table().Blob()->Header().FirstFreeBlock, 0);
}

// Replacing a value with a streamed one frees the old chain; a source that delivers less than
// its size fails the post with VELDOR_ENDOFBLOB and leaves table and file as they were.
TEST_F(TBlobStreamingTest, ReplacedChainsAreFreedAndShortSourcesFail) {
  TDataCursor& c = Create("F", Definition(64));
  InsertInMemory(c, std::string(460, 'x'));  // ten blocks
  c.GoToRecordNumber(1);
  TRec r(c);
  ASSERT_EQ(c.GetCurrent(r.Bytes()), VELDOR_NONE);
  ASSERT_EQ(c.BeginEdit(r.Bytes()), VELDOR_NONE);
  TStringSource replacement(Pattern(1000, 5));
  c.SetBlobSource(r.Bytes(), 2, replacement.Make());
  c.ModifyRecord(r.Bytes());
  EXPECT_EQ(ReadCurrent(c), replacement.Bytes);
  EXPECT_EQ(c.Table().Blob()->Header().FirstFreeBlock, 10);  // freed in chain order

  const TBlobHeader before = c.Table().Blob()->Header();
  const std::size_t fileBefore = FileBytes(File("F.BLB")).size();
  TStringSource shortSource(Pattern(5000, 6), 1);
  TRec fresh(c);
  fresh.Init();
  c.SetBlobSource(fresh.Bytes(), 2, shortSource.Make());
  try {
    c.InsertRecord(fresh.Bytes());
    FAIL() << "a short source was stored";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode, VELDOR_ENDOFBLOB);
  }
  EXPECT_EQ(c.Table().Blob()->Header().NextBlockNo, before.NextBlockNo);
  EXPECT_EQ(c.Table().Blob()->Header().FirstFreeBlock, before.FirstFreeBlock);
  EXPECT_EQ(FileBytes(File("F.BLB")).size(), fileBefore);
  EXPECT_EQ(c.RecordCount(), 1);
  // Reading a value with a source before the post reads the source.
  TStringSource good(Pattern(300, 8));
  TRec other(c);
  other.Init();
  c.SetBlobSource(other.Bytes(), 2, good.Make());
  char head[10];
  std::int64_t got = 0;
  EXPECT_EQ(c.ReadBlob(other.Bytes(), 2, 295, head, 10, &got), VELDOR_ENDOFBLOB);
  EXPECT_EQ(std::string(head, 5), good.Bytes.substr(295));
  c.InsertRecord(other.Bytes());
  c.GoToRecordNumber(c.RecordCount());
  EXPECT_EQ(ReadCurrent(c), good.Bytes);
}

// Inside a transaction: a rollback undoes a streamed value (its blocks are taken again by the
// next value), a commit keeps it for another session.
TEST_F(TBlobStreamingTest, TransactionsRollBackAndCommitStreamedValues) {
  TDataCursor& c = Create("T", Definition(512));
  InsertInMemory(c, "kept");
  const std::int32_t next = c.Table().Blob()->Header().NextBlockNo;
  Database->StartTransaction();
  TStringSource big(Pattern(1 << 20, 9));
  InsertStreamed(c, big.Make());
  EXPECT_GT(c.Table().Blob()->Header().NextBlockNo, next);
  Database->Rollback();
  EXPECT_EQ(c.RecordCount(), 1);
  EXPECT_EQ(c.Table().Blob()->Header().NextBlockNo, next);

  Database->StartTransaction();
  InsertInMemory(c, Pattern(2000, 10));
  TStringSource second(Pattern(700000, 12));
  InsertStreamed(c, second.Make());
  Database->Commit();
  c.Close();

  TDataSession other;
  TDataDirectory& db = other.OpenDatabase(Dir.Path());
  {
    TDataCursor o(db);
    o.Open("T");
    EXPECT_EQ(o.RecordCount(), 3);
    o.GoToRecordNumber(1);
    EXPECT_EQ(ReadCurrent(o), "kept");
    o.GetNext(nullptr);
    EXPECT_EQ(ReadCurrent(o), Pattern(2000, 10));
    o.GetNext(nullptr);
    EXPECT_EQ(ReadCurrent(o, 4096), second.Bytes);
  }
  other.CloseDatabase(db);
}

// An encrypted table: streamed values are scrambled like any other and read back.
TEST_F(TBlobStreamingTest, EncryptedTablesScrambleStreamedValues) {
  Session->AddPassword("streams");
  TDataCursor& streamed = Create("ES", Definition(512, true));
  TDataCursor& memory = Create("EM", Definition(512, true));
  const std::string value = std::string(400000, 'p') + Pattern(1000, 13);
  TStringSource source(value);
  InsertStreamed(streamed, source.Make());
  InsertInMemory(memory, value);
  streamed.GoToRecordNumber(1);
  EXPECT_EQ(ReadCurrent(streamed, 777), value);
  streamed.Close();
  memory.Close();
  const std::string file = FileBytes(File("ES.BLB"));
  EXPECT_EQ(file, FileBytes(File("EM.BLB")));
  EXPECT_EQ(file.find(std::string(64, 'p')), std::string::npos);
  streamed.Open("ES");
  streamed.GoToRecordNumber(1);
  EXPECT_EQ(ReadCurrent(streamed), value);
}

// A file source: its bytes, the file's length by default, a missing file refused at once.
TEST_F(TBlobStreamingTest, FileSourcesStoreTheFile) {
  const std::string value = Pattern(300001, 14);
  const std::string path = File("source.bin");
  std::ofstream(path, std::ios::binary)
      .write(value.data(), static_cast<std::streamsize>(value.size()));
  TDataCursor& c = Create("FS", Definition(512));
  InsertStreamed(c, std::make_shared<TFileBlobSource>(path));
  c.GoToRecordNumber(1);
  EXPECT_EQ(ReadCurrent(c), value);
  try {
    TFileBlobSource missing(File("missing.bin"));
    FAIL() << "a missing file was opened";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode, VELDOR_OSENOENT);
  }
  // A file shorter than the size given fails the post.
  TRec r(c);
  r.Init();
  c.SetBlobSource(r.Bytes(), 2, std::make_shared<TFileBlobSource>(path, 400000));
  EXPECT_THROW(c.InsertRecord(r.Bytes()), EVELDOREngineError);
  EXPECT_EQ(c.RecordCount(), 1);
}

}  // namespace
}  // namespace zorvic::engine::testing
