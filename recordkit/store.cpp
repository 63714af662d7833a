#include "recordkit/store.h"

#include <memory>

#include "automation/automation_error.h"

namespace recordkit {

namespace {

struct OneByOne {
  DSO& dso;
  DTO& dto;
  kj::ArrayPtr<const automation::Variant> records;
  size_t next = 0;
};

kj::Promise<TakeResult> AddFrom(std::shared_ptr<OneByOne> run) {
  if (run->next == run->records.size()) return TakeResult{run->next, {}};
  kj::Promise<int32_t> added = nullptr;
  try {
    added = run->dso.AddRecord(run->dto, run->records[run->next], "");
  } catch (const automation::AutomationError& e) {
    // Caught here, where its number is still a number.
    return TakeResult{run->next, {e.number(), e.description()}, true};
  }
  return added.then(
      [run](int32_t number) -> kj::Promise<TakeResult> {
        if (number != 0) return TakeResult{run->next, automation::Status::Error(number)};
        ++run->next;
        return AddFrom(run);
      },
      [run](kj::Exception&& e) -> kj::Promise<TakeResult> {
        return TakeResult{run->next, {automation::err::kAutomationError, e.getDescription().cStr()}, true};
      });
}

}  // namespace

kj::Promise<TakeResult> DSO::AddRecords(DTO& dto, kj::ArrayPtr<const automation::Variant> records) {
  return AddFrom(std::make_shared<OneByOne>(OneByOne{*this, dto, records}));
}

}  // namespace recordkit
