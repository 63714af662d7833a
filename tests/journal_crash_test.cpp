// A daemon killed (SIGKILL) at chosen moments of a stream of events loses none that
// it acknowledged, and stores none twice: each is journalled before its answer and
// written at the next start if no target took it.

#include <signal.h>

#include <deque>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "automation/automation_error.h"
#include "recordkit/property_set.h"
#include "tests/daemon_fixture.h"

namespace ledgerwick::testing {
namespace {

using automation::Status;
using automation::Variant;

constexpr int kRounds = 20;
constexpr size_t kInFlight = 8;

std::string Name(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "ev-%06d", i);
  return text;
}

// The event numbers named in `texts`, in their order.
std::vector<int> Numbers(const std::vector<std::string>& texts) {
  static const std::regex name("ev-([0-9]{6})");
  std::vector<int> numbers;
  for (const std::string& text : texts) {
    std::smatch match;
    if (std::regex_search(text, match, name)) numbers.push_back(std::stoi(match[1]));
  }
  return numbers;
}

class JournalCrashTest : public DaemonTest {
 protected:
  // One daemon's life: events from `next` on, up to kInFlight answers awaited at
  // once, and a SIGKILL right after the `killAfter`th answer, while later calls are
  // on their way. Acknowledged events go to `acked`; the ones on their way, which
  // may or may not have been taken, to `unanswered`.
  void RunUntilKilled(const std::vector<std::string>& daemonArgs, int killAfter) {
    StartDaemon(daemonArgs);
    if (daemon->Stderr().find("journalled record") != std::string::npos) ++replayingStarts;
    {
      client::Application app(ClientOptions());
      std::deque<std::pair<int, kj::Promise<Status>>> inFlight;
      int answered = 0;
      while (answered < killAfter) {
        while (inFlight.size() < kInFlight) {
          auto fields = recordkit::PropertySet::NewEventSet();
          fields->Item("AppName")->SetValue(Variant::String("crash"));
          fields->Item("Description")->SetValue(Variant::String(Name(next)));
          inFlight.emplace_back(next, app.LoggitAsync(*fields));
          ++next;
        }
        auto [number, answer] = std::move(inFlight.front());
        inFlight.pop_front();
        Status status = app.connection()->Wait(std::move(answer));
        ASSERT_TRUE(status.ok()) << status.number << " " << status.description;
        acked.push_back(number);
        ++answered;
      }
      EXPECT_EQ(daemon->Stop(SIGKILL), 128 + SIGKILL);
      for (auto& [number, answer] : inFlight) {
        try {
          Status status = app.connection()->Wait(std::move(answer));
          // An answer that arrived before the kill counts as acknowledged.
          if (status.ok()) {
            acked.push_back(number);
            continue;
          }
        } catch (...) {
        }
        unanswered.insert(number);
      }
    }
    daemon.reset();
  }

  // Every acknowledged event exactly once, in order; nothing that was never sent.
  void ExpectEachAcknowledgedOnceInOrder(const std::vector<int>& stored) {
    for (size_t i = 1; i < stored.size(); ++i) {
      ASSERT_LT(stored[i - 1], stored[i]) << "out of order or twice at " << i;
    }
    const std::set<int> present(stored.begin(), stored.end());
    for (int number : acked) EXPECT_EQ(present.count(number), 1u) << Name(number) << " was acknowledged";
    const std::set<int> ackedSet(acked.begin(), acked.end());
    for (int number : stored) {
      EXPECT_TRUE(ackedSet.count(number) == 1 || unanswered.count(number) == 1) << Name(number);
    }
  }

  // Starts the daemon once more and lets it write what the journal kept.
  client::DaemonStatus DrainAfterRestart() {
    StartDaemon();
    client::Application app(ClientOptions());
    EXPECT_TRUE(WaitUntilWritten(app, 0));
    return app.connection()->Status();
  }

  std::mt19937 rng{20261211};
  int next = 0;
  std::vector<int> acked;
  std::set<int> unanswered;
  int replayingStarts = 0;  // starts that found records no target took
};

TEST_F(JournalCrashTest, KilledWhileTheLocalStoreTakesRecordsLosesNoAcknowledgedEventAndStoresNoneTwice) {
  WriteDefaultSettings(1);
  std::uniform_int_distribution<int> killAfter(1, 150);
  const char* syncs[] = {"none", "batch", "always"};
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    RunUntilKilled({"--journal-sync", syncs[round % 3]}, killAfter(rng));
    if (HasFatalFailure()) return;
  }
  const client::DaemonStatus status = DrainAfterRestart();
  EXPECT_EQ(status.journalRecords, 0u);
  EXPECT_LT(status.journalBytes, uint64_t{1} << 20);

  std::vector<std::string> descriptions;
  for (auto& row : ReadLogRows(Database())) {
    descriptions.push_back(row["Description"]);
    EXPECT_NE(row["JournalSeq"], "") << row["Description"];
  }
  ExpectEachAcknowledgedOnceInOrder(Numbers(descriptions));
  EXPECT_GE(acked.size(), static_cast<size_t>(kRounds));
  EXPECT_GT(replayingStarts, 0);  // the kills did land before records were written
}

TEST_F(JournalCrashTest, KilledWhileNoTargetCanTakeARecordLosesNoAcknowledgedEvent) {
  // No store, and the text log's folder is a file: every record stays queued.
  WriteSettings(dir.path(), 0, dir / "Ledgwk.ini", "");
  std::uniform_int_distribution<int> killAfter(1, 100);
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    RunUntilKilled({}, killAfter(rng));
    if (HasFatalFailure()) return;
  }
  // The text log can be written again.
  const std::string textFolder = dir / "text";
  ASSERT_EQ(RunCommand("/bin/mkdir", {textFolder}).code, 0);
  WriteSettings(dir.path(), 0, textFolder, "");
  const client::DaemonStatus status = DrainAfterRestart();
  EXPECT_EQ(status.journalRecords, 0u);
  EXPECT_EQ(status.queueLength, 0u);
  ExpectEachAcknowledgedOnceInOrder(Numbers(Lines(ReadText(TextLog(textFolder)))));
  EXPECT_EQ(replayingStarts, kRounds - 1);
}

}  // namespace
}  // namespace ledgerwick::testing
