// TRecordsBitmap: a growable set of record numbers, and TRecordsBitmapStack, a pool of them.
//
// Filters keep the records that pass them in a bitmap, cursors in record-number mode walk the
// bitmap of active records, and table objects keep the records they hold locked in bitmaps.
// Bit n stands for record number n (bit 0 is never used by records but is a valid bit).
//
// The set grows on demand to cover the highest bit set (in whole 64-bit words); reading a bit
// beyond the size reads 0. Besides the words it keeps the number of set bits of every block of
// 4096 bits and the total, so that counting, ranking (set bits before n), selecting (the n-th
// set bit) and searching for the next or previous set bit skip empty stretches instead of
// walking every word: the record-number operations of a cursor stay cheap on tables of
// millions of records.
//
// Invariant: FBlockCounts[b] is the number of set bits in words [b * 64, b * 64 + 64), and
// FCount their sum.
//
// Thread safety: none; a bitmap belongs to one cursor or table object, used by one thread at a
// time. The pool is likewise owned by one user.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace zorvic::engine {

class TRecordsBitmap {
 public:
  // Initial size of the bitmaps of table objects and cursors.
  static constexpr std::int64_t kInitialBits = 8192;
  static constexpr std::int64_t kNone = -1;

  explicit TRecordsBitmap(std::int64_t bits = kInitialBits);

  // Number of bits the set covers now (a multiple of 64).
  std::int64_t Size() const { return static_cast<std::int64_t>(FWords.size()) * 64; }
  // Grows (never shrinks) so that bit `bits - 1` exists.
  void EnsureSize(std::int64_t bits);

  // Setting grows the set; clearing or testing beyond it does nothing / reads false. Negative
  // bits are ignored.
  void Set(std::int64_t n);
  void Clear(std::int64_t n);
  bool Test(std::int64_t n) const;
  // Sets or clears a bit and reports whether it was set before.
  bool Assign(std::int64_t n, bool value);

  // Clears every bit (the size stays).
  void ClearAll();
  // Sets every bit in [first, last] (growing as needed).
  void SetRange(std::int64_t first, std::int64_t last);

  // Number of set bits.
  std::int64_t Count() const { return FCount; }
  bool Empty() const { return FCount == 0; }
  // The first set bit > n (n may be -1), or kNone.
  std::int64_t Next(std::int64_t n) const;
  // The last set bit < n (n may be beyond the size), or kNone.
  std::int64_t Prior(std::int64_t n) const;
  std::int64_t First() const { return Next(-1); }
  std::int64_t Last() const { return Prior(Size()); }
  // Number of set bits below n.
  std::int64_t Rank(std::int64_t n) const;
  // The k-th set bit (1-based), or kNone when fewer are set.
  std::int64_t Select(std::int64_t k) const;

  // In-place combinations; the result covers the larger of the two sizes.
  void And(const TRecordsBitmap& other);
  void Or(const TRecordsBitmap& other);
  // Removes the bits set in other.
  void AndNot(const TRecordsBitmap& other);
  // Complements the bits [first, last], leaving the others as they are.
  void Invert(std::int64_t first, std::int64_t last);

  bool operator==(const TRecordsBitmap& other) const;

  // Recounts everything and compares with the kept counts (tests).
  bool CheckCounts() const;

 private:
  static constexpr int kWordsPerBlock = 64;
  void RecountAll();
  void RecountBlock(std::size_t block);
  void AddCount(std::size_t word, int delta) {
    FBlockCounts[word / kWordsPerBlock] += delta;
    FCount += delta;
  }

  // Every set bit lies in the words [FLowWord, FHighWord] (bounds that may be loose; empty
  // when FLowWord > FHighWord): a search for the few bits of a small set starts and ends there.
  void NoteWord(std::size_t word) {
    if (word < FLowWord) FLowWord = word;
    if (word > FHighWord || FHighWord == kNoWord) FHighWord = word;
  }
  void NoteAllWords() {
    FLowWord = 0;
    FHighWord = FWords.empty() ? kNoWord : FWords.size() - 1;
  }
  static constexpr std::size_t kNoWord = static_cast<std::size_t>(-1);

  std::vector<std::uint64_t> FWords;
  std::vector<std::int32_t> FBlockCounts;
  std::int64_t FCount = 0;
  std::size_t FLowWord = kNoWord;
  std::size_t FHighWord = kNoWord;
};

// A pool of bitmaps for the temporary sets of filter evaluation: bitmaps given back are kept
// (cleared) for the next taker, up to a fixed number.
class TRecordsBitmapStack {
 public:
  static constexpr std::size_t kKeep = 16;

  // A cleared bitmap covering at least `bits` bits.
  std::unique_ptr<TRecordsBitmap> Take(std::int64_t bits);
  void Give(std::unique_ptr<TRecordsBitmap> bitmap);
  std::size_t Spare() const { return FSpare.size(); }

 private:
  std::vector<std::unique_ptr<TRecordsBitmap>> FSpare;
};

}  // namespace zorvic::engine
