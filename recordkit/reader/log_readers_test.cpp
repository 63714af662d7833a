// The readers of the SQLite table, the PostgreSQL table and the text log answer the
// same events, in the same forms, for every filter: the events are stored as the
// server stores them (the table's column forms, the text log's runtime forms) and
// each case names exactly the events it must select.

#include <libpq-fe.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "automation/conversions.h"
#include "automation/date_scale.h"
#include "recordkit/column_value.h"
#include "recordkit/log_table.h"
#include "recordkit/postgres/pg_table.h"
#include "recordkit/property_set.h"
#include "recordkit/reader/pg_log_reader.h"
#include "recordkit/reader/sqlite_log_reader.h"
#include "recordkit/reader/text_log_reader.h"
#include "tests/support/pg_cluster.h"
#include "tests/support/temp_dir.h"

namespace recordkit {
namespace {

using automation::Variant;
using ledgerwick::testing::PgCluster;
using ledgerwick::testing::TempDir;

struct Stored {
  std::string description;
  int year, month, day, hour, minute, second;
  std::string app;
  Variant user;
  Variant severity;
  Variant addl;
};

// Written in this order, which is not the order they were logged in.
const std::vector<Stored>& Events() {
  static const std::vector<Stored> events = {
      {"card declined", 2026, 12, 1, 8, 0, 0, "billing", Variant::String("ann"), Variant::Long(1),
       Variant::String("retry later")},
      {"run started", 2026, 12, 2, 0, 0, 0, "payroll", Variant::String("ann"), Variant::String("3"),
       Variant::String("batch 7 DECLINED")},
      {"Invoice sent", 2026, 12, 1, 23, 59, 59, "billing", Variant::String("bob"), Variant::Integer(3), Variant::Null()},
      {"card accepted", 2026, 12, 3, 12, 30, 0, "Billing", Variant::String("ann"), Variant::Double(2.0),
       Variant::String("")},
      {"run finished", 2026, 12, 5, 9, 0, 0, "payroll", Variant::Null(), Variant::Long(5), Variant::String("ok")},
  };
  return events;
}

PackedFields FieldsOf(const Stored& e) {
  PackedFields fields;
  for (int i = 0; i < kLoggedFields; ++i) fields.fields.push_back({kEventFieldNames[i], Variant(), true});
  auto set = [&](const char* name, Variant value) { fields.fields[static_cast<size_t>(FieldIndex(name))].value = value; };
  set("AppName", Variant::String(e.app));
  set("AppVersion", Variant::String("1.0"));
  set("Description", Variant::String(e.description));
  set("Severity", e.severity);
  set("AddlText", e.addl);
  set("UserName", e.user);
  set("LogDate", Variant::Date(*automation::DateSerial({e.year, e.month, e.day})));
  set("LogTime", Variant::Date(automation::TimeSerial({e.hour, e.minute, e.second})));
  return fields;
}

void WriteSqlite(const std::string& path) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, CreateTableStatement("tblLog").c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  const auto columns = EventColumns();
  std::string names, params;
  for (int i = 0; i < kLoggedFields; ++i) {
    names += (i ? ", " : "") + QuoteIdentifier(columns[static_cast<size_t>(i)].name);
    params += i ? ", ?" : "?";
  }
  const std::string sql = "INSERT INTO tblLog (" + names + ") VALUES (" + params + ")";
  for (const Stored& e : Events()) {
    sqlite3_stmt* insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &insert, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    const PackedFields fields = FieldsOf(e);
    for (int i = 0; i < kLoggedFields; ++i) {
      const SqlValue value = ColumnValue(columns[static_cast<size_t>(i)], fields, static_cast<size_t>(i));
      if (auto* n = std::get_if<int64_t>(&value)) sqlite3_bind_int64(insert, i + 1, *n);
      if (auto* r = std::get_if<double>(&value)) sqlite3_bind_double(insert, i + 1, *r);
      if (auto* t = std::get_if<std::string>(&value)) sqlite3_bind_text(insert, i + 1, t->c_str(), -1, SQLITE_TRANSIENT);
    }
    ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE) << sqlite3_errmsg(db);
    sqlite3_finalize(insert);
  }
  sqlite3_close(db);
}

