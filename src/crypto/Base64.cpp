#include "crypto/Base64.h"

#include <array>
#include <cstdint>

#include "crypto/CryptoLimits.h"

namespace zorvic {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

// Value of each character code from '+' to 'z'; codes outside the alphabet give 127.
constexpr std::array<std::uint8_t, kBase64HighestCode - kBase64LowestCode + 1> BuildDecodeTable() {
  std::array<std::uint8_t, kBase64HighestCode - kBase64LowestCode + 1> table{};
  for (auto& value : table)
    value = kBase64NonAlphabetValue;
  for (std::uint8_t i = 0; i < 64; ++i) {
    table[static_cast<unsigned char>(kAlphabet[i]) - kBase64LowestCode] = i;
  }
  return table;
}

constexpr auto kDecodeTable = BuildDecodeTable();

void EncodeChunk(std::string_view chunk, std::string& output) {
  std::size_t i = 0;
  for (; i + 3 <= chunk.size(); i += 3) {
    const std::uint32_t group = (std::uint32_t{static_cast<std::uint8_t>(chunk[i])} << 16) |
                                (std::uint32_t{static_cast<std::uint8_t>(chunk[i + 1])} << 8) |
                                static_cast<std::uint8_t>(chunk[i + 2]);
    output += kAlphabet[(group >> 18) & 0x3F];
    output += kAlphabet[(group >> 12) & 0x3F];
    output += kAlphabet[(group >> 6) & 0x3F];
    output += kAlphabet[group & 0x3F];
  }
  const std::size_t rest = chunk.size() - i;
  if (rest == 0) return;
  const std::uint32_t first = static_cast<std::uint8_t>(chunk[i]);
  const std::uint32_t second = rest == 2 ? static_cast<std::uint8_t>(chunk[i + 1]) : 0u;
  const std::uint32_t group = (first << 16) | (second << 8);
  output += kAlphabet[(group >> 18) & 0x3F];
  output += kAlphabet[(group >> 12) & 0x3F];
  output += rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : kPad;
  output += kPad;
}

std::uint32_t DecodeCharacter(char ch) {
  const auto code = static_cast<unsigned char>(ch);
  if (code < kBase64LowestCode || code > kBase64HighestCode) throw EBase64Exception();
  return kDecodeTable[code - kBase64LowestCode];
}

void DecodeChunk(std::string_view chunk, std::string& output) {
  for (std::size_t i = 0; i < chunk.size(); i += 4) {
    const std::uint32_t v0 = DecodeCharacter(chunk[i]);
    const std::uint32_t v1 = DecodeCharacter(chunk[i + 1]);
    const std::uint32_t v2 = DecodeCharacter(chunk[i + 2]);
    const std::uint32_t v3 = DecodeCharacter(chunk[i + 3]);
    // Values of 127 carry a seventh bit; each output byte keeps only its low 8 bits.
    output += static_cast<char>(static_cast<std::uint8_t>((v0 << 2) | (v1 >> 4)));
    if (chunk[i + 2] == kPad) continue;
    output += static_cast<char>(static_cast<std::uint8_t>((v1 << 4) | (v2 >> 2)));
    if (chunk[i + 3] == kPad) continue;
    output += static_cast<char>(static_cast<std::uint8_t>((v2 << 6) | v3));
  }
}

}  // namespace

void Base64EncodeStream(std::string_view input, std::string& output) {
  output.reserve(output.size() + (input.size() + 2) / 3 * 4);
  for (std::size_t offset = 0; offset < input.size(); offset += kBase64EncodeChunk) {
    EncodeChunk(input.substr(offset, kBase64EncodeChunk), output);
  }
}

void Base64DecodeStream(std::string_view input, std::string& output) {
  // An incomplete last group cannot stand for whole bytes; it is refused rather than read past.
  if (input.size() % 4 != 0) throw EBase64Exception();
  output.reserve(output.size() + input.size() / 4 * 3);
  std::size_t offset = 0;
  for (;;) {
    const std::string_view chunk = input.substr(offset, kBase64DecodeChunk);
    DecodeChunk(chunk, output);
    if (chunk.size() < kBase64DecodeChunk) break;
    offset += kBase64DecodeChunk;
  }
}

}  // namespace zorvic
