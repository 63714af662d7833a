#include "recordkit/sqlite/sqlite_dso.h"

#include <algorithm>
#include <thread>
#include <utility>

#include <kj/common.h>
#include <kj/debug.h>

#include "automation/automation_error.h"
#include "recordkit/log_table.h"
#include "recordkit/sql_dialect.h"

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

std::chrono::milliseconds WorkerBusyTimeout(const SqliteDSO::Options& options,
                                            const automation::BlockingWorker& worker) {
  const bool onCallersThread = dynamic_cast<const automation::InlineWorker*>(&worker) != nullptr;
  return std::chrono::milliseconds(options.busyTimeoutMs.value_or(
      onCallersThread ? kCallerThreadBusyTimeoutMs : kWorkerThreadBusyTimeoutMs));
}

}  // namespace

// Counts a run as in hand from the moment it is handed to the worker until its work
// has run, or the worker has dropped it unrun; the destructor waits for none to be.
class SqliteDSO::InHand {
 public:
  explicit InHand(SqliteDSO& dso) : dso_(&dso) {
    std::lock_guard<std::mutex> lock(dso.inHandMutex_);
    ++dso.inHand_;
  }
  InHand(InHand&& other) noexcept : dso_(std::exchange(other.dso_, nullptr)) {}
  InHand& operator=(InHand&&) = delete;
  ~InHand() { End(); }

  // After this the work touches the DSO no more.
  void End() {
    SqliteDSO* dso = std::exchange(dso_, nullptr);
    if (dso == nullptr) return;
    // Notified under the lock: once the destructor sees the count at 0 it frees the
    // mutex and the condition variable, so nothing may touch them after the unlock.
    std::lock_guard<std::mutex> lock(dso->inHandMutex_);
    --dso->inHand_;
    dso->inHandEnded_.notify_all();
  }

 private:
  SqliteDSO* dso_;
};

SqliteDSO::SqliteDSO(Options options)
    : options_(std::move(options)),
      worker_(options_.worker ? options_.worker : std::make_shared<automation::InlineWorker>()),
      workerBusyTimeout_(WorkerBusyTimeout(options_, *worker_)),
      callerBusyTimeout_(std::min(workerBusyTimeout_, std::chrono::milliseconds(kCallerThreadBusyTimeoutMs))) {}

SqliteDSO::~SqliteDSO() {
  // Work still in hand must not wait a minute for a lock while the process stops.
  lockWait_.Cancel();
  {
    std::unique_lock<std::mutex> lock(inHandMutex_);
    inHandEnded_.wait(lock, [this] { return inHand_ == 0; });
  }
  Disconnect();
}

void SqliteDSO::Disconnect() {
  // DTOs bound through the old connection still hold it; closing it here makes them
  // answer "not bound" instead of writing to a database this DSO has let go.
  if (connection_) {
    if (connection_->isOpen()) LockWait::Remove(connection_->handle());
    connection_->Close();
  }
  connection_.reset();
}

