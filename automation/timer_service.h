#pragma once
// Repeating timers on the kj event loop, handed out by id, standing in for
// SetTimer/KillTimer. Callbacks run on the loop's thread between other events.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include <kj/async.h>
#include <kj/timer.h>

namespace automation {

class TimerService {
 public:
  // `timer` must outlive the service: the event port's timer in the daemon,
  // a kj::TimerImpl driven by hand in tests.
  // `firstId` lets tests start the ids near their wrap.
  explicit TimerService(kj::Timer& timer, int32_t firstId = 1);
  ~TimerService();
  TimerService(const TimerService&) = delete;
  TimerService& operator=(const TimerService&) = delete;

  // Creates a timer that calls `callback` every `intervalMs` milliseconds (at least 1)
  // until destroyed. Answers a non-zero id that no armed timer holds.
  int32_t Create(int32_t intervalMs, std::function<void()> callback);

  // Stops the timer. False for an unknown or already destroyed id. A callback may
  // destroy its own timer.
  bool Destroy(int32_t id);

  // How many timers are armed.
  size_t armed() const { return timers_.size(); }

  kj::Timer& timer() { return timer_; }

 private:
  struct Armed;
  kj::Promise<void> Loop(std::shared_ptr<Armed> armed);
  int32_t TakeFreeId();

  class ErrorHandler : public kj::TaskSet::ErrorHandler {
   public:
    void taskFailed(kj::Exception&& exception) override;
  };

  kj::Timer& timer_;
  int32_t nextId_ = 1;
  std::map<int32_t, std::shared_ptr<Armed>> timers_;
  ErrorHandler errorHandler_;
  kj::TaskSet tasks_;
};

}  // namespace automation
