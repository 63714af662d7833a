#pragma once
// The metrics endpoint: GET /metrics answers the daemon's counters and gauges in the
// Prometheus text format (version 0.0.4), served by kj's HTTP server on the daemon's
// loop. It only reads; nothing can be changed through it.

#include <string>

#include <kj/async-io.h>
#include <kj/compat/http.h>
#include <kj/timer.h>

#include "host/host_objects.h"

namespace ledgerwick::host {

// The exposition of what `host` and its process state hold now.
std::string RenderMetrics(const HostObjects& host);

class MetricsServer {
 public:
  // `host` and `timer` must outlive the server.
  MetricsServer(kj::Timer& timer, const HostObjects& host);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Serves connections arriving on `receiver` until the promise is dropped.
  kj::Promise<void> Listen(kj::ConnectionReceiver& receiver);

 private:
  class Service;
  kj::Own<kj::HttpHeaderTable> headers_;
  kj::Own<Service> service_;
  kj::Own<kj::HttpServer> server_;
};

}  // namespace ledgerwick::host