void SqliteDSO::BeginCallerCall() {
  {
    std::lock_guard<std::mutex> lock(inHandMutex_);
    KJ_REQUIRE(inHand_ == 0, "a SqliteDSO call while a run is in hand");
  }
  lockWait_.StartCall(callerBusyTimeout_);
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

int32_t SqliteDSO::ConnectNow(const std::string& database) {
  BeginCallerCall();
  Disconnect();
  if (database.empty() || database.find('\0') != std::string::npos) {
    // SQLite would open an empty name as a private temporary database: nothing
    // written there would ever be seen again.
    return Answer({err::kBadFileNameOrNumber, "no database file named"});
  }

  // ":memory:" and URIs ("file::memory:", "?mode=memory") open a database that
  // lives only as long as the connection: records taken there would be lost. URIs
  // are read as such on every build of SQLite, and the name of the database that
  // opened is what decides, whatever the spelling.
  // One thread at a time uses the connection (the worker during a run, the caller's
  // thread otherwise, handed over through the worker's queue), so SQLite need not
  // lock it around every call.
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(database.c_str(), &raw,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                           options_.vfs.empty() ? nullptr : options_.vfs.c_str());
  auto connection = std::make_shared<SqliteConnection>(raw);  // closes `raw` on failure
  if (rc != SQLITE_OK) return Answer(FailureOf(raw, rc));
  const char* file = sqlite3_db_filename(raw, "main");
  if (file == nullptr || *file == '\0') {
    return Answer({err::kBadFileNameOrNumber, "an in-memory database keeps nothing: name a database file"});
  }
  sqlite3_extended_result_codes(raw, 1);
  lockWait_.Install(raw);  // before the first read, which may meet a lock

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

int32_t SqliteDSO::OpenTableNow(DTO& dto, const std::string& table) {
  SqliteDTO& sqliteDto = AsSqliteDTO(dto);
  BeginCallerCall();
  if (!isConnected()) return Answer({err::kObjectNotSet, "not connected"});
  if (!IsSafeTableName(table)) {
    return Answer({err::kInvalidProcedureCall, "table name not allowed: " + table});
  }
  return Answer(sqliteDto.Bind(connection_, table));
}

int32_t SqliteDSO::ExecuteNow(DTO& dto, const automation::Variant& /*optional*/, const std::string& sql,
                           int32_t /*options*/) {
  SqliteDTO& sqliteDto = AsSqliteDTO(dto);
  BeginCallerCall();
  rowsChanged_ = -1;
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
  const sqlite3_int64 changesBefore = sqlite3_total_changes64(db);
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
  rowsChanged_ = sqlite3_total_changes64(db) - changesBefore;
  return Answer({});
}

// One AddRecord or AddRecords call, shared by the caller's promise and the work.
struct SqliteDSO::Call {
  // Set on the caller's thread when the caller drops its promise: a wait for a lock
  // then ends soon, and work not yet begun does nothing.
  std::atomic<bool> abandoned{false};
  // Written by the work; read on the caller's thread once the work has answered.
  TakeResult result;
  bool storeFailed = false;  // the store failed, rather than a record being refused
};

StoreHealth SqliteDSO::Health() const {
  StoreHealth health;
  health.open = !runHealth_->failing;
  if (runHealth_->failing) health.lastError = runHealth_->failure;
  return health;
}

kj::Promise<int32_t> SqliteDSO::AddRecord(DTO& dto, const automation::Variant& record,
                                          const std::string& /*text*/) {
  // The one failure of the call itself, a DTO of another class, rejects; every
  // store-level failure resolves to its number.
  return kj::evalNow([&]() {
    SqliteDTO& sqliteDto = AsSqliteDTO(dto);
    // The caller's record may be gone before the work runs.
    struct Held {
      explicit Held(const automation::Variant& record) : record(record) {}
      automation::Variant record;
      RunRows rows{1};
    };
    auto held = std::make_shared<Held>(record);
    return HandRun(sqliteDto, kj::arrayPtr(&held->record, 1), held->rows, held).then([](TakeResult result) {
      return result.taken == 1 ? 0 : result.status.number;
    });
  });
}

SqliteDSO::RunRows::RunRows(size_t records)
    : rows(records),
      statuses(records),
      stamps(records),
      outOfMemory(records),
      chunks((records + kChunkRecords - 1) / kChunkRecords),
      claimed(chunks),
      converted(chunks) {}

kj::Promise<TakeResult> SqliteDSO::AddRecords(DTO& dto, kj::ArrayPtr<const automation::Variant> records) {
  auto* sqliteDto = dynamic_cast<SqliteDTO*>(&dto);
  if (sqliteDto == nullptr) return TakeResult{0, automation::Status::Error(err::kTypeMismatch), true};
  // The worker may still be reading the run after the caller has given up on it
  // and let its records go; it reads copies, which share the records' bytes.
  struct Held {
    explicit Held(size_t size) : rows(size) {}
    std::vector<automation::Variant> records;
    RunRows rows;
  };
  auto held = std::make_shared<Held>(records.size());
  held->records.reserve(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    if (i + 16 < records.size()) PrefetchRecordArray(records[i + 16]);
    held->records.push_back(records[i]);
  }
  auto run = kj::arrayPtr(held->records.data(), held->records.size());
  RunRows& rows = held->rows;

  kj::Promise<TakeResult> inserted = kj::evalNow([&]() { return HandRun(*sqliteDto, run, rows, held); });
  // Reading and converting the records costs more than inserting them: for a long
  // run the loop's thread converts chunks too, while the worker converts and inserts
  // the others. The helper goes when the run's answer does; the worker converts
  // whatever it has not claimed by then.
  constexpr size_t kHelpFrom = 64;
  if (run.size() < kHelpFrom) return inserted;
  kj::Promise<void> helping =
      HelpConvert(*sqliteDto, run, rows, rows.chunks - 1).attach(kj::mv(held)).eagerlyEvaluate(nullptr);
  return inserted.attach(kj::mv(helping));
}

kj::Promise<void> SqliteDSO::HelpConvert(const SqliteDTO& dto, kj::ArrayPtr<const automation::Variant> records,
                                         RunRows& rows, size_t chunk) const {
  // One chunk a turn, and only once nothing else waits to run: the calls that arrive
  // meanwhile are served, and answered, between chunks instead of after the run.
  return kj::evalLast([this, &dto, records, &rows, chunk]() -> kj::Promise<void> {
    if (!ConvertChunk(dto, records, rows, chunk) || chunk == 0) return kj::READY_NOW;
    return HelpConvert(dto, records, rows, chunk - 1);
  });
}

bool SqliteDSO::ConvertChunk(const SqliteDTO& dto, kj::ArrayPtr<const automation::Variant> records, RunRows& rows,
                             size_t chunk) const {
  if (rows.claimed[chunk].exchange(true, std::memory_order_relaxed)) return false;
  const size_t begin = chunk * RunRows::kChunkRecords;
  const size_t end = std::min(records.size(), begin + RunRows::kChunkRecords);
  PackedFields fields;
  for (size_t i = begin; i < end; ++i) {
    if (i + 8 < end) PrefetchRecordBytes(records[i + 8]);
    try {
      if (records[i].isEmpty()) {
        // The packer reads Empty as "no fields"; a row of nothing but NULLs is no record.
        rows.statuses[i] = {packer_error::kNotAPackedRecord, "the record is empty"};
      } else if (const int32_t rc = packer_.ReadFields(records[i], fields); rc != 0) {
        rows.statuses[i] = {rc, "not a packed record"};
      } else {
        rows.statuses[i] = dto.RowOf(fields, rows.rows[i]);
        rows.stamps[i] = fields.journal;
      }
    } catch (...) {
      // No memory for the row (nothing else raises here): the store fails the run
      // rather than refusing a record it could take later, and the chunk is still
      // marked converted, so that the worker never waits for it. The text is short
      // enough to need no memory of its own.
      rows.statuses[i] = {err::kOutOfMemory, "out of memory"};
      rows.outOfMemory[i] = 1;
    }
  }
  rows.converted[chunk].store(true, std::memory_order_release);
  return true;
}

kj::Promise<TakeResult> SqliteDSO::HandRun(SqliteDTO& dto, kj::ArrayPtr<const automation::Variant> records,
                                           RunRows& rows, std::shared_ptr<const void> keepAlive) {
  auto call = std::make_shared<Call>();
  InHand inHand(*this);
  auto answer = kj::newPromiseAndFulfiller<TakeResult>();
  kj::Own<kj::PromiseFulfiller<TakeResult>> fulfiller = kj::mv(answer.fulfiller);
  kj::PromiseFulfiller<TakeResult>& answerTo = *fulfiller;

  // The work's promise belongs to the loop, not to the caller: a caller that drops
  // its promise must not block on a worker that is waiting for a lock (dropping a
  // cross-thread call waits for it to end). It marks the call abandoned instead.
  worker_
      ->Run([this, &dto, records, &rows, call, keepAlive = kj::mv(keepAlive), inHand = kj::mv(inHand)]() mutable {
        KJ_DEFER(inHand.End());
        call->result = AddRunNow(dto, records, *call, rows);
        // A run that ended early leaves chunks no one converted: the loop's helper
        // finds them claimed and stops.
        for (std::atomic<bool>& claimed : rows.claimed) claimed.store(true, std::memory_order_relaxed);
      })
      .then([call, &answerTo]() { answerTo.fulfill(kj::mv(call->result)); },
            [&answerTo](kj::Exception&& e) { answerTo.reject(kj::mv(e)); })
      .attach(kj::mv(fulfiller))
      .detach([](kj::Exception&&) {});
  return answer.promise
      .then([health = runHealth_, call](TakeResult result) {
        if (call->storeFailed) {
          health->failing = true;
          health->failure = result.status.description;
        } else if (result.taken > 0) {
          health->failing = false;
          health->failure.clear();
        }
        return result;
      })
      .attach(kj::defer([call]() { call->abandoned = true; }));
}

TakeResult SqliteDSO::Took(size_t taken, StoreStatus status) {
  automation::Status answer{status.number, status.message};
  lastError_ = std::move(status.message);
  return {taken, std::move(answer)};
}

TakeResult SqliteDSO::AddRunNow(SqliteDTO& dto, kj::ArrayPtr<const automation::Variant> records, Call& call,
                                RunRows& rows) {
  // Every answer but the last one below is a failure of the store.
  call.storeFailed = true;
  const std::atomic<bool>& abandoned = call.abandoned;
  if (lockWait_.cancelled()) return Took(0, {err::kDeviceIOError, "the store is closing"});
  if (abandoned) return Took(0, {err::kDeviceIOError, "the caller gave up on the call"});
  if (!isConnected()) return Took(0, {err::kObjectNotSet, "not connected"});
  if (!dto.IsBoundTo(connection_)) {
    return Took(0, {err::kObjectNotSet, "the DTO is not bound to a table of this store"});
  }
  lockWait_.StartCall(workerBusyTimeout_, &abandoned);
  KJ_DEFER(lockWait_.EndCall());
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
  // The last number stored under each journal identity the run meets (few: one,
  // or two just after a restart), read once, and raised as the run stores records.
  struct JournalMark {
    int64_t journal;
    int64_t last;
    bool raised;
  };
  std::vector<JournalMark> marks;
  const bool keepsMarks = dto.keepsJournalMarks();
  for (size_t i = 0; i < records.size(); ++i) {
    if (i % RunRows::kChunkRecords == 0) {
      // A chunk the loop's thread claimed is converted by now, or is the one where
      // the two threads met, which it converts in one go.
      const size_t chunk = i / RunRows::kChunkRecords;
      if (!ConvertChunk(dto, records, rows, chunk)) {
        while (!rows.converted[chunk].load(std::memory_order_acquire)) std::this_thread::yield();
      }
    }
    if (StoreStatus& status = rows.statuses[i]; !status.ok()) {
      if (rows.outOfMemory[i] != 0) {
        RollBackWhenOpen(db);
        return Took(0, std::move(status));
      }
      // This record can never be stored: the run ends before it, and what came
      // before it is still committed.
      taken = i;
      refusal = std::move(status);
      break;
    }
    const JournalStamp& stamp = rows.stamps[i];
    JournalMark* mark = nullptr;
    if (keepsMarks && stamp.known()) {
      auto found = std::find_if(marks.begin(), marks.end(), [&](const JournalMark& m) { return m.journal == stamp.journal; });
      if (found == marks.end()) {
        int64_t last = 0;
        if (StoreStatus read = dto.LastStored(stamp.journal, last); !read.ok()) {
          RollBackWhenOpen(db);
          return Took(0, std::move(read));
        }
        found = marks.insert(marks.end(), {stamp.journal, last, false});
      }
      mark = &*found;
      // Stored before the journal heard of it: taken, and not stored twice.
      if (stamp.sequence <= mark->last) continue;
    }
    if (StoreStatus inserted = dto.InsertRow(rows.rows[i]); !inserted.ok()) {
      RollBackWhenOpen(db);
      return Took(0, std::move(inserted));
    }
    if (mark != nullptr) {
      mark->last = stamp.sequence;
      mark->raised = true;
    }
  }
  for (const JournalMark& mark : marks) {
    if (!mark.raised) continue;
    if (StoreStatus marked = dto.MarkStored(mark.journal, mark.last); !marked.ok()) {
      RollBackWhenOpen(db);
      return Took(0, std::move(marked));
    }
  }
  if (const int rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); rc != SQLITE_OK) {
    StoreStatus status = FailureOf(db, rc);
    RollBackWhenOpen(db);
    return Took(0, std::move(status));
  }
  call.storeFailed = false;
  return Took(taken, std::move(refusal));
}

}  // namespace recordkit
