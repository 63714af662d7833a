#pragma once
// Start-up once per process and the count of live Application objects.

#include <kj/async.h>

#include "startup/process_state.h"

namespace ledgerwick {

// Runs at every Application's construction: counts it and, for the first one of
// the process, reads the settings, opens the stores, tells the operator which
// failed and sets ReadyFlag. Resolves once start-up has run; the loop serves other
// calls and ticks while the stores answer, and a creation meanwhile waits for the
// same start-up. Handles and logs its own faults; never raises or rejects.
kj::Promise<void> InitializeLogger(ProcessState& state);

// Runs at every Application's destruction: counts it down. Nothing else.
void ReleaseInstance(ProcessState& state);

}  // namespace ledgerwick
