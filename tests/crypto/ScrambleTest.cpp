// Scrambled texts end to end through ScrambleString and the cipher stream: sizes, round trips
// over arbitrary bytes, pinned forms under the program key, and every refusal of a bad text.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "crypto/Scramble.h"

namespace zorvic {
namespace {

std::string Cipher(std::string_view text) {
  std::string out;
  EncryptStreamDES(text, out, ProgramKey(), true);
  return out;
}

std::string Scramble(std::string_view text) {
  return ScrambleString(text, ProgramKey(), true);
}
std::string Unscramble(std::string_view text) {
  return ScrambleString(text, ProgramKey(), false);
}

// Scrambled form of raw cipher bytes, built without the cipher's own framing.
std::string Base64Of(std::string_view bytes) {
  std::string out;
  Base64EncodeStream(bytes, out);
  return out;
}

// One cipher block whose clear form is `clear`, under the program key.
std::string EncryptedBlock(const std::array<std::uint8_t, 8>& clear) {
  std::array<std::uint8_t, 8> block;
  TDESCipher(ProgramKey(), true).ProcessBlock(clear.data(), block.data());
  return std::string(reinterpret_cast<const char*>(block.data()), block.size());
}

template <typename TException>
void ExpectUnscrambleFails(std::string_view text, const char* message) {
  try {
    Unscramble(text);
    ADD_FAILURE() << "accepted \"" << text << "\"";
  } catch (const TException& error) {
    EXPECT_STREQ(error.what(), message);
  }
}

void ExpectInvalidFileFormat(std::string_view text) {
  ExpectUnscrambleFails<ECipherException>(text, "Invalid file format");
}

void ExpectInvalidBase64(std::string_view text) {
  ExpectUnscrambleFails<EBase64Exception>(text, "Invalid Base64 Character");
}

TEST(ScrambleTest, SizesOfCipherBytesAndText) {
  EXPECT_EQ(Cipher("").size(), 8u);
  EXPECT_EQ(Cipher("1234567").size(), 8u);
  EXPECT_EQ(Scramble("1234567").size(), 12u);
  EXPECT_EQ(Cipher("12345678").size(), 16u);
  EXPECT_EQ(Scramble("12345678").size(), 24u);
  for (std::size_t n = 0; n <= 40; ++n)
    EXPECT_EQ(Cipher(std::string(n, 'x')).size(), 8 * (n / 8 + 1));
}

TEST(ScrambleTest, LastBlockCarriesTheRestAndItsCount) {
  const TDESCipher decrypt(ProgramKey(), false);
  for (std::string_view text : {"", "abc", "1234567", "12345678", "123456789"}) {
    const std::string cipher = Cipher(text);
    std::array<std::uint8_t, 8> last;
    decrypt.ProcessBlock(reinterpret_cast<const std::uint8_t*>(cipher.data()) + cipher.size() - 8,
                         last.data());
    const std::size_t rest = text.size() % 8;
    EXPECT_EQ(last[7], rest) << text;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(last.data()), rest),
              text.substr(text.size() - rest));
    for (std::size_t i = rest; i < 7; ++i)
      EXPECT_EQ(last[i], 0) << text;
  }
  // A text of whole blocks ends with the block of eight zero bytes, like the empty text; equal
  // clear blocks give equal cipher blocks.
  EXPECT_EQ(Cipher("12345678").substr(8), Cipher(""));
  const std::string twice = Cipher("abcdefghabcdefgh");
  EXPECT_EQ(twice.substr(0, 8), twice.substr(8, 8));
}

TEST(ScrambleTest, FixedTextsUnderTheProgramKey) {
  EXPECT_EQ(Scramble(""), "X8zQ7mm3KWc=");
  EXPECT_EQ(Scramble("a"), "CquhhYd/S7U=");
  EXPECT_EQ(Scramble("abcdefg"), "P7hvo9H1r2Q=");
  EXPECT_EQ(Scramble("abcdefgh"), "uR5L+Ymh3VBfzNDuabcpZw==");
  EXPECT_EQ(Scramble("Hello, World"), "uP8OlGHQ7LYJsW2l5VsO7w==");
}

