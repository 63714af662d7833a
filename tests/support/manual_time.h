#pragma once
// Moving time by hand on kj's manual timer, never by sleeping.

#include <kj/async.h>
#include <kj/timer.h>

namespace ledgerwick::testing {

// Runs the loop and steps `timer` through every event due up to `target`, letting the
// loop run what each one set off (advanceTo fires only timers already due, so a
// repeating timer needs one step per tick); the timer ends at `target`.
inline void AdvanceTo(kj::WaitScope& ws, kj::TimerImpl& timer, kj::TimePoint target) {
  for (;;) {
    ws.poll();
    KJ_IF_MAYBE(next, timer.nextEvent()) {
      if (*next <= target) {
        timer.advanceTo(*next);
        continue;
      }
    }
    break;
  }
  timer.advanceTo(target);
  ws.poll();
}

}  // namespace ledgerwick::testing
