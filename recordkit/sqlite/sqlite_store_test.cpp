#include "recordkit/sqlite/sqlite_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kj/async.h>
#include <sqlite3.h>

#include "automation/automation_error.h"
#include "automation/conversions.h"
#include "automation/date_scale.h"
#include "recordkit/property_packer.h"
#include "recordkit/property_set.h"
#include "recordkit/sqlite/fault_vfs.h"
#include "recordkit/sqlite/sqlite_dso.h"
#include "recordkit/sqlite/sqlite_dto.h"
#include "tests/support/error_of.h"
#include "tests/support/records.h"
#include "tests/support/temp_dir.h"

namespace recordkit {
namespace {

namespace fs = std::filesystem;
using automation::Variant;

constexpr const char* kPurge = "DELETE *\r\nFROM tblLog\r\nWHERE logdate < #11/24/2026#";

double Day(int year, int month, int day) { return *automation::DateSerial({year, month, day}); }
double Clock(int hour, int minute, int second) { return automation::TimeSerial({hour, minute, second}); }

// A packed record of a new event set with the given fields set.
Variant Record(const std::map<std::string, Variant>& fields) {
  auto set = PropertySet::NewEventSet();
  for (const auto& [name, value] : fields) set->Item(name)->SetValue(value);
  Variant data;
  EXPECT_EQ(PropertyPacker().PackProperties(data, *set), 0);
  return data;
}

Variant LoggedOn(double day) {
  return Record({{"AppName", Variant::String("Ledger")}, {"LogDate", Variant::Date(day)}});
}

// One stored value as the test's own connection reads it back.
struct Cell {
  int type = SQLITE_NULL;
  std::string text;
  double real = 0;
  int64_t integer = 0;
};
using Row = std::map<std::string, Cell>;

// Reads the database with a connection of its own, as another process would.
std::vector<Row> Query(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::vector<Row> rows;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << path;
    sqlite3_close(db);
    return rows;
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sqlite3_errmsg(db) << " in " << sql;
  }
  while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
    Row row;
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      Cell cell;
      cell.type = sqlite3_column_type(statement, i);
      if (cell.type != SQLITE_NULL) {
        cell.text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
        cell.real = sqlite3_column_double(statement, i);
        cell.integer = sqlite3_column_int64(statement, i);
      }
      row[sqlite3_column_name(statement, i)] = cell;
    }
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

size_t RowCount(const std::string& path) {
  auto rows = Query(path, "SELECT COUNT(*) AS n FROM tblLog");
  return rows.empty() ? 0 : static_cast<size_t>(rows[0]["n"].integer);
}

class OtherDTO : public DTO {};

class SqliteStoreTest : public ::testing::Test {
 protected:

  // A DSO connected to `path_` and a DTO bound to tblLog.
  void Open(SqliteDSO& dso, SqliteDTO& dto) {
    ASSERT_EQ(dso.ConnectNow(path_), 0) << dso.lastError();
    ASSERT_EQ(dso.OpenTableNow(dto, "tblLog"), 0) << dso.lastError();
  }

  int32_t Add(DSO& dso, DTO& dto, const Variant& record) {
    return dso.AddRecord(dto, record, "").wait(loop_->waitScope);
  }

