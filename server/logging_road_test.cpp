// One event's whole road in one process: start-up from a real settings folder, Loggit,
// the drain tick, and a real SQLite log table or the text log.

#include <sqlite3.h>

#include <gtest/gtest.h>

#include "automation/date_scale.h"
#include "recordkit/sqlite/sqlite_store.h"
#include "server/application.h"
#include "tests/support/test_process.h"

namespace ledgerwick {
namespace {

using automation::Variant;

// Every column of every row of tblLog as text (NULL as "<null>"), in insertion order.
std::vector<std::map<std::string, std::string>> ReadLogTable(const std::string& path) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT * FROM tblLog ORDER BY id", -1, &statement, nullptr), SQLITE_OK);
  std::vector<std::map<std::string, std::string>> rows;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    std::map<std::string, std::string> row;
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      const unsigned char* text = sqlite3_column_text(statement, i);
      std::string type = sqlite3_column_type(statement, i) == SQLITE_INTEGER ? "i:"
                         : sqlite3_column_type(statement, i) == SQLITE_FLOAT ? "r:" : "";
      row[sqlite3_column_name(statement, i)] = text ? type + reinterpret_cast<const char*>(text) : "<null>";
    }
    rows.push_back(row);
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

class LoggingRoadTest : public ::testing::Test {
 protected:
  LoggingRoadTest() { recordkit::RegisterSqliteClasses(process.classes); }

  void WriteSettings(const std::string& storageType) {
    testing::WriteFile(process.settingsDir / "Ledgwk.ini",
                       "[General]\r\nStorageType=" + storageType +
                           "\r\n[Attachments]\r\nLocalDSO=Recordkit.SqliteDSO\r\nLocalDTO=Recordkit.SqliteDTO\r\n"
                           "LocalConnect=DATABASE=" + DatabasePath() + "\r\n");
  }

  std::string DatabasePath() const { return process.homeDir / "ledgwk.db"; }

  void FillAndLog(Application& app) {
    auto set = app.GetProperties();
    set->Item("AppName")->SetValue(Variant::String("Payroll"));
    set->Item("Description")->SetValue(Variant::String("O'Brien; DROP TABLE tblLog"));
    set->Item("Severity")->SetValue(Variant::Integer(3));
    set->Item("EventCode")->SetValue(Variant::Long(4711));
    set->Item("AddlText")->SetValue(Variant::Double(2.5));
    set->Item("EventDate")->SetValue(Variant::String("12/25/2026"));
    set->Item("UserComment")->SetValue(Variant::Null());
    Variant nothing;
    app.Loggit(nothing);
  }

