// ledgerwick query and tail against what a real daemon wrote: one event logged with
// every field typed reads back as the same JSON from the SQLite store, the
// PostgreSQL store and the text log; the output forms; the exit codes.

#include <signal.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/daemon_fixture.h"
#include "tests/support/pg_cluster.h"

namespace ledgerwick::testing {
namespace {

constexpr int kToFile = 0;
constexpr int kToDatabase = 1;

// Every field a client sets, each in a typed form of log --json.
const char* const kTypedEvent =
    R"({"AppName":"ledger","AppVersion":"10.2","Description":"payment, \"posted\"","Severity":3,)"
    R"("EventCode":1042,"AddlText":"batch 7","EventData":"payload","UserName":"ann",)"
    R"("EventDate":{"datetime":"2026-12-01T08:15:00"},"EventTime":{"time":"08:15:30"},)"
    R"("HelpFile":"help.chm","HelpContext":77,"SubName":"Post","ModuleName":"modPay",)"
    R"("UserDescription":"nightly run","UserComment":null,"DetailLevel":2.5})";

class QueryTest : public DaemonTest {
 protected:
  // Runs the command with the test's settings and home.
  CommandResult Query(std::vector<std::string> args) {
    args.insert(args.end(), {"--config-dir", dir.path(), "--home", dir.path()});
    return Ledgerwick(args);
  }
  std::string Ok(const std::vector<std::string>& args) {
    CommandResult result = Query(args);
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return result.out;
  }
  // Logs through a daemon of its own, stopped cleanly so that the event is written.
  void LogThroughDaemon(const std::vector<std::string>& logArgs) {
    StartDaemon();
    CommandResult logged = Ledgerwick(logArgs);
    ASSERT_EQ(logged.code, 0) << logged.err;
    ASSERT_EQ(daemon->Stop(SIGTERM), 0) << daemon->Stderr();
  }
  void AddNetworkStore(const std::string& conninfo) {
    std::FILE* settings = std::fopen((dir / "Ledgwk.ini").c_str(), "a");
    std::fprintf(settings, "NetDSO=Recordkit.PostgresDSO\nNetDTO=Recordkit.PostgresDTO\nNetConnect=DATABASE=%s\n",
                 conninfo.c_str());
    std::fclose(settings);
  }
};

// The line without its LogDate and LogTime, which must be a date and a time of day.
std::string WithoutStamps(const std::string& line) {
  static const std::regex stamps(R"re("LogDate":\{"date":"\d{4}-\d\d-\d\d"\},"LogTime":\{"time":"\d\d:\d\d:\d\d"\},)re");
  std::string rest = std::regex_replace(line, stamps, "");
  EXPECT_NE(rest, line) << "no LogDate and LogTime stamps in " << line;
  return rest;
}

TEST_F(QueryTest, OneTypedEventReadsTheSameFromEveryStore) {
  // The text log alone (log method 0); query then reads it by default.
  WriteDefaultSettings(kToFile);
  LogThroughDaemon({"log", "--json", kTypedEvent});
  const std::string fromText = Ok({"query", "--json"});

  // The local SQLite store.
  WriteDefaultSettings(kToDatabase);
  LogThroughDaemon({"log", "--json", kTypedEvent});
  const std::string fromSqlite = Ok({"query", "--json"});

  // The network store on a PostgreSQL cluster of the test's own.
  PgCluster cluster;
  WriteDefaultSettings(kToDatabase);
  AddNetworkStore(cluster.ConnInfo());
  LogThroughDaemon({"log", "--json", kTypedEvent});
  const std::string fromPostgres = Ok({"query", "--json"});

  for (const std::string* read : {&fromText, &fromSqlite, &fromPostgres}) {
    auto lines = Lines(*read);
    ASSERT_EQ(lines.size(), 1u) << *read;
    // Without the logging stamps, it reads back exactly as it was given.
    EXPECT_EQ(WithoutStamps(lines[0]), kTypedEvent);
  }
  // Each store is still there to be chosen by name.
  EXPECT_EQ(Ok({"query", "--json", "--store", "local"}), fromSqlite);
  EXPECT_EQ(Ok({"query", "--json", "--store", "text"}), fromText);
  EXPECT_EQ(Ok({"query", "--json", "--store", "network"}), fromPostgres);
}

TEST_F(QueryTest, TableCsvAndTailShowTheNewestInOrder) {
  WriteDefaultSettings(kToDatabase);
  StartDaemon();
  for (const char* description : {"first", "second, with a comma", "third \"quoted\""}) {
    CommandResult logged = Ledgerwick({"log", "AppName=app", std::string("Description=") + description});
    ASSERT_EQ(logged.code, 0) << logged.err;
  }
  ASSERT_EQ(daemon->Stop(SIGTERM), 0) << daemon->Stderr();

  auto table = Lines(Ok({"tail", "-n", "2"}));
  ASSERT_EQ(table.size(), 3u);
  EXPECT_TRUE(std::regex_match(table[0], std::regex("LogDate +LogTime +AppName +Severity +UserName +Description")))
      << table[0];
  EXPECT_TRUE(std::regex_match(table[1], std::regex(R"(\d{4}-\d\d-\d\d  \d\d:\d\d:\d\d  app +second, with a comma)")))
      << table[1];
  EXPECT_TRUE(std::regex_search(table[2], std::regex(R"(app +third "quoted"$)"))) << table[2];
  // Columns line up.
  EXPECT_EQ(table[0].find("Description"), table[1].find("second"));

  const std::string csv = Ok({"query", "--csv", "--grep", "d"});
  auto rows = Lines(csv);
  ASSERT_EQ(rows.size(), 3u) << csv;
  EXPECT_EQ(rows[0].rfind("AppName,AppVersion,Description,Severity,", 0), 0u) << rows[0];
  EXPECT_EQ(rows[1].rfind("app,,\"second, with a comma\",,", 0), 0u) << rows[1];
  EXPECT_EQ(rows[2].rfind("app,,\"third \"\"quoted\"\"\",,", 0), 0u) << rows[2];
  EXPECT_NE(csv.find("\r\n"), std::string::npos);

  EXPECT_EQ(Lines(Ok({"query", "--json", "--limit", "1"})).size(), 1u);
  EXPECT_EQ(Lines(Ok({"query", "--json", "--since", "1d"})).size(), 3u);
  EXPECT_EQ(Ok({"query", "--json", "--until", "2000-01-01"}), "");
}

// tail -f prints each event as the daemon writes it, as query reads it back from
// the store, and only those its filter selects; the daemon tells it, it reads no file.
TEST_F(QueryTest, TailFollowPrintsEachEventAsTheDaemonWritesIt) {
  WriteDefaultSettings(1);
  StartDaemon();
  ASSERT_EQ(Ledgerwick({"log", "AppName=shown", "Description=before"}).code, 0);
  client::Application app(ClientOptions());
  ASSERT_TRUE(WaitUntilWritten(app, 1));  // written before the follower comes
  // Its standard output goes to standard error, whose lines can be waited for.
  DaemonProcess follower("/bin/sh",
                         {"-c", "exec \"$0\" \"$@\" 1>&2", LEDGERWICK_CLI_PATH, "tail", "-f", "-n", "0", "--json",
                          "--app", "shown", "--config-dir", dir.path(), "--home", dir.path()},
                         CommandEnv());
  ASSERT_TRUE(follower.WaitForLine("ledgerwick: following new events")) << follower.Stderr();
  ASSERT_EQ(Ledgerwick({"log", "AppName=hidden", "Description=filtered out"}).code, 0);
  ASSERT_EQ(Ledgerwick({"log", "--json", R"({"AppName":"shown","Description":"after","Severity":3,)"
                                          R"("EventDate":{"datetime":"2026-12-01T08:15:00"},"DetailLevel":2.5})"})
                .code,
            0);
  ASSERT_TRUE(follower.WaitForLine("\"Description\":\"after\"")) << follower.Stderr();

  const std::vector<std::string> followed = Lines(follower.Stderr());
  ASSERT_EQ(followed.size(), 2u) << follower.Stderr();  // the notice, then the one event
  const std::vector<std::string> stored = Lines(Ok({"query", "--json", "--grep", "after"}));
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(followed[1], stored[0]);
  EXPECT_EQ(follower.Stderr().find("before"), std::string::npos);
  EXPECT_EQ(follower.Stderr().find("hidden"), std::string::npos);

  // The daemon's stop ends the follower: the daemon cannot be reached (3).
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);
  EXPECT_EQ(follower.Wait(), 3) << follower.Stderr();
}

