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
  EXPECT_EQ(process.Faults(), std::vector<std::string>{"Object variable or With block variable not set: Create NetDSO"});

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
  EXPECT_EQ(row.size(), 20u);  // the key and 19 fields
  EXPECT_FALSE(std::filesystem::exists(process.homeDir / "Ledgwk.log"));
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