TEST(ScrambleTest, RoundTripsOfArbitraryBytes) {
  const std::uint32_t seed = std::random_device{}();
  std::mt19937 random(seed);
  for (int i = 0; i < 300; ++i) {
    std::string text(random() % 101, '\0');
    // Bias towards zero bytes so texts full of NULs come up often.
    for (auto& byte : text)
      byte = static_cast<char>(random() % 3 == 0 ? 0 : random());
    SCOPED_TRACE(testing::Message()
                 << "seed " << seed << " case " << i << " length " << text.size());
    const std::string scrambled = Scramble(text);
    EXPECT_EQ(scrambled.size(), (8 * (text.size() / 8 + 1) + 2) / 3 * 4);
    EXPECT_EQ(Unscramble(scrambled), text);
  }
  const std::string long_text(100000, '\0');
  EXPECT_EQ(Unscramble(Scramble(long_text)), long_text);
}

TEST(ScrambleTest, ConversionsRunOnManyThreadsAtOnce) {
  const std::string expected = Scramble("the same text on every thread");
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (std::size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        if (Scramble("the same text on every thread") != expected ||
            Unscramble(expected) != "the same text on every thread") {
          ++failures[t];
        }
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  for (int count : failures)
    EXPECT_EQ(count, 0);
}

TEST(ScrambleTest, MalformedBase64IsRefused) {
  const std::string scrambled = Scramble("a text long enough for two lines of output, surely");
  ExpectInvalidBase64(scrambled.substr(0, 20) + "\r\n" + scrambled.substr(20));
  ExpectInvalidBase64(scrambled + "\r\n");
  ExpectInvalidBase64(" " + scrambled);
  ExpectInvalidBase64(scrambled.substr(0, scrambled.size() - 1));
  ExpectInvalidBase64("X8zQ7mm3KWc");
}

TEST(ScrambleTest, CipherBytesThatAreNotWholeBlocksAreRefused) {
  ExpectInvalidFileFormat("");
  for (std::size_t n : {1u, 4u, 7u, 9u, 12u, 15u, 20u})
    ExpectInvalidFileFormat(Base64Of(std::string(n, 'z')));
  // Whole blocks with trailing bytes: the tail would otherwise be dropped silently.
  ExpectInvalidFileFormat(Base64Of(Cipher("abc") + "xyz"));
}

TEST(ScrambleTest, FinalBlockCountAboveSevenIsRefused) {
  for (std::uint8_t count : {8, 9, 0x80, 0xFF}) {
    ExpectInvalidFileFormat(Base64Of(EncryptedBlock({'a', 'b', 'c', 'd', 'e', 'f', 'g', count})));
    ExpectInvalidFileFormat(
        Base64Of(Cipher("12345678") + EncryptedBlock({0, 0, 0, 0, 0, 0, 0, count})));
  }
  EXPECT_EQ(Unscramble(Base64Of(EncryptedBlock({'a', 'b', 'c', 'd', 'e', 'f', 'g', 7}))),
            "abcdefg");
}

TEST(ScrambleTest, FailedDecryptionLeavesTheOutputUntouched) {
  std::string out = "kept";
  EXPECT_THROW(EncryptStreamDES(Cipher("1234567") + "x", out, ProgramKey(), false),
               ECipherException);
  EXPECT_THROW(EncryptStreamDES(EncryptedBlock({0, 0, 0, 0, 0, 0, 0, 8}), out, ProgramKey(), false),
               ECipherException);
  EXPECT_EQ(out, "kept");
}

TEST(ScrambleTest, OtherKeysGiveOtherTexts) {
  TDESKey other = ProgramKey();
  other[0] ^= 0x02;  // a key bit, not a parity bit
  EXPECT_NE(ScrambleString("secret", other, true), Scramble("secret"));
  EXPECT_EQ(ScrambleString(ScrambleString("secret", other, true), other, false), "secret");
}

}  // namespace
}  // namespace zorvic
