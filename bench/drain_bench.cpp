// The drain alone, into each target, next to the raw limit of the same rows on the
// same disk measured in the same run:
//   drain-sqlite: records already queued, handed to the SQLite store in runs (one
//     transaction each, on the store's worker thread); raw: the same rows inserted
//     with WAL, synchronous=FULL and a run's worth of rows (kMaxRunRecords) per
//     transaction.
//   drain-text: the same records into the text log; raw: the same lines written
//     through one kept file descriptor with one write() per line.
//   drain-postgres: the same records into the PostgreSQL store on a throwaway
//     cluster started for the run; raw: the same rows inserted through libpq's
//     pipeline mode, a run's worth of rows to a sync point, into the same cluster.
// The drain's clock is a manual timer, as in the tests: nothing waits for a tick.
// Prints one line per target in the form scripts read:
//   drain-<target> records_per_s=N raw_per_s=N ratio=R

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <kj/async-io.h>
#include <kj/async.h>
#include <kj/timer.h>
#include <libpq-fe.h>

#include "automation/blocking_worker.h"
#include "automation/clock.h"
#include "automation/date_scale.h"
#include "automation/event_log_writer.h"
#include "automation/file_appender.h"
#include "automation/notices.h"
#include "automation/timer_service.h"
#include "recordkit/postgres/pg_table.h"
#include "recordkit/postgres/postgres_dso.h"
#include "recordkit/postgres/postgres_dto.h"
#include "recordkit/property_packer.h"
#include "recordkit/property_set.h"
#include "recordkit/column_value.h"
#include "recordkit/log_table.h"
#include "recordkit/sqlite/sqlite_dso.h"
#include "recordkit/sqlite/sqlite_dto.h"
#include "writer/drain.h"
#include "writer/fault_log.h"
#include "writer/record_writer.h"
#include "writer/store_target.h"
#include "writer/text_log.h"
#include "tests/support/pg_cluster.h"

namespace ledgerwick {
namespace {

using automation::Variant;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "drain_bench: %s\n", what.c_str());
  std::exit(1);
}

// A typical event, stamped as Loggit stamps it.
Variant MakeRecord(int i, double now) {
  auto set = recordkit::PropertySet::NewEventSet();
  set->Item("AppName")->SetValue(Variant::String("Payroll"));
  set->Item("AppVersion")->SetValue(Variant::String("10.0.3"));
  set->Item("Description")->SetValue(Variant::String("Could not reach the print server, try " + std::to_string(i)));
  set->Item("Severity")->SetValue(Variant::Integer(2));
  set->Item("EventCode")->SetValue(Variant::Long(4711));
  set->Item("UserName")->SetValue(Variant::String("ann"));
  set->Item("SubName")->SetValue(Variant::String("PrintBatch"));
  set->Item("ModuleName")->SetValue(Variant::String("modPrint"));
  set->Item("EventDate")->SetValue(Variant::Date(automation::WholeDays(now)));
  set->Item("EventTime")->SetValue(Variant::Date(now - automation::WholeDays(now)));
  set->Item("LogDate")->SetValue(Variant::Date(automation::WholeDays(now)));
  set->Item("LogTime")->SetValue(Variant::Date(now - automation::WholeDays(now)));
  Variant record;
  if (recordkit::PropertyPacker().PackProperties(record, *set) != 0) Fail("cannot pack a record");
  return record;
}

// The writer's components as the daemon wires them, on a loop with a manual timer.
struct Writer {
  explicit Writer(const std::string& folder)
      : faultLog(eventLog, folder + "/" + kFaultLogName),
        textLog(files, packer, faultLog, *worker, folder + "/" + kTextLogName) {}

  // A loop that watches sockets too, for the PostgreSQL store.
  kj::AsyncIoContext io = kj::setupAsyncIo();
  kj::WaitScope& ws = io.waitScope;
  kj::TimerImpl timer{kj::origin<kj::TimePoint>()};
  automation::TimerService timers{timer};
  automation::SystemClock clock;
  automation::StderrNotices notices;
  automation::PosixFileAppender files;
  automation::EventLogWriter eventLog{clock, files};
  const recordkit::PropertyPacker packer{};
  // One thread for all blocking work, as in the daemon.
  std::shared_ptr<automation::WorkerThread> worker = std::make_shared<automation::WorkerThread>();
  FaultLog faultLog;
  TextLog textLog;
  std::shared_ptr<recordkit::DSO> dso;
  std::shared_ptr<recordkit::DTO> dto;
  RecordWriter writer{faultLog};
  int32_t method = tofile;
  Drain drain{timers, notices, faultLog, writer, [this]() { return method; }};

