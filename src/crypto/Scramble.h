// Scrambled texts: DES in ECB mode under a key, written as one line of Base64.
//
// This is the interface of the crypto folder: callers include this header only. A text of n
// bytes becomes 8 * (n / 8 + 1) cipher bytes; the last block carries the n % 8 remaining text
// bytes, zeros, and the count n % 8 in its last byte. ScrambleString converts in either
// direction; decrypting raises EBase64Exception ("Invalid Base64 Character") for a malformed
// Base64 text and ECipherException ("Invalid file format") for malformed cipher bytes.
//
// Thread safety: every function keeps its state in locals and may run on many threads at once.
// Callers that honour the DataScrambling option hold ScramblingLock around the flag test and
// the conversion.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "crypto/Base64.h"
#include "crypto/DES.h"
#include "crypto/KeyDigest.h"

namespace zorvic {

inline constexpr char kInvalidFileFormatMessage[] = "Invalid file format";

class ECipherException : public std::runtime_error {
 public:
  ECipherException() : std::runtime_error(kInvalidFileFormatMessage) {}
};

// Encrypts (`encrypt` true) or decrypts `input` with DES in ECB mode, appending to `output`.
// Decrypting needs a non-empty whole number of blocks whose last one carries a count of at most
// 7; anything else raises ECipherException and leaves `output` as it was.
void EncryptStreamDES(std::string_view input, std::string& output, const TDESKey& key,
                      bool encrypt);

// The scrambled form of `text` (encrypt) or the clear text of a scrambled `text` (decrypt).
std::string ScrambleString(std::string_view text, const TDESKey& key, bool encrypt);

}  // namespace zorvic