  // Runs `sql` on `path_` through a connection of the test's own, as an older
  // version or another program would have left the file.
  void Prepare(const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

  // kj's loop may throw from its destructor, which a fixture's may not: hold it apart.
  struct Loop {
    kj::EventLoop loop;
    kj::WaitScope waitScope{loop};
  };
  std::unique_ptr<Loop> loop_ = std::make_unique<Loop>();
  ledgerwick::testing::TempDir dir_;
  std::string path_ = dir_ / "local.db";
};

TEST_F(SqliteStoreTest, ConnectCreatesTheFileInWalMode) {
  SqliteDSO dso;
  ASSERT_FALSE(fs::exists(path_));
  EXPECT_EQ(dso.ConnectNow(path_), 0) << dso.lastError();
  EXPECT_TRUE(dso.isConnected());
  EXPECT_TRUE(fs::exists(path_));
  auto mode = Query(path_, "PRAGMA journal_mode");
  ASSERT_EQ(mode.size(), 1u);
  EXPECT_EQ(mode[0]["journal_mode"].text, "wal");
}

// A database that lives only in the connection's memory would lose every record it
// took; each spelling of one is refused, and no file is made for it.
TEST_F(SqliteStoreTest, ConnectToAnInMemoryDatabaseAnswers52AndStaysUnconnected) {
  const std::string cases[] = {":memory:", "file::memory:", "file::memory:?cache=shared",
                               "file:" + (dir_ / "m.db") + "?mode=memory", "file:?mode=memory"};
  for (const std::string& database : cases) {
    SqliteDSO dso;
    ASSERT_EQ(dso.ConnectNow(path_), 0);
    EXPECT_EQ(dso.ConnectNow(database), 52) << database;
    EXPECT_FALSE(dso.isConnected()) << database;
    EXPECT_NE(dso.lastError().find("in-memory"), std::string::npos) << database << ": " << dso.lastError();
    SqliteDTO dto;
    EXPECT_EQ(dso.OpenTableNow(dto, "tblLog"), 91) << database;
  }
  EXPECT_FALSE(fs::exists(dir_ / "m.db"));
  // A file named through a URI is a file like any other.
  SqliteDSO dso;
  EXPECT_EQ(dso.ConnectNow("file:" + (dir_ / "u.db")), 0) << dso.lastError();
  EXPECT_TRUE(fs::exists(dir_ / "u.db"));
}

TEST_F(SqliteStoreTest, ConnectToAFileItCannotOpenAnswersNonZeroAndStaysUnconnected) {
  std::ofstream(dir_ / "garbage.db") << "this is not a SQLite database, not even close to one......"
                                        "......................................................";
  const struct {
    std::string database;
    int32_t number;  // 0: any non-zero number
  } cases[] = {
      {dir_ / "missing/dir/x.db", 76},
      {dir_.path(), 0},  // a folder
      {dir_ / "garbage.db", 0},
      {"", 52},
  };
  for (const auto& c : cases) {
    SqliteDSO dso;
    ASSERT_EQ(dso.ConnectNow(path_), 0);  // connected before: the failed Connect leaves it unconnected
    const int32_t number = dso.ConnectNow(c.database);
    if (c.number != 0) {
      EXPECT_EQ(number, c.number) << c.database;
    } else {
      EXPECT_NE(number, 0) << c.database;
    }
    EXPECT_FALSE(dso.isConnected()) << c.database;
    EXPECT_FALSE(dso.lastError().empty()) << c.database;
    SqliteDTO dto;
    EXPECT_EQ(dso.OpenTableNow(dto, "tblLog"), 91) << c.database;
  }
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(SqliteStoreTest, OpenTableCreatesTheLogTableWithTheEventColumns) {
  SqliteDSO dso;
  SqliteDTO dto;
  Open(dso, dto);

  auto columns = Query(path_, "PRAGMA table_info(tblLog)");
  ASSERT_EQ(columns.size(), 26u);  // the key, 19 event fields, the sender's four, the journal's two
  EXPECT_EQ(columns[0]["name"].text, "id");
  EXPECT_EQ(columns[0]["type"].text, "INTEGER");
  EXPECT_EQ(columns[0]["pk"].integer, 1);
  for (size_t i = 0; i < 19; ++i) {
    const std::string field = kEventFieldNames[i];
    const std::string name = columns[i + 1]["name"].text;
    const std::string type = columns[i + 1]["type"].text;
    if (field == "LogDate") {
      EXPECT_EQ(name, "logdate");
    } else {
      EXPECT_EQ(name, field);
    }
    const bool dateOrTime =
        field == "LogDate" || field == "LogTime" || field == "EventDate" || field == "EventTime";
    EXPECT_EQ(type, dateOrTime ? "TEXT" : "") << field;
  }
  const char* senderColumns[] = {"SenderUid", "SenderGid", "SenderPid", "SenderName"};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(columns[20 + i]["name"].text, senderColumns[i]);
  EXPECT_EQ(columns[24]["name"].text, "JournalId");
  EXPECT_EQ(columns[25]["name"].text, "JournalSeq");
}

TEST_F(SqliteStoreTest, OpenTableKeepsAnExistingTableAndItsRows) {
  {
    SqliteDSO dso;
    SqliteDTO dto;
    Open(dso, dto);
    ASSERT_EQ(Add(dso, dto, LoggedOn(Day(2026, 12, 8))), 0);
    ASSERT_EQ(dso.OpenTableNow(dto, "tblLog"), 0);  // again on the same DSO
  }
  SqliteDSO dso;
  SqliteDTO dto;
  Open(dso, dto);
  EXPECT_EQ(Query(path_, "PRAGMA table_info(tblLog)").size(), 26u);
  EXPECT_EQ(RowCount(path_), 1u);
  ASSERT_EQ(Add(dso, dto, LoggedOn(Day(2026, 12, 8))), 0);
  EXPECT_EQ(RowCount(path_), 2u);
}

TEST_F(SqliteStoreTest, OpenTableAllowsOnlyIdentifierSafeNames) {
  SqliteDSO dso;
  ASSERT_EQ(dso.ConnectNow(path_), 0);
  for (const char* table : {"tblLog2", "log_2026", "_x"}) {
    SqliteDTO dto;
    EXPECT_EQ(dso.OpenTableNow(dto, table), 0) << table;
  }
  for (const char* table : {"", "tbl Log", "tblLog; DROP TABLE tblLog", "tbl\"Log", "tbl-log", "tblLög"}) {
    SqliteDTO dto;
    EXPECT_EQ(dso.OpenTableNow(dto, table), 5) << table;
    EXPECT_EQ(dso.AddRecord(dto, LoggedOn(Day(2026, 12, 8)), "").wait(loop_->waitScope), 91);
  }
}

TEST_F(SqliteStoreTest, AddRecordStoresEveryFieldInItsColumn) {
  SqliteDSO dso;
  SqliteDTO dto;
  Open(dso, dto);
  const Variant commented = Variant::Date(Day(2026, 11, 24) + Clock(9, 8, 7));
  const Variant record = Record({
      {"AppName", Variant::String("Ledger")},
      {"AppVersion", Variant::String("10.0")},
      {"Description", Variant::String("Disk nearly full")},
      {"Severity", Variant::Integer(3)},
      {"EventCode", Variant::Long(70000)},
      {"AddlText", Variant::Null()},
      {"EventData", Variant()},
      {"UserName", Variant::String("ana")},
      {"EventDate", Variant::Date(Day(2026, 12, 7))},
      {"EventTime", Variant::Date(Clock(14, 30, 15))},
      {"LogDate", Variant::Date(Day(2026, 12, 8) + Clock(1, 2, 3))},
      {"LogTime", Variant::Date(Day(2026, 12, 8) + Clock(23, 59, 59))},
      {"HelpFile", Variant::Currency(12345)},
      {"HelpContext", Variant::Double(2.5)},
      {"SubName", Variant::Single(0.25f)},
      {"ModuleName", Variant::Boolean(true)},
      {"UserDescription", Variant::Byte(200)},
      {"UserComment", commented},
      {"DetailLevel", Variant::Boolean(false)},
  });
  ASSERT_EQ(Add(dso, dto, record), 0) << dso.lastError();

  auto rows = Query(path_, "SELECT * FROM tblLog");
  ASSERT_EQ(rows.size(), 1u);
  Row& row = rows[0];
  const struct {
    const char* column;
    int type;
    std::string text;
  } expected[] = {
      {"AppName", SQLITE_TEXT, "Ledger"},
      {"AppVersion", SQLITE_TEXT, "10.0"},
      {"Description", SQLITE_TEXT, "Disk nearly full"},
      {"Severity", SQLITE_INTEGER, "3"},
      {"EventCode", SQLITE_INTEGER, "70000"},
      {"AddlText", SQLITE_NULL, ""},
      {"EventData", SQLITE_NULL, ""},
      {"UserName", SQLITE_TEXT, "ana"},
      {"EventDate", SQLITE_TEXT, "2026-12-07"},
      {"EventTime", SQLITE_TEXT, "14:30:15"},
      {"logdate", SQLITE_TEXT, "2026-12-08"},
      {"LogTime", SQLITE_TEXT, "23:59:59"},
      {"HelpFile", SQLITE_FLOAT, "1.2345"},
      {"HelpContext", SQLITE_FLOAT, "2.5"},
      {"SubName", SQLITE_FLOAT, "0.25"},
      {"ModuleName", SQLITE_INTEGER, "-1"},
      {"UserDescription", SQLITE_INTEGER, "200"},
      {"UserComment", SQLITE_TEXT, automation::ToText(commented)},
      {"DetailLevel", SQLITE_INTEGER, "0"},
  };
  for (const auto& e : expected) {
    ASSERT_EQ(row.count(e.column), 1u) << e.column;
    EXPECT_EQ(row[e.column].type, e.type) << e.column;
    EXPECT_EQ(row[e.column].text, e.text) << e.column;
  }
  EXPECT_EQ(row["id"].type, SQLITE_INTEGER);
}

TEST_F(SqliteStoreTest, AddRecordReadsDateAndTimeTexts) {
  SqliteDSO dso;
  SqliteDTO dto;
  Open(dso, dto);
  const struct {
    const char* field;
    const char* column;
    Variant value;
    int type;
    const char* stored;
  } cases[] = {
      {"EventDate", "EventDate", Variant::String("12/25/2026"), SQLITE_TEXT, "2026-12-25"},
      {"EventDate", "EventDate", Variant::String("01/01/1900"), SQLITE_TEXT, "1900-01-01"},
      {"LogDate", "logdate", Variant::String("2026-11-24"), SQLITE_TEXT, "2026-11-24"},
      {"EventTime", "EventTime", Variant::String("3:04:05 PM"), SQLITE_TEXT, "15:04:05"},
      {"LogTime", "LogTime", Variant::String("12/25/2026 6:07:08 AM"), SQLITE_TEXT, "06:07:08"},
      {"EventDate", "EventDate", Variant::String("yesterday"), SQLITE_TEXT, "yesterday"},
      {"EventTime", "EventTime", Variant::String("noonish"), SQLITE_TEXT, "noonish"},
      {"EventDate", "EventDate", Variant(), SQLITE_NULL, ""},
      {"LogTime", "LogTime", Variant::Null(), SQLITE_NULL, ""},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Add(dso, dto, Record({{c.field, c.value}})), 0) << dso.lastError();
    auto rows = Query(path_, std::string("SELECT ") + c.column + " AS v FROM tblLog ORDER BY id DESC LIMIT 1");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["v"].type, c.type) << c.field << " " << c.stored;
    EXPECT_EQ(rows[0]["v"].text, c.stored) << c.field;
  }
}

TEST_F(SqliteStoreTest, ValuesAreStoredVerbatimNeverPastedIntoSql) {
  SqliteDSO dso;
  SqliteDTO dto;
  Open(dso, dto);
  const std::string hostile[] = {
      "Robert'); DROP TABLE tblLog;--",
      "x\"; DELETE FROM tblLog; SELECT \"",
      "?1 ?2 :name @x $y #11/24/2026#",
      "line one\r\nline two\ttab 'single' \"double\" ; -- /* */",
  };
  for (const auto& text : hostile) {
    ASSERT_EQ(Add(dso, dto, Record({{"Description", Variant::String(text)},
                                     {"EventDate", Variant::String(text)}})),
              0);
  }
  auto rows = Query(path_, "SELECT Description, EventDate FROM tblLog ORDER BY id");
  ASSERT_EQ(rows.size(), std::size(hostile));
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i]["Description"].text, hostile[i]);
    EXPECT_EQ(rows[i]["EventDate"].text, hostile[i]);
  }
}

