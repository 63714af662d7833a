#pragma once
// A kj::Timer that passes every wait on to another timer (the manual one) and can
// refuse one wait on demand, as when a wait cannot be set up for want of memory.

#include <optional>

#include <kj/timer.h>

#include "automation/automation_error.h"

namespace ledgerwick::testing {

class FlakyTimer : public kj::Timer {
 public:
  explicit FlakyTimer(kj::Timer& inner) : inner_(inner) {}

  // The next wait of exactly `delay` raises error 7 instead of waiting.
  void FailNextWaitOf(kj::Duration delay) { failDelay_ = delay; }

  kj::TimePoint now() const override { return inner_.now(); }
  kj::Promise<void> atTime(kj::TimePoint time) override {
    Check(time - inner_.now());
    return inner_.atTime(time);
  }
  kj::Promise<void> afterDelay(kj::Duration delay) override {
    Check(delay);
    return inner_.afterDelay(delay);
  }

 private:
  void Check(kj::Duration delay) {
    if (failDelay_ && *failDelay_ == delay) {
      failDelay_.reset();
      throw automation::AutomationError(automation::err::kOutOfMemory);
    }
  }

  kj::Timer& inner_;
  std::optional<kj::Duration> failDelay_;
};

}  // namespace ledgerwick::testing
