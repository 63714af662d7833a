// ledgerwickd: the Ledgerwick logging daemon. Runs in the foreground.

#include <cmath>
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "host/daemon.h"
#include "host/home_folder.h"
#include "remoting/socket_path.h"


int main(int argc, char** argv) {
  ledgerwick::host::DaemonOptions options;
  std::string socket;
  double idleExit = -1;
  std::string journalSync = "none";

  // CLI::Range lets "nan" through, since no comparison with it holds; a NaN timeout
  // would never end the idle wait and has no length to drain for.
  const CLI::Validator finite(
      [](std::string& text) {
        double value = 0;
        bool ok = CLI::detail::lexical_cast(text, value) && std::isfinite(value);
        return ok ? std::string() : "Value " + text + " is not a finite number";
      },
      "", "FINITE");

  CLI::App app{"ledgerwickd: the Ledgerwick audit-event logging daemon"};
  app.set_version_flag("--version", "ledgerwickd 10.0");
  app.add_option("--config-dir", options.configDir, "Folder holding Ledgwk.ini")
      ->envname("LEDGERWICK_CONFIG_DIR")
      ->capture_default_str();
  app.add_option("--home", options.homeDir,
                 "Home folder: the fault log LWERR.LOG and the default text log (default: /var/lib/ledgerwick for root, else "
                 "$XDG_STATE_HOME/ledgerwick or ~/.local/state/ledgerwick)")
      ->envname("LEDGERWICK_HOME");
  app.add_option("--socket", socket,
                 "Unix socket to listen on (default: $LEDGERWICK_SOCKET, /run/ledgerwick/ledgerwick.sock for root, "
                 "else $XDG_RUNTIME_DIR/ledgerwick.sock)");
  app.add_option("--listen", options.listen,
                 "Also listen on TCP HOST:PORT, with TLS (--tls-cert, --tls-key), or without it given --listen-insecure");
  app.add_option("--metrics", options.metrics,
                 "Serve the metrics in the Prometheus text format at http://HOST:PORT/metrics (PORT alone: on "
                 "127.0.0.1)");
  app.add_option("--tls-cert", options.tlsCert, "PEM certificate (chain) of the TCP listeners");
  app.add_option("--tls-key", options.tlsKey, "PEM private key of the TCP listeners");
  app.add_option("--tls-client-ca", options.tlsClientCa,
                 "PEM CA certificate: TCP clients must present a certificate it signed");
  app.add_flag("--listen-insecure", options.listenInsecure,
               "Let --listen accept plain TCP from anyone who reaches the port (trusted networks only)");
  app.add_option("--drain-timeout", options.drainTimeoutSeconds,
                 "At a clean stop, how long to go on writing queued records")
      ->check(finite)
      ->check(CLI::Range(0.0, 86400.0))
      ->capture_default_str();
  app.add_option("--max-queue-mb", options.maxQueueMb,
                 "What the queue of records not yet written may hold, in MiB; past it Loggit answers 7 "
                 "(Out of memory) and the client keeps its record")
      ->check(CLI::Range(1, 1 << 20))
      ->capture_default_str();
  app.add_option("--journal-sync", journalSync,
                 "When the journal of accepted records reaches the disk before Loggit answers: none (written, "
                 "not synced: survives a killed daemon), batch (one fdatasync for the calls that arrive together), always (one "
                 "fdatasync per event)")
      ->check(CLI::IsMember({"none", "batch", "always"}))
      ->capture_default_str();
  app.add_option("--idle-exit", idleExit,
                 "Stop after this long with no Application objects and nothing queued")
      ->check(finite)
      ->check(CLI::Range(0.0, 31536000.0));
  app.add_flag("--check-config", options.checkConfig,
               "Read the settings, try the stores and the folders, print what start-up would do, and exit "
               "(1 when something stands in the way)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  if (options.homeDir.empty()) {
    options.homeDir = ledgerwick::DefaultHome();
    options.homeIsDefault = true;
  }
  options.socketPath = ledgerwick::ResolveSocketPath(socket);
  if (idleExit >= 0) options.idleExitSeconds = idleExit;
  options.journalSync = *ledgerwick::journal::ParseSyncMode(journalSync);
  return ledgerwick::host::RunDaemon(options);
}
