// Loggit with the journal: an event is journalled before the call answers, a failed
// journal write is answered as an error (and entered in the fault log) instead of
// success, and what a process left queued is queued again, first, by the next one.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "automation/automation_error.h"
#include "server/application.h"
#include "startup/writer_chain.h"
#include "tests/support/error_of.h"
#include "tests/support/failing_journal_files.h"
#include "tests/support/test_process.h"

namespace ledgerwick {
namespace {

using automation::AutomationError;
using automation::Variant;
using journal::SyncMode;
using testing::FailingJournalFiles;
namespace err = automation::err;

class LoggitJournalTest : public ::testing::Test {
 protected:
  // A process over the test's folders whose records are journalled through `files`,
  // as the daemon starts one: the journal read back first, then start-up with the
  // text log as the one target.
  void StartProcess(SyncMode sync = SyncMode::None) {
    app.reset();
    state.reset();
    Environment env = process.Env();
    env.journalFiles = &files;
    env.journalSync = sync;
    state = std::make_unique<ProcessState>(env);
    recovered = state->RecoverJournal();
    state->InitStarted = true;
    state->ReadyFlag = true;
    state->CurrentLogMethod = tofile;
    state->drain.CreateErrorBuffer();
    state->TextLogPath = TextLogPath();
    BuildWriterChain(*state);
    if (state->drain.queued() > 0) state->drain.StartDrainTimer();
    app = std::make_unique<Application>(*state);
  }

  std::string TextLogPath() const { return process.homeDir / kTextLogName; }

  void Loggit(const std::string& appName) {
    app->GetProperties()->Item("AppName")->SetValue(Variant::String(appName));
    Variant empty;
    app->Loggit(empty);
  }

  // The AppName (the first column) of each text log line, in order.
  std::vector<std::string> Written() const {
    std::vector<std::string> names;
    for (const std::string& line : testing::SplitLines(testing::ReadFile(TextLogPath()))) {
      names.push_back(line.substr(0, line.find('\t')));
    }
    return names;
  }

  bool HasFault(const std::string& part) const {
    for (const std::string& fault : process.Faults()) {
      if (fault.find(part) != std::string::npos) return true;
    }
    return false;
  }

