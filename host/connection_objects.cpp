#include "host/connection_objects.h"

#include <string>

#include "automation/automation_error.h"

namespace ledgerwick::host {

ConnectionObjects::Slot ConnectionObjects::Take(const std::shared_ptr<ConnectionObjects>& objects) {
  if (objects->live_ >= objects->max_) {
    throw automation::AutomationError(automation::err::kOutOfMemory,
                                      "Out of memory: one connection may hold at most " +
                                          std::to_string(objects->max_) + " Application objects");
  }
  ++objects->live_;
  return Slot(objects);
}

}  // namespace ledgerwick::host
