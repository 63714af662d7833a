#pragma once
// The bootstrap capability of every connection: creates objects by program
// identifier, as the automation runtime did, and hands out the Admin interface.

#include "host/host_objects.h"
#include "server/ledgerwick.capnp.h"

namespace ledgerwick::host {

class FactoryServer : public rpc::Factory::Server {
 public:
  explicit FactoryServer(HostObjects& host) : host_(host) {}

 protected:
  kj::Promise<void> create(CreateContext context) override;
  kj::Promise<void> admin(AdminContext context) override;

 private:
  HostObjects& host_;
};

}  // namespace ledgerwick::host
