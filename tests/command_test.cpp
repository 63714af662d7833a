// The ledgerwick command against a real daemon: what it logs lands in the SQLite
// table and the text log, members read and change, calls by dispatch id, and the
// exit codes.

#include <signal.h>

#include <gtest/gtest.h>

#include "client/json_reader.h"
#include "tests/daemon_fixture.h"

namespace ledgerwick::testing {
namespace {

constexpr int kToDatabase = 1;

class CommandTest : public DaemonTest {
 protected:
  void SetUp() override {
    WriteDefaultSettings(kToDatabase);
    StartDaemon();
  }

  // Runs the command and expects it to succeed; answers its output.
  std::string Ok(const std::vector<std::string>& args, const std::string& input = "") {
    CommandResult result = Ledgerwick(args, input);
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return result.out;
  }

  // Stops the daemon cleanly: what is queued is written first.
  void StopDaemon() { ASSERT_EQ(daemon->Stop(SIGTERM), 0) << daemon->Stderr(); }
};

TEST_F(CommandTest, LoggedFieldsReachTheTableAndWithLogMethodZeroTheTextLog) {
  Ok({"log", "AppName=demo", "Description=hello"});
  {
    // The log method counts when a record is drained, so the first one is written
    // before the method changes.
    client::Application app(ClientOptions());
    ASSERT_TRUE(WaitUntilWritten(app, 1));
  }
  Ok({"set", "LogMethod", "0"});
  Ok({"log", "AppName=filed", "Description=to the text log"});
  StopDaemon();

  auto rows = ReadLogRows(Database());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["AppName"], "demo");
  EXPECT_EQ(rows[0]["Description"], "hello");
  auto lines = Lines(ReadText(TextLog(dir.path())));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("filed\t\tto the text log\t", 0), 0u) << lines[0];
}

TEST_F(CommandTest, JsonFieldsKeepTheirTypes) {
  Ok({"log", "--json",
      R"({"AppName":"typed","Severity":3,"DetailLevel":2.5,"EventDate":{"date":"2026-12-01"},)"
      R"("EventTime":{"time":"08:15:00"},"UserName":null})"});
  StopDaemon();
  auto rows = ReadLogRows(Database());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["AppName"], "typed");
  EXPECT_EQ(rows[0]["Severity"], "3");
  EXPECT_EQ(rows[0]["DetailLevel"], "2.5");
  EXPECT_EQ(rows[0]["EventDate"], "2026-12-01");
  EXPECT_EQ(rows[0]["EventTime"], "08:15:00");
  EXPECT_EQ(rows[0]["UserName"], "");
}

TEST_F(CommandTest, LogDashLogsEachLineInOrderAndFieldsDoNotCarryOver) {
  CommandResult result =
      Ledgerwick({"log", "-"}, "{\"AppName\":\"one\",\"Description\":\"first\"}\n\n{\"AppName\":\"two\"}\n");
  EXPECT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "log -: 2 events handed over, 0 lines refused\n");
  StopDaemon();
  auto rows = ReadLogRows(Database());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["AppName"], "one");
  EXPECT_EQ(rows[0]["Description"], "first");
  EXPECT_EQ(rows[1]["AppName"], "two");
  EXPECT_EQ(rows[1]["Description"], "");
}

TEST_F(CommandTest, ABadLineStopsLogDashAfterTheLinesBeforeIt) {
  CommandResult result = Ledgerwick({"log", "-"}, "{\"AppName\":\"kept\"}\n{\"AppName\":\n{\"AppName\":\"never\"}\n");
  EXPECT_EQ(result.code, 2);
  EXPECT_NE(result.err.find("line 2"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.substr(0, result.err.find('\n')), "log -: 1 event handed over, 1 line refused");
  StopDaemon();
  auto rows = ReadLogRows(Database());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["AppName"], "kept");
}

