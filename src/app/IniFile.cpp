#include "app/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "app/ServerLimits.h"

namespace zorvic {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// One process-wide mutex for every read-modify-write of an INI file (writes are rare).
std::mutex& IniWriteMutex() {
  static std::mutex mutex;
  return mutex;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back()))
    s.remove_suffix(1);
  return s;
}

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// The file as lines (without their ends), plus what a rewrite must reproduce.
struct TIniText {
  bool HasBom = false;
  bool UsesCrLf = false;
  std::vector<std::string> Lines;
};

enum class TLoadResult { Loaded, Missing, Failed };

TLoadResult LoadIniText(const std::string& path, TIniText& text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? TLoadResult::Missing : TLoadResult::Failed;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > kIniMaxFileBytes) {
    ::close(fd);
    return TLoadResult::Failed;
  }
  std::string data;
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return TLoadResult::Failed;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
    if (data.size() > kIniMaxFileBytes) {  // grew while we read it
      ::close(fd);
      return TLoadResult::Failed;
    }
  }
  ::close(fd);

  std::string_view rest(data);
  if (rest.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
    text.HasBom = true;
    rest.remove_prefix(kUtf8Bom.size());
  }
  bool firstEnd = true;
  while (!rest.empty()) {
    std::size_t end = rest.find_first_of("\r\n");
    if (end == std::string_view::npos) {
      text.Lines.emplace_back(rest);
      break;
    }
    text.Lines.emplace_back(rest.substr(0, end));
    std::size_t endLength = 1;
    if (rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n') endLength = 2;
    if (firstEnd) {
      text.UsesCrLf = endLength == 2;
      firstEnd = false;
    }
    rest.remove_prefix(end + endLength);
  }
  return TLoadResult::Loaded;
}

// Reads of a file whose content is known from an earlier read take it from memory: a server
// reads its options on nearly every command. An entry is used only while the file's identity,
// size and both time stamps are as they were, and only once the file had been left alone for
// longer than a time stamp's granularity before it was read, so that a change in the same
// tick as the read is never missed.
struct TIniFileStamp {
  dev_t Device = 0;
  ino_t Inode = 0;
  off_t Size = 0;
  std::int64_t Modified = 0;
  std::int64_t Changed = 0;
  bool operator==(const TIniFileStamp&) const = default;
};

constexpr std::int64_t kIniSettledNs = 2'000'000'000;
constexpr std::size_t kIniCacheEntries = 32;

std::int64_t Nanoseconds(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::optional<TIniFileStamp> StampOf(const std::string& path, bool& missing) {
  struct stat st {};
  missing = false;
  if (::stat(path.c_str(), &st) != 0) {
    missing = errno == ENOENT;
    return std::nullopt;
  }
  return TIniFileStamp{st.st_dev, st.st_ino, st.st_size, Nanoseconds(st.st_mtim),
                       Nanoseconds(st.st_ctim)};
}

struct TIniCacheEntry {
  TIniFileStamp Stamp;
  std::shared_ptr<const TIniText> Text;
};

std::mutex& IniCacheMutex() {
  static std::mutex mutex;
  return mutex;
}

std::unordered_map<std::string, TIniCacheEntry>& IniCache() {
  static std::unordered_map<std::string, TIniCacheEntry> cache;
  return cache;
}

// The file's lines for reading: Loaded with the text, or Missing / Failed without it.
TLoadResult LoadIniForReading(const std::string& path, std::shared_ptr<const TIniText>& out) {
  bool missing = false;
  const std::optional<TIniFileStamp> before = StampOf(path, missing);
  if (!before) {
    if (missing) return TLoadResult::Missing;
    // Let the read report why.
  } else {
    std::lock_guard<std::mutex> guard(IniCacheMutex());
    auto it = IniCache().find(path);
    if (it != IniCache().end() && it->second.Stamp == *before) {
      out = it->second.Text;
      return TLoadResult::Loaded;
    }
  }
  auto text = std::make_shared<TIniText>();
  const TLoadResult result = LoadIniText(path, *text);
  if (result != TLoadResult::Loaded) return result;
  out = text;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::optional<TIniFileStamp> after = StampOf(path, missing);
  if (before && after && *after == *before &&
      Nanoseconds(now) - std::max(before->Modified, before->Changed) > kIniSettledNs) {
    std::lock_guard<std::mutex> guard(IniCacheMutex());
    if (IniCache().size() >= kIniCacheEntries) IniCache().clear();
    IniCache()[path] = TIniCacheEntry{*before, out};
  }
  return TLoadResult::Loaded;
}

// Section header: optional blanks, '[', the name up to the first ']'. Returns the trimmed name.
std::optional<std::string_view> SectionName(std::string_view line) {
  std::string_view t = Trim(line);
  if (t.empty() || t.front() != '[') return std::nullopt;
  std::size_t close = t.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(t.substr(1, close - 1));
}

struct TKeyLine {
  std::string_view Key;
  std::string_view Value;  // raw: trimmed, quotes not yet removed
};

std::optional<TKeyLine> KeyLine(std::string_view line) {
  std::string_view t = Trim(line);
  if (t.empty() || t.front() == ';' || t.front() == '[') return std::nullopt;
  std::size_t eq = t.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  std::string_view key = Trim(t.substr(0, eq));
  if (key.empty()) return std::nullopt;
  return TKeyLine{key, Trim(t.substr(eq + 1))};
}

std::string CookValue(std::string_view raw) {
  if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') && raw.back() == raw.front()) {
    raw = raw.substr(1, raw.size() - 2);
  }
  if (raw.size() > kIniValueMaxChars) raw = raw.substr(0, kIniValueMaxChars);
  return std::string(raw);
}

