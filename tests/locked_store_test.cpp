// A local store locked by another process delays only the drain: clients are served
// meanwhile, and every record reaches the store once the lock goes.

#include <sqlite3.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "recordkit/property_set.h"
#include "tests/daemon_fixture.h"

namespace ledgerwick::testing {
namespace {

using automation::Variant;

class LockedStoreTest : public DaemonTest {
 protected:
  void Log(client::Application& app, const std::string& description) {
    auto fields = recordkit::PropertySet::NewEventSet();
    fields->Item("AppName")->SetValue(Variant::String("locked"));
    fields->Item("Description")->SetValue(Variant::String(description));
    app.Loggit(*fields);
  }
};

TEST_F(LockedStoreTest, ALockedDatabaseHoldsUpOnlyTheDrain) {
  WriteDefaultSettings(1);
  StartDaemon();
  auto connection = client::Connection::Open(ClientOptions());
  client::Application app(connection);
  Log(app, "before");
  ASSERT_TRUE(WaitUntilWritten(app, 1));  // the store is open and its table made

  // Another process holds the database: no writer gets in until it lets go.
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(Database().c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

  constexpr int kQueued = 50;
  for (int i = 0; i < kQueued; ++i) Log(app, "while locked " + std::to_string(i));

  // Wait, by calls, until a drain is under way and stuck on the lock.
  bool stuck = false;
  for (int i = 0; i < 200000 && !stuck; ++i) {
    ASSERT_EQ(app.Destroy(), 0);
    client::DaemonStatus status = connection->Status();
    stuck = status.drainBusy && status.queueLength == kQueued;
  }
  ASSERT_TRUE(stuck);

  // A fresh client, another process, is served while the drain waits on the lock.
  CommandResult name = Ledgerwick({"get", "Name"});
  EXPECT_EQ(name.code, 0) << name.err;
  EXPECT_EQ(name.out, "Quorvin's Ledgerwick\n");
  client::DaemonStatus status = connection->Status();
  EXPECT_TRUE(status.drainBusy);
  EXPECT_EQ(status.queueLength, static_cast<uint64_t>(kQueued));
  EXPECT_EQ(status.toLocalStore, 1u);
  EXPECT_EQ(status.toTextLog, 0u);

  ASSERT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(holder);
  ASSERT_TRUE(WaitUntilWritten(app, 1 + kQueued));

  // Every record in the store once, in order; none went to the text log.
  auto rows = ReadLogRows(Database());
  ASSERT_EQ(rows.size(), static_cast<size_t>(1 + kQueued));
  EXPECT_EQ(rows[0]["Description"], "before");
  for (int i = 0; i < kQueued; ++i) EXPECT_EQ(rows[1 + i]["Description"], "while locked " + std::to_string(i));
  EXPECT_EQ(connection->Status().toTextLog, 0u);
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace ledgerwick::testing