TEST_F(CommandTest, GetAndSetTheSimpleMembers) {
  EXPECT_EQ(Ok({"get", "Name"}), "Quorvin's Ledgerwick\n");
  EXPECT_EQ(Ok({"get", "name", "--json"}), "\"Quorvin's Ledgerwick\"\n");
  EXPECT_EQ(Ok({"get", "Ready"}), "True\n");
  EXPECT_EQ(Ok({"get", "Ready", "--json"}), "true\n");
  EXPECT_EQ(Ok({"get", "AppName"}), "");
  EXPECT_EQ(Ok({"get", "Description", "--json"}), "\"\"\n");
  Ok({"set", "LogMethod", "-1"});
  EXPECT_EQ(Ok({"get", "LogMethod"}), "-1\n");
  Ok({"set", "AppName", "ignored"});
  Ok({"set", "Description", "per object"});
  std::string map = Ok({"fieldmap", "--json"});
  EXPECT_EQ(map.rfind("[\"AppName\",\"AppVersion\",", 0), 0u) << map;
  EXPECT_EQ(Lines(Ok({"get", "FieldMap"})).size(), 19u);
}

TEST_F(CommandTest, InvokeAnswersAsTheNamedCommands) {
  EXPECT_EQ(Ok({"invoke", "0x68030005"}), Ok({"get", "Name"}));
  EXPECT_EQ(Ok({"invoke", "0x68030000", "--get", "--json"}), Ok({"get", "Ready", "--json"}));
  Ok({"invoke", "0x68030004", "--put", "2"});
  EXPECT_EQ(Ok({"get", "LogMethod"}), "2\n");
  EXPECT_EQ(Ok({"invoke", std::to_string(0x68030004), "--get"}), "2\n");
  EXPECT_EQ(Ok({"invoke", "0x60030008", "--method"}), "0\n");  // Destroy
}

struct ExitCase {
  const char* name;
  std::vector<std::string> args;
  int code;
  const char* stderrPart;
};

