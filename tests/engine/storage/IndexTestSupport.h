// Test helpers for the index tree: an in-memory page store with a small write-back cache, so
// that every page that leaves the cache is packed and unpacked again, and key helpers.
#pragma once

#include <cstdint>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/storage/EngineError.h"
#include "engine/storage/formats/BTree.h"
#include "engine/storage/formats/IndexKey.h"
#include "engine/storage/maintenance/IndexVerify.h"

namespace zorvic::engine::testing {

class TMemoryPageStore : public TIndexPageStore {
 public:
  explicit TMemoryPageStore(std::size_t cachePages = 32) : capacity_(cachePages) {
    header_.InitNew();
  }

  // Defines an index in a slot (no entries) and returns its descriptor.
  void DefineIndex(int slot, std::uint16_t keySize, std::uint8_t compression, bool unique,
                   bool descending = false, const std::string& name = "") {
    TIndexDescriptor d;
    d.IndexName = name;
    d.KeySize = keySize;
    d.Compression = compression;
    d.Unique = unique;
    d.Descending = descending;
    d.KeyFieldCount = 1;
    d.KeyFields[0] = 1;
    header_.SetDescriptor(slot, d);
    if (slot >= 1 && slot <= MaxSecondaryIndexes && header_.SecondaryCount() < slot) {
      header_.SetSecondaryCount(slot);
    }
  }

  TIndexHeader& Header() override { return header_; }
  void MarkHeaderModified() override { headerModified_ = true; }
  const std::string& TableName() const override { return name_; }

  TPage& FetchPage(int slot, std::int32_t pageNo) override {
    ++fetches_;
    auto it = cache_.find(pageNo);
    if (it != cache_.end()) {
      TPage& page = *it->second.Page;
      if (page.Slot != slot) RaiseIndexCorrupt(*this);
      Touch(it->second);
      ++page.PinCount;
      return page;
    }
    auto disk = disk_.find(pageNo);
    if (pageNo <= 0 || pageNo >= header_.NextPageNo() || disk == disk_.end()) {
      RaiseIndexCorrupt(*this);
    }
    auto page = std::make_unique<TPage>();
    page->Reset(slot, pageNo, TPageShape::Of(slot, header_.Descriptor(slot)));
    if (!page->Unpack(disk->second.data(), header_.NextPageNo())) RaiseIndexCorrupt(*this);
    return Add(std::move(page));
  }

  TPage& NewPage(int slot, std::int32_t pageNo) override {
    auto page = std::make_unique<TPage>();
    page->Reset(slot, pageNo, TPageShape::Of(slot, header_.Descriptor(slot)));
    return Add(std::move(page));
  }

  void ReleasePage(TPage& page) override {
    if (page.PinCount > 0) --page.PinCount;
    Evict();
  }

  // Writes every modified page and empties the cache (what a flush and a drop do).
  void FlushAll() {
    for (auto& [no, entry] : cache_) {
      if (entry.Page->PinCount != 0) throw std::logic_error("page still pinned");
      Write(*entry.Page);
    }
    cache_.clear();
    lru_.clear();
  }
  std::vector<std::uint8_t>& DiskPage(std::int32_t pageNo) { return disk_[pageNo]; }
  bool PinsReleased() const {
    for (const auto& [no, entry] : cache_) {
      if (entry.Page->PinCount != 0) return false;
    }
    return true;
  }
  std::int64_t Fetches() const { return fetches_; }

 private:
  struct Entry {
    std::unique_ptr<TPage> Page;
    std::list<std::int32_t>::iterator Lru;
  };

  TPage& Add(std::unique_ptr<TPage> page) {
    std::int32_t no = page->PageNo;
    lru_.push_front(no);
    TPage& ref = *page;
    ref.PinCount = 1;
    cache_[no] = Entry{std::move(page), lru_.begin()};
    return ref;
  }
  void Touch(Entry& e) {
    lru_.erase(e.Lru);
    lru_.push_front(e.Page->PageNo);
    e.Lru = lru_.begin();
  }
  void Write(TPage& page) {
    if (!page.Modified) return;
    auto& bytes = disk_[page.PageNo];
    bytes.assign(IndexPageSize, 0);
    page.Pack(bytes.data());
    page.Modified = false;
  }
  void Evict() {
    auto it = lru_.end();
    while (cache_.size() > capacity_ && it != lru_.begin()) {
      --it;
      Entry& e = cache_[*it];
      if (e.Page->PinCount != 0) continue;
      Write(*e.Page);
      std::int32_t no = *it;
      it = lru_.erase(it);
      cache_.erase(no);
    }
  }

  std::size_t capacity_;
  TIndexHeader header_;
  bool headerModified_ = false;
  std::string name_ = "TestTable";
  std::unordered_map<std::int32_t, Entry> cache_;
  std::list<std::int32_t> lru_;
  std::map<std::int32_t, std::vector<std::uint8_t>> disk_;
  std::int64_t fetches_ = 0;
};

// A layout for an index of one Integer field (unique: 5-byte keys; else 9 with the suffix).
inline TKeyLayout IntegerLayout(int slot, bool unique, bool descending = false) {
  TKeyLayout layout;
  layout.Slot = slot;
  layout.Unique = unique;
  layout.Descending = descending;
  TKeyField f;
  f.Field.FieldNo = 1;
  f.Field.DataType = 6;
  f.Field.PhysSize = 4;
  f.Field.Offset = 9;
  layout.Fields.push_back(f);
  layout.KeySize = static_cast<std::uint16_t>(layout.FieldBytes() + (unique ? 0 : 4));
  return layout;
}

// A key of the Integer layout above (RowId suffix = rowId when not unique).
inline std::vector<std::uint8_t> IntegerKey(const TKeyLayout& layout, std::int32_t value,
                                            std::int32_t rowId = 0) {
  std::vector<std::uint8_t> record(14, 0);
  PutI32(&record[5], rowId);
  record[9] = 1;
  PutI32(&record[10], value);
  std::vector<std::uint8_t> key(layout.KeySize);
  TKeyBuilder(layout).Build(record.data(), key.data());
  return key;
}

// Runs f and returns the engine error code it raised (0 when nothing was raised).
template <typename F>
TErrorCode CodeOf(F&& f) {
  try {
    f();
  } catch (const EVELDOREngineError& e) {
    return e.ErrorCode;
  }
  return 0;
}

// All problems of a check in one text, for failure messages.
inline std::string ProblemsText(const TTreeCheck& c) {
  std::string s;
  for (const auto& p : c.Problems)
    s += p + "; ";
  return s;
}

}  // namespace zorvic::engine::testing