void WritePostgres(const std::string& conninfo) {
  PGconn* connection = PQconnectdb(conninfo.c_str());
  ASSERT_EQ(PQstatus(connection), CONNECTION_OK) << PQerrorMessage(connection);
  const std::string table = PgTableName("tblLog");
  PQclear(PQexec(connection, PgCreateTableStatement(table).c_str()));
  PQclear(PQexec(connection, PgJournalIndexStatement(table).c_str()));
  const auto columns = EventColumns();
  const std::string sql = PgInsertStatement(table, columns);
  for (const Stored& e : Events()) {
    std::vector<std::optional<std::string>> params;
    ASSERT_TRUE(PgRowParams(columns, FieldsOf(e), params).ok());
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
    PGresult* result = PQexecParams(connection, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                                    nullptr, nullptr, 0);
    ASSERT_EQ(PQresultStatus(result), PGRES_COMMAND_OK) << PQerrorMessage(connection);
    PQclear(result);
  }
  PQfinish(connection);
}

// Each column as the text log writes it: a text as it is, anything else in the
// runtime's text form, Null and Empty as nothing.
void WriteTextLog(const std::string& path) {
  std::string lines;
  for (const Stored& e : Events()) {
    const PackedFields fields = FieldsOf(e);
    for (int i = 0; i < kLoggedFields; ++i) {
      const Variant& value = fields.fields[static_cast<size_t>(i)].value;
      if (i > 0) lines += '\t';
      if (!value.isNull()) lines += value.type() == automation::VarType::String ? value.string() : automation::ToText(value);
    }
    lines += "\r\n";
  }
  ledgerwick::testing::WriteFile(path, lines);
}

std::vector<std::string> Descriptions(const ReadAnswer& answer) {
  std::vector<std::string> descriptions;
  for (const auto& event : answer.events) descriptions.push_back(DisplayText(event[FieldIndex("Description")]));
  return descriptions;
}

class LogReadersTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempDir();
    WriteSqlite(*folder_ / "ledgwk.db");
    WriteTextLog(*folder_ / "Ledgwk.log");
    cluster_ = new PgCluster();
    WritePostgres(cluster_->ConnInfo());
  }
  static void TearDownTestSuite() {
    delete cluster_;
    delete folder_;
  }

  // One reader of each store.
  std::vector<std::pair<std::string, std::unique_ptr<LogReader>>> Readers() const {
    std::vector<std::pair<std::string, std::unique_ptr<LogReader>>> readers;
    readers.emplace_back("sqlite", std::make_unique<SqliteLogReader>("local store", *folder_ / "ledgwk.db"));
    readers.emplace_back("postgres", std::make_unique<PgLogReader>("network store", cluster_->ConnInfo()));
    readers.emplace_back("text", std::make_unique<TextLogReader>(*folder_ / "Ledgwk.log"));
    return readers;
  }

  static TempDir* folder_;
  static PgCluster* cluster_;
};
TempDir* LogReadersTest::folder_ = nullptr;
PgCluster* LogReadersTest::cluster_ = nullptr;

struct FilterCase {
  const char* name;
  EventFilter filter;
  std::vector<std::string> selected;
};

EventFilter With(void (*change)(EventFilter&)) {
  EventFilter filter;
  change(filter);
  return filter;
}

