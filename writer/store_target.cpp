#include "writer/store_target.h"

#include "automation/automation_error.h"

namespace ledgerwick {

kj::Promise<TakeResult> StoreTarget::Take(kj::ArrayPtr<const automation::Variant> run) {
  if (!dso_ || !dto_) return TakeResult{0, automation::Status::Error(automation::err::kObjectNotSet)};
  // Held for the call: the slots are never cleared, but the objects must outlive it.
  auto dso = dso_;
  auto dto = dto_;
  kj::Promise<TakeResult> added = nullptr;
  try {
    added = dso->AddRecords(*dto, run).attach(kj::mv(dso), kj::mv(dto));
  } catch (const automation::AutomationError& e) {
    added = TakeResult{0, {e.number(), e.description()}, true};
  }
  return added
      .catch_([](kj::Exception&& e) {
        return TakeResult{0, {automation::err::kAutomationError, e.getDescription().cStr()}, true};
      })
      .then([this](TakeResult result) {
        if (result.taken > 0) faults_.End();
        if (result.raised) {
          if (result.status.number == 0) result.status = automation::Status::Error(automation::err::kAutomationError);
          faults_.Report(result.status.description + " (" + name_ + ")");
        }
        return result;
      });
}

}  // namespace ledgerwick
