#include "recordkit/sqlite/sqlite_dso.h"

#include "automation/automation_error.h"
#include "recordkit/sqlite/log_table.h"
#include "recordkit/sqlite/sql_dialect.h"

namespace recordkit {

namespace err = automation::err;

namespace {

// Runs the first statement of `sql` to its end, ignoring any rows; `tail` receives
// where the next statement starts.
int RunToEnd(sqlite3* db, const char* sql, const char** tail) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &raw, tail);
  SqliteStatement statement(raw);
  if (rc != SQLITE_OK || statement == nullptr) return rc;  // error, or only blanks/comments
  while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
  }
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

void RollBackWhenOpen(sqlite3* db) {
  if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
}

}  // namespace

SqliteDSO::~SqliteDSO() { Disconnect(); }

void SqliteDSO::Disconnect() {
  // DTOs bound through the old connection still hold it; closing it here makes them
  // answer "not bound" instead of writing to a database this DSO has let go.
  if (connection_) connection_->Close();
  connection_.reset();
}

SqliteDTO& SqliteDSO::AsSqliteDTO(DTO& dto) {
  auto* sqliteDto = dynamic_cast<SqliteDTO*>(&dto);
  if (sqliteDto == nullptr) throw automation::AutomationError(err::kTypeMismatch);
  return *sqliteDto;
}

int32_t SqliteDSO::Answer(StoreStatus status) {
  lastError_ = std::move(status.message);
  return status.number;
}

int32_t SqliteDSO::Connect(const std::string& database) {
  Disconnect();
  if (database.empty() || database.find('\0') != std::string::npos) {
    // SQLite would open an empty name as a private temporary database: nothing
    // written there would ever be seen again.
    return Answer({err::kBadFileNameOrNumber, "no database file named"});
  }

  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(database.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                           options_.vfs.empty() ? nullptr : options_.vfs.c_str());
  auto connection = std::make_shared<SqliteConnection>(raw);  // closes `raw` on failure
  if (rc != SQLITE_OK) return Answer(FailureOf(raw, rc));
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, options_.busyTimeoutMs);

  // The file is first read here: a path that cannot be created or a file that is no
  // database fails now rather than at the first record.
  // (A read-only file keeps the journal mode it has; it still opens, and its writes
  // fail one by one.)
  rc = RunToEnd(raw, "PRAGMA journal_mode=WAL", nullptr);
  if (rc == SQLITE_OK) rc = RunToEnd(raw, "PRAGMA synchronous=FULL", nullptr);
  if (rc != SQLITE_OK) return Answer(FailureOf(raw, rc));

  connection_ = std::move(connection);
  lastError_.clear();
  return 0;
}

int32_t SqliteDSO::OpenTable(DTO& dto, const std::string& table) {
  SqliteDTO& sqliteDto = AsSqliteDTO(dto);
  if (!isConnected()) return Answer({err::kObjectNotSet, "not connected"});
  if (!IsSafeTableName(table)) {
    return Answer({err::kInvalidProcedureCall, "table name not allowed: " + table});
  }
  return Answer(sqliteDto.Bind(connection_, table));
}

int32_t SqliteDSO::Execute(DTO& dto, const automation::Variant& /*optional*/, const std::string& sql,
                           int32_t /*options*/) {
  SqliteDTO& sqliteDto = AsSqliteDTO(dto);
  if (!isConnected()) return Answer({err::kObjectNotSet, "not connected"});
  if (!sqliteDto.IsBoundTo(connection_)) {
    return Answer({err::kObjectNotSet, "the DTO is not bound to a table of this store"});
  }
  auto translated = TranslateStatement(sql);
  if (!translated) return Answer({err::kInvalidProcedureCall, "not a date literal in: " + sql});
  if (translated->find('\0') != std::string::npos) {
    return Answer({err::kInvalidProcedureCall, "statement holds a NUL character"});
  }

  sqlite3* db = connection_->handle();
  const char* next = translated->c_str();
  while (*next != '\0') {
    const char* tail = nullptr;
    const int rc = RunToEnd(db, next, &tail);
    if (rc != SQLITE_OK) {
      StoreStatus status = FailureOf(db, rc);
      if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      return Answer(std::move(status));
    }
    if (tail == nullptr || tail == next) break;
    next = tail;
  }
  if (!sqlite3_get_autocommit(db)) {
    // Rows added later would sit in this transaction and be lost with the
    // connection although AddRecord answered 0 for them.
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return Answer({err::kInvalidProcedureCall, "the statement left a transaction open"});
  }
  return Answer({});
}

