#include "client/connection.h"

#include <sched.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "client/daemon_launcher.h"
#include "remoting/rpc_status.h"
#include "remoting/socket_path.h"

namespace ledgerwick::client {

namespace {

// A connected stream socket, or -1 with errno set.
int TryConnect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

bool AutostartDisabled() {
  const char* value = std::getenv("LEDGERWICK_NO_AUTOSTART");
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

// Nothing listens there (yet): the cases where starting the daemon can help.
bool NobodyListens(int error) { return error == ENOENT || error == ECONNREFUSED; }

void Pause(std::chrono::milliseconds pause) {
  timespec request{0, static_cast<long>(pause.count()) * 1000000L};
  while (nanosleep(&request, &request) != 0 && errno == EINTR) {
  }
}

// Starts ledgerwickd for `path` and waits until it answers; the connected fd, or -1 with
// errno set when something other than "nobody listens" stands in the way.
int StartDaemonAndConnect(const Options& options, const std::string& path) {
  // A daemon started here would refuse such a folder; and its log file is not to be
  // opened where another user may have put a link in its place.
  if (std::string problem = UnsafeSocketFolder(SocketFolder(path)); !problem.empty()) {
    throw ConnectError("ledgerwick: will not start ledgerwickd: " + problem);
  }
  std::string settingsFolder;
  if (KnownSettingsFile(settingsFolder).empty()) {
    throw ConnectError("ledgerwick: nothing listens on " + path + ", and no daemon was started there: no Ledgwk.ini in " +
                       settingsFolder +
                       " (set LEDGERWICK_CONFIG_DIR to the daemon's settings folder, or start ledgerwickd yourself)");
  }
  // One client at a time starts a daemon; the others wait here, then find it answering.
  LaunchLock launchLock(path + ".launch");
  int fd = TryConnect(path);
  if (fd >= 0 || !NobodyListens(errno)) return fd;

  const std::string daemon = FindDaemon(options.daemonPath);
  StartDaemon(daemon, path);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.startTimeoutMs);
  for (;;) {
    fd = TryConnect(path);
    if (fd >= 0 || !NobodyListens(errno)) return fd;
    if (std::chrono::steady_clock::now() >= deadline) {
      throw ConnectError("ledgerwick: started " + daemon + ", but nothing answers on " + path + " after " +
                         std::to_string(options.startTimeoutMs) + " ms (see " + path + ".log)");
    }
    Pause(std::chrono::milliseconds(10));
  }
}

std::string FromEnvironment(const std::string& given, const char* name) {
  if (!given.empty()) return given;
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

std::string ReadFileOrThrow(const std::string& path, const char* what) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  if (!in || content.str().empty()) throw ConnectError("ledgerwick: cannot read the " + std::string(what) + " " + path);
  return content.str();
}

// The HOST of HOST:PORT ("[::1]:5000" gives "::1").
std::string HostOf(const std::string& address) {
  if (!address.empty() && address[0] == '[') return address.substr(1, address.find(']') - 1);
  return address.substr(0, address.rfind(':'));
}

}  // namespace

// The client's TLS context, with what it was made from.
struct Connection::ClientTls {
  kj::Own<kj::TlsCertificate> ca;
  kj::Own<kj::TlsKeypair> keypair;
  kj::Own<kj::TlsContext> context;
};

std::shared_ptr<Connection> Connection::Open(const Options& options) {
  if (std::string address = FromEnvironment(options.address, "LEDGERWICK_ADDRESS"); !address.empty()) {
    try {
      return std::make_shared<Connection>(Private{}, options, address);
    } catch (const kj::Exception& e) {
      throw ConnectError("ledgerwick: cannot reach ledgerwickd at " + address + ": " + e.getDescription().cStr());
    }
  }
  const std::string path = ResolveSocketPath(options.socketPath);
  int fd = TryConnect(path);
  if (fd < 0 && NobodyListens(errno) && options.autostart && !AutostartDisabled()) {
    fd = StartDaemonAndConnect(options, path);
  }
  if (fd < 0) {
    throw ConnectError("ledgerwick: cannot reach ledgerwickd on " + path + ": " + std::strerror(errno));
  }
  try {
    return std::make_shared<Connection>(Private{}, fd, path);
  } catch (const kj::Exception& e) {
    // The likely cause: this thread runs an event loop already (another Connection).
    close(fd);
    throw ConnectError(std::string("ledgerwick: cannot set up the connection (one Connection per thread; share it "
                                   "between Applications): ") +
                       e.getDescription().cStr());
  }
}

Connection::Connection(Private, int fd, std::string socketPath)
    : socketPath_(std::move(socketPath)),
      io_(kj::setupAsyncIo()),
      stream_(io_.lowLevelProvider->wrapSocketFd(
          fd, kj::LowLevelAsyncIoProvider::TAKE_OWNERSHIP | kj::LowLevelAsyncIoProvider::ALREADY_CLOEXEC)),
      rpc_(kj::heap<capnp::TwoPartyClient>(*stream_)),
      bridge_(std::make_unique<remoting::ObjectBridge>(
          nullptr, &io_.waitScope,
          [this]() -> std::shared_ptr<void> { return shared_from_this(); })),
      factory_(rpc_->bootstrap().castAs<rpc::Factory>()) {}

Connection::Connection(Private, const Options& options, std::string address)
    : socketPath_(std::move(address)), io_(kj::setupAsyncIo()) {
  const char* insecure = std::getenv("LEDGERWICK_INSECURE");
  const bool plain = options.insecure || (insecure != nullptr && *insecure != '\0' && std::strcmp(insecure, "0") != 0);
  if (!plain) {
    tls_ = std::make_unique<ClientTls>();
    kj::TlsContext::Options tlsOptions;
    const std::string ca = FromEnvironment(options.tlsCa, "LEDGERWICK_TLS_CA");
    if (!ca.empty()) {
      tls_->ca = kj::heap<kj::TlsCertificate>(ReadFileOrThrow(ca, "TLS CA").c_str());
      tlsOptions.useSystemTrustStore = false;
      tlsOptions.trustedCertificates = kj::arrayPtr(tls_->ca.get(), 1);
    }
    const std::string cert = FromEnvironment(options.tlsCert, "LEDGERWICK_TLS_CERT");
    const std::string key = FromEnvironment(options.tlsKey, "LEDGERWICK_TLS_KEY");
    if (!cert.empty() || !key.empty()) {
      if (cert.empty() || key.empty()) throw ConnectError("ledgerwick: a client certificate needs its key, and a key its certificate");
      tls_->keypair = kj::heap<kj::TlsKeypair>(kj::TlsKeypair{kj::TlsPrivateKey(ReadFileOrThrow(key, "TLS key").c_str()),
                                                              kj::TlsCertificate(ReadFileOrThrow(cert, "TLS certificate").c_str())});
      tlsOptions.defaultKeypair = *tls_->keypair;
    }
    tls_->context = kj::heap<kj::TlsContext>(kj::mv(tlsOptions));
  }
  auto connected = io_.provider->getNetwork().parseAddress(socketPath_).then(
      [](kj::Own<kj::NetworkAddress> address) { return address->connect(); });
  if (tls_) {
    const std::string host = HostOf(socketPath_);
    connected = connected.then([this, host](kj::Own<kj::AsyncIoStream> stream) {
      return tls_->context->wrapClient(kj::mv(stream), host);
    });
  }
  stream_ = connected.wait(io_.waitScope);
  rpc_ = kj::heap<capnp::TwoPartyClient>(*stream_);
  bridge_ = std::make_unique<remoting::ObjectBridge>(nullptr, &io_.waitScope,
                                                     [this]() -> std::shared_ptr<void> { return shared_from_this(); });
  factory_ = rpc_->bootstrap().castAs<rpc::Factory>();
}

Connection::~Connection() = default;

void Connection::Wait(kj::Promise<void>&& promise) {
  try {
    LookFor(promise);
    promise.wait(io_.waitScope);
  } catch (const kj::Exception& e) {
    Rethrow(e);
  }
}

void Connection::OfferCore() { sched_yield(); }

void Connection::Rethrow(const kj::Exception& exception) {
  if (exception.getType() == kj::Exception::Type::DISCONNECTED) {
    throw ConnectError(std::string("ledgerwick: lost the connection to ledgerwickd: ") +
                       exception.getDescription().cStr());
  }
  throw remoting::ErrorOf(exception);
}

automation::wire::Dispatch::Client Connection::Create(const std::string& progId) {
  auto request = factory_.createRequest();
  request.setProgId(progId);
  auto response = Wait(request.send());
  remoting::CheckStatus(response.getStatus());
  return response.getObject();
}

namespace {

class RecordListener final : public rpc::WrittenListener::Server {
 public:
  RecordListener(kj::Function<void(std::vector<automation::Variant>&)> onRecords, kj::Function<void()> onFollowing)
      : onRecords_(kj::mv(onRecords)), onFollowing_(kj::mv(onFollowing)) {}

