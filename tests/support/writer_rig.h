#pragma once
// The writer's components alone, wired as start-up wires them, for tests of the
// drain, the record writer and its targets: a kj event loop with a manual timer, a
// settable clock, recorded notices, a text log whose appends can be made to fail,
// and a temporary home folder for LWERR.LOG and Ledgwk.log.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kj/async.h>
#include <kj/timer.h>

#include "automation/blocking_worker.h"
#include "automation/clock.h"
#include "automation/date_scale.h"
#include "automation/event_log_writer.h"
#include "automation/file_appender.h"
#include "automation/notices.h"
#include "automation/timer_service.h"
#include "recordkit/property_packer.h"
#include "recordkit/store.h"
#include "writer/drain.h"
#include "writer/fault_log.h"
#include "writer/record_writer.h"
#include "writer/store_target.h"
#include "writer/text_log.h"
#include "tests/support/failing_file_appender.h"
#include "tests/support/flaky_timer.h"
#include "tests/support/manual_time.h"
#include "tests/support/temp_dir.h"
#include "tests/support/variant_printer.h"

namespace ledgerwick::testing {

class WriterRig {
 public:
  // `maxQueueBytes`: the drain's bound on its queue.
  explicit WriterRig(size_t maxQueueBytes = kDefaultMaxQueueBytes) : maxQueueBytes(maxQueueBytes) {
    drain.CreateErrorBuffer();
    Rewire();
  }
  // The store slots the chain reads, as start-up's openers fill them.
  std::shared_ptr<recordkit::DSO> netDso, localDso;
  std::shared_ptr<recordkit::DTO> netDto, localDto;
  ~WriterRig() noexcept {}

  // Runs the loop and steps the manual timer through every event due within `d`.
  void RunFor(kj::Duration d) { AdvanceTo(ws, timer, timer.now() + d); }

  // The stores the chain writes through (either object may be null: that store is
  // absent), and where the text log goes.
  void SetStores(std::shared_ptr<recordkit::DSO> netDso, std::shared_ptr<recordkit::DTO> netDto,
                 std::shared_ptr<recordkit::DSO> localDso = nullptr,
                 std::shared_ptr<recordkit::DTO> localDto = nullptr) {
    this->netDso = std::move(netDso);
    this->netDto = std::move(netDto);
    this->localDso = std::move(localDso);
    this->localDto = std::move(localDto);
  }
  void UseTextLog(const std::string& path) {
    textLogPath = path;
    Rewire();
  }

  void Queue(automation::Variant record) { ASSERT_TRUE(drain.Append(std::move(record)).ok()); }

  // The messages of the fault log's entries (the part after the time stamp and type).
  std::vector<std::string> Faults() const {
    std::vector<std::string> messages;
    for (const std::string& line : SplitLines(ReadFile(faultLog.path()))) {
      size_t tab = line.find('\t');
      size_t second = tab == std::string::npos ? tab : line.find('\t', tab + 1);
      messages.push_back(second == std::string::npos ? line : line.substr(second + 1));
    }
    return messages;
  }
  std::vector<std::string> TextLogLines() const { return SplitLines(ReadFile(textLogPath)); }

  kj::EventLoop loop;
  kj::WaitScope ws{loop};
  kj::TimerImpl timer{kj::origin<kj::TimePoint>()};
  FlakyTimer flakyTimer{timer};
  automation::TimerService timers{flakyTimer};
  automation::ManualClock clock{*automation::DateSerial({2026, 12, 8}) + automation::TimeSerial({9, 30, 0})};
  automation::RecordedNotices notices;
  automation::PosixFileAppender realFiles;
  FailingFileAppender files{realFiles};  // the text log's appends
  automation::InlineWorker worker;        // blocking work runs at once, in step with the test
  automation::EventLogWriter eventLog{clock, realFiles};
  TempDir homeDir;
  std::string textLogPath = homeDir / kTextLogName;
  const recordkit::PropertyPacker packer{};
  FaultLog faultLog{eventLog, homeDir / kFaultLogName};
  RecordWriter writer{faultLog};
  int32_t logMethod = toDatabase;
  const size_t maxQueueBytes;
  Drain drain{timers, notices, faultLog, writer, [this]() { return logMethod; }, maxQueueBytes};

 private:
  void Rewire() {
    writer.SetTargets(kj::heap<StoreTarget>(netDso, netDto, faultLog, "network store"),
                      kj::heap<StoreTarget>(localDso, localDto, faultLog, "local store"),
                      kj::heap<TextLog>(files, packer, faultLog, worker, textLogPath));
  }
};

}  // namespace ledgerwick::testing
