// TMemoryFile: the bytes of an in-memory file, grown in steps of MemoryFileGrowStep.
#include <cstring>
#include <limits>
#include <new>

#include "engine/EngineLimits.h"
#include "engine/storage/files/FileLayer.h"

namespace zorvic::engine {
namespace {

// Capacity for size bytes: size rounded up to the growth step; -1 when it cannot be represented.
std::int64_t CapacityFor(std::int64_t size) {
  if (size > MaxMemoryFileBytes) return -1;
  return (size + MemoryFileGrowStep - 1) / MemoryFileGrowStep * MemoryFileGrowStep;
}

}  // namespace

TMemoryFile::TMemoryFile(std::string name) : TAbstractFile(std::move(name), true) {}

std::int64_t TMemoryFile::GetSize() {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  return FSize;
}

std::int32_t TMemoryFile::CreateHandle() {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  FBytes.clear();
  FBytes.shrink_to_fit();
  FSize = 0;
  return AddHandle();
}

std::int32_t TMemoryFile::OpenHandle() {
  return AddHandle();
}

std::int32_t TMemoryFile::Rename(const std::string& newName) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  FName = newName;
  return 0;
}

std::int32_t TMemoryFile::Delete() {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  FBytes.clear();
  FBytes.shrink_to_fit();
  FSize = 0;
  return 0;
}

std::int64_t TMemoryFile::ReadRaw(std::int64_t offset, void* buffer, std::int64_t count) {
  if (offset >= FSize) return 0;
  std::int64_t n = std::min(count, FSize - offset);
  std::memcpy(buffer, FBytes.data() + offset, static_cast<std::size_t>(n));
  return n;
}

std::int64_t TMemoryFile::WriteRaw(std::int64_t offset, const void* buffer, std::int64_t count) {
  if (count > std::numeric_limits<std::int64_t>::max() - offset) return -VELDOR_OSEINVMEM;
  std::int64_t end = offset + count;
  if (end > static_cast<std::int64_t>(FBytes.size())) {
    std::int64_t capacity = CapacityFor(end);
    if (capacity < 0 || static_cast<std::uint64_t>(capacity) > FBytes.max_size()) {
      return -VELDOR_OSEINVMEM;
    }
    try {
      FBytes.resize(static_cast<std::size_t>(capacity), 0);
    } catch (const std::bad_alloc&) {
      return -VELDOR_OSENOMEM;
    } catch (const std::length_error&) {
      return -VELDOR_OSEINVMEM;
    }
  }
  std::memcpy(FBytes.data() + offset, buffer, static_cast<std::size_t>(count));
  FSize = std::max(FSize, end);
  return count;
}

std::int32_t TMemoryFile::TruncateRaw(std::int64_t size) {
  if (size < FSize) {
    // Keep the bytes past the end zero, so that growing again reads zeros.
    std::memset(FBytes.data() + size, 0, static_cast<std::size_t>(FSize - size));
    std::int64_t capacity = CapacityFor(size);
    if (capacity < static_cast<std::int64_t>(FBytes.size()) / 2) {
      FBytes.resize(static_cast<std::size_t>(capacity));
      FBytes.shrink_to_fit();
    }
    FSize = size;
    return 0;
  }
  if (size > FSize) {
    std::int64_t capacity = CapacityFor(size);
    if (capacity < 0) return -VELDOR_OSEINVMEM;
    if (capacity > static_cast<std::int64_t>(FBytes.size())) {
      try {
        FBytes.resize(static_cast<std::size_t>(capacity), 0);
      } catch (const std::exception&) {
        return -VELDOR_OSENOMEM;
      }
    }
    FSize = size;
  }
  return 0;
}

}  // namespace zorvic::engine
