#include "host/metrics.h"

#include <charconv>
#include <cstdio>
#include <string>

namespace ledgerwick::host {

namespace {

// One metric family: its HELP and TYPE lines, then its samples.
class Exposition {
 public:
  void Family(const char* name, const char* type, const char* help) {
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const std::string& name, double value, const std::string& labels = "") {
    text_ += name;
    if (!labels.empty()) text_ += "{" + labels + "}";
    text_ += " " + Number(value) + "\n";
  }
  void Gauge(const char* name, const char* help, double value) {
    Family(name, "gauge", help);
    Sample(name, value);
  }
  void Counter(const char* name, const char* help, double value) {
    Family(name, "counter", help);
    Sample(name, value);
  }
  void HistogramOf(const char* name, const char* help, const Histogram& histogram) {
    Family(name, "histogram", help);
    const std::vector<uint64_t> cumulative = histogram.Cumulative();
    for (size_t i = 0; i < cumulative.size(); ++i) {
      Sample(std::string(name) + "_bucket", static_cast<double>(cumulative[i]),
             "le=\"" + Number(histogram.bounds()[i]) + "\"");
    }
    Sample(std::string(name) + "_bucket", static_cast<double>(histogram.count()), "le=\"+Inf\"");
    Sample(std::string(name) + "_sum", histogram.sum());
    Sample(std::string(name) + "_count", static_cast<double>(histogram.count()));
  }
  std::string Take() { return std::move(text_); }

 private:
  // The shortest text that reads back as the same value.
  static std::string Number(double value) {
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, written.ptr);
  }

  std::string text_;
};

double Seconds(kj::Duration duration) { return static_cast<double>(duration / kj::NANOSECONDS) / 1e9; }

void StoreFamily(Exposition& out, const ProcessState& state) {
  out.Family("ledgerwick_store_open", "gauge", "1 while the store takes records; 0 while it is down or was not opened");
  auto sample = [&out](const char* store, const std::shared_ptr<recordkit::DSO>& dso,
                       const std::shared_ptr<recordkit::DTO>& dto) {
    const bool open = dso != nullptr && dto != nullptr && dso->Health().open;
    out.Sample("ledgerwick_store_open", open ? 1 : 0, std::string("store=\"") + store + "\"");
  };
  sample("network", state.NetDSO, state.NetDTO);
  sample("local", state.LocalDSO, state.LocalDTO);
}

}  // namespace

