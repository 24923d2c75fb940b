// The undo journal of an exclusive table (UndoJournal.h).
#include "engine/storage/locks/UndoJournal.h"

#include <fcntl.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zorvic::engine {
namespace {

constexpr char UndoMagic[8] = {'Z', 'V', 'J', 'R', 'N', 'X', '0', '1'};
// Old bytes are saved in records of at most this many, so that saving a long range (emptying a
// big table) needs little memory.
constexpr std::int64_t MaxRecordBytes = 1 << 20;
constexpr std::uint32_t MaxHeaderBody = 1 << 16;

std::uint32_t Crc(const std::uint8_t* bytes, std::size_t count) {
  return static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0), bytes, static_cast<uInt>(count)));
}

template <class T>
void Put(std::vector<std::uint8_t>& out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i)
    out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i)));
}

template <class T>
T Get(const std::uint8_t* at) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i)
    v |= static_cast<std::uint64_t>(at[i]) << (8 * i);
  return static_cast<T>(v);
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::int32_t WriteAll(TFileSystem& fs, int fd, const std::uint8_t* bytes, std::size_t count,
                      std::int64_t offset) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n =
        fs.PWrite(fd, bytes + done, count - done, offset + static_cast<std::int64_t>(done));
    if (n < 0) return MapOSError(errno);
    if (n == 0) return -VELDOR_WRITEERR;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

bool ReadAll(TFileSystem& fs, int fd, std::uint8_t* bytes, std::size_t count, std::int64_t offset) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n =
        fs.PRead(fd, bytes + done, count - done, offset + static_cast<std::int64_t>(done));
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

struct TFileEntry {
  std::string Name;
  std::int64_t OriginalSize = 0;
};

// Reads the header; false when it does not check out. *end: where the records begin.
bool ReadHeader(TFileSystem& fs, int fd, std::vector<TFileEntry>* files, std::int64_t* end) {
  std::uint8_t head[16];
  if (!ReadAll(fs, fd, head, sizeof head, 0) || std::memcmp(head, UndoMagic, 8) != 0) return false;
  const std::uint32_t length = Get<std::uint32_t>(head + 8);
  if (length == 0 || length > MaxHeaderBody) return false;
  std::vector<std::uint8_t> body(length);
  if (!ReadAll(fs, fd, body.data(), length, 16) ||
      Crc(body.data(), length) != Get<std::uint32_t>(head + 12))
    return false;
  std::size_t pos = 1;
  const std::uint8_t count = body[0];
  for (std::uint8_t i = 0; i < count; ++i) {
    if (length - pos < 2) return false;
    const std::uint16_t n = Get<std::uint16_t>(body.data() + pos);
    pos += 2;
    if (n == 0 || length - pos < n + 8u) return false;
    TFileEntry entry;
    entry.Name.assign(reinterpret_cast<const char*>(body.data() + pos), n);
    pos += n;
    entry.OriginalSize = Get<std::int64_t>(body.data() + pos);
    pos += 8;
    if (entry.OriginalSize < 0 || entry.Name.find('/') != std::string::npos) return false;
    files->push_back(std::move(entry));
  }
  if (pos != length) return false;
  *end = 16 + static_cast<std::int64_t>(length);
  return true;
}

// Calls visit(file number, offset, bytes) for every sound record, in order.
template <class F>
void ReadRecords(TFileSystem& fs, int fd, std::int64_t at, std::size_t fileCount, F&& visit) {
  std::vector<std::uint8_t> payload;
  for (;;) {
    std::uint8_t head[8];
    if (!ReadAll(fs, fd, head, sizeof head, at)) return;
    const std::uint32_t length = Get<std::uint32_t>(head);
    if (length < 9 || length > MaxRecordBytes + 9) return;
    payload.resize(length);
    if (!ReadAll(fs, fd, payload.data(), length, at + 8) ||
        Crc(payload.data(), length) != Get<std::uint32_t>(head + 4))
      return;
    const std::uint8_t file = payload[0];
    const std::int64_t offset = Get<std::int64_t>(payload.data() + 1);
    if (file >= fileCount || offset < 0) return;
    visit(file, offset, payload.data() + 9, static_cast<std::size_t>(length - 9));
    at += 8 + length;
  }
}

}  // namespace

std::string UndoJournalFileName(const std::string& folder, const std::string& table) {
  return MakeTableFileName(folder, table, ".JNX");
}

