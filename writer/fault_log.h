#pragma once
// The fault log LWERR.LOG in the program folder: the server's own failures.

#include <string>

#include "startup/process_state.h"

namespace ledgerwick {

constexpr const char* kFaultLogName = "LWERR.LOG";

// Appends one entry holding `message` unchanged. Traps nothing: a fault log that
// cannot be written raises its AutomationError to the caller.
void LogFault(ProcessState& state, const std::string& message);

// The same for faults met while delivering a record, where the record's fate must
// not hang on the fault log: when the fault log cannot be written, the message and
// the reason go to standard error instead.
void ReportFault(ProcessState& state, const std::string& message) noexcept;

}  // namespace ledgerwick
