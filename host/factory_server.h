#pragma once
// The bootstrap capability of every connection: creates objects by program
// identifier, as the automation runtime did, and hands out the Admin interface.

#include "host/host_objects.h"
#include "recordkit/sender_identity.h"
#include "server/ledgerwick.capnp.h"

namespace ledgerwick::host {

class FactoryServer final : public rpc::Factory::Server {
 public:
  // The objects it creates stamp `sender`, the connection's peer, on their records.
  FactoryServer(HostObjects& host, recordkit::SenderIdentity sender) : host_(host), sender_(kj::mv(sender)) {}

 protected:
  kj::Promise<void> create(CreateContext context) override;
  kj::Promise<void> admin(AdminContext context) override;

 private:
  HostObjects& host_;
  const recordkit::SenderIdentity sender_;
};

}  // namespace ledgerwick::host
