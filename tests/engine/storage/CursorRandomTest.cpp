// A randomized run through the cursor, for each leaf compression: a Users-like table (string
// primary key, case-insensitive fully compressed secondary index) and a table keyed by its
// auto-increment field receive 100,000 inserts in random key order, 50,000 random deletes and
// 50,000 more inserts. The trees are checked at intervals and every index against the records
// after each phase; the rank, range and prefix searches are compared with a model; and a new
// process reopens both tables and walks both indexes of each.
//
// Cost under AddressSanitizer: the operation counts are kept, the checks are spaced out (tree
// structure every 10,000 operations, records against every index once per phase). The tables
// are opened exclusively with large caches so that the run measures the trees, not the
// per-operation flushes that the shared-table tests cover.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <set>

#include "engine/storage/CursorTestSupport.h"

namespace zorvic::engine::testing {
namespace {

constexpr int kFirstInserts = 100000;
constexpr int kDeletes = 50000;
constexpr int kSecondInserts = 50000;
constexpr int kTreeCheckEvery = 1000;

class TCursorRandomTest : public TDatabaseFixture,
                          public ::testing::WithParamInterface<std::uint8_t> {
 protected:
  void SetUp() override {
    TDatabaseFixture::SetUp();
    TSessionSettings s = Session->Settings();
    s.IndexCacheBytes = 64LL << 20;
    s.RecordCacheBytes = 16LL << 20;
    s.RecordCacheCount = 1 << 20;
    Session->SetSettings(s);
    Seed = std::random_device{}();
    Rng.seed(Seed);
  }

  void CheckTrees(TDataCursor& c, const char* when) {
    TIndexFile& index = c.Table().Index();
    TIndexFileCheck file = CheckIndexFile(
        index, [&](int slot) -> const TKeyCompare& { return index.KeyCompare(slot); });
    std::vector<std::string> problems = file.Problems;
    for (const TTreeCheck& t : file.Trees)
      problems.insert(problems.end(), t.Problems.begin(), t.Problems.end());
    ASSERT_TRUE(problems.empty()) << when << " seed " << Seed << ": " << problems.front();
  }
  void CheckAll(TDataCursor& c, const char* when) {
    const std::vector<std::string> problems = CheckTable(c.Table());
    ASSERT_TRUE(problems.empty()) << when << " seed " << Seed << ": " << problems.front();
  }

  std::string RandomName() {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string s(6 + Rng() % 10, 'a');
    for (char& ch : s)
      ch = letters[Rng() % 36];
    return s;
  }

  unsigned Seed = 0;
  std::mt19937 Rng;
};

TEST_P(TCursorRandomTest, InsertDeleteInsertWithChecks) {
  const std::uint8_t compression = GetParam();
  TDataCursor& users = NewCursor();
  users.CreateTable("Users", UsersTable(compression), false);
  users.Open("Users", false, true);
  TDataCursor& counters = NewCursor();
  counters.CreateTable("Counters", CounterTable(compression), false);
  counters.Open("Counters", false, true);
  counters.SetAutoIncSuppressed(true);

  std::set<std::string> names;                // the Users model
  std::vector<std::string> nameList;          // for random picks
  std::map<std::int32_t, std::int32_t> rows;  // RowId -> Value
  std::vector<std::int32_t> rowList;
  std::vector<std::int32_t> freeIds(kFirstInserts + kSecondInserts);
  for (std::size_t i = 0; i < freeIds.size(); ++i)
    freeIds[i] = static_cast<std::int32_t>(i + 1);
  std::shuffle(freeIds.begin(), freeIds.end(), Rng);

  TRec u(users), k(counters);
  int operations = 0;
  double checkSeconds = 0;
  auto tick = [&] {
    if (++operations % kTreeCheckEvery == 0) {
      auto t0 = std::chrono::steady_clock::now();
      CheckTrees(users, "users");
      CheckTrees(counters, "counters");
      checkSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
  };
  auto phaseStart = std::chrono::steady_clock::now();
  auto phase = [&](const char* name) {
    auto now = std::chrono::steady_clock::now();
    std::fprintf(stderr, "TIMING %s %.1fs (tree checks so far %.1fs)\n", name,
                 std::chrono::duration<double>(now - phaseStart).count(), checkSeconds);
    phaseStart = now;
  };
  auto insertBoth = [&] {
    std::string name;
    do
      name = RandomName();
    while (names.count(name));
    std::string full = name;
    for (char& ch : full)
      if (Rng() % 2) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    u.Init().Str("UserName", name).Str("FullName", full.substr(0, 3));
    users.InsertRecord(u.Bytes());
    names.insert(name);
    nameList.push_back(name);
    const std::int32_t id = freeIds.back();
    freeIds.pop_back();
    const std::int32_t value = static_cast<std::int32_t>(Rng() % 1000);
    k.Init().Int("Value", value);
    SetRecRowId(k.Bytes(), id);
    counters.InsertRecord(k.Bytes());
    rows[id] = value;
    rowList.push_back(id);
    tick();
  };

  for (int i = 0; i < kFirstInserts; ++i) {
    insertBoth();
    if (HasFatalFailure()) return;
  }
  phase("first inserts");
  CheckAll(users, "after the first inserts");
  CheckAll(counters, "after the first inserts");
  if (HasFatalFailure()) return;

  phase("full check");
  // The 50,000th key by rank; an exact range count; a prefix's first match.
  ASSERT_EQ(users.GoToRecordNumber(50000), VELDOR_NONE);
  users.GetCurrent(u.Bytes());
  EXPECT_EQ(u.GetStr("UserName"), *std::next(names.begin(), 49999)) << "seed " << Seed;
  for (int probe = 0; probe < 20; ++probe) {
    std::string a = RandomName(), b = RandomName();
    if (b < a) std::swap(a, b);
    TRec lo(users), hi(users);
    lo.Init().Str("UserName", a);
    hi.Init().Str("UserName", b);
    users.SetRange(lo.Bytes(), 1, hi.Bytes(), 1);
    const auto expected = std::distance(names.lower_bound(a), names.upper_bound(b));
    EXPECT_EQ(users.RecordCount(), expected) << a << ".." << b << " seed " << Seed;
    users.CancelRange();
    const std::string prefix = RandomName().substr(0, 2);
    lo.Init().Str("UserName", prefix);
    const auto first = names.lower_bound(prefix);
    const bool present = first != names.end() && first->compare(0, 2, prefix) == 0;
    EXPECT_EQ(users.FindKey(lo.Bytes(), 1, 2), present) << prefix << " seed " << Seed;
    if (present) {
      users.GetCurrent(u.Bytes());
      EXPECT_EQ(u.GetStr("UserName"), *first);
    }
  }

  for (int i = 0; i < kDeletes; ++i) {
    const std::size_t pick = Rng() % nameList.size();
    std::swap(nameList[pick], nameList.back());
    u.Init().Str("UserName", nameList.back());
    ASSERT_TRUE(users.FindKey(u.Bytes(), 1)) << nameList.back() << " seed " << Seed;
    users.DeleteRecord();
    names.erase(nameList.back());
    nameList.pop_back();
    const std::size_t row = Rng() % rowList.size();
    std::swap(rowList[row], rowList.back());
    k.Init();
    SetRecRowId(k.Bytes(), rowList.back());
    ASSERT_TRUE(counters.FindKey(k.Bytes(), 1)) << rowList.back() << " seed " << Seed;
    counters.DeleteRecord();
    rows.erase(rowList.back());
    rowList.pop_back();
    tick();
    if (HasFatalFailure()) return;
  }
  phase("deletes");
  CheckAll(users, "after the deletes");
  CheckAll(counters, "after the deletes");
  if (HasFatalFailure()) return;
  for (int i = 0; i < kSecondInserts; ++i) {
    insertBoth();
    if (HasFatalFailure()) return;
  }
  phase("second inserts");
  CheckAll(users, "after the second inserts");
  CheckAll(counters, "after the second inserts");
  if (HasFatalFailure()) return;
  EXPECT_EQ(users.RecordCount(), static_cast<std::int64_t>(names.size()));
  EXPECT_EQ(counters.RecordCount(), static_cast<std::int64_t>(rows.size()));
  phase("last check");
  users.Close();
  counters.Close();

  // A new process opens both tables in a session of its own and walks both indexes of each.
  const pid_t child = fork();
  if (child == 0) {
    int failures = 0;
    {
      TDataSession session;  // the default settings: small caches
      TDataDirectory& db = session.OpenDatabase(Dir.Path());
      TDataCursor c(db);
      c.Open("Users");
      TRec r(c);
      auto it = names.begin();
      c.First();
      while (c.GetNext(r.Bytes()) == VELDOR_NONE)
        if (it == names.end() || r.GetStr("UserName") != *it++) ++failures;
      if (it != names.end()) ++failures;
      c.SetIndexByName("ByFullName");
      std::string last;
      std::int64_t n = 0;
      c.First();
      while (c.GetNext(r.Bytes()) == VELDOR_NONE) {
        std::string full = r.GetStr("FullName");
        for (char& ch : full)
          ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (full < last) ++failures;
        last = full;
        ++n;
      }
      if (n != static_cast<std::int64_t>(names.size())) ++failures;
      c.Close();
      c.Open("Counters");
      TRec q(c);
      auto row = rows.begin();
      c.First();
      while (c.GetNext(q.Bytes()) == VELDOR_NONE) {
        if (row == rows.end() || q.GetInt("ID") != row->first || q.GetInt("Value") != row->second)
          ++failures;
        else
          ++row;
      }
      if (row != rows.end()) ++failures;
      c.SetIndexByName("ByValue");
      std::int32_t lastValue = -1;
      n = 0;
      c.First();
      while (c.GetNext(q.Bytes()) == VELDOR_NONE) {
        if (q.GetInt("Value") < lastValue) ++failures;
        lastValue = q.GetInt("Value");
        ++n;
      }
      if (n != static_cast<std::int64_t>(rows.size())) ++failures;
      c.Close();
      session.CloseDatabase(db);
    }
    _exit(failures == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  phase("other process");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "seed " << Seed;
}

std::string CompressionName(const ::testing::TestParamInfo<std::uint8_t>& info) {
  static const char* const names[] = {"None", "DupBytes", "TrailBytes", "Full"};
  return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Compressions, TCursorRandomTest,
                         ::testing::Values(icNone, icDuplicateBytes, icTrailingBytes, icFull),
                         CompressionName);

}  // namespace
}  // namespace zorvic::engine::testing
