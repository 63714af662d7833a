#include "host/loop_spin.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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
  LoopSpin spin(clock, kWindow);
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
  ~LoopSpinRun() noexcept override {}

  // Two arrivals close together: a spell of the window from now.
  void StartSpell() {
    spin.Arrived();
    spin.Arrived();
  }

  kj::AsyncIoContext io = kj::setupAsyncIo();
  TestClock clock;
  LoopSpin spin{clock, kWindow};
};

// What is queued on the loop runs, and Run comes back as soon as `done` resolves.
TEST_F(LoopSpinRun, RunsTheLoopUntilDone) {
  int ran = 0;
  auto done = kj::evalLater([&ran]() { ++ran; }).then([&ran]() { return kj::evalLater([&ran]() { ++ran; }); });
  spin.Run(kj::mv(done), io.waitScope);
  EXPECT_EQ(ran, 2);
}

// Another thread's word wakes the loop whether it sleeps or spins: the spin looks at
// the loop's wake-ups the way a wait does, and consumes none of them.
TEST_F(LoopSpinRun, AnotherThreadsWordEndsRunAsleepOrSpinning) {
  for (bool spinning : {false, true}) {
    SCOPED_TRACE(spinning ? "spinning" : "asleep");
    // Far enough ahead that the spell stays on while the other thread gets going.
    if (spinning) {
      clock.SetStep(0 * kj::NANOSECONDS);
      StartSpell();
    }
    auto paf = kj::newPromiseAndCrossThreadFulfiller<void>();
    std::atomic<bool> running{false};
    kj::Thread other([&]() {
      while (!running.load()) {
      }
      paf.fulfiller->fulfill();
    });
    running = true;
    spin.Run(kj::mv(paf.promise), io.waitScope);
    EXPECT_EQ(spin.Spinning(clock.now()), spinning);
    clock.Set(10 * kj::SECONDS);  // the spell, if any, is over
  }
}

// A spell ends once the window has passed since the last arrival: the loop stops
// looking and sleeps until there is something to do.
TEST_F(LoopSpinRun, ASpellEndsAfterItsWindow) {
  clock.SetStep(1 * kj::MICROSECONDS);  // each look moves the clock on by 1 us
  StartSpell();                          // at 0 and 1 us: spinning until 201 us
  const int before = clock.readings();
  auto paf = kj::newPromiseAndCrossThreadFulfiller<void>();
  kj::Thread other([&]() {
    // The looks at 2..201 us; the last one ends the spell.
    while (clock.readings() < before + 200) {
    }
    paf.fulfiller->fulfill();
  });
  spin.Run(kj::mv(paf.promise), io.waitScope);
  EXPECT_EQ(clock.readings(), before + 200);  // no look after the spell
}

// A client's bytes that arrive close after the ones before wake a sleeping loop into
// a spell.
TEST_F(LoopSpinRun, ACloseArrivalWakesTheSleepingLoopIntoASpell) {
  spin.Arrived();  // the client's last bytes, a moment ago; the clock stands still
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  BufferedStream stream(io.lowLevelProvider->wrapSocketFd(fds[0], kj::LowLevelAsyncIoProvider::TAKE_OWNERSHIP));
  stream.SetArrivalHook([this]() { spin.Arrived(); });
  char bytes[2];
  auto done = stream.tryRead(bytes, 1, 1).then([&](size_t) { return stream.tryRead(bytes + 1, 1, 1); }).ignoreResult();
  std::atomic<bool> sawSpell{false};
  kj::Thread client([&]() {
    const int before = clock.readings();
    KJ_ASSERT(write(fds[1], "a", 1) == 1);
    // Only a spinning loop reads the clock over and over; give up after a while.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (clock.readings() < before + 10 && std::chrono::steady_clock::now() < giveUp) {
    }
    sawSpell = clock.readings() >= before + 10;
    KJ_ASSERT(write(fds[1], "b", 1) == 1);
  });
  spin.Run(kj::mv(done), io.waitScope);
  close(fds[1]);
  EXPECT_TRUE(sawSpell.load());
  EXPECT_EQ(std::string(bytes, 2), "ab");
}

TEST_F(LoopSpinRun, WhatDoneRaisesComesOut) {
  auto failing = kj::evalLater([]() { KJ_FAIL_REQUIRE("the loop's work failed"); });
  EXPECT_THROW(spin.Run(kj::mv(failing), io.waitScope), kj::Exception);
}

}  // namespace
}  // namespace ledgerwick::host
