// ledgerwickd under exhausted resources: a file-size limit that the text log runs
// into, and a descriptor table that clients fill. The daemon lives on, keeps what it
// could not write, and serves again once the resource is back.

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "automation/automation_error.h"
#include "recordkit/property_set.h"
#include "tests/daemon_fixture.h"

namespace ledgerwick::testing {
namespace {

using automation::Variant;

constexpr int kToFile = 0;

class ResourceLimitsTest : public DaemonTest {
 protected:
  void StartLimitedDaemon(const ResourceLimits& limits, std::vector<std::string> extra = {}) {
    daemon = std::make_unique<DaemonProcess>(LEDGERWICKD_PATH, DaemonArgs(std::move(extra)), EnvChanges{}, -1, limits);
    ASSERT_TRUE(daemon->WaitForLine("ledgerwickd: ready on")) << daemon->Stderr();
  }

  // A bare connection to the daemon's socket that says nothing; -1 when refused.
  int RawConnection() const {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, Socket().c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
};

off_t SizeOf(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

// The text log meets the file-size limit: the write fails as on a full disk instead
// of the signal ending the daemon, and what did not fit stays queued.
TEST_F(ResourceLimitsTest, AWritePastTheFileSizeLimitKeepsTheRecordQueued) {
  constexpr rlim_t kLimit = 8192;
  WriteSettings(dir.path(), kToFile, dir.path(), "");
  StartLimitedDaemon({{RLIMIT_FSIZE, kLimit}}, {"--drain-timeout", "0"});
  client::Application app(ClientOptions());
  auto fields = recordkit::PropertySet::NewEventSet();
  fields->Item("Description")->SetValue(Variant::String(std::string(500, 'f')));
  // Five records fit; forty more do not.
  constexpr int kWritten = 5;
  constexpr int kRefused = 40;
  for (int i = 0; i < kWritten; ++i) app.Loggit(*fields);
  ASSERT_TRUE(WaitUntilWritten(app, kWritten));
  for (int i = 0; i < kRefused; ++i) app.Loggit(*fields);

  // The drain backs off once the text log refuses.
  client::DaemonStatus status;
  for (int i = 0; i < 200000; ++i) {
    EXPECT_EQ(app.Destroy(), 0);
    status = app.connection()->Status();
    if (status.drainIntervalMs > 100) break;
  }
  EXPECT_GT(status.drainIntervalMs, 100);
  EXPECT_EQ(status.toTextLog, static_cast<uint64_t>(kWritten));
  EXPECT_EQ(status.queueLength, static_cast<uint64_t>(kRefused));
  // Only whole lines are in the file, within the limit.
  const std::string text = ReadText(TextLog(dir.path()));
  EXPECT_LE(SizeOf(TextLog(dir.path())), static_cast<off_t>(kLimit));
  EXPECT_EQ(Lines(text).size(), static_cast<size_t>(kWritten));
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');

  EXPECT_EQ(app.GetName(), "Quorvin's Ledgerwick");
  EXPECT_EQ(daemon->Stop(SIGTERM), 0) << daemon->Stderr();
  EXPECT_EQ(CountLines(daemon->Stderr(), "queued records could not be written"), 1u) << daemon->Stderr();
}

// Clients fill the daemon's descriptor table: the accept that fails is entered (on
// standard error, as the fault log cannot be opened either), the waiting clients
// stay in the backlog, and once the connections close a new client is served.
TEST_F(ResourceLimitsTest, AcceptingGoesOnOnceDescriptorsComeFree) {
  constexpr rlim_t kDescriptors = 64;
  WriteSettings(dir.path(), kToFile, dir.path(), "");
  StartLimitedDaemon({{RLIMIT_NOFILE, kDescriptors}});
  std::vector<int> held;
  for (rlim_t i = 0; i < kDescriptors + 8; ++i) {
    int fd = RawConnection();
    ASSERT_GE(fd, 0);
    held.push_back(fd);
  }
  ASSERT_TRUE(daemon->WaitForLine("Too many open files")) << daemon->Stderr();
  EXPECT_EQ(CountLines(daemon->Stderr(), "cannot accept a connection"), 1u) << daemon->Stderr();
  for (int fd : held) close(fd);

  for (int i = 0; i < 3; ++i) {
    client::Application app(ClientOptions());
    EXPECT_EQ(app.GetName(), "Quorvin's Ledgerwick");
  }
  EXPECT_EQ(daemon->Stop(SIGTERM), 0) << daemon->Stderr();
}

}  // namespace
}  // namespace ledgerwick::testing
