// Many events on one connection: calls in flight and batches keep their order, each
// failed record gets its own error, and a client killed part-way loses nothing the
// daemon answered.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "automation/variant.h"
#include "recordkit/property_set.h"
#include "tests/daemon_fixture.h"

namespace ledgerwick::testing {
namespace {

using automation::Status;
using automation::Variant;

constexpr int kToDatabase = 1;

class BatchIngestTest : public DaemonTest {
 protected:
  void SetUp() override {
    WriteDefaultSettings(kToDatabase);
    StartDaemon();
  }

  static std::shared_ptr<recordkit::PropertySet> Event(const std::string& description) {
    auto fields = recordkit::PropertySet::NewEventSet();
    fields->Item("AppName")->SetValue(Variant::String("batch"));
    fields->Item("Description")->SetValue(Variant::String(description));
    return fields;
  }

  // An event Loggit refuses (13): an event date that has no text form.
  static std::shared_ptr<recordkit::PropertySet> RefusedEvent() {
    auto fields = Event("refused");
    fields->Item("EventDate")->SetValue(Variant::Array(automation::SafeArray(automation::VarType::Long, {{0, 2}})));
    return fields;
  }

  std::vector<std::string> StoredDescriptions() {
    std::vector<std::string> descriptions;
    for (auto& row : ReadLogRows(Database())) descriptions.push_back(row["Description"]);
    return descriptions;
  }
};

TEST_F(BatchIngestTest, ABatchAnswersEachRecordAndQueuesTheOthersInOrder) {
  client::Application app(ClientOptions());
  std::vector<Variant> records = {
      app.Pack(*Event("one")),
      Variant::Array(automation::SafeArray::FromBytes({1, 2, 3, 4, 5, 6, 7, 8})),  // not a packed record
      app.Pack(*Event("two")),
      app.Pack(*RefusedEvent()),
      Variant::String("no record at all"),
      app.Pack(*Event("three")),
  };
  const std::vector<Status> statuses = app.LoggitBatch(records);
  ASSERT_EQ(statuses.size(), records.size());
  const int32_t expected[] = {0, 13, 0, 13, 13, 0};
  for (size_t i = 0; i < statuses.size(); ++i) {
    EXPECT_EQ(statuses[i].number, expected[i]) << i << ": " << statuses[i].description;
    if (expected[i] != 0) {
      EXPECT_FALSE(statuses[i].description.empty()) << i;
    }
  }
  ASSERT_TRUE(WaitUntilWritten(app, 3));
  EXPECT_EQ(StoredDescriptions(), (std::vector<std::string>{"one", "two", "three"}));
}

TEST_F(BatchIngestTest, BatchesAndCallsInFlightInterleaveInCallOrder) {
  client::Application app(ClientOptions());
  std::vector<kj::Promise<Status>> single;
  std::vector<kj::Promise<std::vector<Status>>> batches;
  std::vector<std::string> expected;
  // 20 rounds of: one call, a batch of 50 (one refused in it), another call refused.
  for (int round = 0; round < 20; ++round) {
    const std::string prefix = std::to_string(round) + ".";
    single.push_back(app.LoggitAsync(*Event(prefix + "call")));
    expected.push_back(prefix + "call");
    std::vector<Variant> batch;
    for (int i = 0; i < 50; ++i) {
      batch.push_back(app.Pack(i == 25 ? *RefusedEvent() : *Event(prefix + std::to_string(i))));
      if (i != 25) expected.push_back(prefix + std::to_string(i));
    }
    batches.push_back(app.LoggitBatchAsync(batch));
    single.push_back(app.LoggitAsync(*RefusedEvent()));
  }
  for (size_t i = 0; i < single.size(); ++i) {
    const Status status = app.connection()->Wait(std::move(single[i]));
    EXPECT_EQ(status.number, i % 2 == 0 ? 0 : 13) << i;
  }
  for (auto& batch : batches) {
    const std::vector<Status> statuses = app.connection()->Wait(std::move(batch));
    ASSERT_EQ(statuses.size(), 50u);
    for (size_t i = 0; i < statuses.size(); ++i) EXPECT_EQ(statuses[i].number, i == 25 ? 13 : 0) << i;
  }
  ASSERT_TRUE(WaitUntilWritten(app, expected.size()));
  EXPECT_EQ(StoredDescriptions(), expected);
}

TEST_F(BatchIngestTest, AClientKilledPartWayLosesNothingThatWasAnswered) {
  // The client, in a process of its own: batches of 20, and after each answer the
  // number of events answered so far, on a pipe.
  int answers[2];
  ASSERT_EQ(pipe(answers), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(answers[0]);
    client::Application app(ClientOptions());
    for (int next = 0;; next += 20) {
      std::vector<Variant> batch;
      for (int i = next; i < next + 20; ++i) batch.push_back(app.Pack(*Event("event " + std::to_string(i))));
      for (const Status& status : app.LoggitBatch(batch)) {
        if (!status.ok()) _exit(1);
      }
      const int answered = next + 20;
      if (write(answers[1], &answered, sizeof answered) != sizeof answered) _exit(1);
    }
  }
  close(answers[1]);
  int answered = 0;
  while (answered < 2000) ASSERT_EQ(read(answers[0], &answered, sizeof answered), static_cast<ssize_t>(sizeof answered));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(answers[0]);

  client::Application app(ClientOptions());
  ASSERT_TRUE(WaitUntilWritten(app, static_cast<uint64_t>(answered)));
  // Every answered event, in order; a batch on its way when the client died may be
  // there too, whole or not at all.
  const std::vector<std::string> stored = StoredDescriptions();
  ASSERT_GE(stored.size(), static_cast<size_t>(answered));
  for (size_t i = 0; i < stored.size(); ++i) EXPECT_EQ(stored[i], "event " + std::to_string(i)) << i;
  EXPECT_EQ(stored.size() % 20, 0u);
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace ledgerwick::testing
