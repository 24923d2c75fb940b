// The file source of streamed BLOB values.
#include "engine/storage/formats/BlobSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/EngineLimits.h"
#include "engine/storage/EngineError.h"

namespace zorvic::engine {

TFileBlobSource::TFileBlobSource(const std::string& path, std::int64_t size) {
  FHandle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  TErrorTexts texts;
  texts.Text = path;
  if (FHandle < 0) RaiseEngineError(errno == ENOENT ? VELDOR_OSENOENT : VELDOR_OSEACCES, texts);
  struct stat st {};
  if (::fstat(FHandle, &st) != 0) {
    ::close(FHandle);
    FHandle = -1;
    RaiseEngineError(VELDOR_READERR, texts);
  }
  FSize = size < 0 ? static_cast<std::int64_t>(st.st_size) : size;
  if (FSize > MaxBlobValueLength) {
    ::close(FHandle);
    FHandle = -1;
    RaiseEngineError(VELDOR_INVALIDBLOBLEN, texts);
  }
}

TFileBlobSource::~TFileBlobSource() {
  if (FHandle >= 0) ::close(FHandle);
}

std::int64_t TFileBlobSource::ReadAt(std::int64_t offset, void* buffer, std::int64_t count) {
  if (offset < 0 || count < 0) RaiseEngineError(VELDOR_READERR);
  for (;;) {
    const ssize_t got =
        ::pread(FHandle, buffer, static_cast<std::size_t>(count), static_cast<off_t>(offset));
    if (got >= 0) return got;
    if (errno != EINTR) RaiseEngineError(VELDOR_READERR);
  }
}

}  // namespace zorvic::engine
