// ledgerwickd as a process: one daemon per socket, a clean stop that drains the
// queue, objects released with their client, the idle exit, and clients that start
// the daemon on demand and share it.

#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/daemon_fixture.h"

namespace ledgerwick::testing {
namespace {

using automation::Variant;

constexpr int kToFile = 0;
constexpr int kToDatabase = 1;

class DaemonLifecycleTest : public DaemonTest {};

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

TEST_F(DaemonLifecycleTest, SocketIsMadeWithMode0660AndRemovedAtAStop) {
  WriteDefaultSettings(kToDatabase);
  StartDaemon();
  struct stat info {};
  ASSERT_EQ(lstat(Socket().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0660u);
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);
  EXPECT_FALSE(Exists(Socket()));
  EXPECT_EQ(CountLines(daemon->Stderr(), "ledgerwickd: stopped"), 1u);
}

TEST_F(DaemonLifecycleTest, SecondDaemonOnAUsedSocketExitsWithItsMessage) {
  WriteDefaultSettings(kToDatabase);
  StartDaemon();
  CommandResult second = RunCommand(LEDGERWICKD_PATH, DaemonArgs());
  EXPECT_EQ(second.code, 1);
  EXPECT_EQ(second.err, "ledgerwickd: another daemon is listening on " + Socket() + "\n");
  // The first one goes on serving.
  client::Application app(ClientOptions());
  EXPECT_EQ(app.GetName(), "Quorvin's Ledgerwick");
}

TEST_F(DaemonLifecycleTest, StaleSocketFileIsReplaced) {
  // A socket file that nothing listens on, as a killed daemon leaves it.
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, Socket().c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  close(fd);
  ASSERT_TRUE(Exists(Socket()));

  WriteDefaultSettings(kToDatabase);
  StartDaemon();
  client::Application app(ClientOptions());
  EXPECT_EQ(app.GetName(), "Quorvin's Ledgerwick");
}

TEST_F(DaemonLifecycleTest, AFileThatIsNoSocketIsLeftAlone) {
  { std::ofstream(Socket()) << "not a socket"; }
  CommandResult result = RunCommand(LEDGERWICKD_PATH, DaemonArgs());
  EXPECT_EQ(result.code, 1);
  EXPECT_NE(result.err.find("exists and is not a socket"), std::string::npos) << result.err;
  EXPECT_EQ(ReadText(Socket()), "not a socket");
}

// A lock file beside the socket that the daemon did not make is refused by name,
// apart from a lock another daemon holds, and what it points to is left alone.
TEST_F(DaemonLifecycleTest, ALockFileSomeoneElsePlantedIsRefused) {
  WriteDefaultSettings(kToDatabase);
  const std::string lock = Socket() + ".lock";
  const std::string target = dir / "elsewhere";
  struct Case {
    const char* name;
    std::function<void()> plant;
    std::string message;
  } cases[] = {
      {"a link", [&] { ASSERT_EQ(symlink(target.c_str(), lock.c_str()), 0); }, "is a symbolic link"},
      {"a dangling link", [&] { ASSERT_EQ(symlink((dir / "nowhere").c_str(), lock.c_str()), 0); },
       "is a symbolic link"},
      {"a FIFO", [&] { ASSERT_EQ(mkfifo(lock.c_str(), 0600), 0); }, "is not a plain file"},
      {"another user's file",
       [&] {
         { std::ofstream(lock) << ""; }
         ASSERT_EQ(chown(lock.c_str(), 65534, 65534), 0);
       },
       "belongs to another user (uid 65534)"},
  };
  for (const Case& c : cases) {
    { std::ofstream(target) << "keep"; }
    c.plant();
    CommandResult refused = RunCommand(LEDGERWICKD_PATH, DaemonArgs({"--idle-exit", "0"}));
    EXPECT_EQ(refused.code, 1) << c.name;
    EXPECT_EQ(refused.err, "ledgerwickd: the lock file " + lock + " " + c.message +
                               "; remove it if no daemon of this user made it\n")
        << c.name;
    EXPECT_FALSE(Exists(Socket())) << c.name;
    EXPECT_EQ(ReadText(target), "keep") << c.name;
    ASSERT_EQ(unlink(lock.c_str()), 0);
  }
  // With the planted file gone the daemon starts, and makes its own lock file.
  CommandResult started = RunCommand(LEDGERWICKD_PATH, DaemonArgs({"--idle-exit", "0"}));
  EXPECT_EQ(started.code, 0) << started.err;
  struct stat info {};
  ASSERT_EQ(lstat(lock.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_uid, geteuid());
}

// Whoever may rename entries in the socket's folder could put their own socket in
// the daemon's place. --idle-exit 0 ends a daemon that wrongly started at once.
TEST_F(DaemonLifecycleTest, ASocketFolderOthersMayWriteIsRefusedUnlessSticky) {
  WriteDefaultSettings(kToDatabase);
  const std::string folder = dir / "open";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
  const std::vector<std::string> args = {"--config-dir", dir.path(), "--home", dir.path(), "--socket",
                                         folder + "/d.sock", "--idle-exit", "0"};
  CommandResult refused = RunCommand(LEDGERWICKD_PATH, args);
  EXPECT_EQ(refused.code, 1);
  EXPECT_EQ(refused.err, "ledgerwickd: other users may write in the socket's folder " + folder + "\n");
  EXPECT_FALSE(Exists(folder + "/d.sock"));

  ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
  CommandResult sticky = RunCommand(LEDGERWICKD_PATH, args);
  EXPECT_EQ(sticky.code, 0) << sticky.err;
  EXPECT_EQ(CountLines(sticky.err, "ledgerwickd: ready on"), 1u);
}

// Its group may swap the socket in a folder the group may write; whoever may write
// in the folder above may swap the folder itself.
TEST_F(DaemonLifecycleTest, ASocketFolderItsGroupOrTheFolderAboveLetsOthersSwapIsRefused) {
  WriteDefaultSettings(kToDatabase);
  const std::string grouped = dir / "grouped";
  const std::string open = dir / "open";
  const std::string inOpen = open + "/inner";
  ASSERT_EQ(mkdir(grouped.c_str(), 0700), 0);
  ASSERT_EQ(chmod(grouped.c_str(), 0770), 0);
  ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);
  ASSERT_EQ(mkdir(inOpen.c_str(), 0700), 0);
  const struct {
    std::string folder;
    std::string message;
  } cases[] = {
      {grouped, "its group may write in the socket's folder " + grouped},
      {inOpen, "other users may write in " + open + ", the folder that holds the socket's folder " + inOpen},
  };
  for (const auto& c : cases) {
    const std::vector<std::string> args = {"--config-dir", dir.path(), "--home",      dir.path(),
                                           "--socket",     c.folder + "/d.sock", "--idle-exit", "0"};
    CommandResult refused = RunCommand(LEDGERWICKD_PATH, args);
    EXPECT_EQ(refused.code, 1) << c.folder;
    EXPECT_EQ(refused.err, "ledgerwickd: " + c.message + "\n");
    EXPECT_FALSE(Exists(c.folder + "/d.sock"));
  }
  // Sticky, the folder above lets each user rename only their own entries.
  ASSERT_EQ(chmod(open.c_str(), 01777), 0);
  CommandResult sticky = RunCommand(LEDGERWICKD_PATH, {"--config-dir", dir.path(), "--home", dir.path(), "--socket",
                                                       inOpen + "/d.sock", "--idle-exit", "0"});
  EXPECT_EQ(sticky.code, 0) << sticky.err;
}

// A timeout that is no finite number is wrong usage. WaitForLine returns once the
// daemon has closed standard error; SIGTERM ends one that wrongly started.
TEST_F(DaemonLifecycleTest, TimeoutsThatAreNoFiniteNumberAreRefused) {
  WriteDefaultSettings(kToDatabase);
  for (const char* option : {"--drain-timeout", "--idle-exit"}) {
    for (const char* value : {"nan", "-nan", "inf"}) {
      DaemonProcess refused(LEDGERWICKD_PATH, DaemonArgs({option, value}));
      EXPECT_FALSE(refused.WaitForLine("ledgerwickd: ready on")) << option << " " << value;
      EXPECT_EQ(refused.Stop(SIGTERM), 2) << option << " " << value << ": " << refused.Stderr();
      EXPECT_NE(refused.Stderr().find(option), std::string::npos) << refused.Stderr();
      EXPECT_FALSE(Exists(Socket()));
    }
  }
}

// A record queued by a daemon that cannot write its fault log or text log would be
// lost at the stop while its client was told it succeeded: no such daemon starts.
TEST_F(DaemonLifecycleTest, AHomeFolderThatCannotBeWrittenIsRefused) {
  WriteDefaultSettings(kToDatabase);
  const std::string file = dir / "a-file";
  { std::ofstream(file) << "x"; }
  const struct {
    std::string home;
    std::string message;
  } cases[] = {
      {dir / "gone", "ledgerwickd: the home folder " + (dir / "gone") +
                         " does not exist (make it, or name another with --home)\n"},
      {file, "ledgerwickd: the home folder " + file + " is not a folder\n"},
      // Not even root may make a file in /proc.
      {"/proc", "ledgerwickd: cannot write in the home folder /proc: "},
  };
  for (const auto& c : cases) {
    CommandResult result =
        RunCommand(LEDGERWICKD_PATH, {"--config-dir", dir.path(), "--home", c.home, "--socket", Socket()});
    EXPECT_EQ(result.code, 1) << c.home;
    EXPECT_EQ(result.err.substr(0, c.message.size()), c.message) << result.err;
    EXPECT_FALSE(Exists(Socket()));
  }
  EXPECT_FALSE(Exists(dir / "gone"));
}

TEST_F(DaemonLifecycleTest, ServesASocketHandedOverBySystemd) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, Socket().c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(fd, 16), 0);
  WriteDefaultSettings(kToDatabase);
  daemon = std::make_unique<DaemonProcess>(LEDGERWICKD_PATH, DaemonArgs(), EnvChanges{}, fd);
  close(fd);
  ASSERT_TRUE(daemon->WaitForLine("ledgerwickd: ready on")) << daemon->Stderr();
  {
    client::Application app(ClientOptions());
    EXPECT_EQ(app.GetName(), "Quorvin's Ledgerwick");
  }
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);
  EXPECT_TRUE(Exists(Socket()));  // the socket is systemd's to remove
  EXPECT_FALSE(Exists(Socket() + ".lock"));
}

