#include "recordkit/reader/pg_log_reader.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include <libpq-fe.h>

#include "automation/automation_error.h"
#include "recordkit/log_table.h"
#include "recordkit/postgres/pg_table.h"

namespace recordkit {

using automation::Variant;

namespace {

struct Finish {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
struct Clear {
  void operator()(PGresult* result) const { PQclear(result); }
};

// The select: the 19 event columns (the stamps in ISO forms whatever the session's
// DateStyle), then every filter as a parameter that, left NULL, lets every row
// through.
//   $1 since  $2 until  $3 AppName  $4 UserName  $5 Severity  $6 grep  $7 limit
std::string SelectStatement(const std::string& table) {
  std::string columns;
  const auto all = EventColumns();
  for (int i = 0; i < kLoggedFields; ++i) {
    const LogColumn& column = all[static_cast<size_t>(i)];
    const std::string name = QuoteIdentifier(column.name);
    std::string shown = name;
    if (column.kind == ColumnKind::Date) shown = "to_char(" + name + ", 'YYYY-MM-DD')";
    if (column.kind == ColumnKind::Time) shown = "to_char(" + name + ", 'HH24:MI:SS')";
    columns += (i ? ", " : "") + shown;
  }
  const std::string at = R"(("logdate" + coalesce("LogTime", time '00:00:00')))";
  return "SELECT " + columns + " FROM " + QuoteIdentifier(PgTableName(table)) +
         " WHERE ($1::timestamp IS NULL OR " + at + " >= $1::timestamp)"
         " AND ($2::timestamp IS NULL OR " + at + " <= $2::timestamp)"
         R"( AND ($3::text IS NULL OR "AppName" = $3::text))"
         R"( AND ($4::text IS NULL OR "UserName" = $4::text))"
         R"( AND ($5::text IS NULL OR "Severity" = $5::text))"
         R"( AND ($6::text IS NULL OR strpos("Description", $6::text) > 0 OR strpos("AddlText", $6::text) > 0))"
         R"( ORDER BY "logdate" DESC, "LogTime" DESC, "id" DESC LIMIT $7::bigint)";
}

// PostgreSQL's message without its line end.
std::string MessageOf(const char* message) {
  std::string text = message == nullptr ? "" : message;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

ReadAnswer PgLogReader::Read(const EventFilter& filter) {
  ReadAnswer answer;
  auto fail = [&](const std::string& doing, const char* message) {
    answer.status = {automation::err::kDeviceIOError, "cannot " + doing + " the " + label_ + ": " + MessageOf(message)};
    answer.events.clear();
    return answer;
  };
  if (!IsSafeTableName(table_)) {
    answer.status = {automation::err::kInvalidProcedureCall, "no table named " + table_ + " in the " + label_};
    return answer;
  }

  // Settings given in the connect string win over these defaults: a bounded wait
  // for the server, and a session that cannot change anything.
  const char* keywords[] = {"connect_timeout", "options", "dbname", nullptr};
  const char* values[] = {"10", "-c default_transaction_read_only=on", conninfo_.c_str(), nullptr};
  std::unique_ptr<PGconn, Finish> connection(PQconnectdbParams(keywords, values, 1));
  if (!connection) return fail("connect to", "out of memory");
  if (PQstatus(connection.get()) != CONNECTION_OK) return fail("connect to", PQerrorMessage(connection.get()));

  std::vector<std::optional<std::string>> params(7);
  params[0] = filter.since;
  params[1] = filter.until;
  params[2] = filter.appName;
  params[3] = filter.userName;
  if (filter.severity) params[4] = std::to_string(*filter.severity);
  params[5] = filter.grep;
  if (filter.limit) params[6] = std::to_string(*filter.limit);
  std::vector<const char*> pointers;
  for (const auto& param : params) pointers.push_back(param ? param->c_str() : nullptr);

  const std::string sql = SelectStatement(table_);
  std::unique_ptr<PGresult, Clear> result(PQexecParams(connection.get(), sql.c_str(), static_cast<int>(pointers.size()),
                                                       nullptr, pointers.data(), nullptr, nullptr, 0));
  if (!result || PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
    return fail("read", result ? PQresultErrorMessage(result.get()) : PQerrorMessage(connection.get()));
  }
  const int rows = PQntuples(result.get());
  for (int row = 0; row < rows; ++row) {
    LoggedEvent event;
    for (int column = 0; column < kLoggedFields; ++column) {
      if (PQgetisnull(result.get(), row, column)) continue;
      const char* text = PQgetvalue(result.get(), row, column);
      const auto size = static_cast<size_t>(PQgetlength(result.get(), row, column));
      event.fields[static_cast<size_t>(column)] = FromTableText(FormOfField(column), std::string(text, size));
    }
    answer.events.push_back(std::move(event));
  }
  std::reverse(answer.events.begin(), answer.events.end());
  return answer;
}

}  // namespace recordkit
