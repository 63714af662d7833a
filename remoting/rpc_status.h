#pragma once
// Automation errors across the RPC boundary: every method answers a Status (0, or an
// error number with its description) instead of an RPC exception.


#include <kj/exception.h>

#include "automation/automation_error.h"
#include "automation/variant.capnp.h"

namespace ledgerwick::remoting {

void SetOk(automation::wire::Status::Builder status);
void SetError(automation::wire::Status::Builder status, const automation::AutomationError& error);

// Raises the status as an AutomationError unless its number is 0.
void CheckStatus(automation::wire::Status::Reader status);

// The AutomationError that an exception stands for: an AutomationError as it is, one
// that crossed kj's promise machinery with its number and description recovered, any
// other failure as error 440 with its text.
automation::AutomationError ErrorOf(const kj::Exception& exception);

}  // namespace ledgerwick::remoting
