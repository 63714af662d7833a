#include "writer/worker_engine.h"

#include <algorithm>

#include "automation/automation_error.h"
#include "writer/fault_log.h"
#include "writer/record_writer.h"

namespace ledgerwick {

namespace {

using automation::AutomationError;
using automation::Variant;

void DisarmTimer(ProcessState& state) {
  if (state.TimerArmed) DestroyTimer(state, state.TimerId);
  state.TimerArmed = false;
}

void ArmTimer(ProcessState& state, int32_t intervalMs) {
  DisarmTimer(state);
  state.TimerId = CreateTimer(state, intervalMs);
  state.TimerArmed = true;
}

// No target took the front record: it stays at the front, and the next try waits
// twice as long as the last, up to the limit.
void EndDrainForNow(ProcessState& state) {
  state.DrainBusy = false;
  if (!state.OutageNoticeShown) {
    state.env.notices.Show(kDrainFailureNotice);
    state.OutageNoticeShown = true;
  }
  state.DrainIntervalMs = std::min(state.DrainIntervalMs * 2, kMaxDrainIntervalMs);
  ArmTimer(state, state.DrainIntervalMs);
}

// Whatever fails inside a drain ends it for now like a record no target took: the
// drain is never left busy, and a timer is armed to try again.
void EndFailedDrain(ProcessState& state, const kj::Exception& e) {
  ReportFault(state, AutomationError::FromKjException(e).description());
  EndDrainForNow(state);
}

void EndOutage(ProcessState& state) {
  state.OutageNoticeShown = false;
  if (state.DrainIntervalMs != kDrainIntervalMs) {
    state.DrainIntervalMs = kDrainIntervalMs;
    ArmTimer(state, kDrainIntervalMs);
  }
}

// Writes the front record and goes on until the queue is empty. The queue is read
// afresh before every record, so records appended while a store answers are
// written by this same drain.
kj::Promise<void> DrainLoop(ProcessState& state) {
  if (!state.ErrorBuffer || state.ErrorBuffer->empty()) {
    state.DrainBusy = false;
    DisarmTimer(state);
    return kj::READY_NOW;
  }
  // The writer works on a copy; the record leaves the queue only once a target took it.
  auto record = kj::heap<Variant>(state.ErrorBuffer->front());
  Variant& recordRef = *record;
  return WriteRecord(state, state.CurrentLogMethod, recordRef)
      .attach(kj::mv(record))
      .then(
          [&state](int32_t result) -> kj::Promise<void> {
            if (result != 0) {
              EndDrainForNow(state);
              return kj::READY_NOW;
            }
            state.ErrorBuffer->pop_front();
            EndOutage(state);
            return DrainLoop(state);
          },
          [&state](kj::Exception&& e) -> kj::Promise<void> {
            EndFailedDrain(state, e);
            return kj::READY_NOW;
          });
}

}  // namespace

void StartDrainTimer(ProcessState& state) {
  if (state.DrainBusy || state.TimerArmed) return;
  ArmTimer(state, state.DrainIntervalMs);
}

int32_t CreateTimer(ProcessState& state, int32_t intervalMs) {
  return state.env.timers.Create(intervalMs, [&state]() { DrainTimerProc(state); });
}

bool DestroyTimer(ProcessState& state, int32_t timerId) {
  return state.env.timers.Destroy(timerId);
}

void DrainTimerProc(ProcessState& state) {
  if (state.DrainBusy) return;
  state.DrainBusy = true;
  // evalNow: a failure before the drain's first wait ends it the same way.
  state.DrainInFlight = kj::evalNow([&state]() { return DrainLoop(state); })
                            .eagerlyEvaluate([&state](kj::Exception&& e) { EndFailedDrain(state, e); });
}

}  // namespace ledgerwick
