#include "writer/fault_log.h"

#include <cstdio>

#include "automation/automation_error.h"

namespace ledgerwick {

void LogFault(ProcessState& state, const std::string& message) {
  // The folder is taken afresh on every call; nothing of the log is kept between entries.
  const std::string path = state.env.homeDir + "/" + kFaultLogName;
  state.env.eventLog.Append(path, "Information", message);
  ++state.counters.faults;
}

void ReportFault(ProcessState& state, const std::string& message) noexcept {
  try {
    LogFault(state, message);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ledgerwickd: fault log not written (%s): %s\n", e.what(), message.c_str());
  }
}

}  // namespace ledgerwick
