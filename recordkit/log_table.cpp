#include "recordkit/log_table.h"

#include "recordkit/property_set.h"

namespace recordkit {

namespace {
ColumnKind KindOfField(const std::string& field) {
  if (NamesEqual(field, "LogDate")) return ColumnKind::Date;
  if (NamesEqual(field, "LogTime")) return ColumnKind::Time;
  if (NamesEqual(field, "EventDate")) return ColumnKind::EventDate;
  if (NamesEqual(field, "EventTime")) return ColumnKind::EventTime;
  return ColumnKind::Plain;
}
}  // namespace

std::vector<LogColumn> SenderColumns() {
  return {{"SenderUid", kSenderUid, ColumnKind::Sender},
          {"SenderGid", kSenderGid, ColumnKind::Sender},
          {"SenderPid", kSenderPid, ColumnKind::Sender},
          {"SenderName", kSenderSubject, ColumnKind::Sender}};
}

std::vector<LogColumn> JournalColumns() {
  return {{"JournalId", kJournalIdentity, ColumnKind::Journal}, {"JournalSeq", kJournalSequence, ColumnKind::Journal}};
}

std::vector<LogColumn> AddedColumns() {
  std::vector<LogColumn> columns = SenderColumns();
  for (auto& column : JournalColumns()) columns.push_back(std::move(column));
  return columns;
}

std::string JournalIndexName(const std::string& table) { return table + "_journal"; }

bool HasJournalColumns(const std::vector<LogColumn>& columns) {
  size_t found = 0;
  for (const auto& column : columns) {
    if (column.kind == ColumnKind::Journal) ++found;
  }
  return found == 2;
}

std::vector<LogColumn> EventColumns() {
  std::vector<LogColumn> columns;
  const auto fields = PropertySet::NewEventSet();
  for (const auto& property : fields->Properties()) {
    const std::string& field = property->Name();
    columns.push_back({NamesEqual(field, "LogDate") ? std::string("logdate") : field, field,
                       KindOfField(field)});
  }
  for (auto& column : AddedColumns()) columns.push_back(std::move(column));
  return columns;
}

std::optional<LogColumn> EventColumnNamed(const std::string& columnName) {
  for (auto& column : EventColumns()) {
    if (NamesEqual(column.name, columnName)) return column;
  }
  return std::nullopt;
}

bool IsSafeTableName(const std::string& table) {
  if (table.empty()) return false;
  for (unsigned char c : table) {
    const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                      (c >= '0' && c <= '9') || c == '_';
    if (!safe) return false;
  }
  return true;
}

std::string QuoteIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string CreateTableStatement(const std::string& table) {
  std::string sql = "CREATE TABLE IF NOT EXISTS " + QuoteIdentifier(table) + " (id INTEGER PRIMARY KEY";
  for (const auto& column : EventColumns()) {
    sql += ", " + QuoteIdentifier(column.name);
    if (column.kind == ColumnKind::Journal) sql += " INTEGER";
    if (column.kind != ColumnKind::Plain && column.kind != ColumnKind::Sender && column.kind != ColumnKind::Journal) {
      sql += " TEXT";
    }
  }
  return sql + ")";
}

}  // namespace recordkit