  // Queues the records, then drains them; answers records per second.
  double DrainAll(const std::vector<Variant>& records) {
    for (const Variant& r : records) {
      if (!drain.Append(r).ok()) Fail("no ErrorBuffer");
    }
    auto start = Clock::now();
    size_t left = drain.Flush(3600 * kj::SECONDS).wait(ws);
    double seconds = SecondsSince(start);
    if (left != 0) Fail(std::to_string(left) + " records not written");
    return records.size() / seconds;
  }
};

double DrainText(const std::string& folder, const std::vector<Variant>& records) {
  Writer w(folder);
  w.drain.CreateErrorBuffer();
  w.writer.SetTargets(kj::Own<LogTarget>(), kj::Own<LogTarget>(), kj::Own<LogTarget>(&w.textLog, kj::NullDisposer::instance));
  w.method = tofile;
  double rate = w.DrainAll(records);
  if (w.writer.counters().toTextLog != records.size()) Fail("the text log did not take every record");
  return rate;
}

// The same lines through one kept descriptor, one write() per line.
double RawText(const std::string& folder, const std::vector<Variant>& records) {
  automation::SystemClock clock;
  automation::PosixFileAppender files;
  automation::EventLogWriter eventLog{clock, files};
  FaultLog faults(eventLog, folder + "/raw-" + kFaultLogName);
  recordkit::PropertyPacker packer;
  automation::InlineWorker inlineWorker;
  TextLog renderer(files, packer, faults, inlineWorker, "");
  std::vector<std::string> lines;
  std::vector<std::string> ignored;
  for (const Variant& r : records) lines.push_back(renderer.FormatLogLine(r, ignored) + "\r\n");

  const std::string path = folder + "/raw.log";
  auto start = Clock::now();
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) Fail("cannot open " + path);
  for (const std::string& line : lines) {
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) Fail("raw write failed");
  }
  ::close(fd);
  return lines.size() / SecondsSince(start);
}

double DrainSqlite(const std::string& folder, const std::vector<Variant>& records) {
  Writer w(folder);
  recordkit::SqliteDSO::Options options;
  options.worker = w.worker;
  auto dso = std::make_shared<recordkit::SqliteDSO>(options);
  auto dto = std::make_shared<recordkit::SqliteDTO>();
  if (dso->ConnectNow(folder + "/drain.db") != 0 || dso->OpenTableNow(*dto, "tblLog") != 0) {
    Fail("cannot open the SQLite store: " + dso->lastError());
  }
  w.dso = dso;
  w.dto = dto;
  w.drain.CreateErrorBuffer();
  w.writer.SetTargets(kj::Own<LogTarget>(), kj::heap<StoreTarget>(w.dso, w.dto, w.faultLog, "store"),
                      kj::Own<LogTarget>(&w.textLog, kj::NullDisposer::instance));
  w.method = toDatabase;
  double rate = w.DrainAll(records);
  if (w.writer.counters().toLocalStore != records.size()) Fail("the SQLite store did not take every record");
  return rate;
}

