#include "host/loop_spin.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <kj/async-io.h>
#include <kj/debug.h>
#include <kj/thread.h>

#include "host/buffered_stream.h"

namespace ledgerwick::host {
namespace {

constexpr kj::Duration kWindow = 200 * kj::MICROSECONDS;

// A clock the test sets; with `step`, every reading also moves it on by that much, so
// that a spell ends after a known number of looks without the test sleeping.
class TestClock final : public kj::MonotonicClock {
 public:
  kj::TimePoint now() const override {
    const kj::TimePoint at = now_;
    now_ = now_ + step_;
    ++readings_;
    return at;
  }
  void Set(kj::Duration sinceStart) { now_ = kStart + sinceStart; }
  void SetStep(kj::Duration step) { step_ = step; }
  int readings() const { return readings_.load(); }

  static constexpr kj::TimePoint kStart = kj::origin<kj::TimePoint>() + 1000 * kj::SECONDS;

 private:
  mutable kj::TimePoint now_ = kStart;
  mutable std::atomic<int> readings_ = 0;
  kj::Duration step_ = 0 * kj::NANOSECONDS;
};

// Arrivals at the given times (microseconds); whether the loop spins at `at`.
struct SpellCase {
  const char* name;
  std::vector<int64_t> arrivals;
  int64_t at;
  bool spinning;
};

class LoopSpinRule : public ::testing::TestWithParam<SpellCase> {};

TEST_P(LoopSpinRule, SpinsOnlyAfterArrivalsCloseTogether) {
  const SpellCase& c = GetParam();
  TestClock clock;
  kj::TimerImpl timer(kj::origin<kj::TimePoint>());  // not used by the rule
  LoopSpin spin(clock, timer, kWindow);
  for (int64_t us : c.arrivals) {
    clock.Set(us * kj::MICROSECONDS);
    spin.Arrived();
  }
  EXPECT_EQ(spin.Spinning(TestClock::kStart + c.at * kj::MICROSECONDS), c.spinning);
}

INSTANTIATE_TEST_SUITE_P(
    Spells, LoopSpinRule,
    ::testing::Values(SpellCase{"NoArrivalNoSpell", {}, 0, false},
                      SpellCase{"OneArrivalAfterIdleNoSpell", {0}, 1, false},
                      SpellCase{"TwoCloseArrivalsSpell", {0, 60}, 61, true},
                      SpellCase{"SpellLastsTheWindowAfterTheLast", {0, 60}, 259, true},
                      SpellCase{"SpellEndsAtTheWindow", {0, 60}, 260, false},
                      SpellCase{"ArrivalsFartherApartThanTheWindowNoSpell", {0, 200, 400}, 401, false},
                      SpellCase{"EachCloseArrivalExtendsTheSpell", {0, 150, 300, 450}, 649, true},
                      SpellCase{"AFarArrivalStartsNoNewSpell", {0, 60, 1000}, 1001, false}),
    [](const ::testing::TestParamInfo<SpellCase>& info) { return std::string(info.param.name); });

class LoopSpinRun : public ::testing::Test {
 protected:
  LoopSpinRun() { io.waitScope.setBusyPollInterval(32); }  // as the daemon's loop
  ~LoopSpinRun() noexcept override {}

  // Two arrivals close together: a spell of the window from now.
  void StartSpell() {
    spin.Arrived();
    spin.Arrived();
  }

  // On another thread: busy-waits until the loop has read the clock `n` times since
  // `from` readings (its last look before it sleeps, or its looks while it spins);
  // false if that took more than 10 s.
  bool AwaitReadings(int from, int n) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (clock.readings() < from + n) {
      if (std::chrono::steady_clock::now() > giveUp) return false;
    }
    return true;
  }

