// A target that goes away while events flow and comes back: nothing is lost, the
// order holds, and the outage is entered once.

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "recordkit/property_set.h"
#include "tests/daemon_fixture.h"

namespace ledgerwick::testing {
namespace {

constexpr int kToFile = 0;

class TargetOutageTest : public DaemonTest {
 protected:
  void Log(client::Application& app, int number) {
    auto fields = recordkit::PropertySet::NewEventSet();
    fields->Item("Description")->SetValue(automation::Variant::String("event " + std::to_string(number)));
    app.Loggit(*fields);
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

}  // namespace
}  // namespace ledgerwick::testing
