// One page of an index B-tree, unpacked for work in memory.
//
// On disk a page is 4096 bytes: a 13-byte header (type, entry count, previous and next page on
// the same level, packed size) and the entries. Node entries are key + child page + number of
// keys below the child (the count is left out when the index keeps no subtree counts); leaf
// entries are key + record number, packed with the index's compression (duplicate leading
// bytes, trailing zero bytes, or both). In memory every entry sits in a fixed slot of
// KeySize + 10 bytes (key, record or child number, key count, d, t), so that binary search
// and shifting are plain moves; compression is applied only by Pack and undone by Unpack.
//
// Unpack never trusts the bytes it reads: entry counts, packed sizes, d and t bytes, page and
// child numbers and the type byte are checked, and a page that fails is reported as damaged
// instead of being used.
//
// Thread safety: a TPage belongs to one page cache of one TIndexFile and is used by one thread
// at a time under its table's locks.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/storage/formats/IndexFormat.h"
#include "engine/storage/formats/UnitCache.h"

namespace zorvic::engine {

enum TPageType : std::uint8_t {
  ptRootNode = 0,
  ptNode = 1,
  ptLeaf = 2,
  ptRootLeaf = 3,
  ptParams = 4,
};

// The settings of an index that decide how its pages are laid out.
struct TPageShape {
  std::uint16_t KeySize = 0;
  std::uint8_t Compression = icNone;
  bool Unique = true;     // false: the last 4 key bytes are the RowId suffix
  bool NoCounts = false;  // node entries carry no key counts
  bool Descending = false;

  static TPageShape Of(int slot, const TIndexDescriptor& d);
  // The same from the header's descriptor bytes, without unpacking the whole descriptor.
  static TPageShape Of(int slot, const TIndexHeader& header);
  // Entries an uncompressed page may hold.
  int MaxNodeEntries() const { return IndexPageEntryBytes / (KeySize + (NoCounts ? 4 : 8)); }
  int MaxLeafEntries() const { return IndexPageEntryBytes / (KeySize + 4); }
  bool operator==(const TPageShape&) const = default;
};

// A page as the unit of an index's page cache (UnitNo is the page number).
class TPage : public TCacheUnit {
 public:
  // Makes this an empty page of the given index: a leaf, not freed, no links. The cache fields
  // (modified, pins) are the cache's business.
  void Reset(int slot, std::int32_t pageNo, const TPageShape& shape);
  void ClearUnit() override { Clear(); }

  // Identity and state.
  std::int32_t PageNo = 0;
  int Slot = 0;
  TPageShape Shape;
  std::uint8_t Type = ptLeaf;
  std::int32_t Prev = 0;
  std::int32_t Next = 0;
  bool Freed = false;

  bool IsLeaf() const { return Type == ptLeaf || Type == ptRootLeaf; }
  bool IsRoot() const { return Type == ptRootNode || Type == ptRootLeaf; }
  bool IsCompressedLeaf() const { return IsLeaf() && Shape.Compression != icNone; }
  int Count() const { return count_; }
  int Stride() const { return Shape.KeySize + 10; }

  const std::uint8_t* Key(int i) const { return &entries_[Offset(i)]; }
  std::int32_t Value(int i) const { return GetI32(&entries_[Offset(i) + Shape.KeySize]); }
  std::int32_t SubtreeCount(int i) const {
    return GetI32(&entries_[Offset(i) + Shape.KeySize + 4]);
  }
  void SetKey(int i, const std::uint8_t* key);
  void SetValue(int i, std::int32_t v) { PutI32(&entries_[Offset(i) + Shape.KeySize], v); }
  void SetSubtreeCount(int i, std::int32_t v) {
    PutI32(&entries_[Offset(i) + Shape.KeySize + 4], v);
  }
  void Insert(int pos, const std::uint8_t* key, std::int32_t value, std::int32_t count = 0);
  void Remove(int pos);
  // Moves the last n entries of this page to the front of `right`.
  void MoveTailTo(TPage& right, int n);
  // Moves the first n entries of this page to the end of `left`.
  void MoveHeadTo(TPage& left, int n);
  void Clear();

  // Entries an uncompressed page of this level may hold.
  int MaxEntries() const { return IsLeaf() ? Shape.MaxLeafEntries() : Shape.MaxNodeEntries(); }
  // Bytes the entries take when packed (compressed leaves; other pages count fixed entries).
  int PackedSize() const;
  // True when the page cannot be written as it is and must be split.
  bool Overfull() const;
  // True when inserting `key` at `pos` would make the page overfull (nothing is changed).
  bool OverfullAfterInsert(int pos, const std::uint8_t* key) const;
  // Keys below this page: its entries (leaf) or the sum of its entries' counts (node).
  std::int64_t KeysBelow() const;
  // The d and t bytes of `key` packed after `prev` (nullptr: the first entry of a page).
  static void CompressionCounts(const TPageShape& shape, const std::uint8_t* prev,
                                const std::uint8_t* key, int* d, int* t);
  // Packed bytes of `key` after `prev` in a compressed leaf of this shape.
  static int PackedEntrySize(const TPageShape& shape, const std::uint8_t* prev,
                             const std::uint8_t* key);

  // Writes the 4096 on-disk bytes.
  void Pack(std::uint8_t* out) const;
  // Reads 4096 on-disk bytes into this page (Reset must have set slot, number and shape).
  // nextPageNo bounds every page number met. Returns false for a damaged page. A page read
  // with 0 entries is a free page (Freed).
  bool Unpack(const std::uint8_t* in, std::int32_t nextPageNo);

  // The raw 4083 bytes of a parameter page (type 4).
  std::vector<std::uint8_t> Params;

 private:
  std::size_t Offset(int i) const { return static_cast<std::size_t>(i) * Stride(); }
  // Packed bytes of entry i from the d and t kept in its slot (compressed leaves).
  int StoredSize(int i) const;
  // Recomputes entry i's d and t from its predecessor and keeps packed_ in step.
  // Invariant: packed_ is the sum of StoredSize over all entries of a compressed leaf.
  void RefreshCounts(int i);

  std::vector<std::uint8_t> entries_;
  int count_ = 0;
  int packed_ = 0;  // compressed leaves: packed bytes of all entries
};

}  // namespace zorvic::engine
