// A target that goes away while events flow and comes back: nothing is lost, the
// order holds, and the outage is entered once.

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "recordkit/property_set.h"
#include "tests/daemon_fixture.h"

namespace ledgerwick::testing {
namespace {

constexpr int kToFile = 0;
constexpr int kToDatabase = 1;

// Sets or clears a file's immutable attribute; answers 0 or the errno. While it is
// set nobody may write the file, root included, not even through a descriptor opened
// before: the daemon's open SQLite connection meets it at its next write.
int SetImmutable(const std::string& path, bool immutable) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  int flags = 0;
  int failed = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 ? 0 : errno;
  if (failed == 0) {
    flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    if (ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) failed = errno;
  }
  close(fd);
  return failed;
}

// Files made immutable for a while; writable again at the latest when the test ends,
// so that its folder can be removed.
class ImmutableFiles {
 public:
  ~ImmutableFiles() { Release(); }
  int Add(const std::string& path) {
    const int failed = SetImmutable(path, true);
    if (failed == 0) paths_.push_back(path);
    return failed;
  }
  void Release() {
    for (const std::string& path : paths_) EXPECT_EQ(SetImmutable(path, false), 0) << path;
    paths_.clear();
  }

 private:
  std::vector<std::string> paths_;
};

class TargetOutageTest : public DaemonTest {
 protected:
  void Log(client::Application& app, int number, const std::string& padding = "") {
    auto fields = recordkit::PropertySet::NewEventSet();
    fields->Item("Description")->SetValue(automation::Variant::String("event " + std::to_string(number) + padding));
    app.Loggit(*fields);
  }

  // Lets the daemon's loop run until the queue is empty or the drain backs off from
  // a failed try, within a bounded number of calls.
  static client::DaemonStatus UntilDrainedOrBackingOff(client::Application& app) {
    client::DaemonStatus status;
    for (int i = 0; i < 200000; ++i) {
      EXPECT_EQ(app.Destroy(), 0);
      status = app.connection()->Status();
      if (status.queueLength == 0 || status.drainIntervalMs > 100) break;
    }
    return status;
  }

  // The events of `lines` (the text log's lines, or the store's descriptions), each
  // as its number; -1 for a line that is no event's.
  static std::vector<int> EventNumbers(const std::vector<std::string>& texts) {
    std::vector<int> numbers;
    for (const std::string& text : texts) {
      const size_t at = text.find("event ");
      numbers.push_back(at == std::string::npos ? -1 : std::stoi(text.substr(at + 6)));
    }
    return numbers;
  }

  static std::vector<int> Range(int from, int to) {
    std::vector<int> numbers;
    for (int i = from; i < to; ++i) numbers.push_back(i);
    return numbers;
  }
};

TEST_F(TargetOutageTest, TheTextLogFolderRemovedAndRestoredWhileEventsFlow) {
  const std::string folder = dir / "logs";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  WriteSettings(dir.path(), kToFile, folder, "");
  StartDaemon();
  client::Application app(ClientOptions());
  for (int i = 0; i < 50; ++i) Log(app, i);
  ASSERT_TRUE(WaitUntilWritten(app, 50));

  std::filesystem::remove_all(folder);
  for (int i = 50; i < 100; ++i) Log(app, i);
  // The drain meets the missing folder and backs off; nothing leaves the queue.
  client::DaemonStatus status;
  for (int i = 0; i < 200000; ++i) {
    EXPECT_EQ(app.Destroy(), 0);
    status = app.connection()->Status();
    if (status.drainIntervalMs > 100) break;
  }
  ASSERT_GT(status.drainIntervalMs, 100);
  EXPECT_EQ(status.queueLength, 50u);
  EXPECT_EQ(status.toTextLog, 50u);

  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  for (int i = 100; i < 110; ++i) Log(app, i);
  ASSERT_TRUE(WaitUntilWritten(app, 110));
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);

