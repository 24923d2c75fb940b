#include "crypto/DES.h"

#include <cstddef>

namespace zorvic {
namespace {

// The tables below are written exactly as the standard prints them: entry i names the
// 1-based input bit (1 = most significant) that becomes output bit i + 1.

// clang-format off
constexpr std::array<std::uint8_t, 64> kInitialPermutation = {
    58, 50, 42, 34, 26, 18, 10,  2,
    60, 52, 44, 36, 28, 20, 12,  4,
    62, 54, 46, 38, 30, 22, 14,  6,
    64, 56, 48, 40, 32, 24, 16,  8,
    57, 49, 41, 33, 25, 17,  9,  1,
    59, 51, 43, 35, 27, 19, 11,  3,
    61, 53, 45, 37, 29, 21, 13,  5,
    63, 55, 47, 39, 31, 23, 15,  7};

constexpr std::array<std::uint8_t, 64> kFinalPermutation = {
    40,  8, 48, 16, 56, 24, 64, 32,
    39,  7, 47, 15, 55, 23, 63, 31,
    38,  6, 46, 14, 54, 22, 62, 30,
    37,  5, 45, 13, 53, 21, 61, 29,
    36,  4, 44, 12, 52, 20, 60, 28,
    35,  3, 43, 11, 51, 19, 59, 27,
    34,  2, 42, 10, 50, 18, 58, 26,
    33,  1, 41,  9, 49, 17, 57, 25};

constexpr std::array<std::uint8_t, 48> kExpansion = {
    32,  1,  2,  3,  4,  5,
     4,  5,  6,  7,  8,  9,
     8,  9, 10, 11, 12, 13,
    12, 13, 14, 15, 16, 17,
    16, 17, 18, 19, 20, 21,
    20, 21, 22, 23, 24, 25,
    24, 25, 26, 27, 28, 29,
    28, 29, 30, 31, 32,  1};

constexpr std::array<std::uint8_t, 32> kRoundPermutation = {
    16,  7, 20, 21,
    29, 12, 28, 17,
     1, 15, 23, 26,
     5, 18, 31, 10,
     2,  8, 24, 14,
    32, 27,  3,  9,
    19, 13, 30,  6,
    22, 11,  4, 25};

// Eight boxes of four rows by sixteen columns.
constexpr std::uint8_t kSubstitution[8][64] = {
    {14,  4, 13,  1,  2, 15, 11,  8,  3, 10,  6, 12,  5,  9,  0,  7,
      0, 15,  7,  4, 14,  2, 13,  1, 10,  6, 12, 11,  9,  5,  3,  8,
      4,  1, 14,  8, 13,  6,  2, 11, 15, 12,  9,  7,  3, 10,  5,  0,
     15, 12,  8,  2,  4,  9,  1,  7,  5, 11,  3, 14, 10,  0,  6, 13},
    {15,  1,  8, 14,  6, 11,  3,  4,  9,  7,  2, 13, 12,  0,  5, 10,
      3, 13,  4,  7, 15,  2,  8, 14, 12,  0,  1, 10,  6,  9, 11,  5,
      0, 14,  7, 11, 10,  4, 13,  1,  5,  8, 12,  6,  9,  3,  2, 15,
     13,  8, 10,  1,  3, 15,  4,  2, 11,  6,  7, 12,  0,  5, 14,  9},
    {10,  0,  9, 14,  6,  3, 15,  5,  1, 13, 12,  7, 11,  4,  2,  8,
     13,  7,  0,  9,  3,  4,  6, 10,  2,  8,  5, 14, 12, 11, 15,  1,
     13,  6,  4,  9,  8, 15,  3,  0, 11,  1,  2, 12,  5, 10, 14,  7,
      1, 10, 13,  0,  6,  9,  8,  7,  4, 15, 14,  3, 11,  5,  2, 12},
    { 7, 13, 14,  3,  0,  6,  9, 10,  1,  2,  8,  5, 11, 12,  4, 15,
     13,  8, 11,  5,  6, 15,  0,  3,  4,  7,  2, 12,  1, 10, 14,  9,
     10,  6,  9,  0, 12, 11,  7, 13, 15,  1,  3, 14,  5,  2,  8,  4,
      3, 15,  0,  6, 10,  1, 13,  8,  9,  4,  5, 11, 12,  7,  2, 14},
    { 2, 12,  4,  1,  7, 10, 11,  6,  8,  5,  3, 15, 13,  0, 14,  9,
     14, 11,  2, 12,  4,  7, 13,  1,  5,  0, 15, 10,  3,  9,  8,  6,
      4,  2,  1, 11, 10, 13,  7,  8, 15,  9, 12,  5,  6,  3,  0, 14,
     11,  8, 12,  7,  1, 14,  2, 13,  6, 15,  0,  9, 10,  4,  5,  3},
    {12,  1, 10, 15,  9,  2,  6,  8,  0, 13,  3,  4, 14,  7,  5, 11,
     10, 15,  4,  2,  7, 12,  9,  5,  6,  1, 13, 14,  0, 11,  3,  8,
      9, 14, 15,  5,  2,  8, 12,  3,  7,  0,  4, 10,  1, 13, 11,  6,
      4,  3,  2, 12,  9,  5, 15, 10, 11, 14,  1,  7,  6,  0,  8, 13},
    { 4, 11,  2, 14, 15,  0,  8, 13,  3, 12,  9,  7,  5, 10,  6,  1,
     13,  0, 11,  7,  4,  9,  1, 10, 14,  3,  5, 12,  2, 15,  8,  6,
      1,  4, 11, 13, 12,  3,  7, 14, 10, 15,  6,  8,  0,  5,  9,  2,
      6, 11, 13,  8,  1,  4, 10,  7,  9,  5,  0, 15, 14,  2,  3, 12},
    {13,  2,  8,  4,  6, 15, 11,  1, 10,  9,  3, 14,  5,  0, 12,  7,
      1, 15, 13,  8, 10,  3,  7,  4, 12,  5,  6, 11,  0, 14,  9,  2,
      7, 11,  4,  1,  9, 12, 14,  2,  0,  6, 10, 13, 15,  3,  5,  8,
      2,  1, 14,  7,  4, 10,  8, 13, 15, 12,  9,  0,  3,  5,  6, 11}};

constexpr std::array<std::uint8_t, 56> kPermutedChoice1 = {
    57, 49, 41, 33, 25, 17,  9,
     1, 58, 50, 42, 34, 26, 18,
    10,  2, 59, 51, 43, 35, 27,
    19, 11,  3, 60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15,
     7, 62, 54, 46, 38, 30, 22,
    14,  6, 61, 53, 45, 37, 29,
    21, 13,  5, 28, 20, 12,  4};

constexpr std::array<std::uint8_t, 48> kPermutedChoice2 = {
    14, 17, 11, 24,  1,  5,
     3, 28, 15,  6, 21, 10,
    23, 19, 12,  4, 26,  8,
    16,  7, 27, 20, 13,  2,
    41, 52, 31, 37, 47, 55,
    30, 40, 51, 45, 33, 48,
    44, 49, 39, 56, 34, 53,
    46, 42, 50, 36, 29, 32};

constexpr std::array<std::uint8_t, kDESRounds> kKeyShifts = {
    1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
// clang-format on

// Bit by bit, straight from a table; used to build the lookup tables below.
template <std::size_t N>
constexpr std::uint64_t PermuteBits(std::uint64_t in, unsigned in_bits,
                                    const std::array<std::uint8_t, N>& table) {
  std::uint64_t out = 0;
  for (std::size_t i = 0; i < N; ++i)
    out = (out << 1) | ((in >> (in_bits - table[i])) & 1u);
  return out;
}

// A permutation of an InBytes-byte input as one lookup per input byte.
template <std::size_t InBytes>
struct TBytePermutation {
  std::array<std::array<std::uint64_t, 256>, InBytes> parts{};

  constexpr std::uint64_t Apply(std::uint64_t in) const {
    std::uint64_t out = 0;
    for (std::size_t b = 0; b < InBytes; ++b)
      out |= parts[b][(in >> (8 * (InBytes - 1 - b))) & 0xFF];
    return out;
  }
};

template <std::size_t InBytes, std::size_t N>
constexpr TBytePermutation<InBytes> BuildBytePermutation(const std::array<std::uint8_t, N>& table) {
  TBytePermutation<InBytes> result;
  for (std::size_t b = 0; b < InBytes; ++b) {
    for (std::uint64_t v = 0; v < 256; ++v) {
      result.parts[b][v] = PermuteBits(v << (8 * (InBytes - 1 - b)), 8 * InBytes, table);
    }
  }
  return result;
}

// Substitution box j followed by the round permutation, indexed by the box's 6 input bits.
constexpr std::array<std::array<std::uint32_t, 64>, 8> BuildSubstitutionPermutation() {
  std::array<std::array<std::uint32_t, 64>, 8> result{};
  for (unsigned j = 0; j < 8; ++j) {
    for (unsigned v = 0; v < 64; ++v) {
      const unsigned row = ((v >> 4) & 2u) | (v & 1u);  // outer bits b1 b6
      const unsigned column = (v >> 1) & 0xFu;          // inner bits b2..b5
      const std::uint64_t placed = std::uint64_t{kSubstitution[j][row * 16 + column]}
                                   << (4 * (7 - j));
      result[j][v] = static_cast<std::uint32_t>(PermuteBits(placed, 32, kRoundPermutation));
    }
  }
  return result;
}

template <std::size_t N>
constexpr bool IsPermutationOf(const std::array<std::uint8_t, N>& table, std::size_t n) {
  for (std::size_t value = 1; value <= n; ++value) {
    std::size_t seen = 0;
    for (auto entry : table)
      seen += entry == value;
    if (seen != 1) return false;
  }
  return N == n;
}

constexpr bool FinalUndoesInitial() {
  for (std::size_t i = 0; i < 64; ++i) {
    if (kInitialPermutation[kFinalPermutation[i] - 1] != i + 1) return false;
  }
  return true;
}

constexpr bool SubstitutionRowsArePermutations() {
  for (const auto& box : kSubstitution) {
    for (unsigned row = 0; row < 4; ++row) {
      unsigned mask = 0;
      for (unsigned column = 0; column < 16; ++column)
        mask |= 1u << box[row * 16 + column];
      if (mask != 0xFFFFu) return false;
    }
  }
  return true;
}

static_assert(IsPermutationOf(kInitialPermutation, 64));
static_assert(FinalUndoesInitial());
static_assert(IsPermutationOf(kRoundPermutation, 32));
static_assert(SubstitutionRowsArePermutations());

constexpr auto kInitialLookup = BuildBytePermutation<8>(kInitialPermutation);
constexpr auto kFinalLookup = BuildBytePermutation<8>(kFinalPermutation);
constexpr auto kExpansionLookup = BuildBytePermutation<4>(kExpansion);
constexpr auto kChoice1Lookup = BuildBytePermutation<8>(kPermutedChoice1);
constexpr auto kChoice2Lookup = BuildBytePermutation<7>(kPermutedChoice2);
constexpr auto kSubstitutionPermutation = BuildSubstitutionPermutation();

std::uint32_t RoundFunction(std::uint32_t right, std::uint64_t round_key) {
  const std::uint64_t mixed = kExpansionLookup.Apply(right) ^ round_key;
  std::uint32_t out = 0;
  for (unsigned j = 0; j < 8; ++j)
    out |= kSubstitutionPermutation[j][(mixed >> (42 - 6 * j)) & 0x3F];
  return out;
}

std::uint32_t Rotate28(std::uint32_t half, unsigned by) {
  return ((half << by) | (half >> (28 - by))) & 0x0FFFFFFFu;
}

}  // namespace

std::uint64_t LoadBigEndian64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i)
    value = (value << 8) | bytes[i];
  return value;
}

