#include "host/admin_server.h"

#include <unistd.h>

#include "host/answer.h"
#include "recordkit/column_value.h"

namespace ledgerwick::host {

namespace {

void FillStoreState(const std::shared_ptr<recordkit::DSO>& dso, const std::shared_ptr<recordkit::DTO>& dto,
                    rpc::StoreState::Builder out) {
  out.setOpened(dso != nullptr && dto != nullptr);
  if (dso == nullptr || dto == nullptr) return;
  const recordkit::StoreHealth health = dso->Health();
  out.setOpen(health.open);
  if (health.open) return;
  if (health.downSince) {
    try {
      out.setDownSince(recordkit::IsoDate(*health.downSince) + " " + recordkit::IsoTime(*health.downSince));
    } catch (...) {
      // A moment off the date scale has no text; the state says down all the same.
    }
  }
  out.setLastError(health.lastError);
}

}  // namespace

kj::Promise<void> AdminServer::status(StatusContext context) {
  return Answer(context, [&](auto& results) {
    const ProcessState& state = host_.state;
    auto daemon = results.initDaemon();
    daemon.setPid(static_cast<int32_t>(getpid()));
    daemon.setReady(state.ReadyFlag);
    daemon.setStartupDone(state.InitStarted);
    daemon.setLogMethod(state.CurrentLogMethod);
    daemon.setQueueLength(state.drain.queued());
    daemon.setQueueBytes(state.drain.queuedBytes());
    daemon.setQueueLimitBytes(state.drain.maxQueueBytes());
    if (state.journal) {
      daemon.setJournalBytes(state.journal->fileBytes());
      daemon.setJournalRecords(state.journal->records());
      daemon.setJournalSync(journal::SyncModeName(state.journal->sync()));
    }
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
    FillStoreState(state.NetDSO, state.NetDTO, daemon.initNetworkStore());
    FillStoreState(state.LocalDSO, state.LocalDTO, daemon.initLocalStore());
  });
}

kj::Promise<void> AdminServer::follow(FollowContext context) {
  if (!mayFollow_) {
    remoting::SetError(context.initResults().initStatus(),
                       automation::AutomationError(automation::err::kPermissionDenied,
                                                   "Permission denied: only a client on the daemon's socket, or one "
                                                   "with a checked certificate, may follow what is written"));
    return kj::READY_NOW;
  }
  // The call is answered when the daemon drops the listener, with the reason.
  return host_.written.Add(context.getParams().getListener()).then([context](automation::Status why) mutable {
    remoting::SetError(context.initResults().initStatus(), automation::AutomationError(why.number, why.description));
  });
}

}  // namespace ledgerwick::host
