// Helpers for the packet tests: the document frame, an INI stand-in and error capture.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "packet/LiteXMLPacket.h"

namespace zorvic::testing {

inline const std::string kHead =
    "<?xml version=\"1.0\" standalone=\"yes\" ?><LiteDataPacket version=\"1.0\"><metadata>";
inline const std::string kMiddle = "</metadata><data>";
inline const std::string kTail = "</data></LiteDataPacket>";

// A whole document from its field elements and its row elements.
inline std::string Document(const std::string& fields, const std::string& rows) {
  return kHead + fields + kMiddle + rows + kTail;
}

// The message of the EPacketError `action` raises; "" when it raises none.
inline std::string PacketErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EPacketError& e) {
    return e.what();
  }
  return {};
}

// An INI section store with the calls the packet uses: keys in insertion order, names matched
// exactly (the real file's letter-case rules are its own business).
class TFakeIni {
 public:
  std::vector<std::string> ReadSection(std::string_view section) const {
    std::vector<std::string> keys;
    for (const auto& [s, k, v] : fEntries)
      if (s == section) keys.push_back(k);
    return keys;
  }
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view defaultValue) const {
    for (const auto& [s, k, v] : fEntries)
      if (s == section && k == key) return v;
    return std::string(defaultValue);
  }
  void WriteString(std::string_view section, std::string_view key, std::string_view value) {
    ++Writes;
    for (auto& [s, k, v] : fEntries)
      if (s == section && k == key) {
        v = value;
        return;
      }
    fEntries.emplace_back(std::string(section), std::string(key), std::string(value));
  }
  int Writes = 0;

 private:
  std::vector<std::tuple<std::string, std::string, std::string>> fEntries;
};

}  // namespace zorvic::testing