  kj::AsyncIoContext io = kj::setupAsyncIo();
  TestClock clock;
  LoopSpin spin{clock, io.provider->getTimer(), kWindow};
};

// What is queued on the loop runs, and Run comes back as soon as `done` resolves.
TEST_F(LoopSpinRun, RunsTheLoopUntilDone) {
  int ran = 0;
  auto done = kj::evalLater([&ran]() { ++ran; }).then([&ran]() { return kj::evalLater([&ran]() { ++ran; }); });
  spin.Run(kj::mv(done), io.waitScope);
  EXPECT_EQ(ran, 2);
}

// Another thread's word, given once the loop sleeps or while it spins, ends Run:
// the spin looks at the loop's wake-ups the way a wait does, and consumes none.
TEST_F(LoopSpinRun, AnotherThreadsWordEndsRunAsleepOrSpinning) {
  for (bool spinning : {false, true}) {
    SCOPED_TRACE(spinning ? "spinning" : "asleep");
    if (spinning) StartSpell();  // the clock stands still: the spell lasts
    const int from = clock.readings();
    auto paf = kj::newPromiseAndCrossThreadFulfiller<void>();
    std::atomic<bool> inTime{false};
    kj::Thread other([&]() {
      // Asleep: after the one look that finds no spell. Spinning: a few looks in.
      inTime = AwaitReadings(from, spinning ? 5 : 1);
      paf.fulfiller->fulfill();
    });
    spin.Run(kj::mv(paf.promise), io.waitScope);
    EXPECT_TRUE(inTime.load());
    if (!spinning) {
      EXPECT_EQ(clock.readings(), from + 1);  // it slept
    }
    clock.Set(10 * kj::SECONDS);                           // the spell is over
  }
}

// A spell ends once the window has passed since the last arrival: the loop stops
// looking and sleeps until there is something to do.
TEST_F(LoopSpinRun, ASpellEndsAfterItsWindow) {
  clock.SetStep(1 * kj::MICROSECONDS);  // each look moves the clock on by 1 us
  StartSpell();                          // at 0 and 1 us: spinning until 201 us
  const int from = clock.readings();
  auto paf = kj::newPromiseAndCrossThreadFulfiller<void>();
  std::atomic<bool> inTime{false};
  kj::Thread other([&]() {
    // The looks at 2..201 us; the last one ends the spell.
    inTime = AwaitReadings(from, 200);
    paf.fulfiller->fulfill();
  });
  spin.Run(kj::mv(paf.promise), io.waitScope);
  EXPECT_TRUE(inTime.load());
  EXPECT_EQ(clock.readings(), from + 200);  // no look after the spell
}

// A call that arrives close after the one before wakes the sleeping loop into a
// spell.
TEST_F(LoopSpinRun, ACloseArrivalWakesTheSleepingLoopIntoASpell) {
  spin.Arrived();  // the client's last call, a moment ago; the clock stands still
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  BufferedStream stream(io.lowLevelProvider->wrapSocketFd(fds[0], kj::LowLevelAsyncIoProvider::TAKE_OWNERSHIP));
  stream.SetArrivalHook([this]() { spin.Arrived(); });
  char bytes[2];
  auto done = stream.tryRead(bytes, 1, 1).then([&](size_t) { return stream.tryRead(bytes + 1, 1, 1); }).ignoreResult();
  const int from = clock.readings();
  std::atomic<bool> asleep{false};
  std::atomic<bool> sawSpell{false};
  kj::Thread client([&]() {
    asleep = AwaitReadings(from, 1);  // the look before the loop sleeps
    KJ_ASSERT(write(fds[1], "a", 1) == 1);
    // Only a spinning loop reads the clock over and over.
    sawSpell = AwaitReadings(from, 1 + 1 + 10);  // the arrival's reading, then looks
    KJ_ASSERT(write(fds[1], "b", 1) == 1);
  });
  spin.Run(kj::mv(done), io.waitScope);
  close(fds[1]);
  EXPECT_TRUE(asleep.load());
  EXPECT_TRUE(sawSpell.load());
  EXPECT_EQ(std::string(bytes, 2), "ab");
}

// During a spell a long chain of events still lets a client's bytes in every few
// events, as a wait does, instead of running to its end first.
TEST_F(LoopSpinRun, ASpellLooksAtTheSocketsDuringALongChain) {
  StartSpell();  // the clock stands still: the spell lasts
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  auto socket = io.lowLevelProvider->wrapSocketFd(fds[0], kj::LowLevelAsyncIoProvider::TAKE_OWNERSHIP);
  constexpr int kSteps = 300000;
  int steps = 0;
  std::function<kj::Promise<void>()> step = [&]() -> kj::Promise<void> {
    return kj::evalLater([&]() -> kj::Promise<void> {
      if (++steps == kSteps) return kj::READY_NOW;
      return step();
    });
  };
  auto chain = step().eagerlyEvaluate(nullptr);
  char byte;
  int stepsWhenRead = -1;
  auto done = socket->tryRead(&byte, 1, 1).then([&](size_t) { stepsWhenRead = steps; });
  const int from = clock.readings();
  kj::Thread client([&]() {
    AwaitReadings(from, 1);  // the loop is under way
    KJ_ASSERT(write(fds[1], "a", 1) == 1);
  });
  spin.Run(kj::mv(done), io.waitScope);
  close(fds[1]);
  EXPECT_GE(stepsWhenRead, 0);
  EXPECT_LT(stepsWhenRead, kSteps);  // read before the chain's end
}

// What `done` raises comes out of Run, whether it was ready at once or came while
// the loop slept.
TEST_F(LoopSpinRun, WhatDoneRaisesComesOut) {
  auto failing = kj::evalLater([]() { KJ_FAIL_REQUIRE("the loop's work failed"); });
  EXPECT_THROW(spin.Run(kj::mv(failing), io.waitScope), kj::Exception);

  const int from = clock.readings();
  auto paf = kj::newPromiseAndCrossThreadFulfiller<void>();
  kj::Thread other([&]() {
    AwaitReadings(from, 1);
    paf.fulfiller->reject(KJ_EXCEPTION(FAILED, "the other thread's work failed"));
  });
  EXPECT_THROW(spin.Run(kj::mv(paf.promise), io.waitScope), kj::Exception);
}

}  // namespace
}  // namespace ledgerwick::host