// Index range [begin, end) of the body of the first section named `section`, or nullopt.
struct TSectionRange {
  std::size_t Header;
  std::size_t Begin;
  std::size_t End;
};

std::optional<TSectionRange> FindSection(const TIniText& text, std::string_view section) {
  for (std::size_t i = 0; i < text.Lines.size(); ++i) {
    auto name = SectionName(text.Lines[i]);
    if (!name || !SameName(*name, section)) continue;
    std::size_t end = i + 1;
    while (end < text.Lines.size() && !SectionName(text.Lines[end]))
      ++end;
    return TSectionRange{i, i + 1, end};
  }
  return std::nullopt;
}

std::optional<std::string> FindRawValue(const std::string& path, std::string_view section,
                                        std::string_view key) {
  std::shared_ptr<const TIniText> loaded;
  if (LoadIniForReading(path, loaded) != TLoadResult::Loaded) return std::nullopt;
  const TIniText& text = *loaded;
  auto range = FindSection(text, section);
  if (!range) return std::nullopt;
  for (std::size_t i = range->Begin; i < range->End; ++i) {
    auto entry = KeyLine(text.Lines[i]);
    if (entry && SameName(entry->Key, key)) return std::string(entry->Value);
  }
  return std::nullopt;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ValidName(std::string_view name, bool isKey) {
  if (name.empty() || Trim(name).size() != name.size()) return false;
  for (char c : name) {
    if (c == '\r' || c == '\n' || c == '\0' || c == '=' || c == ']') return false;
  }
  if (isKey && (name.front() == '[' || name.front() == ';')) return false;
  return true;
}

// Writes `data` to `path` so that the old or the new content survives any crash.
bool ReplaceFileDurably(const std::string& path, const std::string& data) {
  std::string target = path;
  struct stat st {};
  bool exists = ::lstat(path.c_str(), &st) == 0;
  if (exists && S_ISLNK(st.st_mode)) {  // keep the link: replace the file it points to
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return false;
    target = resolved;
    std::free(resolved);
    exists = ::stat(target.c_str(), &st) == 0;
  }
  mode_t mode = exists ? (st.st_mode & 07777) : 0644;

  std::string folder = ".";
  std::size_t slash = target.rfind('/');
  if (slash != std::string::npos) folder = slash == 0 ? "/" : target.substr(0, slash);

  std::string temp = target + ".tmpXXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0;
  std::size_t done = 0;
  while (ok && done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(temp.c_str(), target.c_str()) != 0) ok = false;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return false;
  ok = ::fsync(dirFd) == 0;
  ::close(dirFd);
  return ok;
}

}  // namespace

