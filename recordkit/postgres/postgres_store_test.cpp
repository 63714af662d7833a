#include "recordkit/postgres/postgres_store.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kj/async-io.h>
#include <kj/timer.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include "automation/clock.h"
#include "automation/date_scale.h"
#include "automation/class_registry.h"
#include "recordkit/postgres/postgres_dso.h"
#include "recordkit/postgres/postgres_dto.h"
#include "recordkit/sqlite/sqlite_dso.h"
#include "recordkit/sqlite/sqlite_dto.h"
#include "tests/support/error_of.h"
#include "tests/support/pg_cluster.h"
#include "tests/support/records.h"
#include "tests/support/temp_dir.h"

namespace recordkit {
namespace {

using automation::Variant;
using ledgerwick::testing::MakeRecord;
using ledgerwick::testing::PgCluster;

double Day(int year, int month, int day) { return *automation::DateSerial({year, month, day}); }
double Clock(int hour, int minute, int second) { return automation::TimeSerial({hour, minute, second}); }

using Row = std::map<std::string, std::optional<std::string>>;

// The test's own, plain blocking connection, to set up and to read back.
class Peek {
 public:
  explicit Peek(const std::string& conninfo) : connection_(PQconnectdb(conninfo.c_str())) {
    if (PQstatus(connection_) != CONNECTION_OK) ADD_FAILURE() << PQerrorMessage(connection_);
  }
  ~Peek() { PQfinish(connection_); }

  void Exec(const std::string& sql) {
    PGresult* result = PQexec(connection_, sql.c_str());
    const auto status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) ADD_FAILURE() << sql << ": " << PQerrorMessage(connection_);
    PQclear(result);
  }

  std::vector<Row> Rows(const std::string& sql) {
    std::vector<Row> rows;
    PGresult* result = PQexec(connection_, sql.c_str());
    if (PQresultStatus(result) != PGRES_TUPLES_OK) ADD_FAILURE() << sql << ": " << PQerrorMessage(connection_);
    for (int r = 0; r < PQntuples(result); ++r) {
      Row row;
      for (int c = 0; c < PQnfields(result); ++c) {
        row[PQfname(result, c)] =
            PQgetisnull(result, r, c) ? std::nullopt : std::optional<std::string>(PQgetvalue(result, r, c));
      }
      rows.push_back(std::move(row));
    }
    PQclear(result);
    return rows;
  }

 private:
  PGconn* connection_;
};

class PostgresStoreTest : public ::testing::Test {
 protected:
  ~PostgresStoreTest() noexcept override = default;

  static void SetUpTestSuite() { cluster_ = new PgCluster(); }
  static void TearDownTestSuite() {
    delete cluster_;
    cluster_ = nullptr;
  }

  // Every test writes into a database of its own.
  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    database_ = "t_" + std::to_string(++databases_);
    Peek(cluster_->ConnInfo()).Exec("CREATE DATABASE " + database_);
    (void)name;
  }

  std::string ConnInfo() const { return cluster_->ConnInfo(database_); }
  Peek Look() const { return Peek(ConnInfo()); }

  void Open(PostgresDSO& dso, PostgresDTO& dto) {
    ASSERT_EQ(dso.Connect(ConnInfo()).wait(io_.waitScope), 0) << dso.lastError();
    ASSERT_EQ(dso.OpenTable(dto, "tblLog").wait(io_.waitScope), 0) << dso.lastError();
  }

  TakeResult Add(PostgresDSO& dso, PostgresDTO& dto, const std::vector<Variant>& records) {
    return dso.AddRecords(dto, kj::arrayPtr(records.data(), records.size())).wait(io_.waitScope);
  }

  // Runs the loop until `done` holds, watching the sockets; fails after a while.
  template <typename Done>
  void RunUntil(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the loop never got there";
      io_.waitScope.poll();
    }
  }

  static PgCluster* cluster_;
  static int databases_;
  kj::AsyncIoContext io_ = kj::setupAsyncIo();
  kj::TimerImpl timer_{kj::origin<kj::TimePoint>()};
  automation::ManualClock clock_{Day(2026, 12, 10) + Clock(9, 30, 0)};
  PostgresDSO::Environment env_{io_.unixEventPort, timer_, io_.provider->getNetwork(), clock_};
  std::string database_;
};

PgCluster* PostgresStoreTest::cluster_ = nullptr;
int PostgresStoreTest::databases_ = 0;

