// What one event costs inside the server: the Loggit call a client waits for. The
// drain's work per record is measured by drain_bench.

#include <benchmark/benchmark.h>

#include "server/application.h"
#include "startup/writer_chain.h"
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
    if (process.state.drain.queued() > 100000) {
      bench.PauseTiming();
      process.RunFor(100 * kj::MILLISECONDS);  // writes them to the text log
      bench.ResumeTiming();
    }
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
    if (process.state.drain.queued() > 100000) {
      bench.PauseTiming();
      process.RunFor(100 * kj::MILLISECONDS);  // writes them to the text log
      bench.ResumeTiming();
    }
  }
  bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(BM_LoggitWithPackedRecord);

// BM_Loggit with every event journalled first: write(2) only (0), or one
// fdatasync per event (1), in the home folder's file system.
void BM_LoggitJournalled(benchmark::State& bench) {
  testing::TestProcess process;
  journal::PosixJournalFiles files;
  Environment env = process.Env();
  env.journalFiles = &files;
  env.journalSync = bench.range(0) == 0 ? journal::SyncMode::None : journal::SyncMode::Always;
  ProcessState state(env);
  state.RecoverJournal();
  state.InitStarted = true;
  state.ReadyFlag = true;
  state.CurrentLogMethod = tofile;
  state.drain.CreateErrorBuffer();
  state.TextLogPath = process.homeDir / kTextLogName;
  BuildWriterChain(state);
  {
    Application app(state);
    FillEvent(*app.GetProperties());
    Variant nothing;
    for (auto _ : bench) {
      app.Loggit(nothing);
      if (state.drain.queued() > 100000) {
        bench.PauseTiming();
        process.RunFor(100 * kj::MILLISECONDS);  // writes them, and the journal is compacted
        bench.ResumeTiming();
      }
    }
  }
  bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(BM_LoggitJournalled)->Arg(0)->Arg(1);

}  // namespace
}  // namespace ledgerwick

BENCHMARK_MAIN();
