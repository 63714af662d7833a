#include "host/idle_watch.h"

#include <gtest/gtest.h>

#include <kj/async.h>
#include <kj/timer.h>

#include "tests/support/manual_time.h"

namespace ledgerwick::host {
namespace {

class IdleWatchTest : public ::testing::Test {
 protected:
  ~IdleWatchTest() noexcept override {}

  void RunFor(kj::Duration d) { testing::AdvanceTo(ws, timer, timer.now() + d); }

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