TEST_F(PostgresStoreTest, RecordLandsTypedAndExactlyAsGiven) {
  PostgresDSO dso(env_);
  PostgresDTO dto;
  Open(dso, dto);
  const std::string hostile[] = {
      "O'Brien; DROP TABLE tblLog; --",
      "back\\slash \\x00 \\\\ and $1 ? %s",
      std::string("\x01\x02\x1b[31m\x7f looks binary"),
      std::string(100000, 'x') + "end",
      "tab\tline\r\nbreak",
  };
  std::vector<Variant> records;
  for (const auto& text : hostile) {
    records.push_back(MakeRecord({{"AppName", Variant::String("Payroll")},
                                  {"Description", Variant::String(text)},
                                  {"Severity", Variant::Integer(3)},
                                  {"EventCode", Variant::Long(4711)},
                                  {"DetailLevel", Variant::Double(2.5)},
                                  {"HelpContext", Variant::Boolean(true)},
                                  {"EventDate", Variant::Date(Day(2026, 12, 7) + Clock(14, 30, 15))},
                                  {"EventTime", Variant::String("noonish")},
                                  {"LogDate", Variant::Date(Day(2026, 12, 10))},
                                  {"LogTime", Variant::Date(Clock(9, 30, 1))}}));
  }
  const TakeResult result = Add(dso, dto, records);
  EXPECT_EQ(result.taken, records.size()) << result.status.description;
  EXPECT_TRUE(result.status.ok());

  auto rows = Look().Rows(
      "SELECT \"AppName\", \"Description\", \"Severity\", \"EventCode\", \"DetailLevel\", \"HelpContext\", "
      "\"EventDate\", \"EventTime\", logdate, \"LogTime\", \"UserName\", pg_typeof(logdate)::text AS dt, "
      "pg_typeof(\"LogTime\")::text AS tt FROM tblLog ORDER BY id");
  ASSERT_EQ(rows.size(), std::size(hostile));
  for (size_t i = 0; i < rows.size(); ++i) {
    Row& row = rows[i];
    EXPECT_EQ(row["Description"], hostile[i]) << i;
    EXPECT_EQ(row["AppName"], "Payroll");
    EXPECT_EQ(row["Severity"], "3");
    EXPECT_EQ(row["EventCode"], "4711");
    EXPECT_EQ(row["DetailLevel"], "2.5");
    EXPECT_EQ(row["HelpContext"], "-1");
    EXPECT_EQ(row["EventDate"], "2026-12-07 14:30:15");  // the client's time of day is kept
    EXPECT_EQ(row["EventTime"], "noonish");
    EXPECT_EQ(row["logdate"], "2026-12-10");
    EXPECT_EQ(row["LogTime"], "09:30:01");
    EXPECT_EQ(row["UserName"], std::nullopt);
    EXPECT_EQ(row["dt"], "date");
    EXPECT_EQ(row["tt"], "time without time zone");
  }
}

TEST_F(PostgresStoreTest, ExistingTableIsUsedWithTheColumnsItHas) {
  Look().Exec("CREATE TABLE tblLog (id serial PRIMARY KEY, \"AppName\" varchar(40), \"Severity\" integer, "
              "logdate date, \"Remark\" text)");
  PostgresDSO dso(env_);
  PostgresDTO dto;
  Open(dso, dto);
  const TakeResult result = Add(dso, dto,
                                {MakeRecord({{"AppName", Variant::String("Ledger")},
                                             {"Severity", Variant::Integer(4)},
                                             {"Description", Variant::String("not kept: no column")},
                                             {"LogDate", Variant::Date(Day(2026, 12, 10))}})});
  EXPECT_EQ(result.taken, 1u) << result.status.description;
  auto rows = Look().Rows("SELECT \"AppName\", \"Severity\" + 1 AS next, logdate, \"Remark\" FROM tblLog");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["AppName"], "Ledger");
  EXPECT_EQ(rows[0]["next"], "5");
  EXPECT_EQ(rows[0]["logdate"], "2026-12-10");
  EXPECT_EQ(rows[0]["Remark"], std::nullopt);
}

