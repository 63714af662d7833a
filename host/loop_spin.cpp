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
  for (;;) {
    // Runs what is ready, looking at the sockets and timers each time round, for as
    // long as a spell lasts.
    kj::Promise<void> branch = forked.addBranch();
    bool finished = branch.poll(waitScope);
    while (!finished && Spinning(clock_.now())) {
      sched_yield();
      finished = branch.poll(waitScope);
    }
    if (finished) return branch.wait(waitScope);

    // Asleep, as in any wait, until `done` resolves or an arrival starts a spell.
    auto woken = kj::newPromiseAndFulfiller<void>();
    sleeper_ = kj::mv(woken.fulfiller);
    KJ_DEFER(sleeper_ = nullptr);
    finished = branch.then([]() { return true; }).exclusiveJoin(woken.promise.then([]() { return false; })).wait(waitScope);
    if (finished) return;
  }
}

}  // namespace ledgerwick::host
