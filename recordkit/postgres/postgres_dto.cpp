#include "recordkit/postgres/postgres_dto.h"

#include "recordkit/postgres/pg_table.h"

namespace recordkit {

void PostgresDTO::Bind(const void* owner, std::string table, std::vector<LogColumn> columns,
                       std::string statementName) {
  owner_ = owner;
  insertSql_ = PgInsertStatement(table, columns);
  table_ = std::move(table);
  columns_ = std::move(columns);
  statementName_ = std::move(statementName);
  prepared_ = false;
}

}  // namespace recordkit
