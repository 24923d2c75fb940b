// Base64 as scrambled texts use it: standard vectors, the chunked reading on both sides, the
// lenient treatment of in-range non-alphabet characters, and the refusals.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "crypto/Base64.h"

namespace zorvic {
namespace {

std::string Encode(std::string_view bytes) {
  std::string out;
  Base64EncodeStream(bytes, out);
  return out;
}

std::string Decode(std::string_view text) {
  std::string out;
  Base64DecodeStream(text, out);
  return out;
}

void ExpectRefused(std::string_view text) {
  try {
    Decode(text);
    ADD_FAILURE() << "accepted \"" << text << "\"";
  } catch (const EBase64Exception& error) {
    EXPECT_STREQ(error.what(), "Invalid Base64 Character");
  }
}

TEST(Base64Test, StandardVectorsBothWays) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"},
                                                         {std::string("\0\xff\xfe", 3), "AP/+"}};
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(Encode(bytes), text);
    EXPECT_EQ(Decode(text), bytes);
  }
}

TEST(Base64Test, PaddingFollowsTheLengthOfTheLastGroup) {
  EXPECT_EQ(Encode("abc").find('='), std::string::npos);
  EXPECT_EQ(Encode("abcd").substr(6), "==");
  const std::string five = Encode("abcde");
  EXPECT_EQ(five.back(), '=');
  EXPECT_NE(five[five.size() - 2], '=');
}

TEST(Base64Test, ChunkBoundariesLeaveNoTraceInTheText) {
  const std::uint32_t seed = std::random_device{}();
  std::mt19937 random(seed);
  // Around the encoder's 45-byte and the decoder's 88-character (66-byte) chunks.
  for (std::size_t n : {44u, 45u, 46u, 65u, 66u, 67u, 89u, 90u, 91u, 132u, 135u, 1000u}) {
    std::string bytes(n, '\0');
    for (auto& byte : bytes)
      byte = static_cast<char>(random());
    const std::string text = Encode(bytes);
    SCOPED_TRACE(testing::Message() << "seed " << seed << " length " << n);
    EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
    EXPECT_EQ(text.find_first_of("\r\n "), std::string::npos);
    EXPECT_EQ(Decode(text), bytes);
  }
}

TEST(Base64Test, PaddingInsideTheTextEndsOnlyItsGroup) {
  EXPECT_EQ(Decode("Zg==Zm8=Zm9v"), "ffofoo");
  // A third "=" alone already cuts the group to one byte.
  EXPECT_EQ(Decode("Zg=A"), "f");
}

TEST(Base64Test, InRangeCharactersOutsideTheAlphabetCountAs127) {
  EXPECT_EQ(Decode("@@@@"), std::string("\xff\xff\xff", 3));
  EXPECT_EQ(Decode("A@AA"), std::string("\x07\xf0\x00", 3));
  EXPECT_EQ(Decode("A:[`"), Decode("A@@@"));
  // "=" first or second is just another such character.
  EXPECT_EQ(Decode("=AAA"), std::string("\xfc\x00\x00", 3));
}

TEST(Base64Test, CharactersOutsideThePlusToZRangeAreRefused) {
  for (std::string_view text : {"AAA*", "AAA{", "AA A", "\rAAA", "AAA\n", "AAA~",
                                "A\x80"
                                "AA"}) {
    ExpectRefused(text);
  }
  ExpectRefused(std::string("AA\0A", 4));
  // A refusal anywhere, also in a later chunk.
  ExpectRefused(std::string(88, 'A') + "AA\r\n");
}

TEST(Base64Test, TextsThatAreNotWholeGroupsAreRefused) {
  for (std::string_view text : {"A", "AB", "ABC", "Zm9vY", "Zm9vYg=", "Zm9vYmFy="})
    ExpectRefused(text);
  ExpectRefused(std::string(89, 'A'));
}

}  // namespace
}  // namespace zorvic
