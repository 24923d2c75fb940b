// Sources of BLOB values written as streams: the bytes of a value that is stored block by block
// as they are read, so that a value of any size never sits in memory whole.
//
// A cursor keeps a source in place of the value's bytes until the record is posted; reading the
// open value before that reads the source at the offset asked for. A source may be read more
// than once (a post that fails is tried again), so ReadAt takes an offset.
//
// Thread safety: a source belongs to the value that holds it; one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace zorvic::engine {

class TBlobSource {
 public:
  virtual ~TBlobSource() = default;
  // The length of the value in bytes.
  virtual std::int64_t Size() const = 0;
  // Reads up to count bytes from offset into buffer; returns the bytes read, 0 at the end of the
  // source. Failures raise (EVELDOREngineError, VELDOR_READERR for the file source).
  virtual std::int64_t ReadAt(std::int64_t offset, void* buffer, std::int64_t count) = 0;
};

// The bytes of a file, read with positioned reads. The file is opened at construction
// (VELDOR_OSENOENT when it is missing, VELDOR_OSEACCES when it cannot be read); size -1 takes
// the file's length, any other size is the value's length (a file shorter than that makes the
// post fail with VELDOR_ENDOFBLOB).
class TFileBlobSource : public TBlobSource {
 public:
  explicit TFileBlobSource(const std::string& path, std::int64_t size = -1);
  ~TFileBlobSource() override;
  TFileBlobSource(const TFileBlobSource&) = delete;
  TFileBlobSource& operator=(const TFileBlobSource&) = delete;

  std::int64_t Size() const override { return FSize; }
  std::int64_t ReadAt(std::int64_t offset, void* buffer, std::int64_t count) override;

 private:
  int FHandle = -1;
  std::int64_t FSize = 0;
};

// The bytes a callback delivers: reader(offset, buffer, count) returns the bytes it put into
// buffer (0 at the end).
class TCallbackBlobSource : public TBlobSource {
 public:
  using TReader = std::function<std::int64_t(std::int64_t, void*, std::int64_t)>;
  TCallbackBlobSource(std::int64_t size, TReader reader)
      : FSize(size), FReader(std::move(reader)) {}

  std::int64_t Size() const override { return FSize; }
  std::int64_t ReadAt(std::int64_t offset, void* buffer, std::int64_t count) override {
    return FReader(offset, buffer, count);
  }

 private:
  std::int64_t FSize;
  TReader FReader;
};

}  // namespace zorvic::engine
