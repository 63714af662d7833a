// ledgerwick-bench: puts a ledgerwickd under load from client processes and reports,
// for each target and client mode, events per second from the first call to the last
// record stored, the latency of each call, the daemon's CPU per event and its peak
// memory; next to them, the bare cost of a Cap'n Proto call over a Unix socket (and,
// when rsyslogd is installed, rsyslog's Unix-socket ingest into a file), measured in
// the same run on the same machine.
//
// By default each measurement gets a daemon of its own, started in a temporary folder
// with settings for the target; --socket loads a running daemon instead.
//
// Client modes, each client a process of its own with its own connection:
//   sequential  Loggit, one call at a time;
//   inflight    LoggitAsync, up to --inflight calls in flight on the connection;
//   batched     LoggitBatch of --batch records packed by the client.
//
// With one client into the text log it also prints the lines scripts read:
//   ingest-sequential events_per_s=N raw_per_s=N ratio=R   (raw: one bare call at a time)
//   ingest-inflight events_per_s=N raw_per_s=N ratio=R     (raw: 64 bare calls in flight)

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <capnp/rpc-twoparty.h>
#include <kj/async-io.h>
#include <libpq-fe.h>
#include <nlohmann/json.hpp>
#include <CLI/CLI.hpp>

#include "automation/automation_error.h"
#include "automation/variant.h"
#include "bench/bench_echo.capnp.h"
#include "client/application.h"
#include "client/connect_error.h"
#include "client/connection.h"
#include "recordkit/property_set.h"
#include "tests/daemon_harness.h"
#include "tests/support/pg_cluster.h"

namespace ledgerwick::bench {
namespace {

using automation::Variant;

// ---------------------------------------------------------------- what to measure

enum class Mode { kSequential, kInflight, kBatched };

const char* NameOf(Mode mode) {
  switch (mode) {
    case Mode::kSequential: return "sequential";
    case Mode::kInflight: return "inflight";
    case Mode::kBatched: return "batched";
  }
  return "?";
}

struct Settings {
  int clients = 1;
  int events = 20000;  // per client
  std::vector<Mode> modes;
  int inflight = 64;
  int batch = 256;
  std::vector<std::string> targets;  // text, sqlite, postgres; or "daemon" with --socket
  std::string socket;                // a running daemon to load instead of our own
  std::string daemonPath;
  bool json = false;
};

// The bare calls the ingest figures are held against.
constexpr int kRawSequentialCalls = 20000;
constexpr int kRawInflightCalls = 100000;
constexpr int kRawInflight = 64;
constexpr int kRawWarmUpCalls = 1000;
// The longest a client may stay silent (not ready, not done) before the run is given up.
constexpr int kClientSilenceMs = 300000;
// How long the count of stored records may stand still, with every client done,
// before the rest are taken as lost.
constexpr int64_t kNoProgressNs = 10'000'000'000;
// Between two status polls: short enough not to inflate the figure.
constexpr long kPollPauseNs = 500'000;

// ---------------------------------------------------------------- processes and pipes

int64_t NowNs() {
  // steady_clock is CLOCK_MONOTONIC, one clock for every process on the machine, so
  // the clients' time stamps compare with the parent's.
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void PauseNs(long ns) {
  timespec request{0, ns};
  while (nanosleep(&request, &request) != 0 && errno == EINTR) {
  }
}

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what); }

[[noreturn]] void FailErrno(const std::string& what) { Fail(what + ": " + std::strerror(errno)); }

class Pipe {
 public:
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) FailErrno("pipe");
    read_ = fds[0];
    write_ = fds[1];
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  int readFd() const { return read_; }
  int writeFd() const { return write_; }
  void CloseRead() {
    if (read_ >= 0) close(read_);
    read_ = -1;
  }
  void CloseWrite() {
    if (write_ >= 0) close(write_);
    write_ = -1;
  }

 private:
  int read_ = -1;
  int write_ = -1;
};

void WriteAll(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) FailErrno("write");
    bytes += n;
    size -= static_cast<size_t>(n);
  }
}

