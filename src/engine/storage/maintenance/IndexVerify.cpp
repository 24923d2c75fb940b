#include "engine/storage/maintenance/IndexVerify.h"

#include <cstring>
#include <optional>

#include "engine/storage/EngineError.h"

namespace zorvic::engine {

namespace {

// Problems reported per index before the rest are only counted.
constexpr std::size_t kMaxProblemsListed = 50;

std::string PageText(std::int32_t pageNo) {
  return "page " + std::to_string(pageNo);
}

class TTreeChecker {
 public:
  TTreeChecker(TIndexPageStore& store, int slot, const TKeyCompare& compare, TPageOwners* owners,
               TTreeCheck& out)
      : store_(store), slot_(slot), compare_(compare), owners_(owners), out_(out) {
    shape_ = TPageShape::Of(slot, store.Header().Descriptor(slot));
    nextPageNo_ = store.Header().NextPageNo();
    seen_.assign(static_cast<std::size_t>(std::max(nextPageNo_, 1)), false);
  }

  void Run() {
    std::int32_t root = store_.Header().RootPage(slot_);
    if (root != 0) {
      Walk(root, 0);
      CheckLevels();
    }
    CheckFreeList();
  }

 private:
  struct Summary {
    std::vector<std::uint8_t> FirstKey;
    std::int64_t Keys = 0;
    bool Ok = false;
  };

  void Problem(const std::string& text) {
    if (out_.Problems.size() < kMaxProblemsListed) {
      out_.Problems.push_back(text);
    } else if (out_.Problems.size() == kMaxProblemsListed) {
      out_.Problems.push_back("further problems not listed");
    }
  }

  bool Claim(std::int32_t pageNo, const char* what) {
    if (pageNo <= 0 || pageNo >= nextPageNo_) {
      Problem(std::string(what) + " " + PageText(pageNo) + " lies outside the file");
      return false;
    }
    if (seen_[pageNo]) {
      Problem(PageText(pageNo) + " is reached twice");
      return false;
    }
    seen_[pageNo] = true;
    if (owners_ != nullptr && static_cast<std::size_t>(pageNo) < owners_->size()) {
      int& owner = (*owners_)[pageNo];
      if (owner != -1 && owner != slot_) {
        Problem(PageText(pageNo) + " also belongs to the index in slot " + std::to_string(owner));
      }
      owner = slot_;
    }
    return true;
  }

  // A pinned copy of what we need from a page, or nothing when it cannot be read.
  TPage* Fetch(std::int32_t pageNo, TPinnedPages& pins) {
    try {
      return &pins.Fetch(slot_, pageNo);
    } catch (const EVELDOREngineError& e) {
      if (e.ErrorCode != VELDOR_INDEXCORRUPT) throw;
      Problem(PageText(pageNo) + " is damaged and cannot be read");
      return nullptr;
    }
  }

  Summary Walk(std::int32_t pageNo, int depth) {
    Summary s;
    if (depth >= MaxTreeDepth) {
      Problem("the tree is deeper than " + std::to_string(MaxTreeDepth) + " levels");
      return s;
    }
    if (!Claim(pageNo, "tree")) return s;
    TPinnedPages pins(store_);
    TPage* page = Fetch(pageNo, pins);
    if (page == nullptr) return s;
    const std::string where = PageText(pageNo);
    if (page->Freed || page->Count() == 0) {
      Problem(where + " is in the tree but empty");
      return s;
    }
    if (page->Type == ptParams) {
      Problem(where + " is a parameter page inside the tree");
      return s;
    }
    if (page->IsRoot() != (depth == 0)) Problem(where + " has the wrong page type");
    if (levels_.size() <= static_cast<std::size_t>(depth)) levels_.resize(depth + 1);
    levels_[depth].push_back({pageNo, page->Prev, page->Next});
    for (int i = 1; i < page->Count(); ++i) {
      if (compare_(page->Key(i - 1), page->Key(i)) >= 0) {
        Problem(where + " holds keys out of order at entry " + std::to_string(i));
        break;
      }
    }
    if (page->Overfull()) Problem(where + " holds more entries than fit");
    out_.UsedBytes += page->PackedSize();
    s.FirstKey.assign(page->Key(0), page->Key(0) + shape_.KeySize);
    if (page->IsLeaf()) {
      ++out_.LeafPages;
      if (!leafDepth_) {
        leafDepth_ = depth;
        out_.Height = depth + 1;
      } else if (*leafDepth_ != depth) {
        Problem(where + " is a leaf at depth " + std::to_string(depth) + ", others at " +
                std::to_string(*leafDepth_));
      }
      // Keys must rise across leaves too.
      if (!lastKey_.empty() && compare_(lastKey_.data(), page->Key(0)) >= 0) {
        Problem(where + " starts with a key not above the previous leaf's last key");
      }
      lastKey_.assign(page->Key(page->Count() - 1), page->Key(page->Count() - 1) + shape_.KeySize);
      out_.Keys += page->Count();
      s.Keys = page->Count();
      s.Ok = true;
      return s;
    }
    ++out_.NodePages;
    // Copy the entries: the children are walked with this page released.
    struct Entry {
      std::vector<std::uint8_t> Key;
      std::int32_t Child;
      std::int32_t Count;
    };
    std::vector<Entry> entries;
    for (int i = 0; i < page->Count(); ++i) {
      entries.push_back({std::vector<std::uint8_t>(page->Key(i), page->Key(i) + shape_.KeySize),
                         page->Value(i), shape_.NoCounts ? 0 : page->SubtreeCount(i)});
    }
    s.Ok = true;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      Summary child = Walk(entries[i].Child, depth + 1);
      if (!child.Ok) {
        s.Ok = false;
        continue;
      }
      if (std::memcmp(child.FirstKey.data(), entries[i].Key.data(), shape_.KeySize) != 0) {
        Problem(where + " entry " + std::to_string(i) + " does not carry the first key of " +
                PageText(entries[i].Child));
      }
      if (!shape_.NoCounts && child.Keys != entries[i].Count) {
        Problem(where + " entry " + std::to_string(i) + " counts " +
                std::to_string(entries[i].Count) + " keys, " + PageText(entries[i].Child) +
                " holds " + std::to_string(child.Keys));
      }
      s.Keys += child.Keys;
    }
    return s;
  }