// A record written again after a restart is skipped and counted as taken; a table
// from before rows carried the journal stamp gets its columns and index.
TEST_F(PostgresStoreTest, ARecordStoredAlreadyUnderItsJournalStampIsSkippedAndCountedAsTaken) {
  Look().Exec("CREATE TABLE tblLog (id serial PRIMARY KEY, \"AppName\" text)");
  PostgresDSO dso(env_);
  PostgresDTO dto;
  Open(dso, dto);
  auto stamped = &ledgerwick::testing::StampedRecord;
  TakeResult took = Add(dso, dto, {stamped("a", 7, 1), stamped("b", 7, 2)});
  ASSERT_EQ(took.taken, 2u) << took.status.description;
  took = Add(dso, dto, {stamped("a", 7, 1), stamped("b", 7, 2), stamped("c", 7, 3), stamped("other", 8, 1)});
  EXPECT_EQ(took.taken, 4u) << took.status.description;
  took = Add(dso, dto, {stamped("plain", 0, 0), stamped("plain", 0, 0)});
  EXPECT_EQ(took.taken, 2u) << took.status.description;
  auto rows = Look().Rows("SELECT \"AppName\", \"JournalSeq\" FROM tblLog ORDER BY id");
  ASSERT_EQ(rows.size(), 6u);
  const char* expected[] = {"a", "b", "c", "other", "plain", "plain"};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(rows[i]["AppName"], expected[i]) << i;
  EXPECT_EQ(rows[2]["JournalSeq"], "3");
  EXPECT_EQ(rows[4]["JournalSeq"], std::nullopt);
}

TEST_F(PostgresStoreTest, RunStopsBeforeTheFirstRecordThatCannotBeStored) {
  PostgresDSO dso(env_);
  PostgresDTO dto;
  Open(dso, dto);
  auto text = [](const std::string& description) { return MakeRecord({{"Description", Variant::String(description)}}); };
  const struct {
    const char* what;
    Variant bad;
    int32_t number;
  } cases[] = {
      // Refused by the server: the run is rolled back, and the records before it
      // go in again.
      {"invalid UTF-8", text("caf\xe9"), 13},
      {"a text a date column cannot take", MakeRecord({{"LogDate", Variant::String("soon")}}), 13},
      // Refused before anything is sent.
      {"a NUL character", text(std::string("nul\0inside", 10)), 13},
      {"not a packed record", Variant::String("just text"), 13},
  };
  size_t stored = 0;
  for (const auto& c : cases) {
    std::vector<Variant> run = {text("first"), text("second"), c.bad, text("after")};
    const TakeResult result = Add(dso, dto, run);
    EXPECT_EQ(result.taken, 2u) << c.what;
    EXPECT_EQ(result.status.number, c.number) << c.what << ": " << result.status.description;
    EXPECT_FALSE(result.raised) << c.what;
    stored += 2;
    // The record after it goes in with the next run, as the writer sends it.
    EXPECT_EQ(Add(dso, dto, {run[3]}).taken, 1u) << c.what;
    stored += 1;
  }
  auto rows = Look().Rows("SELECT \"Description\" FROM tblLog ORDER BY id");
  ASSERT_EQ(rows.size(), stored);
  for (size_t i = 0; i < rows.size(); i += 3) {
    EXPECT_EQ(rows[i]["Description"], "first");
    EXPECT_EQ(rows[i + 1]["Description"], "second");
    EXPECT_EQ(rows[i + 2]["Description"], "after");
  }
}

TEST_F(PostgresStoreTest, BrokenConnectionTakesNothingAndReconnectsByItself) {
  PostgresDSO dso(env_);
  PostgresDTO dto;
  Open(dso, dto);
  auto event = [](int i) { return MakeRecord({{"EventCode", Variant::Long(i)}}); };
  ASSERT_EQ(Add(dso, dto, {event(1), event(2)}).taken, 2u);

  cluster_->StopImmediately();
  TakeResult lost = Add(dso, dto, {event(3), event(4)});
  EXPECT_EQ(lost.taken, 0u);
  EXPECT_EQ(lost.status.number, 57) << lost.status.description;
  StoreHealth health = dso.Health();
  EXPECT_FALSE(health.open);
  EXPECT_EQ(health.downSince, clock_.Now());
  EXPECT_FALSE(health.lastError.empty());

  // While it is down a run is answered at once, without a word to the server.
  std::vector<Variant> waiting = {event(3), event(4)};
  auto atOnce = dso.AddRecords(dto, kj::arrayPtr(waiting.data(), waiting.size()));
  ASSERT_TRUE(atOnce.poll(io_.waitScope));
  EXPECT_EQ(atOnce.wait(io_.waitScope).taken, 0u);

  // A try while the server is still down fails; the next waits twice as long.
  timer_.advanceTo(timer_.now() + kPgFirstRetry);
  RunUntil([&] { return dso.lastError() != health.lastError; });
  EXPECT_FALSE(dso.Health().open);

  cluster_->Start();
  timer_.advanceTo(timer_.now() + kPgFirstRetry);
  io_.waitScope.poll();
  EXPECT_FALSE(dso.Health().open) << "tried again before its wait was over";
  timer_.advanceTo(timer_.now() + kPgFirstRetry);
  RunUntil([&] { return dso.Health().open; });

  // The insert is prepared again on the new connection.
  EXPECT_EQ(Add(dso, dto, waiting).taken, 2u) << dso.lastError();
  auto rows = Look().Rows("SELECT \"EventCode\" FROM tblLog ORDER BY id");
  ASSERT_EQ(rows.size(), 4u);
  for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i]["EventCode"], std::to_string(i + 1));
}

