#include "crypto/Scramble.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace zorvic {
namespace {

void ProcessAppend(const TDESCipher& cipher, const std::uint8_t* in, std::string& output) {
  std::array<std::uint8_t, kDESBlockSize> block;
  cipher.ProcessBlock(in, block.data());
  output.append(reinterpret_cast<const char*>(block.data()), block.size());
}

void Encrypt(std::string_view input, std::string& output, const TDESCipher& cipher) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(input.data());
  const std::size_t full_blocks = input.size() / kDESBlockSize;
  const std::size_t rest = input.size() % kDESBlockSize;
  output.reserve(output.size() + (full_blocks + 1) * kDESBlockSize);
  for (std::size_t i = 0; i < full_blocks; ++i) {
    ProcessAppend(cipher, bytes + i * kDESBlockSize, output);
  }
  std::array<std::uint8_t, kDESBlockSize> last{};
  if (rest != 0) std::memcpy(last.data(), bytes + full_blocks * kDESBlockSize, rest);
  last[kDESCountByte] = static_cast<std::uint8_t>(rest);
  ProcessAppend(cipher, last.data(), output);
}

void Decrypt(std::string_view input, std::string& output, const TDESCipher& cipher) {
  // Cipher bytes always come in whole blocks, at least one; a stray tail would be dropped
  // silently, so it is refused like a missing block.
  if (input.empty() || input.size() % kDESBlockSize != 0) throw ECipherException();
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(input.data());
  const std::size_t full_blocks = input.size() / kDESBlockSize - 1;

  std::array<std::uint8_t, kDESBlockSize> last;
  cipher.ProcessBlock(bytes + full_blocks * kDESBlockSize, last.data());
  const std::size_t count = last[kDESCountByte];
  // The count byte says how many of the block's first 7 bytes are text; more is not a block
  // this cipher wrote.
  if (count > kDESCountByte) throw ECipherException();

  output.reserve(output.size() + full_blocks * kDESBlockSize + count);
  for (std::size_t i = 0; i < full_blocks; ++i) {
    ProcessAppend(cipher, bytes + i * kDESBlockSize, output);
  }
  output.append(reinterpret_cast<const char*>(last.data()), count);
}

}  // namespace

void EncryptStreamDES(std::string_view input, std::string& output, const TDESKey& key,
                      bool encrypt) {
  const TDESCipher cipher(key, encrypt);
  if (encrypt) {
    Encrypt(input, output, cipher);
  } else {
    Decrypt(input, output, cipher);
  }
}

std::string ScrambleString(std::string_view text, const TDESKey& key, bool encrypt) {
  std::string intermediate;
  std::string result;
  if (encrypt) {
    EncryptStreamDES(text, intermediate, key, true);
    Base64EncodeStream(intermediate, result);
  } else {
    Base64DecodeStream(text, intermediate);
    EncryptStreamDES(intermediate, result, key, false);
  }
  return result;
}

}  // namespace zorvic