// Records queue while the text log's folder is missing; a clean stop writes them
// all once it is there.
// SIGTERM and SIGINT, and SIGHUP from a closed terminal, all stop the daemon cleanly.
TEST_F(DaemonLifecycleTest, CleanStopWritesEveryQueuedRecord) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    const std::string folder = dir / ("later" + std::to_string(signal));
    WriteSettings(dir.path(), kToFile, folder, "");
    StartDaemon();
    {
      client::Application app(ClientOptions());
      for (int i = 0; i < 5; ++i) {
        app.Properties().Item("AppName").SetValue(Variant::String("queued" + std::to_string(i)));
        app.Loggit();
      }
      EXPECT_EQ(app.connection()->Status().queueLength, 5u);
    }
    std::filesystem::create_directory(folder);
    EXPECT_EQ(daemon->Stop(signal), 0);

    auto lines = Lines(ReadText(TextLog(folder)));
    ASSERT_EQ(lines.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(lines[i].substr(0, lines[i].find('\t')), "queued" + std::to_string(i));
    EXPECT_EQ(CountLines(ReadText(FaultLog()), "could not be written at shutdown"), 0u);
  }
}

TEST_F(DaemonLifecycleTest, StopCountsTheRecordsItCouldNotWrite) {
  WriteSettings(dir.path(), kToFile, dir / "missing", "");
  StartDaemon({"--drain-timeout", "0.3"});
  {
    client::Application app(ClientOptions());
    app.Loggit();
    app.Loggit();
  }
  EXPECT_EQ(daemon->Stop(SIGINT), 0);
  EXPECT_EQ(CountLines(ReadText(FaultLog()), "2 queued records could not be written at shutdown"), 1u);
}

