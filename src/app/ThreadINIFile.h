// TThreadINIFile: one INI file shared by every session thread, paired with its own lock.
//
// The only access path is LockIni (enter the lock, get the file object), read or write one or
// more values, UnlockIni. TIniFileLock does the pair for a scope. The lock is re-entrant, so a
// thread that already holds it may lock again. Callers hold it only for the reads or writes
// themselves: never while waiting on the network and never while taking another lock (the INI
// locks are innermost; a caller may already hold the DatabaseLock).
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "app/IniFile.h"

namespace zorvic {

class TThreadINIFile {
 public:
  explicit TThreadINIFile(std::string fileName);
  TThreadINIFile(const TThreadINIFile&) = delete;
  TThreadINIFile& operator=(const TThreadINIFile&) = delete;

  TIniFile& LockIni();
  void UnlockIni();

  const std::string& FileName() const { return fFile.FileName(); }

 private:
  std::recursive_mutex fLock;
  TIniFile fFile;
};

// Holds a TThreadINIFile's lock for one scope.
class TIniFileLock {
 public:
  explicit TIniFileLock(TThreadINIFile& owner) : fOwner(owner), fFile(owner.LockIni()) {}
  ~TIniFileLock() { fOwner.UnlockIni(); }
  TIniFileLock(const TIniFileLock&) = delete;
  TIniFileLock& operator=(const TIniFileLock&) = delete;

  TIniFile& File() { return fFile; }
  TIniFile* operator->() { return &fFile; }

 private:
  TThreadINIFile& fOwner;
  TIniFile& fFile;
};

// One option read under the file's lock, the pattern every reader of an option follows.
bool ReadIniBool(TThreadINIFile& file, std::string_view section, std::string_view key,
                 bool defaultValue);
std::int32_t ReadIniInteger(TThreadINIFile& file, std::string_view section, std::string_view key,
                            std::int32_t defaultValue);
std::string ReadIniString(TThreadINIFile& file, std::string_view section, std::string_view key,
                          std::string_view defaultValue);

// Section and keys of ServerOptions.ini that the server application reads.
inline constexpr std::string_view kServerOptionsSection = "ServerOptions";
inline constexpr std::string_view kRunAsServiceKey = "RunAsService";
inline constexpr std::string_view kDataScramblingKey = "DataScrambling";
inline constexpr std::string_view kEnableLoggingKey = "EnableLogging";

}  // namespace zorvic
