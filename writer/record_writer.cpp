#include "writer/record_writer.h"

#include <string>

#include <kj/debug.h>

#include "automation/automation_error.h"

namespace ledgerwick {

void RecordWriter::SetTargets(kj::Own<LogTarget> network, kj::Own<LogTarget> local, kj::Own<LogTarget> textLog) {
  network_ = kj::mv(network);
  local_ = kj::mv(local);
  textLog_ = kj::mv(textLog);
}

LogTarget* RecordWriter::TargetOf(Stage stage) {
  switch (stage) {
    case kNetwork: return network_.get();
    case kLocal: return local_.get();
    case kText: return textLog_.get();
  }
  return nullptr;
}

void RecordWriter::Count(Stage stage, size_t taken, size_t notTaken) {
  switch (stage) {
    case kNetwork:
      counters_.toNetworkStore += taken;
      counters_.notTakenByNetworkStore += notTaken;
      break;
    case kLocal:
      counters_.toLocalStore += taken;
      counters_.notTakenByLocalStore += notTaken;
      break;
    case kText:
      counters_.toTextLog += taken;
      counters_.notTakenByTextLog += notTaken;
      break;
  }
}

kj::Promise<TakeResult> RecordWriter::TakeFrom(Stage stage, kj::ArrayPtr<const automation::Variant> run,
                                               size_t done) {
  LogTarget* target = TargetOf(stage);
  kj::Promise<TakeResult> taken = nullptr;
  if (target == nullptr) {
    taken = TakeResult{0, automation::Status::Error(automation::err::kObjectNotSet)};
  } else {
    // A target that fails outright (a bug, no memory) takes nothing of what is left;
    // what the targets before it took stays taken.
    auto failed = [this](const std::string& description) {
      faults_.Report(description);
      return TakeResult{0, {automation::err::kAutomationError, description}, true};
    };
    try {
      taken = target->Take(run.slice(done, run.size())).catch_([failed](kj::Exception&& e) {
        return failed(e.getDescription().cStr());
      });
    } catch (const automation::AutomationError& e) {
      taken = failed(e.description());
    } catch (const std::exception& e) {
      taken = failed(e.what());
    }
  }
  const bool present = target != nullptr;
  return taken.then([this, stage, run, done, present](TakeResult result) -> kj::Promise<TakeResult> {
    KJ_ASSERT(result.taken <= run.size() - done, "a target took more records than it was handed");
    Count(stage, result.taken, present ? run.size() - done - result.taken : 0);
    result.taken += done;
    if (result.taken == run.size() || stage == kText) return kj::mv(result);
    return TakeFrom(static_cast<Stage>(stage + 1), run, result.taken);
  });
}

kj::Promise<TakeResult> RecordWriter::WriteRecord(int32_t logMethod, kj::ArrayPtr<const automation::Variant> run) {
  if (logMethod == toDatabase) return TakeFrom(kNetwork, run, 0);
  if (logMethod == tofile) return TakeFrom(kText, run, 0);
  // No method sends anything elsewhere; the records are kept in the text log.
  return TakeFrom(kText, run, 0).then([this](TakeResult result) {
    for (size_t i = 0; i < result.taken; ++i) faults_.Report("Invalid Log Method");
    return result;
  });
}

}  // namespace ledgerwick
