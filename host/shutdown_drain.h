#pragma once
// The last drain of a clean stop: what is queued gets its chance to be written
// before the daemon exits, within a bounded time.

#include <cstddef>

#include <kj/async.h>
#include <kj/timer.h>

#include "startup/process_state.h"

namespace ledgerwick::host {

// Records waiting in the ErrorBuffer (none when start-up never created it).
size_t QueuedRecords(const ProcessState& state);

// Starts a drain at once, then checks every 100 ms until the queue is empty and no
// drain runs, starting another drain as the drain timer's back-off allows; gives up
// once `limit` has passed. When records remain, writes one fault entry that counts
// them. Resolves to the number of records left.
kj::Promise<size_t> DrainAtShutdown(ProcessState& state, kj::Timer& timer, kj::Duration limit);

}  // namespace ledgerwick::host