// Reads exactly `size` bytes; false at end of file. Waits at most `timeoutMs` for each part.
bool ReadAll(int fd, void* data, size_t size, int timeoutMs) {
  char* bytes = static_cast<char*>(data);
  while (size > 0) {
    pollfd readable{fd, POLLIN, 0};
    int ready = poll(&readable, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) Fail("no word from a child process for " + std::to_string(timeoutMs / 1000) + " s");
    ssize_t n = read(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) FailErrno("read");
    if (n == 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Runs `body` in a child process that ends with its exit code; answers the child's pid.
// The child never returns into the caller's frames, nor runs the parent's destructors.
pid_t Fork(const std::function<int()>& body) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) FailErrno("fork");
  if (pid > 0) return pid;
  int code = 1;
  try {
    code = body();
  } catch (const kj::Exception& e) {
    std::fprintf(stderr, "ledgerwick-bench: child %d: %s\n", getpid(), e.getDescription().cStr());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ledgerwick-bench: child %d: %s\n", getpid(), e.what());
  }
  std::fflush(nullptr);
  _exit(code);
}

int Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void StopChild(pid_t pid) {
  kill(pid, SIGTERM);
  Reap(pid);
}

// A temporary folder for sockets, settings and stores, in $TMPDIR (else /tmp): on a
// machine whose /tmp is in memory, point TMPDIR at a disk to measure the disk.
class TempFolder {
 public:
  TempFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/lwb-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) FailErrno("mkdtemp " + pattern);
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string SocketIn(const std::string& folder, const std::string& name) {
  std::string path = folder + "/" + name;
  if (path.size() >= sizeof(sockaddr_un::sun_path)) Fail("socket path too long (set a shorter TMPDIR): " + path);
  return path;
}

// ---------------------------------------------------------------- the daemon's figures

// Whether `pid` here is a ledgerwickd: a daemon on --socket may run in another pid
// namespace (a container), where its pid names some other process of this machine.
bool IsLedgerwickd(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  return std::getline(in, name) && name == "ledgerwickd";
}

std::optional<uint64_t> CpuTicks(pid_t pid) {
  if (!IsLedgerwickd(pid)) return std::nullopt;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return std::nullopt;
  // The command name, in parentheses, may hold spaces: count fields after it.
  const std::string::size_type end = text.rfind(')');
  if (end == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(end + 1));
  std::string skipped;
  for (int field = 3; field <= 13; ++field) fields >> skipped;
  uint64_t utime = 0, stime = 0;
  if (!(fields >> utime >> stime)) return std::nullopt;
  return utime + stime;
}

// VmHWM: the most resident memory the process has had since it started.
std::optional<double> PeakMiB(pid_t pid) {
  if (!IsLedgerwickd(pid)) return std::nullopt;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return std::nullopt;
}

uint64_t Written(const client::DaemonStatus& status) {
  return status.toNetworkStore + status.toLocalStore + status.toTextLog;
}

// ---------------------------------------------------------------- the bare call

class EchoServer final : public Echo::Server {
 protected:
  kj::Promise<void> ping(PingContext) override { return kj::READY_NOW; }
};

// Waits for `promise`; with `polling`, by looking for it over and over (offering the
// core at each look) instead of sleeping, as the client library and the daemon do
// while answers and calls come quickly.
template <typename T>
T Await(kj::Promise<T>& promise, kj::WaitScope& waitScope, bool polling) {
  if (polling) {
    while (!promise.poll(waitScope)) sched_yield();
  }
  return promise.wait(waitScope);
}

// Serves Echo on `socket` in a child process until stopped; with `polling`, never
// sleeping.
pid_t StartEchoServer(const std::string& socket, bool polling) {
  Pipe ready;
  pid_t pid = Fork([&]() {
    ready.CloseRead();
    auto io = kj::setupAsyncIo();
    auto listener = io.provider->getNetwork().parseAddress("unix:" + socket).wait(io.waitScope)->listen();
    capnp::TwoPartyServer server(kj::heap<EchoServer>());
    auto serving = server.listen(*listener);
    const char byte = 'r';
    WriteAll(ready.writeFd(), &byte, 1);
    Await(serving, io.waitScope, polling);
    return 0;
  });
  ready.CloseWrite();
  char byte = 0;
  if (!ReadAll(ready.readFd(), &byte, 1, kClientSilenceMs)) Fail("the echo server did not start");
  return pid;
}

// Calls per second of `calls` pings with up to `inflight` in flight, from a client
// process of its own, as the load clients are; with `polling`, never sleeping.
double EchoCallsPerSecond(const std::string& socket, int calls, int inflight, bool polling = false) {
  Pipe result;
  pid_t pid = Fork([&]() {
    result.CloseRead();
    auto io = kj::setupAsyncIo();
    auto stream =
        io.provider->getNetwork().parseAddress("unix:" + socket).wait(io.waitScope)->connect().wait(io.waitScope);
    capnp::TwoPartyClient rpc(*stream);
    Echo::Client echo = rpc.bootstrap().castAs<Echo>();
    auto run = [&](int count) {
      std::deque<kj::Promise<void>> pending;
      for (int i = 0; i < count; ++i) {
        if (static_cast<int>(pending.size()) == inflight) {
          Await(pending.front(), io.waitScope, polling);
          pending.pop_front();
        }
        pending.push_back(echo.pingRequest().send().ignoreResult());
      }
      for (; !pending.empty(); pending.pop_front()) Await(pending.front(), io.waitScope, polling);
    };
    run(kRawWarmUpCalls);
    const int64_t start = NowNs();
    run(calls);
    const double rate = calls / ((NowNs() - start) / 1e9);
    WriteAll(result.writeFd(), &rate, sizeof rate);
    return 0;
  });
  result.CloseWrite();
  double rate = 0;
  const bool answered = ReadAll(result.readFd(), &rate, sizeof rate, kClientSilenceMs);
  if (Reap(pid) != 0 || !answered) Fail("the echo client failed");
  return rate;
}

struct References {
  double echoSequential = 0;
  double echoInflight = 0;
  // One at a time, client and server polling instead of sleeping: the call without
  // the wake-ups.
  double echoSequentialPolled = 0;
  // rsyslog's Unix-socket ingest into a file; empty when not measured.
  std::optional<double> rsyslog;
  std::string rsyslogNote;
};

// ---------------------------------------------------------------- clients and the parent

// What a client process tells the parent, one message at a time on a shared pipe
// (16 bytes, so that writes from several clients never interleave).
struct ClientMessage {
  enum Tag : int64_t { kReady = 1, kGaveUp = 2, kDone = 3 };
  int64_t tag = 0;
  // kDone: the events the daemon accepted; from an rsyslog sender, the time of its
  // first send.
  int64_t value = 0;
};

void Tell(int fd, ClientMessage::Tag tag, int64_t value = 0) {
  const ClientMessage message{tag, value};
  WriteAll(fd, &message, sizeof message);
}

// Blocks until the parent closes the gate's write end: every client starts at once.
void WaitAtGate(int gateFd) {
  char byte;
  while (read(gateFd, &byte, 1) < 0 && errno == EINTR) {
  }
}

// Reads messages until `count` of them carried `tag`; answers the sum of their
// values. Stops early at end of file (every client has ended).
int64_t AwaitMessages(int fd, int count, ClientMessage::Tag tag, int* seen = nullptr) {
  int64_t sum = 0;
  int matched = 0;
  for (int received = 0; received < count;) {
    ClientMessage message;
    if (!ReadAll(fd, &message, sizeof message, kClientSilenceMs)) break;
    ++received;
    if (message.tag == tag) {
      ++matched;
      sum += message.value;
    }
  }
  if (seen != nullptr) *seen = matched;
  return sum;
}

// ---------------------------------------------------------------- rsyslog, for comparison

std::optional<std::string> FindProgram(const std::string& name) {
  for (const char* folder : {"/usr/sbin", "/sbin", "/usr/bin", "/bin", "/usr/local/sbin", "/usr/local/bin"}) {
    const std::string path = std::string(folder) + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return std::nullopt;
}

// Counts the lines of a growing file, reading only what was added since the last call.
class LineCounter {
 public:
  explicit LineCounter(std::string path) : path_(std::move(path)) {}
  ~LineCounter() {
    if (fd_ >= 0) close(fd_);
  }
  LineCounter(const LineCounter&) = delete;
  LineCounter& operator=(const LineCounter&) = delete;

  size_t Count() {
    if (fd_ < 0) fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return 0;
    char buffer[1 << 16];
    for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;)
      lines_ += static_cast<size_t>(std::count(buffer, buffer + n, '\n'));
    return lines_;
  }

 private:
  std::string path_;
  int fd_ = -1;
  size_t lines_ = 0;
};

// Lines per second of `clients` processes each sending `events` syslog datagrams to
// rsyslogd's imuxsock, from the first send to the file holding every line. Sends
// block while rsyslogd's socket is full, so nothing is dropped on the way in.
std::optional<double> RsyslogLinesPerSecond(const std::string& rsyslogd, const std::string& parent, int clients,
                                            int events, std::string& note) {
  const std::string folder = parent + "/rsyslog";
  std::filesystem::create_directories(folder + "/work");
  const std::string socket = SocketIn(folder, "rs.sock");
  const std::string output = folder + "/messages.log";
  const std::string conf = folder + "/rsyslog.conf", pidFile = folder + "/rsyslogd.pid";
  {
    std::ofstream out(conf);
    // No rate limit and only the bench's lines in the file, not rsyslogd's own.
    out << "global(workDirectory=\"" << folder << "/work\")\n"
        << "module(load=\"imuxsock\" SysSock.Use=\"off\")\n"
        << "input(type=\"imuxsock\" Socket=\"" << socket << "\" RateLimit.Interval=\"0\")\n"
        << "if $programname == \"bench\" then {\n"
        << "  action(type=\"omfile\" file=\"" << output << "\")\n"
        << "}\n";
  }
  const std::string errors = folder + "/rsyslogd.err";
  pid_t daemon = Fork([&]() {
    int null = open("/dev/null", O_RDWR);
    int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null, 0);
    dup2(null, 1);
    if (err >= 0) dup2(err, 2);
    execl(rsyslogd.c_str(), rsyslogd.c_str(), "-n", "-f", conf.c_str(), "-i", pidFile.c_str(),
          static_cast<char*>(nullptr));
    return 127;
  });
  for (int i = 0; i < 5000 && access(socket.c_str(), F_OK) != 0; ++i) PauseNs(1'000'000);
  if (access(socket.c_str(), F_OK) != 0) {
    StopChild(daemon);
    note = "rsyslogd did not open its socket (see " + errors + ")";
    return std::nullopt;
  }

  Pipe gate, messages;
  std::vector<pid_t> senders;
  for (int c = 0; c < clients; ++c) {
    senders.push_back(Fork([&, c]() {
      gate.CloseWrite();
      messages.CloseRead();
      int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::memcpy(address.sun_path, socket.c_str(), socket.size() + 1);
      if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Tell(messages.writeFd(), ClientMessage::kGaveUp);
        return 1;
      }
      Tell(messages.writeFd(), ClientMessage::kReady);
      WaitAtGate(gate.readFd());
      const int64_t first = NowNs();
      int64_t sent = 0;
      for (int i = 0; i < events; ++i) {
        const std::string line = "<14>bench: message " + std::to_string(static_cast<int64_t>(c) * events + i);
        if (send(fd, line.data(), line.size(), 0) == static_cast<ssize_t>(line.size())) ++sent;
      }
      // The first send's time travels as the done message's value.
      Tell(messages.writeFd(), ClientMessage::kDone, first);
      return sent == events ? 0 : 1;
    }));
  }
  gate.CloseRead();
  messages.CloseWrite();
  int ready = 0;
  AwaitMessages(messages.readFd(), clients, ClientMessage::kReady, &ready);
  gate.CloseWrite();
  int64_t first = INT64_MAX;
  for (int done = 0; done < ready; ++done) {
    ClientMessage message;
    if (!ReadAll(messages.readFd(), &message, sizeof message, kClientSilenceMs)) break;
    first = std::min(first, message.value);
  }

  const size_t expected = static_cast<size_t>(clients) * static_cast<size_t>(events);
  LineCounter lines(output);
  int64_t end = NowNs(), lastChange = end;
  size_t seen = 0;
  while (ready == clients) {
    const size_t count = lines.Count();
    end = NowNs();
    if (count >= expected) break;
    if (count != seen) {
      seen = count;
      lastChange = end;
    } else if (end - lastChange > kNoProgressNs) {
      break;
    }
    PauseNs(kPollPauseNs);
  }
  const size_t written = lines.Count();
  // Only now, so that waiting for the senders to end does not count in the time.
  bool sentAll = ready == clients;
  for (pid_t sender : senders) sentAll = Reap(sender) == 0 && sentAll;
  StopChild(daemon);
  if (!sentAll || written < expected) {
    note = "rsyslog took " + std::to_string(written) + " of " + std::to_string(expected) + " lines";
    return std::nullopt;
  }
  return expected / ((end - first) / 1e9);
}

