#pragma once
// The layout of a log table: an integer key, then one column per event field.

#include <optional>
#include <string>
#include <vector>

namespace recordkit {

// How a column stores a field's value.
enum class ColumnKind {
  Date,       // the logging date: ISO date text YYYY-MM-DD
  Time,       // the logging time: ISO time text HH:MM:SS
  EventDate,  // the client's date: its ISO date, and its time too when it has one
  EventTime,  // the client's time: its ISO time, after its date when it has one
  Plain,      // the value's own type
  Sender,     // who sent the event, as the server saw it: `field` names the part
  Journal,    // where the server's journal held the record: `field` names the part
};

struct LogColumn {
  std::string name;   // the column's name in the table
  std::string field;  // the event field it holds; for a Sender column, the part
  ColumnKind kind;
};

// The parts of the sender a Sender column holds.
constexpr const char* kSenderUid = "uid";
constexpr const char* kSenderGid = "gid";
constexpr const char* kSenderPid = "pid";
constexpr const char* kSenderSubject = "subject";

// The parts of the journal stamp a Journal column holds.
constexpr const char* kJournalIdentity = "journal";
constexpr const char* kJournalSequence = "sequence";

// The columns of a new log table: one per field of a new event set, in the set's
// order ("LogDate" is held in the column `logdate`, the name the purge uses), then
// the sender's: SenderUid, SenderGid, SenderPid, SenderName, then the journal's:
// JournalId, JournalSeq. No client field can set these last ones.
std::vector<LogColumn> EventColumns();

// The sender's columns alone.
std::vector<LogColumn> SenderColumns();

// The journal's columns alone (the last of EventColumns). A table that has both
// holds one row at most for each pair of their values.
std::vector<LogColumn> JournalColumns();

// The columns a table made before rows carried them is given.
std::vector<LogColumn> AddedColumns();

// The name of the unique index over a table's journal columns.
std::string JournalIndexName(const std::string& table);

// Whether `columns` hold both journal columns.
bool HasJournalColumns(const std::vector<LogColumn>& columns);

// The column so named (SQLite column names are case-blind), or nullopt.
std::optional<LogColumn> EventColumnNamed(const std::string& columnName);

// Table names are limited to ASCII letters, digits and underscores, so a name is
// always safe inside a quoted identifier.
bool IsSafeTableName(const std::string& table);

// Quotes a name as a SQL identifier.
std::string QuoteIdentifier(const std::string& name);

// SQLite's CREATE TABLE IF NOT EXISTS for `table` with the key and the event
// columns. Date and time columns are declared TEXT; the others carry no declared
// type, so each value keeps its own storage class.
std::string CreateTableStatement(const std::string& table);

}  // namespace recordkit