void StoreBigEndian64(std::uint64_t value, std::uint8_t* bytes) {
  for (std::size_t i = 0; i < 8; ++i)
    bytes[i] = static_cast<std::uint8_t>(value >> (56 - 8 * i));
}

TDESCipher::TDESCipher(const TDESKey& key, bool encrypt) {
  const std::uint64_t chosen = kChoice1Lookup.Apply(LoadBigEndian64(key.data()));
  std::uint32_t c = static_cast<std::uint32_t>(chosen >> 28) & 0x0FFFFFFFu;
  std::uint32_t d = static_cast<std::uint32_t>(chosen) & 0x0FFFFFFFu;
  for (int i = 0; i < kDESRounds; ++i) {
    c = Rotate28(c, kKeyShifts[i]);
    d = Rotate28(d, kKeyShifts[i]);
    const std::uint64_t round_key = kChoice2Lookup.Apply((std::uint64_t{c} << 28) | d);
    round_keys_[encrypt ? i : kDESRounds - 1 - i] = round_key;
  }
}

std::uint64_t TDESCipher::ProcessBlock(std::uint64_t block) const {
  const std::uint64_t permuted = kInitialLookup.Apply(block);
  std::uint32_t left = static_cast<std::uint32_t>(permuted >> 32);
  std::uint32_t right = static_cast<std::uint32_t>(permuted);
  for (int i = 0; i < kDESRounds; ++i) {
    const std::uint32_t next_right = left ^ RoundFunction(right, round_keys_[i]);
    left = right;
    right = next_right;
  }
  // The preoutput is R16 L16: the halves swap once more before the final permutation.
  return kFinalLookup.Apply((std::uint64_t{right} << 32) | left);
}

void TDESCipher::ProcessBlock(const std::uint8_t* in, std::uint8_t* out) const {
  StoreBigEndian64(ProcessBlock(LoadBigEndian64(in)), out);
}

}  // namespace zorvic
