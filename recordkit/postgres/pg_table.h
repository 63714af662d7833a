#pragma once
// The log table in PostgreSQL: the same columns, under the same names, as in the
// SQLite store, typed so that every value a client gives is kept.

#include <optional>
#include <string>
#include <vector>

#include "automation/status.h"
#include "recordkit/log_table.h"
#include "recordkit/property_packer.h"

namespace recordkit {

// The name of `table` in PostgreSQL: folded to lower case, as PostgreSQL folds a
// name that is not quoted, so that statements may name the table either way (the
// purge says tblLog).
std::string PgTableName(const std::string& table);

// CREATE TABLE IF NOT EXISTS for `table` (a PgTableName): an identity key `id`,
// `logdate` as date and `LogTime` as time (the stamps), every other event column as
// text, which keeps a client's value whole whatever its type (see ToSqlValue), and
// the sender's uid and gid as bigint, pid as integer, name as text.
std::string PgCreateTableStatement(const std::string& table);

// ALTER TABLE `table` ADD COLUMN IF NOT EXISTS for one of the table's columns.
std::string PgAddColumnStatement(const std::string& table, const LogColumn& column);

// The unique index over the journal columns, which lets the insert skip a record
// the table holds already.
std::string PgJournalIndexStatement(const std::string& table);

// Lists the column names of `table` ($1) in the current schema, in the table's order.
std::string PgColumnsQuery();

// INSERT INTO `table` (columns) VALUES ($1, ...).
std::string PgInsertStatement(const std::string& table, const std::vector<LogColumn>& columns);

// The parameters of one row, one per column in text form (nullopt for NULL): 13 when
// a value cannot be stored (as ToSqlValue; a text holding a NUL character too,
// which PostgreSQL text cannot hold). On failure `params` holds nothing useful.
automation::Status PgRowParams(const std::vector<LogColumn>& columns, const PackedFields& fields,
                               std::vector<std::optional<std::string>>& params);

}  // namespace recordkit
