// Helpers for the locking, transaction and concurrency tests: a table keyed by random strings,
// inserting rows through a session of its own, shortened fixed lock waits, child processes, and
// running a call that must fail with a given engine error.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>

#include "engine/storage/CursorTestSupport.h"
#include "engine/storage/locks/LockRegions.h"

namespace zorvic::engine::testing {

// A table with a random string primary key, an indexed number and a label.
inline TTableCreation KeyedTable() {
  TTableCreation c;
  c.Table.Fields = {Fld("Key", ftString, 24), Fld("Value", ftInteger), Fld("Label", ftString, 20)};
  c.Primary = Idx("", {1}, true);
  c.Secondary = {Idx("ByValue", {2}, false)};
  return c;
}

// Creates table `name` in `dir` through a session that is gone again afterwards, so that no file
// of it is open in this process (children forked later must not share its descriptors).
inline void CreateTableIn(const std::string& dir, const std::string& name,
                          const TTableCreation& creation) {
  TDataSession session;
  TDataDirectory& db = session.OpenDatabase(dir);
  {
    TDataCursor c(db);
    c.CreateTable(name, creation, false);
  }
  session.CloseDatabase(db);
}

// Inserts `count` rows with random keys (unique through `tag`) into table T of `dir` through a
// session of its own.
inline void InsertRandomRows(const std::string& dir, const std::string& tag, int count,
                             unsigned seed) {
  TDataSession session;
  TDataDirectory& db = session.OpenDatabase(dir);
  try {
    TDataCursor c(db);
    c.Open("T");
    TRec r(c);
    std::mt19937 rng(seed);
    char key[32];
    for (int i = 0; i < count; ++i) {
      std::snprintf(key, sizeof key, "%08x%s%d", static_cast<unsigned>(rng()), tag.c_str(), i);
      r.Init().Str("Key", key).Int("Value", static_cast<std::int32_t>(rng() % 100000));
      c.InsertRecord(r.Bytes());
    }
  } catch (...) {
    session.CloseDatabase(db);
    throw;
  }
  session.CloseDatabase(db);
}

// Shortens the fixed waits of read, write and transaction locks for a scope.
class TShortLockWaits {
 public:
  explicit TShortLockWaits(int attempts = 20, int pauseMs = 1) {
    SetFixedLockWaits(TFixedLockWaits{attempts, pauseMs});
  }
  ~TShortLockWaits() { SetFixedLockWaits(TFixedLockWaits{}); }
  TShortLockWaits(const TShortLockWaits&) = delete;
  TShortLockWaits& operator=(const TShortLockWaits&) = delete;
};

// Forks a child that runs `body` and exits 0, or 1 after printing what it raised.
inline pid_t ForkChild(const std::function<void()>& body) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  int code = 0;
  try {
    body();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "child %d: %s\n", static_cast<int>(::getpid()), e.what());
    code = 1;
  } catch (...) {
    code = 1;
  }
  ::_exit(code);
}

// The exit code of a finished child (-1 when it did not exit normally).
inline int WaitChild(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The engine error code a call raised (VELDOR_NONE when it raised nothing); *message gets the
// error's text.
inline TErrorCode CodeOf(const std::function<void()>& call, std::string* message = nullptr) {
  try {
    call();
  } catch (const EVELDOREngineError& e) {
    if (message) *message = e.what();
    return e.ErrorCode;
  }
  return VELDOR_NONE;
}

// Milliseconds a call took.
inline double MillisecondsOf(const std::function<void()>& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace zorvic::engine::testing
