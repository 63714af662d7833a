#include "remoting/object_bridge.h"

#include "automation/automation_error.h"
#include "remoting/rpc_status.h"

namespace ledgerwick::remoting {

using automation::AutomationError;
using automation::DispId;
using automation::Variant;
namespace wire = automation::wire;

ObjectBridge::ObjectBridge(ServeHook serve, kj::WaitScope* waitScope, KeepAlive keepAlive)
    : serve_(std::move(serve)), waitScope_(waitScope), keepAlive_(std::move(keepAlive)) {
  codec_.toWire = [this](const std::shared_ptr<automation::Dispatch>& object) { return Serve(object); };
  codec_.fromWire = [this](wire::Dispatch::Client capability) -> std::shared_ptr<automation::Dispatch> {
    return std::make_shared<RemoteDispatch>(kj::mv(capability), *this, waitScope_,
                                            keepAlive_ ? keepAlive_() : nullptr);
  };
}

wire::Dispatch::Client ObjectBridge::Serve(const std::shared_ptr<automation::Dispatch>& object) const {
  // What came from the other side goes back as the capability it came as.
  if (auto remote = std::dynamic_pointer_cast<RemoteDispatch>(object)) return remote->capability();
  if (serve_) {
    KJ_IF_MAYBE(capability, serve_(object)) { return kj::mv(*capability); }
  }
  return kj::heap<DispatchServer>(object, *this);
}

// ---------------------------------------------------------------- RemoteDispatch

RemoteDispatch::RemoteDispatch(wire::Dispatch::Client capability, const ObjectBridge& bridge,
                               kj::WaitScope* waitScope, std::shared_ptr<void> keepAlive)
    : keepAlive_(std::move(keepAlive)), capability_(kj::mv(capability)), bridge_(bridge), waitScope_(waitScope) {}

kj::Promise<Variant> RemoteDispatch::Invoke(DispId dispId, uint16_t flags, std::vector<Variant>& args) {
  auto request = capability_.invokeRequest();
  request.setDispId(dispId);
  request.setFlags(flags);
  auto list = request.initArgs(static_cast<unsigned>(args.size()));
  for (size_t i = 0; i < args.size(); ++i) automation::WriteVariant(args[i], list[i], &bridge_.codec());
  const ObjectBridge& bridge = bridge_;
  return request.send().then([&args, &bridge](capnp::Response<wire::Dispatch::InvokeResults>&& response) {
    CheckStatus(response.getStatus());
    auto back = response.getArgs();
    if (back.size() == args.size()) {
      for (size_t i = 0; i < args.size(); ++i) {
        args[i].deref() = automation::ReadVariant(back[static_cast<unsigned>(i)], &bridge.codec());
      }
    }
    return automation::ReadVariant(response.getResult(), &bridge.codec());
  });
}

std::vector<DispId> RemoteDispatch::GetIDsOfNames(const std::vector<std::string>& names) {
  kj::WaitScope& waitScope = RequireWaitScope();
  auto request = capability_.getIdsOfNamesRequest();
  auto list = request.initNames(static_cast<unsigned>(names.size()));
  for (size_t i = 0; i < names.size(); ++i) list.set(static_cast<unsigned>(i), names[i]);
  try {
    auto response = request.send().wait(waitScope);
    CheckStatus(response.getStatus());
    std::vector<DispId> ids;
    for (DispId id : response.getDispIds()) ids.push_back(id);
    return ids;
  } catch (const kj::Exception& e) {
    throw ErrorOf(e);
  }
}

Variant RemoteDispatch::Call(DispId dispId, uint16_t flags, std::vector<Variant>& args) {
  kj::WaitScope& waitScope = RequireWaitScope();
  try {
    return Invoke(dispId, flags, args).wait(waitScope);
  } catch (const kj::Exception& e) {
    throw ErrorOf(e);
  }
}

kj::WaitScope& RemoteDispatch::RequireWaitScope() const {
  // On the daemon's loop a blocking call would stall every client.
  if (waitScope_ == nullptr) throw AutomationError(automation::err::kNotSupported);
  return *waitScope_;
}

// ---------------------------------------------------------------- serving

kj::Promise<void> DispatchServer::invoke(InvokeContext context) {
  return ServeInvoke(target_, bridge_, context);
}

kj::Promise<void> DispatchServer::getIdsOfNames(GetIdsOfNamesContext context) {
  return ServeGetIdsOfNames(*target_, context);
}

kj::Promise<void> ServeInvoke(std::shared_ptr<automation::Dispatch> target, const ObjectBridge& bridge,
                              InvokeCallContext context) {
  auto args = std::make_shared<std::vector<Variant>>();
  DispId dispId = 0;
  uint16_t flags = 0;
  try {
    auto params = context.getParams();
    dispId = params.getDispId();
    flags = params.getFlags();
    for (auto arg : params.getArgs()) args->push_back(automation::ReadVariant(arg, &bridge.codec()));
  } catch (...) {
    SetError(context.getResults().initStatus(), automation::AutomationError::FromCurrentException());
    return kj::READY_NOW;
  }
  // An error the member raises at once is caught here, where its number is still a
  // number; only a later failure of a promise it returned arrives as kj's exception.
  kj::Promise<Variant> invoked = nullptr;
  try {
    invoked = target->Invoke(dispId, flags, *args);
  } catch (...) {
    SetError(context.getResults().initStatus(), automation::AutomationError::FromCurrentException());
    return kj::READY_NOW;
  }
  return kj::mv(invoked)
      .then(
          [context, args, target, &bridge](Variant result) mutable {
            auto results = context.getResults();
            try {
              automation::WriteVariant(result, results.initResult(), &bridge.codec());
              auto out = results.initArgs(static_cast<unsigned>(args->size()));
              for (size_t i = 0; i < args->size(); ++i) {
                automation::WriteVariant((*args)[i], out[static_cast<unsigned>(i)], &bridge.codec());
              }
              SetOk(results.initStatus());
            } catch (...) {
              SetError(context.initResults().initStatus(), automation::AutomationError::FromCurrentException());
            }
          },
          [context](kj::Exception&& e) mutable { SetError(context.getResults().initStatus(), ErrorOf(e)); });
}

kj::Promise<void> ServeGetIdsOfNames(automation::Dispatch& target, GetIdsOfNamesCallContext context) {
  try {
    std::vector<std::string> names;
    for (auto name : context.getParams().getNames()) names.emplace_back(name.cStr(), name.size());
    std::vector<DispId> ids = target.GetIDsOfNames(names);
    auto results = context.getResults();
    auto out = results.initDispIds(static_cast<unsigned>(ids.size()));
    for (size_t i = 0; i < ids.size(); ++i) out.set(static_cast<unsigned>(i), ids[i]);
    SetOk(results.initStatus());
  } catch (...) {
    SetError(context.initResults().initStatus(), automation::AutomationError::FromCurrentException());
  }
  return kj::READY_NOW;
}

}  // namespace ledgerwick::remoting
