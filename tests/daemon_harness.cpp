#include "tests/daemon_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace ledgerwick::testing {

namespace {

// argv and envp, made before fork so that the child only makes system calls.
struct ExecArgs {
  std::vector<std::string> words;
  std::vector<std::string> environment;
  std::vector<char*> argv;
  std::vector<char*> envp;

  ExecArgs(const std::string& program, const std::vector<std::string>& args, const EnvChanges& changes) {
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry(*e);
      std::string::size_type eq = entry.find('=');
      if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : changes) {
      if (value.empty()) {
        vars.erase(name);
      } else {
        vars[name] = value;
      }
    }
    for (const auto& [name, value] : vars) environment.push_back(name + "=" + value);
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
  }
};

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return ExitCodeOf(status);
}

// Runs in the child after fork: the descriptors in place, then the program.
// `third`, when given, becomes descriptor 3.
[[noreturn]] void Exec(const ExecArgs& exec, int in, int out, int err, int third = -1,
                       const ResourceLimits& limits = {}) {
  if (in >= 0) dup2(in, 0);
  if (out >= 0) dup2(out, 1);
  if (err >= 0) dup2(err, 2);
  if (third >= 0) {
    if (third != 3) dup2(third, 3);
    fcntl(3, F_SETFD, 0);
  }
  for (int fd = third >= 0 ? 4 : 3; fd < 1024; ++fd) close(fd);
  for (const auto& [resource, value] : limits) {
    rlimit limit{value, value};
    if (setrlimit(resource, &limit) != 0) _exit(126);
  }
  execve(exec.argv[0], exec.argv.data(), exec.envp.data());
  _exit(127);
}

std::string TempFile(const std::string& content) {
  char name[] = "/tmp/lwt-io-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) Fail("mkstemp");
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n <= 0) Fail("write");
    done += static_cast<size_t>(n);
  }
  close(fd);
  return name;
}

}  // namespace

// ---------------------------------------------------------------- ShortTempDir

ShortTempDir::ShortTempDir() {
  char pattern[] = "/tmp/lwt-XXXXXX";
  if (mkdtemp(pattern) == nullptr) Fail("mkdtemp");
  path_ = pattern;
}

ShortTempDir::~ShortTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteSettings(const std::string& dir, int storageType, const std::string& textPath,
                   const std::string& database) {
  std::ofstream out(dir + "/Ledgwk.ini", std::ios::trunc);
  out << "[General]\nTextPath=" << textPath << "\nStorageType=" << storageType << "\n[Attachments]\n";
  if (!database.empty()) {
    out << "LocalDSO=Recordkit.SqliteDSO\nLocalDTO=Recordkit.SqliteDTO\nLocalConnect=DATABASE=" << database << "\n";
  }
}

// ---------------------------------------------------------------- DaemonProcess

DaemonProcess::DaemonProcess(const std::string& daemon, const std::vector<std::string>& args, const EnvChanges& env,
                             int passedSocket, const ResourceLimits& limits) {
  EnvChanges changes = env;
  // Room for the child's own pid, written in after fork.
  if (passedSocket >= 0) {
    changes["LISTEN_FDS"] = "1";
    changes["LISTEN_PID"] = std::string(20, ' ');
  }
  ExecArgs exec(daemon, args, changes);
  char* listenPid = nullptr;
  for (char* entry : exec.envp) {
    if (entry != nullptr && std::strncmp(entry, "LISTEN_PID=", 11) == 0 && passedSocket >= 0) listenPid = entry + 11;
  }
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) Fail("pipe");
  pid_ = fork();
  if (pid_ < 0) Fail("fork");
  if (pid_ == 0) {
    if (listenPid != nullptr) {
      char digits[20];
      int n = 0;
      for (long pid = getpid(); pid > 0 && n < 20; pid /= 10) digits[n++] = static_cast<char>('0' + pid % 10);
      for (int i = 0; i < n; ++i) listenPid[i] = digits[n - 1 - i];
      listenPid[n] = '\0';
    }
    int null = open("/dev/null", O_RDWR);
    Exec(exec, null, null, pipeFds[1], passedSocket, limits);
  }
  close(pipeFds[1]);
  int readEnd = pipeFds[0];
  reader_ = std::thread([this, readEnd]() {
    char buffer[4096];
    for (;;) {
      ssize_t n = read(readEnd, buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      if (n <= 0) {
        closed_ = true;
        changed_.notify_all();
        break;
      }
      stderr_.append(buffer, static_cast<size_t>(n));
      changed_.notify_all();
    }
    close(readEnd);
  });
}

