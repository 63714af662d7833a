#include "automation/timer_service.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include <kj/async.h>
#include <kj/timer.h>

#include "automation/automation_error.h"
#include "tests/support/error_of.h"
#include "tests/support/flaky_timer.h"
#include "tests/support/manual_time.h"

namespace automation {
namespace {

// kj's loop, manual timer and task set have throwing destructors, which a test
// fixture's destructor may not have; they live behind a pointer.
struct Harness {
  kj::EventLoop loop;
  kj::WaitScope ws{loop};
  kj::TimerImpl timer{kj::origin<kj::TimePoint>()};
  TimerService service{timer};
};

// Time is moved by hand: the manual timer fires only what is due, so step through
// each due event and let the loop run its continuations in between.
class TimerServiceTest : public ::testing::Test {
 protected:
  void AdvanceTo(int64_t ms) {
    ledgerwick::testing::AdvanceTo(ws, timer, kj::origin<kj::TimePoint>() + ms * kj::MILLISECONDS);
  }

  std::unique_ptr<Harness> harness = std::make_unique<Harness>();
  kj::WaitScope& ws = harness->ws;
  kj::TimerImpl& timer = harness->timer;
  TimerService& service = harness->service;
};

TEST_F(TimerServiceTest, FiresOnceEveryInterval) {
  int ticks = 0;
  service.Create(100, [&] { ++ticks; });
  struct Step { int64_t at; int ticks; };
  for (Step step : {Step{99, 0}, Step{100, 1}, Step{250, 2}, Step{300, 3}, Step{1000, 10}}) {
    AdvanceTo(step.at);
    EXPECT_EQ(ticks, step.ticks) << "at " << step.at << " ms";
  }
}

TEST_F(TimerServiceTest, DestroyStopsTheTimer) {
  int ticks = 0;
  int32_t id = service.Create(100, [&] { ++ticks; });
  AdvanceTo(250);
  ASSERT_EQ(ticks, 2);
  EXPECT_TRUE(service.Destroy(id));
  EXPECT_EQ(service.armed(), 0u);
  AdvanceTo(1000);
  EXPECT_EQ(ticks, 2);
}

TEST_F(TimerServiceTest, DestroyAnswersFalseForUnknownOrDestroyedIds) {
  int32_t id = service.Create(100, [] {});
  EXPECT_FALSE(service.Destroy(0));
  EXPECT_FALSE(service.Destroy(id + 1));
  EXPECT_TRUE(service.Destroy(id));
  EXPECT_FALSE(service.Destroy(id));
}

TEST_F(TimerServiceTest, DestroyedBeforeItsFirstTickNeverFires) {
  int ticks = 0;
  int32_t id = service.Create(100, [&] { ++ticks; });
  AdvanceTo(50);
  service.Destroy(id);
  AdvanceTo(500);
  EXPECT_EQ(ticks, 0);
}

TEST_F(TimerServiceTest, CallbackMayDestroyItsOwnTimer) {
  int ticks = 0;
  int32_t id = 0;
  id = service.Create(100, [&] {
    ++ticks;
    if (ticks == 2) {
      EXPECT_TRUE(service.Destroy(id));
    }
  });
  AdvanceTo(1000);
  EXPECT_EQ(ticks, 2);
  EXPECT_EQ(service.armed(), 0u);
  EXPECT_FALSE(service.Destroy(id));
}

TEST_F(TimerServiceTest, CallbackMayCreateAnotherTimer) {
  int outer = 0;
  int inner = 0;
  int32_t outerId = 0;
  int32_t innerId = 0;
  outerId = service.Create(100, [&] {
    ++outer;
    innerId = service.Create(30, [&] { ++inner; });
    service.Destroy(outerId);
  });
  AdvanceTo(100);
  EXPECT_EQ(outer, 1);
  EXPECT_EQ(service.armed(), 1u);
  EXPECT_NE(innerId, outerId);
  AdvanceTo(190);  // the new timer counts from its creation at 100 ms
  EXPECT_EQ(inner, 3);
  EXPECT_EQ(outer, 1);
}

TEST_F(TimerServiceTest, TimersWithDifferentIntervalsRunIndependently) {
  std::vector<char> order;
  service.Create(100, [&] { order.push_back('a'); });
  service.Create(40, [&] { order.push_back('b'); });
  AdvanceTo(200);
  // b at 40, 80, 120, 160, 200; a at 100 and 200.
  EXPECT_EQ(std::count(order.begin(), order.end(), 'a'), 2);
  EXPECT_EQ(std::count(order.begin(), order.end(), 'b'), 5);
  EXPECT_EQ(std::vector<char>(order.begin(), order.begin() + 3), (std::vector<char>{'b', 'b', 'a'}));
}

TEST_F(TimerServiceTest, IdsAreNonZeroDistinctAndNeverReused) {
  std::set<int32_t> ids;
  for (int i = 0; i < 5; ++i) {
    int32_t id = service.Create(100, [] {});
    EXPECT_NE(id, 0);
    ids.insert(id);
    if (i % 2 == 0) service.Destroy(id);
  }
  EXPECT_EQ(ids.size(), 5u);
  EXPECT_EQ(ids.count(service.Create(100, [] {})), 0u);
}

// Steady logging arms a drain timer many times a second; ids wrap rather than run
// out, and never land on a timer that is still armed.
TEST(TimerServiceIds, WrapAfterTheLastIdPassingOverArmedTimers) {
  kj::EventLoop loop;
  kj::WaitScope ws(loop);
  kj::TimerImpl timer(kj::origin<kj::TimePoint>());
  const int32_t last = std::numeric_limits<int32_t>::max();
  {
    TimerService service(timer, last - 1);
    EXPECT_EQ(service.Create(100, [] {}), last - 1);  // stays armed
    EXPECT_EQ(service.Create(100, [] {}), last);
    EXPECT_TRUE(service.Destroy(last));
    EXPECT_EQ(service.Create(100, [] {}), 1);
    EXPECT_EQ(service.Create(100, [] {}), 2);
  }
  {
    TimerService service(timer, last);
    EXPECT_EQ(service.Create(100, [] {}), last);
    EXPECT_EQ(service.Create(100, [] {}), 1);
  }
}

TEST_F(TimerServiceTest, ArmedCountsLiveTimers) {
  EXPECT_EQ(service.armed(), 0u);
  int32_t a = service.Create(100, [] {});
  service.Create(200, [] {});
  EXPECT_EQ(service.armed(), 2u);
  service.Destroy(a);
  EXPECT_EQ(service.armed(), 1u);
  AdvanceTo(500);
  EXPECT_EQ(service.armed(), 1u);
}

TEST_F(TimerServiceTest, NonPositiveIntervalIsOneMillisecond) {
  int ticks = 0;
  service.Create(0, [&] { ++ticks; });
  AdvanceTo(5);
  EXPECT_EQ(ticks, 5);
}

TEST_F(TimerServiceTest, ThrowingCallbackKeepsItsTimerRunning) {
  int ticks = 0;
  service.Create(100, [&] {
    ++ticks;
    throw std::runtime_error("callback failed");
  });
  AdvanceTo(300);
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(service.armed(), 1u);
}

TEST_F(TimerServiceTest, CreateThatCannotArmLeavesNoTimerBehind) {
  ledgerwick::testing::FlakyTimer flaky(timer);
  TimerService flakyService(flaky);
  flaky.FailNextWaitOf(100 * kj::MILLISECONDS);
  EXPECT_EQ(ledgerwick::testing::ErrorOf([&] { flakyService.Create(100, [] {}); }), err::kOutOfMemory);
  EXPECT_EQ(flakyService.armed(), 0u);

  int ticks = 0;
  int32_t id = flakyService.Create(100, [&] { ++ticks; });
  EXPECT_EQ(flakyService.armed(), 1u);
  AdvanceTo(100);
  EXPECT_EQ(ticks, 1);
  EXPECT_TRUE(flakyService.Destroy(id));
}

TEST(TimerServiceLifetime, DestroyingTheServiceWithArmedTimersIsSafe) {
  kj::EventLoop loop;
  kj::WaitScope ws(loop);
  kj::TimerImpl timer(kj::origin<kj::TimePoint>());
  int ticks = 0;
  {
    TimerService service(timer);
    service.Create(100, [&] { ++ticks; });
    service.Create(50, [&] { ++ticks; });
    ws.poll();
  }
  timer.advanceTo(kj::origin<kj::TimePoint>() + 1000 * kj::MILLISECONDS);
  ws.poll();
  EXPECT_EQ(ticks, 0);
}

}  // namespace
}  // namespace automation
