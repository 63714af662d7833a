#pragma once
// Accepts connections on the daemon's listeners and runs one RPC system per
// connection, with a Factory as its bootstrap capability. A connection and every
// object its client held go as soon as the client disconnects.

#include <kj/async-io.h>
#include <kj/compat/tls.h>
#include <kj/vector.h>

#include "host/host_objects.h"
#include "host/loop_spin.h"
#include "recordkit/sender_identity.h"
#include "writer/fault_log.h"

namespace ledgerwick::host {

// How long a listener that could not accept waits before it tries again.
constexpr kj::Duration kAcceptRetryDelay = 100 * kj::MILLISECONDS;

// A client that does not read its answers: once kUnreadAnswers answers wait for it,
// the daemon reads no more of its calls (looking again every kUnreadAnswerPause), so
// that what waits stays bounded; once the oldest has waited kUnreadAnswerWait with
// that many behind it, or more than kMaxUnreadAnswerBytes wait, the connection is
// dropped. Looked at every kUnreadAnswerCheck.
constexpr size_t kUnreadAnswers = 1024;
constexpr size_t kMaxUnreadAnswerBytes = 64 << 20;
constexpr kj::Duration kUnreadAnswerPause = 10 * kj::MILLISECONDS;
constexpr kj::Duration kUnreadAnswerWait = 5 * kj::SECONDS;
constexpr kj::Duration kUnreadAnswerCheck = 1 * kj::SECONDS;

class ConnectionServer : private kj::TaskSet::ErrorHandler {
 public:
  // `timer` paces a listener that failed to accept (out of descriptors, say): it
  // tries again after kAcceptRetryDelay, for as long as the daemon runs, and enters
  // the failure in the fault log once per outage. With `spin`, every connection's
  // arrivals are told to it.
  ConnectionServer(HostObjects& host, kj::Timer& timer, LoopSpin* spin = nullptr);
  ~ConnectionServer() noexcept(false);
  ConnectionServer(const ConnectionServer&) = delete;
  ConnectionServer& operator=(const ConnectionServer&) = delete;

  // Accepts on `receiver` until StopAccepting. With `tls`, each connection is served
  // once its TLS handshake is done (within kTlsHandshakeTimeout), each on its own, so
  // that a slow client holds up no other; `tls` must outlive the server.
  void Listen(kj::Own<kj::ConnectionReceiver> receiver, kj::TlsContext* tls = nullptr);

  // Accepts nothing more and closes the listeners; open connections stay.
  void StopAccepting();

  // Closes every connection, releasing the objects their clients held.
  void CloseConnections();

 private:
  struct Connection;
  struct Listener;
  kj::Promise<void> AcceptLoop(Listener& listener);
  // Serves what one accept handed over (after its TLS handshake, with `tls`).
  void Take(kj::AuthenticatedStream accepted, kj::TlsContext* tls);
  // Serves one connection; every object its client creates stamps `sender` on the
  // records it queues.
  void Serve(kj::Own<kj::AsyncIoStream> stream, recordkit::SenderIdentity sender);
  // Resolves when the connection's client has left too many answers unread.
  kj::Promise<void> UntilAnswersPileUp(Connection& connection);
  void taskFailed(kj::Exception&& exception) override;

  HostObjects& host_;
  kj::Timer& timer_;
  LoopSpin* spin_;
  // Declared before the tasks, so that the loops go before what they accept on.
  kj::Vector<kj::Own<Listener>> listeners_;
  kj::Own<kj::TaskSet> accepting_;
  kj::Own<kj::TaskSet> connections_;
};

}  // namespace ledgerwick::host
