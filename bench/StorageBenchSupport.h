// Helpers shared by the storage benchmarks that measure the engine side by side with SQLite:
// temporary folders, counts taken from the environment, session cache scaling, the key sets
// both sides load, and a small RAII wrapper over the SQLite C interface.
//
// SQLite is used only as a yardstick here; nothing in the product links it.
//
// Thread safety: every object here is used by one thread at a time.
#pragma once

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/storage/sessions/DataSession.h"

namespace zorvic::bench {

// A count from the environment (a quick run sets it small), else the default.
inline std::int64_t EnvCount(const char* name, std::int64_t fallback) {
  const char* text = getenv(name);
  if (!text || !*text) return fallback;
  const long long value = std::atoll(text);
  return value > 0 ? value : fallback;
}

// A temporary folder removed with everything in it when the object goes.
struct TBenchDir {
  std::string Path;
  TBenchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zorvic-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    Path = pattern + "/";
  }
  ~TBenchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(Path, ignored);
  }
  TBenchDir(const TBenchDir&) = delete;
  TBenchDir& operator=(const TBenchDir&) = delete;
  std::string File(const std::string& name) const { return Path + name; }
  // Bytes of all files in the folder.
  std::int64_t Bytes() const {
    std::int64_t total = 0;
    for (const auto& e : std::filesystem::directory_iterator(Path))
      if (e.is_regular_file()) total += static_cast<std::int64_t>(e.file_size());
    return total;
  }
};

// The session's default cache budgets multiplied by `scale`.
inline void ScaleCaches(engine::TDataSession& session, std::int64_t scale) {
  engine::TSessionSettings s = session.Settings();
  const engine::TSessionSettings d;
  s.RecordCacheBytes = d.RecordCacheBytes * scale;
  s.RecordCacheCount = d.RecordCacheCount * scale;
  s.IndexCacheBytes = d.IndexCacheBytes * scale;
  s.BlobCacheBytes = d.BlobCacheBytes * scale;
  s.BlobCacheCount = d.BlobCacheCount * scale;
  session.SetSettings(s);
}

// The SQLite page cache for the same scale: its default (2,000 KiB) times `scale`.
inline std::string SqliteCachePragma(std::int64_t scale) {
  return "PRAGMA cache_size=-" + std::to_string(2000 * scale);
}

// Key numbers 0..n-1 in a random order (a fixed seed, so both sides load the same order).
inline std::vector<std::int32_t> ShuffledKeys(std::int64_t n, std::uint64_t seed = 42) {
  std::vector<std::int32_t> keys(static_cast<std::size_t>(n));
  std::iota(keys.begin(), keys.end(), 0);
  std::mt19937_64 rng(seed);
  std::shuffle(keys.begin(), keys.end(), rng);
  return keys;
}

// Uniformly drawn key numbers for point lookups.
inline std::vector<std::int32_t> LookupKeys(std::int64_t n, std::int64_t count,
                                            std::uint64_t seed = 7) {
  std::vector<std::int32_t> keys(static_cast<std::size_t>(count));
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<std::int32_t> pick(0, static_cast<std::int32_t>(n - 1));
  for (auto& k : keys)
    k = pick(rng);
  return keys;
}

// The 34-character text key of key number v: a fixed prefix and the number, zero-padded, as
// mailbox and account keys look (neighbours in key order share most of their bytes).
constexpr int kStringKeyLength = 34;
inline std::string StringKey(std::int32_t v) {
  char text[kStringKeyLength + 1];
  std::snprintf(text, sizeof text, "mailbox-message-key-%014d", v);
  return std::string(text, kStringKeyLength);
}

// ---- SQLite ----------------------------------------------------------------------------

class TSqliteStatement {
 public:
  TSqliteStatement(sqlite3* db, const std::string& sql) : FDb(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &FStmt, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string("sqlite prepare: ") + sqlite3_errmsg(db));
  }
  ~TSqliteStatement() { sqlite3_finalize(FStmt); }
  TSqliteStatement(const TSqliteStatement&) = delete;
  TSqliteStatement& operator=(const TSqliteStatement&) = delete;
  sqlite3_stmt* Get() const { return FStmt; }
  // Steps once: true on a row, false when done; raises on errors.
  bool Step() {
    const int rc = sqlite3_step(FStmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw std::runtime_error(std::string("sqlite step: ") + sqlite3_errmsg(FDb));
  }
  void Reset() {
    sqlite3_reset(FStmt);
    sqlite3_clear_bindings(FStmt);
  }

 private:
  sqlite3* FDb;
  sqlite3_stmt* FStmt = nullptr;
};

class TSqlite {
 public:
  explicit TSqlite(const std::string& file) {
    if (sqlite3_open(file.c_str(), &FDb) != SQLITE_OK) {
      const std::string message = FDb ? sqlite3_errmsg(FDb) : "out of memory";
      sqlite3_close(FDb);
      throw std::runtime_error("sqlite open: " + message);
    }
    sqlite3_busy_timeout(FDb, 10000);
  }
  ~TSqlite() { sqlite3_close(FDb); }
  TSqlite(const TSqlite&) = delete;
  TSqlite& operator=(const TSqlite&) = delete;
  sqlite3* Get() const { return FDb; }
  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(FDb, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      const std::string message = error ? error : "unknown";
      sqlite3_free(error);
      throw std::runtime_error("sqlite: " + message + " in " + sql);
    }
  }
  std::int64_t QueryInt(const std::string& sql) {
    TSqliteStatement s(FDb, sql);
    return s.Step() ? sqlite3_column_int64(s.Get(), 0) : 0;
  }

 private:
  sqlite3* FDb = nullptr;
};

}  // namespace zorvic::bench
