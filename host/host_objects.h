#pragma once
// What the daemon's RPC adapters share: the process state, how object references
// cross the connection, and the counts the status command reports.

#include <cstdint>
#include <memory>

#include "automation/dispatch.h"
#include "remoting/object_bridge.h"
#include "host/written_feed.h"
#include "startup/process_state.h"

namespace ledgerwick::host {

class HostObjects {
 public:
  explicit HostObjects(ProcessState& state);
  HostObjects(const HostObjects&) = delete;
  HostObjects& operator=(const HostObjects&) = delete;

  ProcessState& state;
  const remoting::ObjectBridge& bridge() const { return bridge_; }
  const automation::ObjectCodec* codec() const { return &bridge_.codec(); }

  // Kept by the adapters and the connection server.
  uint32_t liveObjects = 0;  // Application adapters that clients hold
  uint32_t connections = 0;
  // The clients following what is written.
  WrittenFeed written;

 private:
  // Serves Applications, PropertySets and Propertys with their own interfaces.
  kj::Maybe<automation::wire::Dispatch::Client> ServeTyped(const std::shared_ptr<automation::Dispatch>& object);

  remoting::ObjectBridge bridge_;
};

}  // namespace ledgerwick::host
