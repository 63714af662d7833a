#include "host/idle_watch.h"

#include <algorithm>
#include <memory>

namespace ledgerwick::host {

namespace {

struct Watch {
  kj::Timer& timer;
  std::function<bool()> isIdle;
  kj::Duration idleFor;
  kj::Duration step;
  kj::Maybe<kj::TimePoint> idleSince;
};

kj::Promise<void> Check(std::shared_ptr<Watch> watch) {
  kj::TimePoint now = watch->timer.now();
  if (!watch->isIdle()) {
    watch->idleSince = nullptr;
  } else {
    KJ_IF_MAYBE(since, watch->idleSince) {
      if (now - *since >= watch->idleFor) return kj::READY_NOW;
    } else {
      watch->idleSince = now;
      if (watch->idleFor <= 0 * kj::SECONDS) return kj::READY_NOW;
    }
  }
  return watch->timer.afterDelay(watch->step).then([watch]() { return Check(watch); });
}

}  // namespace

kj::Promise<void> WaitUntilIdle(kj::Timer& timer, std::function<bool()> isIdle, kj::Duration idleFor) {
  kj::Duration step = std::max(std::min(100 * kj::MILLISECONDS, idleFor), 1 * kj::MILLISECONDS);
  auto watch = std::make_shared<Watch>(Watch{timer, std::move(isIdle), idleFor, step, nullptr});
  return Check(std::move(watch));
}

}  // namespace ledgerwick::host