// An older table gains the sender's columns; the event columns it lacks stay away.
// A record written again after a restart, when its first write was stored but the
// journal never heard so, is skipped and counted as taken; the same number under
// another journal's identity is another record.
TEST_F(SqliteStoreTest, ARecordStoredAlreadyUnderItsJournalStampIsSkippedAndCountedAsTaken) {
  // A table from before rows carried the journal stamp gets its columns.
  Prepare("CREATE TABLE tblLog (id INTEGER PRIMARY KEY, AppName)");
  SqliteDSO dso;
  SqliteDTO dto;
  Open(dso, dto);
  auto stamped = &ledgerwick::testing::StampedRecord;
  std::vector<Variant> run = {stamped("a", 7, 1), stamped("b", 7, 2)};
  auto took = dso.AddRecords(dto, kj::arrayPtr(run.data(), run.size())).wait(loop_->waitScope);
  ASSERT_EQ(took.taken, 2u) << took.status.description;
  // Again, with one more behind them, and one of another journal under number 1.
  run = {stamped("a", 7, 1), stamped("b", 7, 2), stamped("c", 7, 3), stamped("other", 8, 1)};
  took = dso.AddRecords(dto, kj::arrayPtr(run.data(), run.size())).wait(loop_->waitScope);
  EXPECT_EQ(took.taken, 4u) << took.status.description;
  ASSERT_EQ(Add(dso, dto, stamped("c", 7, 3)), 0);
  auto rows = Query(path_, "SELECT AppName, JournalId, JournalSeq FROM tblLog ORDER BY id");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0]["AppName"].text, "a");
  EXPECT_EQ(rows[1]["AppName"].text, "b");
  EXPECT_EQ(rows[2]["AppName"].text, "c");
  EXPECT_EQ(rows[2]["JournalSeq"].integer, 3);
  EXPECT_EQ(rows[3]["AppName"].text, "other");
  EXPECT_EQ(rows[3]["JournalId"].integer, 8);
  // Records with no stamp are never taken for one another.
  ASSERT_EQ(Add(dso, dto, stamped("plain", 0, 0)), 0);
  ASSERT_EQ(Add(dso, dto, stamped("plain", 0, 0)), 0);
  EXPECT_EQ(RowCount(path_), 6u);

  // What was stored is known again after the store is opened afresh, as after a
  // restart; what follows it is stored.
  SqliteDSO reopened;
  SqliteDTO again;
  Open(reopened, again);
  run = {stamped("b", 7, 2), stamped("c", 7, 3), stamped("d", 7, 4), stamped("other", 8, 1)};
  took = reopened.AddRecords(again, kj::arrayPtr(run.data(), run.size())).wait(loop_->waitScope);
  EXPECT_EQ(took.taken, 4u) << took.status.description;
  rows = Query(path_, "SELECT AppName FROM tblLog ORDER BY id");
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[6]["AppName"].text, "d");
}