// The same rows straight into SQLite: WAL, synchronous=FULL, as many rows per
// transaction as the drain hands over in one run.
double RawSqlite(const std::string& folder, const std::vector<Variant>& records) {
  const std::vector<recordkit::LogColumn> columns = recordkit::EventColumns();
  std::vector<std::vector<recordkit::SqlValue>> rows;
  recordkit::PropertyPacker packer;
  recordkit::PackedFields fields;
  for (const Variant& r : records) {
    if (packer.ReadFields(r, fields) != 0) Fail("a record of the bench does not read");
    std::vector<recordkit::SqlValue> row;
    for (size_t i = 0; i < columns.size(); ++i) row.push_back(recordkit::ColumnValue(columns[i], fields, i));
    rows.push_back(std::move(row));
  }

  const std::string path = folder + "/raw.db";
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) Fail("cannot open " + path);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  sqlite3_exec(db, recordkit::CreateTableStatement("tblLog").c_str(), nullptr, nullptr, nullptr);
  std::string names, params;
  for (size_t i = 0; i < columns.size(); ++i) {
    names += (i ? ", " : "") + recordkit::QuoteIdentifier(columns[i].name);
    params += i ? ", ?" : "?";
  }
  const std::string sql = "INSERT INTO tblLog (" + names + ") VALUES (" + params + ")";
  sqlite3_stmt* insert = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &insert, nullptr) != SQLITE_OK) Fail(sqlite3_errmsg(db));

  auto start = Clock::now();
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i % kMaxRunRecords == 0) sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (size_t c = 0; c < rows[i].size(); ++c) {
      const auto& v = rows[i][c];
      int index = static_cast<int>(c + 1);
      if (auto* n = std::get_if<int64_t>(&v)) sqlite3_bind_int64(insert, index, *n);
      else if (auto* d = std::get_if<double>(&v)) sqlite3_bind_double(insert, index, *d);
      else if (auto* t = std::get_if<std::string>(&v)) sqlite3_bind_text(insert, index, t->c_str(), -1, SQLITE_STATIC);
      else sqlite3_bind_null(insert, index);
    }
    if (sqlite3_step(insert) != SQLITE_DONE) Fail(sqlite3_errmsg(db));
    sqlite3_reset(insert);
    if (i % kMaxRunRecords == kMaxRunRecords - 1 || i + 1 == rows.size()) {
      if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sqlite3_errmsg(db));
    }
  }
  double rate = rows.size() / SecondsSince(start);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  return rate;
}

// A plain blocking connection to the bench's cluster.
PGconn* ConnectTo(const std::string& conninfo) {
  PGconn* connection = PQconnectdb(conninfo.c_str());
  if (PQstatus(connection) != CONNECTION_OK) Fail(PQerrorMessage(connection));
  return connection;
}

void Exec(PGconn* connection, const std::string& sql) {
  PGresult* result = PQexec(connection, sql.c_str());
  if (PQresultStatus(result) != PGRES_COMMAND_OK) Fail(sql + ": " + PQerrorMessage(connection));
  PQclear(result);
}

double DrainPostgres(const std::string& folder, const std::string& conninfo, const std::vector<Variant>& records) {
  Writer w(folder);
  automation::SystemClock clock;
  auto dso = std::make_shared<recordkit::PostgresDSO>(
      recordkit::PostgresDSO::Environment{w.io.unixEventPort, w.io.provider->getTimer(),
                                          w.io.provider->getNetwork(), clock});
  auto dto = std::make_shared<recordkit::PostgresDTO>();
  if (dso->Connect(conninfo).wait(w.ws) != 0 || dso->OpenTable(*dto, "tblLog").wait(w.ws) != 0) {
    Fail("cannot open the PostgreSQL store: " + dso->lastError());
  }
  w.dso = dso;
  w.dto = dto;
  w.drain.CreateErrorBuffer();
  w.writer.SetTargets(kj::heap<StoreTarget>(w.dso, w.dto, w.faultLog, "store"), kj::Own<LogTarget>(),
                      kj::Own<LogTarget>(&w.textLog, kj::NullDisposer::instance));
  w.method = toDatabase;
  double rate = w.DrainAll(records);
  if (w.writer.counters().toNetworkStore != records.size()) Fail("the PostgreSQL store did not take every record");
  return rate;
}

