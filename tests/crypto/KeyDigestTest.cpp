// The key digest: its pi table, the word mixer, the block cipher of its finalisation, and the
// pinned program key. The pinned values were checked against a second, separately written
// implementation of the same steps.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "crypto/KeyDigest.h"

namespace zorvic {
namespace {

std::string Hex(const std::uint8_t* bytes, std::size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

std::string DigestHex(std::string_view phrase, std::size_t length) {
  std::vector<std::uint8_t> out(length);
  DeriveCipherKey(out.data(), length, phrase);
  return Hex(out.data(), length);
}

// Fractional part of sum over k of 16^(d-k) / (8k + j), the digit-extraction series for pi.
double PiSeries(int j, int d) {
  double sum = 0;
  for (int k = 0; k <= d; ++k) {
    const std::int64_t m = 8 * k + j;
    std::int64_t power = 1, base = 16 % m;
    for (int e = d - k; e > 0; e >>= 1) {
      if (e & 1) power = power * base % m;
      base = base * base % m;
    }
    sum += static_cast<double>(power) / static_cast<double>(m);
    sum -= std::floor(sum);
  }
  for (int k = d + 1; k <= d + 20; ++k)
    sum += std::pow(16.0, d - k) / (8.0 * k + j);
  return sum - std::floor(sum);
}

// Hexadecimal digits d+1 and d+2 after the point of pi, as one byte.
int PiByteAt(int d) {
  double x = 4 * PiSeries(1, d) - 2 * PiSeries(4, d) - PiSeries(5, d) - PiSeries(6, d);
  x -= std::floor(x);
  return static_cast<int>(x * 256.0);
}

TEST(KeyDigestTest, RingStartsWithTheHexadecimalDigitsOfPi) {
  for (int i = 0; i < static_cast<int>(kKeyDigestRingSize); ++i) {
    EXPECT_EQ(kPiFractionBytes[i], PiByteAt(2 * i)) << "byte " << i;
  }
}

TEST(KeyDigestTest, MixWordsMatchesAHandCheckedValue) {
  std::uint32_t a = 0x01234567, b = 0x89ABCDEF, c = 0xDEADBEEF, d = 0x00000001;
  MixWords(a, b, c, d);
  EXPECT_EQ(a, 0xE2EDB6E7u);
  EXPECT_EQ(b, 0x0792B905u);
  EXPECT_EQ(c, 0x358E8555u);
  EXPECT_EQ(d, 0x38B0DFFFu);
}

TEST(KeyDigestTest, DigestOfFixedPhrases) {
  EXPECT_EQ(DigestHex("plover", 8), "EB3E3A51F7F4CA60");
  EXPECT_EQ(DigestHex("", 16), "0BD132AA831C56AC1F92E61084A342D2");
  // Exactly one mixing group of input: the padding then adds a whole second group.
  EXPECT_EQ(DigestHex("abcdefgh", 16), "0CB74FF73A8F99B21DEE99F6C97540DA");
  const std::string full = DigestHex("plover", 256);
  EXPECT_EQ(full.substr(0, 32), "EB3E3A51F7F4CA60747B0188CA441B3E");
  EXPECT_EQ(full.substr(480), "2454FFD20007D20448EC1238CCC04CBA");
}

TEST(KeyDigestTest, ShorterOutputsArePrefixesAndLengthIsBounded) {
  const std::string full = DigestHex("a pass phrase", 256);
  for (std::size_t n : {0u, 1u, 8u, 17u, 255u})
    EXPECT_EQ(DigestHex("a pass phrase", n), full.substr(0, 2 * n));
  std::uint8_t out[300];
  EXPECT_THROW(DeriveCipherKey(out, 257, "x"), std::invalid_argument);
}

TEST(KeyDigestTest, EveryInputByteAndItsPositionMatters) {
  // Phrases around the 8-byte mixing group and the 256-byte ring wrap.
  std::vector<std::string> phrases = {"",      std::string(1, '\0'), "\x01", "plover", "plovez",
                                      "revolp"};
  for (std::size_t n : {7u, 8u, 9u, 255u, 256u, 257u}) {
    phrases.push_back(std::string(n, 'q'));
    phrases.push_back(std::string(n - 1, 'q') + 'r');
  }
  std::vector<std::string> digests;
  for (const auto& phrase : phrases)
    digests.push_back(DigestHex(phrase, 16));
  for (std::size_t i = 0; i < digests.size(); ++i) {
    for (std::size_t j = i + 1; j < digests.size(); ++j) {
      EXPECT_NE(digests[i], digests[j]) << "phrases " << i << " and " << j;
    }
  }
}

TEST(KeyDigestTest, BlockCipherDecryptionUndoesEncryptionAndRoundsAreClamped) {
  const std::uint32_t seed = std::random_device{}();
  std::mt19937 random(seed);
  std::array<std::uint32_t, 4> key;
  for (auto& word : key)
    word = static_cast<std::uint32_t>(random());
  std::uint8_t clear[16];
  for (auto& byte : clear)
    byte = static_cast<std::uint8_t>(random());

  for (int rounds : {4, 8, 16}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " rounds " << rounds);
    std::uint8_t block[16];
    std::memcpy(block, clear, 16);
    TDigestBlockCipher(key, rounds, true).EncryptBlock(block);
    EXPECT_NE(0, std::memcmp(block, clear, 16));
    TDigestBlockCipher(key, rounds, false).EncryptBlock(block);
    EXPECT_EQ(0, std::memcmp(block, clear, 16));
  }
  EXPECT_EQ(TDigestBlockCipher(key, 1, true).Rounds(), 4);
  EXPECT_EQ(TDigestBlockCipher(key, 99, true).Rounds(), 16);
  std::uint8_t low[16], four[16];
  std::memcpy(low, clear, 16);
  std::memcpy(four, clear, 16);
  TDigestBlockCipher(key, -3, true).EncryptBlock(low);
  TDigestBlockCipher(key, 4, true).EncryptBlock(four);
  EXPECT_EQ(0, std::memcmp(low, four, 16));
}

TEST(KeyDigestTest, ProgramKeyIsTheDigestOfItsPhraseOnEveryThread) {
  EXPECT_EQ(Hex(ProgramKey().data(), 8), "EB3E3A51F7F4CA60");
  std::vector<std::thread> threads;
  std::vector<const TDESKey*> seen(4);
  for (std::size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&, i] { seen[i] = &ProgramKey(); });
  for (auto& thread : threads)
    thread.join();
  for (const auto* key : seen)
    EXPECT_EQ(key, &ProgramKey());
}

}  // namespace
}  // namespace zorvic
