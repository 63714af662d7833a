#pragma once
// ledgerwickd --check-config: reads the settings, opens the stores the way start-up
// would (purging nothing, writing no fault log), looks at the folders the daemon
// writes in, and says what start-up would do and what stands in its way.

#include <ostream>

#include <kj/async-io.h>

#include "host/daemon.h"

namespace ledgerwick::host {

// Writes the report to `out`; answers 0 when nothing stands in the way, else 1.
int CheckConfig(const DaemonOptions& options, kj::AsyncIoContext& io, std::ostream& out);

}  // namespace ledgerwick::host