// The same rows straight through libpq: pipeline mode, one prepared insert, a sync
// point (one transaction) every run's worth of rows.
double RawPostgres(const std::string& conninfo, const std::vector<Variant>& records) {
  const std::vector<recordkit::LogColumn> columns = recordkit::EventColumns();
  std::vector<std::vector<std::optional<std::string>>> rows;
  recordkit::PropertyPacker packer;
  recordkit::PackedFields fields;
  for (const Variant& r : records) {
    if (packer.ReadFields(r, fields) != 0) Fail("cannot read a record");
    std::vector<std::optional<std::string>> row;
    if (!recordkit::PgRowParams(columns, fields, row).ok()) Fail("cannot convert a record");
    rows.push_back(std::move(row));
  }
  PGconn* connection = ConnectTo(conninfo);
  Exec(connection, recordkit::PgCreateTableStatement("raw"));
  Exec(connection, recordkit::PgJournalIndexStatement("raw"));  // the inserts skip on it, as the store's do
  PGresult* prepared = PQprepare(connection, "raw_insert", recordkit::PgInsertStatement("raw", columns).c_str(), 0, nullptr);
  if (PQresultStatus(prepared) != PGRES_COMMAND_OK) Fail(PQerrorMessage(connection));
  PQclear(prepared);
  if (PQenterPipelineMode(connection) != 1) Fail("no pipeline mode");

  std::vector<const char*> values(columns.size());
  auto start = Clock::now();
  for (size_t first = 0; first < rows.size(); first += kMaxRunRecords) {
    const size_t end = std::min(rows.size(), first + kMaxRunRecords);
    for (size_t i = first; i < end; ++i) {
      for (size_t c = 0; c < columns.size(); ++c) values[c] = rows[i][c] ? rows[i][c]->c_str() : nullptr;
      if (PQsendQueryPrepared(connection, "raw_insert", static_cast<int>(values.size()), values.data(), nullptr,
                              nullptr, 0) != 1) {
        Fail(PQerrorMessage(connection));
      }
    }
    if (PQpipelineSync(connection) != 1) Fail(PQerrorMessage(connection));
    for (bool synced = false; !synced;) {
      PGresult* result = PQgetResult(connection);
      if (result == nullptr) continue;
      const ExecStatusType status = PQresultStatus(result);
      synced = status == PGRES_PIPELINE_SYNC;
      if (status != PGRES_COMMAND_OK && !synced) Fail(PQerrorMessage(connection));
      PQclear(result);
    }
  }
  double rate = rows.size() / SecondsSince(start);
  PQfinish(connection);
  return rate;
}

void Report(const char* target, double rate, double raw) {
  std::printf("drain-%s records_per_s=%.0f raw_per_s=%.0f ratio=%.2f\n", target, rate, raw, rate / raw);
  std::fflush(stdout);
}

}  // namespace
}  // namespace ledgerwick

int main(int argc, char** argv) {
  using namespace ledgerwick;
  const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
  // "sqlite", "text" or "postgres" runs that target alone (for a profile); all by
  // default.
  const std::string only = argc > 2 ? argv[2] : "";
  // A folder on the disk the daemon would write to, not a memory file system.
  const std::string folder =
      std::filesystem::absolute("drain-bench." + std::to_string(getpid())).string();
  std::filesystem::create_directories(folder);

  const double now = automation::SystemClock().Now();
  std::vector<automation::Variant> records;
  for (int i = 0; i < count; ++i) records.push_back(MakeRecord(i, now));

  // Each measure runs five times, alternating, and the best of each counts, so that
  // a hiccup of the disk or of this shared machine does not decide a ratio.
  auto wants = [&only](const char* target) { return only.empty() || only == target; };
  std::unique_ptr<testing::PgCluster> cluster;
  if (wants("postgres")) cluster = std::make_unique<testing::PgCluster>();
  double sqlite = 0, rawSqlite = 0, text = 0, rawText = 0, postgres = 0, rawPostgres = 0;
  for (int round = 0; round < 5; ++round) {
    const std::string dir = folder + "/" + std::to_string(round);
    std::filesystem::create_directories(dir);
    if (wants("postgres")) {
      // Each measure into a database of its own, so each starts with an empty table.
      PGconn* admin = ConnectTo(cluster->ConnInfo());
      const std::string raw = "raw_" + std::to_string(round), drain = "drain_" + std::to_string(round);
      Exec(admin, "CREATE DATABASE " + raw);
      Exec(admin, "CREATE DATABASE " + drain);
      PQfinish(admin);
      rawPostgres = std::max(rawPostgres, RawPostgres(cluster->ConnInfo(raw), records));
      postgres = std::max(postgres, DrainPostgres(dir, cluster->ConnInfo(drain), records));
    }
    if (wants("sqlite")) {
      rawSqlite = std::max(rawSqlite, RawSqlite(dir, records));
      sqlite = std::max(sqlite, DrainSqlite(dir, records));
    }
    if (wants("text")) {
      rawText = std::max(rawText, RawText(dir, records));
      text = std::max(text, DrainText(dir, records));
    }
  }
  if (wants("sqlite")) Report("sqlite", sqlite, rawSqlite);
  if (wants("text")) Report("text", text, rawText);
  if (wants("postgres")) Report("postgres", postgres, rawPostgres);
  std::filesystem::remove_all(folder);
  return 0;
}
