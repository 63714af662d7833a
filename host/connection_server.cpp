#include "host/connection_server.h"

#include <cstdio>

#include <capnp/rpc-twoparty.h>
#include <kj/debug.h>

#include "host/buffered_stream.h"
#include "host/connection_objects.h"
#include "host/factory_server.h"
#include "host/peer_identity.h"
#include "host/tls_listener.h"

namespace ledgerwick::host {

struct ConnectionServer::Connection {
  Connection(HostObjects& host, kj::Own<kj::AsyncIoStream> s, recordkit::SenderIdentity sender)
      : host(host),
        objects(std::make_shared<ConnectionObjects>()),
        stream(kj::mv(s)),
        network(*stream, capnp::rpc::twoparty::Side::SERVER),
        rpc(capnp::makeRpcServer(network,
                                 rpc::Factory::Client(kj::heap<FactoryServer>(host, kj::mv(sender), objects)))) {
    // Past this many bytes of calls not yet answered, the connection is not read
    // until answers go out: one client cannot queue work without end.
    rpc.setFlowLimit(kConnectionFlowLimitBytes / sizeof(capnp::word));
    ++host.connections;
  }
  ~Connection() { --host.connections; }

  // Runs last, once the RPC system has dropped what the client held.
  struct ReleaseAtClose {
    std::shared_ptr<ConnectionObjects> objects;
    ~ReleaseAtClose() { objects->ReleaseHeld(); }
  };

