// Private helpers of the BLOB file's source files (not part of its interface).
#pragma once

#include <cstdint>
#include <vector>

#include "engine/storage/formats/BlobFile.h"

namespace zorvic::engine {

namespace blobfile_internal {

inline std::int32_t GetI32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
      static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24);
}

inline void PutI32(std::uint8_t* p, std::int32_t value) {
  auto v = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace blobfile_internal

// Blocks pinned for the length of one operation; all are unpinned when it ends, however it ends.
class TBlobFile::TPinnedBlocks {
 public:
  explicit TPinnedBlocks(TBlobFile& file) : File(file) {}
  ~TPinnedBlocks() {
    for (TBlock* block : Blocks)
      File.FCache.Unpin(block);
  }
  TPinnedBlocks(const TPinnedBlocks&) = delete;
  TPinnedBlocks& operator=(const TPinnedBlocks&) = delete;

  TBlobFile& File;
  std::vector<TBlock*> Blocks;
  std::int32_t NextFree = 0;  // the free list's head after the collected free blocks
};

}  // namespace zorvic::engine
