#include "host/connection_server.h"

#include <cstdio>

#include <capnp/rpc-twoparty.h>
#include <kj/debug.h>

#include "host/buffered_stream.h"
#include "host/factory_server.h"
#include "host/peer_identity.h"
#include "host/tls_listener.h"

namespace ledgerwick::host {

struct ConnectionServer::Connection {
  Connection(HostObjects& host, kj::Own<kj::AsyncIoStream> s, recordkit::SenderIdentity sender)
      : host(host),
        stream(kj::mv(s)),
        network(*stream, capnp::rpc::twoparty::Side::SERVER),
        rpc(capnp::makeRpcServer(network, rpc::Factory::Client(kj::heap<FactoryServer>(host, kj::mv(sender))))) {
    ++host.connections;
  }
  ~Connection() { --host.connections; }

  HostObjects& host;
  // Destroyed in reverse: the RPC system (and the objects it served), the network, the stream.
  kj::Own<kj::AsyncIoStream> stream;
  capnp::TwoPartyVatNetwork network;
  capnp::RpcSystem<capnp::rpc::twoparty::VatId> rpc;
};

ConnectionServer::ConnectionServer(HostObjects& host, kj::Timer& timer)
    : host_(host),
      timer_(timer), accepting_(kj::heap<kj::TaskSet>(static_cast<kj::TaskSet::ErrorHandler&>(*this))), connections_(kj::heap<kj::TaskSet>(static_cast<kj::TaskSet::ErrorHandler&>(*this))) {}

ConnectionServer::~ConnectionServer() noexcept(false) {
  accepting_ = nullptr;
  connections_ = nullptr;
}

void ConnectionServer::Listen(kj::Own<kj::ConnectionReceiver> receiver, kj::TlsContext* tls) {
  kj::ConnectionReceiver& ref = *receiver;
  receivers_.add(kj::mv(receiver));
  accepting_->add(AcceptLoop(ref, tls));
}

kj::Promise<void> ConnectionServer::AcceptLoop(kj::ConnectionReceiver& receiver, kj::TlsContext* tls) {
  return receiver.acceptAuthenticated().then(
      [this, &receiver, tls](kj::AuthenticatedStream&& accepted) {
        if (tls == nullptr) {
          recordkit::SenderIdentity sender = IdentityOf(*accepted.stream, *accepted.peerIdentity);
          Serve(kj::mv(accepted.stream), kj::mv(sender));
        } else {
          // A handshake that fails (no valid client certificate, not TLS at all) or
          // never ends closes that connection; it is logged like a broken one.
          connections_->add(
              tls->wrapServer(kj::mv(accepted))
                  .exclusiveJoin(timer_.afterDelay(kTlsHandshakeTimeout).then([]() -> kj::AuthenticatedStream {
                    KJ_FAIL_REQUIRE("no TLS handshake within 10 s");
                  }))
                  .then([this](kj::AuthenticatedStream&& secured) {
                    recordkit::SenderIdentity sender = TlsIdentityOf(*secured.peerIdentity);
                    Serve(kj::mv(secured.stream), kj::mv(sender));
                  }));
        }
        return AcceptLoop(receiver, tls);
      },
      [this, &receiver, tls](kj::Exception&& exception) {
        // Keep listening, but give what ran out (descriptors, memory) a moment.
        std::fprintf(stderr, "ledgerwickd: accept failed: %s\n", exception.getDescription().cStr());
        return timer_.afterDelay(100 * kj::MILLISECONDS).then([this, &receiver, tls]() {
          return AcceptLoop(receiver, tls);
        });
      });
}

void ConnectionServer::Serve(kj::Own<kj::AsyncIoStream> stream, recordkit::SenderIdentity sender) {
  auto connection = kj::heap<Connection>(host_, kj::heap<BufferedStream>(kj::mv(stream)), kj::mv(sender));
  auto disconnected = connection->network.onDisconnect();
  connections_->add(disconnected.attach(kj::mv(connection)));
}

void ConnectionServer::StopAccepting() {
  accepting_ = kj::heap<kj::TaskSet>(static_cast<kj::TaskSet::ErrorHandler&>(*this));
  receivers_.clear();
}

void ConnectionServer::CloseConnections() { connections_ = kj::heap<kj::TaskSet>(static_cast<kj::TaskSet::ErrorHandler&>(*this)); }

void ConnectionServer::taskFailed(kj::Exception&& exception) {
  // One client's broken connection must not stop the daemon.
  std::fprintf(stderr, "ledgerwickd: connection failed: %s\n", exception.getDescription().cStr());
}

}  // namespace ledgerwick::host
