// The B-tree algorithms of one index of an index file.
//
// All indexes of a file draw their pages from one page-number space; each index keeps its root
// page and a list of its own free pages in its descriptor. Leaf entries map a key to a record
// number; node entries map the smallest key below a child to the child's page number and the
// number of keys below it, so that a key's rank in index order falls out of a search and a rank
// can be found by one descent.
//
// The tree works on pages it gets from a TIndexPageStore (the index file's page caches, or an
// in-memory store in tests). Pages are pinned only for the duration of one operation. Every
// walk is bounded (64 levels, entry counts, page numbers below NextPageNo), and every
// structural inconsistency met on the way is raised as VELDOR_INDEXCORRUPT: a damaged file
// gives an error, never a crash or an endless loop.
//
// Invariants kept by Insert and Delete:
// - a node entry's key is the first key of its child's subtree, and its count the number of
//   leaf entries below the child (unless the index keeps no counts);
// - pages of one level are linked both ways through Prev and Next, left to right;
// - every page is either in the tree or on its index's free list, never both;
// - only the root may hold fewer than half the entries an uncompressed page holds; compressed
//   leaves are never rebalanced, only removed when they empty.
//
// Thread safety: a TBTree is a short-lived view used by one thread under the table's locks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/storage/formats/IndexFormat.h"
#include "engine/storage/formats/IndexKey.h"
#include "engine/storage/formats/IndexPage.h"

namespace zorvic::engine {

// Where index pages come from. The store owns the pages; the tree pins and releases them.
class TIndexPageStore {
 public:
  virtual ~TIndexPageStore() = default;
  // The header whose descriptors (root and free pages) and NextPageNo the tree updates.
  virtual TIndexHeader& Header() = 0;
  virtual void MarkHeaderModified() = 0;
  // An existing page of the index in `slot`, pinned. Raises VELDOR_INDEXCORRUPT for a page
  // number outside the file or a page whose bytes are damaged.
  virtual TPage& FetchPage(int slot, std::int32_t pageNo) = 0;
  // A pinned, empty page for a number that was never used before (nothing is read).
  virtual TPage& NewPage(int slot, std::int32_t pageNo) = 0;
  virtual void ReleasePage(TPage& page) = 0;
  // Marks a page as changed, to be written at the next write-back. A store with a cache keeps
  // its modified pages listed as they are marked.
  virtual void MarkPageModified(TPage& page) { page.Modified = true; }
  // Tells the store how many pages a descent from the root to a leaf of the index took, so
  // that its cache can keep that path.
  virtual void NoteTreeDepth(int /*slot*/, int /*depth*/) {}
  // The table's name for error messages.
  virtual const std::string& TableName() const = 0;
};

// Raises VELDOR_INDEXCORRUPT for the store's table.
[[noreturn]] void RaiseIndexCorrupt(const TIndexPageStore& store);

// Page allocation of one index: its free list first, then a new page number.
// VELDOR_TABLEFULL when NextPageNo would pass 2,000,000,000 or the file 4,000,000,000 bytes.
TPage& AllocateIndexPage(TIndexPageStore& store, int slot);
// Puts a page on its index's free list (written with 0 entries). The page stays pinned.
void FreeIndexPage(TIndexPageStore& store, TPage& page);
// Raises VELDOR_TABLEFULL unless `count` pages can be allocated for the index.
void EnsureIndexPagesAvailable(TIndexPageStore& store, int slot, int count);

// Pins pages for the length of one operation and releases them all at the end.
class TPinnedPages {
 public:
  explicit TPinnedPages(TIndexPageStore& store) : store_(store) {}
  ~TPinnedPages();
  TPinnedPages(const TPinnedPages&) = delete;
  TPinnedPages& operator=(const TPinnedPages&) = delete;
  TPage& Fetch(int slot, std::int32_t pageNo) { return Hold(store_.FetchPage(slot, pageNo)); }
  TPage& Allocate(int slot) { return Hold(AllocateIndexPage(store_, slot)); }
  TPage& Hold(TPage& page);

