#pragma once
// The drain: the ErrorBuffer queue of PackedRecords and the 100 ms drain timer whose
// ticks hand the queued records, oldest first and in runs, to the record writer,
// removing each record once a target took it.
//
// At most one drain timer is armed at a time. When no target takes the front
// record, the drain ends for now, the record stays at the front, and the timer is
// re-armed with twice the interval (up to 30 s); the first success returns to 100 ms.
// The operator is told "Unable to create thread" once per such outage.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <kj/async.h>
#include <kj/function.h>
#include <kj/time.h>

#include "automation/notices.h"
#include "automation/status.h"
#include "automation/timer_service.h"
#include "automation/variant.h"
#include "journal/journal.h"
#include "recordkit/sender_identity.h"
#include "writer/error_buffer.h"
#include "writer/fault_log.h"
#include "writer/histogram.h"
#include "writer/record_writer.h"

namespace ledgerwick {

constexpr int32_t kDrainIntervalMs = 100;
constexpr int32_t kMaxDrainIntervalMs = 30000;
constexpr const char* kDrainFailureNotice = "Unable to create thread";
// A run handed to the writer holds at most this many records and, past its first
// record, at most this many bytes of packed records.
constexpr size_t kMaxRunRecords = 4000;
constexpr size_t kMaxRunBytes = size_t{4} << 20;
// After a run of at least kBusyRunRecords records, what is left waits only
// kBusyPauseMs for more records to join it, not a whole tick: a stream that fills
// such a run in the pause (some 25,000 records a second) reaches the targets within
// milliseconds, in runs still large enough to share a commit; a lighter one that
// fills it in a tick alternates the two waits; below that, one run per tick.
// A whole run (kMaxRunRecords records or kMaxRunBytes bytes) queued between drains
// waits the same short pause rather than the rest of the tick.
constexpr size_t kBusyRunRecords = 256;
constexpr int32_t kBusyPauseMs = 10;
// What the queue may hold unless told otherwise (ErrorBuffer::Cost of its records).
constexpr size_t kDefaultMaxQueueBytes = size_t{256} << 20;

// What the drain has done since the process started, for the metrics endpoint.
struct DrainStats {
  Histogram runRecords{1, 10, 100, 500, 1000, 4000};  // records handed to the writer per run
  Histogram runSeconds{0.0005, 0.001, 0.005, 0.01, 0.05, 0.1, 0.5, 1, 5};  // until the writer answered
  uint64_t outages = 0;  // times the front record found no target
  uint64_t refusedAtCommit = 0;  // records staged that the journal could not take
  kj::Duration endedOutages = 0 * kj::SECONDS;  // how long the outages that ended lasted
  kj::Maybe<kj::TimePoint> outageSince;  // the outage going on, if any
};

class Drain {
 public:
  // Each reference must outlive the drain. `currentLogMethod` is asked for the log
  // method each time a run is handed to the writer. The queue holds at most
  // `maxQueueBytes`. With a `journal` (which must outlive the drain), every record
  // appended is journalled first, and the journal hears of every record taken.
  Drain(automation::TimerService& timers, automation::NoticeSink& notices, FaultLog& faults,
        RecordWriter& writer, kj::Function<int32_t()> currentLogMethod,
        size_t maxQueueBytes = kDefaultMaxQueueBytes, journal::Journal* journal = nullptr);
  ~Drain();
  Drain(const Drain&) = delete;
  Drain& operator=(const Drain&) = delete;

  // Creates the ErrorBuffer, empty, unless Restore made it already; before that
  // nothing can be appended.
  void CreateErrorBuffer();

  // Where the next record appended goes in the journal, for the packer to stamp on
  // it; unknown (zero) without a journal that is open.
  recordkit::JournalStamp NextStamp() const;

  // Takes a record for the back of the queue, where Commit puts it. 91 when there
  // is no ErrorBuffer yet; 7 (Out of memory), taking nothing, when the record would
  // take the queue past its bound. With a journal, the record must be stamped with
  // NextStamp()'s `sequence`, and it is journalled (at Commit, in one write with the
  // rest of the call's records) before it is queued.
  automation::Status Stage(automation::Variant record, uint64_t sequence = 0);

  // The end of a client's call: the records staged since the last Commit are
  // journalled (under the journal's Batch mode also synced) and queued, and the drain
  // timer is started. When the journal cannot take them (57 Device I/O error,
  // 61 Disk full) none of them is queued, and the fault is entered in the fault log.
  automation::Status Commit();

  // The end of a call that can wait for its answer: the records staged are
  // committed together with those of every other call of this turn of the loop, once
  // the loop has nothing else to run, in one journal write (and sync). Resolves to
  // what Commit answered for them, whichever call to Commit took them.
  kj::Promise<automation::Status> CommitSoon();

  // Stage and Commit for one record.
  automation::Status Append(automation::Variant record, uint64_t sequence = 0);

