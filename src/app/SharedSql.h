// Running SQL built from client input: the one way handlers reach the shared tables and a
// user's mailbox through SQL text.
//
// Every statement runs in single-statement mode (a second statement riding along in the text
// is refused before anything runs) with its values bound as parameters: the SQL text holds a
// "?" for every value, and `params` gives the values in the order of the "?" places. No
// client text is ever pasted into SQL. Where a text must be built (a table or column name
// that cannot be a parameter), the caller checks it against what it may be and, for a string
// literal, uses QuoteSqlString.
//
//   // the account of a login; one row or none
//   cSqlRows rows = SelectShared(server,
//       "Select Password, GroupName from Users where UserName = ?", {userName});
//   // a change; the number of rows it touched
//   int n = ExecShared(server, "Update Users set LastLogin = ? where UserName = ?",
//                      {cSqlDate{TodayDayNumber()}, userName});
//   // a result read through the dataset itself (an XML packet of its records)
//   WithSharedQuery(server, "Select GroupName from Groups order by GroupName", {},
//                   [&](engine::TVELDORQuery& q) { packet.AddRecords(q); });
//
// Errors: a failing statement raises the engine's error (EVELDOREngineError, SQL errors with
// code 11949 and "SQL error - ..."), or EDatabaseError from the component layer, or
// std::runtime_error "The shared database is not open" when there is no SharedQuery. The
// query is closed again and the lock left whatever happens. Handlers catch these themselves
// and log "In cServer.<operation> (): " + message (cServer::WriteLog never raises).
//
// Thread safety and locks: the *Shared functions take the server's DatabaseLock for the whole
// call (re-entrant: a caller may hold it already, for instance to run several statements as
// one step). The Run* functions on a query the caller names take no lock: the caller holds
// what guards that query (for a mailbox: LockUserQuery, which takes the mailbox lock and then
// the DatabaseLock). A callback runs with those locks held: it must not take a mailbox lock
// (lock order) and should do no long network waits beyond writing the reply.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zorvic::engine {
class TVELDORQuery;
}

namespace zorvic {

class cServer;

// Typed wrappers for values whose C++ type alone does not say the SQL type.
struct cSqlDate {
  std::int32_t DayNumber = 0;  // the engine's day number, 0001-01-01 = 1 (TodayDayNumber())
};
struct cSqlTimeStamp {
  double Value = 0;  // the engine's time stamp: day number * 86,400,000 + ms of the day
};
struct cSqlMemo {
  std::string Text;  // a text BLOB (MEMO column)
};
struct cSqlBlob {
  std::string Bytes;  // a binary BLOB
};

// One parameter value; std::monostate is NULL. A plain string binds as a String value.
using cSqlValue = std::variant<std::monostate, std::string, std::int32_t, std::int64_t, bool,
                               double, cSqlDate, cSqlTimeStamp, cSqlMemo, cSqlBlob>;
using cSqlParams = std::vector<cSqlValue>;

// A SELECT's result as text: column names and, per row, each value's text form (the column's
// AsString; dates as "YYYY-MM-DD", booleans as "True"/"False", memo text as is), or nullopt
// for NULL.
struct cSqlRows {
  std::vector<std::string> Columns;
  std::vector<std::vector<std::optional<std::string>>> Rows;

  bool Empty() const { return Rows.empty(); }
  // Index of a column by name (case-insensitive), or -1.
  int ColumnIndex(std::string_view name) const;
};

// Called with the query open on a SELECT's result, positioned on the first row.
using cSqlResultReader = std::function<void(engine::TVELDORQuery& query)>;

// ---- on the shared database (SharedQuery), under DatabaseLock ---------------------------

// Runs one statement that returns no rows; the number of rows it changed.
int ExecShared(cServer& server, std::string_view sql, const cSqlParams& params = {});
// Runs one SELECT and copies its whole result. For results that may be large (listings of a
// whole table), use WithSharedQuery and write the rows out as they are read.
cSqlRows SelectShared(cServer& server, std::string_view sql, const cSqlParams& params = {});
// Runs one SELECT and hands the open query to `reader`; the query is closed afterwards.
void WithSharedQuery(cServer& server, std::string_view sql, const cSqlParams& params,
                     const cSqlResultReader& reader);

// ---- on a query the caller guards (a mailbox's query) ------------------------------------

int RunExec(engine::TVELDORQuery& query, std::string_view sql, const cSqlParams& params = {});
cSqlRows RunSelect(engine::TVELDORQuery& query, std::string_view sql,
                   const cSqlParams& params = {});
void RunWithResult(engine::TVELDORQuery& query, std::string_view sql, const cSqlParams& params,
                   const cSqlResultReader& reader);

// ---- building text -----------------------------------------------------------------------

// The text as an SQL string literal: in single quotes, every single quote inside doubled.
// Defined once, by the packet library (its SQL builders use it too).
std::string QuoteSqlString(std::string_view text);

}  // namespace zorvic