  // The new file holds what was queued during the outage, then the rest, in order.
  const std::vector<std::string> lines = Lines(ReadText(TextLog(folder)));
  ASSERT_EQ(lines.size(), 60u);
  for (int i = 0; i < 60; ++i) {
    EXPECT_EQ(lines[static_cast<size_t>(i)].substr(0, lines[static_cast<size_t>(i)].find('\t', 2)),
              "\t\tevent " + std::to_string(50 + i));
  }
  const std::string faults = ReadText(FaultLog());
  // Entered once for the outage, and once more with its count if it was met again.
  const size_t entries = CountLines(faults, "Path not found (" + TextLog(folder) + ")");
  EXPECT_GE(entries, 1u) << faults;
  EXPECT_LE(entries, 2u) << faults;
  EXPECT_EQ(CountLines(faults, "(repeated "), entries - 1) << faults;
}

// The local store's file cannot be written while events flow, then can again. The
// store refuses each run (a write error, not a raised one), so the record writer
// goes on to the text log, which takes them: nothing waits in the queue, nothing is
// lost, and a refusing store is passed over without a fault entry; the status shows
// it down meanwhile. Once the file is writable the store takes the new events again.
TEST_F(TargetOutageTest, TheStoreFileUnwritableAndWritableAgainWhileEventsFlow) {
  WriteSettings(dir.path(), kToDatabase, dir.path(), Database());
  StartDaemon();
  client::Application app(ClientOptions());
  for (int i = 0; i < 50; ++i) Log(app, i);
  ASSERT_TRUE(WaitUntilWritten(app, 50));
  ASSERT_EQ(app.connection()->Status().toLocalStore, 50u);

  // The database and its write-ahead log, where the store's commits go.
  ImmutableFiles locked;
  const int failed = locked.Add(Database());
  if (failed == EPERM && geteuid() != 0) {
    GTEST_SKIP() << "making a file immutable needs root (CAP_LINUX_IMMUTABLE); the CI runs this test as root";
  }
  ASSERT_EQ(failed, 0) << std::strerror(failed);
  ASSERT_EQ(locked.Add(Database() + "-wal"), 0);
  const uint64_t faultsBefore = app.connection()->Status().faults;
  const std::string faultsAtStart = ReadText(FaultLog());

  for (int i = 50; i < 100; ++i) Log(app, i);
  ASSERT_TRUE(WaitUntilWritten(app, 100));
  client::DaemonStatus status = app.connection()->Status();
  EXPECT_EQ(status.toLocalStore, 50u);
  EXPECT_EQ(status.toTextLog, 50u);
  EXPECT_EQ(status.drainIntervalMs, 100);
  EXPECT_EQ(status.faults, faultsBefore);
  // The status says the store is down, and why.
  EXPECT_TRUE(status.localStore.opened);
  EXPECT_FALSE(status.localStore.open);
  EXPECT_NE(status.localStore.lastError, "");

  locked.Release();
  for (int i = 100; i < 120; ++i) Log(app, i);
  ASSERT_TRUE(WaitUntilWritten(app, 120));
  status = app.connection()->Status();
  EXPECT_EQ(status.toLocalStore, 70u);
  EXPECT_EQ(status.toTextLog, 50u);
  EXPECT_TRUE(status.localStore.open);
  EXPECT_EQ(status.localStore.lastError, "");
  EXPECT_EQ(daemon->Stop(SIGTERM), 0) << daemon->Stderr();

  // The store holds what came before and after, each once, in order; the text log
  // what came between.
  std::vector<std::string> descriptions;
  for (auto& row : ReadLogRows(Database())) descriptions.push_back(row["Description"]);
  std::vector<int> stored = Range(0, 50);
  for (int i : Range(100, 120)) stored.push_back(i);
  EXPECT_EQ(EventNumbers(descriptions), stored);
  EXPECT_EQ(EventNumbers(Lines(ReadText(TextLog(dir.path())))), Range(50, 100));
  EXPECT_EQ(ReadText(FaultLog()), faultsAtStart);
}

