#include "writer/worker_engine.h"

#include <gtest/gtest.h>

#include "tests/support/fake_store.h"
#include "tests/support/records.h"
#include "tests/support/test_process.h"

namespace ledgerwick {
namespace {

using automation::Variant;
using testing::FakeDSO;
using testing::FakeDTO;

class DrainTest : public ::testing::Test {
 protected:
  DrainTest() {
    process.StartWithoutStores();
    process.state.NetDSO = store;
    process.state.NetDTO = std::make_shared<FakeDTO>();
  }

  void Queue(const std::string& appName) {
    process.state.ErrorBuffer->push_back(testing::MakeRecord({{"AppName", Variant::String(appName)}}));
    StartDrainTimer(process.state);
  }

  std::vector<std::string> TakenNames() {
    std::vector<std::string> names;
    for (size_t i = 0; i < store->taken.size(); ++i) names.push_back(store->Field(i, "AppName").string());
    return names;
  }

  size_t Queued() { return process.state.ErrorBuffer->size(); }

  testing::TestProcess process;
  std::shared_ptr<FakeDSO> store = std::make_shared<FakeDSO>();
};

TEST_F(DrainTest, RecordsQueuedBeforeATickAreWrittenInOrderByThatTick) {
  Queue("a");
  Queue("b");
  Queue("c");
  EXPECT_EQ(process.timers.armed(), 1u);  // one drain timer, however many records
  process.RunFor(99 * kj::MILLISECONDS);
  EXPECT_TRUE(store->taken.empty());
  process.RunFor(1 * kj::MILLISECONDS);
  EXPECT_EQ(TakenNames(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(Queued(), 0u);
  EXPECT_FALSE(process.state.DrainBusy);
  EXPECT_EQ(process.timers.armed(), 0u);  // an empty queue disarms the timer
}

TEST_F(DrainTest, TickWithAnEmptyQueueWritesNothingAndDisarms) {
  StartDrainTimer(process.state);
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(store->calls, 0);
  EXPECT_FALSE(process.state.DrainBusy);
  EXPECT_EQ(process.timers.armed(), 0u);
}

TEST_F(DrainTest, RecordQueuedWhileAStoreAnswersIsWrittenByTheSameDrain) {
  store->mode = FakeDSO::Mode::kLate;
  Queue("first");
  process.RunFor(100 * kj::MILLISECONDS);
  ASSERT_TRUE(process.state.DrainBusy);
  Queue("second");  // the loop goes on serving calls while the store answers
  EXPECT_EQ(process.timers.armed(), 1u);
  process.RunFor(300 * kj::MILLISECONDS);  // ticks meanwhile return at once
  EXPECT_EQ(store->calls, 1);
  store->AnswerLate(0);
  process.ws.poll();
  store->AnswerLate(0);
  process.ws.poll();
  EXPECT_EQ(TakenNames(), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(Queued(), 0u);
  EXPECT_FALSE(process.state.DrainBusy);
  EXPECT_EQ(process.timers.armed(), 0u);
}

TEST_F(DrainTest, FailingTargetKeepsTheRecordAndRetriesWithBackoffUntilItRecovers) {
  // The store refuses and the text log cannot be written: no target takes the record.
  store->mode = FakeDSO::Mode::kRefuse;
  std::string goodPath = process.state.TextLogPath;
  process.state.TextLogPath = process.homeDir / "gone/Ledgwk.log";
  Queue("kept");
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(store->calls, 1);
  EXPECT_EQ(Queued(), 1u);
  EXPECT_EQ(process.notices.shown, std::vector<std::string>{"Unable to create thread"});
  EXPECT_FALSE(process.state.DrainBusy);

  // Tries come after 200, 400, 800 ms...; the notice is not repeated.
  process.RunFor(199 * kj::MILLISECONDS);
  EXPECT_EQ(store->calls, 1);
  process.RunFor(1 * kj::MILLISECONDS);
  EXPECT_EQ(store->calls, 2);
  process.RunFor(400 * kj::MILLISECONDS);
  EXPECT_EQ(store->calls, 3);
  Queue("later");  // still queued behind, no extra timer
  EXPECT_EQ(process.timers.armed(), 1u);
  EXPECT_EQ(process.notices.shown.size(), 1u);

  // The interval stops growing at 30 s.
  process.RunFor(120 * kj::SECONDS);
  EXPECT_EQ(process.state.DrainIntervalMs, kMaxDrainIntervalMs);
  int callsBefore = store->calls;
  process.RunFor(30 * kj::SECONDS);
  EXPECT_EQ(store->calls, callsBefore + 1);

  store->mode = FakeDSO::Mode::kTake;
  process.RunFor(30 * kj::SECONDS);
  EXPECT_EQ(TakenNames(), (std::vector<std::string>{"kept", "later"}));
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(process.state.DrainIntervalMs, kDrainIntervalMs);

  // A new outage after recovery tells the operator again and starts again at 100 ms.
  store->mode = FakeDSO::Mode::kRefuse;
  Queue("again");
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(process.notices.shown.size(), 2u);
  process.state.TextLogPath = goodPath;
  process.RunFor(200 * kj::MILLISECONDS);
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(process.TextLogLines().size(), 1u);
}

// Whatever fails inside a drain ends it for now, as when no target takes the record:
// the record stays queued and the timer is armed again.
TEST_F(DrainTest, ADrainThatCannotArmItsRetryTimerStillTriesAgain) {
  store->mode = FakeDSO::Mode::kRefuse;
  const std::string goodPath = process.state.TextLogPath;
  process.state.TextLogPath = process.homeDir / "gone/Ledgwk.log";
  Queue("kept");
  process.flakyTimer.FailNextWaitOf(200 * kj::MILLISECONDS);  // the first retry's timer
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(store->calls, 1);
  EXPECT_EQ(Queued(), 1u);
  EXPECT_FALSE(process.state.DrainBusy);
  EXPECT_EQ(process.timers.armed(), 1u);
  EXPECT_EQ(process.Faults().back(), "Out of memory");

  process.state.TextLogPath = goodPath;
  process.RunFor(1 * kj::SECONDS);
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(process.TextLogLines().size(), 1u);
}

// SQLite's ioerr style: the store fails the Nth call, once; every record still
// arrives exactly once, in order.
TEST_F(DrainTest, NoRecordLostOrDuplicatedWhenTheNthWriteFails) {
  for (int failAt = 1; failAt <= 4; ++failAt) {
    SCOPED_TRACE(failAt);
    ProcessState& state = process.state;
    state.TextLogPath = process.homeDir / "gone/Ledgwk.log";  // no fallback either
    auto s = std::make_shared<FakeDSO>();
    state.NetDSO = s;
    for (const char* name : {"r1", "r2", "r3", "r4"}) {
      state.ErrorBuffer->push_back(testing::MakeRecord({{"AppName", Variant::String(name)}}));
    }
    s->failCall = failAt;
    StartDrainTimer(state);
    process.RunFor(1 * kj::SECONDS);
    ASSERT_TRUE(state.ErrorBuffer->empty());
    std::vector<std::string> names;
    for (size_t i = 0; i < s->taken.size(); ++i) names.push_back(s->Field(i, "AppName").string());
    EXPECT_EQ(names, (std::vector<std::string>{"r1", "r2", "r3", "r4"}));
  }
}

TEST_F(DrainTest, LogMethodChangeAppliesFromTheNextRecord) {
  store->mode = FakeDSO::Mode::kLate;
  Queue("to-store");
  Queue("to-file");
  process.RunFor(100 * kj::MILLISECONDS);
  process.state.CurrentLogMethod = tofile;
  store->AnswerLate(0);
  process.ws.poll();
  EXPECT_EQ(TakenNames(), std::vector<std::string>{"to-store"});
  ASSERT_EQ(process.TextLogLines().size(), 1u);
  EXPECT_EQ(process.TextLogLines()[0].substr(0, 7), "to-file");
}

}  // namespace
}  // namespace ledgerwick
