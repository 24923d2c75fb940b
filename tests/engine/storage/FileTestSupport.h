// Helpers shared by the file-layer, cache and BLOB tests: a temporary folder, whole-file reads and
// writes, and a check that a call raises a given engine error.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "engine/storage/EngineError.h"

namespace zorvic::engine::testing {

// A fresh folder under the system's temporary folder, removed with its content at the end.
class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zorvic-file-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) ADD_FAILURE() << "mkdtemp failed";
    FPath = buffer.data();
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  const std::string& Path() const { return FPath; }
  // The folder with a trailing separator followed by name.
  std::string File(const std::string& name) const { return FPath + "/" + name; }

 private:
  std::string FPath;
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The error a call raises; fails the test when it raises nothing or something else.
inline EVELDOREngineError CatchEngineError(const std::function<void()>& call) {
  try {
    call();
  } catch (const EVELDOREngineError& e) {
    return e;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected exception: " << e.what();
    return EVELDOREngineError(TErrorContext{});
  }
  ADD_FAILURE() << "nothing raised";
  return EVELDOREngineError(TErrorContext{});
}

#define EXPECT_ENGINE_ERROR(call, code) \
  EXPECT_EQ(::zorvic::engine::testing::CatchEngineError([&] { call; }).ErrorCode, code)

}  // namespace zorvic::engine::testing