 private:
  TIndexPageStore& store_;
  std::vector<TPage*> pages_;
};

// One step of a path: a page and a position in it.
struct TTreeStep {
  std::int32_t PageNo = 0;
  int Position = 0;
};

// The pages and positions from the root down to a leaf position.
struct TTreePath {
  std::array<TTreeStep, MaxTreeDepth> Steps{};
  int Depth = 0;  // number of steps; Steps[Depth - 1] is the leaf
  const TTreeStep& Leaf() const { return Steps[Depth - 1]; }
  TTreeStep& Leaf() { return Steps[Depth - 1]; }
};

// The result of a positioning descent.
struct TTreePosition {
  bool Found = false;  // an exact match (key searches only)
  // 1-based rank in index order of the leaf position (the position a missing key would take);
  // 0 when the index keeps no counts.
  std::int64_t Rank = 0;
  TTreePath Path;  // Depth 0 when the index is empty
  bool Empty() const { return Path.Depth == 0; }
};

class TBTree {
 public:
  TBTree(TIndexPageStore& store, int slot, const TKeyCompare& compare);

  int Slot() const { return slot_; }
  const TPageShape& Shape() const { return shape_; }

  // Descends to the first key >= `key` (after: the first key > `key`). Position may be one past
  // the last entry of its leaf when every key of that leaf is smaller.
  TTreePosition Search(const std::uint8_t* key, bool after = false);
  bool Contains(const std::uint8_t* key) { return Search(key).Found; }
  // The rank-th key (1-based); false when the index has fewer keys or keeps no counts.
  bool SeekRank(std::int64_t rank, TTreePosition* out);
  // The first or last key; false when the index is empty.
  bool SeekFirst(TTreePosition* out);
  bool SeekLast(TTreePosition* out);
  // Moves a leaf step to the next or previous entry, across leaves through the sibling links
  // (checked for consistency and key order); false at the end, leaving the step unchanged.
  bool StepNext(TTreeStep& leaf);
  bool StepPrior(TTreeStep& leaf);
  // The key and record number at a leaf step.
  void ReadEntry(const TTreeStep& leaf, std::uint8_t* key, std::int32_t* recordNo);

  // Inserts (key, record number). A key already present is VELDOR_KEYVIOL; no page is changed
  // when the index has no room left (VELDOR_TABLEFULL).
  void Insert(const std::uint8_t* key, std::int32_t recordNo);
  // Deletes a key; a key that is not in the index is VELDOR_INDEXCORRUPT.
  void Delete(const std::uint8_t* key);

  // Number of keys in the index (from the root's counts, or by walking the leaves).
  std::int64_t KeyCount();
  // Frees every page of the tree onto the index's free list, children before parents, and
  // empties the index.
  void FreeAllPages();

  // The name of this index for messages ("Primary" for slot 0).
  std::string DisplayName() const;

 private:
  struct Level {
    TPage* Page = nullptr;
    int Position = 0;
  };
  // Descends to the leaf for `key`, pinning every page of the path.
  int DescendForUpdate(const std::uint8_t* key, TPinnedPages& pins, Level* levels);
  // Checks a page met at `depth` of a descent.
  void CheckTreePage(const TPage& page, int depth) const;
  // Checks a neighbour fetched for rebalancing or stepping.
  void CheckSibling(const TPage& page, const TPage& of) const;
  int NodePosition(const TPage& page, const std::uint8_t* key) const;
  int LeafPosition(const TPage& page, const std::uint8_t* key, bool after) const;
  void SplitPage(TPage& page, TPage& fresh, TPinnedPages& pins);
  void FixFirstKeys(Level* levels, int level);
  void Rebalance(Level* levels, int level, TPinnedPages& pins);
  void RebalanceRoot(TPage& root, TPinnedPages& pins);
  void FreeSubtree(std::int32_t pageNo, int depth, std::vector<bool>& seen);
  [[noreturn]] void Corrupt() const { RaiseIndexCorrupt(store_); }

  TIndexPageStore& store_;
  int slot_;
  const TKeyCompare& compare_;
  TPageShape shape_;
};

}  // namespace zorvic::engine