TUndoJournal::TUndoJournal(std::string path, std::vector<TFileHandler*> files, bool sync,
                           TFileSystem& fs)
    : FPath(std::move(path)), FFS(fs), FSyncEach(sync) {
  for (TFileHandler* handler : files) {
    if (!handler || !handler->IsOpen()) continue;
    TFileState state;
    state.Handler = handler;
    state.Name = BaseName(handler->FileName());
    FFiles.push_back(std::move(state));
    handler->SetWriteObserver(this);
  }
}

TUndoJournal::~TUndoJournal() {
  for (TFileState& state : FFiles)
    if (state.Handler->WriteObserver() == this) state.Handler->SetWriteObserver(nullptr);
  Close();
}

void TUndoJournal::Close() noexcept {
  if (FFd >= 0) FFS.Close(FFd);
  FFd = -1;
}

void TUndoJournal::Start() {
  std::vector<std::uint8_t> body;
  body.push_back(static_cast<std::uint8_t>(FFiles.size()));
  for (TFileState& state : FFiles) {
    state.OriginalSize = state.Handler->FileSize();
    state.Covered.clear();
    Put<std::uint16_t>(body, static_cast<std::uint16_t>(state.Name.size()));
    body.insert(body.end(), state.Name.begin(), state.Name.end());
    Put<std::int64_t>(body, state.OriginalSize);
  }
  std::vector<std::uint8_t> out(UndoMagic, UndoMagic + 8);
  Put<std::uint32_t>(out, static_cast<std::uint32_t>(body.size()));
  Put<std::uint32_t>(out, Crc(body.data(), body.size()));
  out.insert(out.end(), body.begin(), body.end());
  const int fd = FFS.Open(FPath, O_RDWR | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) RaiseTableError(static_cast<TErrorCode>(-MapOSError(errno)), FPath);
  if (WriteAll(FFS, fd, out.data(), out.size(), 0) < 0) {
    FFS.Close(fd);
    FFS.Unlink(FPath);
    RaiseTableError(VELDOR_WRITEERR, FPath);
  }
  FFd = fd;
  FEnd = static_cast<std::int64_t>(out.size());
  FFolderSynced = false;
}

