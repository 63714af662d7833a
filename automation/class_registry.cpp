#include "automation/class_registry.h"

#include <utility>

#include "automation/ascii_text.h"
#include "automation/automation_error.h"

namespace automation {

namespace {
// Program identifiers are ASCII; other bytes are kept as they are.
std::string Fold(const std::string& progId) {
  std::string folded = progId;
  for (char& c : folded) c = LowerAscii(c);
  return folded;
}
}  // namespace

void ClassRegistry::Register(const std::string& progId, Factory factory) {
  factories_[Fold(progId)] = std::move(factory);
}

std::shared_ptr<Unknown> ClassRegistry::Create(const std::string& progId) const {
  auto found = factories_.find(Fold(progId));
  if (found == factories_.end() || !found->second) {
    throw AutomationError(err::kCantCreateObject);
  }
  std::shared_ptr<Unknown> object = found->second();
  if (!object) throw AutomationError(err::kCantCreateObject);
  return object;
}

}  // namespace automation
