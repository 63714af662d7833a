#include "writer/drain.h"

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/records.h"
#include "tests/support/writer_rig.h"

namespace ledgerwick {
namespace {

using automation::Variant;

class FlushTest : public ::testing::Test {
 protected:
  FlushTest() { process.logMethod = tofile; }

  void Queue(int count) {
    for (int i = 0; i < count; ++i) {
      process.Queue(testing::MakeRecord({{"AppName", Variant::String("app" + std::to_string(i))}}));
    }
  }

  // Runs the shutdown drain to its end on the manual timer; answers what was left.
  size_t Drain(kj::Duration limit) {
    auto promise = process.drain.Flush(limit).eagerlyEvaluate(nullptr);
    kj::Duration ran = 0 * kj::SECONDS;
    while (!promise.poll(process.ws)) {
      EXPECT_LE(ran, limit + 1 * kj::SECONDS) << "the drain outlived its limit";
      if (ran > limit + 1 * kj::SECONDS) return SIZE_MAX;
      process.RunFor(10 * kj::MILLISECONDS);
      ran += 10 * kj::MILLISECONDS;
    }
    return promise.wait(process.ws);
  }

  testing::WriterRig process;
};

TEST_F(FlushTest, WritesEveryQueuedRecordBeforeTheLimit) {
  Queue(3);
  EXPECT_EQ(Drain(10 * kj::SECONDS), 0u);
  auto lines = process.TextLogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].substr(0, 4), "app0");
  EXPECT_EQ(lines[2].substr(0, 4), "app2");
  EXPECT_TRUE(process.Faults().empty());
}

TEST_F(FlushTest, TriesAtOnceEvenWhileTheDrainTimerBacksOff) {
  // A long outage before the stop: the drain timer waits 30 s between tries.
  process.files.FailFromCall(1);
  Queue(1);
  process.RunFor(100 * kj::SECONDS);
  ASSERT_EQ(process.drain.intervalMs(), kMaxDrainIntervalMs);
  process.files.Heal();
  EXPECT_EQ(Drain(1 * kj::SECONDS), 0u);
  EXPECT_EQ(process.TextLogLines().size(), 1u);
}

TEST_F(FlushTest, EmptyQueueEndsAtOnceWithoutAFault) {
  EXPECT_EQ(Drain(10 * kj::SECONDS), 0u);
  EXPECT_TRUE(process.Faults().empty());
}

TEST_F(FlushTest, RecordsNoTargetTakesAreCountedInOneFaultEntry) {
  process.UseTextLog(process.homeDir / "missing/Ledgwk.log");
  Queue(4);
  EXPECT_EQ(Drain(2 * kj::SECONDS), 4u);
  EXPECT_EQ(process.drain.queued(), 4u);  // nothing is dropped
  auto faults = process.Faults();
  ASSERT_FALSE(faults.empty());
  EXPECT_EQ(faults.back(), "4 queued records could not be written at shutdown");
  // The text log's fault is entered once however often it is tried...
  const std::string pathNotFound = "Path not found (" + (process.homeDir / "missing/Ledgwk.log") + ")";
  EXPECT_EQ(faults.front(), pathNotFound);
  EXPECT_EQ(std::count(faults.begin(), faults.end(), pathNotFound), 1);
  // ...and tries keep to the drain timer's back-off: a handful in two seconds, not twenty.
  EXPECT_GE(process.files.calls(), 2);
  EXPECT_LE(process.files.calls(), 8);
}

TEST_F(FlushTest, ATargetThatComesBackInTimeTakesTheRest) {
  const std::string folder = process.homeDir / "later";
  process.UseTextLog(folder + "/Ledgwk.log");
  Queue(2);
  auto promise = process.drain.Flush(10 * kj::SECONDS).eagerlyEvaluate(nullptr);
  process.RunFor(500 * kj::MILLISECONDS);
  EXPECT_FALSE(promise.poll(process.ws));
  std::filesystem::create_directory(folder);
  process.RunFor(5 * kj::SECONDS);
  ASSERT_TRUE(promise.poll(process.ws));
  EXPECT_EQ(promise.wait(process.ws), 0u);
  EXPECT_EQ(process.TextLogLines().size(), 2u);
}

}  // namespace
}  // namespace ledgerwick