kj::Promise<int32_t> SqliteDSO::AddRecord(DTO& dto, const automation::Variant& record,
                                          const std::string& /*text*/) {
  // The one failure of the call itself, a DTO of another class, rejects; every
  // store-level failure resolves to its number.
  return kj::evalNow([&]() {
    TakeResult result = AddRunNow(AsSqliteDTO(dto), kj::arrayPtr(&record, 1));
    return result.taken == 1 ? 0 : result.status.number;
  });
}

kj::Promise<TakeResult> SqliteDSO::AddRecords(DTO& dto, kj::ArrayPtr<const automation::Variant> records) {
  auto* sqliteDto = dynamic_cast<SqliteDTO*>(&dto);
  if (sqliteDto == nullptr) return TakeResult{0, automation::Status::Error(err::kTypeMismatch), true};
  return AddRunNow(*sqliteDto, records);
}

TakeResult SqliteDSO::Took(size_t taken, StoreStatus status) {
  automation::Status answer{status.number, status.message};
  lastError_ = std::move(status.message);
  return {taken, std::move(answer)};
}

TakeResult SqliteDSO::AddRunNow(SqliteDTO& dto, kj::ArrayPtr<const automation::Variant> records) {
  if (!isConnected()) return Took(0, {err::kObjectNotSet, "not connected"});
  if (!dto.IsBoundTo(connection_)) {
    return Took(0, {err::kObjectNotSet, "the DTO is not bound to a table of this store"});
  }
  sqlite3* db = connection_->handle();
  if (!sqlite3_get_autocommit(db)) {
    // Rows added now would be committed, or lost, with someone else's transaction.
    return Took(0, {err::kDeviceIOError, "a transaction is open on the store"});
  }

  // One transaction for the run: taken counts rows only once COMMIT has made them
  // durable (WAL with full syncs), and a failure of the store undoes the whole run,
  // so a retry from the first record not taken stores nothing twice.
  if (const int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr); rc != SQLITE_OK) {
    StoreStatus status = FailureOf(db, rc);
    RollBackWhenOpen(db);
    return Took(0, std::move(status));
  }
  size_t taken = records.size();
  StoreStatus refusal;
  std::vector<SqlValue> row;
  for (size_t i = 0; i < records.size(); ++i) {
    StoreStatus status;
    if (records[i].isEmpty()) {
      // The packer reads Empty as "no fields"; a row of nothing but NULLs is no record.
      status = {packer_error::kNotAPackedRecord, "the record is empty"};
    } else {
      automation::Variant data = records[i];  // the packer may change what it is given
      auto fields = PropertySet::NewEventSet();
      if (const int32_t rc = packer_.UnpackProperties(data, *fields); rc != 0) {
        status = {rc, "not a packed record"};
      } else {
        status = dto.RowOf(*fields, row);
      }
    }
    if (!status.ok()) {
      // This record can never be stored: the run ends before it, and what came
      // before it is still committed.
      taken = i;
      refusal = std::move(status);
      break;
    }
    if (status = dto.InsertRow(row); !status.ok()) {
      RollBackWhenOpen(db);
      return Took(0, std::move(status));
    }
  }
  if (const int rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); rc != SQLITE_OK) {
    StoreStatus status = FailureOf(db, rc);
    RollBackWhenOpen(db);
    return Took(0, std::move(status));
  }
  return Took(taken, std::move(refusal));
}

}  // namespace recordkit