// A table given a unique index over the journal's columns before the last numbers
// stored were kept beside it still skips the rows stored back then.
TEST_F(SqliteStoreTest, ATableWithTheOlderJournalIndexSkipsTheRowsStoredBeforeTheMarks) {
  Prepare(
      "CREATE TABLE tblLog (id INTEGER PRIMARY KEY, AppName, JournalId INTEGER, JournalSeq INTEGER);"
      "CREATE UNIQUE INDEX tblLog_journal ON tblLog (JournalId, JournalSeq);"
      "INSERT INTO tblLog (AppName, JournalId, JournalSeq) VALUES ('a', 7, 1), ('b', 7, 2);");
  SqliteDSO dso;
  SqliteDTO dto;
  Open(dso, dto);
  auto stamped = &ledgerwick::testing::StampedRecord;
  std::vector<Variant> run = {stamped("a", 7, 1), stamped("b", 7, 2), stamped("c", 7, 3)};
  auto took = dso.AddRecords(dto, kj::arrayPtr(run.data(), run.size())).wait(loop_->waitScope);
  EXPECT_EQ(took.taken, 3u) << took.status.description;
  auto rows = Query(path_, "SELECT AppName FROM tblLog ORDER BY id");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2]["AppName"].text, "c");
}

// Only the journal's index lets a row be skipped: a conflict with a table's own
// constraint is still refused, so that the record goes on to the next target.
TEST_F(SqliteStoreTest, AConflictWithTheTablesOwnConstraintIsRefusedNotSkipped) {
  Prepare("CREATE TABLE tblLog (id INTEGER PRIMARY KEY, AppName UNIQUE)");
  SqliteDSO dso;
  SqliteDTO dto;
  Open(dso, dto);
  auto stamped = [](int64_t sequence) {
    auto set = PropertySet::NewEventSet();
    set->Item("AppName")->SetValue(Variant::String("same"));
    Variant record;
    EXPECT_EQ(PropertyPacker().PackProperties(record, *set, {}, {7, sequence}), 0);
    return record;
  };
  ASSERT_EQ(Add(dso, dto, stamped(1)), 0);
  EXPECT_NE(Add(dso, dto, stamped(2)), 0);
  EXPECT_EQ(RowCount(path_), 1u);
}

