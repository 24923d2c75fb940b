// Statements parsed and bound per second: the server's own statements, and a CREATE TABLE of
// 200 columns. Every allocation of the process goes through the counting operator new below,
// so each benchmark also reports the heap allocations per statement.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "app/SharedSchema.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SchemaSource.h"
#include "engine/sql/parse/ScriptChecker.h"

namespace {

std::atomic<std::uint64_t> gAllocations{0};

}  // namespace

// GCC pairs the replaced operators below with the library's when it inlines them and then
// reports a mismatch that is not there: both sides are malloc and free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using namespace zorvic::engine;

// The server's schema script followed by the mailbox table.
const std::string kSchema =
    std::string(zorvic::kSharedSchemaScript) + std::string(zorvic::kMessagesTableStatement);

// The statements a running server issues, with values pasted in.
const std::vector<std::string> kServerStatements = {
    "Select * from Users where UserName='admin'",
    "Select * from Groups where GroupName='Admins'",
    "Select * from Profiles where ProfileName='Standard'",
    "Update Users set LastLogin = '2004-03-07' where UserName='admin';",
    "START TRANSACTION",
    "COMMIT FLUSH",
    "Select MAX(AttachID) from Attachments;",
    "Select UserName from Users where GroupName like \"Sal%\"",
    "Select UserName from Users where GroupName='Sales'",
    "Select ProfileName,GroupName, PrimaryEmail, SecondaryEmail from Users where UserName='bob';",
    "Select ProfileName from Groups where GroupName='Sales'",
    "Select MessageID from Messages where MessageID > 17 order by MessageID",
    "Select * from Messages where MessageID=17",
    "Select BODY from Attachments where AttachID=3",
    "Delete from Messages where MessageID=17",
    "Select GroupName from Groups order by GroupName",
    "Select UserName,GroupName from Users Order by GroupName",
    "Select count(*) From Users where UserName='carol'",
    "Insert Into Users (UserName, Password, GroupName, HasAdminPower, AccountDisabled) values "
    "('carol', 'secret', 'Sales', false, true);",
    "Insert into Requests (From, RequestType, RequestDate) values ('dave','User Activation "
    "Request','2005-01-31');",
};

TSchemaSource& ServerTables() {
  static TEmptySchemaSource none("");
  static TScriptChecker checker(none, "");
  static const bool built = checker.Check(kSchema).empty();
  if (!built) std::abort();
  return checker.Schema();
}

void ParseAndBind(TQueryStatement& statement, std::string_view sql, TSchemaSource& tables) {
  statement.Prepare(sql);
  statement.Bind(tables);
}

void BM_ServerStatements(benchmark::State& state) {
  TSchemaSource& tables = ServerTables();
  TQueryStatement statement;
  std::uint64_t statements = 0;
  const std::uint64_t before = gAllocations.load();
  for (auto _ : state) {
    for (const std::string& sql : kServerStatements) {
      ParseAndBind(statement, sql, tables);
      ++statements;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(statements));
  state.counters["allocs/statement"] =
      static_cast<double>(gAllocations.load() - before) / static_cast<double>(statements);
}
BENCHMARK(BM_ServerStatements);

std::string CreateTable200() {
  std::string sql = "Create Table Wide(";
  const char* types[] = {"INTEGER",       "VARCHAR(40)", "DATE", "BOOLEAN",
                         "DECIMAL(12,2)", "TIMESTAMP",   "MEMO", "FLOAT"};
  for (int i = 0; i < 200; ++i) {
    sql += "Column" + std::to_string(i) + " " + types[i % 8];
    if (i % 5 == 0) sql += " NOT NULL";
    if (i % 7 == 0 && i % 8 == 0) sql += " DEFAULT 0";
    sql += ",";
  }
  sql += "Primary Key (Column0, Column1));";
  return sql;
}

void BM_CreateTable200Columns(benchmark::State& state) {
  TSchemaSource& tables = ServerTables();
  const std::string sql = CreateTable200();
  TQueryStatement statement;
  std::uint64_t statements = 0;
  const std::uint64_t before = gAllocations.load();
  for (auto _ : state) {
    ParseAndBind(statement, sql, tables);
    ++statements;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(statements));
  state.counters["allocs/statement"] =
      static_cast<double>(gAllocations.load() - before) / static_cast<double>(statements);
}
BENCHMARK(BM_CreateTable200Columns);

// One statement at a time, to see which of the server's statements cost the most.
void BM_ServerStatement(benchmark::State& state) {
  TSchemaSource& tables = ServerTables();
  const std::string& sql = kServerStatements[static_cast<std::size_t>(state.range(0))];
  TQueryStatement statement;
  std::uint64_t statements = 0;
  const std::uint64_t before = gAllocations.load();
  for (auto _ : state) {
    ParseAndBind(statement, sql, tables);
    ++statements;
  }
  state.SetLabel(sql.substr(0, 48));
  state.SetItemsProcessed(static_cast<std::int64_t>(statements));
  state.counters["allocs/statement"] =
      static_cast<double>(gAllocations.load() - before) / static_cast<double>(statements);
}
BENCHMARK(BM_ServerStatement)->DenseRange(0, 19);

}  // namespace

BENCHMARK_MAIN();
