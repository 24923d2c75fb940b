#include "app/SharedSql.h"

#include <cctype>
#include <mutex>
#include <stdexcept>
#include <type_traits>

#include "app/Server.h"
#include "app/SharedDatabase.h"
#include "engine/sql/query/Query.h"

namespace zorvic {

namespace {

template <class>
inline constexpr bool kAlwaysFalse = false;

void BindValue(engine::TParam& param, const cSqlValue& value) {
  std::visit(
      [&param](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          // A NULL needs a kind, or the place counts as having no value at all.
          param.SetDataType(engine::TFieldKind::String);
          param.Clear();
        } else if constexpr (std::is_same_v<T, std::string>) {
          param.SetAsString(v);
        } else if constexpr (std::is_same_v<T, std::int32_t>) {
          param.SetAsInteger(v);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          param.SetAsLargeInt(v);
        } else if constexpr (std::is_same_v<T, bool>) {
          param.SetAsBoolean(v);
        } else if constexpr (std::is_same_v<T, double>) {
          param.SetAsFloat(v);
        } else if constexpr (std::is_same_v<T, cSqlDate>) {
          param.SetAsDate(v.DayNumber);
        } else if constexpr (std::is_same_v<T, cSqlTimeStamp>) {
          param.SetAsDateTime(v.Value);
        } else if constexpr (std::is_same_v<T, cSqlMemo>) {
          param.SetAsMemo(v.Text);
        } else if constexpr (std::is_same_v<T, cSqlBlob>) {
          param.SetAsBlob(v.Bytes);
        } else {
          static_assert(kAlwaysFalse<T>, "every value kind binds");
        }
      },
      value);
}

// Sets the text and the values of its "?" places, in single-statement mode. Named places
// (":name") are not used by the server; a text holding one fails at the run for want of a
// value, which keeps a stray colon from binding anything by accident.
void Prepare(engine::TVELDORQuery& query, std::string_view sql, const cSqlParams& params) {
  query.Close();
  query.SetSingleStatement(true);
  query.SetSQLText(std::string(sql));
  engine::TParams& list = query.Params();
  list.Clear();
  for (const cSqlValue& value : params)
    BindValue(list.CreateParam(std::string()), value);
}

// Closes the query when the scope ends, also on an error.
class cCloseQuery {
 public:
  explicit cCloseQuery(engine::TVELDORQuery& query) : fQuery(query) {}
  ~cCloseQuery() {
    try {
      fQuery.Close();
    } catch (...) {
      // Closing a result cannot lose data; the error that brought us here matters more.
    }
  }
  cCloseQuery(const cCloseQuery&) = delete;
  cCloseQuery& operator=(const cCloseQuery&) = delete;

 private:
  engine::TVELDORQuery& fQuery;
};

engine::TVELDORQuery& RequireSharedQuery() {
  if (!SharedQuery) throw std::runtime_error("The shared database is not open");
  return *SharedQuery;
}

cSqlRows CopyRows(engine::TVELDORQuery& query) {
  cSqlRows rows;
  for (std::size_t i = 0; i < query.FieldCount(); ++i)
    rows.Columns.push_back(query.Field(i).FieldName());
  for (query.First(); !query.Eof(); query.Next()) {
    std::vector<std::optional<std::string>>& row = rows.Rows.emplace_back();
    row.reserve(query.FieldCount());
    for (std::size_t i = 0; i < query.FieldCount(); ++i) {
      const engine::TVELDORField& field = query.Field(i);
      if (field.IsNull()) {
        row.emplace_back(std::nullopt);
      } else if (field.IsBlob()) {
        row.emplace_back(query.GetBlobValue(field));
      } else {
        row.emplace_back(field.AsString());
      }
    }
  }
  return rows;
}

}  // namespace

int cSqlRows::ColumnIndex(std::string_view name) const {
  for (std::size_t i = 0; i < Columns.size(); ++i) {
    const std::string& column = Columns[i];
    if (column.size() != name.size()) continue;
    bool same = true;
    for (std::size_t k = 0; k < name.size() && same; ++k)
      same = std::tolower(static_cast<unsigned char>(column[k])) ==
             std::tolower(static_cast<unsigned char>(name[k]));
    if (same) return static_cast<int>(i);
  }
  return -1;
}

int RunExec(engine::TVELDORQuery& query, std::string_view sql, const cSqlParams& params) {
  Prepare(query, sql, params);
  cCloseQuery closer(query);
  query.RunSQL();
  return query.AffectedRows();
}

void RunWithResult(engine::TVELDORQuery& query, std::string_view sql, const cSqlParams& params,
                   const cSqlResultReader& reader) {
  Prepare(query, sql, params);
  cCloseQuery closer(query);
  query.Open();
  if (!query.Active())
    throw std::runtime_error("The statement returned no result: " + std::string(sql));
  if (reader) reader(query);
}

cSqlRows RunSelect(engine::TVELDORQuery& query, std::string_view sql, const cSqlParams& params) {
  cSqlRows rows;
  RunWithResult(query, sql, params, [&rows](engine::TVELDORQuery& q) { rows = CopyRows(q); });
  return rows;
}

int ExecShared(cServer& server, std::string_view sql, const cSqlParams& params) {
  std::lock_guard<std::recursive_mutex> guard(server.DatabaseLock);
  return RunExec(RequireSharedQuery(), sql, params);
}

cSqlRows SelectShared(cServer& server, std::string_view sql, const cSqlParams& params) {
  std::lock_guard<std::recursive_mutex> guard(server.DatabaseLock);
  return RunSelect(RequireSharedQuery(), sql, params);
}

void WithSharedQuery(cServer& server, std::string_view sql, const cSqlParams& params,
                     const cSqlResultReader& reader) {
  std::lock_guard<std::recursive_mutex> guard(server.DatabaseLock);
  RunWithResult(RequireSharedQuery(), sql, params, reader);
}

// QuoteSqlString is defined once, by the packet library (SqlLiteral.cpp), which the server
// links: a second definition here breaks the link of any binary that uses both.

}  // namespace zorvic
