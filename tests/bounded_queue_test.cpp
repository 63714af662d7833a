// The queue's bound and the largest event: past the bound Loggit answers 7 and the
// daemon's memory stays near the bound; an event too large is refused with a clear
// error, and the connection goes on serving.

#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "automation/automation_error.h"
#include "recordkit/property_set.h"
#include "tests/daemon_fixture.h"

namespace ledgerwick::testing {
namespace {

using automation::AutomationError;
using automation::Variant;

// The daemon's resident memory, in KiB, from /proc.
long ResidentKiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// What the daemon's resident memory may grow by while its queue fills to 4 MiB and
// refusals follow: the queue itself, the messages in flight, the allocator's slack
// (about 9 MiB in all here; about 12 MiB under AddressSanitizer's allocator).
constexpr long kGrowthKiB = 24 * 1024;

class BoundedQueueTest : public DaemonTest {
 protected:
  // Under AddressSanitizer every freed block waits in a quarantine of up to 256 MiB
  // before it is reused, which would count as the daemon's growth: that daemon runs
  // without one, so that what stays resident is what the daemon holds.
  void StartMeasuredDaemon(std::vector<std::string> extra) {
    EnvChanges env;
    if (kAddressSanitizer) {
      const char* options = std::getenv("ASAN_OPTIONS");
      env["ASAN_OPTIONS"] = std::string(options != nullptr ? options : "") +
                            ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
    }
    daemon = std::make_unique<DaemonProcess>(LEDGERWICKD_PATH, DaemonArgs(std::move(extra)), env);
    ASSERT_TRUE(daemon->WaitForLine("ledgerwickd: ready on")) << daemon->Stderr();
  }
};

TEST_F(BoundedQueueTest, AFullQueueAnswers7AndTheDaemonStaysNearItsBound) {
  // The text log cannot be written (its folder is a file), so nothing leaves the queue.
  WriteSettings(dir.path(), 0, dir / "Ledgwk.ini", "");
  StartMeasuredDaemon({"--max-queue-mb", "4"});
  client::Application app(ClientOptions());
  EXPECT_EQ(app.GetName(), "Quorvin's Ledgerwick");
  const long before = ResidentKiB(daemon->pid());
  ASSERT_GT(before, 0);
  auto fields = recordkit::PropertySet::NewEventSet();
  fields->Item("Description")->SetValue(Variant::String(std::string(4000, 'q')));

  int accepted = 0;
  int32_t refusal = 0;
  for (int i = 0; i < 10000 && refusal == 0; ++i) {
    try {
      app.Loggit(*fields);
      ++accepted;
    } catch (const AutomationError& e) {
      refusal = e.number();
      EXPECT_EQ(e.description(), "Out of memory");
    }
  }
  EXPECT_EQ(refusal, 7);
  // About 4 MiB of 5 KB records, and not one more.
  ASSERT_GT(accepted, 700);
  EXPECT_LT(accepted, 1000);
  client::DaemonStatus status = app.connection()->Status();
  EXPECT_EQ(status.queueLength, static_cast<uint64_t>(accepted));
  EXPECT_LE(status.queueBytes, status.queueLimitBytes);
  EXPECT_GT(status.queueBytes + status.queueBytes / accepted, status.queueLimitBytes);
  EXPECT_EQ(status.queueLimitBytes, 4u << 20);
  // Refusals cost nothing: the daemon keeps answering and stays small.
  for (int i = 0; i < 200; ++i) EXPECT_THROW(app.Loggit(*fields), AutomationError);
  const long after = ResidentKiB(status.pid);
  EXPECT_LT(after - before, kGrowthKiB) << "KiB, from " << before << " KiB";
  // AddressSanitizer's shadow memory and allocator make the whole daemon larger than
  // an ordinary build's; its growth is what is measured there.
  if (!kAddressSanitizer) {
    EXPECT_LT(after, 64 * 1024) << "KiB";
  }
  EXPECT_EQ(app.GetName(), "Quorvin's Ledgerwick");
}

TEST_F(BoundedQueueTest, AHundredMegabyteFieldGetsAClearErrorAndTheConnectionStays) {
  WriteDefaultSettings(1);
  StartDaemon();
  client::Application app(ClientOptions());
  auto fields = recordkit::PropertySet::NewEventSet();
  fields->Item("Description")->SetValue(Variant::String(std::string(100 << 20, 'x')));
  try {
    app.Loggit(*fields);
    ADD_FAILURE() << "a 100 MB event was taken";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 7);
    EXPECT_NE(e.description().find("an event may take at most 16 MiB"), std::string::npos) << e.description();
  }
  // The same through the batch door: that record alone is refused.
  std::vector<Variant> batch;
  auto small = recordkit::PropertySet::NewEventSet();
  small->Item("Description")->SetValue(Variant::String("small"));
  batch.push_back(app.Pack(*small));
  recordkit::PropertyPacker packer;
  Variant large;
  ASSERT_EQ(packer.PackProperties(large, *fields), 0);
  batch.push_back(large);
  auto statuses = app.LoggitBatch(batch);
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[0].number, 0);
  EXPECT_EQ(statuses[1].number, 7);
  EXPECT_EQ(app.GetName(), "Quorvin's Ledgerwick");
  ASSERT_TRUE(WaitUntilWritten(app, 1));
  EXPECT_EQ(ReadLogRows(Database()).size(), 1u);
}

// `log -` hands over every line it can, then names the one the daemon refused.
TEST_F(BoundedQueueTest, LogDashNamesTheRefusedLineAfterHandingOverTheRest) {
  WriteDefaultSettings(1);
  StartDaemon();
  const std::string input = "{\"AppName\":\"one\"}\n{\"Description\":\"" + std::string(17 << 20, 'x') +
                            "\"}\n{\"AppName\":\"three\"}\n";
  CommandResult result = RunCommand(LEDGERWICK_CLI_PATH, {"log", "-"}, CommandEnv(), input);
  EXPECT_EQ(result.code, 1);
  EXPECT_EQ(result.err.substr(0, result.err.find('\n') + 1), "log -: 2 events handed over, 1 line refused\n");
  EXPECT_NE(result.err.find("line 2: "), std::string::npos) << result.err.substr(0, 500);
  EXPECT_NE(result.err.find("16 MiB"), std::string::npos) << result.err.substr(0, 500);
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);
  auto rows = ReadLogRows(Database());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["AppName"], "one");
  EXPECT_EQ(rows[1]["AppName"], "three");
}

}  // namespace
}  // namespace ledgerwick::testing
