#include "engine/storage/formats/RecordsBitmap.h"

#include <algorithm>
#include <bit>

namespace zorvic::engine {
namespace {

std::size_t WordsFor(std::int64_t bits) {
  return bits <= 0 ? 0 : static_cast<std::size_t>((bits + 63) / 64);
}

// Mask of the bits [lo, hi] of one word (0 <= lo <= hi <= 63).
std::uint64_t MaskOf(int lo, int hi) {
  const std::uint64_t upper = hi == 63 ? ~0ULL : ((1ULL << (hi + 1)) - 1);
  return upper & ~((1ULL << lo) - 1);
}

}  // namespace

TRecordsBitmap::TRecordsBitmap(std::int64_t bits) {
  EnsureSize(bits);
}

void TRecordsBitmap::EnsureSize(std::int64_t bits) {
  const std::size_t words = WordsFor(bits);
  if (words <= FWords.size()) return;
  // Grow by at least half again, so that setting ascending bits one by one stays linear.
  const std::size_t target = std::max(words, FWords.size() + FWords.size() / 2);
  FWords.resize(target, 0);
  FBlockCounts.resize((target + kWordsPerBlock - 1) / kWordsPerBlock, 0);
}

void TRecordsBitmap::Set(std::int64_t n) {
  if (n < 0) return;
  EnsureSize(n + 1);
  std::uint64_t& w = FWords[static_cast<std::size_t>(n / 64)];
  const std::uint64_t bit = 1ULL << (n % 64);
  if (!(w & bit)) {
    w |= bit;
    AddCount(static_cast<std::size_t>(n / 64), 1);
    NoteWord(static_cast<std::size_t>(n / 64));
  }
}

void TRecordsBitmap::Clear(std::int64_t n) {
  if (n < 0 || n >= Size()) return;
  std::uint64_t& w = FWords[static_cast<std::size_t>(n / 64)];
  const std::uint64_t bit = 1ULL << (n % 64);
  if (w & bit) {
    w &= ~bit;
    AddCount(static_cast<std::size_t>(n / 64), -1);
  }
}

bool TRecordsBitmap::Test(std::int64_t n) const {
  if (n < 0 || n >= Size()) return false;
  return (FWords[static_cast<std::size_t>(n / 64)] >> (n % 64)) & 1ULL;
}

bool TRecordsBitmap::Assign(std::int64_t n, bool value) {
  const bool was = Test(n);
  if (value)
    Set(n);
  else
    Clear(n);
  return was;
}

void TRecordsBitmap::ClearAll() {
  // Only blocks that count set bits hold any: a sparse set clears in time of its blocks.
  if (FCount == 0) return;
  for (std::size_t block = 0; block < FBlockCounts.size(); ++block) {
    if (FBlockCounts[block] == 0) continue;
    const std::size_t first = block * kWordsPerBlock;
    const std::size_t last = std::min(FWords.size(), first + kWordsPerBlock);
    std::fill(FWords.begin() + static_cast<std::ptrdiff_t>(first),
              FWords.begin() + static_cast<std::ptrdiff_t>(last), 0);
    FBlockCounts[block] = 0;
  }
  FCount = 0;
  FLowWord = FHighWord = kNoWord;
}

void TRecordsBitmap::SetRange(std::int64_t first, std::int64_t last) {
  first = std::max<std::int64_t>(first, 0);
  if (last < first) return;
  EnsureSize(last + 1);
  NoteWord(static_cast<std::size_t>(first / 64));
  NoteWord(static_cast<std::size_t>(last / 64));
  for (std::int64_t w = first / 64; w <= last / 64; ++w) {
    const int lo = w == first / 64 ? static_cast<int>(first % 64) : 0;
    const int hi = w == last / 64 ? static_cast<int>(last % 64) : 63;
    std::uint64_t& word = FWords[static_cast<std::size_t>(w)];
    const std::uint64_t before = word;
    word |= MaskOf(lo, hi);
    AddCount(static_cast<std::size_t>(w), std::popcount(word) - std::popcount(before));
  }
}

std::int64_t TRecordsBitmap::Next(std::int64_t n) const {
  std::int64_t from = n + 1;
  if (from < 0) from = 0;
  if (FCount == 0 || FLowWord > FHighWord) return kNone;
  if (from < static_cast<std::int64_t>(FLowWord) * 64)
    from = static_cast<std::int64_t>(FLowWord) * 64;
  if (from >= Size()) return kNone;
  std::size_t w = static_cast<std::size_t>(from / 64);
  std::uint64_t word = FWords[w] & (~0ULL << (from % 64));
  while (true) {
    if (word) return static_cast<std::int64_t>(w) * 64 + std::countr_zero(word);
    ++w;
    if (w > FHighWord) return kNone;
    // Skip the rest of an empty block, then whole empty blocks.
    if (w % kWordsPerBlock != 0 && w < FWords.size() && FBlockCounts[w / kWordsPerBlock] == 0)
      w += kWordsPerBlock - w % kWordsPerBlock;
    while (w < FWords.size() && FBlockCounts[w / kWordsPerBlock] == 0)
      w += kWordsPerBlock;
    if (w >= FWords.size()) return kNone;
    word = FWords[w];
  }
}

std::int64_t TRecordsBitmap::Prior(std::int64_t n) const {
  std::int64_t from = std::min<std::int64_t>(n - 1, Size() - 1);
  if (FCount == 0 || FLowWord > FHighWord) return kNone;
  from = std::min<std::int64_t>(from, static_cast<std::int64_t>(FHighWord) * 64 + 63);
  if (from < 0) return kNone;
  std::int64_t w = from / 64;
  const int top = static_cast<int>(from % 64);
  std::uint64_t word = FWords[static_cast<std::size_t>(w)] & MaskOf(0, top);
  while (true) {
    if (word) return w * 64 + 63 - std::countl_zero(word);
    --w;
    if (w < static_cast<std::int64_t>(FLowWord)) return kNone;
    if (w >= 0 && FBlockCounts[static_cast<std::size_t>(w / kWordsPerBlock)] == 0)
      w -= w % kWordsPerBlock + 1;
    while (w >= 0 && FBlockCounts[static_cast<std::size_t>(w / kWordsPerBlock)] == 0)
      w -= kWordsPerBlock;
    if (w < 0) return kNone;
    word = FWords[static_cast<std::size_t>(w)];
  }
}

std::int64_t TRecordsBitmap::Rank(std::int64_t n) const {
  if (n <= 0) return 0;
  if (n >= Size()) return FCount;
  const std::size_t word = static_cast<std::size_t>(n / 64);
  const std::size_t block = word / kWordsPerBlock;
  std::int64_t rank = 0;
  for (std::size_t b = 0; b < block; ++b)
    rank += FBlockCounts[b];
  for (std::size_t w = block * kWordsPerBlock; w < word; ++w)
    rank += std::popcount(FWords[w]);
  const int bit = static_cast<int>(n % 64);
  if (bit > 0) rank += std::popcount(FWords[word] & MaskOf(0, bit - 1));
  return rank;
}

std::int64_t TRecordsBitmap::Select(std::int64_t k) const {
  if (k < 1 || k > FCount) return kNone;
  std::int64_t remaining = k;
  std::size_t block = 0;
  while (block < FBlockCounts.size() && remaining > FBlockCounts[block]) {
    remaining -= FBlockCounts[block];
    ++block;
  }
  for (std::size_t w = block * kWordsPerBlock; w < FWords.size(); ++w) {
    std::uint64_t word = FWords[w];
    const int pop = std::popcount(word);
    if (remaining > pop) {
      remaining -= pop;
      continue;
    }
    while (--remaining > 0)
      word &= word - 1;  // drop the lowest set bit
    return static_cast<std::int64_t>(w) * 64 + std::countr_zero(word);
  }
  return kNone;  // unreachable while the counts are right
}

void TRecordsBitmap::And(const TRecordsBitmap& other) {
  for (std::size_t w = 0; w < FWords.size(); ++w)
    FWords[w] &= w < other.FWords.size() ? other.FWords[w] : 0;
  EnsureSize(other.Size());
  RecountAll();
  NoteAllWords();
}

void TRecordsBitmap::Or(const TRecordsBitmap& other) {
  EnsureSize(other.Size());
  for (std::size_t w = 0; w < other.FWords.size(); ++w)
    FWords[w] |= other.FWords[w];
  RecountAll();
  NoteAllWords();
}

void TRecordsBitmap::AndNot(const TRecordsBitmap& other) {
  const std::size_t n = std::min(FWords.size(), other.FWords.size());
  for (std::size_t w = 0; w < n; ++w)
    FWords[w] &= ~other.FWords[w];
  EnsureSize(other.Size());
  RecountAll();
  NoteAllWords();
}

void TRecordsBitmap::Invert(std::int64_t first, std::int64_t last) {
  first = std::max<std::int64_t>(first, 0);
  if (last < first) return;
  EnsureSize(last + 1);
  for (std::int64_t w = first / 64; w <= last / 64; ++w) {
    const int lo = w == first / 64 ? static_cast<int>(first % 64) : 0;
    const int hi = w == last / 64 ? static_cast<int>(last % 64) : 63;
    FWords[static_cast<std::size_t>(w)] ^= MaskOf(lo, hi);
  }
  for (std::size_t b = static_cast<std::size_t>(first / 64 / kWordsPerBlock);
       b <= static_cast<std::size_t>(last / 64 / kWordsPerBlock); ++b)
    RecountBlock(b);
  NoteWord(static_cast<std::size_t>(first / 64));
  NoteWord(static_cast<std::size_t>(last / 64));
}

bool TRecordsBitmap::operator==(const TRecordsBitmap& other) const {
  if (FCount != other.FCount) return false;
  const std::size_t n = std::max(FWords.size(), other.FWords.size());
  for (std::size_t w = 0; w < n; ++w) {
    const std::uint64_t a = w < FWords.size() ? FWords[w] : 0;
    const std::uint64_t b = w < other.FWords.size() ? other.FWords[w] : 0;
    if (a != b) return false;
  }
  return true;
}

void TRecordsBitmap::RecountBlock(std::size_t block) {
  const std::int32_t old = FBlockCounts[block];
  std::int32_t count = 0;
  const std::size_t end = std::min(FWords.size(), (block + 1) * kWordsPerBlock);
  for (std::size_t w = block * kWordsPerBlock; w < end; ++w)
    count += std::popcount(FWords[w]);
  FBlockCounts[block] = count;
  FCount += count - old;
}

void TRecordsBitmap::RecountAll() {
  FCount = 0;
  for (std::size_t b = 0; b < FBlockCounts.size(); ++b) {
    FBlockCounts[b] = 0;
    RecountBlock(b);
  }
}

bool TRecordsBitmap::CheckCounts() const {
  std::int64_t total = 0;
  for (std::size_t b = 0; b < FBlockCounts.size(); ++b) {
    std::int32_t count = 0;
    const std::size_t end = std::min(FWords.size(), (b + 1) * kWordsPerBlock);
    for (std::size_t w = b * kWordsPerBlock; w < end; ++w)
      count += std::popcount(FWords[w]);
    if (count != FBlockCounts[b]) return false;
    total += count;
  }
  // No set bit outside the words the bounds name.
  for (std::size_t w = 0; w < FWords.size(); ++w)
    if (FWords[w] != 0 && (w < FLowWord || w > FHighWord || FLowWord == kNoWord)) return false;
  return total == FCount && FBlockCounts.size() * kWordsPerBlock >= FWords.size();
}

std::unique_ptr<TRecordsBitmap> TRecordsBitmapStack::Take(std::int64_t bits) {
  if (FSpare.empty()) return std::make_unique<TRecordsBitmap>(bits);
  std::unique_ptr<TRecordsBitmap> b = std::move(FSpare.back());
  FSpare.pop_back();
  b->EnsureSize(bits);
  return b;
}

void TRecordsBitmapStack::Give(std::unique_ptr<TRecordsBitmap> bitmap) {
  if (!bitmap || FSpare.size() >= kKeep) return;
  bitmap->ClearAll();
  FSpare.push_back(std::move(bitmap));
}

}  // namespace zorvic::engine