  // Records staged and not yet committed.
  size_t staged() const { return staged_.size(); }

  // The records the journal kept from before a restart, queued in order ahead of any
  // new one (creating the ErrorBuffer). No timer is armed: start-up does that once
  // the chain is built.
  void Restore(std::vector<journal::RecoveredRecord> records);

  // The clean stop's last drain: starts a drain at once, whatever the back-off says,
  // and lets later tries come at the back-off's pace until the queue is empty or
  // `limit` has passed. Records still queued then are counted in one fault entry.
  // Resolves to that count.
  kj::Promise<size_t> Flush(kj::Duration limit);

  // The process ends: the drain in flight is given up (what it had not written stays
  // queued) and no timer is left armed. Nothing is drained after this.
  void Stop();

  // Arms the drain timer unless a drain runs or a timer is armed already.
  void StartDrainTimer();
  // The queue holds a whole run or more.
  bool WholeRunQueued() const;
  // A repeating timer calling DrainTimerProc; answers its id (non-zero).
  int32_t CreateTimer(int32_t intervalMs);
  // Stops the timer; false when the id names none.
  bool DestroyTimer(int32_t timerId);
  // The tick: returns at once while a drain runs; otherwise starts a drain that goes
  // on asynchronously while targets answer. It writes a run, and further runs while
  // a whole run's worth is queued; what is left waits for the next tick, which comes
  // after kBusyPauseMs when the last run was a busy one.
  void DrainTimerProc();

  // Read by the status command, the idle exit and tests.
  bool hasErrorBuffer() const { return errorBuffer_.has_value(); }
  size_t queued() const { return errorBuffer_ ? errorBuffer_->size() : 0; }
  size_t queuedBytes() const { return errorBuffer_ ? errorBuffer_->bytes() : 0; }
  size_t maxQueueBytes() const { return maxQueueBytes_; }
  const journal::Journal* journal() const { return journal_; }
  bool DrainBusy() const { return drainBusy_; }
  int32_t intervalMs() const { return intervalMs_; }
  bool idle() const { return queued() == 0 && !drainBusy_; }
  const DrainStats& stats() const { return stats_; }
  // Called with the records of each run a target took, before they leave the queue;
  // nullptr: no one.
  void SetWrittenObserver(kj::Maybe<kj::Function<void(kj::ArrayPtr<const automation::Variant>)>> observer) {
    writtenObserver_ = kj::mv(observer);
  }
  // The length of every outage so far, the one going on included.
  kj::Duration OutageTime() const;

 private:
  // `afterBusyRun`: the run before this one held kBusyRunRecords or more; false for
  // a drain's first.
  kj::Promise<void> DrainLoop(bool first, bool afterBusyRun);
  void PauseDrain(bool afterBusyRun);
  automation::Status CommitStaged();
  kj::Promise<void> WhenIdle();
  void ArmTimer(int32_t intervalMs);
  void DisarmTimer();
  void EndDrainForNow();
  void EndFailedDrain(const std::string& description);
  void EndOutage();
  void EndDrain();

  // Constant after construction
  automation::TimerService& timers_;
  automation::NoticeSink& notices_;
  FaultLog& faultLog_;
  RecordWriter& writer_;
  kj::Function<int32_t()> currentLogMethod_;
  const size_t maxQueueBytes_;
  journal::Journal* const journal_;

  // Changed only by the drain's own procedures
  std::optional<ErrorBuffer> errorBuffer_;
  struct StagedRecord {
    automation::Variant record;
    uint64_t sequence;
  };
  std::vector<StagedRecord> staged_;  // taken by Stage, queued by Commit
  size_t stagedBytes_ = 0;            // their ErrorBuffer::Cost
  // The calls waiting for the next Commit, if any: the fork they wait on, what
  // fulfils it, and the end-of-turn event that commits.
  kj::Maybe<kj::ForkedPromise<automation::Status>> group_;
  kj::Own<kj::PromiseFulfiller<automation::Status>> groupDone_;
  kj::Maybe<kj::Promise<void>> groupCommit_;
  int32_t timerId_ = 0;
  bool drainBusy_ = false;
  bool flushing_ = false;  // the clean stop's last drain: on until the queue is empty
  bool timerArmed_ = false;
  int32_t armedIntervalMs_ = 0;  // of the timer armed, while one is
  int32_t intervalMs_ = kDrainIntervalMs;
  bool outageNoticeShown_ = false;
  RepeatedFaults drainFaults_;  // faults of the drain itself, once per outage
  RepeatedFaults journalFaults_;  // the journal's write failures, once per outage
  std::vector<kj::Own<kj::PromiseFulfiller<void>>> idleWaiters_;
  kj::Maybe<kj::Promise<void>> inFlight_;
  DrainStats stats_;
  kj::Maybe<kj::Function<void(kj::ArrayPtr<const automation::Variant>)>> writtenObserver_;
};

}  // namespace ledgerwick
