#include "host/config_check.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "automation/ascii_text.h"
#include "automation/blocking_worker.h"
#include "automation/class_registry.h"
#include "automation/clock.h"
#include "automation/event_log_writer.h"
#include "automation/file_appender.h"
#include "automation/notices.h"
#include "automation/timer_service.h"
#include "host/home_folder.h"
#include "host/start_error.h"
#include "host/store_classes.h"
#include "startup/logger_startup.h"
#include "startup/process_state.h"
#include "startup/settings.h"

namespace ledgerwick::host {

namespace {

// Keeps what start-up would append (its fault-log entries), writing nothing.
class KeptAppends final : public automation::FileAppender {
 public:
  automation::Status Append(const std::string& /*path*/, std::string_view data) override {
    text_.append(data);
    return {};
  }
  // The message of each entry: what follows the time stamp and the type.
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    std::string::size_type begin = 0;
    while (begin < text_.size()) {
      std::string::size_type end = text_.find('\n', begin);
      if (end == std::string::npos) end = text_.size();
      std::string line = text_.substr(begin, end - begin);
      std::string::size_type tab = line.find('\t');
      if (tab != std::string::npos) tab = line.find('\t', tab + 1);
      messages.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
      begin = end + 1;
    }
    return messages;
  }

 private:
  std::string text_;
};

class KeptNotices final : public automation::NoticeSink {
 public:
  void Show(const std::string& text) override { shown.push_back(text); }
  std::vector<std::string> shown;
};

// Empty when a file can be made in `folder`; else why not.
std::string CannotWriteIn(const std::string& folder) {
  std::string probe = folder + "/.ledgerwickd-check-XXXXXX";
  int fd = mkstemp(probe.data());
  if (fd < 0) return std::strerror(errno);
  close(fd);
  unlink(probe.c_str());
  return "";
}

std::string FolderOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string LogMethodText(int32_t method) {
  if (method == toDatabase) return "1 (the network store, else the local store, else the text log)";
  if (method == tofile) return "0 (the text log)";
  return std::to_string(method) + " (not a log method: \"Invalid Log Method\" in the fault log, records to the text log)";
}

class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void Line(const std::string& text) { out_ << text << "\n"; }
  void Problem(const std::string& text) {
    out_ << "problem: " << text << "\n";
    ++problems_;
  }
  int problems() const { return problems_; }

 private:
  std::ostream& out_;
  int problems_ = 0;
};

// One store: what the settings name and whether it opened.
void ReportStore(Report& report, const ProcessState& state, const char* label, const char* prefix, bool opened,
                 const std::shared_ptr<recordkit::DSO>& dso) {
  const std::string dsoKey = std::string(prefix) + "DSO";
  const std::string dsoClass = ReadSetting(state, "Attachments", dsoKey, kSettingsFileName);
  const std::string connect = ReadSetting(state, "Attachments", std::string(prefix) + "Connect", kSettingsFileName);
  const std::string dtoClass = ReadSetting(state, "Attachments", std::string(prefix) + "DTO", kSettingsFileName);
  if (dsoClass == kMissing && connect == kMissing && dtoClass == kMissing) {
    report.Line(std::string(label) + ": none (no " + dsoKey + " in [Attachments])");
    return;
  }
  const std::string named = std::string(label) + " " + dsoKey + "=" + dsoClass + " " + prefix + "DTO=" + dtoClass +
                            " " + prefix + "Connect=" + WithoutPassword(connect);
  if (opened) {
    report.Line(named + ": opened");
    return;
  }
  std::string why;
  if (dso) why = dso->Health().lastError;
  report.Problem(named + ": did not open" + (why.empty() ? "" : " (" + why + ")"));
}

}  // namespace

