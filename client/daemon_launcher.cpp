#include "client/daemon_launcher.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "client/connect_error.h"

namespace ledgerwick::client {

namespace {

std::string ExecutableFolder() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) return "";
  std::string path(buffer, static_cast<size_t>(n));
  std::string::size_type slash = path.find_last_of('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

}  // namespace

std::string FindDaemon(const std::string& given) {
  if (!given.empty()) return given;
  if (const char* fromEnvironment = std::getenv("LEDGERWICKD"); fromEnvironment && *fromEnvironment) {
    return fromEnvironment;
  }
  std::string folder = ExecutableFolder();
  if (!folder.empty()) {
    std::string beside = folder + "/ledgerwickd";
    if (access(beside.c_str(), X_OK) == 0) return beside;
  }
  return "ledgerwickd";
}

std::string KnownSettingsFile(std::string& lookedIn) {
  const char* fromEnvironment = std::getenv("LEDGERWICK_CONFIG_DIR");
  lookedIn = fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : "/etc";
  const std::string path = lookedIn + "/Ledgwk.ini";
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return "";
  return path;
}

void StartDaemon(const std::string& daemon, const std::string& socketPath) {
  // Everything the children need is made before fork: after it only plain system
  // calls run.
  const std::string logPath = socketPath + ".log";
  std::vector<std::string> words = {daemon, "--idle-exit", "60", "--socket", socketPath};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  // The child reports a failed exec through this pipe; a successful exec closes it.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) throw ConnectError(std::string("ledgerwick: pipe: ") + std::strerror(errno));

  pid_t child = fork();
  if (child < 0) {
    int error = errno;
    close(report[0]);
    close(report[1]);
    throw ConnectError(std::string("ledgerwick: cannot start ledgerwickd: ") + std::strerror(error));
  }
  if (child == 0) {
    // First child: a new session, then a grandchild that is nobody's child to wait for.
    setsid();
    pid_t grandchild = fork();
    if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
    int in = open("/dev/null", O_RDONLY);
    int out = open("/dev/null", O_WRONLY);
    int err = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0600);
    if (err < 0) err = open("/dev/null", O_WRONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    // Only the report pipe stays open beside the standard three: the client's own
    // pipes must not stay open in a daemon that outlives it.
    int keep = report[1];
    if (keep <= 2) _exit(127);
    for (int fd = 3; fd < keep; ++fd) close(fd);
    long max = sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 65536) max = 65536;
    for (int fd = keep + 1; fd < max; ++fd) close(fd);
    execvp(argv[0], argv.data());
    int error = errno;
    ssize_t written = write(keep, &error, sizeof(error));
    (void)written;
    _exit(127);
  }
  close(report[1]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t n;
  do {
    n = read(report[0], &error, sizeof(error));
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof(error))) {
    throw ConnectError("ledgerwick: cannot start " + daemon + ": " + std::strerror(error));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw ConnectError("ledgerwick: cannot start " + daemon);
  }
}

LaunchLock::LaunchLock(const std::string& path)
    : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)) {
  if (fd_ < 0) throw ConnectError("ledgerwick: cannot open " + path + ": " + std::strerror(errno));
  while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

LaunchLock::~LaunchLock() { close(fd_); }

}  // namespace ledgerwick::client
