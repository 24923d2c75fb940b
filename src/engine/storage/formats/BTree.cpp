#include "engine/storage/formats/BTree.h"

#include <algorithm>
#include <cstring>

#include "engine/storage/EngineError.h"

namespace zorvic::engine {

void RaiseIndexCorrupt(const TIndexPageStore& store) {
  RaiseTableError(VELDOR_INDEXCORRUPT, store.TableName());
}

TPage& AllocateIndexPage(TIndexPageStore& store, int slot) {
  TIndexHeader& h = store.Header();
  std::int32_t freePage = h.FreePage(slot);
  if (freePage != 0) {
    if (freePage < 0 || freePage >= h.NextPageNo()) RaiseIndexCorrupt(store);
    TPage& page = store.FetchPage(slot, freePage);
    std::int32_t next = page.Next;
    // Only a page that is really free may be handed out again: a free list that runs into a
    // page of the tree (or into itself) is damage, not a page to reuse.
    if (!page.Freed || next < 0 || next >= h.NextPageNo() || next == freePage) {
      store.ReleasePage(page);
      RaiseIndexCorrupt(store);
    }
    h.SetFreePage(slot, next);
    store.MarkHeaderModified();
    page.Clear();
    page.Type = ptLeaf;
    page.Prev = 0;
    page.Next = 0;
    page.Freed = false;
    store.MarkPageModified(page);
    return page;
  }
  std::int64_t pageNo = h.NextPageNo();
  if (pageNo <= 0) RaiseIndexCorrupt(store);
  if (pageNo + 1 > MaxIndexPageCount || (pageNo + 1) * IndexPageSize > MaxIndexFileBytes) {
    RaiseTableError(VELDOR_TABLEFULL, store.TableName());
  }
  h.SetNextPageNo(static_cast<std::int32_t>(pageNo + 1));
  store.MarkHeaderModified();
  TPage& page = store.NewPage(slot, static_cast<std::int32_t>(pageNo));
  store.MarkPageModified(page);
  return page;
}

void FreeIndexPage(TIndexPageStore& store, TPage& page) {
  TIndexHeader& h = store.Header();
  page.Clear();
  page.Type = ptLeaf;
  page.Prev = 0;
  page.Next = h.FreePage(page.Slot);
  page.Freed = true;
  store.MarkPageModified(page);
  h.SetFreePage(page.Slot, page.PageNo);
  store.MarkHeaderModified();
}

void EnsureIndexPagesAvailable(TIndexPageStore& store, int slot, int count) {
  TIndexHeader& h = store.Header();
  int onList = 0;
  std::int32_t pageNo = h.FreePage(slot);
  while (pageNo != 0 && onList < count) {
    if (pageNo < 0 || pageNo >= h.NextPageNo()) RaiseIndexCorrupt(store);
    TPinnedPages pins(store);
    TPage& page = pins.Fetch(slot, pageNo);
    if (!page.Freed) RaiseIndexCorrupt(store);
    pageNo = page.Next;
    ++onList;
  }
  std::int64_t fresh = count - onList;
  if (fresh > 0) {
    std::int64_t next = static_cast<std::int64_t>(h.NextPageNo()) + fresh;
    if (next > MaxIndexPageCount || next * IndexPageSize > MaxIndexFileBytes) {
      RaiseTableError(VELDOR_TABLEFULL, store.TableName());
    }
  }
}

TPinnedPages::~TPinnedPages() {
  for (auto it = pages_.rbegin(); it != pages_.rend(); ++it)
    store_.ReleasePage(**it);
}

TPage& TPinnedPages::Hold(TPage& page) {
  pages_.push_back(&page);
  return page;
}

TBTree::TBTree(TIndexPageStore& store, int slot, const TKeyCompare& compare)
    : store_(store), slot_(slot), compare_(compare) {
  shape_ = TPageShape::Of(slot, store.Header());
}

std::string TBTree::DisplayName() const {
  return IndexDisplayName(slot_, store_.Header().Descriptor(slot_));
}

void TBTree::CheckTreePage(const TPage& page, int depth) const {
  if (page.Freed || page.Count() < 1 || page.Type == ptParams) Corrupt();
  if (page.IsRoot() != (depth == 0)) Corrupt();
}

void TBTree::CheckSibling(const TPage& page, const TPage& of) const {
  if (page.Freed || page.Count() < 1 || page.IsRoot() || page.Type == ptParams ||
      page.IsLeaf() != of.IsLeaf() || page.PageNo == of.PageNo) {
    Corrupt();
  }
}

namespace {
// The keys the next step of a binary search over [lo, hi) with midpoint mid may compare,
// fetched while this step's compare waits for its own: on a page not in the processor's
// caches the search then waits for one miss per step instead of two.
inline void PrefetchNextMidpoints(const TPage& page, int lo, int mid, int hi) {
  if (lo < mid) __builtin_prefetch(page.Key((lo + mid) / 2));
  if (mid + 1 < hi) __builtin_prefetch(page.Key((mid + 1 + hi) / 2));
}
}  // namespace

int TBTree::NodePosition(const TPage& page, const std::uint8_t* key) const {
  // The last entry whose key is <= key, or the first entry when all are greater.
  int lo = 0;
  int hi = page.Count();
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    PrefetchNextMidpoints(page, lo, mid, hi);
    if (compare_(page.Key(mid), key) <= 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo > 0 ? lo - 1 : 0;
}

int TBTree::LeafPosition(const TPage& page, const std::uint8_t* key, bool after) const {
  int lo = 0;
  int hi = page.Count();
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    PrefetchNextMidpoints(page, lo, mid, hi);
    int r = compare_(page.Key(mid), key);
    if (r < 0 || (after && r == 0)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

TTreePosition TBTree::Search(const std::uint8_t* key, bool after) {
  TTreePosition out;
  std::int32_t pageNo = store_.Header().RootPage(slot_);
  if (pageNo == 0) {
    out.Rank = shape_.NoCounts ? 0 : 1;
    return out;
  }
  std::int64_t before = 0;
  for (int depth = 0;; ++depth) {
    if (depth >= MaxTreeDepth) Corrupt();
    TPinnedPages pins(store_);
    TPage& page = pins.Fetch(slot_, pageNo);
    CheckTreePage(page, depth);
    if (page.IsLeaf()) {
      int pos = LeafPosition(page, key, after);
      out.Found = !after && pos < page.Count() && compare_(page.Key(pos), key) == 0;
      out.Path.Steps[depth] = {pageNo, pos};
      out.Path.Depth = depth + 1;
      out.Rank = shape_.NoCounts ? 0 : before + pos + 1;
      store_.NoteTreeDepth(slot_, depth + 1);
      return out;
    }
    int pos = NodePosition(page, key);
    if (!shape_.NoCounts) {
      for (int i = 0; i < pos; ++i)
        before += page.SubtreeCount(i);
    }
    out.Path.Steps[depth] = {pageNo, pos};
    pageNo = page.Value(pos);
  }
}

bool TBTree::SeekRank(std::int64_t rank, TTreePosition* out) {
  *out = TTreePosition{};
  std::int32_t pageNo = store_.Header().RootPage(slot_);
  if (shape_.NoCounts || rank < 1 || pageNo == 0) return false;
  std::int64_t remaining = rank;
  for (int depth = 0;; ++depth) {
    if (depth >= MaxTreeDepth) Corrupt();
    TPinnedPages pins(store_);
    TPage& page = pins.Fetch(slot_, pageNo);
    CheckTreePage(page, depth);
    if (page.IsLeaf()) {
      if (remaining > page.Count()) {
        if (depth == 0) return false;
        Corrupt();  // the counts above promised more keys than the leaf holds
      }
      out->Path.Steps[depth] = {pageNo, static_cast<int>(remaining - 1)};
      out->Path.Depth = depth + 1;
      out->Rank = rank;
      out->Found = true;
      return true;
    }
    int i = 0;
    while (i < page.Count() && remaining > page.SubtreeCount(i)) {
      remaining -= page.SubtreeCount(i);
      ++i;
    }
    if (i == page.Count()) {
      if (depth == 0) return false;
      Corrupt();
    }
    out->Path.Steps[depth] = {pageNo, i};
    pageNo = page.Value(i);
  }
}

bool TBTree::SeekFirst(TTreePosition* out) {
  *out = TTreePosition{};
  std::int32_t pageNo = store_.Header().RootPage(slot_);
  if (pageNo == 0) return false;
  for (int depth = 0;; ++depth) {
    if (depth >= MaxTreeDepth) Corrupt();
    TPinnedPages pins(store_);
    TPage& page = pins.Fetch(slot_, pageNo);
    CheckTreePage(page, depth);
    out->Path.Steps[depth] = {pageNo, 0};
    if (page.IsLeaf()) {
      out->Path.Depth = depth + 1;
      out->Rank = shape_.NoCounts ? 0 : 1;
      out->Found = true;
      return true;
    }
    pageNo = page.Value(0);
  }
}

bool TBTree::SeekLast(TTreePosition* out) {
  *out = TTreePosition{};
  std::int32_t pageNo = store_.Header().RootPage(slot_);
  if (pageNo == 0) return false;
  std::int64_t before = 0;
  for (int depth = 0;; ++depth) {
    if (depth >= MaxTreeDepth) Corrupt();
    TPinnedPages pins(store_);
    TPage& page = pins.Fetch(slot_, pageNo);
    CheckTreePage(page, depth);
    int last = page.Count() - 1;
    out->Path.Steps[depth] = {pageNo, last};
    if (page.IsLeaf()) {
      out->Path.Depth = depth + 1;
      out->Rank = shape_.NoCounts ? 0 : before + page.Count();
      out->Found = true;
      return true;
    }
    if (!shape_.NoCounts) {
      for (int i = 0; i < last; ++i)
        before += page.SubtreeCount(i);
    }
    pageNo = page.Value(last);
  }
}

bool TBTree::StepNext(TTreeStep& leaf) {
  TPinnedPages pins(store_);
  TPage& page = pins.Fetch(slot_, leaf.PageNo);
  if (page.Freed || !page.IsLeaf()) Corrupt();
  if (leaf.Position + 1 < page.Count()) {
    ++leaf.Position;
    return true;
  }
  if (page.Next == 0) return false;
  TPage& next = pins.Fetch(slot_, page.Next);
  CheckSibling(next, page);
  // The links must agree and the keys keep rising: a cycle of pages can never pass this.
  if (next.Prev != page.PageNo ||
      (page.Count() > 0 && compare_(next.Key(0), page.Key(page.Count() - 1)) <= 0)) {
    Corrupt();
  }
  leaf = {next.PageNo, 0};
  return true;
}

bool TBTree::StepPrior(TTreeStep& leaf) {
  TPinnedPages pins(store_);
  TPage& page = pins.Fetch(slot_, leaf.PageNo);
  if (page.Freed || !page.IsLeaf()) Corrupt();
  if (leaf.Position > 0 && page.Count() > 0) {
    leaf.Position = std::min(leaf.Position, page.Count()) - 1;
    return true;
  }
  if (page.Prev == 0) return false;
  TPage& prev = pins.Fetch(slot_, page.Prev);
  CheckSibling(prev, page);
  if (prev.Next != page.PageNo ||
      (page.Count() > 0 && compare_(prev.Key(prev.Count() - 1), page.Key(0)) >= 0)) {
    Corrupt();
  }
  leaf = {prev.PageNo, prev.Count() - 1};
  return true;
}

void TBTree::ReadEntry(const TTreeStep& leaf, std::uint8_t* key, std::int32_t* recordNo) {
  TPinnedPages pins(store_);
  TPage& page = pins.Fetch(slot_, leaf.PageNo);
  if (page.Freed || !page.IsLeaf() || leaf.Position < 0 || leaf.Position >= page.Count()) {
    Corrupt();
  }
  std::memcpy(key, page.Key(leaf.Position), shape_.KeySize);
  *recordNo = page.Value(leaf.Position);
}

int TBTree::DescendForUpdate(const std::uint8_t* key, TPinnedPages& pins, Level* levels) {
  std::int32_t pageNo = store_.Header().RootPage(slot_);
  for (int depth = 0;; ++depth) {
    if (depth >= MaxTreeDepth) Corrupt();
    for (int i = 0; i < depth; ++i) {
      if (levels[i].Page->PageNo == pageNo) Corrupt();  // a page twice on one path
    }
    TPage& page = pins.Fetch(slot_, pageNo);
    CheckTreePage(page, depth);
    if (page.IsLeaf()) {
      levels[depth] = {&page, LeafPosition(page, key, false)};
      store_.NoteTreeDepth(slot_, depth + 1);
      return depth + 1;
    }
    int pos = NodePosition(page, key);
    levels[depth] = {&page, pos};
    pageNo = page.Value(pos);
  }
}

void TBTree::FixFirstKeys(Level* levels, int level) {
  std::array<std::uint8_t, MaxKeySize> key{};
  std::memcpy(key.data(), levels[level].Page->Key(0), shape_.KeySize);
  for (int l = level - 1; l >= 0; --l) {
    TPage& page = *levels[l].Page;
    page.SetKey(levels[l].Position, key.data());
    store_.MarkPageModified(page);
    if (levels[l].Position != 0) break;
  }
}

void TBTree::Insert(const std::uint8_t* key, std::int32_t recordNo) {
  TIndexHeader& h = store_.Header();
  TPinnedPages pins(store_);
  if (h.RootPage(slot_) == 0) {
    EnsureIndexPagesAvailable(store_, slot_, 1);
    TPage& page = pins.Allocate(slot_);
    page.Type = ptRootLeaf;
    page.Insert(0, key, recordNo);
    store_.MarkPageModified(page);
    h.SetRootPage(slot_, page.PageNo);
    store_.MarkHeaderModified();
    return;
  }
  Level levels[MaxTreeDepth];
  const int depth = DescendForUpdate(key, pins, levels);
  Level& leaf = levels[depth - 1];
  if (leaf.Position < leaf.Page->Count() && compare_(leaf.Page->Key(leaf.Position), key) == 0) {
    RaiseIndexError(VELDOR_KEYVIOL, DisplayName(), store_.TableName());
  }

  // Everything that can fail for want of room, or on reading a neighbour, happens before the
  // first change: count the splits, make sure their pages exist, and pin the right neighbours
  // whose back links the splits will change.
  int splits = 0;
  if (leaf.Page->OverfullAfterInsert(leaf.Position, key)) {
    splits = 1;
    for (int l = depth - 2; l >= 0 && levels[l].Page->Count() + 1 > levels[l].Page->MaxEntries();
         --l) {
      ++splits;
    }
  }
  int needed = splits + (splits == depth ? 1 : 0);
  if (needed > 0) EnsureIndexPagesAvailable(store_, slot_, needed);
  for (int l = depth - 1; l >= depth - splits; --l) {
    TPage& page = *levels[l].Page;
    if (page.Next != 0) CheckSibling(pins.Fetch(slot_, page.Next), page);
  }
  TPage* fresh[MaxTreeDepth + 1];
  for (int i = 0; i < needed; ++i)
    fresh[i] = &pins.Allocate(slot_);

  for (int l = 0; l < depth - 1; ++l) {
    TPage& page = *levels[l].Page;
    if (!shape_.NoCounts) {
      page.SetSubtreeCount(levels[l].Position, page.SubtreeCount(levels[l].Position) + 1);
    }
    store_.MarkPageModified(page);
  }
  leaf.Page->Insert(leaf.Position, key, recordNo);
  store_.MarkPageModified(*leaf.Page);
  if (leaf.Position == 0) FixFirstKeys(levels, depth - 1);

  int used = 0;
  for (int l = depth - 1; l >= 0 && levels[l].Page->Overfull(); --l) {
    if (used >= needed) Corrupt();
    TPage& page = *levels[l].Page;
    TPage& right = *fresh[used++];
    SplitPage(page, right, pins);
    std::int32_t leftCount = shape_.NoCounts ? 0 : static_cast<std::int32_t>(page.KeysBelow());
    std::int32_t rightCount = shape_.NoCounts ? 0 : static_cast<std::int32_t>(right.KeysBelow());
    if (l == 0) {
      if (used >= needed) Corrupt();
      TPage& root = *fresh[used++];
      root.Type = ptRootNode;
      root.Insert(0, page.Key(0), page.PageNo, leftCount);
      root.Insert(1, right.Key(0), right.PageNo, rightCount);
      store_.MarkPageModified(root);
      h.SetRootPage(slot_, root.PageNo);
      store_.MarkHeaderModified();
      break;
    }
    TPage& parent = *levels[l - 1].Page;
    int pos = levels[l - 1].Position;
    if (!shape_.NoCounts) parent.SetSubtreeCount(pos, leftCount);
    parent.Insert(pos + 1, right.Key(0), right.PageNo, rightCount);
    store_.MarkPageModified(parent);
  }
}

void TBTree::SplitPage(TPage& page, TPage& right, TPinnedPages& pins) {
  const bool leaf = page.IsLeaf();
  page.Type = leaf ? ptLeaf : ptNode;
  right.Type = page.Type;
  right.Clear();
  int n = page.Count();
  int keep = (n + 1) / 2;
  page.MoveTailTo(right, n - keep);
  if (page.IsCompressedLeaf()) {
    // Packed sizes differ per entry: shift entries one at a time until both pages fit.
    bool movedRight = false;
    bool movedLeft = false;
    while (page.Overfull() || right.Overfull()) {
      if (page.Overfull() && right.Overfull()) Corrupt();
      if (page.Overfull()) {
        if (page.Count() <= 1) Corrupt();
        page.MoveTailTo(right, 1);
        movedRight = true;
      } else {
        if (right.Count() <= 1) Corrupt();
        right.MoveHeadTo(page, 1);
        movedLeft = true;
      }
      if (movedLeft && movedRight) Corrupt();
    }
  }
  right.Prev = page.PageNo;
  right.Next = page.Next;
  if (page.Next != 0) {
    TPage& oldRight = pins.Fetch(slot_, page.Next);
    oldRight.Prev = right.PageNo;
    store_.MarkPageModified(oldRight);
  }
  page.Next = right.PageNo;
  store_.MarkPageModified(page);
  store_.MarkPageModified(right);
}

void TBTree::Delete(const std::uint8_t* key) {
  if (store_.Header().RootPage(slot_) == 0) Corrupt();
  TPinnedPages pins(store_);
  Level levels[MaxTreeDepth];
  const int depth = DescendForUpdate(key, pins, levels);
  Level& leaf = levels[depth - 1];
  if (leaf.Position >= leaf.Page->Count() || compare_(leaf.Page->Key(leaf.Position), key) != 0) {
    Corrupt();
  }
  if (!shape_.NoCounts) {
    for (int l = 0; l < depth - 1; ++l) {
      if (levels[l].Page->SubtreeCount(levels[l].Position) < 1) Corrupt();
    }
  }
  for (int l = 0; l < depth - 1; ++l) {
    TPage& page = *levels[l].Page;
    if (!shape_.NoCounts) {
      page.SetSubtreeCount(levels[l].Position, page.SubtreeCount(levels[l].Position) - 1);
    }
    store_.MarkPageModified(page);
  }
  leaf.Page->Remove(leaf.Position);
  store_.MarkPageModified(*leaf.Page);
  if (leaf.Position == 0 && leaf.Page->Count() > 0) FixFirstKeys(levels, depth - 1);
  Rebalance(levels, depth - 1, pins);
}

void TBTree::RebalanceRoot(TPage& rootPage, TPinnedPages& pins) {
  TIndexHeader& h = store_.Header();
  TPage* root = &rootPage;
  for (int guard = 0;; ++guard) {
    if (guard >= MaxTreeDepth) Corrupt();
    if (root->IsLeaf()) {
      if (root->Count() == 0) {
        FreeIndexPage(store_, *root);
        h.SetRootPage(slot_, 0);
        store_.MarkHeaderModified();
      }
      return;
    }
    if (root->Count() == 0) Corrupt();
    if (root->Count() > 1) return;
    // A root node with one entry gives way to its only child.
    TPage& child = pins.Fetch(slot_, root->Value(0));
    if (child.Freed || child.Count() < 1 || child.IsRoot() || child.Type == ptParams ||
        child.PageNo == root->PageNo) {
      Corrupt();
    }
    FreeIndexPage(store_, *root);
    child.Type = child.IsLeaf() ? ptRootLeaf : ptRootNode;
    child.Prev = 0;
    child.Next = 0;
    store_.MarkPageModified(child);
    h.SetRootPage(slot_, child.PageNo);
    store_.MarkHeaderModified();
    root = &child;
  }
}

void TBTree::Rebalance(Level* levels, int level, TPinnedPages& pins) {
  for (int l = level;; --l) {
    TPage& page = *levels[l].Page;
    if (l == 0) {
      RebalanceRoot(page, pins);
      return;
    }
    TPage& parent = *levels[l - 1].Page;
    const int i = levels[l - 1].Position;
    auto count = [&](const TPage& p) {
      return shape_.NoCounts ? 0 : static_cast<std::int32_t>(p.KeysBelow());
    };

    if (page.IsCompressedLeaf()) {
      if (page.Count() > 0) return;
      // An emptied compressed leaf leaves the tree.
      if (page.Prev != 0) {
        TPage& left = pins.Fetch(slot_, page.Prev);
        CheckSibling(left, page);
        if (left.Next != page.PageNo) Corrupt();
        left.Next = page.Next;
        store_.MarkPageModified(left);
      }
      if (page.Next != 0) {
        TPage& right = pins.Fetch(slot_, page.Next);
        CheckSibling(right, page);
        if (right.Prev != page.PageNo) Corrupt();
        right.Prev = page.Prev;
        store_.MarkPageModified(right);
      }
      FreeIndexPage(store_, page);
      parent.Remove(i);
      store_.MarkPageModified(parent);
      if (i == 0 && parent.Count() > 0) FixFirstKeys(levels, l - 1);
      continue;
    }

    const int max = page.MaxEntries();
    if (2 * page.Count() >= max) return;
    if (parent.Count() < 2) Corrupt();  // no neighbour under the same parent

    if (i > 0) {
      TPage& left = pins.Fetch(slot_, parent.Value(i - 1));
      CheckSibling(left, page);
      if (left.Next != page.PageNo || page.Prev != left.PageNo) Corrupt();
      int total = left.Count() + page.Count();
      if (total < max) {
        page.MoveHeadTo(left, page.Count());
        left.Next = page.Next;
        if (page.Next != 0) {
          TPage& right = pins.Fetch(slot_, page.Next);
          CheckSibling(right, left);
          if (right.Prev != page.PageNo) Corrupt();
          right.Prev = left.PageNo;
          store_.MarkPageModified(right);
        }
        store_.MarkPageModified(left);
        FreeIndexPage(store_, page);
        parent.Remove(i);
        if (!shape_.NoCounts) parent.SetSubtreeCount(i - 1, count(left));
        store_.MarkPageModified(parent);
        continue;
      }
      int target = (total + 1) / 2;  // the left page gets the larger half
      if (left.Count() > target) {
        left.MoveTailTo(page, left.Count() - target);
      } else {
        page.MoveHeadTo(left, target - left.Count());
      }
      store_.MarkPageModified(left);
      store_.MarkPageModified(page);
      parent.SetKey(i, page.Key(0));
      if (!shape_.NoCounts) {
        parent.SetSubtreeCount(i - 1, count(left));
        parent.SetSubtreeCount(i, count(page));
      }
      store_.MarkPageModified(parent);
      return;
    }

    // The first child of its parent works with its right neighbour.
    TPage& right = pins.Fetch(slot_, parent.Value(1));
    CheckSibling(right, page);
    if (page.Next != right.PageNo || right.Prev != page.PageNo) Corrupt();
    int total = right.Count() + page.Count();
    if (total < max) {
      page.MoveTailTo(right, page.Count());
      right.Prev = page.Prev;
      if (page.Prev != 0) {
        TPage& left = pins.Fetch(slot_, page.Prev);
        CheckSibling(left, right);
        if (left.Next != page.PageNo) Corrupt();
        left.Next = right.PageNo;
        store_.MarkPageModified(left);
      }
      store_.MarkPageModified(right);
      FreeIndexPage(store_, page);
      parent.Remove(0);
      parent.SetKey(0, right.Key(0));
      if (!shape_.NoCounts) parent.SetSubtreeCount(0, count(right));
      store_.MarkPageModified(parent);
      FixFirstKeys(levels, l - 1);
      continue;
    }
    int target = total / 2;  // this page keeps the smaller half
    right.MoveHeadTo(page, target - page.Count());
    store_.MarkPageModified(page);
    store_.MarkPageModified(right);
    parent.SetKey(1, right.Key(0));
    if (!shape_.NoCounts) {
      parent.SetSubtreeCount(0, count(page));
      parent.SetSubtreeCount(1, count(right));
    }
    store_.MarkPageModified(parent);
    FixFirstKeys(levels, l);
    return;
  }
}

std::int64_t TBTree::KeyCount() {
  std::int32_t root = store_.Header().RootPage(slot_);
  if (root == 0) return 0;
  if (!shape_.NoCounts) {
    TPinnedPages pins(store_);
    TPage& page = pins.Fetch(slot_, root);
    CheckTreePage(page, 0);
    return page.KeysBelow();
  }
  TTreePosition pos;
  if (!SeekFirst(&pos)) return 0;
  std::int64_t keys = 0;
  TTreeStep step = pos.Path.Leaf();
  std::int64_t bound = static_cast<std::int64_t>(store_.Header().NextPageNo()) * 1024;
  while (true) {
    TPinnedPages pins(store_);
    TPage& page = pins.Fetch(slot_, step.PageNo);
    keys += page.Count();
    if (keys > bound) Corrupt();
    step.Position = page.Count() - 1;
    if (!StepNext(step)) return keys;
  }
}

void TBTree::FreeAllPages() {
  TIndexHeader& h = store_.Header();
  std::int32_t root = h.RootPage(slot_);
  if (root == 0) return;
  std::vector<bool> seen(static_cast<std::size_t>(h.NextPageNo()), false);
  FreeSubtree(root, 0, seen);
  h.SetRootPage(slot_, 0);
  store_.MarkHeaderModified();
}

void TBTree::FreeSubtree(std::int32_t pageNo, int depth, std::vector<bool>& seen) {
  if (depth >= MaxTreeDepth || pageNo <= 0 || static_cast<std::size_t>(pageNo) >= seen.size() ||
      seen[pageNo]) {
    Corrupt();
  }
  seen[pageNo] = true;
  std::vector<std::int32_t> children;
  {
    TPinnedPages pins(store_);
    TPage& page = pins.Fetch(slot_, pageNo);
    CheckTreePage(page, depth);
    if (!page.IsLeaf()) {
      for (int i = 0; i < page.Count(); ++i)
        children.push_back(page.Value(i));
    }
  }
  for (std::int32_t child : children)
    FreeSubtree(child, depth + 1, seen);
  TPinnedPages pins(store_);
  FreeIndexPage(store_, pins.Fetch(slot_, pageNo));
}

}  // namespace zorvic::engine