int CheckConfig(const DaemonOptions& options, kj::AsyncIoContext& io, std::ostream& out) {
  Report report(out);

  const std::string settingsFile = options.configDir + "/" + kSettingsFileName;
  struct stat info {};
  if (stat(settingsFile.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    report.Line("settings: " + settingsFile);
  } else {
    report.Problem("no settings file " + settingsFile + " (every setting would take its default: log method 1, "
                   "no stores, the text log in the home folder)");
  }

  const bool homeMissing = stat(options.homeDir.c_str(), &info) != 0 && errno == ENOENT;
  if (homeMissing && options.homeIsDefault) {
    report.Line("home: " + options.homeDir + " (made at start, mode 0700)");
  } else {
    try {
      PrepareHome(options.homeDir, false);
      report.Line("home: " + options.homeDir + " (the fault log LWERR.LOG)");
    } catch (const StartError& e) {
      std::string why = e.what();
      const std::string prefix = "ledgerwickd: ";
      if (why.rfind(prefix, 0) == 0) why = why.substr(prefix.size());
      report.Problem(why);
    }
  }

  // Start-up as the daemon runs it, over a fault log and notices that are kept here.
  automation::SystemClock clock;
  automation::TimerService timers(io.provider->getTimer());
  auto worker = std::make_shared<automation::WorkerThread>();
  automation::ClassRegistry classes;
  RegisterStoreClasses(classes, worker, io, clock);
  KeptNotices notices;
  KeptAppends kept;
  automation::EventLogWriter eventLog(clock, kept);
  Environment environment{clock,      timers, classes, notices, eventLog, kept, *worker, options.configDir,
                          options.homeDir, options.maxQueueMb << 20};
  environment.purgeLocalStore = false;
  // A local store file that start-up would make is made by the check too, as the
  // user who runs it (root, often, not the daemon's user): it is removed again.
  std::string localFile;
  bool localFileExisted = true;
  {
    ProcessState state(environment);
    if (automation::EqualsNoCase(ReadSetting(state, "Attachments", "LocalDSO", kSettingsFileName),
                                 "Recordkit.SqliteDSO")) {
      const std::string database = GetConnectValue(
          ReadSetting(state, "Attachments", "LocalConnect", kSettingsFileName), "DATABASE", ";");
      if (database != kMissing) {
        localFile = database;
        localFileExisted = lstat(localFile.c_str(), &info) == 0;
      }
    }
    InitializeLogger(state).wait(io.waitScope);

    report.Line("log method: " + LogMethodText(state.CurrentLogMethod));
    const std::string textFolder = FolderOf(state.TextLogPath);
    if (homeMissing && options.homeIsDefault && textFolder == options.homeDir) {
      report.Line("text log: " + state.TextLogPath + " (in the home, made at start)");
    } else if (std::string why = CannotWriteIn(textFolder); why.empty()) {
      report.Line("text log: " + state.TextLogPath);
    } else {
      report.Problem("text log " + state.TextLogPath + ": its folder " + textFolder + " cannot be written: " + why);
    }
    // Start-up enters one fault for each store that did not open, naming its step.
    const std::vector<std::string> faults = kept.Messages();
    auto failed = [&faults](const std::string& step) {
      for (const std::string& fault : faults) {
        if (fault.find(step) != std::string::npos) return true;
      }
      return false;
    };
    const bool networkOpened = state.NetDSO != nullptr && !failed(": Create NetDSO");
    const bool localOpened = state.LocalDSO != nullptr && !failed(": Create DSOLocal");
    ReportStore(report, state, "network store", "Net", networkOpened, state.NetDSO);
    ReportStore(report, state, "local store", "Local", localOpened, state.LocalDSO);
    if (!networkOpened && !localOpened) report.Line("records would go to the text log alone");

    if (!faults.empty()) {
      report.Line("start-up would enter in " + options.homeDir + "/LWERR.LOG:");
      for (const std::string& fault : faults) report.Line("  " + fault);
    }
    state.drain.Stop();
  }
  if (!localFileExisted && lstat(localFile.c_str(), &info) == 0) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((localFile + suffix).c_str());
    report.Line("local store file " + localFile + ": made at start (the check removed the one it made)");
  }

  if (report.problems() == 0) {
    report.Line("ledgerwickd: the settings can be used");
    return 0;
  }
  report.Line("ledgerwickd: " + std::to_string(report.problems()) +
              (report.problems() == 1 ? " problem" : " problems") + " found");
  return 1;
}

}  // namespace ledgerwick::host
