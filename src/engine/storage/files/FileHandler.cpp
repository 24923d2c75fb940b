// TFileHandler: one user's handle on a table file, raising engine errors named after the file.
#include "engine/storage/files/FileLayer.h"
#include "engine/storage/locks/Journal.h"

namespace zorvic::engine {

TFileHandler::TFileHandler(std::string fileName, bool inMemory, TFileList& list)
    : FList(list), FInMemory(inMemory), FFileName(NormalizeFileName(fileName)) {}

TFileHandler::~TFileHandler() {
  CloseQuietly();
}

void TFileHandler::RaiseFileError(TErrorCode code) const {
  RaiseTableError(code, FFileName);
}

void TFileHandler::Check(std::int64_t result) const {
  if (result < 0) RaiseFileError(static_cast<TErrorCode>(-result));
}

void TFileHandler::RequireOpen() const {
  if (!FOpen) RaiseFileError(VELDOR_OSEBADF);
}

void TFileHandler::CloseQuietly() noexcept {
  if (!FOpen) return;
  FList.Close(FFile, FHandle);
  FFile.reset();
  FOpen = false;
}

void TFileHandler::Open(bool exclusive, bool temporary) {
  if (FOpen) return;
  if (!FList.Exists(FFileName, FInMemory)) RaiseFileError(VELDOR_OSENOENT);
  TOpenInfo info;
  std::int32_t handle = FList.Open(FFileName, FInMemory, temporary, exclusive, &info);
  Check(handle);
  FFile = info.File;
  FHandle = handle;
  FExclusive = exclusive;
  FTemporary = temporary;
  FOpenedReadOnly = info.OpenedReadOnly;
  FReadOnlyAttribute = info.ReadOnlyAttribute;
  FOpen = true;
}

void TFileHandler::Close() {
  if (!FOpen) return;
  std::int32_t rc = FList.Close(FFile, FHandle);
  FFile.reset();
  FOpen = false;
  Check(rc);
}

void TFileHandler::CreateFile(bool temporary) {
  Close();
  TFileRef file;
  std::int32_t handle = FList.Create(FFileName, FInMemory, temporary, &file);
  Check(handle);
  FFile = file;
  FHandle = handle;
  FExclusive = true;
  FTemporary = temporary;
  FOpenedReadOnly = false;
  FReadOnlyAttribute = false;
  FOpen = true;
}

void TFileHandler::CreateTemporaryFile(const std::string& directory, const std::string& extension) {
  Close();
  TFileRef file;
  std::string name;
  std::int32_t handle = FList.CreateTemporary(directory, extension, FInMemory, &name, &file);
  Check(handle);
  FFileName = name;
  FFile = file;
  FHandle = handle;
  FExclusive = true;
  FTemporary = true;
  FOpenedReadOnly = false;
  FReadOnlyAttribute = false;
  FOpen = true;
}

void TFileHandler::DeleteFile() {
  Close();
  Check(FList.Delete(FFileName, FInMemory));
}

void TFileHandler::RenameFile(const std::string& newName) {
  Close();
  Check(FList.Rename(FFileName, FInMemory, newName));
  FFileName = NormalizeFileName(newName);
}

void TFileHandler::CopyToFile(const std::string& otherName, bool compress,
                              const TCopyProgress& progress, int progressStep) {
  RequireOpen();
  Check(FList.CopyTo(FFile, FHandle, otherName, compress, progress, progressStep));
}

void TFileHandler::CopyFromFile(const std::string& otherName, bool compress,
                                const TCopyProgress& progress, int progressStep) {
  RequireOpen();
  Check(FList.CopyFrom(FFile, FHandle, otherName, compress, progress, progressStep));
}

std::int64_t TFileHandler::Read(void* buffer, std::int64_t count, bool allowShort) {
  RequireOpen();
  if (FCapture) {
    const std::int64_t at = Position();
    const std::int64_t got = ReadAt(at, buffer, count, allowShort);
    Seek(at + got);
    return got;
  }
  std::int64_t n = FFile->Read(FHandle, buffer, count);
  if (n < 0 || (n < count && !allowShort)) RaiseFileError(VELDOR_READERR);
  return n;
}

void TFileHandler::Write(const void* buffer, std::int64_t count) {
  RequireOpen();
  if (FCapture) {
    const std::int64_t at = Position();
    WriteAt(at, buffer, count);
    Seek(at + count);
    return;
  }
  if (FObserver) FObserver->BeforeWrite(*this, Position(), count);
  std::int64_t n = FFile->Write(FHandle, buffer, count);
  if (n != count) RaiseFileError(VELDOR_WRITEERR);
}

void TFileHandler::FlushBuffers() {
  RequireOpen();
  if (FCapture) {
    FCapture->NoteSyncWanted();  // the journal syncs in its own order
    return;
  }
  if (!FFile->Flush()) RaiseFileError(VELDOR_WRITEERR);
}

std::int64_t TFileHandler::ReadAt(std::int64_t offset, void* buffer, std::int64_t count,
                                  bool allowShort) {
  RequireOpen();
  std::int64_t n = FCapture ? FCapture->Read(*FFile, FHandle, offset, buffer, count)
                            : FFile->ReadAt(FHandle, offset, buffer, count);
  if (n < 0 || (n < count && !allowShort)) RaiseFileError(VELDOR_READERR);
  return n;
}

void TFileHandler::WriteBytesAt(std::int64_t offset, std::vector<std::uint8_t>& bytes) {
  RequireOpen();
  if (bytes.empty()) return;  // nothing to write (a write of 0 bytes would cut the file)
  if (FCapture) {
    // Taken over when held back; a buffer written straight to the file is left to the caller.
    if (offset < 0 || !FCapture->Write(offset, std::move(bytes))) RaiseFileError(VELDOR_WRITEERR);
    return;
  }
  WriteAt(offset, bytes.data(), static_cast<std::int64_t>(bytes.size()));
}

void TFileHandler::WriteAt(std::int64_t offset, const void* buffer, std::int64_t count) {
  RequireOpen();
  if (FCapture) {
    if (offset < 0 || count < 0 || !FCapture->Write(offset, buffer, count))
      RaiseFileError(VELDOR_WRITEERR);
    return;
  }
  if (FObserver) FObserver->BeforeWrite(*this, offset, count);
  std::int64_t n = FFile->WriteAt(FHandle, offset, buffer, count);
  if (n != count) RaiseFileError(VELDOR_WRITEERR);
}

void TFileHandler::Truncate(std::int64_t size) {
  WriteAt(size, nullptr, 0);
}

void TFileHandler::Seek(std::int64_t offset) {
  RequireOpen();
  Check(FFile->Seek(FHandle, offset, 0));
}

std::int64_t TFileHandler::Position() const {
  RequireOpen();
  std::int64_t position = FFile->Seek(FHandle, 0, 1);
  Check(position);
  return position;
}

std::int64_t TFileHandler::FileSize() const {
  RequireOpen();
  if (FCapture) return FCapture->Size();
  std::int64_t size = FFile->GetSize();
  Check(size);
  return size;
}

bool TFileHandler::LockRange(std::int64_t offset, std::int64_t length) {
  RequireOpen();
  return FFile->Lock(FHandle, offset, length);
}

bool TFileHandler::UnlockRange(std::int64_t offset, std::int64_t length) {
  RequireOpen();
  return FFile->Unlock(FHandle, offset, length);
}

void TFileHandler::EnterFileLock() {
  RequireOpen();
  FFile->Mutex().lock();
}

void TFileHandler::LeaveFileLock() {
  if (FFile) FFile->Mutex().unlock();
}

bool TFileHandler::OpenFileStatus(TFileStatus* status) const {
  if (!FOpen || FInMemory) return false;
  auto* physical = dynamic_cast<TPhysicalFile*>(FFile.get());
  return physical != nullptr && physical->StatOpenFile(status);
}

bool TFileHandler::Exists() const {
  return FList.Exists(FFileName, FInMemory);
}

}  // namespace zorvic::engine
