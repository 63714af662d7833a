#pragma once
// The fault log LWERR.LOG in the program folder: the server's own failures.

#include <string>

#include "startup/process_state.h"

namespace ledgerwick {

constexpr const char* kFaultLogName = "LWERR.LOG";

// Appends one entry holding `message` unchanged. Traps nothing: a fault log that
// cannot be written raises its AutomationError to the caller.
void LogFault(ProcessState& state, const std::string& message);

}  // namespace ledgerwick
