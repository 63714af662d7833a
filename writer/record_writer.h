#pragma once
// The record writer: delivers a run of records by the log method, to the text log,
// or along the chain network store, local store, text log, where each target is
// handed what the targets before it did not take.

#include <cstdint>

#include <kj/async.h>
#include <kj/memory.h>

#include "automation/variant.h"
#include "writer/fault_log.h"
#include "writer/log_target.h"

namespace ledgerwick {

// The LogMethods enumeration.
enum LogMethods : int32_t { tofile = 0, toDatabase = 1, ToEmail = 2 };

// Records each target took since the process started, and records a target that is
// there was handed and did not take (they went on along the chain, or stayed queued).
struct WriterCounters {
  uint64_t toNetworkStore = 0;
  uint64_t toLocalStore = 0;
  uint64_t toTextLog = 0;
  uint64_t notTakenByNetworkStore = 0;
  uint64_t notTakenByLocalStore = 0;
  uint64_t notTakenByTextLog = 0;
};

class RecordWriter {
 public:
  explicit RecordWriter(FaultLog& faults) : faults_(faults) {}
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // The chain's targets, as start-up opened them; called once start-up has run.
  // Until then there is no target and nothing is taken.
  void SetTargets(kj::Own<LogTarget> network, kj::Own<LogTarget> local, kj::Own<LogTarget> textLog);

  // Resolves to how many records of `run`, from the front, a target took, and when
  // fewer than all, the last target's status for the first one not taken: under
  // toDatabase the network store takes what it can, the local store what is left,
  // the text log the rest; under tofile only the text log is written. Any other
  // method gives the fault entry "Invalid Log Method" for each record, and the
  // record goes to the text log instead of nowhere. `run` must stay alive until the
  // promise resolves.
  kj::Promise<TakeResult> WriteRecord(int32_t logMethod, kj::ArrayPtr<const automation::Variant> run);

  const WriterCounters& counters() const { return counters_; }

 private:
  enum Stage { kNetwork, kLocal, kText };
  kj::Promise<TakeResult> TakeFrom(Stage stage, kj::ArrayPtr<const automation::Variant> run, size_t done);
  LogTarget* TargetOf(Stage stage);
  void Count(Stage stage, size_t taken, size_t notTaken);

  FaultLog& faults_;
  kj::Own<LogTarget> network_;
  kj::Own<LogTarget> local_;
  kj::Own<LogTarget> textLog_;
  WriterCounters counters_;
};

}  // namespace ledgerwick
