#pragma once
// A test with its own folder for settings, home, socket, database and text log, and
// a ledgerwickd serving it.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/application.h"
#include "client/connection.h"
#include "tests/daemon_harness.h"

namespace ledgerwick::testing {

class DaemonTest : public ::testing::Test {
 protected:
  std::string Socket() const { return dir / "d.sock"; }
  std::string Database() const { return dir / "ledgwk.db"; }
  std::string TextLog(const std::string& folder) const { return folder + "/Ledgwk.log"; }
  std::string FaultLog() const { return dir / "LWERR.LOG"; }

  // Settings with the local SQLite store and the text log in the test's folder.
  void WriteDefaultSettings(int storageType) { WriteSettings(dir.path(), storageType, dir.path(), Database()); }

  std::vector<std::string> DaemonArgs(std::vector<std::string> extra = {}) const {
    std::vector<std::string> args = {"--config-dir", dir.path(), "--home", dir.path(), "--socket", Socket()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  // Starts ledgerwickd and waits for its readiness line.
  void StartDaemon(std::vector<std::string> extra = {}) {
    daemon = std::make_unique<DaemonProcess>(LEDGERWICKD_PATH, DaemonArgs(std::move(extra)));
    ASSERT_TRUE(daemon->WaitForLine("ledgerwickd: ready on")) << daemon->Stderr();
  }

  // Client options for the test's daemon, never starting one.
  client::Options ClientOptions() const {
    client::Options options;
    options.socketPath = Socket();
    options.autostart = false;
    return options;
  }

  // The environment of a ledgerwick command run against the test's daemon.
  EnvChanges CommandEnv() const {
    return {{"LEDGERWICK_SOCKET", Socket()}, {"LEDGERWICK_NO_AUTOSTART", "1"}, {"LEDGERWICKD", ""}};
  }

  CommandResult Ledgerwick(const std::vector<std::string>& args, const std::string& input = "") {
    return RunCommand(LEDGERWICK_CLI_PATH, args, CommandEnv(), input);
  }

  // Lets the daemon's loop run (each Destroy lets a due drain tick run) until the
  // queue is empty and at least `records` have been written since start, within a
  // bounded number of calls.
  static bool WaitUntilWritten(client::Application& app, uint64_t records) {
    for (int i = 0; i < 200000; ++i) {
      EXPECT_EQ(app.Destroy(), 0);
      client::DaemonStatus status = app.connection()->Status();
      uint64_t written = status.toNetworkStore + status.toLocalStore + status.toTextLog;
      if (status.queueLength == 0 && written >= records) return true;
    }
    return false;
  }

  ShortTempDir dir;
  std::unique_ptr<DaemonProcess> daemon;
};

}  // namespace ledgerwick::testing
