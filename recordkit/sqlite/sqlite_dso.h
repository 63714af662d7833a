#pragma once
// Recordkit.SqliteDSO: the connection to one SQLite log store file.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "automation/blocking_worker.h"
#include "recordkit/property_packer.h"
#include "recordkit/sqlite/lock_wait.h"
#include "recordkit/sqlite/sqlite_dto.h"
#include "recordkit/sqlite/sqlite_errors.h"
#include "recordkit/sqlite/sqlite_handles.h"
#include "recordkit/store.h"

namespace recordkit {

// How long a call waits for another connection's lock, when Options leave it unset.
// Work on the caller's thread holds up the server's one thread, so it waits little;
// work on a worker thread of its own delays only the records it writes.
constexpr int kCallerThreadBusyTimeoutMs = 2000;
constexpr int kWorkerThreadBusyTimeoutMs = 60000;

// One caller, on one thread. AddRecord and AddRecords hand their SQLite work to the
// worker; while a run is in hand the worker owns the DSO's connection and state and
// the DTO's statements, and the caller's thread touches none of them (lastError()
// included) until the promise resolves. It only converts chunks of a long run
// itself, reading the DTO's columns and the run's records, which stay constant.
// Connect, OpenTable and Execute run on the caller's thread and raise while a run is
// in hand. The writer never overlaps calls; a run handed over while another is
// still in hand (as after a dropped promise) waits behind it on the worker, which
// runs one item at a time, in order.
// Dropping the promise of a run gives the run up: a wait for a lock ends within
// 100 ms and a run not yet begun stores nothing, but a run already past its lock
// goes on to its commit, and nothing tells the caller whether it did.
class SqliteDSO final : public DSO {
 public:
  struct Options {
    // How long the SQLite work of AddRecord and AddRecords waits for a lock held by
    // another connection before it fails with 57. Unset: kCallerThreadBusyTimeoutMs
    // with an InlineWorker, kWorkerThreadBusyTimeoutMs with any other worker.
    // Connect, OpenTable and Execute, which run on the caller's thread, wait for the
    // lesser of this and kCallerThreadBusyTimeoutMs.
    std::optional<int> busyTimeoutMs = std::nullopt;
    // The SQLite VFS to open files through; empty for the default one.
    std::string vfs = {};
    // Where AddRecord and AddRecords run their SQLite work; null for an InlineWorker,
    // which runs it at once on the caller's thread.
    std::shared_ptr<automation::BlockingWorker> worker = nullptr;
  };

  SqliteDSO() : SqliteDSO(Options{}) {}
  explicit SqliteDSO(Options options);
  // Makes a wait for a lock give up at once, waits for the work in hand to end, then
  // closes the database.
  ~SqliteDSO() override;
  SqliteDSO(const SqliteDSO&) = delete;
  SqliteDSO& operator=(const SqliteDSO&) = delete;

  // Opening runs at once on the caller's thread (a local file answers quickly; a
  // lock waits at most kCallerThreadBusyTimeoutMs), so these answer already resolved.
  kj::Promise<int32_t> Connect(const std::string& database) override { return ConnectNow(database); }
  kj::Promise<int32_t> OpenTable(DTO& dto, const std::string& table) override { return OpenTableNow(dto, table); }
  kj::Promise<int32_t> Execute(DTO& dto, const automation::Variant& optional, const std::string& sql,
                               int32_t options) override {
    return ExecuteNow(dto, optional, sql, options);
  }
  int64_t RowsChanged() const override { return rowsChanged_; }

  // The same, answered at once, for callers with no loop to serve (tools, tests).
  // Opens (creating when missing) the SQLite file that `database` names, in WAL
  // mode with full syncs, so a committed row survives a crash. A connected DSO
  // closes its database first. On failure the DSO is left unconnected.
  int32_t ConnectNow(const std::string& database);

  // Binds a SqliteDTO to `table` (ASCII letters, digits, underscores; else 5),
  // creating the table when it is missing. 91 when not connected.
  int32_t OpenTableNow(DTO& dto, const std::string& table);

  // Runs `sql`, after rewriting "DELETE *" and #m/d/yyyy# date literals for SQLite.
  // 91 when not connected or `dto` is not bound through this DSO; 5 for a date
  // literal that is not a date.
  int32_t ExecuteNow(DTO& dto, const automation::Variant& optional, const std::string& sql, int32_t options);

  // Stores the record as one row, in a transaction of its own, on the worker. 91
  // when not connected or `dto` is not bound through this DSO; 13 for a value that
  // is not a packed record or a field value that cannot be stored; else the SQLite
  // failure's number. Only a DTO of another class rejects (13). The record is
  // copied; `dto` must stay alive until the promise resolves.
  kj::Promise<int32_t> AddRecord(DTO& dto, const automation::Variant& record,
                                 const std::string& text) override;