// The disk fills up under the text log while events flow, and is freed by moving the
// full file away, as log rotation does. The write that does not fit fails as on a full
// disk (the file-size limit stands for the disk: the text log's file is nearly at it
// from the start, the other files far below). The records wait in the queue, in order,
// while the drain backs off; the outage is entered once; and once the file is moved
// away a new one takes them. Every event is in one of the two files, once, in order,
// and the full file holds whole lines only.
TEST_F(TargetOutageTest, TheDiskFullUnderTheTextLogAndFreedByRotation) {
  constexpr rlim_t kLimit = 256 * 1024;
  const std::string text = TextLog(dir.path());
  const std::string rotated = text + ".1";
  const std::string filler = "older lines\r\n";
  {
    std::ofstream out(text, std::ios::binary);
    for (size_t size = 0; size + filler.size() <= kLimit - 2048; size += filler.size()) out << filler;
  }
  const size_t fillerLines = Lines(ReadText(text)).size();
  WriteSettings(dir.path(), kToFile, dir.path(), "");
  daemon = std::make_unique<DaemonProcess>(LEDGERWICKD_PATH, DaemonArgs(), EnvChanges{}, -1,
                                           ResourceLimits{{RLIMIT_FSIZE, kLimit}});
  ASSERT_TRUE(daemon->WaitForLine("ledgerwickd: ready on")) << daemon->Stderr();
  client::Application app(ClientOptions());
  const std::string padding(100, '.');
  // What start-up entered (no network store, no local store), to be followed only by the outage.
  EXPECT_EQ(app.GetName(), "Quorvin's Ledgerwick");
  const std::string faultsAtStart = ReadText(FaultLog());

  // One event at a time until the text log's write fails.
  int logged = 0;
  client::DaemonStatus status;
  while (logged < 100) {
    Log(app, logged++, padding);
    status = UntilDrainedOrBackingOff(app);
    if (status.queueLength != 0) break;
  }
  ASSERT_EQ(status.queueLength, 1u) << "the text log never met the limit";
  ASSERT_GT(status.drainIntervalMs, 100);
  const int beforeFull = logged - 1;
  EXPECT_EQ(status.toTextLog, static_cast<uint64_t>(beforeFull));
  EXPECT_GT(beforeFull, 0);

  // Accepted all the same, and kept.
  for (int i = 0; i < 20; ++i) Log(app, logged++, padding);
  status = UntilDrainedOrBackingOff(app);
  EXPECT_EQ(status.queueLength, 21u);
  EXPECT_EQ(status.toTextLog, static_cast<uint64_t>(beforeFull));

  std::filesystem::rename(text, rotated);
  for (int i = 0; i < 10; ++i) Log(app, logged++, padding);
  ASSERT_TRUE(WaitUntilWritten(app, static_cast<uint64_t>(logged)));
  EXPECT_EQ(daemon->Stop(SIGTERM), 0) << daemon->Stderr();

  const std::string full = ReadText(rotated);
  EXPECT_LE(full.size(), kLimit);
  ASSERT_FALSE(full.empty());
  EXPECT_EQ(full.substr(full.size() - 2), "\r\n");
  std::vector<std::string> fullLines = Lines(full);
  ASSERT_GE(fullLines.size(), fillerLines);
  fullLines.erase(fullLines.begin(), fullLines.begin() + static_cast<std::ptrdiff_t>(fillerLines));
  EXPECT_EQ(EventNumbers(fullLines), Range(0, beforeFull));
  EXPECT_EQ(EventNumbers(Lines(ReadText(text))), Range(beforeFull, logged));

  std::string faults = ReadText(FaultLog());
  ASSERT_EQ(faults.substr(0, faultsAtStart.size()), faultsAtStart);
  faults.erase(0, faultsAtStart.size());
  const size_t entries = CountLines(faults, "Disk full (" + text + ")");
  EXPECT_GE(entries, 1u) << faults;
  EXPECT_LE(entries, 2u) << faults;
  EXPECT_EQ(CountLines(faults, "(repeated "), entries - 1) << faults;
  EXPECT_EQ(Lines(faults).size(), entries) << faults;
}

}  // namespace
}  // namespace ledgerwick::testing
