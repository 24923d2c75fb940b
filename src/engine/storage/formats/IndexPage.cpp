#include "engine/storage/formats/IndexPage.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace zorvic::engine {

namespace {

// Entry header bytes of a compressed leaf: d, t or both.
int CountBytes(std::uint8_t compression) {
  return compression == icFull ? 2 : 1;
}

}  // namespace

TPageShape TPageShape::Of(int slot, const TIndexDescriptor& d) {
  TPageShape s;
  s.KeySize = d.KeySize;
  s.Compression = d.Compression;
  // The primary index and "Sys Deleted" hold unique keys whatever the byte says.
  s.Unique = d.Unique || slot == PrimaryIndexSlot || slot == SysDeletedSlot;
  s.NoCounts = d.NoSubtreeCounts || slot == SysTextSlot;
  s.Descending = d.Descending;
  return s;
}

TPageShape TPageShape::Of(int slot, const TIndexHeader& header) {
  const std::uint8_t* p = header.DescriptorBytes(slot);
  TPageShape s;
  s.KeySize = GetU16(p + idxdesc::kKeySize);
  s.Compression = p[idxdesc::kCompression];
  s.Unique = p[idxdesc::kUnique] != 0 || slot == PrimaryIndexSlot || slot == SysDeletedSlot;
  s.NoCounts = p[idxdesc::kNoSubtreeCounts] != 0 || slot == SysTextSlot;
  s.Descending = p[idxdesc::kDescending] != 0;
  return s;
}

void TPage::Reset(int slot, std::int32_t pageNo, const TPageShape& shape) {
  PageNo = pageNo;
  Slot = slot;
  Shape = shape;
  Type = ptLeaf;
  Prev = 0;
  Next = 0;
  Freed = false;
  Params.clear();
  Clear();
}

void TPage::Clear() {
  entries_.clear();
  count_ = 0;
  packed_ = 0;
}

void TPage::SetKey(int i, const std::uint8_t* key) {
  std::memcpy(&entries_[Offset(i)], key, Shape.KeySize);
  if (IsCompressedLeaf()) {
    RefreshCounts(i);
    if (i + 1 < count_) RefreshCounts(i + 1);
  }
}

void TPage::Insert(int pos, const std::uint8_t* key, std::int32_t value, std::int32_t count) {
  assert(pos >= 0 && pos <= count_);
  // Grown by half, not doubled: a large transaction keeps all its pages unpacked, most of
  // them between half full (just split) and full.
  const std::size_t need = entries_.size() + static_cast<std::size_t>(Stride());
  if (need > entries_.capacity()) entries_.reserve(std::max(need, entries_.size() * 3 / 2));
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(Offset(pos)), Stride(), 0);
  ++count_;
  std::memcpy(&entries_[Offset(pos)], key, Shape.KeySize);
  SetValue(pos, value);
  SetSubtreeCount(pos, count);
  if (IsCompressedLeaf()) {
    packed_ += StoredSize(pos);  // counted with d = t = 0, then refreshed
    RefreshCounts(pos);
    if (pos + 1 < count_) RefreshCounts(pos + 1);
  }
}

void TPage::Remove(int pos) {
  assert(pos >= 0 && pos < count_);
  if (IsCompressedLeaf()) packed_ -= StoredSize(pos);
  auto first = entries_.begin() + static_cast<std::ptrdiff_t>(Offset(pos));
  entries_.erase(first, first + Stride());
  --count_;
  if (IsCompressedLeaf() && pos < count_) RefreshCounts(pos);
}

void TPage::MoveTailTo(TPage& right, int n) {
  assert(n >= 0 && n <= count_);
  if (n == 0) return;
  int moved = 0;
  if (IsCompressedLeaf()) {
    for (int i = count_ - n; i < count_; ++i)
      moved += StoredSize(i);
  }
  auto from = entries_.begin() + static_cast<std::ptrdiff_t>(Offset(count_ - n));
  right.entries_.insert(right.entries_.begin(), from, entries_.end());
  entries_.erase(from, entries_.end());
  // A page split in half gives back the room of the half it lost.
  if (entries_.capacity() > 2 * entries_.size()) entries_.shrink_to_fit();
  count_ -= n;
  right.count_ += n;
  packed_ -= moved;
  right.packed_ += moved;
  if (right.IsCompressedLeaf()) {
    // Only the first moved entry and right's old first entry have new predecessors.
    right.RefreshCounts(0);
    if (n < right.count_) right.RefreshCounts(n);
  }
}

