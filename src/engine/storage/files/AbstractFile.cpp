// TAbstractFile: handles with their positions, and the process-wide table of held byte ranges.
#include <algorithm>
#include <iterator>
#include <limits>

#include "engine/storage/files/FileLayer.h"

namespace zorvic::engine {

TAbstractFile::TAbstractFile(std::string name, bool inMemory)
    : FName(std::move(name)), FInMemory(inMemory) {}

TAbstractFile::~TAbstractFile() = default;

int TAbstractFile::FindHandle(std::int32_t handle) const {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  for (std::size_t i = 0; i < FHandles.size(); ++i) {
    if (FHandles[i].Handle == handle) return static_cast<int>(i);
  }
  return -1;
}

int TAbstractFile::HandleCount() const {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  return static_cast<int>(FHandles.size());
}

std::size_t TAbstractFile::LockCount() const {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  return FLocks.size();
}

std::int32_t TAbstractFile::AddHandle() {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  THandleEntry entry;
  entry.Handle = ++FHandleCounter;
  FHandles.push_back(entry);
  return entry.Handle;
}

std::int32_t TAbstractFile::CloseHandle(std::int32_t handle) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  int index = FindHandle(handle);
  if (index < 0) return -VELDOR_OSEBADF;
  // A user that closes without unlocking must not leave its ranges locked for the whole process.
  for (auto it = FLocks.begin(); it != FLocks.end();) {
    if (it->second.Owner == handle) {
      UnlockSystemRange(it->second.First, it->second.Length);
      it = FLocks.erase(it);
    } else {
      ++it;
    }
  }
  FHandles.erase(FHandles.begin() + index);
  return 0;
}

void TAbstractFile::ReleaseAllLocks() {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  FLocks.clear();
}

std::int64_t TAbstractFile::Read(std::int32_t handle, void* buffer, std::int64_t count) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  int index = FindHandle(handle);
  if (index < 0) return -VELDOR_OSEBADF;
  if (count < 0) return -VELDOR_OSUNKNOWN;
  if (count == 0) return 0;
  std::int64_t n = ReadRaw(FHandles[index].Position, buffer, count);
  if (n > 0) FHandles[index].Position += n;
  return n;
}

std::int64_t TAbstractFile::Write(std::int32_t handle, const void* buffer, std::int64_t count) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  int index = FindHandle(handle);
  if (index < 0) return -VELDOR_OSEBADF;
  if (count < 0) return -VELDOR_OSUNKNOWN;
  if (count == 0) {
    std::int32_t rc = TruncateRaw(FHandles[index].Position);
    return rc < 0 ? rc : 0;
  }
  std::int64_t n = WriteRaw(FHandles[index].Position, buffer, count);
  if (n > 0) FHandles[index].Position += n;
  return n;
}

std::int64_t TAbstractFile::ReadAt(std::int32_t handle, std::int64_t offset, void* buffer,
                                   std::int64_t count) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  std::int64_t rc = Seek(handle, offset, 0);
  return rc < 0 ? rc : Read(handle, buffer, count);
}

std::int64_t TAbstractFile::WriteAt(std::int32_t handle, std::int64_t offset, const void* buffer,
                                    std::int64_t count) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  std::int64_t rc = Seek(handle, offset, 0);
  return rc < 0 ? rc : Write(handle, buffer, count);
}

std::int64_t TAbstractFile::Seek(std::int32_t handle, std::int64_t offset, int mode) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  int index = FindHandle(handle);
  if (index < 0) return -VELDOR_OSEBADF;
  std::int64_t base = 0;
  if (mode == 1) {
    base = FHandles[index].Position;
  } else if (mode == 2) {
    base = GetSize();
    if (base < 0) return base;
    offset = -offset;  // back from the end
  } else if (mode != 0) {
    return -VELDOR_OSUNKNOWN;
  }
  if ((offset > 0 && base > std::numeric_limits<std::int64_t>::max() - offset) ||
      base + offset < 0) {
    return -VELDOR_OSUNKNOWN;
  }
  FHandles[index].Position = base + offset;
  return FHandles[index].Position;
}

bool TAbstractFile::Lock(std::int32_t handle, std::int64_t offset, std::int64_t length) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  if (FindHandle(handle) < 0 || offset < 0 || length < 1 ||
      length - 1 > std::numeric_limits<std::int64_t>::max() - offset) {
    return false;
  }
  std::int64_t last = offset + (length - 1);
  // The held range with the highest first byte not above our last byte is the only one that
  // can overlap (whoever holds it).
  auto after = FLocks.upper_bound(last);
  if (after != FLocks.begin() && std::prev(after)->second.Last >= offset) return false;
  if (!LockSystemRange(offset, length)) return false;
  FLocks.emplace_hint(after, offset, TLockEntry{offset, last, length, handle});
  return true;
}

bool TAbstractFile::Unlock(std::int32_t handle, std::int64_t offset, std::int64_t length) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  if (FindHandle(handle) < 0) return false;
  auto it = FLocks.find(offset);
  if (it == FLocks.end() || it->second.Length != length) return false;
  UnlockSystemRange(offset, length);
  FLocks.erase(it);
  return true;
}

bool TAbstractFile::LockSystemRange(std::int64_t, std::int64_t) {
  return true;
}

void TAbstractFile::UnlockSystemRange(std::int64_t, std::int64_t) {}

}  // namespace zorvic::engine
