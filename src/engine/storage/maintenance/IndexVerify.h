// Structural checks of an index file's trees, for `zorvic-table verify` and for tests.
//
// CheckIndexTree walks one index from its root and reports, as text, everything that breaks the
// tree's rules: page types, entry counts, key order inside and across pages, node keys that
// differ from their child's first key, subtree counts that differ from the keys below, leaves
// at different depths, broken sibling links, pages reached twice, and free-list pages that are
// not free or loop. CheckIndexFile does this for every index of a file and also reports pages
// claimed by two indexes. CheckIndexRecords compares an index with the table's records: every
// active record must have exactly the key its fields imply, and nothing else may be there.
//
// The checks never raise for damage they find: a page that cannot be read or unpacked is
// reported and its subtree skipped. Read errors of the file layer still raise.
//
// Thread safety: used by one thread under the table's read lock, like the tree itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/storage/formats/BTree.h"

namespace zorvic::engine {

struct TTreeCheck {
  int Slot = 0;
  std::string IndexName;
  std::int64_t Keys = 0;  // leaf entries found
  int Height = 0;         // levels from the root to the leaves (0: empty)
  std::int64_t NodePages = 0;
  std::int64_t LeafPages = 0;
  std::int64_t FreePages = 0;  // on the index's free list
  std::int64_t UsedBytes = 0;  // packed entry bytes of the tree's pages
  std::vector<std::string> Problems;

  // Share of the tree pages' entry space that holds entries (0..1).
  double FillFactor() const;
  bool Ok() const { return Problems.empty(); }
};

// Which index (slot) claimed each page of a file while checking; -1 none.
using TPageOwners = std::vector<int>;

// Checks one index. `owners`, when given (sized NextPageNo), records the pages this index uses
// and reports pages another index already claimed.
TTreeCheck CheckIndexTree(TIndexPageStore& store, int slot, const TKeyCompare& compare,
                          TPageOwners* owners = nullptr);

struct TIndexFileCheck {
  std::vector<TTreeCheck> Trees;
  std::int64_t UnownedPages = 0;      // pages of no tree or free list (left by deleted indexes)
  std::vector<std::string> Problems;  // header-level problems
  bool Ok() const;
};

// Checks every index in use of the file; `compareOf(slot)` gives each index's comparison.
TIndexFileCheck CheckIndexFile(TIndexPageStore& store,
                               const std::function<const TKeyCompare&(int slot)>& compareOf);

// The records of a table as the index checks and the rebuild read them.
class TRecordSource {
 public:
  virtual ~TRecordSource() = default;
  // Record slots in the data file (NextRecordNo - 1).
  virtual std::int32_t SlotCount() = 0;
  // The bytes of record slot n (1-based); valid until the next call.
  virtual const std::uint8_t* Record(std::int32_t recordNo) = 0;
};

// Checks that an index holds exactly the keys of the active records (every slot for
// "Sys Deleted": status byte + RowId). Problems are appended to `check`.
void CheckIndexRecords(TIndexPageStore& store, int slot, const TKeyCompare& compare,
                       const TKeyBuilder* builder, TRecordSource& records, TTreeCheck& check);

}  // namespace zorvic::engine
