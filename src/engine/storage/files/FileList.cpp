// TFileList: the registry of open files, with the sharing rules of create, open and close.
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "engine/EngineLimits.h"
#include "engine/storage/files/FileLayer.h"
#include "engine/storage/files/ThreadId.h"

namespace zorvic::engine {
namespace {

// The first digits of the absolute value of the calling thread's id.
std::string ThreadDigits() {
  return ThreadIdDigits(TempNameThreadDigits);
}

std::atomic<TFileList::TIdleCloser> gIdleCloser{nullptr};

}  // namespace

void TFileList::SetIdleCloser(TIdleCloser closer) {
  gIdleCloser.store(closer);
}

bool TFileList::CloseIdleHolders(const std::string& name, bool inMemory) {
  if (this != &Instance()) return false;
  const TIdleCloser closer = gIdleCloser.load();
  return closer && closer(name, inMemory);
}

TFileList& TFileList::Instance() {
  static TFileList* list = new TFileList(nullptr);  // lives until exit: files close at any time
  return *list;
}

TFileList::TFileList(TFileSystem* fs) : FFixedFS(fs) {}

TFileList::~TFileList() = default;

TFileSystem& TFileList::FS() {
  return FFixedFS ? *FFixedFS : CurrentFileSystem();
}

std::size_t TFileList::Count() {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  return FFiles.size();
}

TFileRef TFileList::Find(const std::string& name, bool inMemory) {
  auto it = FFiles.find(TKey{FileNameKey(name), inMemory});
  return it == FFiles.end() ? nullptr : it->second;
}

TFileRef TFileList::MakeFile(const std::string& name, bool inMemory) {
  std::string normalized = NormalizeFileName(name);
  if (inMemory) return std::make_shared<TMemoryFile>(normalized);
  return std::make_shared<TPhysicalFile>(normalized, FS());
}

void TFileList::Forget(const TFileRef& file) {
  auto it = FFiles.find(TKey{FileNameKey(file->Name()), file->InMemory()});
  if (it != FFiles.end() && it->second == file) FFiles.erase(it);
}

std::int32_t TFileList::Create(const std::string& name, bool inMemory, bool temporary,
                               TFileRef* file) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  if (NormalizeFileName(name).empty()) return -VELDOR_OSENOENT;
  TFileRef f = Find(name, inMemory);
  bool added = false;
  if (f && f->HandleCount() > 0) {
    if (CloseIdleHolders(name, inMemory)) return Create(name, inMemory, temporary, file);
    return -VELDOR_OSEACCES;
  }
  if (!f) {
    f = MakeFile(name, inMemory);
    FFiles[TKey{FileNameKey(name), inMemory}] = f;
    added = true;
  }
  f->FExclusive = true;
  f->FTemporary = temporary;
  std::int32_t handle = f->CreateHandle();
  if (handle < 0) {
    if (added || !inMemory) Forget(f);
    return handle;
  }
  *file = f;
  return handle;
}

std::int32_t TFileList::CreateTemporary(const std::string& directory, const std::string& extension,
                                        bool inMemory, std::string* name, TFileRef* file) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  std::string folder = NormalizeFileName(directory);
  if (!folder.empty() && folder.back() != '/') folder += '/';
  std::string digits = ThreadDigits();
  for (int counter = 0; counter < TempNameAttempts; ++counter) {
    std::string candidate = folder + digits + std::to_string(counter) + extension;
    if (Find(candidate, inMemory)) continue;
    TFileRef f = MakeFile(candidate, inMemory);
    f->FExclusive = true;
    f->FTemporary = true;
    std::int32_t handle;
    if (inMemory) {
      handle = f->CreateHandle();
    } else {
      // Exclusive create: a name taken by another thread or process is skipped, never reused.
      bool collided = false;
      handle = static_cast<TPhysicalFile&>(*f).CreateExclusiveHandle(&collided);
      if (collided) continue;
    }
    if (handle < 0) return handle;
    FFiles[TKey{FileNameKey(candidate), inMemory}] = f;
    *name = candidate;
    *file = f;
    return handle;
  }
  return -VELDOR_OSEACCES;
}