void TPage::MoveHeadTo(TPage& left, int n) {
  assert(n >= 0 && n <= count_);
  if (n == 0) return;
  int moved = 0;
  if (IsCompressedLeaf()) {
    for (int i = 0; i < n; ++i)
      moved += StoredSize(i);
  }
  int oldLeftCount = left.count_;
  auto to = entries_.begin() + static_cast<std::ptrdiff_t>(Offset(n));
  left.entries_.insert(left.entries_.end(), entries_.begin(), to);
  entries_.erase(entries_.begin(), to);
  count_ -= n;
  left.count_ += n;
  packed_ -= moved;
  left.packed_ += moved;
  if (IsCompressedLeaf()) {
    left.RefreshCounts(oldLeftCount);
    if (count_ > 0) RefreshCounts(0);
  }
}

void TPage::CompressionCounts(const TPageShape& shape, const std::uint8_t* prev,
                              const std::uint8_t* key, int* d, int* t) {
  const int k = shape.KeySize;
  int dup = 0;
  if (prev != nullptr && shape.Compression != icTrailingBytes) {
    int limit = std::min(k, MaxCompressedRun);
    while (dup < limit && prev[dup] == key[dup])
      ++dup;
  }
  // Trailing zeros are looked for in [begin, end): after d, before the RowId suffix.
  int begin = dup;
  int end = k;
  int trail = 0;
  if (shape.Compression != icDuplicateBytes) {
    if (!shape.Unique) {
      end = k - RowIdSuffixSize;
      if (k - dup < RowIdSuffixSize + 1) end = begin;  // fewer than 5 bytes after d
    }
    while (end - trail > begin && trail < MaxCompressedRun && key[end - trail - 1] == 0)
      ++trail;
  }
  *d = dup;
  *t = trail;
}

int TPage::PackedEntrySize(const TPageShape& shape, const std::uint8_t* prev,
                           const std::uint8_t* key) {
  int d = 0;
  int t = 0;
  CompressionCounts(shape, prev, key, &d, &t);
  return CountBytes(shape.Compression) + (shape.KeySize - d - t) + 4;
}

int TPage::StoredSize(int i) const {
  const std::uint8_t* slot = &entries_[Offset(i)] + Shape.KeySize + 8;
  return CountBytes(Shape.Compression) + (Shape.KeySize - slot[0] - slot[1]) + 4;
}

void TPage::RefreshCounts(int i) {
  int old = StoredSize(i);
  int d = 0;
  int t = 0;
  CompressionCounts(Shape, i > 0 ? Key(i - 1) : nullptr, Key(i), &d, &t);
  std::uint8_t* slot = &entries_[Offset(i)] + Shape.KeySize + 8;
  slot[0] = static_cast<std::uint8_t>(d);
  slot[1] = static_cast<std::uint8_t>(t);
  packed_ += StoredSize(i) - old;
}

bool TPage::OverfullAfterInsert(int pos, const std::uint8_t* key) const {
  if (!IsCompressedLeaf()) return count_ + 1 > MaxEntries();
  const std::uint8_t* prev = pos > 0 ? Key(pos - 1) : nullptr;
  int size = packed_ + PackedEntrySize(Shape, prev, key);
  if (pos < count_) size += PackedEntrySize(Shape, key, Key(pos)) - StoredSize(pos);
  return size > IndexPageEntryBytes;
}

int TPage::PackedSize() const {
  if (IsCompressedLeaf()) return packed_;
  int entryBytes = IsLeaf() ? Shape.KeySize + 4 : Shape.KeySize + (Shape.NoCounts ? 4 : 8);
  return count_ * entryBytes;
}

bool TPage::Overfull() const {
  if (IsCompressedLeaf()) return packed_ > IndexPageEntryBytes;
  return count_ > MaxEntries();
}

std::int64_t TPage::KeysBelow() const {
  if (IsLeaf()) return count_;
  std::int64_t sum = 0;
  for (int i = 0; i < count_; ++i)
    sum += SubtreeCount(i);
  return sum;
}

