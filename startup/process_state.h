#pragma once
// The state of one server process: what main() (or a test) wires in, the
// process-wide variables that start-up sets and the members read, and the writer's
// components, which own their own state. Every Application reaches it by reference;
// nothing here is global.

#include <cstdint>
#include <memory>
#include <string>

#include <kj/async.h>

#include "automation/blocking_worker.h"
#include "automation/class_registry.h"
#include "automation/clock.h"
#include "automation/event_log_writer.h"
#include "automation/file_appender.h"
#include "automation/notices.h"
#include "automation/timer_service.h"
#include "journal/journal.h"
#include "journal/journal_files.h"
#include "recordkit/property_packer.h"
#include "recordkit/store.h"
#include "startup/loggit_tally.h"
#include "writer/drain.h"
#include "writer/fault_log.h"
#include "writer/record_writer.h"

namespace ledgerwick {

// Outside dependencies, fixed when the process state is made.
struct Environment {
  const automation::Clock& clock;
  automation::TimerService& timers;
  const automation::ClassRegistry& classes;
  automation::NoticeSink& notices;
  const automation::EventLogWriter& eventLog;
  automation::FileAppender& files;  // the text log's appends
  automation::BlockingWorker& worker;  // where file work that blocks runs, off the loop
  std::string settingsDir;  // the folder that holds Ledgwk.ini
  std::string homeDir;      // the program folder: LWERR.LOG and the default text log
  size_t maxQueueBytes = kDefaultMaxQueueBytes;  // what the queue may hold
  // The journal's files; none: records are not journalled (in-process tests).
  journal::JournalFiles* journalFiles = nullptr;
  journal::SyncMode journalSync = journal::SyncMode::None;
  journal::CompactionLimits journalLimits = {};
  bool purgeLocalStore = true;  // false: opening the local store removes no rows (a settings check)
};

class ProcessState {
 public:
  explicit ProcessState(Environment environment)
      : env(std::move(environment)),
        faultLog(env.eventLog, env.homeDir + "/" + kFaultLogName),
        writer(faultLog),
        journal(env.journalFiles == nullptr
                    ? nullptr
                    : std::make_unique<journal::Journal>(*env.journalFiles, env.homeDir + "/" + journal::kJournalName,
                                                         env.journalSync, env.journalLimits)),
        drain(env.timers, env.notices, faultLog, writer, [this]() { return CurrentLogMethod; }, env.maxQueueBytes,
              journal.get()) {}
  // A store's worker may still be writing a run the drain gave up on: the drain
  // stops first, then each DSO goes (waiting for its worker) before its DTO.
  ~ProcessState() {
    drain.Stop();
    NetDSO.reset();
    LocalDSO.reset();
  }
  ProcessState(const ProcessState&) = delete;

  // Reads the journal, enters what it found wrong in the fault log, and queues the
  // records no target took, in order, ahead of any new one. Called once, before the
  // first Application; answers how many records it queued.
  size_t RecoverJournal() {
    if (!journal) return 0;
    journal::Recovery found = journal->Open();
    for (const std::string& fault : found.faults) faultLog.Report(fault);
    const size_t count = found.records.size();
    drain.Restore(std::move(found.records));
    return count;
  }

  ProcessState& operator=(const ProcessState&) = delete;

  // Constant after construction.
  const Environment env;

  // Set by start-up; LogMethod changes CurrentLogMethod later.
  int32_t CurrentLogMethod = tofile;
  bool ReadyFlag = false;
  bool InitStarted = false;
  int16_t InstanceCount = 0;
  std::string TextLogPath;
  // The first start-up: resolves when it has run (and stays resolved).
  kj::Maybe<kj::ForkedPromise<void>> StartupInFlight;

  // Set by the store openers, never cleared.
  std::shared_ptr<recordkit::DSO> NetDSO;
  std::shared_ptr<recordkit::DTO> NetDTO;
  std::shared_ptr<recordkit::DSO> LocalDSO;
  std::shared_ptr<recordkit::DTO> LocalDTO;

  // The packer is kept for the life of the process; it holds no state of its own.
  const recordkit::PropertyPacker& Packer() const { return packer_; }

 private:
  const recordkit::PropertyPacker packer_{};

 public:
  // The writer: each component owns its state. Start-up gives the record writer its
  // targets and the drain its ErrorBuffer; Loggit appends through the drain.
  FaultLog faultLog;
  RecordWriter writer;
  std::unique_ptr<journal::Journal> journal;  // none without journal files
  Drain drain;
  LoggitTally loggitTally;
};

}  // namespace ledgerwick
