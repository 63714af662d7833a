#pragma once
// Runs the body of an RPC method and answers its status: 0 when the body returned,
// else the automation error it raised, never an RPC exception.

#include <exception>

#include <kj/async.h>

#include "remoting/rpc_status.h"

namespace ledgerwick::host {

template <typename Context, typename Body>
kj::Promise<void> Answer(Context& context, Body&& body) {
  try {
    auto results = context.getResults();
    body(results);
    remoting::SetOk(results.initStatus());
  } catch (...) {
    // Whatever the body had put into the results is dropped with them.
    remoting::SetError(context.initResults().initStatus(), automation::AutomationError::FromCurrentException());
  }
  return kj::READY_NOW;
}

}  // namespace ledgerwick::host