// ---------------------------------------------------------------- a load client

// One call's time and the events it carried (more than one for a batch).
struct CallSample {
  int64_t latencyNs = 0;
  int64_t events = 0;
};

struct ClientJob {
  std::string socket;
  Mode mode = Mode::kSequential;
  int index = 0;
  int events = 0;
  int inflight = 0;
  int batch = 0;
  std::string resultPath;
};

// A typical event; only the description changes from one to the next.
class EventSource {
 public:
  explicit EventSource(int client)
      : fields_(recordkit::PropertySet::NewEventSet()),
        prefix_("Could not reach the print server, client " + std::to_string(client) + " try ") {
    fields_->Item("AppName")->SetValue(Variant::String("Payroll"));
    fields_->Item("AppVersion")->SetValue(Variant::String("10.0.3"));
    fields_->Item("Severity")->SetValue(Variant::Integer(2));
    fields_->Item("EventCode")->SetValue(Variant::Long(4711));
    fields_->Item("UserName")->SetValue(Variant::String("ann"));
    fields_->Item("SubName")->SetValue(Variant::String("PrintBatch"));
    fields_->Item("ModuleName")->SetValue(Variant::String("modPrint"));
    description_ = fields_->Item("Description");
  }

  const recordkit::PropertySet& Next(int i) {
    description_->SetValue(Variant::String(prefix_ + std::to_string(i)));
    return *fields_;
  }

