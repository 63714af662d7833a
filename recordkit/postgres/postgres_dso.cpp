#include "recordkit/postgres/postgres_dso.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "automation/automation_error.h"
#include "recordkit/postgres/pg_table.h"
#include "recordkit/sql_dialect.h"

namespace recordkit {

namespace err = automation::err;
using automation::AutomationError;
using automation::Status;
using automation::Variant;

// The statements of one run: the insert's preparation when the connection lacks
// it, then one insert per record.
struct PostgresDSO::Run {
  std::vector<PgQuery> queries;
  size_t firstRow = 0;  // where the inserts begin in `queries`
  // Why the record after the last one in `queries` cannot be stored; ok when the
  // run's every record is there.
  Status stop;
};

PostgresDSO::PostgresDSO(Environment env) : env_(env), session_(env.port, env.timer, env.network) {}

PostgresDSO::~PostgresDSO() noexcept = default;

PostgresDTO& PostgresDSO::AsPostgresDTO(DTO& dto) {
  auto* pg = dynamic_cast<PostgresDTO*>(&dto);
  if (pg == nullptr) throw AutomationError(err::kTypeMismatch);
  return *pg;
}

int32_t PostgresDSO::Answer(const Status& status) {
  if (!status.ok()) lastError_ = status.description;
  return status.number;
}

Status PostgresDSO::DownStatus() const {
  return {err::kDeviceIOError, "the PostgreSQL store is reconnecting: " + lostBecause_.description};
}

StoreHealth PostgresDSO::Health() const {
  StoreHealth health;
  health.open = state_ == State::Open;
  if (!health.open) {
    health.downSince = downSince_;
    health.lastError = lastError_;
  }
  return health;
}

kj::Promise<int32_t> PostgresDSO::Connect(const std::string& database) {
  reconnecting_ = nullptr;
  state_ = State::Unconnected;
  downSince_.reset();
  return session_.Connect(database).then([this, database](Status status) {
    if (!status.ok()) return Answer(status);
    conninfo_ = database;
    state_ = State::Open;
    return int32_t{0};
  });
}

kj::Promise<int32_t> PostgresDSO::OpenTable(DTO& dto, const std::string& table) {
  PostgresDTO& pg = AsPostgresDTO(dto);
  if (state_ == State::Down) return Answer(DownStatus());
  if (state_ != State::Open) return Answer({err::kObjectNotSet, "not connected"});
  if (!IsSafeTableName(table)) return Answer({err::kInvalidProcedureCall, "not a table name: " + table});

  const std::string name = PgTableName(table);
  std::vector<PgQuery> queries(2);
  queries[0].sql = PgCreateTableStatement(name);
  queries[1].sql = PgColumnsQuery();
  queries[1].params = {name};
  return session_.Pipeline(queries, kPgAnswerTimeout).then([this, &pg, name](PgOutcome outcome) -> kj::Promise<int32_t> {
    if (outcome.lost) {
      LoseConnection(outcome.status);
      return Answer(outcome.status);
    }
    if (!outcome.ok()) return Answer(outcome.status);
    std::vector<LogColumn> columns = ColumnsOf(outcome.results[1].get());
    // A table made before rows carried their sender and journal stamp gets those
    // columns; where this user may not change it, it is used without them. The
    // journal's unique index lets the insert skip a record stored before a restart.
    std::vector<PgQuery> additions;
    for (const LogColumn& sender : AddedColumns()) {
      const bool present = std::any_of(columns.begin(), columns.end(),
                                       [&](const LogColumn& c) { return c.name == sender.name; });
      if (!present) additions.push_back(PgQuery{PgQuery::Kind::Run, PgAddColumnStatement(name, sender), "", {}});
    }
    additions.push_back(PgQuery{PgQuery::Kind::Run, PgJournalIndexStatement(name), "", {}});
    additions.push_back(PgQuery{PgQuery::Kind::Run, PgColumnsQuery(), "", {name}});
    return session_.Pipeline(additions, kPgAnswerTimeout)
        .then([this, &pg, name, columns = std::move(columns)](PgOutcome added) mutable -> int32_t {
          if (added.lost) {
            LoseConnection(added.status);
            return Answer(added.status);
          }
          if (added.ok()) {
            columns = ColumnsOf(added.results.back().get());
          } else {
            // Without the index the journal's columns would not keep records apart;
            // the table is used without them.
            columns.erase(std::remove_if(columns.begin(), columns.end(),
                                         [](const LogColumn& c) { return c.kind == ColumnKind::Journal; }),
                          columns.end());
          }
          return Bind(pg, name, std::move(columns));
        });
  });
}

std::vector<LogColumn> PostgresDSO::ColumnsOf(const PGresult* names) {
  std::vector<LogColumn> columns;
  for (int row = 0; names != nullptr && row < PQntuples(names); ++row) {
    const std::string name = PQgetvalue(names, row, 0);
    if (auto column = EventColumnNamed(name)) {
      column->name = name;
      columns.push_back(*column);
    }
  }
  return columns;
}

int32_t PostgresDSO::Bind(PostgresDTO& dto, const std::string& table, std::vector<LogColumn> columns) {
  if (columns.empty()) return Answer({err::kInvalidProcedureCall, "table " + table + " has no event columns"});
  dto.Bind(this, table, std::move(columns), "ledgerwick_insert_" + std::to_string(++bindings_));
  return 0;
}

kj::Promise<int32_t> PostgresDSO::Execute(DTO& dto, const Variant&, const std::string& sql, int32_t) {
  PostgresDTO& pg = AsPostgresDTO(dto);
  if (state_ == State::Down) return Answer(DownStatus());
  if (state_ != State::Open || !pg.IsBoundBy(this)) return Answer({err::kObjectNotSet, "not connected or not bound"});
  auto translated = TranslateStatement(sql);
  if (!translated) return Answer({err::kInvalidProcedureCall, "a date literal that is not a date"});

  std::vector<PgQuery> queries(1);
  queries[0].sql = std::move(*translated);
  rowsChanged_ = -1;
  return session_.Pipeline(queries, kPgAnswerTimeout).then([this](PgOutcome outcome) {
    if (outcome.lost) LoseConnection(outcome.status);
    if (outcome.ok()) rowsChanged_ = static_cast<int64_t>(outcome.rowsChanged);
    return Answer(outcome.status);
  });
}

kj::Promise<int32_t> PostgresDSO::AddRecord(DTO& dto, const Variant& record, const std::string&) {
  // The record is copied: the run below reads it only while this call lasts.
  auto held = kj::heap<Variant>(record);
  kj::ArrayPtr<const Variant> one(held.get(), 1);
  return AddRecords(dto, one).then([](TakeResult result) { return result.status.number; }).attach(kj::mv(held));
}

kj::Promise<TakeResult> PostgresDSO::AddRecords(DTO& dto, kj::ArrayPtr<const Variant> records) {
  PostgresDTO* pg = dynamic_cast<PostgresDTO*>(&dto);
  if (pg == nullptr) return TakeResult{0, Status::Error(err::kTypeMismatch), true};
  if (state_ == State::Down) return TakeResult{0, DownStatus()};
  if (state_ != State::Open || !pg->IsBoundBy(this)) {
    return TakeResult{0, {err::kObjectNotSet, "not connected or not bound"}};
  }
  if (records.size() == 0) return TakeResult{0, {}};

  auto run = kj::heap<Run>();
  if (!pg->PreparedOn(session_.generation())) {
    PgQuery prepare;
    prepare.kind = PgQuery::Kind::Prepare;
    prepare.name = pg->statementName();
    prepare.sql = pg->insertSql();
    run->queries.push_back(std::move(prepare));
  }
  run->firstRow = run->queries.size();
  run->queries.reserve(run->firstRow + records.size());
  PackedFields fields;
  for (size_t i = 0; i < records.size(); ++i) {
    PgQuery insert;
    insert.kind = PgQuery::Kind::RunPrepared;
    insert.name = pg->statementName();
    Status status;
    if (int32_t number = packer_.ReadFields(records[i], fields); number != 0) {
      status = {number, "not a packed record"};
    } else {
      status = PgRowParams(pg->columns(), fields, insert.params);
    }
    if (!status.ok()) {
      run->stop = std::move(status);
      break;
    }
    run->queries.push_back(std::move(insert));
  }
  const size_t count = run->queries.size() - run->firstRow;
  if (count == 0) return TakeResult{0, run->stop};
  return Insert(*pg, kj::mv(run), count);
}

kj::Promise<TakeResult> PostgresDSO::Insert(PostgresDTO& dto, kj::Own<Run> run, size_t count) {
  const uint64_t generation = session_.generation();
  auto sent = session_.Pipeline(run->queries, kPgAnswerTimeout);
  return sent.then([this, &dto, run = kj::mv(run), count, generation](PgOutcome outcome) mutable
                   -> kj::Promise<TakeResult> {
    if (outcome.lost) {
      LoseConnection(outcome.status);
      return TakeResult{0, outcome.status};
    }
    // A preparation that went through stays on the connection, even when a later
    // statement rolled the transaction back.
    if (run->firstRow > 0 && outcome.failedAt != 0) dto.MarkPrepared(generation);
    if (outcome.ok()) return TakeResult{count, run->stop};
    lastError_ = outcome.status.description;
    const size_t failedRow = outcome.failedAt < run->firstRow ? 0 : outcome.failedAt - run->firstRow;
    if (outcome.failedAt < run->firstRow || failedRow >= count) return TakeResult{0, outcome.status};
    // One record the table would not take rolled the run back: the records before
    // it go in again on their own, and it is the first not taken.
    if (failedRow == 0) return TakeResult{0, outcome.status};
    auto prefix = kj::heap<Run>();
    prefix->queries.assign(run->queries.begin() + static_cast<ptrdiff_t>(run->firstRow),
                           run->queries.begin() + static_cast<ptrdiff_t>(run->firstRow + failedRow));
    prefix->stop = outcome.status;
    return Insert(dto, kj::mv(prefix), failedRow);
  });
}

void PostgresDSO::LoseConnection(const Status& why) {
  if (state_ != State::Open) return;
  session_.Close();
  state_ = State::Down;
  lostBecause_ = why;
  lastError_ = why.description;
  downSince_ = env_.clock.Now();
  reconnecting_ = Reconnect(kPgFirstRetry).eagerlyEvaluate(nullptr);
}

kj::Promise<void> PostgresDSO::Reconnect(kj::Duration wait) {
  return env_.timer.afterDelay(wait)
      .then([this]() { return session_.Connect(conninfo_); })
      .then([this, wait](Status status) -> kj::Promise<void> {
        if (status.ok()) {
          state_ = State::Open;
          downSince_.reset();
          return kj::READY_NOW;
        }
        lastError_ = status.description;
        return Reconnect(std::min(wait * 2, kPgLongestRetry));
      });
}

}  // namespace recordkit
