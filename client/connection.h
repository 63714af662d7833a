#pragma once
// One client's connection to ledgerwickd, with its own kj event loop on which every
// call blocks until answered. One Connection per thread: the loop belongs to the
// thread that opened it. Objects made on a connection keep it open.

#include <cstdint>
#include <memory>
#include <string>

#include <capnp/rpc-twoparty.h>
#include <kj/async-io.h>
#include <kj/compat/tls.h>
#include <kj/time.h>

#include "client/connect_error.h"
#include "remoting/object_bridge.h"
#include "server/ledgerwick.capnp.h"

namespace ledgerwick::client {

struct Options {
  std::string socketPath;    // empty: $LEDGERWICK_SOCKET, else the default for the user
  // A daemon's TCP listener, HOST:PORT, instead of a socket; empty: $LEDGERWICK_ADDRESS.
  // TLS unless `insecure` ($LEDGERWICK_INSECURE): the daemon's certificate is checked
  // against `tlsCa` ($LEDGERWICK_TLS_CA; empty: the system's CAs) for HOST, and
  // `tlsCert` with `tlsKey` ($LEDGERWICK_TLS_CERT, $LEDGERWICK_TLS_KEY) are this
  // client's own, for a daemon that asks for one.
  std::string address;
  bool insecure = false;
  std::string tlsCa, tlsCert, tlsKey;
  bool autostart = true;     // also off when $LEDGERWICK_NO_AUTOSTART is set (not "0")
  std::string daemonPath;    // empty: see FindDaemon
  int startTimeoutMs = 5000; // how long a started daemon may take to answer
};

// What the daemon holds and has done since it started.
// One log store as the daemon's writer sees it.
struct StoreState {
  bool opened = false;  // start-up opened it
  bool open = false;    // it takes records now
  std::string downSince;  // while opened and not open: since when, local time
  std::string lastError;  // and why
};

struct DaemonStatus {
  int32_t pid = 0;
  bool ready = false;
  bool startupDone = false;
  int32_t logMethod = 0;
  uint64_t queueLength = 0;
  uint64_t queueBytes = 0;
  uint64_t queueLimitBytes = 0;
  uint64_t journalBytes = 0;
  uint64_t journalRecords = 0;
  std::string journalSync;  // empty: the daemon keeps no journal
  int32_t instanceCount = 0;
  uint32_t liveObjects = 0;
  uint32_t connections = 0;
  bool drainBusy = false;
  int32_t drainIntervalMs = 0;
  uint64_t toNetworkStore = 0;
  uint64_t toLocalStore = 0;
  uint64_t toTextLog = 0;
  uint64_t faults = 0;
  StoreState networkStore;
  StoreState localStore;
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // Connects to the daemon's socket; when nothing listens there and autostart is on,
  // starts ledgerwickd and retries for up to startTimeoutMs. Raises ConnectError.
  static std::shared_ptr<Connection> Open(const Options& options = {});
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::string& socketPath() const { return socketPath_; }
  rpc::Factory::Client& factory() { return factory_; }
  kj::WaitScope& waitScope() { return io_.waitScope; }
  const remoting::ObjectBridge& bridge() const { return *bridge_; }
  const automation::ObjectCodec* codec() const { return &bridge_->codec(); }

  // Waits for `promise` on this connection's loop. Raises AutomationError for what
  // the daemon answered, ConnectError when the connection broke.
  //
  // A daemon on the same machine answers a call within tens of microseconds, less
  // than it takes this thread to fall asleep and be woken again (far less on a
  // virtual machine). So a wait looks for its answer for up to kAnswerSpin, offering
  // the core to any other thread at each look, before it sleeps. After
  // kSlowAnswersBeforeSleeping waits in a row whose answer was not there by then
  // (a daemon across a network, long calls), waits sleep at once, but every
  // kLookAgainEvery-th looks again, and a quick answer starts the looking again.
  static constexpr kj::Duration kAnswerSpin = 100 * kj::MICROSECONDS;
  static constexpr unsigned kSlowAnswersBeforeSleeping = 4;
  static constexpr unsigned kLookAgainEvery = 64;
  template <typename T>
  T Wait(kj::Promise<T>&& promise);
  void Wait(kj::Promise<void>&& promise);

  // Creates an object by program identifier ("Ledgerwick.Application").
  automation::wire::Dispatch::Client Create(const std::string& progId);

  DaemonStatus Status();

  // Hands `onRecords` every run of records the daemon writes from now on (packed
  // records, oldest first), after `onFollowing` once the daemon has taken the
  // listener; returns only by raising: ConnectError when the connection ends,
  // AutomationError with the daemon's reason when it refuses or stops following.
  void Follow(kj::Function<void(std::vector<automation::Variant>&)> onRecords, kj::Function<void()> onFollowing);

 private:
  struct Private {};

 public:
  Connection(Private, int fd, std::string socketPath);
  Connection(Private, const Options& options, std::string address);

 private:
  [[noreturn]] static void Rethrow(const kj::Exception& exception);
  // Looks for `promise` to be ready for up to kAnswerSpin while answers come quickly
  // (see Wait).
  template <typename T>
  void LookFor(kj::Promise<T>& promise);
  static void OfferCore();

  const kj::MonotonicClock& clock_ = kj::systemPreciseMonotonicClock();
  unsigned slowAnswers_ = 0;  // waits in a row whose answer was not there in time
  unsigned sleptWaits_ = 0;   // waits that slept at once since the last look

  struct ClientTls;

  std::string socketPath_;  // or the TCP address
  kj::AsyncIoContext io_;
  std::unique_ptr<ClientTls> tls_;  // before the stream it carries
  kj::Own<kj::AsyncIoStream> stream_;
  kj::Own<capnp::TwoPartyClient> rpc_;
  std::unique_ptr<remoting::ObjectBridge> bridge_;
  rpc::Factory::Client factory_ = nullptr;
};

template <typename T>
void Connection::LookFor(kj::Promise<T>& promise) {
  if (slowAnswers_ >= kSlowAnswersBeforeSleeping && ++sleptWaits_ % kLookAgainEvery != 0) return;
  const kj::TimePoint began = clock_.now();
  while (!promise.poll(io_.waitScope)) {
    if (clock_.now() - began >= kAnswerSpin) {
      if (slowAnswers_ < kSlowAnswersBeforeSleeping) ++slowAnswers_;
      return;
    }
    OfferCore();
  }
  slowAnswers_ = 0;
  sleptWaits_ = 0;
}

template <typename T>
T Connection::Wait(kj::Promise<T>&& promise) {
  try {
    LookFor(promise);
    return promise.wait(io_.waitScope);
  } catch (const kj::Exception& e) {
    Rethrow(e);
  }
}

}  // namespace ledgerwick::client