void TUndoJournal::Append(std::uint8_t file, std::int64_t offset,
                          const std::vector<std::uint8_t>& bytes) {
  std::vector<std::uint8_t> record;
  record.reserve(bytes.size() + 17);
  Put<std::uint32_t>(record, static_cast<std::uint32_t>(bytes.size() + 9));
  Put<std::uint32_t>(record, 0);
  record.push_back(file);
  Put<std::int64_t>(record, offset);
  record.insert(record.end(), bytes.begin(), bytes.end());
  const std::uint32_t crc = Crc(record.data() + 8, record.size() - 8);
  for (int i = 0; i < 4; ++i)
    record[4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
  if (WriteAll(FFS, FFd, record.data(), record.size(), FEnd) < 0)
    RaiseTableError(VELDOR_WRITEERR, FPath);
  FEnd += static_cast<std::int64_t>(record.size());
}

void TUndoJournal::Cover(TFileState& state, std::int64_t from, std::int64_t to) {
  auto& covered = state.Covered;
  auto it = covered.upper_bound(from);
  if (it != covered.begin() && std::prev(it)->second >= from) {
    --it;
    from = it->first;
    to = std::max(to, it->second);
    it = covered.erase(it);
  }
  while (it != covered.end() && it->first <= to) {
    to = std::max(to, it->second);
    it = covered.erase(it);
  }
  covered.emplace(from, to);
}

void TUndoJournal::Save(TFileHandler& file, std::int64_t offset, std::int64_t count) {
  const auto found = std::find_if(FFiles.begin(), FFiles.end(),
                                  [&](const TFileState& s) { return s.Handler == &file; });
  if (found == FFiles.end() || offset < 0 || count < 0) return;
  if (FFd < 0) Start();
  TFileState& state = *found;
  const std::uint8_t number = static_cast<std::uint8_t>(found - FFiles.begin());
  const std::int64_t to =
      std::min(count == 0 ? state.OriginalSize : offset + count, state.OriginalSize);
  std::int64_t at = offset;
  std::vector<std::uint8_t> bytes;
  while (at < to) {
    // The next stretch not yet saved.
    auto it = state.Covered.upper_bound(at);
    if (it != state.Covered.begin() && std::prev(it)->second > at) {
      at = std::prev(it)->second;
      continue;
    }
    const std::int64_t gapEnd = it == state.Covered.end() ? to : std::min(to, it->first);
    const std::int64_t n = std::min(gapEnd - at, MaxRecordBytes);
    bytes.resize(static_cast<std::size_t>(n));
    file.ReadAt(at, bytes.data(), n);
    Append(number, at, bytes);
    Cover(state, at, at + n);
    at += n;
  }
}

void TUndoJournal::Sync() {
  if (FFd < 0) return;
  if (FFS.Sync(FFd) != 0) RaiseTableError(VELDOR_WRITEERR, FPath);
  if (!FFolderSynced) {
    const std::string folder = FolderOf(FPath);
    const int dir = FFS.Open(folder.empty() ? "." : folder, O_RDONLY | O_DIRECTORY, 0);
    if (dir >= 0) {
      const int rc = FFS.Sync(dir);
      FFS.Close(dir);
      if (rc != 0) RaiseTableError(VELDOR_WRITEERR, FPath);
    }
    FFolderSynced = true;
  }
}

void TUndoJournal::BeforeWrite(TFileHandler& file, std::int64_t offset, std::int64_t count) {
  if (FSuspended) return;
  const std::int64_t before = FEnd;
  const bool started = Started();
  Save(file, offset, count);
  if (FSyncEach && (FEnd != before || started != Started())) Sync();
}

void TUndoJournal::Finish(bool sync) {
  if (FFd < 0) return;
  if (sync) {
    const std::uint8_t zeros[16] = {};
    if (WriteAll(FFS, FFd, zeros, sizeof zeros, 0) < 0 || FFS.Sync(FFd) != 0)
      RaiseTableError(VELDOR_WRITEERR, FPath);
  }
  if (FFS.Unlink(FPath) != 0 && errno != ENOENT)
    RaiseTableError(static_cast<TErrorCode>(-MapOSError(errno)), FPath);
  Close();
  for (TFileState& state : FFiles)
    state.Covered.clear();
}

void TUndoJournal::RollBack() {
  if (FFd < 0) return;
  std::vector<TFileEntry> files;
  std::int64_t at = 0;
  if (ReadHeader(FFS, FFd, &files, &at) && files.size() == FFiles.size()) {
    FSuspended = true;
    try {
      ReadRecords(
          FFS, FFd, at, files.size(),
          [&](std::uint8_t file, std::int64_t offset, const std::uint8_t* bytes, std::size_t n) {
            FFiles[file].Handler->WriteAt(offset, bytes, static_cast<std::int64_t>(n));
          });
      for (std::size_t i = 0; i < files.size(); ++i)
        FFiles[i].Handler->Truncate(files[i].OriginalSize);
    } catch (...) {
      FSuspended = false;
      throw;  // the journal stays: the next opener plays it back
    }
    FSuspended = false;
  }
  Finish(false);
}

bool UndoJournalPresent(TFileSystem& fs, const std::string& path) {
  TFileStatus status;
  const std::string resolved = ResolveTableFileName(path, fs);
  return fs.Stat(resolved, &status) == 0 && status.Exists && !status.IsDirectory;
}

std::int32_t PlayBackUndoJournal(TFileSystem& fs, const std::string& folder,
                                 const std::string& path, bool* restored) {
  *restored = false;
  const std::string resolved = ResolveTableFileName(path, fs);
  TFileStatus status;
  if (fs.Stat(resolved, &status) != 0 || !status.Exists) return 0;
  const int fd = fs.Open(resolved, O_RDONLY, 0);
  if (fd < 0) return MapOSError(errno);
  std::vector<TFileEntry> files;
  std::int64_t at = 0;
  std::int32_t rc = 0;
  if (ReadHeader(fs, fd, &files, &at)) {
    std::vector<int> fds(files.size(), -1);
    for (std::size_t i = 0; i < files.size() && rc == 0; ++i) {
      fds[i] = fs.Open(ResolveTableFileName(folder + files[i].Name, fs), O_RDWR, 0);
      // A file missing now held nothing at the last flush that could be restored.
      if (fds[i] < 0 && !(errno == ENOENT && files[i].OriginalSize == 0)) rc = MapOSError(errno);
    }
    if (rc == 0)
      ReadRecords(
          fs, fd, at, files.size(),
          [&](std::uint8_t file, std::int64_t offset, const std::uint8_t* bytes, std::size_t n) {
            if (rc == 0 && fds[file] >= 0) rc = WriteAll(fs, fds[file], bytes, n, offset);
          });
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (fds[i] < 0) continue;
      if (rc == 0 && fs.Truncate(fds[i], files[i].OriginalSize) != 0) rc = MapOSError(errno);
      if (rc == 0 && fs.Sync(fds[i]) != 0) rc = -VELDOR_WRITEERR;
      fs.Close(fds[i]);
    }
    *restored = rc == 0;
  }
  fs.Close(fd);
  if (rc < 0) return rc;
  if (fs.Unlink(resolved) != 0 && errno != ENOENT) return MapOSError(errno);
  return 0;
}

}  // namespace zorvic::engine
