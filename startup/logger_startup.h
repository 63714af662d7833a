#pragma once
// Start-up once per process and the count of live Application objects.

#include "startup/process_state.h"

namespace ledgerwick {

// Runs at every Application's construction: counts it and, for the first one of
// the process, reads the settings, opens the stores, tells the operator which
// failed and sets ReadyFlag. Handles and logs its own faults; never raises.
void InitializeLogger(ProcessState& state);

// Runs at every Application's destruction: counts it down. Nothing else.
void ReleaseInstance(ProcessState& state);

}  // namespace ledgerwick
