#pragma once
// A log store as a target of the record writer: its DSO and DTO, as start-up left
// them.

#include <memory>
#include <string>

#include "recordkit/store.h"
#include "writer/fault_log.h"
#include "writer/log_target.h"

namespace ledgerwick {

class StoreTarget final : public LogTarget {
 public:
  // `dso` and `dto` are the slots that start-up's store openers fill; they are read
  // at every run and never changed here, and must outlive the target. Either may be
  // empty: the store then counts as absent (91) and is not called. `name` ("network
  // store", "local store") ends its fault entries, so that they say which store.
  StoreTarget(const std::shared_ptr<recordkit::DSO>& dso, const std::shared_ptr<recordkit::DTO>& dto,
              FaultLog& faults, std::string name)
      : dso_(dso), dto_(dto), faults_(faults), name_(std::move(name)) {}

  // A store that refuses is passed over silently, as one that is absent. A store
  // whose call fails outright is passed over too, after a fault entry with the
  // error's description (once per outage of this store).
  kj::Promise<TakeResult> Take(kj::ArrayPtr<const automation::Variant> run) override;

 private:
  const std::shared_ptr<recordkit::DSO>& dso_;
  const std::shared_ptr<recordkit::DTO>& dto_;
  RepeatedFaults faults_;
  const std::string name_;
};

}  // namespace ledgerwick
