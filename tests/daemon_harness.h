#pragma once
// Real ledgerwickd and ledgerwick processes for the cross-process tests: a short
// temporary folder (socket paths are limited to 107 bytes), settings, a daemon whose
// standard error is collected, command runs, and the rows of a SQLite log table.

#include <sys/resource.h>
#include <sys/types.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ledgerwick::testing {

// Variables for a child's environment; an empty value removes the variable.
using EnvChanges = std::map<std::string, std::string>;

// Resource limits for a child (RLIMIT_FSIZE, RLIMIT_NOFILE...), set soft and hard
// between fork and exec.
using ResourceLimits = std::map<int, rlim_t>;

class ShortTempDir {
 public:
  ShortTempDir();
  ~ShortTempDir();
  ShortTempDir(const ShortTempDir&) = delete;
  ShortTempDir& operator=(const ShortTempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes `dir`/Ledgwk.ini: the log method, the text log folder and, when `database`
// is not empty, a SQLite local store there; never a network store.
void WriteSettings(const std::string& dir, int storageType, const std::string& textPath,
                   const std::string& database);

class DaemonProcess {
 public:
  // Starts `daemon` with `args`, its standard error read into a buffer. With
  // `passedSocket` (a listening socket), hands it over as systemd's socket
  // activation does: as descriptor 3, with LISTEN_FDS=1 and LISTEN_PID the child's.
  // `limits` are set in the child before it runs the daemon.
  DaemonProcess(const std::string& daemon, const std::vector<std::string>& args, const EnvChanges& env = {},
                int passedSocket = -1, const ResourceLimits& limits = {});
  // Kills a daemon still running.
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  // Blocks until a line of standard error holds `text`; false once the daemon closed
  // standard error without one (it ended).
  bool WaitForLine(const std::string& text);
  // Sends `signal` and waits for the end: the exit code, or 128 + the signal.
  int Stop(int signal);
  // Waits for the end without a signal.
  int Wait();
  std::string Stderr();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int exitCode_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string stderr_;
  bool closed_ = false;
  std::thread reader_;
};

struct CommandResult {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs `program` with `args` to its end; `input` is its standard input.
CommandResult RunCommand(const std::string& program, const std::vector<std::string>& args, const EnvChanges& env = {},
                         const std::string& input = "");

// A process whose standard input stays open until Close or Kill.
class PipedProcess {
 public:
  PipedProcess(const std::string& program, const std::vector<std::string>& args, const EnvChanges& env = {});
  ~PipedProcess();
  PipedProcess(const PipedProcess&) = delete;
  PipedProcess& operator=(const PipedProcess&) = delete;
  void Write(const std::string& text);
  // SIGKILL, then the wait.
  void Kill();

 private:
  pid_t pid_ = -1;
  int input_ = -1;
};

// Blocks until the process `pid` (not necessarily a child) has ended.
void WaitForExit(pid_t pid);

// The rows of tblLog in `database`, oldest first: column name → value as text ("" for NULL).
std::vector<std::map<std::string, std::string>> ReadLogRows(const std::string& database);

std::string ReadText(const std::string& path);
std::vector<std::string> Lines(const std::string& text);
// Counts the lines of `text` that hold `part`.
size_t CountLines(const std::string& text, const std::string& part);

}  // namespace ledgerwick::testing
