#pragma once
// Reads the text log: one event a line, 19 tab-separated columns in the order the
// server writes them, ended by CR LF (a LF alone is taken too).

#include <string>

#include "recordkit/reader/log_reader.h"

namespace recordkit {

class TextLogReader final : public LogReader {
 public:
  explicit TextLogReader(std::string path) : path_(std::move(path)) {}

  // Empty lines (records the server could not render) are passed over silently; a
  // line with another number of columns is passed over with a note naming it.
  ReadAnswer Read(const EventFilter& filter) override;

  // The event of one line, without its line end; nullopt unless it has 19 columns.
  static std::optional<LoggedEvent> ParseLine(const std::string& line);

 private:
  const std::string path_;
};

}  // namespace recordkit
