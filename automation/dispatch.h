#pragma once
// Late-bound calls by dispatch id: what every object that a Variant can hold supports.

#include <cstdint>
#include <string>
#include <vector>

#include <kj/async.h>

#include "automation/unknown.h"

namespace automation {

class Variant;

using DispId = int32_t;

// How a member is reached through Invoke.
namespace dispatch_flags {
constexpr uint16_t kMethod = 1;
constexpr uint16_t kPropertyGet = 2;
constexpr uint16_t kPropertyPut = 4;
constexpr uint16_t kPropertyPutRef = 8;
}  // namespace dispatch_flags

class Dispatch : public Unknown {
 public:
  // Calls the member `dispId` with `args` in declaration order; the value of a property
  // put is the last argument. Arguments are in/out: a by-reference parameter may change
  // the caller's Variant. Fails with AutomationError (438 for an unknown id or an access
  // the member lacks, 450 for a wrong argument count, 13 for an argument that cannot be
  // coerced). The result is Empty for a member without one.
  virtual kj::Promise<Variant> Invoke(DispId dispId, uint16_t flags, std::vector<Variant>& args) = 0;

  // Maps member names, matched without regard to case, to dispatch ids; an unknown
  // name fails with 438.
  virtual std::vector<DispId> GetIDsOfNames(const std::vector<std::string>& names) = 0;
};

}  // namespace automation