 private:
  std::shared_ptr<recordkit::PropertySet> fields_;
  std::shared_ptr<recordkit::Property> description_;
  std::string prefix_;
};

struct ClientResult {
  int64_t firstCallNs = 0;
  int64_t lastAnswerNs = 0;
  int64_t accepted = 0;  // events the daemon answered 0 for
  std::vector<CallSample> calls;
};

void LogSequentially(client::Application& app, const ClientJob& job, ClientResult& result) {
  EventSource source(job.index);
  result.calls.reserve(static_cast<size_t>(job.events));
  bool told = false;
  for (int i = 0; i < job.events; ++i) {
    const int64_t start = NowNs();
    try {
      app.Loggit(source.Next(i));
      ++result.accepted;
    } catch (const automation::AutomationError& e) {
      // The daemon refused the event; the first refusal says why.
      if (!told) std::fprintf(stderr, "ledgerwick-bench: client %d: Loggit: %s\n", job.index, e.what());
      told = true;
    }
    result.lastAnswerNs = NowNs();
    result.calls.push_back({result.lastAnswerNs - start, 1});
  }
}

void LogInFlight(client::Application& app, const ClientJob& job, ClientResult& result) {
  EventSource source(job.index);
  result.calls.assign(static_cast<size_t>(job.events), CallSample{});
  std::deque<kj::Promise<void>> pending;
  for (int i = 0; i < job.events; ++i) {
    if (static_cast<int>(pending.size()) == job.inflight) {
      app.connection()->Wait(std::move(pending.front()));
      pending.pop_front();
    }
    const int64_t start = NowNs();
    // Evaluated as soon as the answer arrives, so that each call's time is its own
    // and not the time until the loop got round to it.
    pending.push_back(app.LoggitAsync(source.Next(i))
                          .then([&result, start, i](automation::Status status) {
                            result.lastAnswerNs = NowNs();
                            result.calls[static_cast<size_t>(i)] = {result.lastAnswerNs - start, 1};
                            if (status.ok()) ++result.accepted;
                          })
                          .eagerlyEvaluate(nullptr));
  }
  for (; !pending.empty(); pending.pop_front()) app.connection()->Wait(std::move(pending.front()));
}

void LogInBatches(client::Application& app, const ClientJob& job, ClientResult& result) {
  EventSource source(job.index);
  std::vector<Variant> records;
  records.reserve(static_cast<size_t>(job.batch));
  for (int first = 0; first < job.events; first += job.batch) {
    const int count = std::min(job.batch, job.events - first);
    // Packing is the client's work for a batch, as it is inside Loggit: it counts in
    // the run's time, though not in the call's latency.
    records.clear();
    for (int i = first; i < first + count; ++i) records.push_back(app.Pack(source.Next(i)));
    const int64_t start = NowNs();
    const std::vector<automation::Status> statuses = app.LoggitBatch(records);
    result.lastAnswerNs = NowNs();
    result.calls.push_back({result.lastAnswerNs - start, count});
    result.accepted += std::count_if(statuses.begin(), statuses.end(), [](const auto& s) { return s.ok(); });
  }
}

void WriteResult(const std::string& path, const ClientResult& result) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const int64_t header[4] = {result.firstCallNs, result.lastAnswerNs, result.accepted,
                             static_cast<int64_t>(result.calls.size())};
  out.write(reinterpret_cast<const char*>(header), sizeof header);
  out.write(reinterpret_cast<const char*>(result.calls.data()),
            static_cast<std::streamsize>(result.calls.size() * sizeof(CallSample)));
  if (!out) Fail("cannot write " + path);
}

std::optional<ClientResult> ReadResult(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  int64_t header[4];
  if (!in.read(reinterpret_cast<char*>(header), sizeof header) || header[3] < 0) return std::nullopt;
  ClientResult result{header[0], header[1], header[2], std::vector<CallSample>(static_cast<size_t>(header[3]))};
  if (!in.read(reinterpret_cast<char*>(result.calls.data()),
               static_cast<std::streamsize>(result.calls.size() * sizeof(CallSample)))) {
    return std::nullopt;
  }
  return result;
}

