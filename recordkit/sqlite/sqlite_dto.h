#pragma once
// Recordkit.SqliteDTO: one log table of a SQLite store, with its insert statement.

#include <memory>
#include <string>
#include <vector>

#include "recordkit/property_packer.h"
#include "recordkit/property_set.h"
#include "recordkit/column_value.h"
#include "recordkit/log_table.h"
#include "recordkit/sqlite/sqlite_errors.h"
#include "recordkit/sqlite/sqlite_handles.h"
#include "recordkit/store.h"

namespace recordkit {

class SqliteDTO final : public DTO {
 public:
  SqliteDTO() = default;
  SqliteDTO(const SqliteDTO&) = delete;
  SqliteDTO& operator=(const SqliteDTO&) = delete;

  // Binds to `table` of `connection`, creating the table when it is missing, and
  // prepares the insert over the table's event columns. Any earlier binding is
  // dropped first; on failure the DTO is left unbound.
  StoreStatus Bind(std::shared_ptr<SqliteConnection> connection, const std::string& table);

  // True when bound through `connection` and that connection is still open.
  bool IsBoundTo(const std::shared_ptr<SqliteConnection>& connection) const;

  const std::string& table() const { return table_; }
  // The table's columns that hold event fields, in the table's order.
  const std::vector<LogColumn>& columns() const { return columns_; }

  // The row that `fields` make, one value per column (a column whose field the set
  // lacks gets NULL). 13 when a value cannot be stored. Must be bound.
  StoreStatus RowOf(const PackedFields& fields, std::vector<SqlValue>& row) const;

  // Runs the insert with `row` (from RowOf) in the transaction open on the
  // connection; committing it, or rolling it back after a failure, is the caller's.
  // Else the SQLite failure's number. Must be bound.
  StoreStatus InsertRow(const std::vector<SqlValue>& row);

  // Whether the table keeps, beside it, the last journal number stored under each
  // journal's identity (see Bind). Must be bound.
  bool keepsJournalMarks() const { return lastStored_ != nullptr; }
  // The last number stored under the identity `journal`, 0 when none, read in the
  // transaction open on the connection. Must keep journal marks.
  StoreStatus LastStored(int64_t journal, int64_t& last);
  // Records `last` as the last number stored under `journal`, in the transaction
  // open on the connection; a mark is never lowered. Must keep journal marks.
  StoreStatus MarkStored(int64_t journal, int64_t last);

 private:
  void Unbind();

  // Set together by Bind; `insert_` is prepared on `connection_` and is finalized
  // before the connection is let go (members are destroyed in reverse order).
  std::shared_ptr<SqliteConnection> connection_;
  std::string table_;
  std::vector<LogColumn> columns_;
  SqliteStatement insert_;
  SqliteStatement lastStored_;  // both null when the table keeps no journal marks
  SqliteStatement markStored_;
};

}  // namespace recordkit
