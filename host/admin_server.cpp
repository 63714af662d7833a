#include "host/admin_server.h"

#include <unistd.h>

#include "host/answer.h"

namespace ledgerwick::host {

kj::Promise<void> AdminServer::status(StatusContext context) {
  return Answer(context, [&](auto& results) {
    const ProcessState& state = host_.state;
    auto daemon = results.initDaemon();
    daemon.setPid(static_cast<int32_t>(getpid()));
    daemon.setReady(state.ReadyFlag);
    daemon.setStartupDone(state.InitStarted);
    daemon.setLogMethod(state.CurrentLogMethod);
    daemon.setQueueLength(state.ErrorBuffer ? state.ErrorBuffer->size() : 0);
    daemon.setInstanceCount(state.InstanceCount);
    daemon.setLiveObjects(host_.liveObjects);
    daemon.setConnections(host_.connections);
    daemon.setDrainBusy(state.DrainBusy);
    daemon.setDrainIntervalMs(state.DrainIntervalMs);
    auto counters = daemon.initCounters();
    counters.setToNetworkStore(state.counters.toNetworkStore);
    counters.setToLocalStore(state.counters.toLocalStore);
    counters.setToTextLog(state.counters.toTextLog);
    counters.setFaults(state.counters.faults);
  });
}

}  // namespace ledgerwick::host