  HostObjects& host;
  std::shared_ptr<ConnectionObjects> objects;
  ReleaseAtClose releaseAtClose{objects};
  // Destroyed in reverse: the RPC system (and the objects it served), the network, the stream.
  kj::Own<kj::AsyncIoStream> stream;
  capnp::TwoPartyVatNetwork network;
  capnp::RpcSystem<capnp::rpc::twoparty::VatId> rpc;
};

struct ConnectionServer::Listener {
  Listener(kj::Own<kj::ConnectionReceiver> r, kj::TlsContext* t, FaultLog& faultLog)
      : receiver(kj::mv(r)), tls(t), acceptFaults(faultLog) {}
  kj::Own<kj::ConnectionReceiver> receiver;
  kj::TlsContext* tls;
  // An accept that fails (no descriptor free, say) is entered once per outage.
  RepeatedFaults acceptFaults;
};

ConnectionServer::ConnectionServer(HostObjects& host, kj::Timer& timer, LoopSpin* spin)
    : host_(host),
      timer_(timer),
      spin_(spin),
      accepting_(kj::heap<kj::TaskSet>(static_cast<kj::TaskSet::ErrorHandler&>(*this))),
      connections_(kj::heap<kj::TaskSet>(static_cast<kj::TaskSet::ErrorHandler&>(*this))) {}

ConnectionServer::~ConnectionServer() noexcept(false) {
  accepting_ = nullptr;
  connections_ = nullptr;
}

void ConnectionServer::Listen(kj::Own<kj::ConnectionReceiver> receiver, kj::TlsContext* tls) {
  listeners_.add(kj::heap<Listener>(kj::mv(receiver), tls, host_.state.faultLog));
  accepting_->add(AcceptLoop(*listeners_.back()));
}

kj::Promise<void> ConnectionServer::AcceptLoop(Listener& listener) {
  // kj raises a failed accept before any promise exists; evalNow makes it one, so
  // that it takes the error path below instead of ending the loop.
  return kj::evalNow([&listener]() { return listener.receiver->acceptAuthenticated(); }).then(
      [this, &listener](kj::AuthenticatedStream&& accepted) {
        listener.acceptFaults.End();
        // What goes wrong with one connection ends that one, never the loop.
        KJ_IF_MAYBE (failure, kj::runCatchingExceptions([&]() { Take(kj::mv(accepted), listener.tls); })) {
          taskFailed(kj::mv(*failure));
        }
        return AcceptLoop(listener);
      },
      [this, &listener](kj::Exception&& exception) {
        // Out of descriptors (EMFILE, ENFILE) or memory: the waiting client stays in
        // the backlog, and the listener tries again once some may have come free.
        listener.acceptFaults.Report(std::string("ledgerwickd cannot accept a connection: ") +
                                     exception.getDescription().cStr());
        return timer_.afterDelay(kAcceptRetryDelay).then([this, &listener]() { return AcceptLoop(listener); });
      });
}

void ConnectionServer::Take(kj::AuthenticatedStream accepted, kj::TlsContext* tls) {
  if (tls == nullptr) {
    recordkit::SenderIdentity sender = IdentityOf(*accepted.stream, *accepted.peerIdentity);
    Serve(kj::mv(accepted.stream), kj::mv(sender));
    return;
  }
  // A handshake that fails (no valid client certificate, not TLS at all) or never
  // ends closes that connection; it is logged like a broken one.
  connections_->add(tls->wrapServer(kj::mv(accepted))
                        .exclusiveJoin(timer_.afterDelay(kTlsHandshakeTimeout).then([]() -> kj::AuthenticatedStream {
                          KJ_FAIL_REQUIRE("no TLS handshake within 10 s");
                        }))
                        .then([this](kj::AuthenticatedStream&& secured) {
                          recordkit::SenderIdentity sender = TlsIdentityOf(*secured.peerIdentity);
                          Serve(kj::mv(secured.stream), kj::mv(sender));
                        }));
}

void ConnectionServer::Serve(kj::Own<kj::AsyncIoStream> stream, recordkit::SenderIdentity sender) {
  auto buffered = kj::heap<BufferedStream>(kj::mv(stream));
  BufferedStream& reads = *buffered;
  auto connection = kj::heap<Connection>(host_, kj::mv(buffered), kj::mv(sender));
  capnp::TwoPartyVatNetwork& network = connection->network;
  reads.SetReadGate([this, &network]() -> kj::Maybe<kj::Promise<void>> {
    if (network.getCurrentQueueCount() < kUnreadAnswers) return nullptr;
    return timer_.afterDelay(kUnreadAnswerPause);
  });
  if (spin_ != nullptr) reads.SetArrivalHook([spin = spin_]() { spin->Arrived(); });
  // What the loop cannot write to a client waits in the daemon's memory; a client
  // that never reads would have it grow without end.
  auto ended = connection->network.onDisconnect().exclusiveJoin(UntilAnswersPileUp(*connection));
  connections_->add(ended.attach(kj::mv(connection)));
}

kj::Promise<void> ConnectionServer::UntilAnswersPileUp(Connection& connection) {
  return timer_.afterDelay(kUnreadAnswerCheck).then([this, &connection]() -> kj::Promise<void> {
    const size_t waiting = connection.network.getCurrentQueueSize();
    if (waiting > kMaxUnreadAnswerBytes || (connection.network.getCurrentQueueCount() >= kUnreadAnswers &&
                                            connection.network.getOutgoingMessageWaitTime() >= kUnreadAnswerWait)) {
      host_.state.faultLog.Report("ledgerwickd dropped a client that does not read its answers (" +
                                  std::to_string(waiting) + " bytes waiting)");
      return kj::READY_NOW;
    }
    return UntilAnswersPileUp(connection);
  });
}

void ConnectionServer::StopAccepting() {
  accepting_ = kj::heap<kj::TaskSet>(static_cast<kj::TaskSet::ErrorHandler&>(*this));
  listeners_.clear();
}

void ConnectionServer::CloseConnections() {
  connections_ = kj::heap<kj::TaskSet>(static_cast<kj::TaskSet::ErrorHandler&>(*this));
}

void ConnectionServer::taskFailed(kj::Exception&& exception) {
  // One client's broken connection must not stop the daemon.
  std::fprintf(stderr, "ledgerwickd: connection failed: %s\n", exception.getDescription().cStr());
}

}  // namespace ledgerwick::host