std::int32_t TFileList::Open(const std::string& name, bool inMemory, bool temporary, bool exclusive,
                             TOpenInfo* info) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  if (NormalizeFileName(name).empty()) return -VELDOR_OSENOENT;
  TFileRef f = Find(name, inMemory);
  std::int32_t handle;
  if (f && f->HandleCount() > 0) {
    if (f->Exclusive() || exclusive) {
      if (CloseIdleHolders(name, inMemory)) return Open(name, inMemory, temporary, exclusive, info);
      return -VELDOR_OSEACCES;
    }
    handle = f->OpenHandle();
  } else if (f) {
    f->FExclusive = exclusive;
    f->FTemporary = temporary;
    handle = f->OpenHandle();
    if (handle < 0 && !inMemory) Forget(f);
  } else {
    if (inMemory) return -VELDOR_OSENOENT;
    f = MakeFile(name, false);
    f->FExclusive = exclusive;
    f->FTemporary = temporary;
    handle = f->OpenHandle();
    if (handle >= 0) FFiles[TKey{FileNameKey(name), false}] = f;
  }
  if (handle < 0) return handle;
  info->File = f;
  info->OpenedReadOnly = f->OpenedReadOnly();
  info->ReadOnlyAttribute = f->ReadOnlyAttribute();
  return handle;
}

std::int32_t TFileList::Close(const TFileRef& file, std::int32_t handle) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  if (!file) return -VELDOR_OSENOENT;
  TFileRef registered = Find(file->Name(), file->InMemory());
  if (registered != file) return -VELDOR_OSENOENT;
  std::int32_t rc = file->CloseHandle(handle);
  if (rc < 0) return rc;
  if (file->HandleCount() == 0 && (!file->InMemory() || file->Temporary())) {
    if (file->InMemory()) file->Delete();
    Forget(file);
  }
  return 0;
}

std::int32_t TFileList::Rename(const std::string& name, bool inMemory, const std::string& newName) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  if (NormalizeFileName(newName).empty()) return -VELDOR_OSENOENT;
  TFileRef f = Find(name, inMemory);
  if (f && f->HandleCount() > 0) {
    if (CloseIdleHolders(name, inMemory)) return Rename(name, inMemory, newName);
    return -VELDOR_OSEACCES;
  }
  TFileRef target = Find(newName, inMemory);
  if (target && target != f) return -VELDOR_OSEACCES;  // never replace another file
  if (inMemory) {
    if (!f) return -VELDOR_OSENOENT;
    Forget(f);
    f->Rename(NormalizeFileName(newName));
    FFiles[TKey{FileNameKey(newName), true}] = f;
    return 0;
  }
  TPhysicalFile onDisk(NormalizeFileName(name), FS());
  return onDisk.Rename(NormalizeFileName(newName));
}

std::int32_t TFileList::Delete(const std::string& name, bool inMemory) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  TFileRef f = Find(name, inMemory);
  if (f && f->HandleCount() > 0) {
    if (CloseIdleHolders(name, inMemory)) return Delete(name, inMemory);
    return -VELDOR_OSEACCES;
  }
  if (inMemory) {
    if (!f) return -VELDOR_OSENOENT;
    f->Delete();
    Forget(f);
    return 0;
  }
  TPhysicalFile onDisk(NormalizeFileName(name), FS());
  return onDisk.Delete();
}

bool TFileList::Exists(const std::string& name, bool inMemory) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  if (Find(name, inMemory)) return true;
  if (inMemory) return false;
  std::string path = ResolveTableFileName(name, FS());
  if (path.empty()) return false;
  TFileStatus status;
  return FS().Stat(path, &status) == 0 && status.Exists && !status.IsDirectory;
}

std::int32_t TFileList::CopyTo(const TFileRef& file, std::int32_t handle,
                               const std::string& otherName, bool compress,
                               const TCopyProgress& progress, int progressStep) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  return CopyLocked(file, handle, otherName, true, compress, progress, progressStep);
}

std::int32_t TFileList::CopyFrom(const TFileRef& file, std::int32_t handle,
                                 const std::string& otherName, bool compress,
                                 const TCopyProgress& progress, int progressStep) {
  std::lock_guard<std::recursive_mutex> guard(FMutex);
  return CopyLocked(file, handle, otherName, false, compress, progress, progressStep);
}

}  // namespace zorvic::engine
