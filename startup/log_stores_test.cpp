// Opening the network and the local store through stand-in store classes, each step
// failing in turn, and the local purge.

#include "startup/log_stores.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "automation/automation_error.h"
#include "automation/date_scale.h"
#include "recordkit/sqlite/sqlite_store.h"
#include "startup/settings.h"
#include "tests/support/fake_store.h"
#include "tests/support/records.h"
#include "tests/support/test_process.h"

namespace ledgerwick {
namespace {

namespace fs = std::filesystem;

double Date(int year, int month, int day) {
  return *automation::DateSerial({year, month, day});
}

using testing::FakeDSO;
using testing::FakeDTO;

// What a created store answers: numbers the test chose, or raises them.
struct Answers {
  int32_t connect = 0;
  std::optional<int32_t> connectRaises;
  int32_t openTable = 0;
  int32_t execute = 0;
  std::optional<int32_t> executeRaises;
};

// A process state over real settings and home folders and a registry of fakes:
// "Fake.DSO" (answering with `answers`), "Fake.DTO", "Fake.Other" (a DTO, so of the
// wrong kind for a DSO) and "Fake.Plain" (neither).
class LogStoresTest : public ::testing::Test {
 protected:
  LogStoresTest() {
    classes.Register("Fake.DSO", [this] {
      auto dso = std::make_shared<FakeDSO>();
      dso->connectResult = answers.connect;
      dso->connectRaises = answers.connectRaises;
      dso->openTableResult = answers.openTable;
      dso->executeResult = answers.execute;
      dso->executeRaises = answers.executeRaises;
      created.push_back(dso);
      return dso;
    });
    classes.Register("Fake.DTO", [] { return std::make_shared<FakeDTO>(); });
    classes.Register("Fake.Other", [] { return std::make_shared<FakeDTO>(); });
    classes.Register("Fake.Plain", [] { return std::make_shared<automation::Unknown>(); });
  }

  void WriteSettings(const std::string& attachments) {
    process.WriteSettings("[General]\nTextPath=" + process.homeDir.path() + "\n[Attachments]\n" +
                          attachments);
  }

  FakeDSO& LastDso() { return *created.back(); }

  Answers answers;
  std::vector<std::shared_ptr<FakeDSO>> created;