DaemonProcess::~DaemonProcess() {
  if (!reaped_) {
    kill(pid_, SIGKILL);
    Reap(pid_);
  }
  if (reader_.joinable()) reader_.join();
}

bool DaemonProcess::WaitForLine(const std::string& text) {
  std::unique_lock<std::mutex> lock(mutex_);
  // The limit only keeps a broken daemon from hanging the test run.
  return changed_.wait_for(lock, std::chrono::seconds(60), [&]() {
    if (closed_) return true;
    for (const std::string& line : Lines(stderr_)) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }) && CountLines(stderr_, text) > 0;
}

int DaemonProcess::Stop(int signal) {
  if (!reaped_) kill(pid_, signal);
  return Wait();
}

int DaemonProcess::Wait() {
  if (!reaped_) {
    exitCode_ = Reap(pid_);
    reaped_ = true;
    if (reader_.joinable()) reader_.join();
  }
  return exitCode_;
}

std::string DaemonProcess::Stderr() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stderr_;
}

// ---------------------------------------------------------------- commands

CommandResult RunCommand(const std::string& program, const std::vector<std::string>& args, const EnvChanges& env,
                         const std::string& input) {
  ExecArgs exec(program, args, env);
  std::string inPath = TempFile(input);
  std::string outPath = TempFile("");
  std::string errPath = TempFile("");
  int in = open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
  int out = open(outPath.c_str(), O_WRONLY | O_CLOEXEC);
  int err = open(errPath.c_str(), O_WRONLY | O_CLOEXEC);
  pid_t pid = fork();
  if (pid < 0) Fail("fork");
  if (pid == 0) Exec(exec, in, out, err);
  close(in);
  close(out);
  close(err);
  CommandResult result;
  result.code = Reap(pid);
  result.out = ReadText(outPath);
  result.err = ReadText(errPath);
  unlink(inPath.c_str());
  unlink(outPath.c_str());
  unlink(errPath.c_str());
  return result;
}

PipedProcess::PipedProcess(const std::string& program, const std::vector<std::string>& args, const EnvChanges& env) {
  ExecArgs exec(program, args, env);
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) Fail("pipe");
  pid_ = fork();
  if (pid_ < 0) Fail("fork");
  if (pid_ == 0) {
    int null = open("/dev/null", O_RDWR);
    Exec(exec, pipeFds[0], null, null);
  }
  close(pipeFds[0]);
  input_ = pipeFds[1];
}

PipedProcess::~PipedProcess() { Kill(); }

void PipedProcess::Write(const std::string& text) {
  if (write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) Fail("write");
}

void PipedProcess::Kill() {
  if (pid_ < 0) return;
  kill(pid_, SIGKILL);
  Reap(pid_);
  pid_ = -1;
  close(input_);
}

void WaitForExit(pid_t pid) {
  int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return;  // gone already
  pollfd watch{fd, POLLIN, 0};
  // Readable once the process has ended; the limit only guards the test run.
  while (poll(&watch, 1, 60000) < 0 && errno == EINTR) {
  }
  close(fd);
}

// ---------------------------------------------------------------- reading results

std::vector<std::map<std::string, std::string>> ReadLogRows(const std::string& database) {
  std::vector<std::map<std::string, std::string>> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("cannot open " + database);
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT * FROM tblLog ORDER BY rowid", -1, &statement, nullptr) != SQLITE_OK) {
    std::string message = sqlite3_errmsg(db);
    sqlite3_close(db);
    throw std::runtime_error("cannot read tblLog: " + message);
  }
  while (sqlite3_step(statement) == SQLITE_ROW) {
    std::map<std::string, std::string> row;
    for (int c = 0; c < sqlite3_column_count(statement); ++c) {
      const unsigned char* text = sqlite3_column_text(statement, c);
      row[sqlite3_column_name(statement, c)] = text == nullptr ? "" : reinterpret_cast<const char*>(text);
    }
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

size_t CountLines(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (const std::string& line : Lines(text)) {
    if (line.find(part) != std::string::npos) ++count;
  }
  return count;
}

}  // namespace ledgerwick::testing
