// The network store on a real PostgreSQL cluster that the test starts: records go
// there first, to the local store while it is down, and there again once it is back,
// without a restart of the daemon; none is lost and none is stored twice.

#include <libpq-fe.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "recordkit/property_set.h"
#include "tests/daemon_fixture.h"
#include "tests/support/pg_cluster.h"

namespace ledgerwick::testing {
namespace {

using automation::Variant;

// The descriptions in the network store's table, in the order of its key.
std::vector<std::string> NetworkDescriptions(const std::string& conninfo) {
  std::vector<std::string> descriptions;
  PGconn* connection = PQconnectdb(conninfo.c_str());
  EXPECT_EQ(PQstatus(connection), CONNECTION_OK) << PQerrorMessage(connection);
  PGresult* result = PQexec(connection, "SELECT \"Description\" FROM tbllog ORDER BY id");
  if (PQresultStatus(result) == PGRES_TUPLES_OK) {
    for (int row = 0; row < PQntuples(result); ++row) descriptions.push_back(PQgetvalue(result, row, 0));
  } else {
    ADD_FAILURE() << PQerrorMessage(connection);
  }
  PQclear(result);
  PQfinish(connection);
  return descriptions;
}

class NetworkStoreTest : public DaemonTest {
 protected:
  void WriteSettingsWithNetworkStore(const std::string& conninfo) {
    WriteDefaultSettings(1);
    std::FILE* settings = std::fopen((dir / "Ledgwk.ini").c_str(), "a");
    std::fprintf(settings, "NetDSO=Recordkit.PostgresDSO\nNetDTO=Recordkit.PostgresDTO\nNetConnect=DATABASE=%s\n",
                 conninfo.c_str());
    std::fclose(settings);
  }

  // Logs one event; answers how long the call took.
  std::chrono::microseconds Log(client::Application& app, const std::string& description) {
    auto fields = recordkit::PropertySet::NewEventSet();
    fields->Item("AppName")->SetValue(Variant::String("network"));
    fields->Item("Description")->SetValue(Variant::String(description));
    const auto start = std::chrono::steady_clock::now();
    app.Loggit(*fields);
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  }
};

TEST_F(NetworkStoreTest, ServerStoppedMidStreamLosesNothingAndIsUsedAgainOnceBack) {
  PgCluster cluster;
  WriteSettingsWithNetworkStore(cluster.ConnInfo());
  StartDaemon();
  auto connection = client::Connection::Open(ClientOptions());
  client::Application app(connection);

  int next = 0;
  std::chrono::microseconds slowest{0};
  auto logSome = [&](int count) {
    for (int i = 0; i < count; ++i) slowest = std::max(slowest, Log(app, "event " + std::to_string(next++)));
  };

  logSome(300);
  ASSERT_TRUE(WaitUntilWritten(app, 300));
  EXPECT_TRUE(connection->Status().networkStore.open);
  logSome(200);  // some of these are on their way when the server goes
  cluster.StopImmediately();
  logSome(300);
  ASSERT_TRUE(WaitUntilWritten(app, next));
  client::DaemonStatus down = connection->Status();
  EXPECT_TRUE(down.networkStore.opened);
  EXPECT_FALSE(down.networkStore.open);
  EXPECT_FALSE(down.networkStore.downSince.empty());
  EXPECT_GT(down.toLocalStore, 0u);

  // Back again: the daemon connects by itself within its back-off, and later
  // records go to the network store.
  cluster.Start();
  bool open = false;
  for (int i = 0; i < 2000000 && !open; ++i) {
    if (i % 100 == 0) logSome(1);
    open = connection->Status().networkStore.open;
  }
  ASSERT_TRUE(open);
  const int firstAfter = next;
  logSome(100);
  ASSERT_TRUE(WaitUntilWritten(app, next));

  // Every record is stored, and no store holds one twice. A run whose commit the
  // server made as it stopped, before its answer went out, is in doubt: the daemon
  // hands it to the local store as well. Only records on their way at the stop can
  // be in both stores.
  const std::vector<std::string> network = NetworkDescriptions(cluster.ConnInfo());
  std::map<std::string, int> inNetwork, inLocal;
  for (const auto& description : network) ++inNetwork[description];
  for (auto& row : ReadLogRows(Database())) ++inLocal[row["Description"]];
  for (int i = 0; i < next; ++i) {
    const std::string event = "event " + std::to_string(i);
    EXPECT_LE(inNetwork[event], 1) << event;
    EXPECT_LE(inLocal[event], 1) << event;
    EXPECT_GE(inNetwork[event] + inLocal[event], 1) << event << " was lost";
    if (inNetwork[event] + inLocal[event] == 2) {
      EXPECT_TRUE(i >= 300 && i < 500) << event << " is in both stores but was not on its way at the stop";
    }
  }
  ASSERT_GE(network.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(network[network.size() - 100 + i], "event " + std::to_string(firstAfter + i));
  }
  client::DaemonStatus after = connection->Status();
  EXPECT_GE(after.toNetworkStore + after.toLocalStore, static_cast<uint64_t>(next));
  EXPECT_EQ(after.toTextLog, 0u);
  // The outage is in the fault log once, not once a record.
  EXPECT_LE(CountLines(ReadText(FaultLog()), "PostgreSQL"), 3u) << ReadText(FaultLog());
  std::printf("slowest Loggit call: %lld us\n", static_cast<long long>(slowest.count()));
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);
}

TEST_F(NetworkStoreTest, UnreachableAtStartUpLeavesTheLocalStoreTakingRecords) {
  ShortTempDir nothingThere;
  WriteSettingsWithNetworkStore("host=" + nothingThere.path() + " dbname=ledgerwick");
  StartDaemon();
  auto connection = client::Connection::Open(ClientOptions());
  client::Application app(connection);
  Log(app, "to the local store");
  ASSERT_TRUE(WaitUntilWritten(app, 1));

  client::DaemonStatus status = connection->Status();
  EXPECT_EQ(status.toLocalStore, 1u);
  EXPECT_FALSE(status.networkStore.opened);
  EXPECT_TRUE(status.localStore.open);
  EXPECT_EQ(CountLines(ReadText(FaultLog()), "Device I/O error: Create NetDSO"), 1u) << ReadText(FaultLog());
  EXPECT_NE(daemon->Stderr().find("Unable to open Network Log Table."), std::string::npos) << daemon->Stderr();
  auto rows = ReadLogRows(Database());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["Description"], "to the local store");
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace ledgerwick::testing
