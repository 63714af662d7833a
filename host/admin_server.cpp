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
    daemon.setQueueLength(state.drain.queued());
    daemon.setInstanceCount(state.InstanceCount);
    daemon.setLiveObjects(host_.liveObjects);
    daemon.setConnections(host_.connections);
    daemon.setDrainBusy(state.drain.DrainBusy());
    daemon.setDrainIntervalMs(state.drain.intervalMs());
    auto counters = daemon.initCounters();
    const WriterCounters& written = state.writer.counters();
    counters.setToNetworkStore(written.toNetworkStore);
    counters.setToLocalStore(written.toLocalStore);
    counters.setToTextLog(written.toTextLog);
    counters.setFaults(state.faultLog.entries());
  });
}

}  // namespace ledgerwick::host
