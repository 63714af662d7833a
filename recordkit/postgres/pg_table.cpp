#include "recordkit/postgres/pg_table.h"

#include <charconv>
#include <variant>

#include "automation/automation_error.h"
#include "recordkit/column_value.h"

namespace recordkit {

namespace {

const char* PgTypeOf(const LogColumn& column) {
  switch (column.kind) {
    case ColumnKind::Date: return "date";
    case ColumnKind::Time: return "time";
    case ColumnKind::Sender:
      if (column.field == kSenderSubject) return "text";
      return column.field == kSenderPid ? "integer" : "bigint";
    case ColumnKind::Journal: return "bigint";
    default: return "text";
  }
}

// The text form of a stored value: integers in decimal, reals in the shortest form
// that reads back as the same number.
std::optional<std::string> TextOf(SqlValue value) {
  if (std::holds_alternative<std::monostate>(value)) return std::nullopt;
  if (auto* number = std::get_if<int64_t>(&value)) return std::to_string(*number);
  if (auto* real = std::get_if<double>(&value)) {
    char buffer[32];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, *real).ptr;
    return std::string(buffer, end);
  }
  return std::move(std::get<std::string>(value));
}

}  // namespace

std::string PgTableName(const std::string& table) {
  std::string name = table;
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

std::string PgCreateTableStatement(const std::string& table) {
  std::string sql = "CREATE TABLE IF NOT EXISTS " + QuoteIdentifier(table) +
                    " (id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY";
  for (const auto& column : EventColumns()) sql += ", " + QuoteIdentifier(column.name) + " " + PgTypeOf(column);
  return sql + ")";
}

std::string PgAddColumnStatement(const std::string& table, const LogColumn& column) {
  return "ALTER TABLE " + QuoteIdentifier(table) + " ADD COLUMN IF NOT EXISTS " + QuoteIdentifier(column.name) + " " +
         PgTypeOf(column);
}

std::string PgJournalIndexStatement(const std::string& table) {
  return "CREATE UNIQUE INDEX IF NOT EXISTS " + QuoteIdentifier(JournalIndexName(table)) + " ON " +
         QuoteIdentifier(table) + " (\"JournalId\", \"JournalSeq\")";
}

std::string PgColumnsQuery() {
  return "SELECT column_name FROM information_schema.columns "
         "WHERE table_schema = current_schema() AND table_name = $1 ORDER BY ordinal_position";
}

std::string PgInsertStatement(const std::string& table, const std::vector<LogColumn>& columns) {
  std::string names, params;
  for (size_t i = 0; i < columns.size(); ++i) {
    names += (i ? ", " : "") + QuoteIdentifier(columns[i].name);
    params += (i ? ", $" : "$") + std::to_string(i + 1);
  }
  std::string sql = "INSERT INTO " + QuoteIdentifier(table) + " (" + names + ") VALUES (" + params + ")";
  // Only the journal's index may make a row be skipped: a conflict with another of
  // the table's own constraints stays an error, so that the record is not lost.
  if (HasJournalColumns(columns)) sql += " ON CONFLICT (\"JournalId\", \"JournalSeq\") DO NOTHING";
  return sql;
}

automation::Status PgRowParams(const std::vector<LogColumn>& columns, const PackedFields& fields,
                               std::vector<std::optional<std::string>>& params) {
  params.resize(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) {
    const LogColumn& column = columns[i];
    try {
      params[i] = TextOf(ColumnValue(column, fields, i));
    } catch (const automation::AutomationError& e) {
      return {e.number(), "field " + column.field + ": " + e.description()};
    }
    if (params[i] && params[i]->find('\0') != std::string::npos) {
      return {automation::err::kTypeMismatch,
              "field " + column.field + ": a text with a NUL character cannot be stored in PostgreSQL"};
    }
  }
  return {};
}

}  // namespace recordkit
