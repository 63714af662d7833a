#include "writer/drain.h"

#include <algorithm>
#include <string>

#include <kj/debug.h>
#include <kj/vector.h>

#include "automation/automation_error.h"

namespace ledgerwick {

namespace {

using automation::Variant;

}  // namespace

Drain::Drain(automation::TimerService& timers, automation::NoticeSink& notices, FaultLog& faults,
             RecordWriter& writer, kj::Function<int32_t()> currentLogMethod, size_t maxQueueBytes,
             journal::Journal* journal)
    : timers_(timers),
      notices_(notices),
      faultLog_(faults),
      writer_(writer),
      currentLogMethod_(kj::mv(currentLogMethod)),
      maxQueueBytes_(maxQueueBytes),
      journal_(journal),
      drainFaults_(faults),
      journalFaults_(faults) {}

Drain::~Drain() { Stop(); }

void Drain::Stop() {
  inFlight_ = nullptr;
  DisarmTimer();
}

void Drain::CreateErrorBuffer() {
  if (!errorBuffer_) errorBuffer_.emplace(kMaxRunRecords);
}

recordkit::JournalStamp Drain::NextStamp() const {
  if (journal_ == nullptr || !journal_->isOpen()) return {};
  return {journal_->identity(), static_cast<int64_t>(journal_->NextSequence())};
}

void Drain::Restore(std::vector<journal::RecoveredRecord> records) {
  CreateErrorBuffer();
  // Records accepted before the restart are queued whatever the bound says now: the
  // clients were told they were taken.
  for (auto& record : records) {
    errorBuffer_->Append(Variant::Array(automation::SafeArray::FromBytes(std::move(record.bytes))), record.sequence);
  }
}

automation::Status Drain::Stage(Variant record, uint64_t sequence) {
  if (!errorBuffer_) return automation::Status::Error(automation::err::kObjectNotSet);
  // Past the bound the client is told, and keeps its record, rather than the
  // daemon growing until the system stops it.
  const size_t cost = ErrorBuffer::Cost(record);
  if (errorBuffer_->bytes() + stagedBytes_ + cost > maxQueueBytes_) {
    return automation::Status::Error(automation::err::kOutOfMemory);
  }
  if (journal_ != nullptr) {
    // On the disk before the client hears it was taken; a record that cannot be
    // journalled is refused, not queued where a killed daemon would lose it.
    const std::vector<uint8_t>* bytes = record.isArray() ? &record.array().bytes() : nullptr;
    const std::string_view data = bytes != nullptr ? std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size())
                                                   : std::string_view();
    automation::Status journalled = journal_->Stage(sequence, data);
    if (!journalled.ok()) {
      journalFaults_.Report("An event could not be journalled: " + journalled.description);
      return journalled;
    }
  }
  staged_.push_back({std::move(record), sequence});
  stagedBytes_ += cost;
  return {};
}

kj::Promise<automation::Status> Drain::CommitSoon() {
  if (groupDone_.get() == nullptr) {
    auto group = kj::newPromiseAndFulfiller<automation::Status>();
    groupDone_ = kj::mv(group.fulfiller);
    group_ = group.promise.fork();
    groupCommit_ = kj::evalLast([this]() { Commit(); }).eagerlyEvaluate(nullptr);
  }
  KJ_IF_MAYBE(group, group_) { return group->addBranch(); }
  KJ_UNREACHABLE;
}

automation::Status Drain::Commit() {
  automation::Status committed = CommitStaged();
  if (groupDone_.get() != nullptr) {
    auto waiting = kj::mv(groupDone_);
    waiting->fulfill(automation::Status(committed));
  }
  return committed;
}