TEST_F(QueryTest, AStoreThatCannotBeReadIsNamedAndExitsOne) {
  WriteDefaultSettings(kToDatabase);  // names a database file that no daemon made
  CommandResult missing = Query({"query"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("local store (SQLite) " + Database()), std::string::npos) << missing.err;

  CommandResult noNetwork = Query({"query", "--store", "network"});
  EXPECT_EQ(noNetwork.code, 1);
  EXPECT_NE(noNetwork.err.find("no network store in [Attachments] of " + dir.path() + "/Ledgwk.ini"),
            std::string::npos)
      << noNetwork.err;

  CommandResult noText = Query({"query", "--store", "text"});
  EXPECT_EQ(noText.code, 1);
  EXPECT_NE(noText.err.find("cannot read the text log " + TextLog(dir.path())), std::string::npos) << noText.err;
}

TEST_F(QueryTest, BadFilterValuesAreUsageErrors) {
  WriteDefaultSettings(kToDatabase);
  const std::vector<std::vector<std::string>> wrong = {
      {"query", "--since", "yesterday"}, {"query", "--until", "2026-13-01"}, {"query", "--severity", "high"},
      {"query", "--limit", "-1"},        {"query", "--store", "cloud"},      {"query", "--json", "--csv"},
      {"tail", "-n", "many"},
  };
  for (const auto& args : wrong) {
    CommandResult result = Query(args);
    EXPECT_EQ(result.code, 2) << args[1] << " " << args[2] << ": " << result.err;
    EXPECT_EQ(result.out, "");
  }
}

}  // namespace
}  // namespace ledgerwick::testing
