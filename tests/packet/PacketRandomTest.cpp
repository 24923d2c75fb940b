// Randomized checks: any values survive a write and a read unchanged, and mangled packets never
// crash the reader. ZORVIC_PACKET_ROUNDS raises the number of rounds; a failure names its seed.
#include <cstdlib>
#include <random>

#include "packet/PacketTestSupport.h"

namespace zorvic::testing {
namespace {

int Rounds(int byDefault) {
  const char* env = std::getenv("ZORVIC_PACKET_ROUNDS");
  return env != nullptr ? std::max(1, std::atoi(env)) : byDefault;
}

std::string RandomValue(std::mt19937& rng) {
  // Weighted towards the characters the writer treats specially.
  static const std::string kSpecial = "&<>\"'\r\n\t\x01\x1f; =/";
  std::uniform_int_distribution<int> length(0, 40);
  std::uniform_int_distribution<int> kind(0, 3);
  std::string v;
  for (int n = length(rng); n > 0; --n) {
    switch (kind(rng)) {
      case 0:
        v += kSpecial[rng() % kSpecial.size()];
        break;
      case 1:
        v += static_cast<char>(1 + rng() % 255);  // any byte but NUL
        break;
      default:
        v += static_cast<char>('a' + rng() % 26);
        break;
    }
  }
  return v;
}

TEST(PacketRandomTest, WrittenValuesReadBackUnchanged) {
  const int rounds = Rounds(200);
  for (int round = 0; round < rounds; ++round) {
    const unsigned seed = 1000u + static_cast<unsigned>(round);
    std::mt19937 rng(seed);
    const std::size_t fields = 1 + rng() % 8;
    const std::size_t rows = rng() % 5;
    cLiteXMLPacket p;
    p.SetDimensions(fields, rows);
    for (std::size_t j = 0; j < fields; ++j)
      p.SetField(j, "F" + std::to_string(j), RandomValue(rng));
    for (std::size_t r = 0; r < rows; ++r)
      for (std::size_t j = 0; j < fields; ++j)
        p.SetValue(r, j, RandomValue(rng));
    p.WriteXml();
    cLiteXMLPacket back;
    ASSERT_TRUE(back.LoadFromXml(p.GetXml())) << "seed " << seed;
    ASSERT_EQ(back.FieldCount(), fields) << "seed " << seed;
    ASSERT_EQ(back.RowCount(), rows) << "seed " << seed;
    for (std::size_t j = 0; j < fields; ++j) {
      std::string type;  // the reader drops quotes from the type text
      for (char c : p.Field(j).TypeText)
        if (c != '"' && c != '\'') type += c;
      ASSERT_EQ(back.Field(j).TypeText, type) << "seed " << seed;
    }
    for (std::size_t r = 0; r < rows; ++r)
      for (std::size_t j = 0; j < fields; ++j)
        ASSERT_EQ(back.Value(r, j), p.Value(r, j)) << "seed " << seed << " row " << r;
    // Every value is one literal of its type once quoted.
    for (std::size_t r = 0; r < rows; ++r)
      ASSERT_TRUE(IsSqlLiteral(SqlLiteral(cPacketField{"F", "string"}, back.Value(r, 0))))
          << "seed " << seed;
  }
}

TEST(PacketRandomTest, MangledPacketsNeverCrashTheReader) {
  const std::string valid = Document(
      "<field name=\"UserName\" type=\"string\" /><field name=\"Flag\" type=\"boolean\" />",
      "<row UserName=\"a&amp;b\" Flag=\"1\" /><row UserName=\"c\" />");
  static constexpr char kAlphabet[] = "<>/=\"'&;#x!?[]- \n\0abrowfield";
  const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
  const int rounds = Rounds(2000);
  for (int round = 0; round < rounds; ++round) {
    const unsigned seed = 5000u + static_cast<unsigned>(round);
    std::mt19937 rng(seed);
    std::string text = valid;
    for (int edits = 1 + static_cast<int>(rng() % 6); edits > 0; --edits) {
      const std::size_t at = text.empty() ? 0 : rng() % text.size();
      switch (rng() % 3) {
        case 0:
          if (!text.empty()) text.erase(at, 1 + rng() % 4);
          break;
        case 1:
          text.insert(at, 1, alphabet[rng() % alphabet.size()]);
          break;
        default:
          text = text.substr(0, at);  // cut short
          break;
      }
    }
    cLiteXMLPacket p;
    bool ok = false;
    try {
      ok = p.LoadFromXml(text);
    } catch (const EPacketError&) {
    }
    if (!ok) continue;
    // A packet that reads is consistent: every row has a cell per field.
    for (std::size_t r = 0; r < p.RowCount(); ++r)
      for (std::size_t j = 0; j < p.FieldCount(); ++j)
        (void)p.Value(r, j);
    SUCCEED() << "seed " << seed;
  }
}

}  // namespace
}  // namespace zorvic::testing
