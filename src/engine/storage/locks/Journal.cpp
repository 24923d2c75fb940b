// The rollback journal: held-back writes, the journal file, playback.
#include "engine/storage/locks/Journal.h"

#include "engine/storage/locks/UndoJournal.h"

#include <fcntl.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace zorvic::engine {
namespace {

constexpr char JournalMagic[8] = {'Z', 'V', 'J', 'R', 'N', 'L', '0', '1'};
constexpr std::size_t JournalHeaderSize = 48;
constexpr std::uint32_t RoleLead = 1;
constexpr std::uint32_t RoleMember = 2;
constexpr std::uint32_t FlagDigests = 1;
// Written right after the zeroed header by a retirement that is not flushed (Journal.h).
constexpr char UnflushedMark[8] = {'Z', 'V', 'J', 'R', 'N', 'L', 'U', 'F'};
constexpr std::size_t ProbeSize = JournalHeaderSize + sizeof UnflushedMark;
// A journal body larger than this is taken for damage, not read into memory.
constexpr std::uint64_t MaxJournalBody = 1ULL << 36;

std::uint32_t Crc(const std::uint8_t* bytes, std::size_t count) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (count > 0) {
    const uInt chunk = static_cast<uInt>(std::min<std::size_t>(count, 1u << 30));
    crc = crc32(crc, bytes, chunk);
    bytes += chunk;
    count -= chunk;
  }
  return static_cast<std::uint32_t>(crc);
}

template <class T>
void Put(std::vector<std::uint8_t>& out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i)
    out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i)));
}

void PutName(std::vector<std::uint8_t>& out, const std::string& name) {
  Put<std::uint16_t>(out, static_cast<std::uint16_t>(name.size()));
  out.insert(out.end(), name.begin(), name.end());
}

template <class T>
void Store(std::uint8_t* at, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i)
    at[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i));
}

// Reads the body back; every read is bounds-checked.
class TReader {
 public:
  TReader(const std::uint8_t* bytes, std::size_t size) : FBytes(bytes), FSize(size) {}
  template <class T>
  bool Get(T* value) {
    if (FSize - FPos < sizeof(T)) return false;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
      v |= static_cast<std::uint64_t>(FBytes[FPos + i]) << (8 * i);
    FPos += sizeof(T);
    *value = static_cast<T>(v);
    return true;
  }
  bool GetName(std::string* name) {
    std::uint16_t n = 0;
    if (!Get(&n) || FSize - FPos < n) return false;
    name->assign(reinterpret_cast<const char*>(FBytes + FPos), n);
    FPos += n;
    return !name->empty() && name->find('/') == std::string::npos;
  }
  bool GetBytes(std::size_t n, std::vector<std::uint8_t>* bytes) {
    if (FSize - FPos < n) return false;
    bytes->assign(FBytes + FPos, FBytes + FPos + n);
    FPos += n;
    return true;
  }
  bool AtEnd() const { return FPos == FSize; }

 private:
  const std::uint8_t* FBytes;
  std::size_t FSize;
  std::size_t FPos = 0;
};

