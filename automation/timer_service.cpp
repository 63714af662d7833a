#include "automation/timer_service.h"

#include <cstdio>
#include <limits>
#include <utility>

#include <kj/exception.h>

#include "automation/automation_error.h"

namespace automation {

// One armed timer. Shared between the id map and the timer's running loop, so a
// callback that destroys its own timer does not free what is executing it.
struct TimerService::Armed {
  Armed(kj::Duration interval, std::function<void()> callback,
        kj::PromiseFulfillerPair<void> stop)
      : interval(interval),
        callback(std::move(callback)),
        stopped(stop.promise.fork()),
        stopper(kj::mv(stop.fulfiller)) {}

  const kj::Duration interval;
  const std::function<void()> callback;
  // False from Destroy on; checked after every wait and after every callback.
  bool alive = true;
  // Resolves when the timer is destroyed and ends the pending wait.
  kj::ForkedPromise<void> stopped;
  kj::Own<kj::PromiseFulfiller<void>> stopper;
};

void TimerService::ErrorHandler::taskFailed(kj::Exception&& exception) {
  std::fprintf(stderr, "ledgerwickd: timer callback failed: %s\n",
               exception.getDescription().cStr());
  std::fflush(stderr);
}

TimerService::TimerService(kj::Timer& timer, int32_t firstId)
    : timer_(timer), nextId_(firstId < 1 ? 1 : firstId), tasks_(errorHandler_) {}

// tasks_ is destroyed before timers_ (reverse order of declaration), which cancels
// every pending wait before the timers it refers to go.
TimerService::~TimerService() {
  for (auto& entry : timers_) entry.second->alive = false;
}

int32_t TimerService::Create(int32_t intervalMs, std::function<void()> callback) {
  if (!callback) throw AutomationError(err::kInvalidProcedureCall);
  // A zero or negative interval would spin the loop; the shortest interval is 1 ms.
  const int64_t ms = intervalMs < 1 ? 1 : intervalMs;
  auto armed = std::make_shared<Armed>(ms * kj::MILLISECONDS, std::move(callback),
                                       kj::newPromiseAndFulfiller<void>());
  // The first wait is set up before the timer is counted: a Create that raises
  // leaves no timer behind that is armed in name only.
  kj::Promise<void> loop = Loop(armed);
  const int32_t id = TakeFreeId();
  timers_.emplace(id, std::move(armed));
  try {
    tasks_.add(kj::mv(loop));
  } catch (...) {
    timers_.erase(id);
    throw;
  }
  return id;
}

int32_t TimerService::TakeFreeId() {
  // Ids count up and wrap after 2^31 - 1 creations (years of steady logging), passing
  // over the ids of timers still armed, so a live id is never handed out twice.
  while (timers_.count(nextId_) != 0) {
    nextId_ = nextId_ == std::numeric_limits<int32_t>::max() ? 1 : nextId_ + 1;
  }
  const int32_t id = nextId_;
  nextId_ = nextId_ == std::numeric_limits<int32_t>::max() ? 1 : nextId_ + 1;
  return id;
}

bool TimerService::Destroy(int32_t id) {
  auto found = timers_.find(id);
  if (found == timers_.end()) return false;
  std::shared_ptr<Armed> armed = std::move(found->second);
  timers_.erase(found);
  armed->alive = false;
  armed->stopper->fulfill();
  return true;
}

// Waits one interval (or until destroyed), runs the callback, and goes round again.
// kj shortens the chain at each round, so a long-lived timer does not pile up promises.
kj::Promise<void> TimerService::Loop(std::shared_ptr<Armed> armed) {
  auto fired = timer_.afterDelay(armed->interval).then([]() { return true; });
  auto stopped = armed->stopped.addBranch().then([]() { return false; });
  return fired.exclusiveJoin(kj::mv(stopped))
      .then([this, armed = std::move(armed)](bool fired) mutable -> kj::Promise<void> {
        if (!fired || !armed->alive) return kj::READY_NOW;
        // A throwing callback is reported and its timer keeps running, as the
        // platform timer would.
        KJ_IF_MAYBE(exception, kj::runCatchingExceptions([&]() { armed->callback(); })) {
          errorHandler_.taskFailed(kj::mv(*exception));
        }
        if (!armed->alive) return kj::READY_NOW;
        return Loop(std::move(armed));
      });
}

}  // namespace automation