  testing::TestProcess process;  // 8 December 2026
  automation::ManualClock& clock = process.clock;
  automation::ClassRegistry& classes = process.classes;
  ProcessState& state = process.state;
};

// One store's keys and variables, so each case runs against both stores.
struct Store {
  const char* name;
  const char* prefix;  // "Net" or "Local"
  kj::Promise<int32_t> (*open)(ProcessState&);
  std::shared_ptr<recordkit::DSO> ProcessState::*dso;
  std::shared_ptr<recordkit::DTO> ProcessState::*dto;
  bool purges;
};

const Store kNetwork{"Network", "Net", OpenNetworkStore, &ProcessState::NetDSO, &ProcessState::NetDTO, false};
const Store kLocal{"Local", "Local", OpenLocalStore, &ProcessState::LocalDSO, &ProcessState::LocalDTO, true};

struct StepCase {
  const char* name;
  std::string dsoClass;  // empty: the key is left out
  std::string connect;   // empty: the key is left out
  std::string dtoClass;  // empty: the key is left out
  Answers answers;
  int32_t result;
  bool dsoSet;
  bool dtoSet;
  std::vector<std::string> databases;  // what Connect was called with
  bool tableOpened;
};

void PrintTo(const Store& store, std::ostream* os) { *os << store.name; }
void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }

class StoreSteps : public LogStoresTest,
                   public ::testing::WithParamInterface<std::tuple<Store, StepCase>> {};

TEST_P(StoreSteps, StopsAtTheFailingStepLeavingEarlierObjectsSet) {
  const auto& [store, c] = GetParam();
  std::string lines;
  const std::string prefix = store.prefix;
  if (!c.dsoClass.empty()) lines += prefix + "DSO=" + c.dsoClass + "\n";
  if (!c.connect.empty()) lines += prefix + "Connect=" + c.connect + "\n";
  if (!c.dtoClass.empty()) lines += prefix + "DTO=" + c.dtoClass + "\n";
  WriteSettings(lines);
  answers = c.answers;

  EXPECT_EQ(store.open(state).wait(process.ws), c.result);

  EXPECT_EQ(state.*store.dso != nullptr, c.dsoSet);
  EXPECT_EQ(state.*store.dto != nullptr, c.dtoSet);
  if (c.dsoSet) {
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(state.*store.dso, created.front());
    EXPECT_EQ(LastDso().databases, c.databases);
    EXPECT_EQ(LastDso().tables.size(), c.tableOpened ? 1u : 0u);
    const bool purged = store.purges && c.result == 0;
    EXPECT_EQ(LastDso().statements.size(), purged ? 1u : 0u);
  }
  // The other store's variables are never touched.
  const Store& other = store.purges ? kNetwork : kLocal;
  EXPECT_EQ(state.*other.dso, nullptr);
  EXPECT_EQ(state.*other.dto, nullptr);
  // Only start-up reports a store's failure.
  EXPECT_FALSE(fs::exists(process.FaultLogPath()));
  EXPECT_TRUE(process.notices.shown.empty());
}

const std::string kConnect = "PROVIDER=x;DATABASE=logs;USER=y";

Answers Connecting(int32_t number) {
  Answers answers;
  answers.connect = number;
  return answers;
}
Answers ConnectRaising(int32_t number) {
  Answers answers;
  answers.connectRaises = number;
  return answers;
}
Answers OpeningTable(int32_t number) {
  Answers answers;
  answers.openTable = number;
  return answers;
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, StoreSteps,
    ::testing::Combine(
        ::testing::Values(kNetwork, kLocal),
        ::testing::Values(
            StepCase{"Opens", "Fake.DSO", kConnect, "Fake.DTO", {}, 0, true, true, {"logs"}, true},
            StepCase{"NoDsoKey", "", kConnect, "Fake.DTO", {}, 91, false, false, {}, false},
            StepCase{"DsoClassUnknown", "No.Such", kConnect, "Fake.DTO", {}, 429, false, false, {}, false},
            StepCase{"DsoClassOfWrongKind", "Fake.Other", kConnect, "Fake.DTO", {}, 13, false, false, {}, false},
            StepCase{"NoConnectKey", "Fake.DSO", "", "Fake.DTO", {}, 448, true, false, {}, false},
            StepCase{"NoDatabaseItem", "Fake.DSO", "PROVIDER=x;USER=y", "Fake.DTO", {}, 448, true, false, {}, false},
            StepCase{"DatabaseItemWithoutEquals", "Fake.DSO", "DATABASE;USER=u", "Fake.DTO", {}, 448, true, false, {}, false},
            StepCase{"ConnectAnswers5", "Fake.DSO", kConnect, "Fake.DTO", Connecting(5), 5, true, false, {"logs"}, false},
            StepCase{"ConnectRaises57", "Fake.DSO", kConnect, "Fake.DTO", ConnectRaising(57), 57, true, false, {"logs"}, false},
            StepCase{"NoDtoKey", "Fake.DSO", kConnect, "", {}, 429, true, false, {"logs"}, false},
            StepCase{"DtoClassOfWrongKind", "Fake.DSO", kConnect, "Fake.Plain", {}, 13, true, false, {"logs"}, false},
            StepCase{"OpenTableAnswers7", "Fake.DSO", kConnect, "Fake.DTO", OpeningTable(7), 7, true, true, {"logs"}, true},
            StepCase{"EmptyDatabaseValue", "Fake.DSO", "DATABASE=", "Fake.DTO", {}, 0, true, true, {""}, true})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

TEST_F(LogStoresTest, MissingSettingsFileFailsBothStoresWith91) {
  EXPECT_EQ(OpenNetworkStore(state).wait(process.ws), 91);
  EXPECT_EQ(OpenLocalStore(state).wait(process.ws), 91);
  EXPECT_TRUE(created.empty());
}

TEST_F(LogStoresTest, BindsTheCreatedDtoToTblLog) {
  WriteSettings("NetDSO=Fake.DSO\nNetConnect=DATABASE=net\nNetDTO=Fake.DTO\n");
  ASSERT_EQ(OpenNetworkStore(state).wait(process.ws), 0);
  ASSERT_EQ(LastDso().tables, std::vector<std::string>{"tblLog"});
  EXPECT_EQ(LastDso().boundDtos.front(), state.NetDTO.get());
  EXPECT_TRUE(LastDso().statements.empty()) << "the network table is never purged";
}

TEST_F(LogStoresTest, LocalStorePurgesRowsOlderThan14Days) {
  WriteSettings("LocalDSO=Fake.DSO\nLocalConnect=DATABASE=/var/lib/ledgerwick/ledgwk.db\nLocalDTO=Fake.DTO\n");
  ASSERT_EQ(OpenLocalStore(state).wait(process.ws), 0);
  FakeDSO& dso = LastDso();
  EXPECT_EQ(dso.databases, std::vector<std::string>{"/var/lib/ledgerwick/ledgwk.db"});
  ASSERT_EQ(dso.statements.size(), 1u);
  EXPECT_EQ(dso.statements.front(), "DELETE *\r\nFROM tblLog\r\nWHERE logdate < #11/24/2026#");
  EXPECT_EQ(dso.executedOn.front(), state.LocalDTO.get());
  EXPECT_EQ(dso.executeOptions.front(), 0);
  // The optional second argument is left out, as the runtime marks it.
  EXPECT_EQ(dso.optionalArgs.front().type(), automation::VarType::Error);
}

TEST_F(LogStoresTest, PurgeAnsweringNonZeroStillOpensTheStore) {
  WriteSettings("LocalDSO=Fake.DSO\nLocalConnect=DATABASE=db\nLocalDTO=Fake.DTO\n");
  answers.execute = 9;
  EXPECT_EQ(OpenLocalStore(state).wait(process.ws), 0);
  EXPECT_EQ(LastDso().statements.size(), 1u);
}

TEST_F(LogStoresTest, PurgeThatRaisesFailsTheStoreWithBothObjectsSet) {
  WriteSettings("LocalDSO=Fake.DSO\nLocalConnect=DATABASE=db\nLocalDTO=Fake.DTO\n");
  answers.executeRaises = 57;
  EXPECT_EQ(OpenLocalStore(state).wait(process.ws), 57);
  EXPECT_NE(state.LocalDSO, nullptr);
  EXPECT_NE(state.LocalDTO, nullptr);
}

TEST(PurgeStatement, CutoffIs14CalendarDaysBeforeToday) {
  struct Case {
    double today;
    const char* cutoff;
  } cases[] = {
      {Date(2026, 12, 8), "11/24/2026"},
      {Date(2026, 12, 8) + 0.999, "11/24/2026"},  // the time of day does not count
      {Date(2027, 1, 10), "12/27/2026"},
      {Date(2024, 3, 1), "2/16/2024"},
      {Date(1899, 12, 29) - 0.25, "12/15/1899"},  // before the scale's zero day
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PurgeStatement(c.today),
              std::string("DELETE *\r\nFROM tblLog\r\nWHERE logdate < #") + c.cutoff + "#");
  }
}

TEST_F(LogStoresTest, ClockOutsideTheDateScaleFailsThePurge) {
  WriteSettings("LocalDSO=Fake.DSO\nLocalConnect=DATABASE=db\nLocalDTO=Fake.DTO\n");
  clock.Set(1e9);
  EXPECT_EQ(OpenLocalStore(state).wait(process.ws), automation::err::kOverflow);
  EXPECT_TRUE(LastDso().statements.empty());
}

// The purge against a real SQLite local store file.
class SqlitePurgeTest : public LogStoresTest {
 protected:
  SqlitePurgeTest() {
    recordkit::RegisterSqliteClasses(classes);
    WriteSettings("LocalDSO=Recordkit.SqliteDSO\nLocalConnect=DATABASE=" + database +
                  "\nLocalDTO=Recordkit.SqliteDTO\n");
  }

  // Adds one row logged on `day` through the open local store.
  void AddRowLoggedOn(ProcessState& server, double day) {
    automation::Variant record = testing::MakeRecord(
        {{"LogDate", automation::Variant::Date(day)}, {"Description", automation::Variant::String("row")}});
    EXPECT_EQ(server.LocalDSO->AddRecord(*server.LocalDTO, record, "").wait(process.ws), 0);
  }

  // The logdate of every row, oldest first, read with a connection of our own.
  std::vector<std::string> LogDates() {
    sqlite3* db = nullptr;
    std::vector<std::string> dates;
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_stmt* rows = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT logdate FROM tblLog ORDER BY logdate", -1, &rows, nullptr) ==
          SQLITE_OK) {
        while (sqlite3_step(rows) == SQLITE_ROW) {
          dates.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(rows, 0)));
        }
      }
      sqlite3_finalize(rows);
    }
    sqlite3_close(db);
    return dates;
  }

  const std::string database = process.homeDir / "ledgwk.db";
};

