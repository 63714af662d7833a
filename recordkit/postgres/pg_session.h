#pragma once
// One libpq connection driven from the kj event loop: libpq runs non-blocking and
// the loop watches its socket, so connecting and running statements never block
// the loop's thread. Statements are sent as pipelines.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <kj/async-io.h>
#include <kj/async-unix.h>
#include <kj/async.h>
#include <kj/timer.h>

#include "automation/status.h"
#include "recordkit/postgres/pg_handles.h"

namespace recordkit {

// How long connecting may take when the connection string sets no connect_timeout.
constexpr kj::Duration kDefaultConnectTimeout = 10 * kj::SECONDS;

// One statement of a pipeline.
struct PgQuery {
  enum class Kind {
    Run,          // `sql` with `params`
    Prepare,      // prepares `sql` as the statement `name`
    RunPrepared,  // the prepared statement `name` with `params`
  };
  Kind kind = Kind::Run;
  std::string sql;
  std::string name;
  // Parameters in text form; nullopt is NULL.
  std::vector<std::optional<std::string>> params;
};

// What became of a pipeline.
struct PgOutcome {
  static constexpr size_t kNone = static_cast<size_t>(-1);

  // The connection broke, or the pipeline timed out: the session is closed and
  // nothing of the pipeline is known to be done. `status` says why.
  bool lost = false;
  // The first statement that failed, and why; kNone when every one succeeded. A
  // failure rolls the whole pipeline back.
  size_t failedAt = kNone;
  automation::Status status;
  // The rows each statement answered, in statement order; null for statements that
  // answered none.
  std::vector<PgResultHandle> results;
  // The rows the statements inserted, updated or deleted, summed.
  uint64_t rowsChanged = 0;

  bool ok() const { return !lost && failedAt == kNone; }
};

class PgSession {
 public:
  // `network` looks up host names off the loop's thread (libpq would look them up on
  // it, holding the loop for as long as the resolver takes).
  PgSession(kj::UnixEventPort& port, kj::Timer& timer, kj::Network& network);
  ~PgSession();
  PgSession(const PgSession&) = delete;
  PgSession& operator=(const PgSession&) = delete;

  // Connects to what `conninfo` names (a libpq connection string or URI; what it
  // leaves out comes from the PG* environment variables and the password file), with
  // the client encoding UTF-8. Closes an open connection first. Gives up after the
  // string's connect_timeout, else kDefaultConnectTimeout. A single host name is
  // looked up first, off the loop, and handed to libpq as its address. On failure
  // the session stays closed.
  kj::Promise<automation::Status> Connect(const std::string& conninfo);

  // Sends `queries` as one pipeline with one sync point at its end, so they run in
  // one transaction: every statement, or none. Resolves once the server has
  // answered the sync point, that is once the transaction is committed or rolled
  // back; gives up after `timeout`, closing the session. The statements are sent
  // before this returns, so `queries` need not outlive the call. One pipeline at a
  // time; must be open.
  kj::Promise<PgOutcome> Pipeline(const std::vector<PgQuery>& queries, kj::Duration timeout);

  bool isOpen() const { return connection_ != nullptr; }
  // Counts the connections made; statements prepared on an earlier one are gone.
  uint64_t generation() const { return generation_; }

  // Closes the connection; a pipeline or a connect in progress is given up.
  void Close();

 private:
  struct Run;

  // Starts libpq's connect, to `hostaddr` when it is not empty.
  kj::Promise<automation::Status> StartConnect(const std::string& conninfo, const std::string& hostaddr);
  kj::Promise<automation::Status> PollConnect(PostgresPollingStatusType polled);
  kj::Promise<PgOutcome> Pump(kj::Own<Run> run);
  PgOutcome Lost(automation::Status status);
  // Resolves when the socket becomes readable (or writable too, when asked).
  kj::Promise<void> WhenReady(bool writable);

  kj::UnixEventPort& port_;
  kj::Timer& timer_;
  kj::Network& network_;
  PgConnectionHandle connection_;
  // Watches the socket for one wait at a time. Dropped before libpq is called again,
  // since libpq may close the socket and open another under the same number.
  kj::Maybe<kj::Own<kj::UnixEventPort::FdObserver>> observer_;
  uint64_t generation_ = 0;
  bool busy_ = false;
};

}  // namespace recordkit
