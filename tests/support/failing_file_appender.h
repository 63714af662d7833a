#pragma once
// A file appender that fails chosen calls, for tests of what a component does when a
// file cannot be written: the Nth call once, or every call from the Nth on until
// healed. Calls it does not fail go through to the appender it wraps.

#include <cstdint>
#include <string>
#include <string_view>

#include "automation/automation_error.h"
#include "automation/file_appender.h"
#include "automation/status.h"

namespace ledgerwick::testing {

class FailingFileAppender final : public automation::FileAppender {
 public:
  // "real" must remain live while this appender is in use.
  explicit FailingFileAppender(automation::FileAppender& real) : real_(real) {}
  FailingFileAppender(const FailingFileAppender&) = delete;
  FailingFileAppender& operator=(const FailingFileAppender&) = delete;

  // Calls are numbered from 1 over the appender's life (see calls()). Each of these
  // replaces the plan before it.
  // The call numbered `n` fails with `number`; the calls after it go through.
  void FailCallOnce(int n, int32_t number = automation::err::kDiskFull) {
    plan_ = {n, false, number};
  }
  // Every call from the one numbered `n` on fails with `number`, until Heal().
  void FailFromCall(int n, int32_t number = automation::err::kDiskFull) {
    plan_ = {n, true, number};
  }
  // Calls from now on go through.
  void Heal() { plan_ = {}; }

  // How many calls were made, failed ones included.
  int calls() const { return calls_; }

  // A failing call writes nothing and answers `number` with its standard description.
  automation::Status Append(const std::string& path, std::string_view data) override {
    ++calls_;
    bool fails = plan_.from > 0 && (plan_.onward ? calls_ >= plan_.from : calls_ == plan_.from);
    if (fails) return automation::Status::Error(plan_.number);
    return real_.Append(path, data);
  }

 private:
  struct Plan {
    int from = 0;  // 0: no call fails
    bool onward = false;
    int32_t number = 0;
  };

  automation::FileAppender& real_;
  Plan plan_;
  int calls_ = 0;
};

}  // namespace ledgerwick::testing
