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

void ConnectionObjects::Made(const std::shared_ptr<Application>& application) {
  // Entries of objects already gone are dropped now and then, so that a client that
  // creates and releases without end does not grow the list.
  if (made_.size() >= 2 * static_cast<size_t>(max_)) {
    std::erase_if(made_, [](const std::weak_ptr<Application>& entry) { return entry.expired(); });
  }
  made_.push_back(application);
}

void ConnectionObjects::ReleaseHeld() {
  std::vector<std::weak_ptr<Application>> made = std::move(made_);
  made_.clear();
  for (const std::weak_ptr<Application>& entry : made) {
    if (std::shared_ptr<Application> application = entry.lock()) application->ReleaseHeldObjects();
  }
}

}  // namespace ledgerwick::host
