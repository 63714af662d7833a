#pragma once
// An append-only event log in a file: one line per entry holding the local time
// stamp, the event type and the message. The file is only ever added to.

#include <string>

#include "automation/clock.h"
#include "automation/file_appender.h"
#include "automation/status.h"

namespace automation {

class EventLogWriter {
 public:
  // "clock" and "appender" must remain live while this writer is in use.
  EventLogWriter(const Clock& clock, FileAppender& appender) : clock_(clock), appender_(appender) {}

  // Appends one entry to the file at `path`, creating it when missing, in one call of
  // the appender: an entry is in the file whole or not at all. Line breaks inside the
  // type and the message are written as blanks so that an entry stays one line.
  // Answers the appender's status: 0, or the file error's number and description.
  [[nodiscard]] Status Append(const std::string& path, const std::string& type,
                              const std::string& message) const;

 private:
  const Clock& clock_;
  FileAppender& appender_;
};

}  // namespace automation
