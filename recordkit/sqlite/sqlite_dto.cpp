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

// The table beside `table` that holds the last journal number stored per journal.
std::string JournalMarksName(const std::string& table) { return table + "_journals"; }

StoreStatus Prepare(sqlite3* db, const std::string& sql, SqliteStatement& statement) {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
  statement = SqliteStatement(raw);
  if (rc != SQLITE_OK) return FailureOf(db, rc);
  return {};
}

bool IndexExists(sqlite3* db, const std::string& name) {
  SqliteStatement query;
  if (!Prepare(db, "SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = ?1", query).ok()) return false;
  sqlite3_bind_text64(query.get(), 1, name.data(), name.size(), SQLITE_STATIC, SQLITE_UTF8);
  return sqlite3_step(query.get()) == SQLITE_ROW;
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
  // skipped and counted as taken. A journal's records reach the table in the order of
  // their numbers, so the last number stored under each journal's identity tells
  // which are there already: a small table beside the log keeps it, written in each
  // run's own transaction. A table given a unique index over the journal's columns
  // before there were marks keeps it, for the rows stored then.
  bool journalIndexed = false;
  bool keepsMarks = false;
  if (HasJournalColumns(columns)) {
    journalIndexed = IndexExists(db, JournalIndexName(table));
    keepsMarks = Run(db, "CREATE TABLE IF NOT EXISTS " + QuoteIdentifier(JournalMarksName(table)) +
                             " (JournalId INTEGER PRIMARY KEY, LastSeq INTEGER NOT NULL)")
                     .ok();
    if (!journalIndexed && !keepsMarks) {
      // With neither, the journal's columns would not keep records apart; the table
      // is used without them.
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
  // Prepared once and reused for every record of this binding.
  SqliteStatement insert;
  if (auto status = Prepare(db, sql, insert); !status.ok()) return status;
  SqliteStatement lastStored, markStored;
  if (keepsMarks) {
    const std::string marks = QuoteIdentifier(JournalMarksName(table));
    if (auto status = Prepare(db, "SELECT LastSeq FROM " + marks + " WHERE JournalId = ?1", lastStored);
        !status.ok()) {
      return status;
    }
    if (auto status = Prepare(db,
                              "INSERT INTO " + marks +
                                  " (JournalId, LastSeq) VALUES (?1, ?2) ON CONFLICT (JournalId) DO UPDATE SET "
                                  "LastSeq = max(LastSeq, excluded.LastSeq)",
                              markStored);
        !status.ok()) {
      return status;
    }
  }

  connection_ = std::move(connection);
  table_ = table;
  columns_ = std::move(columns);
  insert_ = std::move(insert);
  lastStored_ = std::move(lastStored);
  markStored_ = std::move(markStored);
  return {};
}

void SqliteDTO::Unbind() {
  markStored_.reset();
  lastStored_.reset();
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

StoreStatus SqliteDTO::LastStored(int64_t journal, int64_t& last) {
  sqlite3* db = connection_->handle();
  sqlite3_stmt* statement = lastStored_.get();
  StoreStatus status;
  last = 0;
  int rc = sqlite3_bind_int64(statement, 1, journal);
  if (rc == SQLITE_OK) rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW) {
    last = sqlite3_column_int64(statement, 0);
  } else if (rc != SQLITE_DONE) {
    status = FailureOf(db, rc);
  }
  sqlite3_reset(statement);
  return status;
}

StoreStatus SqliteDTO::MarkStored(int64_t journal, int64_t last) {
  sqlite3* db = connection_->handle();
  sqlite3_stmt* statement = markStored_.get();
  StoreStatus status;
  int rc = sqlite3_bind_int64(statement, 1, journal);
  if (rc == SQLITE_OK) rc = sqlite3_bind_int64(statement, 2, last);
  if (rc == SQLITE_OK) rc = sqlite3_step(statement);
  if (rc != SQLITE_DONE) status = FailureOf(db, rc);
  sqlite3_reset(statement);
  return status;
}

}  // namespace recordkit