TEST_F(SqlitePurgeTest, KeepsRowsFromTheCutoffOnAndDeletesOlderOnes) {
  // An earlier run of the server, on 1 November, logged these rows.
  clock.Set(Date(2026, 11, 1));
  ASSERT_EQ(OpenLocalStore(state).wait(process.ws), 0);
  for (int day : {22, 23, 24, 25}) AddRowLoggedOn(state, Date(2026, 11, day));
  AddRowLoggedOn(state, Date(2026, 12, 8));
  ASSERT_EQ(LogDates().size(), 5u);

  // The server starts again on 8 December 2026.
  clock.Set(Date(2026, 12, 8) + 0.75);
  ProcessState next{process.Env()};
  ASSERT_EQ(OpenLocalStore(next).wait(process.ws), 0);

  EXPECT_EQ(LogDates(), (std::vector<std::string>{"2026-11-24", "2026-11-25", "2026-12-08"}));
  const std::vector<std::string> faults = process.Faults();
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0], "Removed 2 rows logged before 11/24/2026 from the local tblLog (rows are kept 14 days)");

  // The next start finds nothing to remove and enters nothing.
  ProcessState third{process.Env()};
  ASSERT_EQ(OpenLocalStore(third).wait(process.ws), 0);
  EXPECT_EQ(process.Faults().size(), 1u);
}

TEST(PurgeMessage, CountsTheRowsAndNamesTheCutoff) {
  EXPECT_EQ(PurgeMessage(1, Date(2027, 1, 10) + 0.5),
            "Removed 1 row logged before 12/27/2026 from the local tblLog (rows are kept 14 days)");
}

}  // namespace
}  // namespace ledgerwick