  testing::TestProcess process;
};

TEST_F(LoggingRoadTest, EventLandsAsOneRowOfTheLocalTable) {
  WriteSettings("1");
  Application app(process.state);
  app.WhenStarted().wait(process.ws);
  EXPECT_TRUE(app.GetReady());
  EXPECT_EQ(process.notices.shown,
            std::vector<std::string>{"Unable to open Network Log Table.\r\nErrors will be logged to Local Table"});
  EXPECT_EQ(process.Faults(), std::vector<std::string>{"Object variable or With block variable not set: Create NetDSO "
                                                       "(no NetDSO in [Attachments] of " +
                                                       process.settingsDir.path() + "/Ledgwk.ini)"});

  FillAndLog(app);
  EXPECT_TRUE(ReadLogTable(DatabasePath()).empty());  // nothing is written before the tick
  process.RunFor(100 * kj::MILLISECONDS);

  auto rows = ReadLogTable(DatabasePath());
  ASSERT_EQ(rows.size(), 1u);
  auto& row = rows[0];
  EXPECT_EQ(row["AppName"], "Payroll");
  EXPECT_EQ(row["Description"], "O'Brien; DROP TABLE tblLog");
  EXPECT_EQ(row["Severity"], "i:3");
  EXPECT_EQ(row["EventCode"], "i:4711");
  EXPECT_EQ(row["AddlText"], "r:2.5");
  EXPECT_EQ(row["EventDate"], "2026-12-25");
  EXPECT_EQ(row["EventTime"], "09:30:00");
  EXPECT_EQ(row["logdate"], "2026-12-08");
  EXPECT_EQ(row["LogTime"], "09:30:00");
  EXPECT_EQ(row["UserComment"], "<null>");
  EXPECT_EQ(row["HelpFile"], "<null>");
  EXPECT_EQ(row["SenderUid"], "<null>");  // an object no connection created stamps nobody
  EXPECT_EQ(row["JournalSeq"], "<null>");  // a process state with no journal stamps none
  EXPECT_EQ(row.size(), 26u);  // the key, 19 fields, the sender's four and the journal's two
  EXPECT_FALSE(std::filesystem::exists(process.homeDir / "Ledgwk.log"));
}

// The object stamps the sender it was made for; fields named like the sender's
// columns, in the set or in a record the client packed itself, change nothing.
TEST_F(LoggingRoadTest, RowsCarryTheSenderTheServerSawWhateverTheFieldsSay) {
  WriteSettings("1");
  recordkit::SenderIdentity peer;
  peer.known = true;
  peer.hasCredentials = true;
  peer.uid = 1234;
  peer.gid = 567;
  peer.pid = 8910;
  Application app(process.state, peer);
  app.WhenStarted().wait(process.ws);

  auto set = app.GetProperties();
  set->Add("SenderUid", Variant::Long(0), true);
  set->Add("SenderName", Variant::String("root"), true);
  FillAndLog(app);

  // A record packed by the client with a sender stamp of its own.
  auto forged = recordkit::PropertySet::NewEventSet();
  forged->Item("AppName")->SetValue(Variant::String("Forger"));
  recordkit::SenderIdentity claimed;
  claimed.known = true;
  claimed.hasCredentials = true;
  claimed.subject = "CN=admin";
  Variant record;
  ASSERT_EQ(process.state.Packer().PackProperties(record, *forged, claimed), 0);
  app.Loggit(record);
  process.RunFor(100 * kj::MILLISECONDS);

  auto rows = ReadLogTable(DatabasePath());
  ASSERT_EQ(rows.size(), 2u);
  for (auto& row : rows) {
    EXPECT_EQ(row["SenderUid"], "i:1234");
    EXPECT_EQ(row["SenderGid"], "i:567");
    EXPECT_EQ(row["SenderPid"], "i:8910");
    EXPECT_EQ(row["SenderName"], "<null>");
  }
  EXPECT_EQ(rows[1]["AppName"], "Forger");
}

// A refused event is entered in the fault log with who sent it, once per burst.
TEST_F(LoggingRoadTest, ARefusedEventIsEnteredWithItsSender) {
  recordkit::SenderIdentity peer;
  peer.known = true;
  peer.hasCredentials = true;
  peer.uid = 1000;
  peer.gid = 1000;
  peer.pid = 4242;
  Application app(process.state, peer);
  app.WhenStarted().wait(process.ws);
  const size_t before = process.Faults().size();

  automation::SafeArray bytes(automation::VarType::Byte, {{0, 3}});
  Variant garbage = Variant::Array(bytes);
  for (int i = 0; i < 3; ++i) EXPECT_THROW(app.Loggit(garbage), automation::AutomationError);
  Variant nothing;
  app.Loggit(nothing);  // a good one ends the burst

  auto faults = process.Faults();
  ASSERT_EQ(faults.size(), before + 2);
  EXPECT_NE(faults[before].find("Loggit refused an event: "), std::string::npos) << faults[before];
  EXPECT_NE(faults[before].find("(uid=1000 gid=1000 pid=4242)"), std::string::npos) << faults[before];
  EXPECT_NE(faults[before + 1].find("(repeated 2 times)"), std::string::npos) << faults[before + 1];
}

TEST_F(LoggingRoadTest, WithNoStoreOpenTheEventLandsInTheTextLog) {
  Application app(process.state);  // no settings file at all
  app.WhenStarted().wait(process.ws);
  EXPECT_FALSE(app.GetReady());
  EXPECT_EQ(app.GetLogMethod(), toDatabase);
  FillAndLog(app);
  process.RunFor(100 * kj::MILLISECONDS);
  auto lines = testing::SplitLines(testing::ReadFile(process.homeDir / "Ledgwk.log"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "Payroll\t\tO'Brien; DROP TABLE tblLog\t3\t4711\t2.5\t\t\t12/25/2026\t9:30:00 AM\t12/8/2026\t"
            "9:30:00 AM\t\t\t\t\t\t\t");
}

TEST_F(LoggingRoadTest, LogMethodChangedByAClientSendsLaterRecordsToTheTextLog) {
  WriteSettings("1");
  Application app(process.state);
  app.WhenStarted().wait(process.ws);
  FillAndLog(app);
  process.RunFor(100 * kj::MILLISECONDS);
  app.SetLogMethod(tofile);
  FillAndLog(app);
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(ReadLogTable(DatabasePath()).size(), 1u);
  EXPECT_EQ(testing::SplitLines(testing::ReadFile(process.homeDir / "Ledgwk.log")).size(), 1u);
}

}  // namespace
}  // namespace ledgerwick
