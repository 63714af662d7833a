#include "host/daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include <kj/async-io.h>
#include <kj/async-unix.h>

#include "automation/blocking_worker.h"
#include "automation/class_registry.h"
#include "automation/clock.h"
#include "automation/event_log_writer.h"
#include "automation/file_appender.h"
#include "automation/notices.h"
#include "automation/timer_service.h"
#include "host/config_check.h"
#include "host/connection_server.h"
#include "host/home_folder.h"
#include "host/host_objects.h"
#include "host/idle_watch.h"
#include "host/loop_spin.h"
#include "host/metrics.h"
#include "host/start_error.h"
#include "host/store_classes.h"
#include "host/tls_listener.h"
#include "host/unix_listener.h"
#include "startup/logger_startup.h"
#include "startup/process_state.h"

namespace ledgerwick::host {

namespace {

// Events run between two looks at the sockets and timers while the loop is busy.
// One call takes fewer, so a call between idle spells costs no extra look (each is a
// system call); a long chain of a drain's events still lets the sockets in every
// millisecond or so.
constexpr uint kBusyPollInterval = 32;

// How long the loop stays awake after a busy client's call (see LoopSpin): longer
// than one client's turn from answer to next call, which is 50-100 us here.
constexpr kj::Duration kSpinWindow = 200 * kj::MICROSECONDS;

kj::Duration Seconds(double seconds) {
  return static_cast<int64_t>(std::llround(seconds * 1000.0)) * kj::MILLISECONDS;
}

enum class StopReason { Signal, Idle };

// systemd socket activation hands the listening socket over as descriptor 3, with
// LISTEN_PID naming this process. The variables are cleared so that nothing this
// process starts takes them for its own.
kj::Maybe<int> ActivationSocket() {
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  if (pid == nullptr || fds == nullptr) return nullptr;
  bool ours = std::strtol(pid, nullptr, 10) == static_cast<long>(getpid()) && std::strtol(fds, nullptr, 10) >= 1;
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  if (!ours) return nullptr;
  constexpr int kFirstPassedFd = 3;
  fcntl(kFirstPassedFd, F_SETFD, FD_CLOEXEC);
  return kFirstPassedFd;
}

int Serve(const DaemonOptions& options, kj::AsyncIoContext& io) {
  PrepareHome(options.homeDir, options.homeIsDefault);
  std::unique_ptr<UnixListener> unixListener;
  uint flags = kj::LowLevelAsyncIoProvider::TAKE_OWNERSHIP | kj::LowLevelAsyncIoProvider::ALREADY_CLOEXEC;
  KJ_IF_MAYBE(fd, ActivationSocket()) {
    unixListener = UnixListener::Adopt(*fd, options.socketPath);
  } else {
    unixListener = UnixListener::Open(options.socketPath);
    flags |= kj::LowLevelAsyncIoProvider::ALREADY_NONBLOCK;
  }
  kj::Own<kj::ConnectionReceiver> unixReceiver =
      io.lowLevelProvider->wrapListenSocketFd(unixListener->ReleaseFd(), flags);
  // A TCP port is open to whoever reaches it (a loopback one to every local user),
  // which the socket's mode is not: it takes TLS, or the operator's explicit word.
  kj::Own<ServerTls> tls;
  if (!options.tlsCert.empty() || !options.tlsKey.empty()) {
    if (options.tlsCert.empty() || options.tlsKey.empty()) {
      throw StartError("ledgerwickd: TLS needs both --tls-cert and --tls-key");
    }
    tls = kj::heap<ServerTls>(TlsFiles{options.tlsCert, options.tlsKey, options.tlsClientCa});
  } else if (!options.tlsClientCa.empty()) {
    throw StartError("ledgerwickd: --tls-client-ca needs --tls-cert and --tls-key");
  }
  if (!options.listen.empty() && !tls && !options.listenInsecure) {
    throw StartError(
        "ledgerwickd: --listen needs TLS (--tls-cert and --tls-key), or --listen-insecure to accept anyone who "
        "reaches the port");
  }
  kj::Vector<kj::Own<kj::ConnectionReceiver>> tcpReceivers;
  for (const std::string& hostPort : options.listen) {
    try {
      auto address = io.provider->getNetwork().parseAddress(hostPort).wait(io.waitScope);
      tcpReceivers.add(address->listen());
    } catch (const kj::Exception& e) {
      throw StartError("ledgerwickd: cannot listen on " + hostPort + ": " + e.getDescription().cStr());
    }
  }

  // The process: its outside dependencies and its state. Declared before what serves
  // clients, so that every Application is released while the state still stands.
  automation::SystemClock clock;
  automation::TimerService timers(io.provider->getTimer());
  // One thread for the work that blocks (SQLite's writes, the text log's appends):
  // the loop hands it runs and hears back, so a slow disk holds up only the drain.
  auto worker = std::make_shared<automation::WorkerThread>();
  automation::ClassRegistry classes;
  RegisterStoreClasses(classes, worker, io, clock);
  automation::StderrNotices notices;
  automation::PosixFileAppender files;
  automation::EventLogWriter eventLog(clock, files);
  journal::PosixJournalFiles journalFiles;
  ProcessState state(Environment{clock, timers, classes, notices, eventLog, files, *worker, options.configDir,
                                 options.homeDir, options.maxQueueMb << 20, &journalFiles, options.journalSync});
  // What the journal kept from before is queued ahead of any client's record. With
  // records waiting, start-up runs now rather than at the first Application, so
  // that they are written without waiting for a client.
  kj::Promise<void> earlyStartup = kj::READY_NOW;
  if (size_t replayed = state.RecoverJournal(); replayed > 0) {
    std::fprintf(stderr, "ledgerwickd: %zu journalled record%s to write from before\n", replayed,
                 replayed == 1 ? "" : "s");
    earlyStartup = InitializeLogger(state).then([&state]() { ReleaseInstance(state); }).eagerlyEvaluate(nullptr);
  }
  if (!state.journal->isOpen()) {
    std::fprintf(stderr, "ledgerwickd: the journal cannot be used; Loggit answers an error until it can\n");
  }
  HostObjects host(state);
  state.drain.SetWrittenObserver(
      kj::Function<void(kj::ArrayPtr<const automation::Variant>)>([&host](auto run) { host.written.Publish(run); }));
  KJ_DEFER(state.drain.SetWrittenObserver(nullptr));

  kj::Timer& timer = io.provider->getTimer();
  LoopSpin spin(kj::systemPreciseMonotonicClock(), timer, kSpinWindow);
  ConnectionServer server(host, timer, &spin);
  server.Listen(kj::mv(unixReceiver));
  for (auto& receiver : tcpReceivers) server.Listen(kj::mv(receiver), tls ? &tls->context() : nullptr);

  // The metrics endpoint reads the state and the counts; loopback unless a host is named.
  kj::Own<kj::ConnectionReceiver> metricsReceiver;
  kj::Own<MetricsServer> metrics;
  kj::Promise<void> servingMetrics = kj::READY_NOW;
  if (!options.metrics.empty()) {
    const std::string where =
        options.metrics.find(':') == std::string::npos ? "127.0.0.1:" + options.metrics : options.metrics;
    try {
      metricsReceiver = io.provider->getNetwork().parseAddress(where).wait(io.waitScope)->listen();
    } catch (const kj::Exception& e) {
      throw StartError("ledgerwickd: cannot serve metrics on " + where + ": " + e.getDescription().cStr());
    }
    metrics = kj::heap<MetricsServer>(timer, host);
    servingMetrics = metrics->Listen(*metricsReceiver).eagerlyEvaluate([](kj::Exception&& e) {
      std::fprintf(stderr, "ledgerwickd: the metrics endpoint stopped: %s\n", e.getDescription().cStr());
    });
  }

  if (metricsReceiver) {
    const std::string metricsHost = options.metrics.find(':') == std::string::npos
                                        ? "127.0.0.1"
                                        : options.metrics.substr(0, options.metrics.rfind(':'));
    std::fprintf(stderr, "ledgerwickd: metrics on http://%s:%u/metrics\n", metricsHost.c_str(),
                 metricsReceiver->getPort());
  }
  std::fprintf(stderr, "ledgerwickd: ready on %s\n", options.socketPath.c_str());
  for (const std::string& hostPort : options.listen) {
    std::fprintf(stderr, "ledgerwickd: also listening on %s (%s)\n", hostPort.c_str(),
                 !tls                           ? "TCP, no authentication"
                 : options.tlsClientCa.empty() ? "TLS"
                                               : "TLS, client certificates checked");
  }

  auto onSignal = [](int signal) {
    return [signal](siginfo_t) {
      std::fprintf(stderr, "ledgerwickd: %s received, stopping\n", signal == SIGTERM  ? "SIGTERM"
                                                                     : signal == SIGINT ? "SIGINT"
                                                                                        : "SIGHUP");
      return StopReason::Signal;
    };
  };
  kj::Promise<StopReason> stop = io.unixEventPort.onSignal(SIGTERM)
                                     .then(onSignal(SIGTERM))
                                     .exclusiveJoin(io.unixEventPort.onSignal(SIGINT).then(onSignal(SIGINT)))
                                     .exclusiveJoin(io.unixEventPort.onSignal(SIGHUP).then(onSignal(SIGHUP)));
  if (options.idleExitSeconds) {
    auto isIdle = [&host, &state]() {
      // An Application waiting for start-up is counted before a client holds it.
      return host.liveObjects == 0 && state.InstanceCount == 0 && state.drain.idle();
    };
    stop = stop.exclusiveJoin(WaitUntilIdle(timer, isIdle, Seconds(*options.idleExitSeconds)).then([]() {
      std::fprintf(stderr, "ledgerwickd: idle, stopping\n");
      return StopReason::Idle;
    }));
  }
  // A long drain is a chain of events; without this the loop would look at sockets
  // and timers only once the chain ends, and clients would wait behind it.
  io.waitScope.setBusyPollInterval(kBusyPollInterval);
  spin.Run(stop.ignoreResult(), io.waitScope);

  // Stop taking calls: no new connections, the socket file gone, and every client's
  // objects released. Then give what is queued its last chance.
  server.StopAccepting();
  unixListener->Unlink();
  server.CloseConnections();
  size_t left = state.drain.Flush(Seconds(options.drainTimeoutSeconds)).wait(io.waitScope);
  if (left > 0) {
    std::fprintf(stderr, "ledgerwickd: %zu queued record%s could not be written%s\n", left, left == 1 ? "" : "s",
                 state.journal->isOpen() ? "; the journal keeps them for the next start" : "");
  }
  std::fprintf(stderr, "ledgerwickd: stopped\n");
  return 0;
}

}  // namespace

int RunDaemon(const DaemonOptions& options) {
  // Signals become events on the loop; a client that goes away mid-write must not
  // kill the daemon.
  signal(SIGPIPE, SIG_IGN);
  // A write past the file-size limit fails like a full disk instead of killing the daemon.
  signal(SIGXFSZ, SIG_IGN);
  kj::UnixEventPort::captureSignal(SIGTERM);
  kj::UnixEventPort::captureSignal(SIGINT);
  // A closed terminal (make run) stops the daemon cleanly too, writing what is queued.
  kj::UnixEventPort::captureSignal(SIGHUP);
  auto io = kj::setupAsyncIo();
  try {
    if (options.checkConfig) return CheckConfig(options, io, std::cout);
    return Serve(options, io);
  } catch (const StartError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  } catch (const kj::Exception& e) {
    std::fprintf(stderr, "ledgerwickd: failed: %s\n", e.getDescription().cStr());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ledgerwickd: failed: %s\n", e.what());
    return 1;
  }
}

}  // namespace ledgerwick::host
