#include "writer/drain.h"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/fake_store.h"
#include "tests/support/records.h"
#include "tests/support/writer_rig.h"

namespace ledgerwick {
namespace {

using automation::Variant;
using testing::FakeDSO;
using testing::FakeDTO;

class DrainTest : public ::testing::Test {
 protected:
  DrainTest() { process.SetStores(store, std::make_shared<FakeDTO>()); }

  void Queue(const std::string& appName) {
    process.Queue(testing::MakeRecord({{"AppName", Variant::String(appName)}}));
  }

  std::vector<std::string> TakenNames() {
    std::vector<std::string> names;
    for (size_t i = 0; i < store->taken.size(); ++i) names.push_back(store->Field(i, "AppName").string());
    return names;
  }

  size_t Queued() { return process.drain.queued(); }

  testing::WriterRig process;
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
  EXPECT_FALSE(process.drain.DrainBusy());
  EXPECT_EQ(process.timers.armed(), 0u);  // an empty queue disarms the timer
}

TEST_F(DrainTest, TickWithAnEmptyQueueWritesNothingAndDisarms) {
  process.drain.StartDrainTimer();
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(store->calls, 0);
  EXPECT_FALSE(process.drain.DrainBusy());
  EXPECT_EQ(process.timers.armed(), 0u);
}

// A record queued while a store answers waits for the next tick: a steady stream is
// written a tick's worth at a time, not a run for every few records.
TEST_F(DrainTest, RecordQueuedWhileAStoreAnswersIsWrittenByTheNextTick) {
  store->mode = FakeDSO::Mode::kLate;
  Queue("first");
  process.RunFor(100 * kj::MILLISECONDS);
  ASSERT_TRUE(process.drain.DrainBusy());
  Queue("second");  // the loop goes on serving calls while the store answers
  EXPECT_EQ(process.timers.armed(), 1u);
  process.RunFor(250 * kj::MILLISECONDS);  // ticks meanwhile return at once
  EXPECT_EQ(store->calls, 1);
  store->AnswerLate(0);
  process.ws.poll();
  EXPECT_EQ(TakenNames(), (std::vector<std::string>{"first"}));
  EXPECT_EQ(Queued(), 1u);
  EXPECT_FALSE(process.drain.DrainBusy());
  EXPECT_EQ(process.timers.armed(), 1u);  // the next tick is still due
  process.RunFor(50 * kj::MILLISECONDS);
  EXPECT_EQ(store->calls, 2);
  store->AnswerLate(0);
  process.ws.poll();
  EXPECT_EQ(TakenNames(), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(Queued(), 0u);
  EXPECT_FALSE(process.drain.DrainBusy());
  EXPECT_EQ(process.timers.armed(), 0u);
}

// The clean stop's flush goes on until the queue is empty, however little is left
// behind a run.
TEST_F(DrainTest, TheFlushWritesWhatArrivesWhileAStoreAnswers) {
  store->mode = FakeDSO::Mode::kLate;
  Queue("late");
  auto flushed = process.drain.Flush(5 * kj::SECONDS);
  Queue("later");
  store->AnswerLate(0);
  process.ws.poll();
  store->AnswerLate(0);
  EXPECT_EQ(flushed.wait(process.ws), 0u);
  EXPECT_EQ(TakenNames(), (std::vector<std::string>{"late", "later"}));
}

TEST_F(DrainTest, FailingTargetKeepsTheRecordAndRetriesWithBackoffUntilItRecovers) {
  // The store refuses and the text log cannot be written: no target takes the record.
  store->mode = FakeDSO::Mode::kRefuse;
  std::string goodPath = process.textLogPath;
  process.UseTextLog(process.homeDir / "gone/Ledgwk.log");
  Queue("kept");
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(store->calls, 1);
  EXPECT_EQ(Queued(), 1u);
  EXPECT_EQ(process.notices.shown, std::vector<std::string>{"Unable to create thread"});
  EXPECT_FALSE(process.drain.DrainBusy());

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
  EXPECT_EQ(process.drain.intervalMs(), kMaxDrainIntervalMs);
  int callsBefore = store->calls;
  process.RunFor(30 * kj::SECONDS);
  EXPECT_EQ(store->calls, callsBefore + 1);

  store->mode = FakeDSO::Mode::kTake;
  process.RunFor(30 * kj::SECONDS);
  EXPECT_EQ(TakenNames(), (std::vector<std::string>{"kept", "later"}));
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(process.drain.intervalMs(), kDrainIntervalMs);

  // A new outage after recovery tells the operator again and starts again at 100 ms.
  store->mode = FakeDSO::Mode::kRefuse;
  Queue("again");
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(process.notices.shown.size(), 2u);
  process.UseTextLog(goodPath);
  process.RunFor(200 * kj::MILLISECONDS);
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(process.TextLogLines().size(), 1u);
}

// Whatever fails inside a drain ends it for now, as when no target takes the record:
// the record stays queued and the timer is armed again.
TEST_F(DrainTest, ADrainThatCannotArmItsRetryTimerStillTriesAgain) {
  store->mode = FakeDSO::Mode::kRefuse;
  const std::string goodPath = process.textLogPath;
  process.UseTextLog(process.homeDir / "gone/Ledgwk.log");
  Queue("kept");
  process.flakyTimer.FailNextWaitOf(200 * kj::MILLISECONDS);  // the first retry's timer
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(store->calls, 1);
  EXPECT_EQ(Queued(), 1u);
  EXPECT_FALSE(process.drain.DrainBusy());
  EXPECT_EQ(process.timers.armed(), 1u);
  EXPECT_EQ(process.Faults().back(), "Out of memory");

  process.UseTextLog(goodPath);
  process.RunFor(1 * kj::SECONDS);
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(process.TextLogLines().size(), 1u);
}

// SQLite's ioerr style: the store fails the Nth call, once; every record still
// arrives exactly once, in order.
TEST(DrainFaultSweep, NoRecordLostOrDuplicatedWhenTheNthStoreCallFailsOnce) {
  for (int failAt = 1; failAt <= 4; ++failAt) {
    SCOPED_TRACE(failAt);
    testing::WriterRig rig;
    rig.UseTextLog(rig.homeDir / "gone/Ledgwk.log");  // no fallback either
    auto s = std::make_shared<FakeDSO>();
    rig.SetStores(s, std::make_shared<FakeDTO>());
    s->failCall = failAt;
    for (const char* name : {"r1", "r2", "r3", "r4"}) {
      rig.Queue(testing::MakeRecord({{"AppName", Variant::String(name)}}));
    }
    rig.RunFor(1 * kj::SECONDS);
    ASSERT_EQ(rig.drain.queued(), 0u);
    std::vector<std::string> names;
    for (size_t i = 0; i < s->taken.size(); ++i) names.push_back(s->Field(i, "AppName").string());
    EXPECT_EQ(names, (std::vector<std::string>{"r1", "r2", "r3", "r4"}));
  }
}

// The method is read each time a run is handed over: records queued behind a run
// in flight go the new way.
TEST_F(DrainTest, LogMethodChangeAppliesFromTheNextRun) {
  store->mode = FakeDSO::Mode::kLate;
  Queue("to-store");
  process.RunFor(100 * kj::MILLISECONDS);
  Queue("to-file");
  process.logMethod = tofile;
  store->AnswerLate(0);
  process.ws.poll();
  process.RunFor(100 * kj::MILLISECONDS);  // the next tick's run
  EXPECT_EQ(TakenNames(), std::vector<std::string>{"to-store"});
  ASSERT_EQ(process.TextLogLines().size(), 1u);
  EXPECT_EQ(process.TextLogLines()[0].substr(0, 7), "to-file");
}

// A store that can take a run at once gets the queue in bounded runs, in order.
class RunStore : public FakeDSO {
 public:
  kj::Promise<recordkit::TakeResult> AddRecords(recordkit::DTO&, kj::ArrayPtr<const Variant> records) override {
    runSizes.push_back(records.size());
    for (const Variant& r : records) taken.push_back(r);
    return recordkit::TakeResult{records.size(), {}};
  }
  std::vector<size_t> runSizes;
};

TEST_F(DrainTest, QueueIsHandedOverInBoundedRuns) {
  auto runs = std::make_shared<RunStore>();
  process.SetStores(runs, std::make_shared<FakeDTO>());
  const size_t total = kMaxRunRecords * 2 + 5;
  for (size_t i = 0; i < total; ++i) Queue("r" + std::to_string(i));
  // Whole runs waiting bring the tick to the short pause; it goes on while a whole
  // run waits; after those busy runs the rest waits a short pause for more to join
  // it, not a whole tick.
  process.RunFor((kBusyPauseMs - 1) * kj::MILLISECONDS);
  EXPECT_TRUE(runs->runSizes.empty());
  process.RunFor(1 * kj::MILLISECONDS);
  EXPECT_EQ(runs->runSizes, (std::vector<size_t>{kMaxRunRecords, kMaxRunRecords}));
  EXPECT_EQ(Queued(), 5u);
  process.RunFor((kBusyPauseMs - 1) * kj::MILLISECONDS);
  EXPECT_EQ(Queued(), 5u);
  process.RunFor(1 * kj::MILLISECONDS);
  EXPECT_EQ(runs->runSizes, (std::vector<size_t>{kMaxRunRecords, kMaxRunRecords, 5}));
  ASSERT_EQ(runs->taken.size(), total);
  EXPECT_EQ(runs->Field(total - 1, "AppName").string(), "r" + std::to_string(total - 1));
  EXPECT_EQ(Queued(), 0u);

  // After a short run the drain ticks at its interval again.
  for (int i = 0; i < 3; ++i) Queue("s" + std::to_string(i));
  process.RunFor(kBusyPauseMs * kj::MILLISECONDS);
  EXPECT_EQ(Queued(), 3u);
  process.RunFor((kDrainIntervalMs - kBusyPauseMs) * kj::MILLISECONDS);
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(runs->runSizes.size(), 4u);
}

TEST_F(DrainTest, AfterABacklogTheTimerGoesBackToItsIntervalOnceARunIsShort) {
  auto runs = std::make_shared<RunStore>();
  process.SetStores(runs, std::make_shared<FakeDTO>());
  for (size_t i = 0; i < kMaxRunRecords + 2; ++i) Queue("r" + std::to_string(i));
  process.RunFor(kBusyPauseMs * kj::MILLISECONDS);
  EXPECT_EQ(Queued(), 2u);
  // A record arrives during the pause: the short tick's run takes what waited, and,
  // that run being short and the queue then empty, what comes after it waits a
  // whole interval.
  Queue("during the pause");
  process.RunFor(kBusyPauseMs * kj::MILLISECONDS);
  EXPECT_EQ(runs->runSizes, (std::vector<size_t>{kMaxRunRecords, 3}));
  Queue("after");
  process.RunFor(kBusyPauseMs * kj::MILLISECONDS);
  EXPECT_EQ(Queued(), 1u);
  process.RunFor((kDrainIntervalMs - kBusyPauseMs) * kj::MILLISECONDS);
  EXPECT_EQ(Queued(), 0u);
}

TEST_F(DrainTest, AWholeRunQueuedWaitsOnlyTheShortPauseButNotDuringAnOutage) {
  auto runs = std::make_shared<RunStore>();
  process.SetStores(runs, std::make_shared<FakeDTO>());
  // One record short of a whole run: the tick comes at the interval.
  for (size_t i = 0; i + 1 < kMaxRunRecords; ++i) Queue("r" + std::to_string(i));
  process.RunFor(kBusyPauseMs * kj::MILLISECONDS);
  EXPECT_TRUE(runs->runSizes.empty());
  // The record that makes the run whole brings the tick to the short pause from then.
  Queue("whole");
  EXPECT_EQ(process.timers.armed(), 1u);
  process.RunFor((kBusyPauseMs - 1) * kj::MILLISECONDS);
  EXPECT_TRUE(runs->runSizes.empty());
  process.RunFor(1 * kj::MILLISECONDS);
  EXPECT_EQ(runs->runSizes, std::vector<size_t>{kMaxRunRecords});
  EXPECT_EQ(Queued(), 0u);

  // No target takes anything: the retries keep their back-off, whatever is queued.
  process.SetStores(nullptr, nullptr);
  process.logMethod = tofile;
  process.files.FailFromCall(process.files.calls() + 1);
  Queue("kept");
  process.RunFor(kDrainIntervalMs * kj::MILLISECONDS);
  ASSERT_EQ(process.drain.intervalMs(), 2 * kDrainIntervalMs);
  const int tries = process.files.calls();
  for (size_t i = 0; i < kMaxRunRecords; ++i) Queue("behind" + std::to_string(i));
  process.RunFor((2 * kDrainIntervalMs - 1) * kj::MILLISECONDS);
  EXPECT_EQ(process.files.calls(), tries);
  process.files.Heal();
  process.RunFor(1 * kj::MILLISECONDS);
  EXPECT_EQ(process.files.calls(), tries + 1);
  EXPECT_EQ(Queued(), 1u);  // a whole run went; the one after it waits the short pause
  process.RunFor(kBusyPauseMs * kj::MILLISECONDS);
  EXPECT_EQ(Queued(), 0u);
}

// Takes whole runs, each answered when the test says so.
class LateRunStore : public FakeDSO {
 public:
  ~LateRunStore() noexcept override {}
  kj::Promise<recordkit::TakeResult> AddRecords(recordkit::DTO&, kj::ArrayPtr<const Variant> records) override {
    runSizes.push_back(records.size());
    auto answer = kj::newPromiseAndFulfiller<recordkit::TakeResult>();
    pending_ = kj::mv(answer.fulfiller);
    return kj::mv(answer.promise);
  }
  void AnswerAll() { pending_->fulfill(recordkit::TakeResult{runSizes.back(), {}}); }
  std::vector<size_t> runSizes;

 private:
  kj::Own<kj::PromiseFulfiller<recordkit::TakeResult>> pending_;
};

TEST_F(DrainTest, UnderAHeavyStreamWhatArrivesDuringABusyRunWaitsOnlyAShortPause) {
  auto runs = std::make_shared<LateRunStore>();
  process.SetStores(runs, std::make_shared<FakeDTO>());
  // A tick's run as a heavy stream makes it; more arrives while the store answers.
  for (size_t i = 0; i < kBusyRunRecords; ++i) Queue("heavy" + std::to_string(i));
  process.RunFor(kDrainIntervalMs * kj::MILLISECONDS);
  ASSERT_EQ(runs->runSizes, std::vector<size_t>{kBusyRunRecords});
  for (int i = 0; i < 5; ++i) Queue("during" + std::to_string(i));
  runs->AnswerAll();
  process.ws.poll();
  process.RunFor((kBusyPauseMs - 1) * kj::MILLISECONDS);
  EXPECT_EQ(runs->runSizes.size(), 1u);
  process.RunFor(1 * kj::MILLISECONDS);
  ASSERT_EQ(runs->runSizes, (std::vector<size_t>{kBusyRunRecords, 5}));

  // A light stream: what arrives during a short run waits for the next tick.
  Queue("light");
  runs->AnswerAll();
  process.ws.poll();
  EXPECT_EQ(Queued(), 1u);
  process.RunFor(kBusyPauseMs * kj::MILLISECONDS);
  EXPECT_EQ(runs->runSizes.size(), 2u);
  process.RunFor((kDrainIntervalMs - kBusyPauseMs) * kj::MILLISECONDS);
  ASSERT_EQ(runs->runSizes, (std::vector<size_t>{kBusyRunRecords, 5, 1}));
  runs->AnswerAll();
  process.ws.poll();
  EXPECT_EQ(Queued(), 0u);
}

TEST_F(DrainTest, RunsAreBoundedByBytesTooButTakeAtLeastOneRecord) {
  auto runs = std::make_shared<RunStore>();
  process.SetStores(runs, std::make_shared<FakeDTO>());
  const std::string big(kMaxRunBytes / 2 - 4096, 'x');  // two fit in one run, with their packing
  for (int i = 0; i < 3; ++i) process.Queue(testing::MakeRecord({{"AddlText", Variant::String(big)}}));
  process.Queue(testing::MakeRecord({{"AddlText", Variant::String(std::string(kMaxRunBytes + 10, 'y'))}}));
  process.RunFor(100 * kj::MILLISECONDS);
  // Two halves fill a run; the third would pass the bound with the big one, and a
  // record larger than the bound still goes, alone.
  EXPECT_EQ(runs->runSizes, (std::vector<size_t>{2, 1, 1}));
  EXPECT_EQ(Queued(), 0u);
}

// In the style of SQLite's I/O-error tests: for N = 1, 2, 3 ... the Nth append to the
// text log fails, once and then from N on until healed; every record still lands in
// the text log exactly once, in order, and no line is torn.
TEST(DrainFaultSweep, EveryRecordOnceInOrderWhateverTextLogAppendFails) {
  for (bool persistent : {false, true}) {
    for (int n = 1; n <= 6; ++n) {
      SCOPED_TRACE((persistent ? "from append " : "append ") + std::to_string(n));
      testing::WriterRig rig;
      rig.logMethod = tofile;
      if (persistent) {
        rig.files.FailFromCall(n);
      } else {
        rig.files.FailCallOnce(n);
      }
      std::vector<std::string> expected;
      for (int i = 0; i < 40; ++i) {
        expected.push_back("r" + std::to_string(i));
        rig.Queue(testing::MakeRecord({{"AppName", Variant::String(expected.back())}}));
        if (i % 7 == 0) rig.RunFor(100 * kj::MILLISECONDS);  // records arrive across several drains
      }
      rig.RunFor(3 * kj::SECONDS);
      rig.files.Heal();
      rig.RunFor(31 * kj::SECONDS);
      ASSERT_EQ(rig.drain.queued(), 0u);
      std::vector<std::string> names;
      for (const std::string& line : rig.TextLogLines()) {
        EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), kTextLogColumns - 1) << line;
        names.push_back(line.substr(0, line.find('\t')));
      }
      EXPECT_EQ(names, expected);
    }
  }
}

// The same with the store failing the Nth call in each of its ways, the text log
// down as well, so that records wait in the queue until the store heals.
TEST(DrainFaultSweep, EveryRecordOnceInOrderWhateverStoreCallFails) {
  for (FakeDSO::Mode mode : {FakeDSO::Mode::kRefuse, FakeDSO::Mode::kRaise}) {
    for (int n = 1; n <= 6; ++n) {
      SCOPED_TRACE(std::string(mode == FakeDSO::Mode::kRaise ? "raise" : "refuse") + " from call " +
                   std::to_string(n));
      testing::WriterRig rig;
      rig.UseTextLog(rig.homeDir / "gone/Ledgwk.log");
      auto store = std::make_shared<FakeDSO>();
      rig.SetStores(nullptr, nullptr, store, std::make_shared<FakeDTO>());
      std::vector<std::string> expected;
      for (int i = 0; i < 20; ++i) {
        if (store->calls + 1 >= n) store->mode = mode;  // from the Nth call on
        expected.push_back("r" + std::to_string(i));
        rig.Queue(testing::MakeRecord({{"AppName", Variant::String(expected.back())}}));
        rig.RunFor(100 * kj::MILLISECONDS);
      }
      rig.RunFor(5 * kj::SECONDS);
      store->mode = FakeDSO::Mode::kTake;
      rig.RunFor(31 * kj::SECONDS);
      ASSERT_EQ(rig.drain.queued(), 0u);
      std::vector<std::string> names;
      for (size_t i = 0; i < store->taken.size(); ++i) names.push_back(store->Field(i, "AppName").string());
      EXPECT_EQ(names, expected);
    }
  }
}

// Each retry of an outage meets the same fault; it is entered once, with its count
// when the outage ends, instead of once per try.
TEST(DrainBound, AQueueAtItsBoundRefusesWith7AndTakesRecordsAgainOnceDrained) {
  const Variant record = testing::MakeRecord({{"AppName", Variant::String("bounded")}});
  const size_t cost = ErrorBuffer::Cost(record);
  testing::WriterRig process(3 * cost);
  auto store = std::make_shared<FakeDSO>();
  process.SetStores(store, std::make_shared<FakeDTO>());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(process.drain.Append(record).ok()) << i;
  EXPECT_EQ(process.drain.queuedBytes(), 3 * cost);

  const automation::Status refused = process.drain.Append(record);
  EXPECT_EQ(refused.number, 7);
  EXPECT_EQ(refused.description, "Out of memory");
  EXPECT_EQ(process.drain.queued(), 3u);  // nothing of it was taken in

  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(store->taken.size(), 3u);
  EXPECT_EQ(process.drain.queuedBytes(), 0u);
  EXPECT_TRUE(process.drain.Append(record).ok());
}

TEST_F(DrainTest, AFaultThatRepeatsDuringAnOutageIsEnteredOnceWithItsCount) {
  process.SetStores(nullptr, nullptr);
  process.logMethod = tofile;
  process.files.FailFromCall(1);
  Queue("kept");
  process.RunFor(100 * kj::MILLISECONDS + 200 * kj::MILLISECONDS + 400 * kj::MILLISECONDS);
  EXPECT_EQ(process.files.calls(), 3);
  const std::string diskFull = "Disk full (" + process.textLogPath + ")";
  EXPECT_EQ(process.Faults(), std::vector<std::string>{diskFull});
  process.files.Heal();
  process.RunFor(800 * kj::MILLISECONDS);
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(process.Faults(), (std::vector<std::string>{diskFull, diskFull + " (repeated 2 times)"}));

  // A new outage is entered afresh.
  process.files.FailCallOnce(process.files.calls() + 1);
  Queue("again");
  process.RunFor(100 * kj::MILLISECONDS);
  process.RunFor(200 * kj::MILLISECONDS);
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(process.Faults().size(), 3u);
  EXPECT_EQ(process.Faults().back(), diskFull);
}

// An outage that lasts until the process ends still has its count entered.
TEST(RepeatedFaultsTest, CountsAreEnteredWhenTheSourceGoesAway) {
  testing::WriterRig rig;
  {
    RepeatedFaults outage(rig.faultLog);
    for (int i = 0; i < 3; ++i) outage.Report("Disk full");
    outage.Report("Path not found");
    EXPECT_EQ(rig.Faults(), (std::vector<std::string>{"Disk full", "Path not found"}));
  }
  EXPECT_EQ(rig.Faults(), (std::vector<std::string>{"Disk full", "Path not found", "Disk full (repeated 2 times)"}));
}

}  // namespace
}  // namespace ledgerwick
