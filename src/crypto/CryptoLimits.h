// Fixed sizes of the text scrambling: the cipher blocks, the Base64 chunking and the key digest.
//
// Every value here is part of the scrambled form that clients and stored data already rely on;
// none of them is a tuning knob. Constants only, safe from any thread.
#pragma once

#include <cstddef>

namespace zorvic {

// DES works on 64-bit blocks; a scrambled text is a whole number of them.
inline constexpr std::size_t kDESBlockSize = 8;
// The last clear block carries its count of text bytes in this byte, so at most 7 text bytes.
inline constexpr std::size_t kDESCountByte = 7;
// DES has 16 rounds and therefore 16 round keys.
inline constexpr int kDESRounds = 16;

// The encoder reads its input 45 bytes at a time (15 whole 3-byte groups, 60 characters).
inline constexpr std::size_t kBase64EncodeChunk = 45;
// The decoder reads its text 88 characters at a time (22 whole 4-character groups).
inline constexpr std::size_t kBase64DecodeChunk = 88;
// The decoder accepts character codes from '+' to 'z'; everything else is refused.
inline constexpr unsigned char kBase64LowestCode = 43;
inline constexpr unsigned char kBase64HighestCode = 122;
// Value a character inside that range but outside the alphabet stands for.
inline constexpr unsigned char kBase64NonAlphabetValue = 127;

// The key digest's ring: 256 bytes, also the most output a digest can give.
inline constexpr std::size_t kKeyDigestRingSize = 256;
// The digest's block cipher works on 16-byte blocks (four 32-bit words).
inline constexpr std::size_t kDigestBlockSize = 16;
// Its round count is clamped to this range; the key digest asks for 8 rounds.
inline constexpr int kDigestMinRounds = 4;
inline constexpr int kDigestMaxRounds = 16;
inline constexpr int kKeyDigestRounds = 8;

// The program's DES key is the first 8 digest bytes of this pass phrase.
inline constexpr char kProgramKeyPhrase[] = "plover";

}  // namespace zorvic
