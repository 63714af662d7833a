#include "host/idle_watch.h"

#include <gtest/gtest.h>

#include <kj/async.h>
#include <kj/timer.h>

namespace ledgerwick::host {
namespace {

class IdleWatchTest : public ::testing::Test {
 protected:
  ~IdleWatchTest() noexcept override {}

  // Steps the manual timer through every event due within `d`.
  void RunFor(kj::Duration d) {
    kj::TimePoint target = timer.now() + d;
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

  kj::EventLoop loop;
  kj::WaitScope ws{loop};
  kj::TimerImpl timer{kj::origin<kj::TimePoint>()};
  bool idle = true;
};

TEST_F(IdleWatchTest, ResolvesAfterTheIdleTimeAndNotBefore) {
  auto done = WaitUntilIdle(timer, [this]() { return idle; }, 1 * kj::SECONDS).eagerlyEvaluate(nullptr);
  RunFor(900 * kj::MILLISECONDS);
  EXPECT_FALSE(done.poll(ws));
  RunFor(200 * kj::MILLISECONDS);
  EXPECT_TRUE(done.poll(ws));
}

TEST_F(IdleWatchTest, ActivityStartsTheWaitOver) {
  auto done = WaitUntilIdle(timer, [this]() { return idle; }, 1 * kj::SECONDS).eagerlyEvaluate(nullptr);
  RunFor(800 * kj::MILLISECONDS);
  idle = false;  // a client holds an object for a while
  RunFor(500 * kj::MILLISECONDS);
  idle = true;
  RunFor(900 * kj::MILLISECONDS);
  EXPECT_FALSE(done.poll(ws));
  RunFor(300 * kj::MILLISECONDS);
  EXPECT_TRUE(done.poll(ws));
}

TEST_F(IdleWatchTest, ZeroMeansAtTheFirstIdleCheck) {
  idle = false;
  auto done = WaitUntilIdle(timer, [this]() { return idle; }, 0 * kj::SECONDS).eagerlyEvaluate(nullptr);
  RunFor(50 * kj::MILLISECONDS);
  EXPECT_FALSE(done.poll(ws));
  idle = true;
  RunFor(5 * kj::MILLISECONDS);
  EXPECT_TRUE(done.poll(ws));
}

}  // namespace
}  // namespace ledgerwick::host