  // Stores the run in one transaction on the worker: every record before the first
  // that cannot be stored (not a packed record, a value that cannot be stored: its
  // status, 13 or the packer's number) is committed, and taken counts them. A
  // failure of the store itself (begin, insert or commit: a full disk, an I/O error,
  // a lock not released in time) rolls the whole run back: taken 0 and the failure's
  // status. 91 when not connected or not bound. A DTO of another class answers 13
  // with `raised` set. Nothing is stored twice and taken never counts a row that is
  // not durable.
  kj::Promise<TakeResult> AddRecords(DTO& dto, kj::ArrayPtr<const automation::Variant> records) override;

  // Down from a run that failed as a store (a write, a sync, a lock not released in
  // time, the connection gone) until a run is taken again, with that failure's text.
  // A run that ends at a record the store can never take leaves it open.
  StoreHealth Health() const override;

  bool isConnected() const { return connection_ != nullptr; }
  // What went wrong in the last call that answered non-zero; callers only get the
  // number, so this is where the store's own message is kept.
  const std::string& lastError() const { return lastError_; }

 private:
  class InHand;
  struct Call;
  // A run's records as rows of the table, each with its status: 0, or why that
  // record cannot be stored. The rows are converted a chunk at a time by whichever
  // thread claims the chunk: the worker from the front, inserting each chunk as soon
  // as it is converted, and, for a long run, the loop's thread from the back, between
  // its other events, until the two meet.
  struct RunRows {
    explicit RunRows(size_t records);
    RunRows(const RunRows&) = delete;
    RunRows& operator=(const RunRows&) = delete;

    static constexpr size_t kChunkRecords = 16;
    std::vector<std::vector<SqlValue>> rows;
    std::vector<StoreStatus> statuses;
    std::vector<JournalStamp> stamps;  // where the journal holds each record
    // Per record: 1 when it could not be converted for want of memory (its status
    // says so), which fails the run rather than refusing the record.
    std::vector<uint8_t> outOfMemory;
    const size_t chunks;
    std::vector<std::atomic<bool>> claimed;    // per chunk: a thread is converting it
    std::vector<std::atomic<bool>> converted;  // per chunk: its rows are written (release)
  };

  // The DTO as this store's class; raises 13 for a DTO of another class.
  static SqliteDTO& AsSqliteDTO(DTO& dto);
  int32_t Answer(StoreStatus status);
  // Starts a call on the caller's thread.
  void BeginCallerCall();
  // Hands the run to the worker; `keepAlive` holds the records and `rows` until the
  // run ends.
  kj::Promise<TakeResult> HandRun(SqliteDTO& dto, kj::ArrayPtr<const automation::Variant> records, RunRows& rows,
                                  std::shared_ptr<const void> keepAlive);
  // Claims chunk `chunk` of `rows` and converts it; false when another thread
  // claimed it first. Reads only what is constant while the DTO stays bound, so both
  // threads may convert chunks of one run at once.
  bool ConvertChunk(const SqliteDTO& dto, kj::ArrayPtr<const automation::Variant> records, RunRows& rows,
                    size_t chunk) const;
  // ConvertChunk on the loop's thread, one chunk per turn from the last one back,
  // until it meets a chunk claimed already.
  kj::Promise<void> HelpConvert(const SqliteDTO& dto, kj::ArrayPtr<const automation::Variant> records, RunRows& rows,
                                size_t chunk) const;
  // The run's SQLite work, wherever the worker runs it.
  // Marks `call` storeFailed when the store itself failed.
  TakeResult AddRunNow(SqliteDTO& dto, kj::ArrayPtr<const automation::Variant> records, Call& call,
                       RunRows& rows);
  // The answer to a run, kept in lastError() as well.
  TakeResult Took(size_t taken, StoreStatus status);
  void Disconnect();

  // Constant after construction
  const Options options_;
  const std::shared_ptr<automation::BlockingWorker> worker_;
  const std::chrono::milliseconds workerBusyTimeout_;
  const std::chrono::milliseconds callerBusyTimeout_;
  const PropertyPacker packer_{};

  // Shared by the caller's thread, the worker and the destructor; each guards itself.
  LockWait lockWait_;
  std::mutex inHandMutex_;
  std::condition_variable inHandEnded_;
  size_t inHand_ = 0;  // runs handed to the worker and not yet ended; guarded by inHandMutex_

  // Owned by whichever thread runs the call in hand (see the class comment).
  std::shared_ptr<SqliteConnection> connection_;  // null while unconnected
  std::string lastError_;
  int64_t rowsChanged_ = -1;  // of the last ExecuteNow that answered 0; caller's thread
  // What Health answers; the caller's thread, once each run has answered. Shared
  // with the runs' answers, which may come after the DSO is gone.
  struct RunHealth {
    bool failing = false;
    std::string failure;
  };
  const std::shared_ptr<RunHealth> runHealth_ = std::make_shared<RunHealth>();
};

}  // namespace recordkit
