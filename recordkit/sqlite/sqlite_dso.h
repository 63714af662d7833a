#pragma once
// Recordkit.SqliteDSO: the connection to one SQLite log store file.

#include <memory>
#include <string>

#include "recordkit/property_packer.h"
#include "recordkit/sqlite/sqlite_dto.h"
#include "recordkit/sqlite/sqlite_errors.h"
#include "recordkit/sqlite/sqlite_handles.h"
#include "recordkit/store.h"

namespace recordkit {

class SqliteDSO final : public DSO {
 public:
  struct Options {
    // How long a write waits for another process's lock before it fails. The wait
    // holds up the server's one thread, so it stays short.
    int busyTimeoutMs = 2000;
    // The SQLite VFS to open files through; empty for the default one.
    std::string vfs;
  };

  SqliteDSO() : SqliteDSO(Options{}) {}
  explicit SqliteDSO(Options options) : options_(std::move(options)) {}
  ~SqliteDSO() override;
  SqliteDSO(const SqliteDSO&) = delete;
  SqliteDSO& operator=(const SqliteDSO&) = delete;

  // Opens (creating when missing) the SQLite file that `database` names, in WAL
  // mode with full syncs, so a committed row survives a crash. A connected DSO
  // closes its database first. On failure the DSO is left unconnected.
  int32_t Connect(const std::string& database) override;

  // Binds a SqliteDTO to `table` (ASCII letters, digits, underscores; else 5),
  // creating the table when it is missing. 91 when not connected.
  int32_t OpenTable(DTO& dto, const std::string& table) override;

  // Runs `sql`, after rewriting "DELETE *" and #m/d/yyyy# date literals for SQLite.
  // 91 when not connected or `dto` is not bound through this DSO; 5 for a date
  // literal that is not a date.
  int32_t Execute(DTO& dto, const automation::Variant& optional, const std::string& sql,
                  int32_t options) override;

  // Stores the record as one row, in a transaction of its own; already resolved,
  // since the file is local. 91 when not connected or `dto` is not bound through
  // this DSO; 13 for a value that is not a packed record or a field value that
  // cannot be stored; else the SQLite failure's number. Only a DTO of another class
  // rejects (13).
  kj::Promise<int32_t> AddRecord(DTO& dto, const automation::Variant& record,
                                 const std::string& text) override;

  // Stores the run in one transaction: every record before the first that cannot be
  // stored (not a packed record, a value that cannot be stored: its status, 13 or the
  // packer's number) is committed, and taken counts them. A failure of the store
  // itself (begin, insert or commit: a full disk, an I/O error, a lock not released
  // in time) rolls the whole run back: taken 0 and the failure's status. 91 when not
  // connected or not bound. A DTO of another class answers 13 with `raised` set.
  // Nothing is stored twice and taken never counts a row that is not durable.
  kj::Promise<TakeResult> AddRecords(DTO& dto, kj::ArrayPtr<const automation::Variant> records) override;

  bool isConnected() const { return connection_ != nullptr; }
  // What went wrong in the last call that answered non-zero; callers only get the
  // number, so this is where the store's own message is kept.
  const std::string& lastError() const { return lastError_; }

 private:
  // The DTO as this store's class; raises 13 for a DTO of another class.
  static SqliteDTO& AsSqliteDTO(DTO& dto);
  int32_t Answer(StoreStatus status);
  // The run's SQLite work.
  TakeResult AddRunNow(SqliteDTO& dto, kj::ArrayPtr<const automation::Variant> records);
  // The answer to a run, kept in lastError() as well.
  TakeResult Took(size_t taken, StoreStatus status);
  void Disconnect();

  // Constant after construction
  const Options options_;
  const PropertyPacker packer_{};

  std::shared_ptr<SqliteConnection> connection_;  // null while unconnected
  std::string lastError_;
};

}  // namespace recordkit
