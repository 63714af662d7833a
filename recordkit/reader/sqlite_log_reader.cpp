#include "recordkit/reader/sqlite_log_reader.h"

#include <algorithm>
#include <memory>

#include <sqlite3.h>

#include "automation/automation_error.h"
#include "recordkit/log_table.h"

namespace recordkit {

using automation::Variant;

namespace {

// A writer holds its lock for one transaction; a reader waits that long at most.
constexpr int kBusyTimeoutMs = 5000;

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct Finalize {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

// The select: the 19 event columns, then every filter as a parameter that, left
// NULL, lets every row through.
//   ?1 since  ?2 until  ?3 AppName  ?4 UserName  ?5 Severity as a number
//   ?6 Severity as text  ?7 grep  ?8 limit (-1: none)
std::string SelectStatement(const std::string& table) {
  std::string columns;
  const auto all = EventColumns();
  for (int i = 0; i < kLoggedFields; ++i) columns += (i ? ", " : "") + QuoteIdentifier(all[static_cast<size_t>(i)].name);
  const std::string at = R"(("logdate" || ' ' || coalesce("LogTime", '00:00:00')))";
  return "SELECT " + columns + " FROM " + QuoteIdentifier(table) +
         " WHERE (?1 IS NULL OR " + at + " >= ?1)"
         " AND (?2 IS NULL OR " + at + " <= ?2)"
         R"( AND (?3 IS NULL OR CAST("AppName" AS TEXT) = ?3))"
         R"( AND (?4 IS NULL OR CAST("UserName" AS TEXT) = ?4))"
         R"( AND (?5 IS NULL OR "Severity" = ?5 OR "Severity" = ?6))"
         R"( AND (?7 IS NULL OR instr(CAST("Description" AS TEXT), ?7) > 0 OR instr(CAST("AddlText" AS TEXT), ?7) > 0))"
         R"( ORDER BY "logdate" DESC, "LogTime" DESC, "id" DESC LIMIT ?8)";
}

void BindText(sqlite3_stmt* statement, int index, const std::optional<std::string>& text) {
  if (text) sqlite3_bind_text64(statement, index, text->data(), text->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

Variant ColumnOf(sqlite3_stmt* statement, int column) {
  const FieldForm form = FormOfField(column);
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_NULL: return Variant::Null();
    case SQLITE_INTEGER: return FromTableInteger(form, sqlite3_column_int64(statement, column));
    case SQLITE_FLOAT: return FromTableReal(form, sqlite3_column_double(statement, column));
    default: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
      const int size = sqlite3_column_bytes(statement, column);
      return FromTableText(form, text == nullptr ? std::string() : std::string(text, static_cast<size_t>(size)));
    }
  }
}

}  // namespace

ReadAnswer SqliteLogReader::Read(const EventFilter& filter) {
  ReadAnswer answer;
  const std::string where = "the " + label_ + " " + path_;
  auto fail = [&](sqlite3* db, const std::string& doing) {
    answer.status = {automation::err::kDeviceIOError,
                     "cannot " + doing + " " + where + ": " + (db ? sqlite3_errmsg(db) : "out of memory")};
    answer.events.clear();
    return answer;
  };
  if (!IsSafeTableName(table_)) {
    answer.status = {automation::err::kInvalidProcedureCall, "no table named " + table_ + " in " + where};
    return answer;
  }

  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  std::unique_ptr<sqlite3, CloseDatabase> db(raw);
  if (opened != SQLITE_OK) return fail(raw, "open");
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);

  sqlite3_stmt* prepared = nullptr;
  const std::string sql = SelectStatement(table_);
  if (sqlite3_prepare_v2(raw, sql.c_str(), static_cast<int>(sql.size()), &prepared, nullptr) != SQLITE_OK) {
    return fail(raw, "read");
  }
  std::unique_ptr<sqlite3_stmt, Finalize> statement(prepared);
  BindText(prepared, 1, filter.since);
  BindText(prepared, 2, filter.until);
  BindText(prepared, 3, filter.appName);
  BindText(prepared, 4, filter.userName);
  if (filter.severity) {
    sqlite3_bind_int64(prepared, 5, *filter.severity);
    BindText(prepared, 6, std::to_string(*filter.severity));
  }
  BindText(prepared, 7, filter.grep);
  sqlite3_bind_int64(prepared, 8, filter.limit ? static_cast<sqlite3_int64>(*filter.limit) : -1);

  for (;;) {
    const int step = sqlite3_step(prepared);
    if (step == SQLITE_DONE) break;
    if (step != SQLITE_ROW) return fail(raw, "read");
    LoggedEvent event;
    for (int column = 0; column < kLoggedFields; ++column) {
      event.fields[static_cast<size_t>(column)] = ColumnOf(prepared, column);
    }
    answer.events.push_back(std::move(event));
  }
  // Read newest first so that a limit keeps the newest; shown oldest first.
  std::reverse(answer.events.begin(), answer.events.end());
  return answer;
}

}  // namespace recordkit
