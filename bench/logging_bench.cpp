// What one event costs inside the server: the Loggit call a client waits for, and
// the drain's work per record into each target.

#include <benchmark/benchmark.h>

#include "recordkit/sqlite/sqlite_store.h"
#include "server/application.h"
#include "tests/support/test_process.h"

namespace ledgerwick {
namespace {

using automation::Variant;

void FillEvent(recordkit::PropertySet& set) {
  set.Item("AppName")->SetValue(Variant::String("Payroll"));
  set.Item("AppVersion")->SetValue(Variant::String("10.0.3"));
  set.Item("Description")->SetValue(Variant::String("Could not reach the print server"));
  set.Item("Severity")->SetValue(Variant::Integer(2));
  set.Item("EventCode")->SetValue(Variant::Long(4711));
  set.Item("UserName")->SetValue(Variant::String("ann"));
  set.Item("SubName")->SetValue(Variant::String("PrintBatch"));
  set.Item("ModuleName")->SetValue(Variant::String("modPrint"));
}

// The client-facing call: unpack nothing, stamp, pack, append.
void BM_Loggit(benchmark::State& bench) {
  testing::TestProcess process;
  process.StartWithoutStores(tofile);
  process.state.ReadyFlag = true;
  Application app(process.state);
  FillEvent(*app.GetProperties());
  Variant nothing;
  for (auto _ : bench) {
    app.Loggit(nothing);
    if (process.state.ErrorBuffer->size() > 100000) process.state.ErrorBuffer->clear();
  }
  bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(BM_Loggit);

// A client that packs the whole record locally and hands it over in one call.
void BM_LoggitWithPackedRecord(benchmark::State& bench) {
  testing::TestProcess process;
  process.StartWithoutStores(tofile);
  process.state.ReadyFlag = true;
  Application app(process.state);
  auto set = recordkit::PropertySet::NewEventSet();
  FillEvent(*set);
  Variant packed;
  recordkit::PropertyPacker().PackProperties(packed, *set);
  for (auto _ : bench) {
    Variant vData = packed;
    app.Loggit(vData);
    if (process.state.ErrorBuffer->size() > 100000) process.state.ErrorBuffer->clear();
  }
  bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(BM_LoggitWithPackedRecord);

// The drain's work for a batch of records, per record, into one target.
void DrainBatch(benchmark::State& bench, bool toSqlite) {
  testing::TestProcess process;
  recordkit::RegisterSqliteClasses(process.classes);
  if (toSqlite) {
    process.WriteSettings("[General]\nStorageType=1\nTextPath=" + process.homeDir.path() +
                          "\n[Attachments]\nLocalDSO=Recordkit.SqliteDSO\nLocalDTO=Recordkit.SqliteDTO\n"
                          "LocalConnect=DATABASE=" + (process.homeDir / "bench.db") + "\n");
  } else {
    process.WriteSettings("[General]\nStorageType=0\nTextPath=" + process.homeDir.path() + "\n");
  }
  Application app(process.state);
  FillEvent(*app.GetProperties());
  Variant nothing;
  const int64_t batch = bench.range(0);
  for (auto _ : bench) {
    bench.PauseTiming();
    for (int64_t i = 0; i < batch; ++i) app.Loggit(nothing);
    bench.ResumeTiming();
    process.RunFor(100 * kj::MILLISECONDS);
    if (!process.state.ErrorBuffer->empty()) bench.SkipWithError("records left in the queue");
  }
  bench.SetItemsProcessed(bench.iterations() * batch);
}

void BM_DrainToSqlite(benchmark::State& bench) { DrainBatch(bench, true); }
BENCHMARK(BM_DrainToSqlite)->Arg(100)->Unit(benchmark::kMillisecond);

void BM_DrainToTextLog(benchmark::State& bench) { DrainBatch(bench, false); }
BENCHMARK(BM_DrainToTextLog)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ledgerwick

BENCHMARK_MAIN();