automation::Status Drain::CommitStaged() {
  if (journal_ != nullptr) {
    automation::Status written = journal_->Flush();
    if (!written.ok()) {
      journalFaults_.Report((staged_.size() == 1 ? std::string("An event")
                                                 : std::to_string(staged_.size()) + " events of one call") +
                            " could not be journalled: " + written.description);
    } else if (written = journal_->Commit(); !written.ok()) {
      journalFaults_.Report("The journal could not be synced: " + written.description);
    }
    if (!written.ok()) {
      // The callers are told: none of these records is kept.
      stats_.refusedAtCommit += staged_.size();
      staged_.clear();
      stagedBytes_ = 0;
      return written;
    }
  }
  if (staged_.empty()) return {};
  journalFaults_.End();
  for (StagedRecord& staged : staged_) errorBuffer_->Append(std::move(staged.record), staged.sequence);
  staged_.clear();
  stagedBytes_ = 0;
  StartDrainTimer();
  // A whole run waiting need not wait for the tick: as after a busy run, it waits only
  // the short pause. Not while a drain runs (it goes on by itself) nor during an
  // outage, whose back-off stands.
  if (!drainBusy_ && stats_.outageSince == nullptr && WholeRunQueued() && armedIntervalMs_ > kBusyPauseMs) {
    ArmTimer(kBusyPauseMs);
  }
  return {};
}

bool Drain::WholeRunQueued() const { return queued() >= kMaxRunRecords || queuedBytes() >= kMaxRunBytes; }

automation::Status Drain::Append(Variant record, uint64_t sequence) {
  if (automation::Status staged = Stage(std::move(record), sequence); !staged.ok()) return staged;
  return Commit();
}

void Drain::DisarmTimer() {
  if (timerArmed_) DestroyTimer(timerId_);
  timerArmed_ = false;
}

void Drain::ArmTimer(int32_t intervalMs) {
  DisarmTimer();
  timerId_ = CreateTimer(intervalMs);
  timerArmed_ = true;
  armedIntervalMs_ = intervalMs;
}

void Drain::StartDrainTimer() {
  if (drainBusy_ || timerArmed_) return;
  ArmTimer(intervalMs_);
}

int32_t Drain::CreateTimer(int32_t intervalMs) {
  return timers_.Create(intervalMs, [this]() { DrainTimerProc(); });
}

bool Drain::DestroyTimer(int32_t timerId) { return timers_.Destroy(timerId); }

// No target took the front record: it stays at the front, and the next try waits
// twice as long as the last, up to the limit.
void Drain::EndDrainForNow() {
  drainBusy_ = false;
  if (stats_.outageSince == nullptr) {
    stats_.outageSince = timers_.timer().now();
    ++stats_.outages;
  }
  if (!outageNoticeShown_) {
    notices_.Show(kDrainFailureNotice);
    outageNoticeShown_ = true;
  }
  intervalMs_ = std::min(intervalMs_ * 2, kMaxDrainIntervalMs);
  ArmTimer(intervalMs_);
}

// Whatever fails inside a drain ends it for now like a record no target took: the
// drain is never left busy, and a timer is armed to try again.
void Drain::EndFailedDrain(const std::string& description) {
  drainFaults_.Report(description);
  EndDrainForNow();
}

void Drain::EndOutage() {
  KJ_IF_MAYBE(since, stats_.outageSince) {
    stats_.endedOutages += timers_.timer().now() - *since;
    stats_.outageSince = nullptr;
  }
  drainFaults_.End();
  outageNoticeShown_ = false;
  if (intervalMs_ != kDrainIntervalMs) {
    intervalMs_ = kDrainIntervalMs;
    ArmTimer(kDrainIntervalMs);
  }
}

void Drain::EndDrain() {
  drainBusy_ = false;
  DisarmTimer();
  auto waiters = kj::mv(idleWaiters_);
  for (auto& waiter : waiters) waiter->fulfill();
}

// Ends a drain that leaves records queued for the next tick. After a busy run the
// next tick comes soon, so that a heavy stream, and the end of a burst, reach the
// targets without waiting a whole interval; otherwise the timer ticks at the
// interval again.
void Drain::PauseDrain(bool afterBusyRun) {
  drainBusy_ = false;
  const int32_t wanted = afterBusyRun ? std::min(kBusyPauseMs, intervalMs_) : intervalMs_;
  if (!timerArmed_ || armedIntervalMs_ != wanted) ArmTimer(wanted);
}

