#pragma once
// Recordkit.PostgresDTO: one log table of a PostgreSQL store, as its DSO bound it.

#include <cstdint>
#include <string>
#include <vector>

#include "recordkit/log_table.h"
#include "recordkit/store.h"

namespace recordkit {

class PostgresDTO final : public DTO {
 public:
  PostgresDTO() = default;
  PostgresDTO(const PostgresDTO&) = delete;
  PostgresDTO& operator=(const PostgresDTO&) = delete;

  // Bound by `owner` (its DSO) to `table`, whose event columns are `columns`; rows
  // go in through the statement `insertSql`, prepared under `statementName`.
  void Bind(const void* owner, std::string table, std::vector<LogColumn> columns, std::string statementName);
  bool IsBoundBy(const void* owner) const { return owner_ != nullptr && owner_ == owner; }

  const std::string& table() const { return table_; }
  const std::vector<LogColumn>& columns() const { return columns_; }
  const std::string& insertSql() const { return insertSql_; }
  const std::string& statementName() const { return statementName_; }

  // Whether the insert is prepared on the connection of this generation (a new
  // connection has none of the old one's statements).
  bool PreparedOn(uint64_t generation) const { return prepared_ && preparedGeneration_ == generation; }
  void MarkPrepared(uint64_t generation) {
    prepared_ = true;
    preparedGeneration_ = generation;
  }

 private:
  const void* owner_ = nullptr;
  std::string table_;
  std::vector<LogColumn> columns_;
  std::string insertSql_;
  std::string statementName_;
  bool prepared_ = false;
  uint64_t preparedGeneration_ = 0;
};

}  // namespace recordkit
