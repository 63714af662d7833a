#pragma once
// Serve an Application's PropertySet and its Property objects to a client. Each
// adapter shares the object it serves, so a client that keeps a set or a field keeps
// it alive after the Application has gone.

#include <memory>

#include "host/host_objects.h"
#include "recordkit/property_set.h"
#include "server/ledgerwick.capnp.h"

namespace ledgerwick::host {

class PropertySetServer final : public rpc::PropertySet::Server {
 public:
  PropertySetServer(std::shared_ptr<recordkit::PropertySet> set, HostObjects& host)
      : set_(std::move(set)), host_(host) {}

 protected:
  kj::Promise<void> item(ItemContext context) override;
  kj::Promise<void> count(CountContext context) override;
  kj::Promise<void> itemAt(ItemAtContext context) override;
  kj::Promise<void> invoke(InvokeContext context) override;
  kj::Promise<void> getIdsOfNames(GetIdsOfNamesContext context) override;

 private:
  std::shared_ptr<recordkit::PropertySet> set_;
  HostObjects& host_;
};

class PropertyServer final : public rpc::Property::Server {
 public:
  PropertyServer(std::shared_ptr<recordkit::Property> property, HostObjects& host)
      : property_(std::move(property)), host_(host) {}

 protected:
  kj::Promise<void> getName(GetNameContext context) override;
  kj::Promise<void> getValue(GetValueContext context) override;
  kj::Promise<void> setValue(SetValueContext context) override;
  kj::Promise<void> getMapped(GetMappedContext context) override;
  kj::Promise<void> invoke(InvokeContext context) override;
  kj::Promise<void> getIdsOfNames(GetIdsOfNamesContext context) override;

 private:
  std::shared_ptr<recordkit::Property> property_;
  HostObjects& host_;
};

}  // namespace ledgerwick::host