 protected:
  kj::Promise<void> written(WrittenContext context) override {
    // The daemon's first call holds no records: it follows from now on.
    if (!following_) {
      following_ = true;
      onFollowing_();
    }
    if (context.getParams().getRecords().size() == 0) return kj::READY_NOW;
    std::vector<automation::Variant> records;
    for (capnp::Data::Reader bytes : context.getParams().getRecords()) {
      records.push_back(automation::Variant::Array(
          automation::SafeArray::FromBytes(std::vector<uint8_t>(bytes.begin(), bytes.end()))));
    }
    onRecords_(records);
    return kj::READY_NOW;
  }

 private:
  kj::Function<void(std::vector<automation::Variant>&)> onRecords_;
  kj::Function<void()> onFollowing_;
  bool following_ = false;
};

}  // namespace

void Connection::Follow(kj::Function<void(std::vector<automation::Variant>&)> onRecords,
                        kj::Function<void()> onFollowing) {
  auto admin = factory_.adminRequest().send().getAdmin();
  auto request = admin.followRequest();
  request.setListener(kj::heap<RecordListener>(kj::mv(onRecords), kj::mv(onFollowing)));
  // The daemon calls the listener on this loop while the call waits; it is answered
  // only when the daemon stops following (refused, or this follower fell behind).
  auto response = Wait(request.send());
  remoting::CheckStatus(response.getStatus());
  throw ConnectError("ledgerwick: ledgerwickd stopped sending what is written");
}

DaemonStatus Connection::Status() {
  auto admin = factory_.adminRequest().send().getAdmin();
  auto response = Wait(admin.statusRequest().send());
  remoting::CheckStatus(response.getStatus());
  auto d = response.getDaemon();
  auto c = d.getCounters();
  DaemonStatus status;
  status.pid = d.getPid();
  status.ready = d.getReady();
  status.startupDone = d.getStartupDone();
  status.logMethod = d.getLogMethod();
  status.queueLength = d.getQueueLength();
  status.queueBytes = d.getQueueBytes();
  status.queueLimitBytes = d.getQueueLimitBytes();
  status.journalBytes = d.getJournalBytes();
  status.journalRecords = d.getJournalRecords();
  status.journalSync = d.getJournalSync();
  status.instanceCount = d.getInstanceCount();
  status.liveObjects = d.getLiveObjects();
  status.connections = d.getConnections();
  status.drainBusy = d.getDrainBusy();
  status.drainIntervalMs = d.getDrainIntervalMs();
  status.toNetworkStore = c.getToNetworkStore();
  status.toLocalStore = c.getToLocalStore();
  status.toTextLog = c.getToTextLog();
  status.faults = c.getFaults();
  auto store = [](rpc::StoreState::Reader in) {
    return StoreState{in.getOpened(), in.getOpen(), in.getDownSince(), in.getLastError()};
  };
  status.networkStore = store(d.getNetworkStore());
  status.localStore = store(d.getLocalStore());
  return status;
}

}  // namespace ledgerwick::client