TEST_F(DaemonLifecycleTest, AKilledClientsObjectsAreReleased) {
  WriteDefaultSettings(kToDatabase);
  StartDaemon();
  auto connection = client::Connection::Open(ClientOptions());
  // `log -` holds its Application while it waits for more lines.
  PipedProcess client(LEDGERWICK_CLI_PATH, {"log", "-"}, CommandEnv());
  client.Write("{\"AppName\":\"before the kill\"}\n");
  bool held = false;
  for (int i = 0; i < 100000 && !held; ++i) held = connection->Status().toLocalStore == 1;
  ASSERT_TRUE(held);
  EXPECT_EQ(connection->Status().liveObjects, 1u);

  client.Kill();
  bool released = false;
  client::DaemonStatus status;
  for (int i = 0; i < 100000 && !released; ++i) {
    status = connection->Status();
    released = status.liveObjects == 0 && status.instanceCount == 0;
  }
  EXPECT_TRUE(released) << "live objects " << status.liveObjects << ", instances " << status.instanceCount;
  auto rows = ReadLogRows(Database());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["AppName"], "before the kill");
}

TEST_F(DaemonLifecycleTest, IdleExitStopsTheDaemonOnceNothingIsHeld) {
  WriteDefaultSettings(kToDatabase);
  StartDaemon({"--idle-exit", "3"});  // room for a slow client to connect first
  {
    client::Application app(ClientOptions());
    app.Properties().Item("AppName").SetValue(Variant::String("idle"));
    app.Loggit();
  }
  EXPECT_EQ(daemon->Wait(), 0);  // the idle exit, no signal
  EXPECT_EQ(CountLines(daemon->Stderr(), "ledgerwickd: idle, stopping"), 1u);
  EXPECT_FALSE(Exists(Socket()));
  auto rows = ReadLogRows(Database());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["AppName"], "idle");
}