  testing::TestProcess process;
  journal::PosixJournalFiles realFiles;
  FailingJournalFiles files{realFiles};
  std::unique_ptr<ProcessState> state;
  std::unique_ptr<Application> app;
  size_t recovered = 0;
};

TEST_F(LoggitJournalTest, EventsQueuedWhenTheProcessDiedAreWrittenFirstByTheNextOne) {
  StartProcess();
  Loggit("alpha");
  Loggit("beta");
  EXPECT_EQ(state->journal->records(), 2u);
  // The process ends before any tick: nothing was written.
  StartProcess();
  EXPECT_EQ(recovered, 2u);
  EXPECT_EQ(state->drain.queued(), 2u);
  Loggit("gamma");
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(Written(), (std::vector<std::string>{"alpha", "beta", "gamma"}));
  EXPECT_EQ(state->journal->records(), 0u);
  // Taken is taken: a further start finds nothing to write.
  StartProcess();
  EXPECT_EQ(recovered, 0u);
  Loggit("delta");
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(Written(), (std::vector<std::string>{"alpha", "beta", "gamma", "delta"}));
}

TEST_F(LoggitJournalTest, AJournalWriteThatFailsIsAnsweredAsAnErrorAndTheEventIsNotQueued) {
  for (int32_t number : {err::kDiskFull, err::kDeviceIOError}) {
    SCOPED_TRACE(number);
    StartProcess();
    files.FailOnce(FailingJournalFiles::kWrite, files.calls(FailingJournalFiles::kWrite) + 1, number);
    const size_t before = state->drain.queued();
    EXPECT_EQ(testing::ErrorOf([&] { Loggit("refused"); }), number);
    EXPECT_EQ(state->drain.queued(), before);
    EXPECT_TRUE(HasFault("An event could not be journalled: " + automation::Status::Error(number).description));
    // The next event goes through.
    EXPECT_NO_THROW(Loggit("alpha"));
  }
  process.RunFor(100 * kj::MILLISECONDS);
  StartProcess();
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(Written(), (std::vector<std::string>{"alpha", "alpha"}));
}

TEST_F(LoggitJournalTest, UnderAlwaysAFailedSyncRefusesTheEvent) {
  StartProcess(SyncMode::Always);
  files.FailOnce(FailingJournalFiles::kSync, files.calls(FailingJournalFiles::kSync) + 1, err::kDeviceIOError);
  EXPECT_EQ(testing::ErrorOf([&] { Loggit("refused"); }), err::kDeviceIOError);
  EXPECT_EQ(state->drain.queued(), 0u);
  Loggit("alpha");
  StartProcess(SyncMode::Always);
  EXPECT_EQ(recovered, 1u);
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(Written(), (std::vector<std::string>{"alpha"}));
}

TEST_F(LoggitJournalTest, UnderBatchOneSyncServesACallAndAFailedOneIsAnswered) {
  StartProcess(SyncMode::Batch);
  const int syncs = files.calls(FailingJournalFiles::kSync);
  // The batch door's halves: three events, one sync.
  for (const char* name : {"alpha", "beta", "gamma"}) {
    app->GetProperties()->Item("AppName")->SetValue(Variant::String(name));
    Variant empty;
    app->QueueEvent(empty);
  }
  EXPECT_TRUE(app->CommitEvents().ok());
  EXPECT_EQ(files.calls(FailingJournalFiles::kSync), syncs + 1);
  // A single Loggit is a call of one event.
  files.FailOnce(FailingJournalFiles::kSync, files.calls(FailingJournalFiles::kSync) + 1, err::kDeviceIOError);
  EXPECT_EQ(testing::ErrorOf([&] { Loggit("delta"); }), err::kDeviceIOError);
  EXPECT_TRUE(HasFault("The journal could not be synced"));
}

// The batch door's halves: the events of one call go to the journal in one write, and
// when that write fails none of them is queued or comes back after a restart.
TEST_F(LoggitJournalTest, ACallsEventsAreJournalledInOneWriteAndFailTogether) {
  StartProcess();
  auto queueAll = [&](std::initializer_list<const char*> names) {
    for (const char* name : names) {
      app->GetProperties()->Item("AppName")->SetValue(Variant::String(name));
      Variant empty;
      app->QueueEvent(empty);
    }
  };
  const int writes = files.calls(FailingJournalFiles::kWrite);
  queueAll({"alpha", "beta", "gamma"});
  EXPECT_EQ(state->drain.queued(), 0u);  // not before the call's end
  ASSERT_TRUE(app->CommitEvents().ok());
  EXPECT_EQ(files.calls(FailingJournalFiles::kWrite), writes + 1);
  EXPECT_EQ(state->drain.queued(), 3u);

  queueAll({"lost", "lost too"});
  files.FailOnce(FailingJournalFiles::kWrite, files.calls(FailingJournalFiles::kWrite) + 1, err::kDiskFull);
  EXPECT_EQ(app->CommitEvents().number, err::kDiskFull);
  EXPECT_EQ(state->drain.queued(), 3u);
  EXPECT_TRUE(HasFault("2 events of one call could not be journalled: Disk full"));
  EXPECT_EQ(state->drain.stats().refusedAtCommit, 2u);

  queueAll({"delta"});
  ASSERT_TRUE(app->CommitEvents().ok());
  StartProcess();  // nothing was written before the process ended
  EXPECT_EQ(recovered, 4u);
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(Written(), (std::vector<std::string>{"alpha", "beta", "gamma", "delta"}));
}

// Calls that can wait are answered once the loop has run every other event of its
// turn: the calls of one turn share one journal write, and share its failure too,
// whichever commit took their events.
TEST_F(LoggitJournalTest, CallsOfOneTurnShareOneJournalWriteAndItsFailure) {
  StartProcess(SyncMode::Batch);
  Application second(*state);
  auto queue = [&](Application& into, const char* name) {
    into.GetProperties()->Item("AppName")->SetValue(Variant::String(name));
    Variant empty;
    into.QueueEvent(empty);
    return into.CommitEventsSoon();
  };
  const int writes = files.calls(FailingJournalFiles::kWrite);
  const int syncs = files.calls(FailingJournalFiles::kSync);
  auto alpha = queue(*app, "alpha");
  auto beta = queue(second, "beta");
  EXPECT_EQ(state->drain.queued(), 0u);
  EXPECT_TRUE(alpha.wait(process.ws).ok());
  EXPECT_TRUE(beta.wait(process.ws).ok());
  EXPECT_EQ(files.calls(FailingJournalFiles::kWrite), writes + 1);
  EXPECT_EQ(files.calls(FailingJournalFiles::kSync), syncs + 1);
  EXPECT_EQ(state->drain.queued(), 2u);

  files.FailOnce(FailingJournalFiles::kWrite, files.calls(FailingJournalFiles::kWrite) + 1, err::kDiskFull);
  auto lost = queue(*app, "lost");
  // A call that answers at once commits what the waiting call staged: it hears the
  // same failure.
  EXPECT_EQ(testing::ErrorOf([&] { Loggit("lost too"); }), err::kDiskFull);
  EXPECT_EQ(lost.wait(process.ws).number, err::kDiskFull);
  EXPECT_EQ(state->drain.queued(), 2u);
  EXPECT_EQ(state->drain.stats().refusedAtCommit, 2u);

  EXPECT_TRUE(queue(second, "gamma").wait(process.ws).ok());
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(Written(), (std::vector<std::string>{"alpha", "beta", "gamma"}));
}

TEST_F(LoggitJournalTest, RecordsNoTargetTookStayJournalledUntilOneDoes) {
  StartProcess();
  process.files.FailFromCall(process.files.calls() + 1);  // the text log cannot be written
  Loggit("alpha");
  Loggit("beta");
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(state->journal->records(), 2u);
  process.files.Heal();
  process.RunFor(200 * kj::MILLISECONDS);  // the next try, after the back-off
  EXPECT_EQ(Written(), (std::vector<std::string>{"alpha", "beta"}));
  EXPECT_EQ(state->journal->records(), 0u);
}

// The text log cannot skip what it holds: when the journal could not note a run as
// taken, that run is written again after a restart. This is the one way a record
// appears twice, and only in the text log.
TEST_F(LoggitJournalTest, ATakenMarkerThatFailsCostsTheLastRunWrittenAgainToTheTextLog) {
  StartProcess();
  Loggit("alpha");
  Loggit("beta");
  files.FailOnce(FailingJournalFiles::kWrite, files.calls(FailingJournalFiles::kWrite) + 1, err::kDeviceIOError);
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(Written(), (std::vector<std::string>{"alpha", "beta"}));
  EXPECT_TRUE(HasFault("The journal could not record what was written"));
  StartProcess();
  EXPECT_EQ(recovered, 2u);
  Loggit("gamma");
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(Written(), (std::vector<std::string>{"alpha", "beta", "alpha", "beta", "gamma"}));
}

TEST_F(LoggitJournalTest, NumbersGoOnAcrossRestartsUnderANewIdentity) {
  StartProcess();
  Loggit("alpha");
  const recordkit::JournalStamp before = state->drain.NextStamp();
  StartProcess();
  const recordkit::JournalStamp after = state->drain.NextStamp();
  EXPECT_EQ(after.sequence, before.sequence);
  EXPECT_NE(after.journal, before.journal);
  EXPECT_NE(after.journal, 0);
}

}  // namespace
}  // namespace ledgerwick
