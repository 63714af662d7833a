#pragma once
// Starts ledgerwickd on demand, detached from the client, the way the automation
// runtime started the server when a client created the first object.

#include <string>

namespace ledgerwick::client {

// `given` when not empty; else $LEDGERWICKD; else ledgerwickd in the folder of the
// running executable when it is there; else "ledgerwickd", looked up on PATH.
std::string FindDaemon(const std::string& given);

// The settings file a daemon started from here would read: Ledgwk.ini in
// $LEDGERWICK_CONFIG_DIR, else in /etc. Empty when there is no such file, and then
// `lookedIn` names the folder: a daemon started without settings would log nowhere the
// user expects, so none is started.
std::string KnownSettingsFile(std::string& lookedIn);

// Starts `daemon --idle-exit 60 --socket socketPath` in a session of its own, with
// standard input and output on /dev/null and standard error appended to
// socketPath + ".log"; returns once it runs. Raises ConnectError when it cannot be
// started (not found, not executable).
void StartDaemon(const std::string& daemon, const std::string& socketPath);

// Holds an exclusive lock on the file at `path` (created when missing, never through
// a link) for its lifetime, so that clients arriving together start one daemon, not
// one each. Waits while another client holds it. Raises ConnectError when the file
// cannot be opened.
class LaunchLock {
 public:
  explicit LaunchLock(const std::string& path);
  ~LaunchLock();
  LaunchLock(const LaunchLock&) = delete;
  LaunchLock& operator=(const LaunchLock&) = delete;

 private:
  int fd_;
};

}  // namespace ledgerwick::client
