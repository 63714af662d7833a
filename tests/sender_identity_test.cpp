// Who logged an event, as the daemon saw it: a row of the local store and of the
// network store carries the uid, gid and pid of the process that logged it, from its
// socket's peer credentials, whatever fields of those names the event holds.

#include <libpq-fe.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/daemon_fixture.h"
#include "tests/support/pg_cluster.h"

namespace ledgerwick::testing {
namespace {

// The sender's columns of the network store's rows, in the order of its key.
std::vector<std::map<std::string, std::string>> NetworkSenders(const std::string& conninfo) {
  std::vector<std::map<std::string, std::string>> rows;
  PGconn* connection = PQconnectdb(conninfo.c_str());
  EXPECT_EQ(PQstatus(connection), CONNECTION_OK) << PQerrorMessage(connection);
  PGresult* result = PQexec(connection,
                            "SELECT \"Description\", \"SenderUid\", \"SenderGid\", \"SenderPid\", "
                            "coalesce(\"SenderName\", '<null>') FROM tbllog ORDER BY id");
  if (PQresultStatus(result) == PGRES_TUPLES_OK) {
    for (int row = 0; row < PQntuples(result); ++row) {
      rows.push_back({{"Description", PQgetvalue(result, row, 0)},
                      {"SenderUid", PQgetvalue(result, row, 1)},
                      {"SenderGid", PQgetvalue(result, row, 2)},
                      {"SenderPid", PQgetvalue(result, row, 3)},
                      {"SenderName", PQgetvalue(result, row, 4)}});
    }
  } else {
    ADD_FAILURE() << PQerrorMessage(connection);
  }
  PQclear(result);
  PQfinish(connection);
  return rows;
}

class SenderIdentityTest : public DaemonTest {
 protected:
  // Runs `ledgerwick log` in a process of its own, its user name claiming to be
  // root's; answers that process's pid.
  std::string LogAsAnotherProcess(const std::string& description) {
    // The shell prints its pid and becomes the command, which keeps it.
    CommandResult result = RunCommand(
        "/bin/sh",
        {"-c", "echo $$; exec \"$0\" \"$@\"", LEDGERWICK_CLI_PATH, "log", "AppName=who",
         "Description=" + description, "UserName=root"},
        CommandEnv());
    EXPECT_EQ(result.code, 0) << result.err;
    return result.out.substr(0, result.out.find('\n'));
  }
};

TEST_F(SenderIdentityTest, TheLocalStoreShowsTheRealUidGidAndPid) {
  WriteDefaultSettings(1);
  StartDaemon();
  const std::string first = LogAsAnotherProcess("one");
  const std::string second = LogAsAnotherProcess("two");
  ASSERT_NE(first, second);
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);

  auto rows = ReadLogRows(Database());
  ASSERT_EQ(rows.size(), 2u);
  const std::string pids[] = {first, second};
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(rows[i]["SenderUid"], std::to_string(getuid()));
    EXPECT_EQ(rows[i]["SenderGid"], std::to_string(getgid()));
    EXPECT_EQ(rows[i]["SenderPid"], pids[i]);
    EXPECT_EQ(rows[i]["SenderName"], "");
  }
}

TEST_F(SenderIdentityTest, TheNetworkStoreShowsTheRealUidGidAndPid) {
  PgCluster cluster;
  WriteDefaultSettings(1);
  std::FILE* settings = std::fopen((dir / "Ledgwk.ini").c_str(), "a");
  std::fprintf(settings, "NetDSO=Recordkit.PostgresDSO\nNetDTO=Recordkit.PostgresDTO\nNetConnect=DATABASE=%s\n",
               cluster.ConnInfo().c_str());
  std::fclose(settings);
  StartDaemon();
  const std::string pid = LogAsAnotherProcess("networked");
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);

  auto rows = NetworkSenders(cluster.ConnInfo());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["Description"], "networked");
  EXPECT_EQ(rows[0]["SenderUid"], std::to_string(getuid()));
  EXPECT_EQ(rows[0]["SenderGid"], std::to_string(getgid()));
  EXPECT_EQ(rows[0]["SenderPid"], pid);
  EXPECT_EQ(rows[0]["SenderName"], "<null>");
}

// What a client hands over that the daemon refuses is entered with who sent it.
TEST_F(SenderIdentityTest, ARefusedEventIsEnteredInTheFaultLogWithItsSender) {
  WriteDefaultSettings(1);
  StartDaemon({"--max-queue-mb", "1"});  // one event of 2 MiB is past the bound
  CommandResult result = RunCommand("/bin/sh", {"-c", "echo $$; exec \"$0\" \"$@\"", LEDGERWICK_CLI_PATH, "log", "-"},
                                    CommandEnv(), "{\"Description\":\"" + std::string(2 << 20, 'x') + "\"}\n");
  EXPECT_NE(result.code, 0);
  const std::string pid = result.out.substr(0, result.out.find('\n'));
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);
  const std::string faults = ReadText(FaultLog());
  EXPECT_EQ(CountLines(faults, "Loggit refused an event: 7 "), 1u) << faults;
  EXPECT_EQ(CountLines(faults, "uid=" + std::to_string(getuid()) + " gid=" + std::to_string(getgid()) +
                                   " pid=" + pid + ")"),
            1u)
      << faults;
}

}  // namespace
}  // namespace ledgerwick::testing
