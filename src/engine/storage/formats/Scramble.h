// The byte scrambling of encrypted tables.
//
// Scramble runs a 16-bit register loaded with a seed pair (low byte, high byte) over a run of
// bytes: each byte is XORed with low and high, then low goes up by one and high down by one (both
// modulo 256). Applying it twice restores the bytes. DataSeed covers whole records, field
// descriptors, the index header and pages, and the BLOB header and blocks (a block in two runs: its
// 18-byte header, then its data, each starting again from the seed); TextSeed covers the text bytes
// of a table's password and description.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorvic::engine {

struct TScrambleSeed {
  std::uint8_t Low;
  std::uint8_t High;
};

inline constexpr TScrambleSeed DataSeed{91, 164};
inline constexpr TScrambleSeed TextSeed{23, 201};

// Scrambles (or unscrambles) count bytes in place, starting from seed.
inline void Scramble(void* bytes, std::size_t count, TScrambleSeed seed) {
  auto* p = static_cast<std::uint8_t*>(bytes);
  std::uint8_t low = seed.Low;
  std::uint8_t high = seed.High;
  for (std::size_t i = 0; i < count; ++i) {
    p[i] = static_cast<std::uint8_t>(p[i] ^ low ^ high);
    ++low;
    --high;
  }
}

}  // namespace zorvic::engine
