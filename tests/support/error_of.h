#pragma once
// The error number a call raises, for tests that check numbers the way kj's
// KJ_EXPECT_THROW_MESSAGE checks texts.

#include <cstdint>
#include <utility>

#include <kj/exception.h>

#include "automation/automation_error.h"

namespace ledgerwick::testing {

// The number of the AutomationError that `call` raises, or 0 when it returns.
// An error that reached the call through a kj promise counts by the number it carries.
template <typename Call>
int32_t ErrorOf(Call&& call) {
  try {
    std::forward<Call>(call)();
  } catch (const automation::AutomationError& e) {
    return e.number();
  } catch (const kj::Exception& e) {
    return automation::AutomationError::FromKjException(e).number();
  }
  return 0;
}

}  // namespace ledgerwick::testing