TEST_F(SqliteStoreTest, FieldsWithoutAColumnAreIgnored) {
  // An older table with only some of the event columns, in its own spelling.
  Prepare("CREATE TABLE tblLog (id INTEGER PRIMARY KEY, LOGDATE TEXT, appname)");
  SqliteDSO dso;
  SqliteDTO dto;
  Open(dso, dto);

  auto set = PropertySet::NewEventSet();
  set->Item("AppName")->SetValue(Variant::String("Ledger"));
  set->Item("LogDate")->SetValue(Variant::Date(Day(2026, 12, 8)));
  set->Item("Description")->SetValue(Variant::String("no column for me"));
  set->Add("Workstation", Variant::String("ws-7"), true);  // not an event field at all
  Variant record;
  ASSERT_EQ(PropertyPacker().PackProperties(record, *set), 0);
  ASSERT_EQ(Add(dso, dto, record), 0) << dso.lastError();

  auto rows = Query(path_, "SELECT * FROM tblLog");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].size(), 9u);  // with the sender's and the journal's columns added
  EXPECT_EQ(rows[0]["appname"].text, "Ledger");
  EXPECT_EQ(rows[0]["SenderUid"].type, SQLITE_NULL);  // nobody stamped this record
  EXPECT_EQ(rows[0]["LOGDATE"].text, "2026-12-08");
}

