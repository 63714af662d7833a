#include "automation/event_log_writer.h"

#include <cstdio>

#include "automation/date_scale.h"

namespace automation {

namespace {

// An entry is one line: CR and LF inside a field become blanks.
void AppendOneLine(std::string& line, const std::string& text) {
  for (char c : text) line += (c == '\r' || c == '\n') ? ' ' : c;
}

std::string TimeStamp(double now) {
  CivilDate date = DatePart(now);
  TimeOfDay time = TimePart(now);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", date.year, date.month,
                date.day, time.hour, time.minute, time.second);
  return stamp;
}

}  // namespace

Status EventLogWriter::Append(const std::string& path, const std::string& type,
                              const std::string& message) const {
  std::string line = TimeStamp(clock_.Now());
  line += '\t';
  AppendOneLine(line, type);
  line += '\t';
  AppendOneLine(line, message);
  line += '\n';

  return appender_.Append(path, line);
}

}  // namespace automation
