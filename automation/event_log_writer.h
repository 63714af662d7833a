#pragma once
// An append-only event log in a file: one line per entry holding the local time
// stamp, the event type and the message. The file is only ever added to.

#include <string>

#include "automation/clock.h"

namespace automation {

class EventLogWriter {
 public:
  explicit EventLogWriter(const Clock& clock) : clock_(clock) {}

  // Appends one entry to the file at `path`, creating it when missing. Line breaks
  // inside the message are written as blanks so that an entry stays one line.
  // Raises AutomationError with the file error's number when it cannot write.
  void Append(const std::string& path, const std::string& type, const std::string& message) const;

 private:
  const Clock& clock_;
};

}  // namespace automation
