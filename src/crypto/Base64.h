// Base64 in the form scrambled texts use: the usual alphabet with "=" padding, one line, no
// line breaks. Pure functions over byte strings, safe from any thread.
//
// The decoder is lenient the way stored texts expect: characters from '+' to 'z' that are not
// in the alphabet stand for the value 127 instead of being refused. Characters outside that
// range, and a text whose length is not a whole number of 4-character groups, raise
// EBase64Exception "Invalid Base64 Character".
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace zorvic {

inline constexpr char kInvalidBase64Message[] = "Invalid Base64 Character";

class EBase64Exception : public std::runtime_error {
 public:
  EBase64Exception() : std::runtime_error(kInvalidBase64Message) {}
};

// Appends the Base64 text of `input` to `output`.
void Base64EncodeStream(std::string_view input, std::string& output);
// Appends the bytes that the Base64 text `input` stands for to `output`.
void Base64DecodeStream(std::string_view input, std::string& output);

}  // namespace zorvic
