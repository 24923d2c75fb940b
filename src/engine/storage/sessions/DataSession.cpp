#include "engine/storage/sessions/DataSession.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <random>

#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/files/FileLayer.h"

namespace zorvic::engine {
namespace {

// Passwords are kept as given, cut to 255 characters.
constexpr std::size_t kMaxPasswordLength = 255;

std::string WithSeparator(std::string path) {
  if (!path.empty() && path.back() != '/') path += '/';
  return path;
}

std::string CurrentDirectory() {
  char buffer[4096];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return "./";
  return WithSeparator(buffer);
}

std::string SystemTempDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  return WithSeparator(tmp && *tmp ? tmp : "/tmp");
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lx = static_cast<unsigned char>(x), ly = static_cast<unsigned char>(y);
           if (lx >= 'A' && lx <= 'Z') lx = static_cast<unsigned char>(lx + 32);
           if (ly >= 'A' && ly <= 'Z') ly = static_cast<unsigned char>(ly + 32);
           return lx == ly;
         });
}

}  // namespace

namespace {

// Set in a forked child, which reseeds before its first draw: it would otherwise draw the very
// slots its parent draws. (A flag instead of comparing the process id at every draw.)
std::atomic<bool> gForkedSinceSeed{false};
void NoteForked() {
  gForkedSinceSeed.store(true, std::memory_order_relaxed);
}

}  // namespace

int DrawLockSlot() {
  static std::mutex mutex;
  static std::mt19937 generator(std::random_device{}());
  static const int registered = ::pthread_atfork(nullptr, nullptr, &NoteForked);
  (void)registered;
  std::lock_guard<std::mutex> guard(mutex);
  if (gForkedSinceSeed.exchange(false, std::memory_order_relaxed))
    generator.seed(std::random_device{}());
  int slot = static_cast<int>(generator() % 65536);
  return slot == 0 ? 1 : slot;
}

TDataSession::TDataSession(bool serverSide)
    : FServerSide(serverSide), FStartDirectory(CurrentDirectory()) {
  FSettings.PrivateDir = SystemTempDirectory();
}

TDataSession::~TDataSession() {
  std::lock_guard<std::mutex> guard(FMutex);
  FDatabases.clear();  // each database closes its tables
}

TDataSession& TDataSession::Default() {
  static TDataSession* session = new TDataSession(false);  // lives until exit
  return *session;
}

TSessionSettings TDataSession::Settings() const {
  std::lock_guard<std::mutex> guard(FMutex);
  return FSettings;
}

void TDataSession::SetSettings(const TSessionSettings& settings) {
  std::lock_guard<std::mutex> guard(FMutex);
  std::string dir = settings.PrivateDir;
  FSettings = settings;
  FSettings.PrivateDir = dir.empty() ? FStartDirectory : WithSeparator(NormalizeFileName(dir));
  FSettingsVersion.fetch_add(1, std::memory_order_release);
}

void TDataSession::SetProgressSteps(int steps) {
  std::lock_guard<std::mutex> guard(FMutex);
  FSettings.ProgressSteps = std::clamp(steps, 1, 100);
  FSettingsVersion.fetch_add(1, std::memory_order_release);
}

void TDataSession::SetForceBufferFlush(bool on) {
  std::lock_guard<std::mutex> guard(FMutex);
  FSettings.ForceBufferFlush = on;
  FSettingsVersion.fetch_add(1, std::memory_order_release);
}

void TDataSession::SetStrictChangeDetection(bool on) {
  std::lock_guard<std::mutex> guard(FMutex);
  FSettings.StrictChangeDetection = on;
  FSettingsVersion.fetch_add(1, std::memory_order_release);
}

void TDataSession::SetLockRetryCount(std::uint8_t count) {
  std::lock_guard<std::mutex> guard(FMutex);
  FSettings.LockRetryCount = count;
  FSettingsVersion.fetch_add(1, std::memory_order_release);
}

void TDataSession::SetLockWaitTime(std::uint16_t ms) {
  std::lock_guard<std::mutex> guard(FMutex);
  FSettings.LockWaitTime = ms;
  FSettingsVersion.fetch_add(1, std::memory_order_release);
}

void TDataSession::SetLockProtocol(TLockProtocol protocol) {
  std::lock_guard<std::mutex> guard(FMutex);
  FSettings.LockProtocol = protocol;
  FSettingsVersion.fetch_add(1, std::memory_order_release);
}

void TDataSession::SetPrivateDir(const std::string& dir) {
  std::lock_guard<std::mutex> guard(FMutex);
  const std::string normalized = NormalizeFileName(dir);
  FSettings.PrivateDir = normalized.empty() ? FStartDirectory : WithSeparator(normalized);
  FSettingsVersion.fetch_add(1, std::memory_order_release);
}

std::string TDataSession::PrivateDir() const {
  std::lock_guard<std::mutex> guard(FMutex);
  return FSettings.PrivateDir;
}

std::string TDataSession::DatabasePath(const std::string& nameOrPath, const std::string& start,
                                       bool* inMemory) {
  const std::string trimmed = NormalizeFileName(nameOrPath);
  *inMemory = EqualsNoCase(trimmed, "memory");
  if (*inMemory) return {};
  if (trimmed.empty()) return start;
  if (trimmed.front() != '/') return WithSeparator(start + trimmed);
  return WithSeparator(trimmed);
}

TDataDirectory& TDataSession::OpenDatabase(const std::string& nameOrPath) {
  std::lock_guard<std::mutex> guard(FMutex);
  bool inMemory = false;
  const std::string path = DatabasePath(nameOrPath, FStartDirectory, &inMemory);
  for (auto& db : FDatabases) {
    if (db->InMemory() == inMemory && EqualsNoCase(db->Path(), path)) {
      db->AddRef();
      return *db;
    }
  }
  FDatabases.push_back(std::make_unique<TDataDirectory>(*this, path, inMemory));
  FDatabases.back()->AddRef();
  return *FDatabases.back();
}

void TDataSession::CloseDatabase(TDataDirectory& database) {
  std::unique_ptr<TDataDirectory> doomed;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    auto it = std::find_if(
        FDatabases.begin(), FDatabases.end(),
        [&](const std::unique_ptr<TDataDirectory>& d) { return d.get() == &database; });
    if (it == FDatabases.end() || (*it)->Release() > 0) return;
    doomed = std::move(*it);
    FDatabases.erase(it);
  }
  // Closing the tables writes their files: done outside the session's lock.
}

std::size_t TDataSession::DatabaseCount() const {
  std::lock_guard<std::mutex> guard(FMutex);
  return FDatabases.size();
}

void TDataSession::AddPassword(const std::string& password) {
  std::lock_guard<std::mutex> guard(FMutex);
  std::string p = password.substr(0, kMaxPasswordLength);
  if (std::find(FPasswords.begin(), FPasswords.end(), p) == FPasswords.end())
    FPasswords.push_back(std::move(p));
}

void TDataSession::RemovePassword(const std::string& password) {
  std::lock_guard<std::mutex> guard(FMutex);
  std::string p = password.substr(0, kMaxPasswordLength);
  FPasswords.erase(std::remove(FPasswords.begin(), FPasswords.end(), p), FPasswords.end());
}

void TDataSession::RemoveAllPasswords() {
  std::lock_guard<std::mutex> guard(FMutex);
  FPasswords.clear();
}

bool TDataSession::HasPassword(const std::string& password) const {
  std::lock_guard<std::mutex> guard(FMutex);
  return std::find(FPasswords.begin(), FPasswords.end(), password) != FPasswords.end();
}

}  // namespace zorvic::engine
