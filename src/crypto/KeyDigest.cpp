#include "crypto/KeyDigest.h"

#include <algorithm>
#include <stdexcept>

namespace zorvic {

// Verified by the test suite against an independent digit computation.
const std::array<std::uint8_t, kKeyDigestRingSize> kPiFractionBytes = {
    0x24, 0x3F, 0x6A, 0x88, 0x85, 0xA3, 0x08, 0xD3, 0x13, 0x19, 0x8A, 0x2E, 0x03, 0x70, 0x73, 0x44,
    0xA4, 0x09, 0x38, 0x22, 0x29, 0x9F, 0x31, 0xD0, 0x08, 0x2E, 0xFA, 0x98, 0xEC, 0x4E, 0x6C, 0x89,
    0x45, 0x28, 0x21, 0xE6, 0x38, 0xD0, 0x13, 0x77, 0xBE, 0x54, 0x66, 0xCF, 0x34, 0xE9, 0x0C, 0x6C,
    0xC0, 0xAC, 0x29, 0xB7, 0xC9, 0x7C, 0x50, 0xDD, 0x3F, 0x84, 0xD5, 0xB5, 0xB5, 0x47, 0x09, 0x17,
    0x92, 0x16, 0xD5, 0xD9, 0x89, 0x79, 0xFB, 0x1B, 0xD1, 0x31, 0x0B, 0xA6, 0x98, 0xDF, 0xB5, 0xAC,
    0x2F, 0xFD, 0x72, 0xDB, 0xD0, 0x1A, 0xDF, 0xB7, 0xB8, 0xE1, 0xAF, 0xED, 0x6A, 0x26, 0x7E, 0x96,
    0xBA, 0x7C, 0x90, 0x45, 0xF1, 0x2C, 0x7F, 0x99, 0x24, 0xA1, 0x99, 0x47, 0xB3, 0x91, 0x6C, 0xF7,
    0x08, 0x01, 0xF2, 0xE2, 0x85, 0x8E, 0xFC, 0x16, 0x63, 0x69, 0x20, 0xD8, 0x71, 0x57, 0x4E, 0x69,
    0xA4, 0x58, 0xFE, 0xA3, 0xF4, 0x93, 0x3D, 0x7E, 0x0D, 0x95, 0x74, 0x8F, 0x72, 0x8E, 0xB6, 0x58,
    0x71, 0x8B, 0xCD, 0x58, 0x82, 0x15, 0x4A, 0xEE, 0x7B, 0x54, 0xA4, 0x1D, 0xC2, 0x5A, 0x59, 0xB5,
    0x9C, 0x30, 0xD5, 0x39, 0x2A, 0xF2, 0x60, 0x13, 0xC5, 0xD1, 0xB0, 0x23, 0x28, 0x60, 0x85, 0xF0,
    0xCA, 0x41, 0x79, 0x18, 0xB8, 0xDB, 0x38, 0xEF, 0x8E, 0x79, 0xDC, 0xB0, 0x60, 0x3A, 0x18, 0x0E,
    0x6C, 0x9E, 0x0E, 0x8B, 0xB0, 0x1E, 0x8A, 0x3E, 0xD7, 0x15, 0x77, 0xC1, 0xBD, 0x31, 0x4B, 0x27,
    0x78, 0xAF, 0x2F, 0xDA, 0x55, 0x60, 0x5C, 0x60, 0xE6, 0x55, 0x25, 0xF3, 0xAA, 0x55, 0xAB, 0x94,
    0x57, 0x48, 0x98, 0x62, 0x63, 0xE8, 0x14, 0x40, 0x55, 0xCA, 0x39, 0x6A, 0x2A, 0xAB, 0x10, 0xB6,
    0xB4, 0xCC, 0x5C, 0x34, 0x11, 0x41, 0xE8, 0xCE, 0xA1, 0x54, 0x86, 0xAF, 0x7C, 0x72, 0xE9, 0x93};

namespace {

constexpr std::uint32_t kInitialMixingWord = 0x55555555u;
constexpr std::array<std::uint32_t, 4> kScheduleSalts = {0x55555555u, 0xAAAAAAAAu, 0x33333333u,
                                                         0xCCCCCCCCu};

std::uint32_t LoadLittleEndian32(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
         (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
}

void StoreLittleEndian32(std::uint32_t value, std::uint8_t* bytes) {
  for (int i = 0; i < 4; ++i)
    bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

// clang-format off
void MixWords(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
  a += d; d += a; a ^= a >> 7;
  b += a; a += b; b ^= b << 13;
  c += b; b += c; c ^= c >> 17;
  d += c; c += d; d ^= d << 9;
  a += d; d += a; a ^= a >> 3;
  b += a; a += b; b ^= b << 7;
  c += b; b += c; c ^= d >> 15;  // shifts d, not c: the stored keys depend on it
  d += c; c += d; d ^= d << 11;
}
// clang-format on

TDigestBlockCipher::TDigestBlockCipher(const std::array<std::uint32_t, 4>& key_words, int rounds,
                                       bool encrypt)
    : encrypt_(encrypt), rounds_(std::clamp(rounds, kDigestMinRounds, kDigestMaxRounds)) {
  std::size_t next = 0;
  for (std::uint32_t salt : kScheduleSalts) {
    std::uint32_t a = key_words[0], b = salt, c = key_words[1], d = salt;
    std::uint32_t e = key_words[2], f = salt, g = key_words[3], h = salt;
    // clang-format off
    for (int i = 0; i < 8; ++i) {
      a ^= b << 11; d += a; b += c;
      b ^= c >> 2;  e += b; c += d;
      c ^= d << 8;  f += c; d += e;
      d ^= e >> 16; g += d; e += f;
      e ^= f << 10; h += e; f += g;
      f ^= g >> 4;  a += f; g += h;
      g ^= h << 8;  b += g; h += a;
      h ^= a >> 9;  c += h; a += b;
    }
    // clang-format on
    for (std::uint32_t word : {a, b, c, d, e, f, g, h})
      subkeys_[next++] = word;
  }
  if (!encrypt_) {
    for (int lo = 0, hi = rounds_ - 1; lo < hi; ++lo, --hi) {
      std::swap(subkeys_[2 * lo], subkeys_[2 * hi]);
      std::swap(subkeys_[2 * lo + 1], subkeys_[2 * hi + 1]);
    }
  }
}

void TDigestBlockCipher::EncryptBlock(std::uint8_t* block) const {
  std::uint32_t l0 = LoadLittleEndian32(block), l1 = LoadLittleEndian32(block + 4);
  std::uint32_t r0 = LoadLittleEndian32(block + 8), r1 = LoadLittleEndian32(block + 12);
  for (int round = 0; round < rounds_; ++round) {
    std::uint32_t a = l0, b = subkeys_[2 * round], c = l1, d = subkeys_[2 * round + 1];
    MixWords(a, b, c, d);
    std::swap(a, c);
    std::swap(b, d);
    MixWords(a, b, c, d);
    const std::uint32_t t0 = b ^ a ^ r0;
    const std::uint32_t t1 = d ^ c ^ r1;
    r0 = l0;
    r1 = l1;
    l0 = t0;
    l1 = t1;
  }
  StoreLittleEndian32(r0, block);
  StoreLittleEndian32(r1, block + 4);
  StoreLittleEndian32(l0, block + 8);
  StoreLittleEndian32(l1, block + 12);
}

TKeyDigest::TKeyDigest() : ring_(kPiFractionBytes) {
  words_.fill(kInitialMixingWord);
}

void TKeyDigest::UpdateByte(std::uint8_t x) {
  ring_[ring_index_] ^= x;
  ring_index_ = (ring_index_ + 1) % kKeyDigestRingSize;
  // W0 and W1 are stored little-endian one after the other; the index walks their 8 bytes.
  const std::size_t word = word_index_ / 4;
  const unsigned shift = 8 * (word_index_ % 4);
  words_[word] ^= std::uint32_t{x} << shift;
  if (++word_index_ == 8) {
    Mix();
    word_index_ = 0;
  }
}

void TKeyDigest::Mix() {
  std::uint32_t a = words_[3], b = words_[2], c = words_[1], d = words_[0];
  for (int i = 0; i < 4; ++i)
    MixWords(a, b, c, d);
  words_ = {a, b, c, d};
}

void TKeyDigest::Update(const std::uint8_t* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i)
    UpdateByte(bytes[i]);
}

void TKeyDigest::Update(std::string_view bytes) {
  for (char ch : bytes)
    UpdateByte(static_cast<std::uint8_t>(ch));
}

void TKeyDigest::Finalise(std::uint8_t* out, std::size_t length) {
  if (length > kKeyDigestRingSize) throw std::invalid_argument("digest length exceeds 256 bytes");
  // 0x01 then zeros up to the next whole 8 bytes, so that exactly one more mix happens.
  UpdateByte(0x01);
  while (word_index_ != 0)
    UpdateByte(0x00);
  const TDigestBlockCipher cipher(words_, kKeyDigestRounds, true);
  for (std::size_t offset = 0; offset < kKeyDigestRingSize; offset += kDigestBlockSize) {
    cipher.EncryptBlock(ring_.data() + offset);
  }
  std::copy_n(ring_.begin(), length, out);
}

void DeriveCipherKey(std::uint8_t* out, std::size_t length, std::string_view phrase) {
  if (length > kKeyDigestRingSize) throw std::invalid_argument("cipher key length exceeds 256");
  TKeyDigest digest;
  digest.Update(phrase);
  digest.Finalise(out, length);
}

const TDESKey& ProgramKey() {
  static const TDESKey key = [] {
    TDESKey derived{};
    DeriveCipherKey(derived.data(), derived.size(), kProgramKeyPhrase);
    return derived;
  }();
  return key;
}

}  // namespace zorvic
