#include "host/shutdown_drain.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/records.h"
#include "writer/worker_engine.h"
#include "tests/support/test_process.h"

namespace ledgerwick::host {
namespace {

using automation::Variant;

class ShutdownDrainTest : public ::testing::Test {
 protected:
  ShutdownDrainTest() { process.StartWithoutStores(tofile); }

  void Queue(int count) {
    for (int i = 0; i < count; ++i) {
      process.state.ErrorBuffer->push_back(
          testing::MakeRecord({{"AppName", Variant::String("app" + std::to_string(i))}}));
    }
  }

  // Runs the shutdown drain to its end on the manual timer; answers what was left.
  size_t Drain(kj::Duration limit) {
    auto promise = DrainAtShutdown(process.state, process.timer, limit).eagerlyEvaluate(nullptr);
    kj::Duration ran = 0 * kj::SECONDS;
    while (!promise.poll(process.ws)) {
      EXPECT_LE(ran, limit + 1 * kj::SECONDS) << "the drain outlived its limit";
      if (ran > limit + 1 * kj::SECONDS) return SIZE_MAX;
      process.RunFor(10 * kj::MILLISECONDS);
      ran += 10 * kj::MILLISECONDS;
    }
    return promise.wait(process.ws);
  }

  testing::TestProcess process;
};

TEST_F(ShutdownDrainTest, WritesEveryQueuedRecordBeforeTheLimit) {
  Queue(3);
  EXPECT_EQ(Drain(10 * kj::SECONDS), 0u);
  auto lines = process.TextLogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].substr(0, 4), "app0");
  EXPECT_EQ(lines[2].substr(0, 4), "app2");
  EXPECT_TRUE(process.Faults().empty());
}

TEST_F(ShutdownDrainTest, TriesAtOnceEvenWhileTheDrainTimerBacksOff) {
  Queue(1);
  process.state.DrainIntervalMs = kMaxDrainIntervalMs;  // a long outage before the stop
  EXPECT_EQ(Drain(1 * kj::SECONDS), 0u);
  EXPECT_EQ(process.TextLogLines().size(), 1u);
}

TEST_F(ShutdownDrainTest, EmptyOrMissingQueueEndsAtOnceWithoutAFault) {
  EXPECT_EQ(Drain(10 * kj::SECONDS), 0u);
  process.state.ErrorBuffer.reset();  // start-up never ran
  EXPECT_EQ(Drain(10 * kj::SECONDS), 0u);
  EXPECT_TRUE(process.Faults().empty());
}

TEST_F(ShutdownDrainTest, RecordsNoTargetTakesAreCountedInOneFaultEntry) {
  process.state.TextLogPath = process.homeDir / "missing/Ledgwk.log";
  Queue(4);
  EXPECT_EQ(Drain(2 * kj::SECONDS), 4u);
  EXPECT_EQ(process.state.ErrorBuffer->size(), 4u);  // nothing is dropped
  auto faults = process.Faults();
  ASSERT_FALSE(faults.empty());
  EXPECT_EQ(faults.back(), "4 queued records could not be written at shutdown");
  // Tries keep to the drain timer's back-off: a handful in two seconds, not twenty.
  EXPECT_LE(faults.size(), 8u);
}

TEST_F(ShutdownDrainTest, ATargetThatComesBackInTimeTakesTheRest) {
  const std::string folder = process.homeDir / "later";
  process.state.TextLogPath = folder + "/Ledgwk.log";
  Queue(2);
  auto promise = DrainAtShutdown(process.state, process.timer, 10 * kj::SECONDS).eagerlyEvaluate(nullptr);
  process.RunFor(500 * kj::MILLISECONDS);
  EXPECT_FALSE(promise.poll(process.ws));
  std::filesystem::create_directory(folder);
  process.RunFor(5 * kj::SECONDS);
  ASSERT_TRUE(promise.poll(process.ws));
  EXPECT_EQ(promise.wait(process.ws), 0u);
  EXPECT_EQ(process.TextLogLines().size(), 2u);
}

}  // namespace
}  // namespace ledgerwick::host
