#include "host/shutdown_drain.h"

#include <algorithm>
#include <memory>
#include <string>

#include "writer/fault_log.h"
#include "writer/worker_engine.h"

namespace ledgerwick::host {

namespace {

constexpr kj::Duration kStep = kDrainIntervalMs * kj::MILLISECONDS;

struct LastDrain {
  ProcessState& state;
  kj::Timer& timer;
  kj::TimePoint deadline;
  kj::Maybe<kj::TimePoint> lastTry;
};

kj::Promise<void> DrainUntil(std::shared_ptr<LastDrain> drain) {
  ProcessState& state = drain->state;
  if (QueuedRecords(state) == 0 && !state.DrainBusy) return kj::READY_NOW;
  kj::TimePoint now = drain->timer.now();
  if (now >= drain->deadline) return kj::READY_NOW;
  // The first try comes at once, whatever the drain timer's back-off says; later ones
  // keep to the back-off, so a target that stays down is not tried (and reported in
  // the fault log) ten times a second. DrainTimerProc returns at once while a drain runs.
  bool due = true;
  KJ_IF_MAYBE(last, drain->lastTry) { due = now - *last >= state.DrainIntervalMs * kj::MILLISECONDS; }
  if (due && !state.DrainBusy) {
    drain->lastTry = now;
    DrainTimerProc(state);
  }
  return drain->timer.afterDelay(std::min(kStep, drain->deadline - now)).then([drain]() {
    return DrainUntil(drain);
  });
}

}  // namespace

size_t QueuedRecords(const ProcessState& state) { return state.ErrorBuffer ? state.ErrorBuffer->size() : 0; }

kj::Promise<size_t> DrainAtShutdown(ProcessState& state, kj::Timer& timer, kj::Duration limit) {
  auto drain = std::make_shared<LastDrain>(LastDrain{state, timer, timer.now() + limit, nullptr});
  return DrainUntil(drain).then([&state]() {
    size_t left = QueuedRecords(state);
    if (left > 0) {
      ReportFault(state, std::to_string(left) + (left == 1 ? " queued record" : " queued records") +
                             " could not be written at shutdown");
    }
    return left;
  });
}

}  // namespace ledgerwick::host
