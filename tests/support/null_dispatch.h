#pragma once
// An object for tests that need an object reference and nothing more: every
// late-bound call answers Empty.

#include <string>
#include <vector>

#include "automation/dispatch.h"
#include "automation/variant.h"

namespace ledgerwick::testing {

class NullDispatch : public automation::Dispatch {
 public:
  kj::Promise<automation::Variant> Invoke(automation::DispId, uint16_t,
                                          std::vector<automation::Variant>&) override {
    return automation::Variant();
  }
  std::vector<automation::DispId> GetIDsOfNames(const std::vector<std::string>&) override { return {}; }
};

}  // namespace ledgerwick::testing
