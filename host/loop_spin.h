#pragma once
// Keeps the loop awake between the calls of a busy client.
//
// A client that calls one at a time sends its next call a few tens of microseconds
// after its answer. A loop that sleeps in epoll meanwhile pays a wake-up for every
// call, and an idle core takes longer than that to wake (on a virtual machine, where
// an idle core is handed back to the host, several times longer). So when a call
// arrives less than `window` after the call before it (on any connection), the loop
// keeps looking at its sockets and timers, as a wait does, until `window` has passed
// since the last arrival, offering the core to any other thread that wants it at
// each look. An occasional call starts no spell: it costs no more than it did.

#include <kj/async.h>
#include <kj/time.h>
#include <kj/timer.h>

namespace ledgerwick::host {

class LoopSpin {
 public:
  // `timer` is the loop's: a spell looks at the sockets and timers through it.
  LoopSpin(const kj::MonotonicClock& clock, kj::Timer& timer, kj::Duration window)
      : clock_(clock), timer_(timer), window_(window) {}
  LoopSpin(const LoopSpin&) = delete;
  LoopSpin& operator=(const LoopSpin&) = delete;

  // A client's call arrived (called on the loop's thread): the first bytes from a
  // connection since it was last answered.
  void Arrived();

  // Whether the loop keeps looking instead of sleeping at `now`.
  bool Spinning(kj::TimePoint now) const { return now < spinUntil_; }

  // Runs the loop until `done` resolves, as done.wait(waitScope) would, spinning
  // while a spell lasts. What `done` raises comes out of here.
  void Run(kj::Promise<void> done, kj::WaitScope& waitScope);

 private:
  const kj::MonotonicClock& clock_;
  kj::Timer& timer_;
  const kj::Duration window_;
  kj::TimePoint lastArrival_ = kj::origin<kj::TimePoint>();
  kj::TimePoint spinUntil_ = kj::origin<kj::TimePoint>();
  // While Run sleeps: wakes it when an arrival starts a spell.
  kj::Maybe<kj::Own<kj::PromiseFulfiller<void>>> sleeper_;
};

}  // namespace ledgerwick::host