TEST_F(SqliteStoreTest, ARejectedRecordAnswers13AndStoresNothing) {
  SqliteDSO dso;
  SqliteDTO dto;
  Open(dso, dto);
  const Variant rejected[] = {
      Record({{"EventData", Variant::Array(automation::SafeArray(automation::VarType::Long, {{0, 3}}))}}),
      Record({{"AppName", Variant::String("Ledger")}, {"EventCode", Variant::Error(7)}}),
      Record({{"EventDate", Variant::Date(1e9)}}),
      Variant::String("not a packed record"),
      Variant::Long(5),
      Variant::Array(automation::SafeArray::FromBytes({1, 2, 3, 4, 5, 6, 7, 8, 9})),
      Variant(),  // Empty: no record at all
  };
  for (const auto& record : rejected) {
    EXPECT_EQ(Add(dso, dto, record), 13);
    EXPECT_FALSE(dso.lastError().empty());
  }
  EXPECT_EQ(RowCount(path_), 0u);
  // The insert statement is still usable after the refusals.
  EXPECT_EQ(Add(dso, dto, LoggedOn(Day(2026, 12, 8))), 0);
  EXPECT_EQ(RowCount(path_), 1u);
}

TEST_F(SqliteStoreTest, PurgeDeletesRowsLoggedBeforeTheCutoffDate) {
  SqliteDSO dso;
  SqliteDTO dto;
  Open(dso, dto);
  const double days[] = {Day(2025, 12, 31), Day(2026, 11, 22), Day(2026, 11, 23) + Clock(23, 59, 59),
                         Day(2026, 11, 24), Day(2026, 11, 24) + Clock(12, 0, 0), Day(2026, 11, 25),
                         Day(2026, 12, 8)};
  for (double day : days) ASSERT_EQ(Add(dso, dto, LoggedOn(day)), 0);
  ASSERT_EQ(Add(dso, dto, Record({{"LogDate", Variant::String("12/1/2026")}})), 0);

  EXPECT_EQ(dso.ExecuteNow(dto, Variant(), kPurge, 0), 0) << dso.lastError();

  std::vector<std::string> kept;
  for (auto& row : Query(path_, "SELECT logdate FROM tblLog ORDER BY id")) kept.push_back(row["logdate"].text);
  EXPECT_EQ(kept, (std::vector<std::string>{"2026-11-24", "2026-11-24", "2026-11-25", "2026-12-08",
                                            "2026-12-01"}));
}

TEST_F(SqliteStoreTest, ExecuteAnswersNonZeroForWhatItCannotRun) {
  SqliteDSO dso;
  SqliteDTO dto;
  SqliteDTO unbound;
  Open(dso, dto);
  ASSERT_EQ(Add(dso, dto, LoggedOn(Day(2020, 1, 1))), 0);

  EXPECT_EQ(dso.ExecuteNow(dto, Variant(), "DELETE * FROM tblLog WHERE logdate < #2/30/2026#", 0), 5);
  EXPECT_NE(dso.ExecuteNow(dto, Variant(), "DELETE * FROM noSuchTable", 0), 0);
  EXPECT_NE(dso.lastError().find("noSuchTable"), std::string::npos) << dso.lastError();
  EXPECT_EQ(dso.ExecuteNow(unbound, Variant(), kPurge, 0), 91);
  EXPECT_EQ(RowCount(path_), 1u);

  // A statement that leaves a transaction open is undone: a record added after it
  // must really be committed when AddRecord answers 0.
  EXPECT_EQ(dso.ExecuteNow(dto, Variant(), "BEGIN; DELETE * FROM tblLog", 0), 5);
  EXPECT_EQ(RowCount(path_), 1u);
  ASSERT_EQ(Add(dso, dto, LoggedOn(Day(2020, 1, 2))), 0);
  EXPECT_EQ(RowCount(path_), 2u);

  SqliteDSO unconnected;
  EXPECT_EQ(unconnected.ExecuteNow(dto, Variant(), kPurge, 0), 91);
  EXPECT_EQ(RowCount(path_), 2u);
}