// The body of a client process: connects, says it is ready, waits at the gate, logs
// its events, says it is done and writes its calls' times for the parent.
int RunClient(const ClientJob& job, int gateFd, int messageFd) {
  std::unique_ptr<client::Application> app;
  try {
    client::Options options;
    options.socketPath = job.socket;
    options.autostart = false;
    app = std::make_unique<client::Application>(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ledgerwick-bench: client %d: %s\n", job.index, e.what());
    Tell(messageFd, ClientMessage::kGaveUp);
    return 1;
  }
  Tell(messageFd, ClientMessage::kReady);
  WaitAtGate(gateFd);

  ClientResult result;
  result.firstCallNs = NowNs();
  int code = 0;
  try {
    switch (job.mode) {
      case Mode::kSequential: LogSequentially(*app, job, result); break;
      case Mode::kInflight: LogInFlight(*app, job, result); break;
      case Mode::kBatched: LogInBatches(*app, job, result); break;
    }
  } catch (const std::exception& e) {
    // A broken connection ends the client; what it did not log counts as failed.
    std::fprintf(stderr, "ledgerwick-bench: client %d: %s\n", job.index, e.what());
    code = 1;
  }
  Tell(messageFd, ClientMessage::kDone, result.accepted);
  WriteResult(job.resultPath, result);
  return code;
}

// ---------------------------------------------------------------- the daemon under load

// The store each target's records are meant for, by its counter.
uint64_t TargetCount(const std::string& target, const client::DaemonStatus& status) {
  if (target == "text") return status.toTextLog;
  if (target == "sqlite") return status.toLocalStore;
  if (target == "postgres") return status.toNetworkStore;
  return Written(status);  // a running daemon: wherever it writes
}

void CreateDatabase(const testing::PgCluster& cluster, const std::string& name) {
  PGconn* connection = PQconnectdb(cluster.ConnInfo().c_str());
  if (PQstatus(connection) != CONNECTION_OK) {
    const std::string error = PQerrorMessage(connection);
    PQfinish(connection);
    Fail("cannot reach the PostgreSQL cluster: " + error);
  }
  PGresult* result = PQexec(connection, ("CREATE DATABASE " + name).c_str());
  const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
  const std::string error = PQerrorMessage(connection);
  PQclear(result);
  PQfinish(connection);
  if (!ok) Fail("CREATE DATABASE " + name + ": " + error);
}

// The daemon one measurement loads: one of our own, started in `folder` with settings
// for `target` and stopped at the end; or, with --socket, the one already running.
class DaemonUnderLoad {
 public:
  DaemonUnderLoad(const Settings& settings, const std::string& target, const std::string& folder,
                  const testing::PgCluster* cluster) {
    if (!settings.socket.empty()) {
      socket_ = settings.socket;
      return;
    }
    std::filesystem::create_directories(folder);
    // Text: the text log only. The stores: a network store when it is PostgreSQL,
    // then the local SQLite store, then the text log, each taking what the one before
    // it could not.
    testing::WriteSettings(folder, target == "text" ? 0 : 1, folder, target == "text" ? "" : folder + "/ledgwk.db");
    if (target == "postgres") {
      std::string database = "bench_" + std::filesystem::path(folder).filename().string();
      std::replace(database.begin(), database.end(), '-', '_');
      CreateDatabase(*cluster, database);
      std::ofstream(folder + "/Ledgwk.ini", std::ios::app)
          << "NetDSO=Recordkit.PostgresDSO\nNetDTO=Recordkit.PostgresDTO\nNetConnect=DATABASE="
          << cluster->ConnInfo(database) << "\n";
    }
    socket_ = SocketIn(folder, "d.sock");
    process_ = std::make_unique<testing::DaemonProcess>(
        settings.daemonPath, std::vector<std::string>{"--config-dir", folder, "--home", folder, "--socket", socket_});
    if (!process_->WaitForLine("ledgerwickd: ready on")) Fail("ledgerwickd did not start:\n" + process_->Stderr());
  }
  ~DaemonUnderLoad() {
    if (process_ != nullptr) process_->Stop(SIGTERM);
  }
  DaemonUnderLoad(const DaemonUnderLoad&) = delete;
  DaemonUnderLoad& operator=(const DaemonUnderLoad&) = delete;

  const std::string& socket() const { return socket_; }

 private:
  std::string socket_;
  std::unique_ptr<testing::DaemonProcess> process_;
};

// ---------------------------------------------------------------- one measurement

struct Latency {
  double p50Us = 0;
  double p99Us = 0;
  double maxUs = 0;
};

Latency LatencyOf(std::vector<double> us) {
  if (us.empty()) return {};
  std::sort(us.begin(), us.end());
  // Nearest rank: the smallest time at least that share of the calls did not exceed.
  auto at = [&us](double share) {
    size_t rank = static_cast<size_t>(std::ceil(share * static_cast<double>(us.size())));
    return us[std::clamp<size_t>(rank, 1, us.size()) - 1];
  };
  return {at(0.50), at(0.99), us.back()};
}

struct RunFigures {
  std::string target;
  Mode mode = Mode::kSequential;
  int clients = 0;
  int64_t events = 0;            // sent, over all clients
  int64_t failures = 0;          // events the daemon did not accept (or never got)
  uint64_t stored = 0;           // records the daemon wrote during the run
  uint64_t storedElsewhere = 0;  // of those, not into the target's store
  uint64_t lost = 0;             // accepted but not stored when the count stood still
  double seconds = 0;            // first call to last record stored
  double eventsPerS = 0;         // stored / seconds
  double answeredPerS = 0;       // accepted / (first call to last answer)
  Latency perCall;
  std::optional<Latency> perEvent;  // batched only
  std::optional<double> cpuUsPerEvent;
  std::optional<double> peakMiB;
};

RunFigures Measure(const Settings& settings, const std::string& target, Mode mode, const std::string& socket,
                   const std::string& folder) {
  std::filesystem::create_directories(folder);
  Pipe gate, messages;
  std::vector<pid_t> clients;
  std::vector<std::string> resultPaths;
  for (int c = 0; c < settings.clients; ++c) {
    ClientJob job;
    job.socket = socket;
    job.mode = mode;
    job.index = c;
    job.events = settings.events;
    job.inflight = settings.inflight;
    job.batch = settings.batch;
    job.resultPath = folder + "/client-" + std::to_string(c) + ".out";
    resultPaths.push_back(job.resultPath);
    clients.push_back(Fork([&, job]() {
      gate.CloseWrite();
      messages.CloseRead();
      return RunClient(job, gate.readFd(), messages.writeFd());
    }));
  }
  gate.CloseRead();
  messages.CloseWrite();

  RunFigures figures;
  figures.target = target;
  figures.mode = mode;
  figures.clients = settings.clients;
  figures.events = static_cast<int64_t>(settings.clients) * settings.events;
  int64_t endNs = 0;
  uint64_t accepted = 0;
  client::DaemonStatus before, after;
  {
    // Made only after the forks, so that no client inherits an event loop.
    client::Options options;
    options.socketPath = socket;
    options.autostart = false;
    auto connection = client::Connection::Open(options);
    int ready = 0;
    AwaitMessages(messages.readFd(), settings.clients, ClientMessage::kReady, &ready);
    before = connection->Status();
    const std::optional<uint64_t> ticksBefore = CpuTicks(before.pid);
    gate.CloseWrite();

    accepted = static_cast<uint64_t>(AwaitMessages(messages.readFd(), ready, ClientMessage::kDone));
    // Every client has its last answer; now until the daemon has stored what it took.
    const uint64_t goal = Written(before) + accepted;
    int64_t lastChange = NowNs();
    uint64_t seen = Written(before);
    for (;;) {
      after = connection->Status();
      endNs = NowNs();
      if (Written(after) >= goal && after.queueLength == 0) break;
      if (Written(after) != seen) {
        seen = Written(after);
        lastChange = endNs;
      } else if (endNs - lastChange > kNoProgressNs) {
        break;
      }
      PauseNs(kPollPauseNs);
    }
    const std::optional<uint64_t> ticksAfter = CpuTicks(after.pid);
    figures.stored = Written(after) - Written(before);
    if (ticksBefore && ticksAfter && figures.stored > 0) {
      figures.cpuUsPerEvent = static_cast<double>(*ticksAfter - *ticksBefore) /
                              static_cast<double>(sysconf(_SC_CLK_TCK)) * 1e6 / static_cast<double>(figures.stored);
    }
    figures.peakMiB = PeakMiB(after.pid);
  }
  for (pid_t pid : clients) Reap(pid);

  int64_t firstNs = INT64_MAX, lastAnswerNs = 0;
  std::vector<double> callUs, eventUs;
  for (const std::string& path : resultPaths) {
    const std::optional<ClientResult> result = ReadResult(path);
    if (!result) continue;
    if (!result->calls.empty()) {
      firstNs = std::min(firstNs, result->firstCallNs);
      lastAnswerNs = std::max(lastAnswerNs, result->lastAnswerNs);
    }
    for (const CallSample& call : result->calls) {
      if (call.events == 0) continue;  // a call in flight when the connection broke
      callUs.push_back(call.latencyNs / 1e3);
      eventUs.push_back(call.latencyNs / 1e3 / static_cast<double>(call.events));
    }
  }
  figures.failures = figures.events - static_cast<int64_t>(accepted);
  figures.storedElsewhere =
      figures.stored - std::min(figures.stored, TargetCount(target, after) - TargetCount(target, before));
  figures.lost = accepted - std::min<uint64_t>(accepted, figures.stored);
  if (firstNs != INT64_MAX) {
    figures.seconds = (endNs - firstNs) / 1e9;
    figures.eventsPerS = figures.stored / figures.seconds;
    if (lastAnswerNs > firstNs) figures.answeredPerS = accepted / ((lastAnswerNs - firstNs) / 1e9);
  }
  figures.perCall = LatencyOf(callUs);
  if (mode == Mode::kBatched) figures.perEvent = LatencyOf(eventUs);
  return figures;
}

// ---------------------------------------------------------------- reports

std::string Fixed(std::optional<double> value, int decimals) {
  if (!value || !std::isfinite(*value)) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, *value);
  return text;
}

