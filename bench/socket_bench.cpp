// What a client sees over the daemon's Unix socket: calls per second (wall clock)
// against a real ledgerwickd, for a bare member read, Loggit of the fields already
// in Properties, and Loggit of a record packed by the client.

#include <signal.h>

#include <memory>

#include <benchmark/benchmark.h>

#include "client/application.h"
#include "recordkit/property_set.h"
#include "tests/daemon_harness.h"

namespace ledgerwick {
namespace {

using automation::Variant;

// A daemon for one benchmark run; records go to a text log in a temporary folder.
class Daemon {
 public:
  Daemon() {
    testing::WriteSettings(dir.path(), 0, dir.path(), "");
    process = std::make_unique<testing::DaemonProcess>(
        LEDGERWICKD_PATH,
        std::vector<std::string>{"--config-dir", dir.path(), "--home", dir.path(), "--socket", dir / "b.sock",
                                 "--drain-timeout", "0"});
    if (!process->WaitForLine("ledgerwickd: ready on")) throw std::runtime_error(process->Stderr());
    client::Options options;
    options.socketPath = dir / "b.sock";
    options.autostart = false;
    connection = client::Connection::Open(options);
  }
  ~Daemon() {
    connection.reset();
    process->Stop(SIGTERM);
  }

  testing::ShortTempDir dir;
  std::unique_ptr<testing::DaemonProcess> process;
  std::shared_ptr<client::Connection> connection;
};

void BM_GetName(benchmark::State& bench) {
  Daemon daemon;
  client::Application app(daemon.connection);
  for (auto _ : bench) benchmark::DoNotOptimize(app.GetName());
  bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(BM_GetName)->UseRealTime();

void BM_LoggitOfProperties(benchmark::State& bench) {
  Daemon daemon;
  client::Application app(daemon.connection);
  app.Properties().Item("AppName").SetValue(Variant::String("Payroll"));
  app.Properties().Item("Description").SetValue(Variant::String("Could not reach the print server"));
  for (auto _ : bench) app.Loggit();
  bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(BM_LoggitOfProperties)->UseRealTime();

void BM_LoggitOfPackedRecord(benchmark::State& bench) {
  Daemon daemon;
  client::Application app(daemon.connection);
  auto fields = recordkit::PropertySet::NewEventSet();
  fields->Item("AppName")->SetValue(Variant::String("Payroll"));
  fields->Item("Description")->SetValue(Variant::String("Could not reach the print server"));
  fields->Item("EventCode")->SetValue(Variant::Long(4711));
  for (auto _ : bench) app.Loggit(*fields);
  bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(BM_LoggitOfPackedRecord)->UseRealTime();

}  // namespace
}  // namespace ledgerwick

BENCHMARK_MAIN();
