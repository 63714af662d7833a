#pragma once
// ledgerwickd: one kj event loop serving clients over the daemon's socket, running
// the drain timer and waiting for the stores; a clean stop drains what is queued.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "journal/journal.h"

namespace ledgerwick::host {

struct DaemonOptions {
  std::string configDir = "/etc";      // the folder that holds Ledgwk.ini
  std::string homeDir;                 // LWERR.LOG and the default text log
  bool homeIsDefault = false;          // not named by the operator: made when missing
  std::string socketPath;              // resolved already
  std::vector<std::string> listen;     // extra TCP listeners, HOST:PORT
  std::string metrics;                 // the metrics endpoint, HOST:PORT or PORT (loopback)
  // TLS for the TCP listeners: the daemon's certificate and key, and the CA whose
  // certificates clients must present (empty: none asked). Without a certificate a
  // listener needs listenInsecure.
  std::string tlsCert, tlsKey, tlsClientCa;
  bool listenInsecure = false;
  double drainTimeoutSeconds = 10;
  size_t maxQueueMb = 256;             // the queue's bound, in MiB
  journal::SyncMode journalSync = journal::SyncMode::None;
  std::optional<double> idleExitSeconds;
  bool checkConfig = false;            // report what start-up would do, then exit
};

// Runs until SIGTERM or SIGINT (or the idle exit), then stops accepting, closes the
// connections, drains the queue and answers the exit code: 0 after a clean stop,
// 1 when the daemon could not start (the reason is on standard error). With
// checkConfig, prints the settings check on standard output instead and answers
// 0 when nothing stands in the way of a start, else 1.
int RunDaemon(const DaemonOptions& options);

}  // namespace ledgerwick::host