// Hands the writer a run from the front of the queue and goes on while a whole run
// is waiting (a backlog), or, at the clean stop, until the queue is empty. Fewer
// records wait for the next tick: under a steady stream, runs of one tick's records
// cost far less than a run for every few records that arrived while a target
// answered.
kj::Promise<void> Drain::DrainLoop(bool first, bool afterBusyRun) {
  if (queued() == 0) {
    EndDrain();
    return kj::READY_NOW;
  }
  if (!first && !flushing_ && !WholeRunQueued()) {
    PauseDrain(afterBusyRun);
    return kj::READY_NOW;
  }
  // The run is handed on in place; a record leaves the queue only once a target
  // took it, and nothing but the drain removes records.
  kj::ArrayPtr<const Variant> handed = errorBuffer_->Front(kMaxRunRecords, kMaxRunBytes);
  const kj::TimePoint began = timers_.timer().now();
  return writer_.WriteRecord(currentLogMethod_(), handed)
      .then([this, handedRun = handed, handed = handed.size(), began](TakeResult result) -> kj::Promise<void> {
        KJ_ASSERT(result.taken <= handed && result.taken <= queued());
        stats_.runRecords.Observe(static_cast<double>(handed));
        stats_.runSeconds.Observe(static_cast<double>((timers_.timer().now() - began) / kj::NANOSECONDS) / 1e9);
        KJ_IF_MAYBE(observer, writtenObserver_) {
          if (result.taken > 0) (*observer)(handedRun.slice(0, result.taken));
        }
        const uint64_t lastTaken = errorBuffer_->RemoveFront(result.taken);
        if (lastTaken != 0 && journal_ != nullptr) {
          // A marker that is not written costs only a record written again (and
          // skipped by the stores) after a restart.
          if (automation::Status marked = journal_->MarkTaken(lastTaken); !marked.ok()) {
            journalFaults_.Report("The journal could not record what was written: " + marked.description);
          }
        }
        try {
          if (result.taken > 0) EndOutage();
          if (result.taken < handed) {
            EndDrainForNow();
            return kj::READY_NOW;
          }
        } catch (const automation::AutomationError& e) {
          // Arming the next try failed (no memory for the timer): one more try.
          EndFailedDrain(e.description());
          return kj::READY_NOW;
        }
        return DrainLoop(false, handed >= kBusyRunRecords);
      });
}

void Drain::DrainTimerProc() {
  if (drainBusy_) return;
  drainBusy_ = true;
  // evalNow: a failure before the drain's first wait ends it the same way.
  inFlight_ = kj::evalNow([this]() { return DrainLoop(true, false); }).eagerlyEvaluate([this](kj::Exception&& e) {
    EndFailedDrain(e.getDescription().cStr());
  });
}

kj::Duration Drain::OutageTime() const {
  kj::Duration total = stats_.endedOutages;
  KJ_IF_MAYBE(since, stats_.outageSince) { total += timers_.timer().now() - *since; }
  return total;
}

kj::Promise<void> Drain::WhenIdle() {
  if (idle()) return kj::READY_NOW;
  auto paf = kj::newPromiseAndFulfiller<void>();
  idleWaiters_.push_back(kj::mv(paf.fulfiller));
  return kj::mv(paf.promise);
}

kj::Promise<size_t> Drain::Flush(kj::Duration limit) {
  flushing_ = true;
  if (!drainBusy_ && queued() > 0) DrainTimerProc();
  return WhenIdle().exclusiveJoin(timers_.timer().afterDelay(limit)).then([this]() {
    const size_t left = queued();
    if (left > 0) {
      faultLog_.Report(std::to_string(left) + (left == 1 ? " queued record" : " queued records") +
                       " could not be written at shutdown");
    }
    return left;
  });
}

}  // namespace ledgerwick
