#pragma once
// One daemon's RPC side in memory: a fresh process state in temporary settings and
// home folders, its connection server, and one connection over an in-memory pipe.
// Time is kj's manual timer; nothing runs on a thread and nothing outlives the rig.

#include <kj/async-io.h>
#include <kj/async.h>
#include <kj/timer.h>

#include "automation/blocking_worker.h"
#include "automation/class_registry.h"
#include "automation/clock.h"
#include "automation/event_log_writer.h"
#include "automation/file_appender.h"
#include "automation/notices.h"
#include "automation/timer_service.h"
#include "host/connection_server.h"
#include "host/host_objects.h"
#include "startup/process_state.h"
#include "tests/support/manual_time.h"
#include "tests/support/temp_dir.h"

namespace ledgerwick::fuzzing {

// A listener that hands out one stream, then none.
class OneConnection final : public kj::ConnectionReceiver {
 public:
  explicit OneConnection(kj::Own<kj::AsyncIoStream> stream) : stream_(kj::mv(stream)) {}

  kj::Promise<kj::Own<kj::AsyncIoStream>> accept() override {
    KJ_IF_MAYBE (stream, stream_) {
      kj::Own<kj::AsyncIoStream> out = kj::mv(*stream);
      stream_ = nullptr;
      return kj::mv(out);
    }
    return kj::NEVER_DONE;
  }
  uint getPort() override { return 0; }

 private:
  kj::Maybe<kj::Own<kj::AsyncIoStream>> stream_;
};

class RpcRig {
 public:
  // 8 December 2026, 09:30:00 as an automation date.
  static constexpr double kNow = 46364.395833333336;

  RpcRig() {
    auto pipe = kj::newTwoWayPipe();
    client = kj::mv(pipe.ends[1]);
    server.Listen(kj::heap<OneConnection>(kj::mv(pipe.ends[0])));
  }
  // kj's event loop may throw from its destructor; the rig's callers expect none.
  ~RpcRig() noexcept(false) {}
  RpcRig(const RpcRig&) = delete;
  RpcRig& operator=(const RpcRig&) = delete;

  // Runs the loop and the manual timer through `d` of time.
  void RunFor(kj::Duration d) { testing::AdvanceTo(ws, timer, timer.now() + d); }

  // Declared in the order they are needed; destroyed in reverse, the server first.
  kj::EventLoop loop;
  kj::WaitScope ws{loop};
  kj::TimerImpl timer{kj::origin<kj::TimePoint>()};
  automation::TimerService timers{timer};
  automation::ManualClock clock{kNow};
  automation::ClassRegistry classes;  // no store classes: records go to the text log
  automation::RecordedNotices notices;
  automation::PosixFileAppender files;
  automation::InlineWorker worker;
  automation::EventLogWriter eventLog{clock, files};
  testing::TempDir settingsDir;
  testing::TempDir homeDir;
  ProcessState state{Environment{clock, timers, classes, notices, eventLog, files, worker, settingsDir.path(),
                                 homeDir.path()}};
  host::HostObjects host{state};
  host::ConnectionServer server{host, timer};
  // The client's end of the connection.
  kj::Own<kj::AsyncIoStream> client;
};

}  // namespace ledgerwick::fuzzing
