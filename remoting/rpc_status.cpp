#include "remoting/rpc_status.h"

#include <string>

namespace ledgerwick::remoting {

using automation::AutomationError;

void SetOk(automation::wire::Status::Builder status) {
  status.setNumber(0);
  status.setDescription("");
}

void SetError(automation::wire::Status::Builder status, const AutomationError& error) {
  status.setNumber(error.number());
  status.setDescription(error.description());
}

void CheckStatus(automation::wire::Status::Reader status) {
  if (status.getNumber() != 0) {
    throw AutomationError(status.getNumber(), std::string(status.getDescription().cStr()));
  }
}

AutomationError ErrorOf(const kj::Exception& exception) { return AutomationError::FromKjException(exception); }

}  // namespace ledgerwick::remoting