std::string RenderMetrics(const HostObjects& host) {
  const ProcessState& state = host.state;
  Exposition out;
  out.Gauge("ledgerwick_ready", "1 once a log store opened at start-up", state.ReadyFlag ? 1 : 0);
  out.Gauge("ledgerwick_queue_records", "Records accepted and not yet written",
            static_cast<double>(state.drain.queued()));
  out.Gauge("ledgerwick_queue_bytes", "What the queued records take", static_cast<double>(state.drain.queuedBytes()));
  out.Gauge("ledgerwick_queue_limit_bytes", "What the queue may hold (--max-queue-mb)",
            static_cast<double>(state.drain.maxQueueBytes()));

  const WriterCounters& written = state.writer.counters();
  out.Family("ledgerwick_records_written_total", "counter", "Records each target took");
  out.Sample("ledgerwick_records_written_total", static_cast<double>(written.toNetworkStore),
             "target=\"network_store\"");
  out.Sample("ledgerwick_records_written_total", static_cast<double>(written.toLocalStore), "target=\"local_store\"");
  out.Sample("ledgerwick_records_written_total", static_cast<double>(written.toTextLog), "target=\"text_log\"");
  out.Family("ledgerwick_records_not_taken_total", "counter",
             "Records a target was handed and did not take, counted at each hand-over (passed on along the "
             "chain, or kept queued and handed over again at the next try)");
  out.Sample("ledgerwick_records_not_taken_total", static_cast<double>(written.notTakenByNetworkStore),
             "target=\"network_store\"");
  out.Sample("ledgerwick_records_not_taken_total", static_cast<double>(written.notTakenByLocalStore),
             "target=\"local_store\"");
  out.Sample("ledgerwick_records_not_taken_total", static_cast<double>(written.notTakenByTextLog),
             "target=\"text_log\"");
  StoreFamily(out, state);

  out.Counter("ledgerwick_faults_total", "Entries made in the fault log LWERR.LOG",
              static_cast<double>(state.faultLog.entries()));
  const DrainStats& drain = state.drain.stats();
  out.Counter("ledgerwick_outages_total", "Times no target could take the oldest queued record",
              static_cast<double>(drain.outages));
  out.Counter("ledgerwick_outage_seconds_total", "How long the outages lasted, the one going on included",
              Seconds(state.drain.OutageTime()));
  out.Gauge("ledgerwick_outage", "1 while no target takes the oldest queued record", drain.outageSince == nullptr ? 0 : 1);
  out.HistogramOf("ledgerwick_drain_run_records", "Records handed to the writer in one run", drain.runRecords);
  out.HistogramOf("ledgerwick_drain_run_seconds", "How long the writer took to answer a run", drain.runSeconds);

  out.Counter("ledgerwick_loggit_calls_total", "Events handed to Loggit, through either door",
              static_cast<double>(state.loggitTally.accepted() + state.loggitTally.refused()));
  out.Counter("ledgerwick_loggit_errors_total", "Events Loggit answered with an error",
              static_cast<double>(state.loggitTally.refused() + drain.refusedAtCommit));
  if (state.journal) {
    out.Gauge("ledgerwick_journal_bytes", "The journal file's size", static_cast<double>(state.journal->fileBytes()));
    out.Gauge("ledgerwick_journal_records", "Records journalled that no target took yet",
              static_cast<double>(state.journal->records()));
  }
  out.Gauge("ledgerwick_connections", "Client connections open now", host.connections);
  out.Gauge("ledgerwick_live_objects", "Application objects clients hold now", host.liveObjects);
  out.Gauge("ledgerwick_instances", "The instance count", state.InstanceCount);
  return out.Take();
}

class MetricsServer::Service final : public kj::HttpService {
 public:
  Service(const HostObjects& host, const kj::HttpHeaderTable& headers) : host_(host), headers_(headers) {}

  kj::Promise<void> request(kj::HttpMethod method, kj::StringPtr url, const kj::HttpHeaders& /*headers*/,
                            kj::AsyncInputStream& /*requestBody*/, Response& response) override {
    kj::HttpHeaders answer(headers_);
    if (url != "/metrics" && !url.startsWith("/metrics?")) {
      return response.sendError(404, "Not Found", headers_);
    }
    if (method != kj::HttpMethod::GET && method != kj::HttpMethod::HEAD) {
      answer.add("Allow", "GET, HEAD");
      return response.sendError(405, "Method Not Allowed", answer);
    }
    auto text = kj::heap<std::string>(RenderMetrics(host_));
    answer.set(kj::HttpHeaderId::CONTENT_TYPE, "text/plain; version=0.0.4; charset=utf-8");
    auto body = response.send(200, "OK", answer, static_cast<uint64_t>(text->size()));
    if (method == kj::HttpMethod::HEAD) return kj::READY_NOW;
    auto written = body->write(text->data(), text->size());
    return written.attach(kj::mv(body), kj::mv(text));
  }

 private:
  const HostObjects& host_;
  const kj::HttpHeaderTable& headers_;
};

MetricsServer::MetricsServer(kj::Timer& timer, const HostObjects& host)
    : headers_(kj::HttpHeaderTable::Builder().build()),
      service_(kj::heap<Service>(host, *headers_)),
      server_(kj::heap<kj::HttpServer>(timer, *headers_, *service_)) {}

MetricsServer::~MetricsServer() = default;

kj::Promise<void> MetricsServer::Listen(kj::ConnectionReceiver& receiver) { return server_->listenHttp(receiver); }

}  // namespace ledgerwick::host
