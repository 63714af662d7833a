#include "recordkit/sqlite/sqlite_dto.h"

#include <algorithm>
#include <climits>
#include <variant>

#include "automation/automation_error.h"
#include "recordkit/column_value.h"

namespace recordkit {

namespace {

// Runs one statement that yields no rows needed by the caller.
StoreStatus Run(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  sqlite3_free(message);  // sqlite3_errmsg still holds it for FailureOf
  if (rc != SQLITE_OK) return FailureOf(db, rc);
  return {};
}

// The event columns of `table`, in the table's order, under the table's own names.
StoreStatus ReadEventColumns(sqlite3* db, const std::string& table, std::vector<LogColumn>& columns) {
  const std::string sql = "PRAGMA table_info(" + QuoteIdentifier(table) + ")";
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr);
  SqliteStatement statement(raw);
  if (rc != SQLITE_OK) return FailureOf(db, rc);
  while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 1));
    if (name == nullptr) continue;
    if (auto column = EventColumnNamed(name)) {
      column->name = name;
      columns.push_back(*column);
    }
  }
  if (rc != SQLITE_DONE) return FailureOf(db, rc);
  return {};
}

int BindValue(sqlite3_stmt* statement, int index, const SqlValue& value) {
  if (auto* number = std::get_if<int64_t>(&value)) return sqlite3_bind_int64(statement, index, *number);
  if (auto* real = std::get_if<double>(&value)) return sqlite3_bind_double(statement, index, *real);
  if (auto* text = std::get_if<std::string>(&value)) {
    return sqlite3_bind_text64(statement, index, text->data(), text->size(), SQLITE_STATIC,
                               SQLITE_UTF8);
  }
  return sqlite3_bind_null(statement, index);
}

}  // namespace

StoreStatus SqliteDTO::Bind(std::shared_ptr<SqliteConnection> connection, const std::string& table) {
  Unbind();
  sqlite3* db = connection->handle();
  if (auto status = Run(db, CreateTableStatement(table)); !status.ok()) return status;

  std::vector<LogColumn> columns;
  if (auto status = ReadEventColumns(db, table, columns); !status.ok()) return status;
  // A table made before rows carried their sender and journal stamp gets those
  // columns; where it cannot be changed, it is used without them.
  bool added = false;
  for (const LogColumn& sender : AddedColumns()) {
    const bool present = std::any_of(columns.begin(), columns.end(),
                                     [&](const LogColumn& c) { return NamesEqual(c.name, sender.name); });
    if (!present) {
      added = Run(db, "ALTER TABLE " + QuoteIdentifier(table) + " ADD COLUMN " + QuoteIdentifier(sender.name)).ok() ||
              added;
    }
  }
  if (added) {
    columns.clear();
    if (auto status = ReadEventColumns(db, table, columns); !status.ok()) return status;
  }
  if (columns.empty()) {
    return {automation::err::kInvalidProcedureCall, "table " + table + " has no event columns"};
  }
  // One row per journalled record: a record written again after a restart (its
  // first write was stored, but the daemon died before the journal heard of it) is
  // skipped by the insert below and counted as taken.
  bool journalIndexed = false;
  if (HasJournalColumns(columns)) {
    journalIndexed = Run(db, "CREATE UNIQUE INDEX IF NOT EXISTS " + QuoteIdentifier(JournalIndexName(table)) + " ON " +
                                 QuoteIdentifier(table) + " (JournalId, JournalSeq)")
                         .ok();
    if (!journalIndexed) {
      // Without the index the journal's columns would not keep records apart; the
      // table is used without them.
      columns.erase(std::remove_if(columns.begin(), columns.end(),
                                   [](const LogColumn& c) { return c.kind == ColumnKind::Journal; }),
                    columns.end());
    }
  }

  std::string names, parameters;
  for (size_t i = 0; i < columns.size(); ++i) {
    names += (i ? ", " : "") + QuoteIdentifier(columns[i].name);
    parameters += (i ? ", ?" : "?") + std::to_string(i + 1);
  }
  std::string sql = "INSERT INTO " + QuoteIdentifier(table) + " (" + names + ") VALUES (" + parameters + ")";
  // Only the journal's index may make a row be skipped: a conflict with another of
  // the table's own constraints stays an error, so that the record is not lost.
  if (journalIndexed) sql += " ON CONFLICT (JournalId, JournalSeq) DO NOTHING";
  sqlite3_stmt* raw = nullptr;
  // Prepared once and reused for every record of this binding.
  const int rc = sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
  SqliteStatement insert(raw);
  if (rc != SQLITE_OK) return FailureOf(db, rc);

  connection_ = std::move(connection);
  table_ = table;
  columns_ = std::move(columns);
  insert_ = std::move(insert);
  return {};
}

void SqliteDTO::Unbind() {
  insert_.reset();
  columns_.clear();
  table_.clear();
  connection_.reset();
}

bool SqliteDTO::IsBoundTo(const std::shared_ptr<SqliteConnection>& connection) const {
  return connection_ != nullptr && connection_ == connection && connection_->isOpen() &&
         insert_ != nullptr;
}

StoreStatus SqliteDTO::RowOf(const PackedFields& fields, std::vector<SqlValue>& row) const {
  // Every value is converted before the statement is touched, so a record with one
  // value that cannot be stored leaves nothing behind. A field the record lacks is
  // Empty, which is stored as NULL.
  row.clear();
  row.reserve(columns_.size());
  for (size_t i = 0; i < columns_.size(); ++i) {
    const LogColumn& column = columns_[i];
    try {
      row.push_back(ColumnValue(column, fields, i));
    } catch (const automation::AutomationError& e) {
      return {e.number(), "field " + column.field + ": " + e.description()};
    }
  }
  return {};
}

StoreStatus SqliteDTO::InsertRow(const std::vector<SqlValue>& row) {
  sqlite3* db = connection_->handle();
  sqlite3_stmt* statement = insert_.get();
  StoreStatus status;
  for (size_t i = 0; i < row.size() && status.ok(); ++i) {
    const int rc = BindValue(statement, static_cast<int>(i + 1), row[i]);
    if (rc != SQLITE_OK) status = FailureOf(db, rc);
  }
  if (status.ok()) {
    const int rc = sqlite3_step(statement);
    if (rc != SQLITE_DONE) status = FailureOf(db, rc);
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);  // the bound texts belong to `row`
  return status;
}

}  // namespace recordkit