// Clients that find no daemon start one; everything here runs without a daemon
// started by the test.
class AutostartTest : public DaemonTest {
 protected:
  void SetUp() override {
    WriteDefaultSettings(kToDatabase);
    // The daemon a client starts takes its folders from the environment it inherits.
    setenv("LEDGERWICK_CONFIG_DIR", dir.path().c_str(), 1);
    setenv("LEDGERWICK_HOME", dir.path().c_str(), 1);
  }
  void TearDown() override {
    if (daemonPid > 0) {
      kill(daemonPid, SIGTERM);
      WaitForExit(daemonPid);
    }
    unsetenv("LEDGERWICK_CONFIG_DIR");
    unsetenv("LEDGERWICK_HOME");
  }

  EnvChanges AutostartEnv() const {
    return {{"LEDGERWICK_SOCKET", Socket()}, {"LEDGERWICK_NO_AUTOSTART", ""}, {"LEDGERWICKD", LEDGERWICKD_PATH}};
  }

  pid_t daemonPid = 0;
};

TEST_F(AutostartTest, TwoClientsShareTheDaemonTheFirstOneStarted) {
  client::Options options;
  options.socketPath = Socket();
  options.daemonPath = LEDGERWICKD_PATH;
  client::Application first(options);
  daemonPid = first.connection()->Status().pid;
  first.SetLogMethod(kToFile);

  CommandResult read = RunCommand(LEDGERWICK_CLI_PATH, {"get", "LogMethod"}, AutostartEnv());
  EXPECT_EQ(read.code, 0) << read.err;
  EXPECT_EQ(read.out, "0\n");
  CommandResult status = RunCommand(LEDGERWICK_CLI_PATH, {"status", "--json"}, AutostartEnv());
  EXPECT_NE(status.out.find("\"pid\":" + std::to_string(daemonPid) + ","), std::string::npos) << status.out;

  // Start-up ran once: one attempt at the (missing) network store in the fault log.
  EXPECT_EQ(CountLines(ReadText(FaultLog()), "Create NetDSO"), 1u);
  EXPECT_EQ(CountLines(ReadText(Socket() + ".log"), "ledgerwickd: ready on"), 1u);
}

