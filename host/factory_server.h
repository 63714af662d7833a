#pragma once
// The bootstrap capability of every connection: creates objects by program
// identifier, as the automation runtime did, and hands out the Admin interface.

#include <memory>

#include "host/connection_objects.h"
#include "host/host_objects.h"
#include "recordkit/sender_identity.h"
#include "server/ledgerwick.capnp.h"

namespace ledgerwick::host {

class FactoryServer final : public rpc::Factory::Server {
 public:
  // The objects it creates stamp `sender`, the connection's peer, on their records,
  // and are counted in `objects`, the connection's.
  FactoryServer(HostObjects& host, recordkit::SenderIdentity sender, std::shared_ptr<ConnectionObjects> objects)
      : host_(host), sender_(kj::mv(sender)), objects_(std::move(objects)) {}

 protected:
  kj::Promise<void> create(CreateContext context) override;
  kj::Promise<void> admin(AdminContext context) override;

 private:
  HostObjects& host_;
  const recordkit::SenderIdentity sender_;
  const std::shared_ptr<ConnectionObjects> objects_;
};

}  // namespace ledgerwick::host
