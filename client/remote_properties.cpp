#include "client/remote_properties.h"

#include "automation/variant_codec.h"
#include "remoting/rpc_status.h"

namespace ledgerwick::client {

using automation::Variant;

namespace {
template <typename Response>
kj::Promise<void> StatusOf(kj::Promise<Response>&& promise) {
  return promise.then([](Response&& response) { remoting::CheckStatus(response.getStatus()); });
}
}  // namespace

// ---------------------------------------------------------------- PendingChecks

PendingChecks PendingChecks::With(kj::Promise<void> check) const {
  PendingChecks next = *this;
  next.checks_.push_back(std::make_shared<kj::ForkedPromise<void>>(check.fork()));
  return next;
}

void PendingChecks::Verify(Connection& connection) const {
  for (const auto& check : checks_) connection.Wait(check->addBranch());
}

// ---------------------------------------------------------------- Property

Property::Property(std::shared_ptr<Connection> connection, rpc::Property::Client capability, PendingChecks checks)
    : connection_(std::move(connection)), capability_(kj::mv(capability)), checks_(std::move(checks)) {}

std::string Property::Name() {
  auto promise = capability_.getNameRequest().send();
  checks_.Verify(*connection_);
  auto response = connection_->Wait(kj::mv(promise));
  remoting::CheckStatus(response.getStatus());
  auto name = response.getName();
  return std::string(name.cStr(), name.size());
}

Variant Property::Value() {
  auto promise = capability_.getValueRequest().send();
  checks_.Verify(*connection_);
  auto response = connection_->Wait(kj::mv(promise));
  remoting::CheckStatus(response.getStatus());
  return automation::ReadVariant(response.getValue(), connection_->codec());
}

void Property::SetValue(const Variant& value) {
  auto request = capability_.setValueRequest();
  automation::WriteVariant(value, request.initValue(), connection_->codec());
  auto promise = request.send();
  checks_.Verify(*connection_);
  auto response = connection_->Wait(kj::mv(promise));
  remoting::CheckStatus(response.getStatus());
}

bool Property::Mapped() {
  auto promise = capability_.getMappedRequest().send();
  checks_.Verify(*connection_);
  auto response = connection_->Wait(kj::mv(promise));
  remoting::CheckStatus(response.getStatus());
  return response.getMapped();
}

Variant Property::Invoke(automation::DispId dispId, uint16_t flags, std::vector<Variant>& args) {
  return InvokeRemote(*connection_, capability_, checks_, dispId, flags, args);
}

// ---------------------------------------------------------------- PropertySet

PropertySet::PropertySet(std::shared_ptr<Connection> connection, rpc::PropertySet::Client capability,
                         PendingChecks checks)
    : connection_(std::move(connection)), capability_(kj::mv(capability)), checks_(std::move(checks)) {}

Property PropertySet::Item(const std::string& name) {
  auto request = capability_.itemRequest();
  request.setName(name);
  auto promise = request.send();
  rpc::Property::Client property = promise.getProperty();
  return Property(connection_, kj::mv(property), checks_.With(StatusOf(kj::mv(promise))));
}

uint32_t PropertySet::Count() {
  auto promise = capability_.countRequest().send();
  checks_.Verify(*connection_);
  auto response = connection_->Wait(kj::mv(promise));
  remoting::CheckStatus(response.getStatus());
  return response.getCount();
}

Property PropertySet::ItemAt(uint32_t index) {
  auto request = capability_.itemAtRequest();
  request.setIndex(index);
  auto promise = request.send();
  rpc::Property::Client property = promise.getProperty();
  return Property(connection_, kj::mv(property), checks_.With(StatusOf(kj::mv(promise))));
}

Variant PropertySet::Invoke(automation::DispId dispId, uint16_t flags, std::vector<Variant>& args) {
  return InvokeRemote(*connection_, capability_, checks_, dispId, flags, args);
}

std::vector<automation::DispId> PropertySet::GetIDsOfNames(const std::vector<std::string>& names) {
  return GetIDsOfNamesRemote(*connection_, capability_, checks_, names);
}

// ---------------------------------------------------------------- late-bound calls

Variant InvokeRemote(Connection& connection, automation::wire::Dispatch::Client capability,
                     const PendingChecks& checks, automation::DispId dispId, uint16_t flags,
                     std::vector<Variant>& args) {
  auto request = capability.invokeRequest();
  request.setDispId(dispId);
  request.setFlags(flags);
  auto list = request.initArgs(static_cast<unsigned>(args.size()));
  for (size_t i = 0; i < args.size(); ++i) {
    automation::WriteVariant(args[i], list[static_cast<unsigned>(i)], connection.codec());
  }
  auto promise = request.send();
  checks.Verify(connection);
  auto response = connection.Wait(kj::mv(promise));
  remoting::CheckStatus(response.getStatus());
  auto back = response.getArgs();
  if (back.size() == args.size()) {
    for (size_t i = 0; i < args.size(); ++i) {
      args[i].deref() = automation::ReadVariant(back[static_cast<unsigned>(i)], connection.codec());
    }
  }
  return automation::ReadVariant(response.getResult(), connection.codec());
}

std::vector<automation::DispId> GetIDsOfNamesRemote(Connection& connection,
                                                    automation::wire::Dispatch::Client capability,
                                                    const PendingChecks& checks,
                                                    const std::vector<std::string>& names) {
  auto request = capability.getIdsOfNamesRequest();
  auto list = request.initNames(static_cast<unsigned>(names.size()));
  for (size_t i = 0; i < names.size(); ++i) list.set(static_cast<unsigned>(i), names[i]);
  auto promise = request.send();
  checks.Verify(connection);
  auto response = connection.Wait(kj::mv(promise));
  remoting::CheckStatus(response.getStatus());
  std::vector<automation::DispId> ids;
  for (automation::DispId id : response.getDispIds()) ids.push_back(id);
  return ids;
}

}  // namespace ledgerwick::client
