#pragma once
// A whole server process state for in-process tests: a kj event loop with a manual
// timer (whose waits can be made to fail), a settable clock, recorded notices, and
// temporary settings and home folders.

#include <gtest/gtest.h>
#include <kj/async.h>
#include <kj/timer.h>

#include "automation/blocking_worker.h"
#include "automation/class_registry.h"
#include "automation/clock.h"
#include "automation/date_scale.h"
#include "automation/event_log_writer.h"
#include "automation/file_appender.h"
#include "automation/notices.h"
#include "automation/timer_service.h"
#include "startup/process_state.h"
#include "startup/settings.h"
#include "startup/writer_chain.h"
#include "writer/fault_log.h"
#include "writer/text_log.h"
#include "tests/support/failing_file_appender.h"
#include "tests/support/flaky_timer.h"
#include "tests/support/manual_time.h"
#include "tests/support/temp_dir.h"
#include "tests/support/variant_printer.h"

namespace ledgerwick::testing {

// 8 December 2026, 09:30:00.
inline double TestNow() {
  return *automation::DateSerial({2026, 12, 8}) + automation::TimeSerial({9, 30, 0});
}

class TestProcess {
 public:
  TestProcess() : state(Env()) {}

  // kj's event loop may throw from its destructor; a test fixture's must not.
  ~TestProcess() noexcept {}

  // Runs the loop and steps the manual timer through every event due within `d`.
  void RunFor(kj::Duration d) { AdvanceTo(ws, timer, timer.now() + d); }

  // This process's environment, for another process state over the same folders
  // (the server started again), or one whose notices go to `sink`.
  Environment Env() { return Env(notices); }
  Environment Env(automation::NoticeSink& sink) {
    return Environment{clock, timers, classes, sink, eventLog, files, worker, settingsDir.path(), homeDir.path()};
  }

  // Writes Ledgwk.ini in the settings folder.
  void WriteSettings(const std::string& content) const { WriteFile(settingsDir / kSettingsFileName, content); }

  std::string FaultLogPath() const { return homeDir / kFaultLogName; }

  // The messages of the fault log's entries (the part after the time stamp and type).
  std::vector<std::string> Faults() const {
    std::vector<std::string> messages;
    for (const std::string& line : SplitLines(ReadFile(FaultLogPath()))) {
      size_t tab = line.find('\t');
      size_t second = tab == std::string::npos ? tab : line.find('\t', tab + 1);
      messages.push_back(second == std::string::npos ? line : line.substr(second + 1));
    }
    return messages;
  }

  std::vector<std::string> TextLogLines() const { return SplitLines(ReadFile(state.TextLogPath)); }

  // Puts the state where start-up leaves it with no store open and text logging on.
  void StartWithoutStores(int32_t logMethod = toDatabase) {
    state.InitStarted = true;
    state.CurrentLogMethod = logMethod;
    state.drain.CreateErrorBuffer();
    UseTextLog(homeDir / kTextLogName);
  }

  // The text log goes to `path` from now on (the chain is built anew with the stores
  // the state holds).
  void UseTextLog(const std::string& path) {
    state.TextLogPath = path;
    BuildWriterChain(state);
  }

  // Appends a record to the queue as Loggit does.
  void Queue(automation::Variant record) { ASSERT_TRUE(state.drain.Append(std::move(record)).ok()); }

  kj::EventLoop loop;
  kj::WaitScope ws{loop};
  kj::TimerImpl timer{kj::origin<kj::TimePoint>()};
  FlakyTimer flakyTimer{timer};  // passes every wait on to `timer` unless told to refuse one
  automation::TimerService timers{flakyTimer};
  automation::ManualClock clock{TestNow()};
  automation::ClassRegistry classes;
  automation::RecordedNotices notices;
  automation::PosixFileAppender realFiles;
  FailingFileAppender files{realFiles};  // the text log's appends, which a test can make fail
  automation::InlineWorker worker;        // blocking work runs at once, in step with the test
  automation::EventLogWriter eventLog{clock, realFiles};
  TempDir settingsDir;
  TempDir homeDir;
  ProcessState state;
};

}  // namespace ledgerwick::testing
