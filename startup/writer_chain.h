#pragma once
// Wires the record writer's chain from what start-up left in the process state.

#include "startup/process_state.h"

namespace ledgerwick {

// The network store, the local store (each absent when one of its objects is
// missing) and the text log at TextLogPath.
void BuildWriterChain(ProcessState& state);

}  // namespace ledgerwick
