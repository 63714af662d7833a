#pragma once
// Recordkit.PostgresDSO: the connection to one PostgreSQL database, the network
// log store. Everything runs on the loop's thread and nothing blocks it: libpq
// runs non-blocking and the loop watches its socket.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <kj/async-unix.h>
#include <kj/async.h>
#include <kj/timer.h>

#include "automation/clock.h"
#include "automation/status.h"
#include "recordkit/postgres/pg_session.h"
#include "recordkit/postgres/postgres_dto.h"
#include "recordkit/property_packer.h"
#include "recordkit/store.h"

namespace recordkit {

// How long a run, or a statement of opening, may wait for the server's answer
// before the connection is given up as broken.
constexpr kj::Duration kPgAnswerTimeout = 30 * kj::SECONDS;
// The waits between tries to connect again after the connection broke: from the
// first, doubling, up to the longest.
constexpr kj::Duration kPgFirstRetry = 1 * kj::SECONDS;
constexpr kj::Duration kPgLongestRetry = 30 * kj::SECONDS;

class PostgresDSO final : public DSO {
 public:
  struct Environment {
    kj::UnixEventPort& port;
    kj::Timer& timer;
    kj::Network& network;  // looks up host names off the loop's thread
    const automation::Clock& clock;
  };

  explicit PostgresDSO(Environment env);
  // Gives up the connection, and any try to connect again, at once.
  ~PostgresDSO() noexcept override;
  PostgresDSO(const PostgresDSO&) = delete;
  PostgresDSO& operator=(const PostgresDSO&) = delete;

  // Connects to the database `database` names: a libpq connection string or URI
  // (what it leaves out comes from the PG* environment variables and the password
  // file). 0, or 57 with libpq's message in lastError(); 5 for a string libpq
  // cannot read. A connected DSO connects afresh.
  kj::Promise<int32_t> Connect(const std::string& database) override;

  // Binds a PostgresDTO to `table` (ASCII letters, digits, underscores; else 5),
  // creating the table when it is missing; an existing table is used with the event
  // columns it has. 91 when not connected; 57 when the connection is down; a DTO of
  // another class raises 13.
  kj::Promise<int32_t> OpenTable(DTO& dto, const std::string& table) override;

  // Runs `sql` after the same translation as the SQLite store's ("DELETE *", #m/d/yyyy#
  // dates). 91 when not connected or `dto` is not bound through this DSO; 5 for a
  // date literal that is not a date; else the statement's number.
  kj::Promise<int32_t> Execute(DTO& dto, const automation::Variant& optional, const std::string& sql,
                               int32_t options) override;
  int64_t RowsChanged() const override { return rowsChanged_; }

  // One record, as a run of one: 0 once its row is committed.
  kj::Promise<int32_t> AddRecord(DTO& dto, const automation::Variant& record, const std::string& text) override;

  // Sends the run as one pipeline in one transaction, with bound parameters, and
  // answers once the server acknowledged the commit. Every record before the first
  // that cannot be stored (not a packed record, a value the table cannot take) is
  // committed and counted. A broken connection takes nothing: the DSO closes it and
  // connects again by itself, waiting kPgFirstRetry, then longer up to
  // kPgLongestRetry; until it is connected every run answers at once, taking
  // nothing, with the status of the break.
  kj::Promise<TakeResult> AddRecords(DTO& dto, kj::ArrayPtr<const automation::Variant> records) override;

  StoreHealth Health() const override;

  bool isConnected() const { return state_ == State::Open; }
  // What went wrong last; callers get only numbers.
  const std::string& lastError() const { return lastError_; }

 private:
  enum class State { Unconnected, Open, Down };
  struct Run;

  static PostgresDTO& AsPostgresDTO(DTO& dto);
  // The log table's columns among the names a columns query answered.
  static std::vector<LogColumn> ColumnsOf(const PGresult* names);
  // Binds `dto` to `table`; 5 when it has no event columns.
  int32_t Bind(PostgresDTO& dto, const std::string& table, std::vector<LogColumn> columns);
  // The answer to a call made while the connection is down.
  automation::Status DownStatus() const;
  int32_t Answer(const automation::Status& status);
  // Sends the run's first `count` rows; `run` holds them.
  kj::Promise<TakeResult> Insert(PostgresDTO& dto, kj::Own<Run> run, size_t count);
  // The connection broke: close it, remember why and since when, and start trying
  // to connect again.
  void LoseConnection(const automation::Status& why);
  kj::Promise<void> Reconnect(kj::Duration wait);

  Environment env_;
  const PropertyPacker packer_{};
  PgSession session_;
  State state_ = State::Unconnected;
  std::string conninfo_;
  std::string lastError_;
  automation::Status lostBecause_;
  std::optional<double> downSince_;
  uint64_t bindings_ = 0;
  int64_t rowsChanged_ = -1;  // of the last Execute that answered 0
  // Last, so that it is dropped first: it refers to the members above.
  kj::Promise<void> reconnecting_ = nullptr;
};

}  // namespace recordkit
