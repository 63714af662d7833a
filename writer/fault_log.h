#pragma once
// The fault log LWERR.LOG in the daemon's home folder: the server's own failures,
// one entry per fault, only ever added to.

#include <cstdint>
#include <map>
#include <string>

#include "automation/event_log_writer.h"
#include "automation/status.h"

namespace ledgerwick {

constexpr const char* kFaultLogName = "LWERR.LOG";

class FaultLog {
 public:
  // `path` is LWERR.LOG in the home folder; `eventLog` must outlive the fault log.
  FaultLog(const automation::EventLogWriter& eventLog, std::string path)
      : eventLog_(eventLog), path_(std::move(path)) {}
  FaultLog(const FaultLog&) = delete;
  FaultLog& operator=(const FaultLog&) = delete;

  // Appends one entry holding `message` unchanged; answers whether it was written.
  automation::Status LogFault(const std::string& message);

  // The same for faults met while starting up or delivering records, whose course
  // must not hang on the fault log: an entry that cannot be written goes to standard
  // error, with the reason, instead.
  void Report(const std::string& message) noexcept;

  const std::string& path() const { return path_; }
  // Entries written since the process started.
  uint64_t entries() const { return entries_; }

 private:
  const automation::EventLogWriter& eventLog_;
  const std::string path_;
  uint64_t entries_ = 0;
};

// One outage's faults of one source (a log target, the drain): a message met again
// while the outage lasts is entered once, and how often it came again is entered
// when the outage ends, instead of one entry per retry.
class RepeatedFaults {
 public:
  explicit RepeatedFaults(FaultLog& log) : log_(log) {}
  // An outage that lasts to the end of the process still gets its counts entered;
  // `log` must outlive this.
  ~RepeatedFaults() { End(); }
  RepeatedFaults(const RepeatedFaults&) = delete;
  RepeatedFaults& operator=(const RepeatedFaults&) = delete;

  // The first time in this outage: one entry. After that: counted.
  void Report(const std::string& message) noexcept;

  // The source works again: each message that came again gets one entry,
  // "<message> (repeated N times)"; the next fault begins a new outage.
  void End() noexcept;

 private:
  // A source that keeps failing with ever new texts does not grow this without end;
  // past the bound, new texts are entered each time.
  static constexpr size_t kMaxDistinct = 64;

  FaultLog& log_;
  std::map<std::string, uint64_t> repeats_;  // message -> times met again
};

}  // namespace ledgerwick
