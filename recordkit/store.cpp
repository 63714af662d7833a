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
  return kj::evalNow([&]() { return run->dso.AddRecord(run->dto, run->records[run->next], ""); })
      .then([run](int32_t number) -> kj::Promise<TakeResult> {
        if (number != 0) return TakeResult{run->next, automation::Status::Error(number)};
        ++run->next;
        return AddFrom(run);
      });
}

}  // namespace

kj::Promise<TakeResult> DSO::AddRecords(DTO& dto, kj::ArrayPtr<const automation::Variant> records) {
  return AddFrom(std::make_shared<OneByOne>(OneByOne{*this, dto, records}));
}

}  // namespace recordkit