// A Unix socket that takes connections into its backlog and never answers.
class SilentServer {
 public:
  explicit SilentServer(const std::string& folder) {
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = folder + "/.s.PGSQL.5432";
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 8) != 0) {
      ADD_FAILURE() << "cannot listen on " << path;
    }
  }
  ~SilentServer() { close(fd_); }

 private:
  int fd_ = -1;
};

TEST_F(PostgresStoreTest, ConnectFailuresAnswerTheirNumbers) {
  ledgerwick::testing::TempDir empty;
  const struct {
    std::string conninfo;
    int32_t number;
    std::string mentions = "";
  } cases[] = {
      {"host=" + empty.path() + " dbname=postgres", 57},           // no server there
      {cluster_->ConnInfo("no_such_database"), 57},               // refused by the server
      // Looked up before libpq is called, and reached by its address under its name.
      {"host=localhost port=1 dbname=postgres", 57, "\"localhost\" port 1: Connection refused"},
      {"host='" + empty.path(), 5},                               // not a connection string
      {"postgresql://%zz@/", 5},                                  // not a URI
  };
  for (const auto& c : cases) {
    PostgresDSO dso(env_);
    EXPECT_EQ(dso.Connect(c.conninfo).wait(io_.waitScope), c.number) << c.conninfo;
    EXPECT_FALSE(dso.lastError().empty()) << c.conninfo;
    EXPECT_NE(dso.lastError().find(c.mentions), std::string::npos) << dso.lastError();
    EXPECT_FALSE(dso.isConnected());
    PostgresDTO dto;
    EXPECT_EQ(dso.OpenTable(dto, "tblLog").wait(io_.waitScope), 91);
  }
}

TEST_F(PostgresStoreTest, ConnectGivesUpAfterItsTimeout) {
  ledgerwick::testing::TempDir folder;
  SilentServer silent(folder.path());
  for (auto [extra, seconds] : {std::pair<std::string, int>{"", 10}, {" connect_timeout=3", 3}}) {
    PostgresDSO dso(env_);
    auto connecting = dso.Connect("host=" + folder.path() + " dbname=postgres" + extra);
    timer_.advanceTo(timer_.now() + (seconds - 1) * kj::SECONDS);
    EXPECT_FALSE(connecting.poll(io_.waitScope)) << extra;
    timer_.advanceTo(timer_.now() + 1 * kj::SECONDS);
    EXPECT_EQ(connecting.wait(io_.waitScope), 57) << extra;
    EXPECT_NE(dso.lastError().find(std::to_string(seconds) + " s"), std::string::npos) << dso.lastError();
  }
}

TEST_F(PostgresStoreTest, OpenTableAndExecuteRefuseWhatTheyCannotDo) {
  PostgresDSO dso(env_);
  PostgresDTO dto;
  EXPECT_EQ(dso.OpenTable(dto, "tblLog").wait(io_.waitScope), 91);  // not connected
  ASSERT_EQ(dso.Connect(ConnInfo()).wait(io_.waitScope), 0);
  EXPECT_EQ(dso.OpenTable(dto, "tbl\"Log").wait(io_.waitScope), 5);
  EXPECT_EQ(dso.Execute(dto, Variant(), "DELETE * FROM tblLog", 0).wait(io_.waitScope), 91);  // not bound
  class OtherDTO : public DTO {} other;
  EXPECT_EQ(ledgerwick::testing::ErrorOf([&] { dso.OpenTable(other, "tblLog"); }), 13);
  EXPECT_TRUE(dso.AddRecords(other, {}).wait(io_.waitScope).raised);
}

