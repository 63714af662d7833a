#include "automation/status.h"

#include "automation/automation_error.h"

namespace automation {

Status Status::Error(int32_t number) { return {number, StandardDescription(number)}; }

}  // namespace automation