// A figure rounded to `decimals` places (a whole number when none); null when there
// is none.
nlohmann::ordered_json JsonNumber(std::optional<double> value, int decimals = 3) {
  if (!value || !std::isfinite(*value)) return nullptr;
  if (decimals == 0) return static_cast<int64_t>(std::llround(*value));
  const double scale = std::pow(10.0, decimals);
  return std::round(*value * scale) / scale;
}

nlohmann::ordered_json JsonLatency(const Latency& latency) {
  return {{"p50", JsonNumber(latency.p50Us)}, {"p99", JsonNumber(latency.p99Us)}, {"max", JsonNumber(latency.maxUs)}};
}

struct IngestLine {
  Mode mode;
  double eventsPerS;
  double rawPerS;
};

// The ingest figures scripts read: one client into the text log, against the bare call.
std::vector<IngestLine> IngestLines(const std::vector<RunFigures>& runs, const References& references) {
  std::vector<IngestLine> lines;
  for (const RunFigures& run : runs) {
    if (run.target != "text" || run.clients != 1) continue;
    if (run.mode == Mode::kSequential) lines.push_back({run.mode, run.eventsPerS, references.echoSequential});
    if (run.mode == Mode::kInflight) lines.push_back({run.mode, run.eventsPerS, references.echoInflight});
  }
  return lines;
}

