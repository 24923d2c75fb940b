#include "engine/storage/formats/IndexFile.h"

#include <algorithm>
#include <cstring>

#include "engine/storage/formats/Scramble.h"
#include "engine/storage/locks/ReadCounters.h"

namespace zorvic::engine {

TIndexFile::TIndexFile(std::string fileName, bool inMemory, std::string tableName, TFileList& list)
    : TFileHandler(std::move(fileName), inMemory, list),
      tableName_(std::move(tableName)),
      cacheBytes_(IndexCacheBytes) {
  header_.InitNew();
  TUnitCacheConfig config;
  config.Capacity = CacheCapacityFor(cacheBytes_, IndexCacheBytesPerPage, CacheMaxUnits);
  config.GrowthStep = PageCacheGrowth;
  config.QuickProbe = PageCacheProbe;
  config.SpareLimit = PageSpareLimit;
  TPageCache::TOwner& owner = *this;
  for (auto& cache : caches_)
    cache = std::make_unique<TPageCache>(owner, config);
}

TIndexFile::~TIndexFile() {
  for (auto& cache : caches_)
    cache->Drop();
  CloseQuietly();
}

void TIndexFile::SetCacheBytes(std::int64_t bytes) {
  cacheBytes_ = bytes;
  for (int slot = 0; slot < IndexSlotCount; ++slot)
    ConfigureCache(slot);
}

void TIndexFile::ConfigureCache(int slot) {
  TPageCache& cache = *caches_[slot];
  TUnitCacheConfig config = cache.Config();
  config.Capacity = std::max<std::int64_t>(
      CacheCapacityFor(cacheBytes_, IndexCacheBytesPerPage, CacheMaxUnits), pathDepth_[slot]);
  if (config.Capacity == cache.Config().Capacity) return;
  cache.Configure(config);
}

void TIndexFile::NoteTreeDepth(int slot, int depth) {
  if (slot < 0 || slot >= IndexSlotCount || depth <= pathDepth_[slot]) return;
  pathDepth_[slot] = std::min(depth, MaxTreeDepth);
  ConfigureCache(slot);
}

void TIndexFile::SetTableFields(std::vector<TIndexFieldInfo> fields, const TCollation* collation) {
  fields_ = std::move(fields);
  collation_ = collation != nullptr ? collation : &TCollation::Binary();
  InvalidateKeys();
}

void TIndexFile::RaiseHeaderCorrupt() const {
  RaiseTableError(VELDOR_HEADERCORRUPT, tableName_);
}

// ---- open, create, close ---------------------------------------------------------------

void TIndexFile::Open(bool exclusive, bool temporary) {
  if (IsOpen()) return;
  TFileHandler::Open(exclusive, temporary);
  try {
    ReadHeader();
  } catch (...) {
    CloseQuietly();
    throw;
  }
}

void TIndexFile::CreateFile(bool temporary) {
  DropCaches();
  pathDepth_.fill(0);
  SetCacheBytes(cacheBytes_);
  TFileHandler::CreateFile(temporary);
  header_.InitNew();
  InvalidateKeys();
  WriteHeader(true);
}

void TIndexFile::Close() {
  DropCaches();
  TFileHandler::Close();
}

void TIndexFile::Empty() {
  DropCaches();
  pathDepth_.fill(0);
  SetCacheBytes(cacheBytes_);
  for (int slot = 0; slot < IndexSlotCount; ++slot) {
    header_.SetRootPage(slot, 0);
    header_.SetFreePage(slot, 0);
    PutI32(header_.DescriptorBytes(slot) + idxdesc::kParamPage, 0);
  }
  header_.SetNextPageNo(1);
  header_.SetRecordCount(0);
  Truncate(IndexHeaderSize);
  MarkHeaderModified();
}

bool CreateIndexFileIfMissing(TIndexFile& file, std::int32_t dataRecordSlots) {
  if (file.Exists()) return false;
  if (dataRecordSlots > 0) RaiseTableError(VELDOR_INDEXCORRUPT, file.TableName());
  file.CreateFile();
  return true;
}

// ---- header ----------------------------------------------------------------------------

void TIndexFile::ReadHeaderBytes(TIndexHeader& into) {
  if (ReadAt(0, into.Bytes.data(), IndexHeaderSize, true) != IndexHeaderSize) {
    RaiseHeaderCorrupt();
  }
  if (encrypted_) Scramble(into.Bytes.data(), IndexHeaderSize, DataSeed);
  into.SetHeaderModifiedFlag(false);  // the writer's flag means nothing to a reader
}

void TIndexFile::ReadHeader() {
  TIndexHeader fresh;
  ReadHeaderBytes(fresh);
  if (fresh.FormatVersion() != IndexFormatVersion) {
    RaiseTableError(VELDOR_OLDVERSION, tableName_);
  }
  if (fresh.SecondaryCount() > MaxSecondaryIndexes || fresh.NextPageNo() < 1) {
    RaiseHeaderCorrupt();
  }
  header_ = fresh;
  headerModified_ = false;
  InvalidateKeys();
}

bool TIndexFile::RefreshHeaderIfChanged() {
  // The ChangeCount alone decides (the scrambling runs byte by byte from the start, so its
  // first four bytes unscramble on their own); the whole header is read only when it moved.
  std::uint8_t count[4];
  if (ReadAt(0, count, 4, true) != 4) RaiseHeaderCorrupt();
  if (encrypted_) Scramble(count, 4, DataSeed);
  const std::int32_t seen = static_cast<std::int32_t>(
      static_cast<std::uint32_t>(count[0]) | static_cast<std::uint32_t>(count[1]) << 8 |
      static_cast<std::uint32_t>(count[2]) << 16 | static_cast<std::uint32_t>(count[3]) << 24);
  if (seen == header_.ChangeCount()) return false;
  TIndexHeader fresh;
  ReadHeaderBytes(fresh);
  if (fresh.ChangeCount() == header_.ChangeCount()) return false;
  if (fresh.FormatVersion() != IndexFormatVersion) {
    RaiseTableError(VELDOR_OLDVERSION, tableName_);
  }
  if (fresh.SecondaryCount() > MaxSecondaryIndexes || fresh.NextPageNo() < 1) {
    RaiseHeaderCorrupt();
  }
  DropCaches();
  header_ = fresh;
  headerModified_ = false;
  InvalidateKeys();
  return true;
}

bool TIndexFile::WriteHeader(bool force) {
  if (!force && !headerModified_) return false;
  header_.SetChangeCount(header_.ChangeCount() + 1);
  TIndexHeader out = header_;
  out.SetHeaderModifiedFlag(headerModified_);
  if (encrypted_) Scramble(out.Bytes.data(), IndexHeaderSize, DataSeed);
  WriteAt(0, out.Bytes.data(), IndexHeaderSize);
  headerModified_ = false;
  return true;
}

void TIndexFile::BumpChangeCount() {
  header_.SetChangeCount(header_.ChangeCount() + 1);
  headerModified_ = true;
}

void TIndexFile::SetRecordCount(std::int32_t n) {
  header_.SetRecordCount(n);
  MarkHeaderModified();
}

void TIndexFile::SetRootPage(int slot, std::int32_t pageNo) {
  header_.SetRootPage(slot, pageNo);
  MarkHeaderModified();
}

// ---- pages -------------------------------------------------------------------------------

std::unique_ptr<TPage> TIndexFile::NewCacheUnit(TPageCache&) {
  return std::make_unique<TPage>();
}

bool TIndexFile::CacheMayWrite(TPageCache&) {
  return !inTransaction_;
}

void TIndexFile::WriteModifiedUnits(TPageCache&) {
  WriteModifiedPages();
}

TPage& TIndexFile::FetchPage(int slot, std::int32_t pageNo) {
  CountIndexPageRead(this, pageNo);
  TPageCache& cache = *caches_[slot];
  if (TPage* page = cache.Find(pageNo)) return *page;
  NoteSlotUsed(slot);
  if (missHandler_) missHandler_();
  if (pageNo <= 0 || pageNo >= header_.NextPageNo()) RaiseIndexCorrupt(*this);
  std::uint8_t bytes[IndexPageSize];
  std::int64_t offset = static_cast<std::int64_t>(pageNo) * IndexPageSize;
  // A page the header counts but the file does not hold is damage, not a read error.
  if (ReadAt(offset, bytes, IndexPageSize, true) != IndexPageSize) RaiseIndexCorrupt(*this);
  if (encrypted_) Scramble(bytes, IndexPageSize, DataSeed);
  TPage* page = cache.Add(pageNo, true);
  page->Reset(slot, pageNo, TPageShape::Of(slot, header_));
  if (!page->Unpack(bytes, header_.NextPageNo())) {
    page->PinCount = 0;
    cache.Remove(page);
    RaiseIndexCorrupt(*this);
  }
  return *page;
}

TPage& TIndexFile::NewPage(int slot, std::int32_t pageNo) {
  TPageCache& cache = *caches_[slot];
  NoteSlotUsed(slot);
  if (cache.Peek(pageNo) != nullptr) RaiseIndexCorrupt(*this);
  TPage* page = cache.Add(pageNo, true);
  page->Reset(slot, pageNo, TPageShape::Of(slot, header_));
  return *page;
}

void TIndexFile::ReleasePage(TPage& page) {
  caches_[page.Slot]->Unpin(&page);
}

void TIndexFile::MarkPageModified(TPage& page) {
  caches_[page.Slot]->MarkModified(&page);
}

bool TIndexFile::HasModifiedPages() const {
  bool any = false;
  ForUsedCaches([&](const TPageCache& cache) { any = any || cache.HasModified(); });
  return any;
}

bool TIndexFile::WriteModifiedPages() {
  std::vector<TPage*> pages;
  ForUsedCaches([&](TPageCache& cache) {
    std::vector<TPage*> modified = cache.ModifiedUnits();
    pages.insert(pages.end(), modified.begin(), modified.end());
  });
  if (pages.empty()) return false;
  std::sort(pages.begin(), pages.end(),
            [](const TPage* a, const TPage* b) { return a->PageNo < b->PageNo; });
  std::size_t i = 0;
  while (i < pages.size()) {
    // One run of consecutive page numbers, written with one call.
    std::size_t end = i + 1;
    while (end < pages.size() && end - i < MaxPagesPerWrite &&
           pages[end]->PageNo == pages[end - 1]->PageNo + 1) {
      ++end;
    }
    std::size_t run = end - i;
    ioBuffer_.resize(run * IndexPageSize);
    for (std::size_t k = 0; k < run; ++k) {
      std::uint8_t* out = ioBuffer_.data() + k * IndexPageSize;
      pages[i + k]->Pack(out);
      if (encrypted_) Scramble(out, IndexPageSize, DataSeed);
    }
    WriteAt(static_cast<std::int64_t>(pages[i]->PageNo) * IndexPageSize, ioBuffer_.data(),
            static_cast<std::int64_t>(run * IndexPageSize));
    for (std::size_t k = i; k < end; ++k)
      caches_[pages[k]->Slot]->MarkClean(pages[k]);
    i = end;
  }
  return true;
}

void TIndexFile::DropCaches() {
  ForUsedCaches([](TPageCache& cache) { cache.Drop(); });
  usedSlots_ = 0;
}

void TIndexFile::TrimCaches() {
  ForUsedCaches([](TPageCache& cache) { cache.Trim(); });
}

void TIndexFile::CheckNoDuplicate(int slot, const std::uint8_t* key) {
  if (Tree(slot).Contains(key)) RaiseIndexError(VELDOR_KEYVIOL, IndexName(slot), tableName_);
}

}  // namespace zorvic::engine
