// The key digest that turns a pass phrase into cipher key bytes, and the program's DES key.
//
// TKeyDigest keeps a 256-byte ring (initialised from the hexadecimal expansion of pi) and four
// 32-bit mixing words. Update folds bytes into both; Finalise pads, mixes once more, encrypts
// the ring with TDigestBlockCipher keyed by the mixing words, and hands out the ring's first
// bytes. MixWords is the word mixer shared by both.
//
// Thread safety: TKeyDigest and TDigestBlockCipher are plain values for one thread at a time.
// ProgramKey() derives the key on its first call (thread-safely, once) and afterwards only
// returns the same immutable bytes, so any thread may call it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crypto/CryptoLimits.h"
#include "crypto/DES.h"

namespace zorvic {

// The first 256 bytes of the fractional part of pi written in hexadecimal.
extern const std::array<std::uint8_t, kKeyDigestRingSize> kPiFractionBytes;

// Mixes four words in place (additions modulo 2^32, logical shifts).
void MixWords(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d);

// A 16-byte block cipher keyed by four 32-bit words, with 4 to 16 rounds.
class TDigestBlockCipher {
 public:
  // `rounds` is clamped to 4..16. For decryption the used subkey pairs are taken in reverse.
  TDigestBlockCipher(const std::array<std::uint32_t, 4>& key_words, int rounds, bool encrypt);

  int Rounds() const { return rounds_; }
  // Subkey pair number `pair` (0..15) in the order the rounds use them.
  std::uint32_t Subkey(int pair, int half) const { return subkeys_[2 * pair + half]; }

  // Runs the rounds on one block of four little-endian words L0 L1 R0 R1, in place.
  void EncryptBlock(std::uint8_t* block) const;

 private:
  bool encrypt_;
  int rounds_;
  std::array<std::uint32_t, 32> subkeys_{};
};

class TKeyDigest {
 public:
  TKeyDigest();

  void Update(const std::uint8_t* bytes, std::size_t length);
  void Update(std::string_view bytes);
  // Writes the first `length` (at most 256) digest bytes. The digest is spent afterwards.
  void Finalise(std::uint8_t* out, std::size_t length);

  // The mixing words W0..W3 (exposed for tests of the padding and mixing).
  const std::array<std::uint32_t, 4>& MixingWords() const { return words_; }

 private:
  void UpdateByte(std::uint8_t x);
  void Mix();

  std::size_t ring_index_ = 0;
  std::array<std::uint8_t, kKeyDigestRingSize> ring_;
  std::size_t word_index_ = 0;
  std::array<std::uint32_t, 4> words_;
};

// Fills `out` with `length` (at most 256, else std::invalid_argument) digest bytes of `phrase`.
void DeriveCipherKey(std::uint8_t* out, std::size_t length, std::string_view phrase);

// The program's DES key: the first 8 digest bytes of the fixed pass phrase.
const TDESKey& ProgramKey();

}  // namespace zorvic
