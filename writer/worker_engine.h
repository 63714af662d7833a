#pragma once
// The drain timer: a 100 ms timer whose ticks hand the queued records, oldest
// first, to the record writer and remove each one a target took.
//
// At most one drain timer is armed at a time. When no target takes the front
// record, the drain ends for now, the record stays at the front, and the timer is
// re-armed with twice the interval (up to 30 s); the first success returns to 100 ms.

#include <cstdint>

#include "startup/process_state.h"

namespace ledgerwick {

constexpr int32_t kDrainIntervalMs = 100;
constexpr int32_t kMaxDrainIntervalMs = 30000;
constexpr const char* kDrainFailureNotice = "Unable to create thread";

// Arms the drain timer unless a drain runs or a timer is armed already.
void StartDrainTimer(ProcessState& state);

// A repeating timer calling DrainTimerProc; answers its id (non-zero).
int32_t CreateTimer(ProcessState& state, int32_t intervalMs);

// Stops the timer; false when the id names none.
bool DestroyTimer(ProcessState& state, int32_t timerId);

// The tick: returns at once while a drain runs; otherwise starts a drain that goes
// on asynchronously while stores answer, writing records appended meanwhile too.
void DrainTimerProc(ProcessState& state);

}  // namespace ledgerwick
