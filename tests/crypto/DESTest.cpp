// DES against published known-answer vectors, in both directions, plus its structural
// properties (round-key order, complementation, weak keys).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>

#include "crypto/DES.h"

namespace zorvic {
namespace {

TDESKey KeyFrom(std::uint64_t value) {
  TDESKey key;
  StoreBigEndian64(value, key.data());
  return key;
}

struct TKnownAnswer {
  std::uint64_t key;
  std::uint64_t plain;
  std::uint64_t cipher;
};

// Worked examples and validation vectors published for the standard: the first rows exercise the
// initial permutation and expansion, variable keys and the permutation, the rest every S-box.
constexpr TKnownAnswer kKnownAnswers[] = {
    {0x133457799BBCDFF1, 0x0123456789ABCDEF, 0x85E813540F0AB405},
    {0x0E329232EA6D0D73, 0x8787878787878787, 0x0000000000000000},
    {0x0123456789ABCDEF, 0x4E6F772069732074, 0x3FA40E8A984D4815},
    {0x0101010101010101, 0x8000000000000000, 0x95F8A5E5DD31D900},
    {0x0101010101010101, 0x4000000000000000, 0xDD7F121CA5015619},
    {0x0101010101010101, 0x2000000000000000, 0x2E8653104F3834EA},
    {0x8001010101010101, 0x0000000000000000, 0x95A8D72813DAA94D},
    {0x4001010101010101, 0x0000000000000000, 0x0EEC1487DD8C26D5},
    {0x1046913489980131, 0x0000000000000000, 0x88D55E54F54C97B4},
    {0x7CA110454A1A6E57, 0x01A1D6D039776742, 0x690F5B0D9A26939B},
    {0x0131D9619DC1376E, 0x5CD54CA83DEF57DA, 0x7A389D10354BD271},
    {0x07A1133E4A0B2686, 0x0248D43806F67172, 0x868EBB51CAB4599A},
    {0x3849674C2602319E, 0x51454B582DDF440A, 0x7178876E01F19B2A},
    {0x04B915BA43FEB5B6, 0x42FD443059577FA2, 0xAF37FB421F8C4095},
    {0x0113B970FD34F2CE, 0x059B5E0851CF143A, 0x86A560F10EC6D85B},
    {0x0170F175468FB5E6, 0x0756D8E0774761D2, 0x0CD3DA020021DC09},
    {0x43297FAD38E373FE, 0x762514B829BF486A, 0xEA676B2CB7DB2B7A},
    {0x07A7137045DA2A16, 0x3BDD119049372802, 0xDFD64A815CAF1A0F},
    {0x04689104C2FD3B2F, 0x26955F6835AF609A, 0x5C513C9C4886C088},
    {0x37D06BB516CB7546, 0x164D5E404F275232, 0x0A2AEEAE3FF4AB77},
    {0x1F08260D1AC2465E, 0x6B056E18759F5CCA, 0xEF1BF03E5DFA575A},
    {0x584023641ABA6176, 0x004BD6EF09176062, 0x88BF0DB6D70DEE56},
    {0x025816164629B007, 0x480D39006EE762F2, 0xA1F9915541020B56},
    {0x49793EBC79B3258F, 0x437540C8698F3CFA, 0x6FBF1CAFCFFD0556},
    {0x4FB05E1515AB73A7, 0x072D43A077075292, 0x2F22E49BAB7CA1AC},
    {0x49E95D6D4CA229BF, 0x02FE55778117F12A, 0x5A6B612CC26CCE4A},
    {0x018310DC409B26D6, 0x1D9D5C5018F728C2, 0x5F4C038ED12B2E41},
    {0x1C587F1C13924FEF, 0x305532286D6F295A, 0x63FAC0D034D9F793},
};

TEST(DESTest, KnownAnswersEncryptAndDecrypt) {
  for (const auto& answer : kKnownAnswers) {
    SCOPED_TRACE(testing::Message() << std::hex << "key " << answer.key);
    const TDESKey key = KeyFrom(answer.key);
    EXPECT_EQ(TDESCipher(key, true).ProcessBlock(answer.plain), answer.cipher);
    EXPECT_EQ(TDESCipher(key, false).ProcessBlock(answer.cipher), answer.plain);
  }
}

TEST(DESTest, ByteBlocksAreBigEndianHalvesAndMayBeProcessedInPlace) {
  const TDESCipher cipher(KeyFrom(0x133457799BBCDFF1), true);
  std::uint8_t block[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  cipher.ProcessBlock(block, block);
  const std::uint8_t expected[8] = {0x85, 0xE8, 0x13, 0x54, 0x0F, 0x0A, 0xB4, 0x05};
  EXPECT_EQ(0, std::memcmp(block, expected, 8));
}

TEST(DESTest, RoundKeysFollowTheScheduleAndReverseForDecryption) {
  const TDESKey key = KeyFrom(0x133457799BBCDFF1);
  const TDESCipher encrypt(key, true);
  const TDESCipher decrypt(key, false);
  EXPECT_EQ(encrypt.RoundKey(0), 0x1B02EFFC7072u);   // 000110 110000 001011 101111 ...
  EXPECT_EQ(encrypt.RoundKey(15), 0xCB3D8B0E17F5u);  // 110010 110011 110110 001011 ...
  for (int i = 0; i < kDESRounds; ++i)
    EXPECT_EQ(decrypt.RoundKey(i), encrypt.RoundKey(15 - i));
}

TEST(DESTest, ParityBitsOfTheKeyAreIgnored) {
  const TDESCipher with_parity(KeyFrom(0x133457799BBCDFF1), true);
  const TDESCipher without_parity(KeyFrom(0x133457799BBCDFF1 & 0xFEFEFEFEFEFEFEFE), true);
  EXPECT_EQ(with_parity.ProcessBlock(0x0123456789ABCDEF),
            without_parity.ProcessBlock(0x0123456789ABCDEF));
}

TEST(DESTest, ComplementationPropertyAndRandomRoundTrips) {
  const std::uint32_t seed = std::random_device{}();
  std::mt19937_64 random(seed);
  for (int i = 0; i < 200; ++i) {
    const std::uint64_t key_bits = random(), plain = random();
    SCOPED_TRACE(testing::Message() << "seed " << seed << " case " << i);
    const TDESCipher cipher(KeyFrom(key_bits), true);
    const std::uint64_t encrypted = cipher.ProcessBlock(plain);
    EXPECT_EQ(TDESCipher(KeyFrom(key_bits), false).ProcessBlock(encrypted), plain);
    EXPECT_EQ(TDESCipher(KeyFrom(~key_bits), true).ProcessBlock(~plain), ~encrypted);
  }
}

TEST(DESTest, WeakKeysEncryptTwiceToTheSameBlock) {
  for (std::uint64_t weak : {0x0101010101010101ull, 0xFEFEFEFEFEFEFEFEull, 0xE0E0E0E0F1F1F1F1ull,
                             0x1F1F1F1F0E0E0E0Eull}) {
    const TDESCipher cipher(KeyFrom(weak), true);
    EXPECT_EQ(cipher.ProcessBlock(cipher.ProcessBlock(0x0123456789ABCDEF)), 0x0123456789ABCDEFu);
  }
}

}  // namespace
}  // namespace zorvic
