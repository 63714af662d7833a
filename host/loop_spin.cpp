#include "host/loop_spin.h"

#include <sched.h>

namespace ledgerwick::host {

void LoopSpin::Arrived() {
  const kj::TimePoint now = clock_.now();
  const bool close = now - lastArrival_ < window_;
  lastArrival_ = now;
  if (!close) return;
  spinUntil_ = now + window_;
  KJ_IF_MAYBE (sleeper, sleeper_) {
    (*sleeper)->fulfill();
    sleeper_ = nullptr;
  }
}

void LoopSpin::Run(kj::Promise<void> done, kj::WaitScope& waitScope) {
  kj::ForkedPromise<void> forked = done.fork();
  auto finished = [&forked]() { return forked.addBranch().then([]() { return true; }); };
  for (;;) {
    // While a spell lasts: runs the loop as a wait does, looking at the sockets and
    // timers every few events however long a chain of events is, until it has
    // looked at them once more; then offers the core.
    while (Spinning(clock_.now())) {
      if (finished().exclusiveJoin(timer_.afterDelay(0 * kj::NANOSECONDS).then([]() { return false; })).wait(waitScope)) {
        return;
      }
      sched_yield();
    }

    // Asleep, as in any wait, until `done` resolves or an arrival starts a spell.
    auto woken = kj::newPromiseAndFulfiller<void>();
    sleeper_ = kj::mv(woken.fulfiller);
    KJ_DEFER(sleeper_ = nullptr);
    if (finished().exclusiveJoin(woken.promise.then([]() { return false; })).wait(waitScope)) return;
  }
}

}  // namespace ledgerwick::host