void TPage::Pack(std::uint8_t* out) const {
  std::memset(out, 0, IndexPageSize);
  out[0] = Type;
  PutU16(out + 1, Freed ? 0 : static_cast<std::uint16_t>(count_));
  PutI32(out + 3, Prev);
  PutI32(out + 7, Next);
  if (Freed) return;
  std::uint8_t* p = out + IndexPageHeaderSize;
  const int k = Shape.KeySize;
  if (Type == ptParams) {
    std::memcpy(p, Params.data(), std::min<std::size_t>(Params.size(), IndexPageEntryBytes));
    return;
  }
  if (!IsLeaf()) {
    for (int i = 0; i < count_; ++i) {
      std::memcpy(p, Key(i), k + (Shape.NoCounts ? 4 : 8));
      p += k + (Shape.NoCounts ? 4 : 8);
    }
    return;
  }
  if (Shape.Compression == icNone) {
    for (int i = 0; i < count_; ++i) {
      std::memcpy(p, Key(i), k + 4);
      p += k + 4;
    }
    return;
  }
  assert(packed_ <= IndexPageEntryBytes);
  PutU16(out + 11, static_cast<std::uint16_t>(packed_));
  for (int i = 0; i < count_; ++i) {
    const std::uint8_t* key = Key(i);
    int d = key[k + 8];
    int t = key[k + 9];
    if (Shape.Compression != icTrailingBytes) *p++ = static_cast<std::uint8_t>(d);
    if (Shape.Compression != icDuplicateBytes) *p++ = static_cast<std::uint8_t>(t);
    // The key bytes d..K-1 with the t zero bytes before the suffix (or at the end) left out.
    int suffix = (!Shape.Unique && t > 0) ? RowIdSuffixSize : 0;
    int body = k - d - t - suffix;
    std::memcpy(p, key + d, body);
    p += body;
    std::memcpy(p, key + k - suffix, suffix);
    p += suffix;
    std::memcpy(p, key + k, 4);
    p += 4;
  }
}

bool TPage::Unpack(const std::uint8_t* in, std::int32_t nextPageNo) {
  Clear();
  Params.clear();
  Freed = false;
  Type = in[0];
  int count = GetU16(in + 1);
  Prev = GetI32(in + 3);
  Next = GetI32(in + 7);
  int packed = GetU16(in + 11);
  auto pageOk = [&](std::int32_t n) { return n >= 0 && n < nextPageNo; };
  if (Type > ptParams || !pageOk(Prev) || !pageOk(Next)) return false;
  const std::uint8_t* p = in + IndexPageHeaderSize;
  const std::uint8_t* end = p + IndexPageEntryBytes;
  const int k = Shape.KeySize;
  if (k <= 0 || k > MaxKeySize) return false;
  if (Type == ptParams) {
    Params.assign(p, end);
    return true;
  }
  if (!IsLeaf() || Shape.Compression == icNone) {
    int entryBytes = IsLeaf() ? k + 4 : k + (Shape.NoCounts ? 4 : 8);
    if (packed != 0 || count > MaxEntries()) return false;
    entries_.assign(static_cast<std::size_t>(count) * Stride(), 0);
    count_ = count;
    for (int i = 0; i < count; ++i, p += entryBytes) {
      std::memcpy(&entries_[Offset(i)], p, entryBytes);
      std::int32_t value = Value(i);
      if (IsLeaf() ? value <= 0 : (value <= 0 || value >= nextPageNo)) return false;
      if (!IsLeaf() && !Shape.NoCounts && SubtreeCount(i) < 0) return false;
    }
    Freed = count_ == 0;
    return true;
  }
  // Compressed leaf: walk the packed bytes, never past the page or the stated packed size.
  if (packed > IndexPageEntryBytes) return false;
  const int minEntry = Shape.Compression == icFull ? 6 : 5;
  if (count > IndexPageEntryBytes / minEntry) return false;
  end = p + packed;
  const int suffixBytes = Shape.Unique ? 0 : RowIdSuffixSize;
  const int countBytes = CountBytes(Shape.Compression);
  entries_.assign(static_cast<std::size_t>(count) * Stride(), 0);
  for (int i = 0; i < count; ++i) {
    if (end - p < countBytes) return false;
    int d = 0;
    int t = 0;
    if (Shape.Compression != icTrailingBytes) d = *p++;
    if (Shape.Compression != icDuplicateBytes) t = *p++;
    if (d > MaxCompressedRun || t > MaxCompressedRun || d > k) return false;
    if (i == 0 && d != 0) return false;
    std::uint8_t* key = &entries_[Offset(i)];
    if (d > 0) std::memcpy(key, key - Stride(), d);
    int suffix = 0;
    if (t > 0) {
      // Trailing zeros sit before the suffix of a non-unique key, or at the very end.
      if (!Shape.Unique && k - d < RowIdSuffixSize + 1) return false;
      suffix = suffixBytes;
      if (t > k - d - suffix) return false;
    }
    int body = k - d - t - suffix;
    if (end - p < body + suffix + 4) return false;
    std::memcpy(key + d, p, body);
    p += body;
    std::memcpy(key + k - suffix, p, suffix);
    p += suffix;
    std::memcpy(key + k, p, 4);
    p += 4;
    if (GetI32(key + k) <= 0) return false;
    key[k + 8] = static_cast<std::uint8_t>(d);
    key[k + 9] = static_cast<std::uint8_t>(t);
    count_ = i + 1;
  }
  if (p != end) return false;
  packed_ = packed;
  Freed = count_ == 0;
  return true;
}

}  // namespace zorvic::engine