TEST_F(LogReadersTest, EachFilterSelectsExactlyTheMatchingEventsFromEveryStore) {
  const FilterCase cases[] = {
      {"none", {}, {"card declined", "Invoice sent", "run started", "card accepted", "run finished"}},
      {"since a date", With([](EventFilter& f) { f.since = "2026-12-02 00:00:00"; }),
       {"run started", "card accepted", "run finished"}},
      {"since its very second", With([](EventFilter& f) { f.since = "2026-12-01 23:59:59"; }),
       {"Invoice sent", "run started", "card accepted", "run finished"}},
      {"until a date's end", With([](EventFilter& f) { f.until = "2026-12-01 23:59:59"; }),
       {"card declined", "Invoice sent"}},
      {"until midnight", With([](EventFilter& f) { f.until = "2026-12-02 00:00:00"; }),
       {"card declined", "Invoice sent", "run started"}},
      {"between", With([](EventFilter& f) { f.since = "2026-12-02 00:00:00"; f.until = "2026-12-03 23:59:59"; }),
       {"run started", "card accepted"}},
      {"app, case counts", With([](EventFilter& f) { f.appName = "billing"; }), {"card declined", "Invoice sent"}},
      {"user", With([](EventFilter& f) { f.userName = "ann"; }), {"card declined", "run started", "card accepted"}},
      {"severity as number and text", With([](EventFilter& f) { f.severity = 3; }), {"Invoice sent", "run started"}},
      {"severity stored as a real", With([](EventFilter& f) { f.severity = 2; }), {"card accepted"}},
      {"grep in Description", With([](EventFilter& f) { f.grep = "declined"; }), {"card declined"}},
      {"grep in AddlText", With([](EventFilter& f) { f.grep = "DECLINED"; }), {"run started"}},
      {"grep in either", With([](EventFilter& f) { f.grep = "run"; }), {"run started", "run finished"}},
      {"limit keeps the newest", With([](EventFilter& f) { f.limit = 2; }), {"card accepted", "run finished"}},
      {"limit zero", With([](EventFilter& f) { f.limit = 0; }), {}},
      {"limit after the filter", With([](EventFilter& f) { f.appName = "payroll"; f.limit = 1; }), {"run finished"}},
      {"app and user", With([](EventFilter& f) { f.appName = "billing"; f.userName = "bob"; }), {"Invoice sent"}},
      {"severity and grep", With([](EventFilter& f) { f.severity = 3; f.grep = "run"; }), {"run started"}},
      {"nothing matches", With([](EventFilter& f) { f.appName = "nobody"; }), {}},
  };
  for (auto& [store, reader] : Readers()) {
    for (const FilterCase& c : cases) {
      ReadAnswer answer = reader->Read(c.filter);
      ASSERT_TRUE(answer.status.ok()) << store << ": " << answer.status.description;
      EXPECT_EQ(Descriptions(answer), c.selected) << store << ", " << c.name;
    }
  }
}

TEST_F(LogReadersTest, EveryStoreGivesTheSameValues) {
  auto readers = Readers();
  const ReadAnswer expected = readers[0].second->Read({});
  ASSERT_EQ(expected.events.size(), Events().size());
  // Severity: numbers stay numbers, a text that reads as one becomes one.
  EXPECT_EQ(expected.events[0][FieldIndex("Severity")].type(), automation::VarType::Long);
  EXPECT_EQ(expected.events[2][FieldIndex("Severity")].lng(), 3);
  EXPECT_EQ(expected.events[0][FieldIndex("LogDate")].type(), automation::VarType::Date);
  EXPECT_EQ(DisplayText(expected.events[1][FieldIndex("LogTime")]), "23:59:59");
  EXPECT_EQ(DisplayText(expected.events[0][FieldIndex("AppVersion")]), "1.0");
  for (size_t r = 1; r < readers.size(); ++r) {
    const ReadAnswer answer = readers[r].second->Read({});
    ASSERT_EQ(answer.events.size(), expected.events.size()) << readers[r].first;
    for (size_t e = 0; e < expected.events.size(); ++e) {
      for (int f = 0; f < kLoggedFields; ++f) {
        const Variant& want = expected.events[e][f];
        const Variant& got = answer.events[e][f];
        // The text log cannot tell an empty text from no value.
        if (readers[r].first == "text" && want.type() == automation::VarType::String && want.string().empty()) {
          EXPECT_TRUE(got.isNull()) << readers[r].first << " event " << e << " " << kEventFieldNames[f];
          continue;
        }
        EXPECT_EQ(got.type(), want.type()) << readers[r].first << " event " << e << " " << kEventFieldNames[f];
        EXPECT_EQ(DisplayText(got), DisplayText(want)) << readers[r].first << " event " << e << " " << kEventFieldNames[f];
      }
    }
  }
}

TEST_F(LogReadersTest, AStoreThatCannotBeReadSaysWhichAndWhy) {
  TempDir empty;
  SqliteLogReader missingFile("local store", empty / "none.db");
  ReadAnswer a = missingFile.Read({});
  EXPECT_FALSE(a.status.ok());
  EXPECT_NE(a.status.description.find("local store " + (empty / "none.db")), std::string::npos) << a.status.description;
  // Opening read-only never creates the file.
  EXPECT_FALSE(std::filesystem::exists(empty / "none.db"));

  ledgerwick::testing::WriteFile(empty / "other.db", "");
  SqliteLogReader noTable("local store", empty / "other.db");
  ReadAnswer b = noTable.Read({});
  EXPECT_FALSE(b.status.ok());
  EXPECT_NE(b.status.description.find("no such table"), std::string::npos) << b.status.description;

  PgLogReader nobodyThere("network store", "host=" + empty.path() + " dbname=x");
  ReadAnswer c = nobodyThere.Read({});
  EXPECT_FALSE(c.status.ok());
  EXPECT_EQ(c.status.description.rfind("cannot connect to the network store: ", 0), 0u) << c.status.description;

  TextLogReader noLog(empty / "Ledgwk.log");
  ReadAnswer d = noLog.Read({});
  EXPECT_FALSE(d.status.ok());
  EXPECT_NE(d.status.description.find(empty / "Ledgwk.log"), std::string::npos) << d.status.description;
}