  void CheckLevels() {
    for (std::size_t depth = 0; depth < levels_.size(); ++depth) {
      const auto& level = levels_[depth];
      for (std::size_t i = 0; i < level.size(); ++i) {
        std::int32_t wantPrev = i == 0 ? 0 : level[i - 1].PageNo;
        std::int32_t wantNext = i + 1 == level.size() ? 0 : level[i + 1].PageNo;
        if (level[i].Prev != wantPrev || level[i].Next != wantNext) {
          Problem(PageText(level[i].PageNo) + " has broken sibling links");
        }
      }
    }
  }

  void CheckFreeList() {
    std::int32_t pageNo = store_.Header().FreePage(slot_);
    std::int64_t steps = 0;
    while (pageNo != 0) {
      if (++steps > nextPageNo_) {
        Problem("the free list does not end");
        return;
      }
      if (!Claim(pageNo, "free")) return;
      TPinnedPages pins(store_);
      TPage* page = Fetch(pageNo, pins);
      if (page == nullptr) return;
      if (!page->Freed) {
        Problem(PageText(pageNo) + " is on the free list but holds entries");
        return;
      }
      ++out_.FreePages;
      pageNo = page->Next;
    }
  }

  struct LevelPage {
    std::int32_t PageNo;
    std::int32_t Prev;
    std::int32_t Next;
  };

  TIndexPageStore& store_;
  int slot_;
  const TKeyCompare& compare_;
  TPageOwners* owners_;
  TTreeCheck& out_;
  TPageShape shape_;
  std::int32_t nextPageNo_ = 1;
  std::vector<bool> seen_;
  std::vector<std::vector<LevelPage>> levels_;
  std::optional<int> leafDepth_;
  std::vector<std::uint8_t> lastKey_;
};

}  // namespace

double TTreeCheck::FillFactor() const {
  std::int64_t pages = NodePages + LeafPages;
  if (pages == 0) return 0;
  return static_cast<double>(UsedBytes) / (static_cast<double>(pages) * IndexPageEntryBytes);
}

TTreeCheck CheckIndexTree(TIndexPageStore& store, int slot, const TKeyCompare& compare,
                          TPageOwners* owners) {
  TTreeCheck check;
  check.Slot = slot;
  check.IndexName = IndexDisplayName(slot, store.Header().Descriptor(slot));
  TTreeChecker(store, slot, compare, owners, check).Run();
  return check;
}

bool TIndexFileCheck::Ok() const {
  if (!Problems.empty()) return false;
  for (const auto& t : Trees) {
    if (!t.Ok()) return false;
  }
  return true;
}

TIndexFileCheck CheckIndexFile(TIndexPageStore& store,
                               const std::function<const TKeyCompare&(int slot)>& compareOf) {
  TIndexFileCheck result;
  const TIndexHeader& h = store.Header();
  std::int32_t next = h.NextPageNo();
  if (next < 1) {
    result.Problems.push_back("NextPageNo " + std::to_string(next) + " is below 1");
    return result;
  }
  TPageOwners owners(static_cast<std::size_t>(next), -1);
  for (int slot = 0; slot < IndexSlotCount; ++slot) {
    if (!h.SlotInUse(slot)) continue;
    result.Trees.push_back(CheckIndexTree(store, slot, compareOf(slot), &owners));
    std::int32_t param = h.Descriptor(slot).ParamPage;
    if (param > 0 && param < next) owners[param] = slot;
  }
  for (std::int32_t n = 1; n < next; ++n) {
    if (owners[n] == -1) ++result.UnownedPages;
  }
  return result;
}

void CheckIndexRecords(TIndexPageStore& store, int slot, const TKeyCompare& compare,
                       const TKeyBuilder* builder, TRecordSource& records, TTreeCheck& check) {
  TBTree tree(store, slot, compare);
  const int k = compare.KeySize();
  std::vector<std::uint8_t> key(k), found(k);
  std::int64_t expected = 0;
  std::size_t listed = 0;
  auto problem = [&](const std::string& text) {
    if (listed++ < kMaxProblemsListed) check.Problems.push_back(text);
  };
  std::int32_t slots = records.SlotCount();
  for (std::int32_t n = 1; n <= slots; ++n) {
    const std::uint8_t* record = records.Record(n);
    bool active = record[0] == 0;
    if (slot == SysDeletedSlot) {
      BuildSysDeletedKey(record[0], GetI32(record + 5), key.data());
    } else if (!active || builder == nullptr) {
      continue;
    } else {
      builder->Build(record, key.data());
    }
    ++expected;
    TTreePosition pos = tree.Search(key.data());
    if (!pos.Found) {
      problem("record " + std::to_string(n) + " has no key in the index");
      continue;
    }
    std::int32_t recordNo = 0;
    tree.ReadEntry(pos.Path.Leaf(), found.data(), &recordNo);
    if (recordNo != n) {
      problem("the key of record " + std::to_string(n) + " points at record " +
              std::to_string(recordNo));
    }
  }
  std::int64_t keys = tree.KeyCount();
  if (keys != expected) {
    problem("the index holds " + std::to_string(keys) + " keys for " + std::to_string(expected) +
            " records");
  }
}

}  // namespace zorvic::engine
