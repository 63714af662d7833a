#pragma once
// Reads the PostgreSQL log table through libpq, in a read-only session. Filters are
// parameters of one fixed statement.

#include <string>

#include "recordkit/reader/log_reader.h"

namespace recordkit {

class PgLogReader final : public LogReader {
 public:
  // `label` names the store in messages; `conninfo` is a libpq connection string or
  // URI (or a database name); `table` is the log table as the store names it.
  PgLogReader(std::string label, std::string conninfo, std::string table = "tblLog")
      : label_(std::move(label)), conninfo_(std::move(conninfo)), table_(std::move(table)) {}

  ReadAnswer Read(const EventFilter& filter) override;

 private:
  const std::string label_;
  const std::string conninfo_;
  const std::string table_;
};

}  // namespace recordkit
