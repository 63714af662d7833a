#pragma once
// Answers the status command: what the daemon holds and has done since it started.

#include "host/host_objects.h"
#include "server/ledgerwick.capnp.h"

namespace ledgerwick::host {

class AdminServer final : public rpc::Admin::Server {
 public:
  explicit AdminServer(HostObjects& host) : host_(host) {}

 protected:
  kj::Promise<void> status(StatusContext context) override;
  kj::Promise<void> follow(FollowContext context) override;

 private:
  HostObjects& host_;
};

}  // namespace ledgerwick::host