// Distinct within the process (a counter) and, through the random start, between processes.
// One process-wide state rather than a generator per thread: a per-thread generator would sit
// in the static thread-local block of every thread, a page of each connection thread's stack.
std::uint64_t NewGroupId() {
  static std::atomic<std::uint64_t> next{(std::uint64_t{std::random_device{}()} << 32) ^
                                         std::random_device{}()};
  for (;;) {
    // splitmix64 of the counter: a bijection, so distinct counters give distinct ids.
    std::uint64_t id = next.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed);
    id = (id ^ (id >> 30)) * 0xBF58476D1CE4E5B9ull;
    id = (id ^ (id >> 27)) * 0x94D049BB133111EBull;
    id ^= id >> 31;
    if (id != 0) return id;
  }
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::int32_t WriteAll(TFileSystem& fs, int fd, const std::uint8_t* bytes, std::size_t count,
                      std::int64_t offset) {
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = fs.PWrite(fd, bytes + done, count - done, offset + static_cast<std::int64_t>(done));
    if (n < 0) return MapOSError(errno);
    if (n == 0) return -VELDOR_WRITEERR;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

std::int64_t ReadAll(TFileSystem& fs, int fd, std::uint8_t* bytes, std::size_t count,
                     std::int64_t offset) {
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = fs.PRead(fd, bytes + done, count - done, offset + static_cast<std::int64_t>(done));
    if (n < 0) return MapOSError(errno);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

std::uint64_t LoadLittle64(const std::uint8_t* at) {
  std::uint64_t v;
  std::memcpy(&v, at, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

std::uint64_t MixWord(std::uint64_t h, std::uint64_t w) {
  w *= 0xBF58476D1CE4E5B9ull;
  w ^= w >> 31;
  h = (h ^ w) * 0x9FB21C651E98DF25ull;
  return h ^ (h >> 29);
}

}  // namespace

std::uint64_t ContentDigest(const std::uint8_t* bytes, std::size_t count) {
  // Four lanes of eight bytes each, so that the multiplications of neighbouring words overlap.
  std::uint64_t lanes[4] = {0x243F6A8885A308D3ull, 0x13198A2E03707344ull, 0xA4093822299F31D0ull,
                            0x082EFA98EC4E6C89ull};
  std::size_t i = 0;
  for (; i + 32 <= count; i += 32)
    for (int k = 0; k < 4; ++k)
      lanes[k] = MixWord(lanes[k], LoadLittle64(bytes + i + 8 * k));
  for (; i + 8 <= count; i += 8)
    lanes[0] = MixWord(lanes[0], LoadLittle64(bytes + i));
  std::uint8_t tail[8] = {};
  if (count > i) std::memcpy(tail, bytes + i, count - i);
  lanes[1] = MixWord(lanes[1], LoadLittle64(tail));
  std::uint64_t h = static_cast<std::uint64_t>(count) * 0x9E3779B97F4A7C15ull;
  for (std::uint64_t lane : lanes)
    h = MixWord(h, lane);
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  return h ^ (h >> 33);
}

// ---- TWriteCapture ------------------------------------------------------------------------

bool TWriteCapture::Cut(std::int64_t size) {
  if (HasDirectWrites() && size < FDirectEnd) {
    // What was written directly past the cut goes from the file too (never a byte of its old
    // length); cut below the old end, the write is held back from then on.
    const std::int64_t to = std::max(size, FOriginalSize);
    if (FFile->WriteAt(FHandle, to, nullptr, 0) != 0) return false;
    FDirectEnd = to;
  }
  FSize = size;
  FMinSize = std::min(FMinSize, size);
  auto it = FPieces.lower_bound(size);
  FPieces.erase(it, FPieces.end());
  if (!FPieces.empty()) {
    auto last = std::prev(FPieces.end());
    const std::int64_t end = last->first + static_cast<std::int64_t>(last->second.size());
    if (end > size) last->second.resize(static_cast<std::size_t>(size - last->first));
  }
  return true;
}

bool TWriteCapture::GoesDirect(std::int64_t offset, std::int64_t count) {
  if (!FGate || count < DirectWriteMin || offset < FOriginalSize || FMinSize < FOriginalSize)
    return false;
  if (FGateAnswer < 0) FGateAnswer = FGate->DirectWritesAllowed() ? 1 : 0;
  return FGateAnswer == 1;
}

bool TWriteCapture::WriteDirect(std::int64_t offset, const void* data, std::int64_t count) {
  Clear(offset, offset + count);
  // A failed write may have left part of its bytes: they count as written until undone.
  FDirectEnd = std::max(FDirectEnd, offset + count);
  FSize = std::max(FSize, offset + count);
  return FFile->WriteAt(FHandle, offset, data, count) == count;
}

void TWriteCapture::UndoDirectWrites() noexcept {
  if (!HasDirectWrites()) return;
  if (FFile->WriteAt(FHandle, FOriginalSize, nullptr, 0) == 0) FDirectEnd = FOriginalSize;
}

bool TWriteCapture::Write(std::int64_t offset, const void* data, std::int64_t count) {
  if (count == 0) return Cut(offset);
  if (GoesDirect(offset, count)) return WriteDirect(offset, data, count);
  Clear(offset, offset + count);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  FPieces[offset].assign(bytes, bytes + count);
  FSize = std::max(FSize, offset + count);
  return true;
}

bool TWriteCapture::Write(std::int64_t offset, std::vector<std::uint8_t>&& bytes) {
  const std::int64_t count = static_cast<std::int64_t>(bytes.size());
  if (GoesDirect(offset, count)) return WriteDirect(offset, bytes.data(), count);
  const std::int64_t end = offset + count;
  Clear(offset, end);
  FPieces[offset] = std::move(bytes);
  bytes.clear();  // taken: empty, whatever the move left
  FSize = std::max(FSize, end);
  return true;
}

void TWriteCapture::Clear(std::int64_t offset, std::int64_t end) {
  // Pieces overlapping [offset, end) lose that part.
  auto it = FPieces.lower_bound(offset);
  if (it != FPieces.begin()) {
    auto before = std::prev(it);
    const std::int64_t beforeEnd = before->first + static_cast<std::int64_t>(before->second.size());
    if (beforeEnd > offset) {
      if (beforeEnd > end) {
        std::vector<std::uint8_t> tail(before->second.begin() + (end - before->first),
                                       before->second.end());
        FPieces.emplace(end, std::move(tail));
      }
      before->second.resize(static_cast<std::size_t>(offset - before->first));
    }
  }
  it = FPieces.lower_bound(offset);
  while (it != FPieces.end() && it->first < end) {
    const std::int64_t pieceEnd = it->first + static_cast<std::int64_t>(it->second.size());
    if (pieceEnd > end) {
      std::vector<std::uint8_t> tail(it->second.begin() + (end - it->first), it->second.end());
      FPieces.emplace(end, std::move(tail));
    }
    it = FPieces.erase(it);
  }
}

std::int64_t TWriteCapture::Read(TAbstractFile& file, std::int32_t handle, std::int64_t offset,
                                 void* buffer, std::int64_t count) {
  if (offset < 0 || count < 0) return -VELDOR_READERR;
  const std::int64_t n = std::clamp<std::int64_t>(FSize - offset, 0, count);
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::memset(out, 0, static_cast<std::size_t>(n));
  // Direct writes only happen while the file was not cut below its old end.
  const std::int64_t fileEnd = HasDirectWrites() ? FDirectEnd : FMinSize;
  const std::int64_t fromFile = std::clamp<std::int64_t>(fileEnd - offset, 0, n);
  if (fromFile > 0) {
    const std::int64_t got = file.ReadAt(handle, offset, out, fromFile);
    if (got < 0) return got;
  }
  const std::int64_t end = offset + n;
  auto it = FPieces.upper_bound(offset);
  if (it != FPieces.begin()) --it;
  for (; it != FPieces.end() && it->first < end; ++it) {
    const std::int64_t pieceEnd = it->first + static_cast<std::int64_t>(it->second.size());
    const std::int64_t from = std::max(offset, it->first);
    const std::int64_t to = std::min(end, pieceEnd);
    if (from < to)
      std::memcpy(out + (from - offset), it->second.data() + (from - it->first),
                  static_cast<std::size_t>(to - from));
  }
  return n;
}

// ---- journal files ------------------------------------------------------------------------

std::string JournalFileName(const std::string& folder, const std::string& table) {
  return MakeTableFileName(folder, table, ".JNL");
}

TJournalState ReadJournal(TFileSystem& fs, const std::string& path, TJournalContent* content) {
  const std::string resolved = ResolveTableFileName(path, fs);
  TFileStatus status;
  if (fs.Stat(resolved, &status) != 0 || !status.Exists || status.IsDirectory)
    return TJournalState::None;
  int fd = fs.Open(resolved, O_RDONLY, 0);
  if (fd < 0) return TJournalState::None;
  struct TCloser {
    TFileSystem& FS;
    int Fd;
    ~TCloser() { FS.Close(Fd); }
  } closer{fs, fd};
  std::uint8_t header[JournalHeaderSize];
  if (ReadAll(fs, fd, header, JournalHeaderSize, 0) != static_cast<std::int64_t>(JournalHeaderSize))
    return TJournalState::Incomplete;
  std::uint64_t groupId = 0, bodyLength = 0;
  std::uint32_t bodyCrc = 0, role = 0, flags = 0, headerCrc = 0;
  if (std::memcmp(header, JournalMagic, sizeof JournalMagic) != 0) return TJournalState::Incomplete;
  TReader fields(header + 8, JournalHeaderSize - 8);
  fields.Get(&groupId);
  fields.Get(&bodyLength);
  fields.Get(&bodyCrc);
  fields.Get(&role);
  fields.Get(&flags);
  TReader tail(header + 44, 4);
  tail.Get(&headerCrc);
  if (Crc(header, 44) != headerCrc || groupId == 0 || (role != RoleLead && role != RoleMember) ||
      bodyLength > MaxJournalBody)
    return TJournalState::Incomplete;
  std::vector<std::uint8_t> body(static_cast<std::size_t>(bodyLength));
  if (ReadAll(fs, fd, body.data(), body.size(), JournalHeaderSize) !=
      static_cast<std::int64_t>(body.size()))
    return TJournalState::Incomplete;
  if (Crc(body.data(), body.size()) != bodyCrc) return TJournalState::Incomplete;

  TJournalContent parsed;
  parsed.GroupId = groupId;
  parsed.Lead = role == RoleLead;
  TReader r(body.data(), body.size());
  std::uint16_t tables = 0;
  if (!r.Get(&tables) || tables == 0) return TJournalState::Incomplete;
  for (std::uint16_t i = 0; i < tables; ++i) {
    std::string name;
    if (!r.GetName(&name)) return TJournalState::Incomplete;
    parsed.Tables.push_back(name);
  }
  std::uint32_t files = 0;
  if (!r.Get(&files)) return TJournalState::Incomplete;
  for (std::uint32_t i = 0; i < files; ++i) {
    TJournalFileImage image;
    std::uint32_t ranges = 0;
    if (!r.GetName(&image.Name) || !r.Get(&image.OriginalSize) || image.OriginalSize < 0 ||
        !r.Get(&ranges))
      return TJournalState::Incomplete;
    for (std::uint32_t k = 0; k < ranges; ++k) {
      TJournalRange range;
      std::uint32_t length = 0;
      if (!r.Get(&range.Offset) || range.Offset < 0 || !r.Get(&length) ||
          !r.GetBytes(length, &range.Bytes))
        return TJournalState::Incomplete;
      image.Ranges.push_back(std::move(range));
    }
    parsed.Files.push_back(std::move(image));
  }
  parsed.HasDigests = (flags & FlagDigests) != 0;
  for (std::size_t i = 0; parsed.HasDigests && i < parsed.Files.size(); ++i) {
    TJournalFileAfter after;
    std::uint32_t pieces = 0;
    if (!r.Get(&after.Size) || after.Size < -1 || !r.Get(&pieces) || (after.Size < 0 && pieces > 0))
      return TJournalState::Incomplete;
    for (std::uint32_t k = 0; k < pieces; ++k) {
      TJournalWrittenPiece piece;
      if (!r.Get(&piece.Offset) || piece.Offset < 0 || !r.Get(&piece.Length) ||
          !r.Get(&piece.Digest))
        return TJournalState::Incomplete;
      after.Pieces.push_back(piece);
    }
    parsed.After.push_back(std::move(after));
  }
  if (!r.AtEnd()) return TJournalState::Incomplete;
  if (content) *content = std::move(parsed);
  return TJournalState::Valid;
}

std::int32_t PlayBackImages(TFileSystem& fs, const std::string& folder,
                            const std::vector<TJournalFileImage>& files, bool sync) {
  for (const TJournalFileImage& image : files) {
    const std::string path = ResolveTableFileName(folder + image.Name, fs);
    int fd = fs.Open(path, O_RDWR, 0);
    if (fd < 0) {
      // A file the write created and a crash left empty or missing: nothing of it to restore.
      if (errno == ENOENT && image.OriginalSize == 0) continue;
      return MapOSError(errno);
    }
    // Cut back first and then the ranges back to front, so the header with its ChangeCount is
    // the last range put back: a file left half restored (playback interrupted) keeps the
    // count its writer moved, and the next to take the table's locks finds the journal.
    std::int32_t rc = 0;
    if (fs.Truncate(fd, image.OriginalSize) != 0) rc = MapOSError(errno);
    for (auto range = image.Ranges.rbegin(); rc == 0 && range != image.Ranges.rend(); ++range)
      rc = WriteAll(fs, fd, range->Bytes.data(), range->Bytes.size(), range->Offset);
    if (rc == 0 && sync && fs.Sync(fd) != 0) rc = -VELDOR_WRITEERR;
    fs.Close(fd);
    if (rc < 0) return rc;
  }
  return 0;
}

bool JournalWriteComplete(TFileSystem& fs, const std::string& folder,
                          const TJournalContent& content) {
  if (!content.HasDigests || content.After.size() != content.Files.size()) return false;
  std::vector<std::uint8_t> buffer;
  for (std::size_t i = 0; i < content.Files.size(); ++i) {
    const TJournalFileAfter& after = content.After[i];
    if (after.Size < 0) continue;  // a file the write did not touch
    const int fd = fs.Open(ResolveTableFileName(folder + content.Files[i].Name, fs), O_RDONLY, 0);
    if (fd < 0) return false;
    std::int64_t size = -1;
    bool same = fs.Size(fd, &size) == 0 && size == after.Size;
    for (std::size_t k = 0; same && k < after.Pieces.size(); ++k) {
      const TJournalWrittenPiece& piece = after.Pieces[k];
      if (piece.Offset > after.Size - static_cast<std::int64_t>(piece.Length)) {
        same = false;
        break;
      }
      buffer.resize(piece.Length);
      same = ReadAll(fs, fd, buffer.data(), buffer.size(), piece.Offset) ==
                 static_cast<std::int64_t>(buffer.size()) &&
             ContentDigest(buffer.data(), buffer.size()) == piece.Digest;
    }
    fs.Close(fd);
    if (!same) return false;
  }
  return true;
}

std::int32_t RemoveJournal(TFileSystem& fs, const std::string& path, bool sync) {
  const std::string resolved = ResolveTableFileName(path, fs);
  TFileStatus status;
  if (fs.Stat(resolved, &status) != 0) return MapOSError(errno);
  if (!status.Exists) return 0;
  if (sync) {
    int fd = fs.Open(resolved, O_RDWR, 0);
    if (fd < 0) return MapOSError(errno);
    const std::uint8_t zeros[JournalHeaderSize] = {};
    std::int32_t rc = WriteAll(fs, fd, zeros, JournalHeaderSize, 0);
    if (rc == 0 && fs.Sync(fd) != 0) rc = -VELDOR_WRITEERR;
    fs.Close(fd);
    if (rc < 0) return rc;
  }
  if (fs.Unlink(resolved) != 0 && errno != ENOENT) return MapOSError(errno);
  return 0;
}

TJournalPresence ProbeJournal(TFileSystem& fs, const std::string& path, bool* unflushed) {
  if (unflushed) *unflushed = false;
  int fd = fs.Open(path, O_RDONLY, 0);
  if (fd < 0) return errno == ENOENT ? TJournalPresence::Missing : TJournalPresence::Busy;
  const TJournalPresence presence = ProbeJournalDescriptor(fs, fd, unflushed);
  fs.Close(fd);
  return presence;
}

TJournalPresence ProbeJournalDescriptor(TFileSystem& fs, int fd, bool* unflushed) {
  if (unflushed) *unflushed = false;
  std::uint8_t header[ProbeSize];
  const std::int64_t got = ReadAll(fs, fd, header, unflushed ? ProbeSize : JournalHeaderSize, 0);
  if (got < 0) return TJournalPresence::Busy;
  const std::int64_t headerBytes = std::min<std::int64_t>(got, JournalHeaderSize);
  const bool zero =
      std::all_of(header, header + headerBytes, [](std::uint8_t b) { return b == 0; });
  if (zero && unflushed && got == static_cast<std::int64_t>(ProbeSize))
    *unflushed = std::memcmp(header + JournalHeaderSize, UnflushedMark, sizeof UnflushedMark) == 0;
  return zero ? TJournalPresence::Idle : TJournalPresence::Busy;
}

bool FlushUnflushedRetirement(TFileSystem& fs, const std::string& path) {
  int fd = fs.Open(path, O_RDONLY, 0);
  if (fd < 0) return false;
  bool unflushed = false;
  ProbeJournalDescriptor(fs, fd, &unflushed);
  if (unflushed) fs.Sync(fd);
  fs.Close(fd);
  return unflushed;
}

int CheckKeptJournal(TFileSystem& fs, int& fd) {
  if (fd < 0) return fd;
  TFileStatus status;
  if (fs.StatDescriptor(fd, &status) == 0 && status.Links > 0) return fd;
  fs.Close(fd);
  fd = -1;
  return fd;
}

bool RemoveIdleJournal(TFileSystem& fs, const std::string& path) {
  int fd = fs.Open(path, O_RDWR, 0);
  if (fd < 0) return false;
  // A table object that keeps the file open holds a shared lock on its first byte.
  bool removed = false;
  if (fs.LockRange(fd, true, 0, 1) == 0) {
    bool unflushed = false;
    removed = ProbeJournalDescriptor(fs, fd, &unflushed) == TJournalPresence::Idle &&
              (!unflushed || fs.Sync(fd) == 0) && fs.Unlink(path) == 0;
    fs.UnlockRange(fd, 0, 1);
  }
  fs.Close(fd);
  return removed;
}

// ---- TCommitJournal -----------------------------------------------------------------------

TCommitJournal::TCommitJournal(std::string folder, TFileSystem& fs)
    : FFolder(std::move(folder)), FFS(fs) {}

TCommitJournal::~TCommitJournal() {
  Detach();
  if (!FCommitStarted) UndoDirectWrites();
  CloseJournals();
  if (!FCommitStarted) RunFailureHandlers();
}

void TCommitJournal::RunFailureHandlers() noexcept {
  std::vector<std::function<void()>> handlers;
  handlers.swap(FOnFailure);
  for (const std::function<void()>& handler : handlers) {
    try {
      handler();
    } catch (...) {
    }
  }
}

void TCommitJournal::Detach() noexcept {
  for (TTableEntry& table : FTables) {
    for (TFileEntry& file : table.Files) {
      if (file.Handler && file.Handler->Capture() == file.Capture.get())
        file.Handler->SetCapture(nullptr);
    }
  }
}

void TCommitJournal::UndoDirectWrites() noexcept {
  for (TTableEntry& table : FTables)
    for (TFileEntry& file : table.Files)
      if (!file.Written) file.Capture->UndoDirectWrites();
}

// Bytes written past a file's old end before the journal is on the disk are harmless as long
// as no older journal can come back valid over them: a journal file whose retirement may not be
// on the disk yet (the unflushed mark, or a journal not played back) makes the write hold
// everything back, so that its journal is flushed over that file before any table byte goes
// out (WriteJournal). A write that may itself retire without a flush keeps every byte in its
// digests, so it holds everything back too.
bool TCommitJournal::TTableGate::DirectWritesAllowed() {
  if (FAnswer < 0) FAnswer = Decide() ? 1 : 0;
  return FAnswer == 1;
}

bool TCommitJournal::TTableGate::Decide() {
  if (FJournal.FUnflushedRetirementAllowed) return false;
  TFileSystem& fs = FJournal.FFS;
  if (FKeptFd && FKeptUnflushed && *FKeptFd >= 0 && CheckKeptJournal(fs, *FKeptFd) >= 0)
    return !*FKeptUnflushed;
  bool unflushed = false;
  const TJournalPresence presence =
      ProbeJournal(fs, FExact ? FPath : ResolveTableFileName(FPath, fs), &unflushed);
  return presence == TJournalPresence::Missing ||
         (presence == TJournalPresence::Idle && !unflushed);
}

void TCommitJournal::CloseJournals() noexcept {
  for (TTableEntry& table : FTables) {
    if (table.JournalFd >= 0 && !table.JournalFdKept) FFS.Close(table.JournalFd);
    table.JournalFd = -1;
  }
}

void TCommitJournal::Discard() noexcept {
  Detach();
  UndoDirectWrites();
  CloseJournals();
  FTables.clear();
  FOnFailure.clear();
}

void TCommitJournal::AddTable(const std::string& table, const std::vector<TFileHandler*>& files,
                              const std::string& journalPath, TUndoJournal* undo, int* keptFd,
                              bool* keptFolderSynced, bool* keptUnflushed) {
  TTableEntry entry;
  entry.Name = table;
  entry.Undo = undo;
  entry.KeptFd = keptFd;
  entry.KeptFolderSynced = keptFd ? keptFolderSynced : nullptr;
  entry.KeptUnflushed = keptFd ? keptUnflushed : nullptr;
  entry.JournalPathExact = !journalPath.empty();
  entry.JournalPath = entry.JournalPathExact ? journalPath : JournalFileName(FFolder, table);
  // A table written through its undo journal saves the old bytes of every write there.
  if (!undo)
    entry.Gate = std::make_unique<TTableGate>(*this, entry.JournalPath, entry.JournalPathExact,
                                              keptFd, keptFd ? keptUnflushed : nullptr);
  for (TFileHandler* handler : files) {
    if (!handler || !handler->IsOpen() || handler->Capture()) continue;
    TFileEntry file;
    file.Handler = handler;
    file.Capture = std::make_unique<TWriteCapture>(handler->FileSize());
    if (entry.Gate && !handler->InMemory())
      file.Capture->AllowDirectWrites(handler->File(), handler->Handle(), *entry.Gate);
    file.Image.Name = BaseName(handler->FileName());
    handler->SetCapture(file.Capture.get());
    entry.Files.push_back(std::move(file));
  }
  if (!entry.Files.empty()) FTables.push_back(std::move(entry));
}

namespace {

// Bytes that differ in a chunk of this size are saved with the whole chunk; saved runs closer
// than a range's own cost in the journal are joined.
constexpr std::int64_t CompareChunk = 32;
constexpr std::int64_t JoinGap = 16;

// The old bytes of one span, read into a buffer of the thread's that is kept from commit to
// commit (a single write's commit reads a few spans of some kilobytes each; a new buffer per
// span cost an allocation, its zeroing and, for sizes past a kilobyte, a sweep of the
// allocator's small free chunks). A span of a large commit is read into a buffer of its own.
class TOldBytes {
 public:
  explicit TOldBytes(std::size_t size) : FSize(size) {
    if (size <= kKept) {
      thread_local std::vector<std::uint8_t> kept;
      if (kept.size() < kKept) kept.resize(kKept);
      FData = kept.data();
    } else {
      FOwn.reset(new std::uint8_t[size]);
      FData = FOwn.get();
    }
  }
  std::uint8_t* Data() const { return FData; }
  std::size_t Size() const { return FSize; }

 private:
  static constexpr std::size_t kKept = 16 * 1024;
  std::size_t FSize;
  std::uint8_t* FData = nullptr;
  std::unique_ptr<std::uint8_t[]> FOwn;
};

using TSpans = std::vector<std::pair<std::int64_t, std::int64_t>>;
enum TSpanList { slSpans, slMerged, slChanged };

// One of the span lists of a commit, in a vector the thread keeps from commit to commit:
// cleared for each use, and dropped after a large commit grew it past kKeptSpans entries.
class TKeptSpans {
 public:
  explicit TKeptSpans(TSpanList which) : FList(Lists()[which]) { FList.clear(); }
  ~TKeptSpans() {
    if (FList.capacity() > kKeptSpans) TSpans().swap(FList);
  }
  TKeptSpans(const TKeptSpans&) = delete;
  TKeptSpans& operator=(const TKeptSpans&) = delete;
  TSpans& List() { return FList; }

 private:
  static constexpr std::size_t kKeptSpans = 1024;
  static std::array<TSpans, 3>& Lists() {
    thread_local std::array<TSpans, 3> lists;
    return lists;
  }
  TSpans& FList;
};

// Appends the ranges of old (the file's bytes from offset from) that the write changes: bytes
// the pieces give other values, and bytes no piece covers (the write cuts them away). Bytes a
// piece rewrites with the value they had need no saving: playback leaves them as they are.
void AddChangedRanges(const TWriteCapture& capture, std::int64_t from, const TOldBytes& old,
                      std::vector<TJournalRange>* ranges) {
  const std::int64_t to = from + static_cast<std::int64_t>(old.Size());
  TKeptSpans kept(slChanged);
  TSpans& changed = kept.List();
  auto mark = [&](std::int64_t a, std::int64_t b) {
    if (a >= b) return;
    if (!changed.empty() && a - changed.back().second < JoinGap)
      changed.back().second = std::max(changed.back().second, b);
    else
      changed.emplace_back(a, b);
  };
  const auto& pieces = capture.Pieces();
  auto it = pieces.upper_bound(from);
  if (it != pieces.begin()) --it;
  std::int64_t at = from;
  for (; it != pieces.end() && it->first < to; ++it) {
    const std::int64_t pieceEnd = it->first + static_cast<std::int64_t>(it->second.size());
    const std::int64_t a = std::max(at, it->first);
    const std::int64_t b = std::min(to, pieceEnd);
    if (b <= a) continue;
    mark(at, a);  // not covered: cut away
    for (std::int64_t c = a; c < b; c += CompareChunk) {
      const std::int64_t n = std::min(CompareChunk, b - c);
      if (std::memcmp(old.Data() + (c - from), it->second.data() + (c - it->first),
                      static_cast<std::size_t>(n)) != 0)
        mark(c, c + n);
    }
    at = b;
  }
  mark(at, to);
  for (const auto& [a, b] : changed) {
    TJournalRange range;
    range.Offset = a;
    range.Bytes.assign(old.Data() + (a - from), old.Data() + (b - from));
    ranges->push_back(std::move(range));
  }
}

}  // namespace

void TCommitJournal::CollectImages() {
  for (TTableEntry& table : FTables) {
    for (TFileEntry& file : table.Files) {
      const TWriteCapture& capture = *file.Capture;
      TJournalFileImage& image = file.Image;
      image.OriginalSize = capture.OriginalSize();
      image.Ranges.clear();
      // The old bytes of every range the writes change, within the old length.
      TKeptSpans keptSpans(slSpans), keptMerged(slMerged);
      TSpans& spans = keptSpans.List();
      TSpans& merged = keptMerged.List();
      for (const auto& [offset, bytes] : capture.Pieces()) {
        const std::int64_t end =
            std::min(offset + static_cast<std::int64_t>(bytes.size()), image.OriginalSize);
        if (offset < end) spans.emplace_back(offset, end);
      }
      if (capture.MinSize() < image.OriginalSize)
        spans.emplace_back(capture.MinSize(), image.OriginalSize);
      std::sort(spans.begin(), spans.end());
      for (const auto& span : spans) {
        if (!merged.empty() && span.first <= merged.back().second)
          merged.back().second = std::max(merged.back().second, span.second);
        else
          merged.push_back(span);
      }
      for (const auto& [from, to] : merged) {
        TOldBytes old(static_cast<std::size_t>(to - from));
        file.Handler->ReadAt(from, old.Data(), to - from);
        AddChangedRanges(capture, from, old, &image.Ranges);
      }
    }
  }
}

bool TCommitJournal::UnflushedRetirementFits(bool sync) const {
  if (!sync || !FUnflushedRetirementAllowed || FTables.size() != 1) return false;
  const TTableEntry& table = FTables.front();
  if (table.Undo || !table.KeptUnflushed) return false;
  // A cut leaves bytes no piece covers: the digests could not tell it from a cut the disk lost
  // (nor could they see bytes written directly, which such a write never has).
  return std::none_of(table.Files.begin(), table.Files.end(), [](const TFileEntry& file) {
    return file.Capture->MinSize() < file.Capture->OriginalSize() ||
           file.Capture->HasDirectWrites();
  });
}

std::vector<std::uint8_t> TCommitJournal::Encode(const TTableEntry& table, std::uint64_t groupId,
                                                 bool lead, bool digests) const {
  std::vector<std::uint8_t> out(JournalHeaderSize, 0);
  Put<std::uint16_t>(out, static_cast<std::uint16_t>(FTables.size()));
  for (const TTableEntry& t : FTables)
    PutName(out, t.Name);
  Put<std::uint32_t>(out, static_cast<std::uint32_t>(table.Files.size()));
  for (const TFileEntry& file : table.Files) {
    PutName(out, file.Image.Name);
    Put<std::int64_t>(out, file.Image.OriginalSize);
    Put<std::uint32_t>(out, static_cast<std::uint32_t>(file.Image.Ranges.size()));
    for (const TJournalRange& range : file.Image.Ranges) {
      Put<std::int64_t>(out, range.Offset);
      Put<std::uint32_t>(out, static_cast<std::uint32_t>(range.Bytes.size()));
      out.insert(out.end(), range.Bytes.begin(), range.Bytes.end());
    }
  }
  for (std::size_t f = 0; digests && f < table.Files.size(); ++f) {
    const TWriteCapture& capture = *table.Files[f].Capture;
    // A file the write leaves alone is not checked: its length may still change as an earlier
    // write that did not flush reaches the disk (or does not).
    Put<std::int64_t>(out, capture.Empty() ? -1 : capture.Size());
    Put<std::uint32_t>(out, static_cast<std::uint32_t>(capture.Pieces().size()));
    for (const auto& [offset, bytes] : capture.Pieces()) {
      Put<std::int64_t>(out, offset);
      Put<std::uint32_t>(out, static_cast<std::uint32_t>(bytes.size()));
      Put<std::uint64_t>(out, ContentDigest(bytes.data(), bytes.size()));
    }
  }
  std::uint8_t* h = out.data();
  std::memcpy(h, JournalMagic, sizeof JournalMagic);
  Store<std::uint64_t>(h + 8, groupId);
  Store<std::uint64_t>(h + 16, out.size() - JournalHeaderSize);
  Store<std::uint32_t>(h + 24, Crc(out.data() + JournalHeaderSize, out.size() - JournalHeaderSize));
  Store<std::uint32_t>(h + 28, lead ? RoleLead : RoleMember);
  Store<std::uint32_t>(h + 32, digests ? FlagDigests : 0);
  Store<std::uint32_t>(h + 44, Crc(h, 44));
  return out;
}

void TCommitJournal::WriteJournal(TTableEntry& table, const std::vector<std::uint8_t>& bytes,
                                  bool sync) {
  const std::string path =
      table.JournalPathExact ? table.JournalPath : ResolveTableFileName(table.JournalPath, FFS);
  // Written over the journal of the table's last write when its file is still there: only the
  // header and the body count, whatever lies beyond.
  // The table object's kept descriptor is checked under the table's write lock, which whoever
  // removes the file holds too.
  int fd = table.KeptFd ? CheckKeptJournal(FFS, *table.KeptFd) : -1;
  // What the file holds is known from the table object only while it kept the file open.
  const bool known = fd >= 0 && table.KeptUnflushed;
  table.FolderDurable = fd >= 0 && table.KeptFolderSynced && *table.KeptFolderSynced;
  if (fd < 0 && table.KeptFolderSynced) *table.KeptFolderSynced = false;
  for (int attempt = 0; fd < 0; ++attempt) {
    fd = FFS.Open(path, O_RDWR | O_CREAT, 0666);
    if (fd < 0) RaiseTableError(static_cast<TErrorCode>(-MapOSError(errno)), path);
    if (!table.KeptFd) break;
    // Its claim on the file while it keeps it: a shared lock on the first byte, which a remover
    // needs exclusively (RemoveIdleJournal). Once claimed, a file that still has its name keeps
    // it; one removed just before is let go.
    TFileStatus status;
    if (FFS.LockRange(fd, false, 0, 1) == 0 && FFS.StatDescriptor(fd, &status) == 0 &&
        status.Links > 0) {
      *table.KeptFd = fd;
      break;
    }
    FFS.Close(fd);
    fd = -1;
    if (attempt >= 1000) RaiseTableError(VELDOR_LOCKTIMEOUT, path);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  table.JournalFd = fd;
  table.JournalFdKept = table.KeptFd != nullptr;
  table.JournalWritten = true;
  table.JournalBytes = static_cast<std::int64_t>(bytes.size());
  // A write that does not flush still flushes its journal over a retirement that may not be on
  // the disk yet (someone else's journal included): otherwise a power loss could bring back
  // that older journal, valid, over files this write has changed.
  bool flush = sync;
  if (!flush) {
    bool unflushed = false;
    flush =
        known ? *table.KeptUnflushed
              : ProbeJournalDescriptor(FFS, fd, &unflushed) == TJournalPresence::Busy || unflushed;
  }
  std::int32_t rc = WriteAll(FFS, fd, bytes.data(), bytes.size(), 0);
  if (rc == 0 && flush && FFS.Sync(fd) != 0) rc = -VELDOR_WRITEERR;
  if (rc < 0) RaiseTableError(VELDOR_WRITEERR, path);
  if (table.KeptUnflushed) *table.KeptUnflushed = false;
}

void TCommitJournal::SyncFolder() {
  const std::string folder = FFolder.empty() ? "." : FFolder;
  int fd = FFS.Open(folder, O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return;  // a folder that cannot be opened cannot be synced either
  const int rc = FFS.Sync(fd);
  FFS.Close(fd);
  if (rc != 0) RaiseTableError(VELDOR_WRITEERR, folder);
}

namespace {

// Writes the pieces from it up to stop, neighbouring small ones joined into one write each (a
// piece of JoinLimit bytes or more is written on its own: its own call costs less than copying
// it into a run). Returns the end of the last byte written (0 when none).
using TPieceIt = std::map<std::int64_t, std::vector<std::uint8_t>>::const_iterator;
constexpr std::size_t JoinLimit = 16 * 1024;
std::int64_t WritePieces(TFileHandler& handler, TPieceIt it, TPieceIt stop) {
  std::int64_t end = 0;
  while (it != stop) {
    auto last = it;
    std::int64_t runEnd = it->first + static_cast<std::int64_t>(it->second.size());
    std::size_t bytes = it->second.size();
    for (auto next = std::next(it); bytes < JoinLimit && next != stop && next->first == runEnd &&
                                    next->second.size() < JoinLimit;
         ++next) {
      last = next;
      runEnd += static_cast<std::int64_t>(next->second.size());
      bytes += next->second.size();
    }
    if (last == it) {
      handler.WriteAt(it->first, it->second.data(), static_cast<std::int64_t>(it->second.size()));
    } else {
      std::vector<std::uint8_t> run;
      run.reserve(bytes);
      for (auto p = it; p != std::next(last); ++p)
        run.insert(run.end(), p->second.begin(), p->second.end());
      handler.WriteAt(it->first, run.data(), static_cast<std::int64_t>(run.size()));
    }
    end = std::max(end, runEnd);
    it = std::next(last);
  }
  return end;
}

}  // namespace

void TCommitJournal::ApplyWrites(bool sync) {
  for (TTableEntry& table : FTables) {
    // The headers first: a write of a table changes a ChangeCount at the start of one of its
    // files, and that header reaches the file before any other byte of the write. So a reader
    // that finds every ChangeCount where it last saw it knows that no write has touched the
    // table since, not even one whose writer died half-way leaving its journal: it need not
    // look for a journal (TTableLockState::TakeRead).
    std::vector<std::int64_t> headerEnd(table.Files.size(), 0);
    for (std::size_t f = 0; f < table.Files.size(); ++f) {
      TFileEntry& file = table.Files[f];
      const TWriteCapture& capture = *file.Capture;
      if (capture.Empty()) continue;
      const auto& pieces = capture.Pieces();
      auto first = pieces.begin();
      if (first == pieces.end() || first->first != 0) continue;
      if (capture.MinSize() < capture.OriginalSize() &&
          static_cast<std::int64_t>(first->second.size()) > capture.MinSize())
        continue;  // cut below its header: written in order below
      file.Written = true;
      headerEnd[f] = WritePieces(*file.Handler, first, std::next(first));
    }
    for (std::size_t f = 0; f < table.Files.size(); ++f) {
      TFileEntry& file = table.Files[f];
      const TWriteCapture& capture = *file.Capture;
      if (capture.Empty()) continue;
      TFileHandler& handler = *file.Handler;
      file.Written = true;
      if (capture.MinSize() < capture.OriginalSize()) handler.Truncate(capture.MinSize());
      const auto& pieces = capture.Pieces();
      auto from = pieces.begin();
      if (headerEnd[f] > 0) ++from;
      std::int64_t end = std::max({capture.MinSize(), capture.DirectEnd(), headerEnd[f]});
      end = std::max(end, WritePieces(handler, from, pieces.end()));
      if (capture.Size() != end) handler.Truncate(capture.Size());
    }
  }
  for (TTableEntry& table : FTables) {
    for (TFileEntry& file : table.Files) {
      if (file.Written && (sync || file.Capture->SyncWanted())) file.Handler->FlushBuffers();
    }
  }
}

void TCommitJournal::PutBack() noexcept {
  for (TTableEntry& table : FTables) {
    for (TFileEntry& file : table.Files) {
      if (!file.Written) continue;
      try {
        // Back to front, so the header with its ChangeCount is the last range put back: a file
        // left half put back keeps its moved count, and whoever takes the table's locks next
        // looks for the journal and plays it back.
        file.Handler->Truncate(file.Image.OriginalSize);
        const std::vector<TJournalRange>& ranges = file.Image.Ranges;
        for (auto range = ranges.rbegin(); range != ranges.rend(); ++range)
          file.Handler->WriteAt(range->Offset, range->Bytes.data(),
                                static_cast<std::int64_t>(range->Bytes.size()));
        file.Written = false;
      } catch (...) {
      }
    }
  }
}

void TCommitJournal::RetireJournal(TTableEntry& table, bool sync, bool unflushed) {
  const int fd = table.JournalFd;
  table.JournalFd = -1;
  table.JournalWritten = false;
  if (fd < 0) {
    // Its file could not be opened: nothing of it reached the disk to count.
    return;
  }
  static const std::uint8_t zeros[JournalHeaderSize] = {};
  std::int32_t rc = 0;
  if (unflushed) {
    // The zeroed header and the mark in one write; a large journal is cut right after them.
    std::uint8_t retired[ProbeSize] = {};
    std::memcpy(retired + JournalHeaderSize, UnflushedMark, sizeof UnflushedMark);
    rc = WriteAll(FFS, fd, retired, ProbeSize, 0);
    if (rc == 0 && table.JournalBytes > IdleJournalKeepBytes &&
        FFS.Truncate(fd, static_cast<std::int64_t>(ProbeSize)) != 0)
      rc = MapOSError(errno);
    if (rc == 0 && table.KeptUnflushed) *table.KeptUnflushed = true;
  } else if (table.JournalBytes > IdleJournalKeepBytes) {
    if (FFS.Truncate(fd, 0) != 0) rc = MapOSError(errno);
  } else {
    rc = WriteAll(FFS, fd, zeros, JournalHeaderSize, 0);
  }
  if (rc == 0 && sync && !unflushed && FFS.Sync(fd) != 0) rc = -VELDOR_WRITEERR;
  if (!table.JournalFdKept) FFS.Close(fd);
  if (rc < 0) RaiseTableError(static_cast<TErrorCode>(-rc), table.JournalPath);
}

void TCommitJournal::RetireJournals(bool sync, bool unflushed) {
  // The lead first: that is the commit point. Without it the member journals are stale, so a
  // member journal that cannot be retired is left for the next writer to throw away.
  RetireJournal(FTables.front(), sync, unflushed);
  for (TTableEntry& table : FTables) {
    if (!table.JournalWritten) continue;
    try {
      RetireJournal(table, false);
    } catch (...) {
    }
  }
}

void TCommitJournal::SuspendUndo(bool suspended) noexcept {
  for (TTableEntry& table : FTables)
    if (table.Undo) table.Undo->SetSuspended(suspended);
}

void TCommitJournal::CommitThroughUndo(TTableEntry& table, bool sync) {
  TUndoJournal& undo = *table.Undo;
  bool tablesTouched = false;
  try {
    CollectImages();
    // The old bytes of every write go to the undo journal first, in the order they go out.
    for (TFileEntry& file : table.Files) {
      const TWriteCapture& capture = *file.Capture;
      if (capture.Empty()) continue;
      if (capture.MinSize() < capture.OriginalSize())
        undo.Save(*file.Handler, capture.MinSize(), 0);
      for (const auto& [offset, bytes] : capture.Pieces())
        undo.Save(*file.Handler, offset, static_cast<std::int64_t>(bytes.size()));
      undo.Save(*file.Handler, capture.Size(), 0);
    }
    if (sync) undo.Sync();
    tablesTouched = true;
    undo.SetSuspended(true);
    ApplyWrites(sync);
    undo.SetSuspended(false);
    undo.Finish(sync);
  } catch (...) {
    undo.SetSuspended(true);
    if (tablesTouched) PutBack();
    undo.SetSuspended(false);
    FTables.clear();
    throw;
  }
  FTables.clear();
}

void TCommitJournal::Commit(bool sync) {
  FCommitStarted = true;
  try {
    CommitWrites(sync);
  } catch (...) {
    UndoDirectWrites();
    RunFailureHandlers();
    throw;
  }
  FOnFailure.clear();
}

void TCommitJournal::CommitWrites(bool sync) {
  Detach();
  bool anything = false;
  bool syncWanted = sync;
  for (const TTableEntry& table : FTables)
    for (const TFileEntry& file : table.Files) {
      anything = anything || !file.Capture->Empty();
      syncWanted = syncWanted || file.Capture->SyncWanted();
    }
  if (!anything) {
    // What the tables' caches wrote to make room is all there is: it stands as written.
    for (TTableEntry& table : FTables)
      if (table.Undo) table.Undo->Finish(syncWanted);
    FTables.clear();
    return;
  }
  // The lead is the first table that changes.
  std::stable_partition(FTables.begin(), FTables.end(), [](const TTableEntry& t) {
    return std::any_of(t.Files.begin(), t.Files.end(),
                       [](const TFileEntry& f) { return !f.Capture->Empty(); });
  });
  // A table that changes only through what its cache wrote earlier: its undo journal goes at
  // the commit point of the others.
  std::vector<TUndoJournal*> idleUndo;
  for (const TTableEntry& t : FTables)
    if (t.Undo && std::all_of(t.Files.begin(), t.Files.end(),
                              [](const TFileEntry& f) { return f.Capture->Empty(); }))
      idleUndo.push_back(t.Undo);
  FTables.erase(std::remove_if(FTables.begin(), FTables.end(),
                               [](const TTableEntry& t) {
                                 return std::all_of(
                                     t.Files.begin(), t.Files.end(),
                                     [](const TFileEntry& f) { return f.Capture->Empty(); });
                               }),
                FTables.end());
  if (FTables.size() == 1 && FTables.front().Undo) {
    CommitThroughUndo(FTables.front(), syncWanted);
    for (TUndoJournal* undo : idleUndo)
      undo->Finish(syncWanted);
    return;
  }
  const std::uint64_t groupId = NewGroupId();
  const bool unflushedRetirement = UnflushedRetirementFits(syncWanted);
  bool tablesTouched = false;
  SuspendUndo(true);
  try {
    CollectImages();
    // Member journals first: without the lead they count for nothing.
    for (std::size_t i = FTables.size(); i-- > 0;)
      WriteJournal(FTables[i], Encode(FTables[i], groupId, i == 0, unflushedRetirement),
                   syncWanted);
    // The folder is flushed for a journal file whose name may not be on the disk yet (a kept
    // file flushed with the folder once needs it no more).
    if (syncWanted && std::any_of(FTables.begin(), FTables.end(),
                                  [](const TTableEntry& t) { return !t.FolderDurable; })) {
      SyncFolder();
      for (TTableEntry& table : FTables)
        if (table.KeptFolderSynced && table.JournalFdKept) *table.KeptFolderSynced = true;
    }
    tablesTouched = true;
    ApplyWrites(syncWanted);
    RetireJournals(syncWanted, unflushedRetirement);
    SuspendUndo(false);
    // An undo journal of a member (emptied within the transaction) goes after the commit point.
    for (TTableEntry& table : FTables)
      if (table.Undo) table.Undo->Finish(syncWanted);
    for (TUndoJournal* undo : idleUndo)
      undo->Finish(syncWanted);
  } catch (...) {
    if (tablesTouched) PutBack();
    SuspendUndo(false);
    bool restored = true;
    for (const TTableEntry& table : FTables)
      for (const TFileEntry& file : table.Files)
        restored = restored && !file.Written;
    if (restored) {
      // The tables hold their old bytes again: the journals are no longer needed.
      for (TTableEntry& table : FTables) {
        if (!table.JournalWritten) continue;
        try {
          RetireJournal(table, false);
        } catch (...) {
        }
      }
    }
    UndoDirectWrites();
    // A journal not retired stays on disk, to be played back before the tables are used again.
    CloseJournals();
    FTables.clear();
    throw;
  }
  FTables.clear();
}

}  // namespace zorvic::engine