TEST_F(SqliteStoreTest, UnconnectedOrUnboundAnswers91) {
  SqliteDSO unconnected;
  SqliteDTO dto;
  EXPECT_EQ(unconnected.OpenTableNow(dto, "tblLog"), 91);
  EXPECT_EQ(Add(unconnected, dto, LoggedOn(Day(2026, 12, 8))), 91);

  SqliteDSO dso;
  ASSERT_EQ(dso.ConnectNow(path_), 0);
  SqliteDTO unbound;
  EXPECT_EQ(Add(dso, unbound, LoggedOn(Day(2026, 12, 8))), 91);

  // A DTO bound through another DSO is not bound to a table of this one.
  SqliteDSO other;
  SqliteDTO otherDto;
  ASSERT_EQ(other.ConnectNow(dir_ / "other.db"), 0);
  ASSERT_EQ(other.OpenTableNow(otherDto, "tblLog"), 0);
  EXPECT_EQ(Add(dso, otherDto, LoggedOn(Day(2026, 12, 8))), 91);
}

TEST_F(SqliteStoreTest, ConnectAgainClosesTheOldDatabase) {
  SqliteDSO dso;
  SqliteDTO dto;
  Open(dso, dto);
  const std::string second = dir_ / "second.db";
  ASSERT_EQ(dso.ConnectNow(second), 0);
  // The DTO was bound on the closed connection: it writes nowhere until bound again.
  EXPECT_EQ(Add(dso, dto, LoggedOn(Day(2026, 12, 8))), 91);
  ASSERT_EQ(dso.OpenTableNow(dto, "tblLog"), 0);
  EXPECT_EQ(Add(dso, dto, LoggedOn(Day(2026, 12, 8))), 0);
  EXPECT_EQ(RowCount(path_), 0u);
  EXPECT_EQ(RowCount(second), 1u);
}

TEST_F(SqliteStoreTest, ADtoOfAnotherClassRaises13) {
  SqliteDSO dso;
  ASSERT_EQ(dso.ConnectNow(path_), 0);
  OtherDTO other;
  EXPECT_EQ(ledgerwick::testing::ErrorOf([&] { dso.OpenTableNow(other, "tblLog"); }), 13);
  EXPECT_EQ(ledgerwick::testing::ErrorOf([&] { dso.ExecuteNow(other, Variant(), kPurge, 0); }), 13);
  // AddRecord's call itself fails: the promise rejects with the error.
  auto promise = dso.AddRecord(other, LoggedOn(Day(2026, 12, 8)), "");
  EXPECT_EQ(ledgerwick::testing::ErrorOf([&] { promise.wait(loop_->waitScope); }), 13);
}

TEST_F(SqliteStoreTest, TheClassesComeFromTheRegistryByName) {
  automation::ClassRegistry registry;
  RegisterSqliteClasses(registry);
  auto dso = registry.CreateAs<DSO>("Recordkit.SqliteDSO");
  auto dto = registry.CreateAs<DTO>("recordkit.sqlitedto");
  EXPECT_NE(std::dynamic_pointer_cast<SqliteDSO>(dso), nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<SqliteDTO>(dto), nullptr);
  EXPECT_NE(registry.Create("Recordkit.SqliteDSO"), registry.Create("Recordkit.SqliteDSO"));

  auto& sqlite = dynamic_cast<SqliteDSO&>(*dso);
  ASSERT_EQ(sqlite.ConnectNow(path_), 0);
  ASSERT_EQ(sqlite.OpenTableNow(*dto, "tblLog"), 0);
  EXPECT_EQ(Add(*dso, *dto, LoggedOn(Day(2026, 12, 8))), 0);
  EXPECT_EQ(RowCount(path_), 1u);
}

