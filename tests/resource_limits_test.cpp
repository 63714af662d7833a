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

// The daemon's files meet the file-size limit: a write past it fails as on a full
// disk instead of the signal ending the daemon. The journal, which holds every
// accepted record until a target took it, is the first to meet it: Loggit then
// answers 61 and the client keeps that record; what was accepted is written.
TEST_F(ResourceLimitsTest, AWritePastTheFileSizeLimitFailsAsOnAFullDisk) {
  constexpr rlim_t kLimit = 8192;
  WriteSettings(dir.path(), kToFile, dir.path(), "");
  StartLimitedDaemon({{RLIMIT_FSIZE, kLimit}});
  client::Application app(ClientOptions());
  auto fields = recordkit::PropertySet::NewEventSet();
  fields->Item("Description")->SetValue(Variant::String(std::string(500, 'f')));
  int accepted = 0;
  int32_t refusal = 0;
  for (int i = 0; i < 100 && refusal == 0; ++i) {
    try {
      app.Loggit(*fields);
      ++accepted;
    } catch (const automation::AutomationError& e) {
      refusal = e.number();
      EXPECT_NE(e.description().find("Disk full"), std::string::npos) << e.description();
    }
  }
  EXPECT_EQ(refusal, 61);
  EXPECT_GT(accepted, 0);
  // The daemon lives on and still serves.
  EXPECT_EQ(app.GetName(), "Quorvin's Ledgerwick");
  EXPECT_EQ(daemon->Stop(SIGTERM), 0) << daemon->Stderr();
  // Only whole lines are in the text log, one for each accepted record.
  const std::string text = ReadText(TextLog(dir.path()));
  EXPECT_LE(SizeOf(TextLog(dir.path())), static_cast<off_t>(kLimit));
  EXPECT_EQ(Lines(text).size(), static_cast<size_t>(accepted));
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
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