class CommandExitCodes : public CommandTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(CommandExitCodes, SayWhatWentWrong) {
  CommandResult result = Ledgerwick(GetParam().args);
  EXPECT_EQ(result.code, GetParam().code) << result.err;
  EXPECT_NE(result.err.find(GetParam().stderrPart), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandExitCodes,
    ::testing::Values(
        ExitCase{"FieldsOfANewObject", {"invoke", "0x68030001", "--get", "0"}, 1, "error 13: Type mismatch\n"},
        ExitCase{"UnknownDispatchId", {"invoke", "7"}, 1, "error 438: Object doesn't support this property or method"},
        ExitCase{"ReadOnlyMember", {"invoke", "0x68030005", "--put", "\"x\""}, 1, "error 438:"},
        ExitCase{"LoggitOfNull", {"invoke", "0x60030007", "--method", "null"}, 1, "error 13: Type mismatch"},
        ExitCase{"WrongArgumentCount", {"invoke", "0x68030005", "--get", "1"}, 1, "error 450:"},
        ExitCase{"NoCommand", {}, 2, ""},
        ExitCase{"UnknownCommand", {"frobnicate"}, 2, ""},
        ExitCase{"UnknownMember", {"get", "Bogus"}, 2, "MEMBER is one of"},
        ExitCase{"UnknownField", {"log", "Foo=1"}, 2, "unknown field \"Foo\""},
        ExitCase{"NotAPair", {"log", "AppName"}, 2, "expected NAME=VALUE"},
        ExitCase{"NothingToLog", {"log"}, 2, "give NAME=VALUE"},
        ExitCase{"BrokenJson", {"log", "--json", "{\"AppName\":"}, 2, "--json"},
        ExitCase{"BrokenJsonSaysWhere",
                 {"log", "--json", "{\"AppName\":"},
                 2,
                 "--json: syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal "
                 "at offset 11\n"},
        ExitCase{"BrokenArgument", {"invoke", "0x68030004", "--put", "[1,"}, 2, "argument 1: "},
        ExitCase{"BrokenArgumentSaysWhere", {"invoke", "0x68030004", "--put", "1", "tru"}, 2, "argument 2: "},
        ExitCase{"NotUtf8", {"log", "--json", "{\"AppName\":\"a\xff\"}"}, 2, "--json: "},
        ExitCase{"NestedTooDeeply", {"log", "--json", std::string(70, '[')}, 2, "nested too deeply at offset 65"},
        ExitCase{"ArrayValue", {"log", "--json", "{\"AppName\":[1]}"}, 2, "arrays"},
        ExitCase{"BadDate", {"log", "--json", "{\"EventDate\":{\"date\":\"2026-02-30\"}}"}, 2, "no such date"},
        ExitCase{"BadDispId", {"invoke", "0xZZ"}, 2, "DISPID"},
        ExitCase{"BadLogMethod", {"set", "LogMethod", "one"}, 2, "whole number"},
        ExitCase{"ReadOnlySet", {"set", "Name", "x"}, 2, "MEMBER is one of"},
        ExitCase{"Help", {"--help"}, 0, ""}),
    [](const ::testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });

TEST_F(CommandTest, NoDaemonAndNoAutostartIsExitCodeThree) {
  EnvChanges env = CommandEnv();
  env["LEDGERWICK_SOCKET"] = dir / "nobody.sock";
  CommandResult result = RunCommand(LEDGERWICK_CLI_PATH, {"get", "Name"}, env);
  EXPECT_EQ(result.code, 3);
  EXPECT_NE(result.err.find("cannot reach ledgerwickd on " + (dir / "nobody.sock")), std::string::npos) << result.err;
  // --socket wins over the environment.
  EXPECT_EQ(RunCommand(LEDGERWICK_CLI_PATH, {"get", "Name", "--socket", Socket()}, env).code, 0);
}

TEST_F(CommandTest, StatusShowsTheQueueAndTheCounters) {
  Ok({"log", "AppName=counted"});
  StopDaemon();
  StartDaemon();
  std::string status = Ok({"status", "--json"});
  EXPECT_NE(status.find("\"queueLength\":0"), std::string::npos) << status;
  EXPECT_NE(status.find("\"startupDone\":false"), std::string::npos) << status;
  // One JSON object on one line, its members in a fixed order.
  ASSERT_EQ(status.find('\n'), status.size() - 1) << status;
  json::Value object = json::Parse(status);
  std::vector<std::string> names;
  for (const auto& [name, value] : object.members) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"pid", "ready", "startupDone", "logMethod", "queueLength", "queueBytes",
                                             "queueLimitBytes", "journalBytes", "journalRecords", "journalSync",
                                             "instanceCount", "liveObjects", "connections", "drainBusy",
                                             "drainIntervalMs", "written", "faults", "networkStore", "localStore"}));
  EXPECT_EQ(object.members[15].value.members.size(), 3u);
  EXPECT_EQ(object.members[18].value.members[0].name, "opened");
  EXPECT_NE(Ok({"status"}).find("queued records:   0"), std::string::npos);
}

TEST_F(CommandTest, StatusShowsTheJournal) {
  StopDaemon();
  StartDaemon({"--journal-sync", "batch"});
  std::string status = Ok({"status", "--json"});
  EXPECT_NE(status.find("\"journalRecords\":0"), std::string::npos) << status;
  EXPECT_NE(status.find("\"journalSync\":\"batch\""), std::string::npos) << status;
  EXPECT_EQ(status.find("\"journalBytes\":0,"), std::string::npos) << status;  // the header at least
  const std::string text = Ok({"status"});
  EXPECT_NE(text.find("journal:          0 records not yet written"), std::string::npos) << text;
  EXPECT_NE(text.find("sync batch"), std::string::npos) << text;
}

}  // namespace
}  // namespace ledgerwick::testing