// Faults below the store: the file system refuses writes.
class SqliteStoreFaultTest : public SqliteStoreTest {
 protected:
  void SetUp() override {
    SqliteStoreTest::SetUp();
    // The table and one row exist before any fault.
    SqliteDSO dso;
    SqliteDTO dto;
    Open(dso, dto);
    ASSERT_EQ(Add(dso, dto, LoggedOn(Day(2026, 12, 1))), 0);
  }

  testing::FaultVfs vfs_{"ledgerwick-fault"};
};

TEST_F(SqliteStoreFaultTest, AddRecordOnAReadOnlyFileAnswersNonZero) {
  vfs_.OpenDatabasesReadOnly(true);
  SqliteDSO dso({.busyTimeoutMs = 0, .vfs = vfs_.name()});
  SqliteDTO dto;
  ASSERT_EQ(dso.ConnectNow(path_), 0) << dso.lastError();  // a read-only file still opens
  ASSERT_EQ(dso.OpenTableNow(dto, "tblLog"), 0) << dso.lastError();
  EXPECT_EQ(Add(dso, dto, LoggedOn(Day(2026, 12, 8))), 70);
  EXPECT_FALSE(dso.lastError().empty());
  EXPECT_EQ(RowCount(path_), 1u);
}

TEST_F(SqliteStoreFaultTest, AddRecordOnAFileWithoutWritePermissionAnswersNonZero) {
  {
    SqliteDSO setup({.busyTimeoutMs = 0, .vfs = ""});
    SqliteDTO dto;
    Open(setup, dto);
  }
  ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
  // The store's user may not write the file; root may write any file, so as root the
  // store runs in a child that has become an unprivileged user.
  auto attempt = [this]() {
    SqliteDSO dso({.busyTimeoutMs = 0, .vfs = ""});
    SqliteDTO dto;
    if (dso.ConnectNow(path_) != 0 || dso.OpenTableNow(dto, "tblLog") != 0) return 3;
    return Add(dso, dto, LoggedOn(Day(2026, 12, 8))) != 0 ? 0 : 1;
  };
  if (geteuid() == 0) {
    // The folder is its to write, as the daemon's home is: only the file is closed to it.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
    constexpr uid_t kNobody = 65534;
    EXPECT_EXIT(
        {
          if (setgid(kNobody) != 0 || setuid(kNobody) != 0) std::_Exit(2);
          std::_Exit(attempt());
        },
        ::testing::ExitedWithCode(0), "");
  } else {
    EXPECT_EQ(attempt(), 0);
  }
  EXPECT_EQ(RowCount(path_), 1u);
}

TEST_F(SqliteStoreFaultTest, FailedWritesAnswerTheirNumberAndTheStoreRecovers) {
  const struct {
    int fault;
    int32_t number;
  } cases[] = {{SQLITE_FULL, 61}, {SQLITE_IOERR_WRITE, 57}, {SQLITE_READONLY, 70}};
  SqliteDSO dso({.busyTimeoutMs = 0, .vfs = vfs_.name()});
  SqliteDTO dto;
  Open(dso, dto);
  size_t stored = 1;
  for (const auto& c : cases) {
    vfs_.FailWrites(c.fault);
    EXPECT_EQ(Add(dso, dto, LoggedOn(Day(2026, 12, 8))), c.number) << c.fault;
    EXPECT_FALSE(dso.lastError().empty());
    vfs_.Heal();
    EXPECT_EQ(RowCount(path_), stored) << c.fault;  // nothing half-written
    EXPECT_EQ(Add(dso, dto, LoggedOn(Day(2026, 12, 8))), 0) << dso.lastError();
    EXPECT_EQ(RowCount(path_), ++stored) << c.fault;  // exactly one row per success
  }
}

TEST_F(SqliteStoreFaultTest, AStoreLockedByAnotherWriterAnswersNonZeroUntilReleased) {
  SqliteDSO dso({.busyTimeoutMs = 0, .vfs = ""});
  SqliteDTO dto;
  Open(dso, dto);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_NE(Add(dso, dto, LoggedOn(Day(2026, 12, 8))), 0);
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  EXPECT_EQ(Add(dso, dto, LoggedOn(Day(2026, 12, 8))), 0);
  EXPECT_EQ(RowCount(path_), 2u);
}

}  // namespace
}  // namespace recordkit
