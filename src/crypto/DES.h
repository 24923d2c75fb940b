// DES block cipher as FIPS 46 defines it: the key schedule and the 64-bit block function.
//
// A block is read as two big-endian 32-bit halves (byte 0 is the most significant byte of the
// left half). A TDESCipher is built for one direction: its round keys are in encryption order,
// or in reverse order for decryption, so the same block function serves both. Parity bits of
// the key bytes are ignored. A TDESCipher is immutable after construction and may be used from
// several threads at once.
#pragma once

#include <array>
#include <cstdint>

#include "crypto/CryptoLimits.h"

namespace zorvic {

using TDESKey = std::array<std::uint8_t, kDESBlockSize>;

class TDESCipher {
 public:
  TDESCipher(const TDESKey& key, bool encrypt);

  // The 48-bit round key used in round `round` (0-based, in the order this cipher applies them).
  std::uint64_t RoundKey(int round) const { return round_keys_[round]; }

  // The block function on a block held as a big-endian 64-bit value.
  std::uint64_t ProcessBlock(std::uint64_t block) const;
  // The block function on 8 bytes; `in` and `out` may be the same buffer.
  void ProcessBlock(const std::uint8_t* in, std::uint8_t* out) const;

 private:
  std::array<std::uint64_t, kDESRounds> round_keys_{};
};

// Reads 8 bytes as a big-endian 64-bit value and writes one back.
std::uint64_t LoadBigEndian64(const std::uint8_t* bytes);
void StoreBigEndian64(std::uint64_t value, std::uint8_t* bytes);

}  // namespace zorvic
