#pragma once
// Reads a SQLite log table, opened read-only: the reader never changes the file,
// even while a daemon writes to it. Filters are bound parameters of one fixed
// statement.

#include <string>

#include "recordkit/reader/log_reader.h"

namespace recordkit {

class SqliteLogReader final : public LogReader {
 public:
  // `label` names the store in messages ("local store"); `table` is the log table.
  SqliteLogReader(std::string label, std::string path, std::string table = "tblLog")
      : label_(std::move(label)), path_(std::move(path)), table_(std::move(table)) {}

  ReadAnswer Read(const EventFilter& filter) override;

 private:
  const std::string label_;
  const std::string path_;
  const std::string table_;
};

}  // namespace recordkit