const char* const kTableHeader =
    "target   mode        clients   events   events/s answered/s  call_p50  call_p99  call_max   ev_p50   ev_p99   "
    "ev_max  cpu_us/ev peak_MiB failed\n";

void PrintRow(const RunFigures& run) {
  auto event = [&run](double Latency::*figure) -> std::optional<double> {
    if (!run.perEvent) return std::nullopt;
    return (*run.perEvent).*figure;
  };
  std::printf("%-8s %-10s %8d %8lld %10.0f %10.0f %9.1f %9.1f %9.1f %8s %8s %8s %10s %8s %6lld\n", run.target.c_str(),
              NameOf(run.mode), run.clients, static_cast<long long>(run.events), run.eventsPerS, run.answeredPerS,
              run.perCall.p50Us, run.perCall.p99Us, run.perCall.maxUs, Fixed(event(&Latency::p50Us), 2).c_str(),
              Fixed(event(&Latency::p99Us), 2).c_str(), Fixed(event(&Latency::maxUs), 2).c_str(),
              Fixed(run.cpuUsPerEvent, 1).c_str(), Fixed(run.peakMiB, 1).c_str(), static_cast<long long>(run.failures));
  std::fflush(stdout);
}

void PrintReferences(const Settings& settings, const References& references) {
  std::printf("reference                                 per_s\n");
  std::printf("%-36s %10.0f\n", "capnp-echo sequential (calls)", references.echoSequential);
  std::printf("%-36s %10.0f\n", "capnp-echo inflight=64 (calls)", references.echoInflight);
  std::printf("%-36s %10.0f\n", "capnp-echo sequential polled (calls)", references.echoSequentialPolled);
  const std::string rsyslog = "rsyslog unix->file, " + std::to_string(settings.clients) + " client(s) (lines)";
  if (references.rsyslog) {
    std::printf("%-36s %10.0f\n", rsyslog.c_str(), *references.rsyslog);
  } else {
    std::printf("%-36s %10s  (%s)\n", rsyslog.c_str(), "skipped", references.rsyslogNote.c_str());
  }
  std::printf("\n");
  std::fflush(stdout);
}

void PrintJson(const Settings& settings, const References& references, const std::vector<RunFigures>& runs) {
  nlohmann::ordered_json out = {{"clients", settings.clients},
                                {"events_per_client", settings.events},
                                {"inflight", settings.inflight},
                                {"batch", settings.batch}};
  nlohmann::ordered_json& refs = out["references"];
  refs["capnp_echo_sequential_calls_per_s"] = JsonNumber(references.echoSequential, 0);
  refs["capnp_echo_inflight64_calls_per_s"] = JsonNumber(references.echoInflight, 0);
  refs["capnp_echo_sequential_polled_calls_per_s"] = JsonNumber(references.echoSequentialPolled, 0);
  refs["rsyslog_lines_per_s"] = JsonNumber(references.rsyslog, 0);
  if (!references.rsyslog) refs["rsyslog_skipped"] = references.rsyslogNote;
  nlohmann::ordered_json& runList = out["runs"] = nlohmann::ordered_json::array();
  for (const RunFigures& run : runs) {
    runList.push_back({{"target", run.target},
                       {"mode", NameOf(run.mode)},
                       {"clients", run.clients},
                       {"events", run.events},
                       {"failures", run.failures},
                       {"stored", run.stored},
                       {"stored_elsewhere", run.storedElsewhere},
                       {"lost", run.lost},
                       {"seconds", JsonNumber(run.seconds, 4)},
                       {"events_per_s", JsonNumber(run.eventsPerS, 0)},
                       {"answered_per_s", JsonNumber(run.answeredPerS, 0)},
                       {"call_latency_us", JsonLatency(run.perCall)},
                       {"event_latency_us", run.perEvent ? JsonLatency(*run.perEvent) : nlohmann::ordered_json()},
                       {"daemon_cpu_us_per_event", JsonNumber(run.cpuUsPerEvent, 2)},
                       {"daemon_peak_mib", JsonNumber(run.peakMiB, 1)}});
  }
  nlohmann::ordered_json& ingestList = out["ingest"] = nlohmann::ordered_json::array();
  for (const IngestLine& line : IngestLines(runs, references)) {
    ingestList.push_back({{"mode", NameOf(line.mode)},
                          {"events_per_s", JsonNumber(line.eventsPerS, 0)},
                          {"raw_per_s", JsonNumber(line.rawPerS, 0)},
                          {"ratio", JsonNumber(line.eventsPerS / line.rawPerS, 2)}});
  }
  // Texts that are not UTF-8 (a note from a failed reference run) get U+FFFD, not a
  // throw at the end of a long run.
  const std::string text = out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  std::fputs(text.c_str(), stdout);
}

void PrintIngestLines(const std::vector<RunFigures>& runs, const References& references) {
  for (const IngestLine& line : IngestLines(runs, references)) {
    std::printf("ingest-%s events_per_s=%.0f raw_per_s=%.0f ratio=%.2f\n", NameOf(line.mode), line.eventsPerS,
                line.rawPerS, line.eventsPerS / line.rawPerS);
  }
  std::fflush(stdout);
}

