#include "automation/blocking_worker.h"

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <kj/async.h>
#include <kj/debug.h>
#include <kj/timer.h>
#include <kj/vector.h>

namespace automation {
namespace {

// kj's loop and timer have throwing destructors, which a fixture's may not: they
// live behind a pointer.
struct Harness {
  kj::EventLoop loop;
  kj::WaitScope ws{loop};
  kj::TimerImpl timer{kj::origin<kj::TimePoint>()};
};

class BlockingWorkerTest : public ::testing::Test {
 protected:
  std::unique_ptr<Harness> harness = std::make_unique<Harness>();
  kj::WaitScope& ws = harness->ws;
  kj::TimerImpl& timer = harness->timer;
};

TEST_F(BlockingWorkerTest, InlineWorkerRunsTheWorkAtOnceOnTheCallersThread) {
  InlineWorker worker;
  std::thread::id ranOn;
  auto done = worker.Run([&] { ranOn = std::this_thread::get_id(); });
  EXPECT_EQ(ranOn, std::this_thread::get_id());  // before the loop has run at all
  EXPECT_TRUE(done.poll(ws));
  done.wait(ws);
}

TEST_F(BlockingWorkerTest, AFailureOfTheWorkRejectsThePromise) {
  InlineWorker inlineWorker;
  WorkerThread workerThread;
  for (BlockingWorker* worker : {static_cast<BlockingWorker*>(&inlineWorker), static_cast<BlockingWorker*>(&workerThread)}) {
    auto failed = worker->Run([] { KJ_FAIL_REQUIRE("the disk went away"); });
    try {
      failed.wait(ws);
      ADD_FAILURE() << "the promise resolved";
    } catch (const kj::Exception& e) {
      EXPECT_NE(std::string(e.getDescription().cStr()).find("the disk went away"), std::string::npos);
    }
    // The worker goes on with the next item.
    bool ran = false;
    worker->Run([&] { ran = true; }).wait(ws);
    EXPECT_TRUE(ran);
  }
}

TEST_F(BlockingWorkerTest, WorkerThreadRunsTheWorkOnAnotherThreadAndAnswersOnTheLoop) {
  WorkerThread worker;
  std::thread::id ranOn;
  std::thread::id answeredOn;
  worker.Run([&] { ranOn = std::this_thread::get_id(); })
      .then([&] { answeredOn = std::this_thread::get_id(); })
      .wait(ws);
  EXPECT_NE(ranOn, std::thread::id());
  EXPECT_NE(ranOn, std::this_thread::get_id());
  EXPECT_EQ(answeredOn, std::this_thread::get_id());
}

TEST_F(BlockingWorkerTest, ItemsRunOneAtATimeInTheOrderHandedOver) {
  WorkerThread worker;
  constexpr int kItems = 200;
  std::vector<int> ran;        // touched only by the work while it is in hand
  std::vector<int> answered;   // touched only on the loop
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  kj::Vector<kj::Promise<void>> done;
  for (int i = 0; i < kItems; ++i) {
    done.add(worker.Run([&, i] {
                     if (running.fetch_add(1) != 0) overlapped = true;
                     ran.push_back(i);
                     running.fetch_sub(1);
                   }).then([&, i] { answered.push_back(i); }));
  }
  kj::joinPromises(done.releaseAsArray()).wait(ws);
  std::vector<int> inOrder;
  for (int i = 0; i < kItems; ++i) inOrder.push_back(i);
  EXPECT_EQ(ran, inOrder);
  EXPECT_EQ(answered, inOrder);
  EXPECT_FALSE(overlapped);
}

TEST_F(BlockingWorkerTest, TheLoopServesOtherEventsWhileTheWorkIsBlocked) {
  WorkerThread worker;
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  bool workDone = false;
  auto work = worker.Run([&] {
                      entered.set_value();
                      released.wait();  // blocked until the loop's thread lets it go
                    }).then([&] { workDone = true; });
  entered.get_future().wait();  // the work is now in hand and blocked

  // Other work of the loop: a chain of events and a timer tick, all served while the
  // work stays blocked.
  int steps = 0;
  std::function<kj::Promise<void>()> chain = [&]() -> kj::Promise<void> {
    if (++steps == 10) return kj::READY_NOW;
    return kj::evalLater(chain);
  };
  auto chained = kj::evalLater(chain);
  bool ticked = false;
  auto tick = timer.afterDelay(100 * kj::MILLISECONDS).then([&] { ticked = true; });
  ws.poll();
  timer.advanceTo(timer.now() + 100 * kj::MILLISECONDS);
  chained.wait(ws);
  tick.wait(ws);
  EXPECT_EQ(steps, 10);
  EXPECT_TRUE(ticked);
  EXPECT_FALSE(workDone);

  release.set_value();
  work.wait(ws);
  EXPECT_TRUE(workDone);
}

TEST_F(BlockingWorkerTest, AWorkerThreadWithNothingInHandStopsAtOnce) {
  for (int i = 0; i < 3; ++i) {
    WorkerThread worker;
  }
}

TEST_F(BlockingWorkerTest, AWorkerThreadStopsAfterItsWork) {
  int ran = 0;
  {
    WorkerThread worker;
    worker.Run([&] { ++ran; }).wait(ws);
  }
  EXPECT_EQ(ran, 1);

  // Work still in hand when the worker goes: it runs to its end first, and its
  // answers reach the loop afterwards.
  std::vector<int> order;
  kj::Vector<kj::Promise<void>> done;
  {
    WorkerThread worker;
    for (int i = 0; i < 20; ++i) done.add(worker.Run([&, i] { order.push_back(i); }));
  }
  EXPECT_EQ(order.size(), 20u);
  kj::joinPromises(done.releaseAsArray()).wait(ws);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i], i);
}

}  // namespace
}  // namespace automation
