// Whole-file copies of the file layer, plain or with every chunk compressed.
//
// A compressed copy is a sequence of frames, one per chunk of at most FileCopyChunkSize bytes:
//   4 bytes little-endian: length of the original chunk (1..FileCopyChunkSize)
//   4 bytes little-endian: length of the compressed bytes that follow
//   the chunk compressed by zlib at level 9
// Reading back checks both lengths against their bounds before allocating anything and checks
// that each frame inflates to exactly its announced length.
#include <zlib.h>

#include <cstring>
#include <vector>

#include "engine/EngineLimits.h"
#include "engine/storage/files/FileLayer.h"

namespace zorvic::engine {
namespace {

constexpr std::int64_t FrameHeaderSize = 8;

void PutLE32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t GetLE32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Reports progress when it has grown by at least step since the last report.
class TProgressReporter {
 public:
  TProgressReporter(const TCopyProgress& progress, int step, std::int64_t total)
      : FProgress(progress), FStep(step), FTotal(total) {}
  void Done(std::int64_t bytes) {
    if (!FProgress) return;
    int percent = FTotal <= 0 ? 100 : static_cast<int>(bytes * 100 / FTotal);
    if (percent - FLast >= FStep) {
      FLast = percent;
      FProgress(percent);
    }
  }

 private:
  const TCopyProgress& FProgress;
  int FStep;
  std::int64_t FTotal;
  int FLast = 0;
};

// Closes the other file of a copy whatever happens.
struct TOtherFile {
  TFileList& List;
  TFileRef File;
  std::int32_t Handle = -1;
  ~TOtherFile() {
    if (File && Handle >= 0) List.Close(File, Handle);
  }
};

}  // namespace

std::int32_t TFileList::CopyLocked(const TFileRef& file, std::int32_t handle,
                                   const std::string& otherName, bool toOther, bool compress,
                                   const TCopyProgress& progress, int progressStep) {
  if (!file || file->FindHandle(handle) < 0) return -VELDOR_OSEBADF;
  bool inMemory = file->InMemory();
  TOtherFile other{*this, nullptr, -1};
  if (toOther) {
    other.Handle = Create(otherName, inMemory, false, &other.File);
  } else {
    TOpenInfo info;
    other.Handle = Open(otherName, inMemory, false, false, &info);
    other.File = info.File;
  }
  if (other.Handle < 0) return other.Handle;

  TAbstractFile& source = toOther ? *file : *other.File;
  std::int32_t sourceHandle = toOther ? handle : other.Handle;
  TAbstractFile& target = toOther ? *other.File : *file;
  std::int32_t targetHandle = toOther ? other.Handle : handle;

  std::int64_t total = source.GetSize();
  if (total < 0) return static_cast<std::int32_t>(total);
  TProgressReporter reporter(progress, progressStep, total);
  std::vector<std::uint8_t> chunk(FileCopyChunkSize);
  std::vector<std::uint8_t> packed(compressBound(FileCopyChunkSize) + FrameHeaderSize);
  std::int64_t readPos = 0;
  std::int64_t writePos = 0;

  while (readPos < total) {
    std::int64_t length;
    if (compress && !toOther) {
      // One frame of the compressed source.
      std::uint8_t header[FrameHeaderSize];
      if (source.ReadAt(sourceHandle, readPos, header, FrameHeaderSize) != FrameHeaderSize) {
        return -VELDOR_UNCOMPRESS;
      }
      std::uint32_t original = GetLE32(header);
      std::uint32_t stored = GetLE32(header + 4);
      if (original == 0 || original > FileCopyChunkSize || stored == 0 ||
          stored > compressBound(FileCopyChunkSize)) {
        return -VELDOR_UNCOMPRESS;
      }
      if (source.ReadAt(sourceHandle, readPos + FrameHeaderSize, packed.data(), stored) !=
          static_cast<std::int64_t>(stored)) {
        return -VELDOR_UNCOMPRESS;
      }
      uLongf outLength = static_cast<uLongf>(chunk.size());
      if (uncompress(chunk.data(), &outLength, packed.data(), stored) != Z_OK ||
          outLength != original) {
        return -VELDOR_UNCOMPRESS;
      }
      readPos += FrameHeaderSize + stored;
      length = original;
      if (target.WriteAt(targetHandle, writePos, chunk.data(), length) != length) {
        return -VELDOR_WRITEERR;
      }
      writePos += length;
    } else {
      length = std::min<std::int64_t>(FileCopyChunkSize, total - readPos);
      if (source.ReadAt(sourceHandle, readPos, chunk.data(), length) != length) {
        return -VELDOR_READERR;
      }
      readPos += length;
      const std::uint8_t* out = chunk.data();
      std::int64_t outLength = length;
      if (compress) {
        uLongf packedLength = static_cast<uLongf>(packed.size() - FrameHeaderSize);
        if (compress2(packed.data() + FrameHeaderSize, &packedLength, chunk.data(),
                      static_cast<uLong>(length), 9) != Z_OK) {
          return -VELDOR_COMPRESS;
        }
        PutLE32(packed.data(), static_cast<std::uint32_t>(length));
        PutLE32(packed.data() + 4, static_cast<std::uint32_t>(packedLength));
        out = packed.data();
        outLength = FrameHeaderSize + static_cast<std::int64_t>(packedLength);
      }
      if (target.WriteAt(targetHandle, writePos, out, outLength) != outLength) {
        return -VELDOR_WRITEERR;
      }
      writePos += outLength;
    }
    reporter.Done(readPos);
  }
  // The target ends where the copy ends (copying into an existing, longer file).
  if (target.WriteAt(targetHandle, writePos, nullptr, 0) < 0) return -VELDOR_WRITEERR;
  return 0;
}

}  // namespace zorvic::engine
