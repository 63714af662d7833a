#pragma once
// The state of one server process: what main() (or a test) wires in, and the
// process-wide variables that start-up sets and the members, the drain and the
// writer read. Every Application reaches it by reference; nothing here is global.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include <kj/async.h>

#include "automation/class_registry.h"
#include "automation/clock.h"
#include "automation/event_log_writer.h"
#include "automation/notices.h"
#include "automation/timer_service.h"
#include "automation/variant.h"
#include "recordkit/property_packer.h"
#include "recordkit/store.h"

namespace ledgerwick {

// The LogMethods enumeration.
enum LogMethods : int32_t { tofile = 0, toDatabase = 1, ToEmail = 2 };

// Outside dependencies, fixed when the process state is made.
struct Environment {
  const automation::Clock& clock;
  automation::TimerService& timers;
  const automation::ClassRegistry& classes;
  automation::NoticeSink& notices;
  const automation::EventLogWriter& eventLog;
  std::string settingsDir;  // the folder that holds Ledgwk.ini
  std::string homeDir;      // the program folder: LWERR.LOG and the default text log
};

// The queue of PackedRecord values waiting to be written, oldest first.
using RecordQueue = std::deque<automation::Variant>;

// What the writer has done since the process started; read by the status command.
struct WriterCounters {
  uint64_t toNetworkStore = 0;
  uint64_t toLocalStore = 0;
  uint64_t toTextLog = 0;
  uint64_t faults = 0;  // entries written to the fault log
};

class ProcessState {
 public:
  explicit ProcessState(Environment environment) : env(std::move(environment)) {}
  ProcessState(const ProcessState&) = delete;
  ProcessState& operator=(const ProcessState&) = delete;

  // Constant after construction.
  const Environment env;

  // Set by start-up; LogMethod changes CurrentLogMethod later.
  int32_t CurrentLogMethod = tofile;
  bool ReadyFlag = false;
  bool InitStarted = false;
  int16_t InstanceCount = 0;
  std::string TextLogPath;
  std::optional<RecordQueue> ErrorBuffer;  // created by start-up

  // Set by the store openers, never cleared.
  std::shared_ptr<recordkit::DSO> NetDSO;
  std::shared_ptr<recordkit::DTO> NetDTO;
  std::shared_ptr<recordkit::DSO> LocalDSO;
  std::shared_ptr<recordkit::DTO> LocalDTO;

  // Changed only by the drain timer's procedures.
  int32_t TimerId = 0;
  bool DrainBusy = false;
  bool TimerArmed = false;           // at most one drain timer is armed at a time
  int32_t DrainIntervalMs = 100;     // grows while no target takes a record, up to 30 s
  bool OutageNoticeShown = false;    // "Unable to create thread" once per outage
  std::optional<kj::Promise<void>> DrainInFlight;

  WriterCounters counters;

  // The packer is made on first use and kept for the life of the process.
  recordkit::PropertyPacker& Packer() {
    if (!packer_) packer_.emplace();
    return *packer_;
  }

 private:
  std::optional<recordkit::PropertyPacker> packer_;
};

}  // namespace ledgerwick