bool ParseIniInteger(std::string_view text, std::int32_t& value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    std::uint64_t v = 0;
    for (char c : text.substr(2)) {
      int d = HexDigit(c);
      if (d < 0) return false;
      v = v * 16 + static_cast<std::uint64_t>(d);
      if (v > 0xFFFFFFFFull) return false;
    }
    value = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    return true;
  }
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  std::int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > static_cast<std::int64_t>(INT32_MAX) + 1) return false;
  }
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<std::int32_t>(v);
  return true;
}

TIniFile::TIniFile(std::string fileName) : fFileName(std::move(fileName)) {}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view defaultValue) const {
  auto raw = FindRawValue(fFileName, section, key);
  if (!raw) return std::string(defaultValue);
  return CookValue(*raw);
}

std::int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key,
                                   std::int32_t defaultValue) const {
  auto raw = FindRawValue(fFileName, section, key);
  if (!raw) return defaultValue;
  std::int32_t value = 0;
  return ParseIniInteger(Trim(CookValue(*raw)), value) ? value : defaultValue;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

std::vector<std::string> TIniFile::ReadSection(std::string_view section) const {
  std::vector<std::string> keys;
  std::shared_ptr<const TIniText> loaded;
  if (LoadIniForReading(fFileName, loaded) != TLoadResult::Loaded) return keys;
  const TIniText& text = *loaded;
  auto range = FindSection(text, section);
  if (!range) return keys;
  for (std::size_t i = range->Begin; i < range->End; ++i) {
    auto entry = KeyLine(text.Lines[i]);
    if (!entry) continue;
    bool seen = false;
    for (const auto& k : keys)
      seen = seen || SameName(k, entry->Key);
    if (!seen) keys.emplace_back(entry->Key);
  }
  return keys;
}

bool TIniFile::SectionExists(std::string_view section) const {
  std::shared_ptr<const TIniText> text;
  return LoadIniForReading(fFileName, text) == TLoadResult::Loaded &&
         FindSection(*text, section).has_value();
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  if (!ValidName(section, false)) {
    throw EIniFileError("Invalid section name \"" + std::string(section) + "\" for " + fFileName);
  }
  if (!ValidName(key, true)) {
    throw EIniFileError("Invalid key name \"" + std::string(key) + "\" for " + fFileName);
  }
  std::string cleanValue(value);
  for (char& c : cleanValue) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }

  std::lock_guard<std::mutex> guard(IniWriteMutex());
  TIniText text;
  if (LoadIniText(fFileName, text) == TLoadResult::Failed) {
    // Never rewrite a file we could not read: its other entries would be lost.
    throw EIniFileError("Unable to write to " + fFileName);
  }

  std::string newLine = std::string(key) + "=" + cleanValue;
  auto range = FindSection(text, section);
  if (!range) {
    if (!text.Lines.empty() && !Trim(text.Lines.back()).empty()) text.Lines.emplace_back();
    text.Lines.push_back("[" + std::string(section) + "]");
    text.Lines.push_back(std::move(newLine));
  } else {
    std::size_t lastEntry = range->Header;
    bool replaced = false;
    for (std::size_t i = range->Begin; i < range->End; ++i) {
      auto entry = KeyLine(text.Lines[i]);
      if (!entry) continue;
      if (SameName(entry->Key, key)) {
        text.Lines[i] = std::string(entry->Key) + "=" + cleanValue;
        replaced = true;
        break;
      }
      lastEntry = i;
    }
    if (!replaced) {
      text.Lines.insert(text.Lines.begin() + static_cast<std::ptrdiff_t>(lastEntry + 1),
                        std::move(newLine));
    }
  }

  std::string data;
  if (text.HasBom) data.append(kUtf8Bom);
  const char* end = text.UsesCrLf ? "\r\n" : "\n";
  for (const auto& line : text.Lines) {
    data.append(line);
    data.append(end);
  }
  if (data.size() > kIniMaxFileBytes || !ReplaceFileDurably(fFileName, data)) {
    throw EIniFileError("Unable to write to " + fFileName);
  }
}

}  // namespace zorvic
