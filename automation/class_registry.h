#pragma once
// Object creation from a program identifier, such as "Recordkit.SqliteDSO".

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "automation/unknown.h"

namespace automation {

class ClassRegistry {
 public:
  using Factory = std::function<std::shared_ptr<Unknown>()>;

  // Registers (or replaces) the class under `progId`; identifiers match without
  // regard to case.
  void Register(const std::string& progId, Factory factory);

  // Creates an object of the named class. An unknown identifier, or a factory that
  // yields nothing, raises 429 "Component can't create object".
  std::shared_ptr<Unknown> Create(const std::string& progId) const;

  // Creates an object and takes it as T; an object of another kind raises 13.
  template <typename T>
  std::shared_ptr<T> CreateAs(const std::string& progId) const;

 private:
  std::map<std::string, Factory> factories_;  // keyed by the lower-case identifier
};

}  // namespace automation

#include "automation/automation_error.h"

namespace automation {
template <typename T>
std::shared_ptr<T> ClassRegistry::CreateAs(const std::string& progId) const {
  auto object = std::dynamic_pointer_cast<T>(Create(progId));
  if (!object) throw AutomationError(err::kTypeMismatch);
  return object;
}
}  // namespace automation