// Says on standard error what makes a run's figure not what it claims to be.
void WarnAbout(const RunFigures& run) {
  const std::string what = run.target + "/" + NameOf(run.mode);
  if (run.failures > 0) {
    std::fprintf(stderr, "ledgerwick-bench: %s: %lld events failed\n", what.c_str(),
                 static_cast<long long>(run.failures));
  }
  if (run.lost > 0) {
    std::fprintf(stderr, "ledgerwick-bench: %s: %llu accepted events were not stored\n", what.c_str(),
                 static_cast<unsigned long long>(run.lost));
  }
  if (run.storedElsewhere > 0) {
    std::fprintf(stderr, "ledgerwick-bench: %s: %llu records went to another store than the target's\n", what.c_str(),
                 static_cast<unsigned long long>(run.storedElsewhere));
  }
}

std::string DefaultDaemonPath() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? "ledgerwickd" : (self.parent_path() / "ledgerwickd").string();
}

int Main(int argc, char** argv) {
  Settings settings;
  std::vector<std::string> modes{"all"};
  std::vector<std::string> targets{"text", "sqlite"};
  settings.daemonPath = DefaultDaemonPath();

  CLI::App app{"ledgerwick-bench: load on ledgerwickd from client processes, next to the bare cost of a call"};
  app.add_option("--clients", settings.clients, "Client processes, each with its own connection")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--events", settings.events, "Events each client logs")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--mode", modes, "sequential, inflight, batched or all (comma-separated)")
      ->delimiter(',')
      ->check(CLI::IsMember({"sequential", "inflight", "batched", "all"}))
      ->capture_default_str();
  app.add_option("--inflight", settings.inflight, "Calls in flight per client in the inflight mode")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--batch", settings.batch, "Records per call in the batched mode")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  auto* target = app.add_option("--target", targets, "text, sqlite, postgres or all (comma-separated)")
                     ->delimiter(',')
                     ->check(CLI::IsMember({"text", "sqlite", "postgres", "all"}))
                     ->capture_default_str();
  app.add_option("--socket", settings.socket,
                 "Load the daemon running on this socket instead of starting one per measurement")
      ->excludes(target);
  app.add_option("--daemon", settings.daemonPath, "The ledgerwickd to start")->capture_default_str();
  app.add_flag("--json", settings.json, "One JSON object with every figure instead of the table");
  CLI11_PARSE(app, argc, argv);

  auto has = [](const std::vector<std::string>& list, const char* name) {
    return std::find(list.begin(), list.end(), name) != list.end() ||
           std::find(list.begin(), list.end(), "all") != list.end();
  };
  for (Mode mode : {Mode::kSequential, Mode::kInflight, Mode::kBatched}) {
    if (has(modes, NameOf(mode))) settings.modes.push_back(mode);
  }
  if (!settings.socket.empty()) {
    settings.targets = {"daemon"};
  } else {
    for (const char* name : {"text", "sqlite", "postgres"}) {
      if (has(targets, name)) settings.targets.push_back(name);
    }
  }
  // A daemon that went away shows as a failed call, not as the end of this program.
  signal(SIGPIPE, SIG_IGN);

  TempFolder folder;
  References references;
  {
    const std::string socket = SocketIn(folder.path(), "echo.sock");
    const pid_t server = StartEchoServer(socket, false);
    references.echoSequential = EchoCallsPerSecond(socket, kRawSequentialCalls, 1);
    references.echoInflight = EchoCallsPerSecond(socket, kRawInflightCalls, kRawInflight);
    StopChild(server);
  }
  {
    const std::string socket = SocketIn(folder.path(), "echo-polled.sock");
    const pid_t server = StartEchoServer(socket, true);
    references.echoSequentialPolled = EchoCallsPerSecond(socket, kRawSequentialCalls, 1, true);
    StopChild(server);
  }
  if (const std::optional<std::string> rsyslogd = FindProgram("rsyslogd")) {
    references.rsyslog =
        RsyslogLinesPerSecond(*rsyslogd, folder.path(), settings.clients, settings.events, references.rsyslogNote);
  } else {
    references.rsyslogNote = "rsyslogd is not installed";
  }
  if (!settings.json) {
    PrintReferences(settings, references);
    std::fputs(kTableHeader, stdout);
  }

  std::unique_ptr<testing::PgCluster> cluster;
  if (has(settings.targets, "postgres")) cluster = std::make_unique<testing::PgCluster>();
  std::vector<RunFigures> runs;
  for (const std::string& name : settings.targets) {
    for (Mode mode : settings.modes) {
      const std::string runFolder = folder.path() + "/" + name + "-" + NameOf(mode);
      RunFigures figures;
      {
        DaemonUnderLoad daemon(settings, name, runFolder, cluster.get());
        figures = Measure(settings, name, mode, daemon.socket(), runFolder);
      }
      WarnAbout(figures);
      if (!settings.json) PrintRow(figures);
      runs.push_back(figures);
      std::error_code ignored;
      std::filesystem::remove_all(runFolder, ignored);
    }
  }
  if (settings.json) {
    PrintJson(settings, references, runs);
  } else {
    std::printf("\n");
    PrintIngestLines(runs, references);
  }
  bool clean = true;
  for (const RunFigures& run : runs) clean = clean && run.failures == 0 && run.lost == 0;
  return clean ? 0 : 1;
}

}  // namespace
}  // namespace ledgerwick::bench

int main(int argc, char** argv) {
  try {
    return ledgerwick::bench::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ledgerwick-bench: %s\n", e.what());
    return 1;
  }
}
