#include "host/shutdown_drain.h"

#include <algorithm>
#include <string>

#include "writer/fault_log.h"
#include "writer/worker_engine.h"

namespace ledgerwick::host {

namespace {

constexpr kj::Duration kStep = kDrainIntervalMs * kj::MILLISECONDS;

kj::Promise<void> DrainUntil(ProcessState& state, kj::Timer& timer, kj::TimePoint deadline) {
  if (QueuedRecords(state) == 0 && !state.DrainBusy) return kj::READY_NOW;
  kj::TimePoint now = timer.now();
  if (now >= deadline) return kj::READY_NOW;
  // Returns at once while a drain runs; else starts one, whatever the back-off says.
  DrainTimerProc(state);
  return timer.afterDelay(std::min(kStep, deadline - now)).then([&state, &timer, deadline]() {
    return DrainUntil(state, timer, deadline);
  });
}

}  // namespace

size_t QueuedRecords(const ProcessState& state) { return state.ErrorBuffer ? state.ErrorBuffer->size() : 0; }

kj::Promise<size_t> DrainAtShutdown(ProcessState& state, kj::Timer& timer, kj::Duration limit) {
  return DrainUntil(state, timer, timer.now() + limit).then([&state]() {
    size_t left = QueuedRecords(state);
    if (left > 0) {
      ReportFault(state, std::to_string(left) + (left == 1 ? " queued record" : " queued records") +
                             " could not be written at shutdown");
    }
    return left;
  });
}

}  // namespace ledgerwick::host