// A folder where another user could swap the socket (or link the daemon's log file
// to a file of the user's) is no place to start a daemon in.
TEST_F(AutostartTest, NoDaemonIsStartedInAFolderOthersMayWrite) {
  const std::string folder = dir / "open";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
  const std::string socket = folder + "/d.sock";
  CommandResult result = RunCommand(
      LEDGERWICK_CLI_PATH, {"get", "Name"},
      {{"LEDGERWICK_SOCKET", socket}, {"LEDGERWICK_NO_AUTOSTART", ""}, {"LEDGERWICKD", LEDGERWICKD_PATH}});
  EXPECT_EQ(result.code, 3);
  EXPECT_EQ(result.err,
            "ledgerwick: will not start ledgerwickd: other users may write in the socket's folder " + folder + "\n");
  EXPECT_FALSE(Exists(socket + ".log"));
}

// A wrong or stale socket path must not quietly start a second daemon that has no
// settings and logs where nobody looks.
TEST_F(AutostartTest, NoDaemonIsStartedWhereItsSettingsAreUnknown) {
  const std::string empty = dir / "no-settings";
  ASSERT_EQ(mkdir(empty.c_str(), 0700), 0);
  EnvChanges env = AutostartEnv();
  env["LEDGERWICK_CONFIG_DIR"] = empty;
  CommandResult result = RunCommand(LEDGERWICK_CLI_PATH, {"log", "AppName=lost"}, env);
  EXPECT_EQ(result.code, 3);
  EXPECT_EQ(result.err, "ledgerwick: nothing listens on " + Socket() +
                            ", and no daemon was started there: no Ledgwk.ini in " + empty +
                            " (set LEDGERWICK_CONFIG_DIR to the daemon's settings folder, or start ledgerwickd "
                            "yourself)\n");
  EXPECT_FALSE(Exists(Socket()));
  EXPECT_FALSE(Exists(Socket() + ".log"));
}

TEST_F(AutostartTest, ClientsStartingAtOnceStartOneDaemon) {
  std::vector<std::unique_ptr<DaemonProcess>> clients;  // collects each client's stderr
  for (int i = 0; i < 4; ++i) {
    EnvChanges env = AutostartEnv();
    clients.push_back(std::make_unique<DaemonProcess>(
        LEDGERWICK_CLI_PATH, std::vector<std::string>{"log", "AppName=client" + std::to_string(i)}, env));
  }
  for (auto& client : clients) EXPECT_EQ(client->Wait(), 0) << client->Stderr();

  client::Options options = ClientOptions();
  daemonPid = client::Connection::Open(options)->Status().pid;
  kill(daemonPid, SIGTERM);  // a clean stop writes what is still queued
  WaitForExit(daemonPid);
  daemonPid = 0;

  EXPECT_EQ(CountLines(ReadText(Socket() + ".log"), "ledgerwickd: ready on"), 1u);
  EXPECT_EQ(ReadLogRows(Database()).size(), 4u);
}

}  // namespace
}  // namespace ledgerwick::testing