TEST_F(PostgresStoreTest, ExecuteRunsThePurgeStatement) {
  PostgresDSO dso(env_);
  PostgresDTO dto;
  Open(dso, dto);
  std::vector<Variant> records;
  for (int day : {22, 23, 24, 25}) records.push_back(MakeRecord({{"LogDate", Variant::Date(Day(2026, 11, day))}}));
  ASSERT_EQ(Add(dso, dto, records).taken, 4u);
  EXPECT_EQ(dso.Execute(dto, Variant(), "DELETE *\r\nFROM tblLog\r\nWHERE logdate < #11/24/2026#", 0)
                .wait(io_.waitScope),
            0)
      << dso.lastError();
  auto rows = Look().Rows("SELECT logdate FROM tblLog ORDER BY logdate");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["logdate"], "2026-11-24");
  EXPECT_EQ(rows[1]["logdate"], "2026-11-25");
  EXPECT_EQ(dso.Execute(dto, Variant(), "DELETE * FROM tblLog WHERE logdate < #2/30/2026#", 0)
                .wait(io_.waitScope),
            5);
}

// Every event column of the one row in a SQLite file, as text.
Row SqliteRowAsText(const std::string& path) {
  Row row;
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT * FROM tblLog", -1, &statement, nullptr), SQLITE_OK);
  EXPECT_EQ(sqlite3_step(statement), SQLITE_ROW);
  for (int c = 0; c < sqlite3_column_count(statement); ++c) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
    row[sqlite3_column_name(statement, c)] = text == nullptr ? std::nullopt : std::optional<std::string>(text);
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return row;
}

TEST_F(PostgresStoreTest, SameEventReadsTheSameFromEitherStore) {
  const Variant event = MakeRecord({{"AppName", Variant::String("Payroll")},
                                    {"AppVersion", Variant::String("10.0.3")},
                                    {"Description", Variant::String("it's \"quoted\"; and \\ back")},
                                    {"Severity", Variant::Integer(3)},
                                    {"EventCode", Variant::Long(-4711)},
                                    {"AddlText", Variant::Single(0.5f)},
                                    {"EventData", Variant::Currency(12345)},
                                    {"DetailLevel", Variant::Double(0.1)},
                                    {"HelpContext", Variant::Boolean(false)},
                                    {"UserName", Variant::Null()},
                                    {"EventDate", Variant::String("12/25/2026")},
                                    {"EventTime", Variant::Date(Day(2026, 12, 24) + Clock(23, 59, 58))},
                                    {"LogDate", Variant::Date(Day(2026, 12, 10))},
                                    {"LogTime", Variant::Date(Clock(9, 30, 1))},
                                    {"SubName", Variant::Date(Day(2026, 1, 2))}});
  ledgerwick::testing::TempDir folder;
  SqliteDSO sqlite;
  SqliteDTO sqliteTable;
  ASSERT_EQ(sqlite.ConnectNow(folder / "local.db"), 0);
  ASSERT_EQ(sqlite.OpenTableNow(sqliteTable, "tblLog"), 0);
  ASSERT_EQ(sqlite.AddRecord(sqliteTable, event, "").wait(io_.waitScope), 0) << sqlite.lastError();

  PostgresDSO postgres(env_);
  PostgresDTO postgresTable;
  Open(postgres, postgresTable);
  ASSERT_EQ(Add(postgres, postgresTable, {event}).taken, 1u);

  Row local = SqliteRowAsText(folder / "local.db");
  auto network = Look().Rows("SELECT * FROM tblLog");
  ASSERT_EQ(network.size(), 1u);
  for (const LogColumn& column : EventColumns()) {
    EXPECT_EQ(network[0][column.name], local[column.name]) << column.name;
  }
}

TEST(PostgresClasses, RegistryCreatesBothClasses) {
  auto io = kj::setupAsyncIo();
  kj::TimerImpl timer{kj::origin<kj::TimePoint>()};
  automation::ManualClock clock{0};
  automation::ClassRegistry registry;
  RegisterPostgresClasses(registry, {io.unixEventPort, timer, io.provider->getNetwork(), clock});
  EXPECT_NE(registry.CreateAs<DSO>("recordkit.postgresdso"), nullptr);
  EXPECT_NE(registry.CreateAs<DTO>("Recordkit.PostgresDTO"), nullptr);
}

}  // namespace
}  // namespace recordkit
