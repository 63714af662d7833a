#pragma once
// Object references in Variants, on either side of a connection. An object of this
// side goes out as a Dispatch capability served here; a capability that comes in
// becomes a RemoteDispatch, and goes back out as the same capability.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <kj/async.h>

#include "automation/dispatch.h"
#include "automation/variant.h"
#include "automation/variant_codec.h"

namespace ledgerwick::remoting {

// The call contexts of Dispatch's two methods (the Server's own names are protected).
using InvokeCallContext =
    capnp::CallContext<automation::wire::Dispatch::InvokeParams, automation::wire::Dispatch::InvokeResults>;
using GetIdsOfNamesCallContext =
    capnp::CallContext<automation::wire::Dispatch::GetIdsOfNamesParams, automation::wire::Dispatch::GetIdsOfNamesResults>;

class ObjectBridge {
 public:
  // Serves an object with a more specific interface (a PropertySet as the schema's
  // PropertySet, say); nullptr leaves it to the plain Dispatch server.
  using ServeHook = std::function<kj::Maybe<automation::wire::Dispatch::Client>(
      const std::shared_ptr<automation::Dispatch>&)>;

  // Answers what every proxy holds so that what its capability needs (the loop, the
  // connection) outlives it; asked each time a proxy is made.
  using KeepAlive = std::function<std::shared_ptr<void>()>;

  // `waitScope`: where the proxies of incoming capabilities may block (the client's
  // own loop); nullptr on the daemon's loop, where nothing may block.
  ObjectBridge(ServeHook serve, kj::WaitScope* waitScope, KeepAlive keepAlive);
  ObjectBridge(const ObjectBridge&) = delete;
  ObjectBridge& operator=(const ObjectBridge&) = delete;

  const automation::ObjectCodec& codec() const { return codec_; }

  automation::wire::Dispatch::Client Serve(const std::shared_ptr<automation::Dispatch>& object) const;

 private:
  ServeHook serve_;
  kj::WaitScope* waitScope_;
  KeepAlive keepAlive_;
  automation::ObjectCodec codec_;
};

// An object on the other side of the connection, reached through its capability.
class RemoteDispatch : public automation::Dispatch {
 public:
  RemoteDispatch(automation::wire::Dispatch::Client capability, const ObjectBridge& bridge,
                 kj::WaitScope* waitScope, std::shared_ptr<void> keepAlive);
  ~RemoteDispatch() noexcept override {}

  // Resolves when the other side answered; by-reference arguments take back the
  // values the member left in them. `args` must stay alive until then.
  kj::Promise<automation::Variant> Invoke(automation::DispId dispId, uint16_t flags,
                                          std::vector<automation::Variant>& args) override;

  // Needs a loop to block on: without one (on the daemon's loop) it raises 438.
  std::vector<automation::DispId> GetIDsOfNames(const std::vector<std::string>& names) override;

  // Invoke, waiting for the answer; raises AutomationError. Needs the blocking loop.
  automation::Variant Call(automation::DispId dispId, uint16_t flags, std::vector<automation::Variant>& args);

  automation::wire::Dispatch::Client capability() { return capability_; }

 private:
  kj::WaitScope& RequireWaitScope() const;

  // Declared first so that it goes last: the capability needs the loop it holds.
  std::shared_ptr<void> keepAlive_;
  automation::wire::Dispatch::Client capability_;
  const ObjectBridge& bridge_;
  kj::WaitScope* waitScope_;
};

// Serves an automation::Dispatch object as a plain Dispatch capability.
class DispatchServer final : public automation::wire::Dispatch::Server {
 public:
  DispatchServer(std::shared_ptr<automation::Dispatch> target, const ObjectBridge& bridge)
      : target_(std::move(target)), bridge_(bridge) {}

 protected:
  kj::Promise<void> invoke(InvokeContext context) override;
  kj::Promise<void> getIdsOfNames(GetIdsOfNamesContext context) override;

 private:
  std::shared_ptr<automation::Dispatch> target_;
  const ObjectBridge& bridge_;
};

// The invoke and getIdsOfNames answers of any server whose interface extends
// Dispatch: the member runs on `target`, failures come back as the status.
kj::Promise<void> ServeInvoke(std::shared_ptr<automation::Dispatch> target, const ObjectBridge& bridge,
                              InvokeCallContext context);
kj::Promise<void> ServeGetIdsOfNames(automation::Dispatch& target,
                                     GetIdsOfNamesCallContext context);

}  // namespace ledgerwick::remoting
