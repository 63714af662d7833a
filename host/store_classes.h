#pragma once
// The log-store classes the daemon can create by name.

#include <memory>

#include <kj/async-io.h>

#include "automation/blocking_worker.h"
#include "automation/class_registry.h"
#include "automation/clock.h"

namespace ledgerwick::host {

// Registers Recordkit.SqliteDSO/DTO, whose writes run on `worker`, and
// Recordkit.PostgresDSO/DTO, which run on the loop of `io` and watch its sockets.
void RegisterStoreClasses(automation::ClassRegistry& classes, std::shared_ptr<automation::BlockingWorker> worker,
                          kj::AsyncIoContext& io, const automation::Clock& clock);

}  // namespace ledgerwick::host