// A damaged page met while reading: the error, naming the store, and no events, not
// the rows read before it as if they were all.
TEST(SqliteLogReaderTest, ADamagedPageFailsTheWholeRead) {
  TempDir folder;
  const std::string path = folder / "ledgwk.db";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, CreateTableStatement("tblLog").c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
                         "INSERT INTO tblLog (Description, logdate, LogTime) "
                         "SELECT printf('event %03d ', i) || replace(hex(zeroblob(100)), '0', 'x'), '2026-12-01', '08:00:00' FROM n",
                         nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_stmt* pages = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA page_count", -1, &pages, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(pages), SQLITE_ROW);
  const int pageCount = sqlite3_column_int(pages, 0);
  sqlite3_finalize(pages);
  sqlite3_close(db);
  ASSERT_GT(pageCount, 8);

  SqliteLogReader reader("local store", path);
  ASSERT_EQ(reader.Read({}).events.size(), 300u);

  // Page 1 holds the schema, page 2 the table's root; the others are its leaves.
  std::string bytes = ledgerwick::testing::ReadFile(path);
  const size_t pageSize = bytes.size() / static_cast<size_t>(pageCount);
  bytes.replace(pageSize * 5, pageSize, pageSize, '\xff');
  ledgerwick::testing::WriteFile(path, bytes);

  ReadAnswer answer = reader.Read({});
  EXPECT_FALSE(answer.status.ok());
  EXPECT_TRUE(answer.events.empty());
  EXPECT_NE(answer.status.description.find("cannot read the local store " + path + ": "), std::string::npos)
      << answer.status.description;
}

TEST(TextLogReaderTest, ALineOfAnotherWidthIsPassedOverWithANote) {
  TempDir folder;
  const std::string good = "app\t\tkept" + std::string(16, '\t');
  ledgerwick::testing::WriteFile(folder / "Ledgwk.log", good + "\r\n\r\nbroken\tline\r\n" + good + "\tmore\r\n" + good + "\n");
  TextLogReader reader(folder / "Ledgwk.log");
  ReadAnswer answer = reader.Read({});
  ASSERT_TRUE(answer.status.ok());
  EXPECT_EQ(answer.events.size(), 2u);
  ASSERT_EQ(answer.notes.size(), 2u);
  EXPECT_NE(answer.notes[0].find("line 3 has 2 columns"), std::string::npos) << answer.notes[0];
  EXPECT_NE(answer.notes[1].find("line 4 has 20 columns"), std::string::npos) << answer.notes[1];
}

TEST(TimeBoundTest, FormsOfABound) {
  const double now = *automation::DateSerial({2026, 12, 11}) + automation::TimeSerial({2, 30, 0});
  struct Case {
    const char* text;
    bool upper;
    std::optional<std::string> bound;
  } cases[] = {
      {"2026-12-01", false, "2026-12-01 00:00:00"},
      {"2026-12-01", true, "2026-12-01 23:59:59"},
      {"2026-12-01T08:15:30", false, "2026-12-01 08:15:30"},
      {"2026-12-01 08:15:30", true, "2026-12-01 08:15:30"},
      {"30m", false, "2026-12-11 02:00:00"},
      {"3h", false, "2026-12-10 23:30:00"},
      {"7d", false, "2026-12-04 02:30:00"},
      {"90s", false, "2026-12-11 02:28:30"},
      {"2026-02-30", false, std::nullopt},
      {"2026-12-01T25:00:00", false, std::nullopt},
      {"12/1/2026", false, std::nullopt},
      {"h", false, std::nullopt},
      {"-5m", false, std::nullopt},
      {"5w", false, std::nullopt},
      {"", false, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseTimeBound(c.text, now, c.upper), c.bound) << c.text;
}

}  // namespace
}  // namespace recordkit
