#pragma once
// Answers the status command: what the daemon holds and has done since it started.

#include "host/host_objects.h"
#include "server/ledgerwick.capnp.h"

namespace ledgerwick::host {

class AdminServer final : public rpc::Admin::Server {
 public:
  // `mayFollow`: the connection may read what is written (follow), which only a
  // client on the daemon's socket, or one whose certificate was checked, may.
  AdminServer(HostObjects& host, bool mayFollow) : host_(host), mayFollow_(mayFollow) {}

 protected:
  kj::Promise<void> status(StatusContext context) override;
  kj::Promise<void> follow(FollowContext context) override;

 private:
  HostObjects& host_;
  const bool mayFollow_;
};

}  // namespace ledgerwick::host
