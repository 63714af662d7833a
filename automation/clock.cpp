#include "automation/clock.h"

#include <ctime>

#include "automation/automation_error.h"
#include "automation/date_scale.h"

namespace automation {

double SystemClock::Now() const {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (now == static_cast<std::time_t>(-1) || localtime_r(&now, &local) == nullptr) {
    throw AutomationError(err::kOverflow);
  }
  auto day = DateSerial({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday});
  if (!day) throw AutomationError(err::kOverflow);
  // A leap second (tm_sec == 60) is shown as the last second of its minute.
  int second = local.tm_sec > 59 ? 59 : local.tm_sec;
  return CombineDateTime(*day, TimeSerial({local.tm_hour, local.tm_min, second}));
}

}  // namespace automation
