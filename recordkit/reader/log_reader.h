#pragma once
// Reading logged events back from one store.

#include <string>
#include <vector>

#include "automation/status.h"
#include "recordkit/reader/event_filter.h"
#include "recordkit/reader/logged_event.h"

namespace recordkit {

struct ReadAnswer {
  // 0, or why the store could not be read (its description names the store).
  automation::Status status;
  std::vector<LoggedEvent> events;  // as EventFilter orders them
  // What was passed over while reading (a damaged line of the text log), one each.
  std::vector<std::string> notes;
};

class LogReader {
 public:
  virtual ~LogReader() = default;
  // The events that match `filter`. Never raises for what the store holds.
  virtual ReadAnswer Read(const EventFilter& filter) = 0;
};

}  // namespace recordkit
