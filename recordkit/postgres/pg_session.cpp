#include "recordkit/postgres/pg_session.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <variant>

#include <kj/debug.h>

#include "automation/automation_error.h"
#include "recordkit/postgres/pg_errors.h"

namespace recordkit {

namespace err = automation::err;
using automation::Status;

namespace {

// libpq reads a database text as a connection string when it holds "=" or starts
// like a URI; otherwise it is a database name.
bool IsConnectionString(const std::string& conninfo) {
  return conninfo.find('=') != std::string::npos || conninfo.rfind("postgresql://", 0) == 0 ||
         conninfo.rfind("postgres://", 0) == 0;
}

// The connect_timeout the string sets, in whole seconds; nullopt when it sets none
// (or none above zero: this store never waits without end). Fails on a string
// libpq cannot read.
std::variant<kj::Duration, Status> ConnectTimeoutOf(const std::string& conninfo) {
  std::variant<kj::Duration, Status> answer = kDefaultConnectTimeout;
  if (!IsConnectionString(conninfo)) return answer;
  char* message = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &message);
  if (options == nullptr) {
    std::string text = message == nullptr ? "the connection string cannot be read" : message;
    PQfreemem(message);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return Status{err::kInvalidProcedureCall, text};
  }
  for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    if (std::strcmp(option->keyword, "connect_timeout") == 0 && option->val != nullptr) {
      const long seconds = std::strtol(option->val, nullptr, 10);
      if (seconds > 0) answer = seconds * kj::SECONDS;
    }
  }
  PQconninfoFree(options);
  return answer;
}

// The host to look up before connecting: one host name (not a socket folder, not an
// address) with its port, from the string or from PGHOST and PGPORT, when no
// address is given beside it. Nullopt when there is none to look up, or when libpq
// is left to it (several hosts).
std::optional<std::pair<std::string, std::string>> HostToLookUp(const std::string& conninfo) {
  std::string host, hostaddr, port;
  if (IsConnectionString(conninfo)) {
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), nullptr);
    if (options == nullptr) return std::nullopt;
    for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
      if (option->val == nullptr) continue;
      if (std::strcmp(option->keyword, "host") == 0) host = option->val;
      if (std::strcmp(option->keyword, "hostaddr") == 0) hostaddr = option->val;
      if (std::strcmp(option->keyword, "port") == 0) port = option->val;
    }
    PQconninfoFree(options);
  }
  auto fromEnvironment = [](std::string& value, const char* name) {
    const char* set = std::getenv(name);
    if (value.empty() && set != nullptr) value = set;
  };
  fromEnvironment(host, "PGHOST");
  fromEnvironment(hostaddr, "PGHOSTADDR");
  fromEnvironment(port, "PGPORT");
  if (port.empty()) port = "5432";
  if (host.empty() || !hostaddr.empty() || host[0] == '/' || host[0] == '@') return std::nullopt;
  if (host.find(',') != std::string::npos || port.find(',') != std::string::npos) return std::nullopt;
  unsigned char address[16];
  if (inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1) {
    return std::nullopt;
  }
  return std::make_pair(host, port);
}

// The status of a wait for the server that ran out.
Status NoAnswerWithin(kj::Duration limit) {
  return {err::kDeviceIOError,
          "no answer from the PostgreSQL server within " + std::to_string(limit / kj::SECONDS) + " s"};
}

// The address part of a kj address text: "192.0.2.1:5432", "[2001:db8::1]:5432".
std::string AddressPart(const std::string& text) {
  if (!text.empty() && text[0] == '[') return text.substr(1, text.find(']') - 1);
  return text.substr(0, text.rfind(':'));
}

}  // namespace

// A pipeline in progress.
struct PgSession::Run {
  size_t statements = 0;
  size_t current = 0;  // the statement whose results come next
  PgOutcome outcome;
};

PgSession::PgSession(kj::UnixEventPort& port, kj::Timer& timer, kj::Network& network)
    : port_(port), timer_(timer), network_(network) {}

PgSession::~PgSession() { Close(); }

void PgSession::Close() {
  observer_ = nullptr;  // before the socket closes
  connection_.reset();
  busy_ = false;
}

kj::Promise<void> PgSession::WhenReady(bool writable) {
  const int fd = PQsocket(connection_.get());
  if (fd < 0) return KJ_EXCEPTION(DISCONNECTED, "no socket");
  uint flags = kj::UnixEventPort::FdObserver::OBSERVE_READ;
  if (writable) flags |= kj::UnixEventPort::FdObserver::OBSERVE_WRITE;
  // A new observer registers the socket afresh, and a socket that is ready already
  // is reported at once.
  observer_ = nullptr;
  auto observer = kj::heap<kj::UnixEventPort::FdObserver>(port_, fd, flags);
  kj::Promise<void> ready = observer->whenBecomesReadable();
  if (writable) ready = ready.exclusiveJoin(observer->whenBecomesWritable());
  observer_ = kj::mv(observer);
  return ready.then([this]() { observer_ = nullptr; });
}

kj::Promise<Status> PgSession::Connect(const std::string& conninfo) {
  Close();
  auto timeout = ConnectTimeoutOf(conninfo);
  if (auto* failed = std::get_if<Status>(&timeout)) return std::move(*failed);

  kj::Promise<Status> connecting = nullptr;
  if (auto host = HostToLookUp(conninfo)) {
    const std::string name = host->first;
    connecting = network_.parseAddress(name + ":" + host->second)
                     .then(
                         [this, conninfo](kj::Own<kj::NetworkAddress> address) {
                           return StartConnect(conninfo, AddressPart(address->toString().cStr()));
                         },
                         [name](kj::Exception&& e) -> kj::Promise<Status> {
                           return Status{err::kDeviceIOError,
                                         "could not look up host \"" + name + "\": " + e.getDescription().cStr()};
                         });
  } else {
    connecting = StartConnect(conninfo, "");
  }

  const kj::Duration limit = std::get<kj::Duration>(timeout);
  return connecting
      .exclusiveJoin(timer_.afterDelay(limit).then([limit]() {
        return NoAnswerWithin(limit);
      }))
      .then([this](Status status) {
        if (status.ok() && PQenterPipelineMode(connection_.get()) != 1) status = PgConnectionFailure(connection_.get());
        if (!status.ok()) {
          Close();
          return status;
        }
        ++generation_;
        return status;
      });
}

kj::Promise<Status> PgSession::StartConnect(const std::string& conninfo, const std::string& hostaddr) {
  // The connection string's own settings stand, but for the client encoding: the
  // store hands over UTF-8 text.
  const char* keywords[] = {"dbname", "fallback_application_name", "client_encoding", nullptr, nullptr};
  const char* values[] = {conninfo.c_str(), "ledgerwickd", "UTF8", nullptr, nullptr};
  if (!hostaddr.empty()) {
    keywords[3] = "hostaddr";
    values[3] = hostaddr.c_str();
  }
  connection_.reset(PQconnectStartParams(keywords, values, 1));
  if (connection_ == nullptr) return Status::Error(err::kOutOfMemory);
  // The server's notices ("already exists, skipping") are not faults; libpq would
  // print them on the daemon's standard error.
  PQsetNoticeProcessor(connection_.get(), [](void*, const char*) {}, nullptr);
  if (PQstatus(connection_.get()) == CONNECTION_BAD || PQsetnonblocking(connection_.get(), 1) != 0) {
    return PgConnectionFailure(connection_.get());
  }
  return PollConnect(PGRES_POLLING_WRITING);
}

kj::Promise<Status> PgSession::PollConnect(PostgresPollingStatusType polled) {
  switch (polled) {
    case PGRES_POLLING_OK:
      return Status::Ok();
    case PGRES_POLLING_FAILED:
      return PgConnectionFailure(connection_.get());
    default:
      break;
  }
  return WhenReady(polled == PGRES_POLLING_WRITING)
      .then([this]() { return PollConnect(PQconnectPoll(connection_.get())); },
            [this](kj::Exception&&) -> kj::Promise<Status> { return PgConnectionFailure(connection_.get()); });
}

PgOutcome PgSession::Lost(Status status) {
  Close();
  PgOutcome outcome;
  outcome.lost = true;
  outcome.status = std::move(status);
  return outcome;
}

kj::Promise<PgOutcome> PgSession::Pipeline(const std::vector<PgQuery>& queries, kj::Duration timeout) {
  KJ_REQUIRE(isOpen() && !busy_, "one pipeline at a time, on an open session");
  PGconn* connection = connection_.get();
  for (const PgQuery& query : queries) {
    std::vector<const char*> params;
    params.reserve(query.params.size());
    for (const auto& param : query.params) params.push_back(param ? param->c_str() : nullptr);
    const int count = static_cast<int>(params.size());
    int sent = 0;
    switch (query.kind) {
      case PgQuery::Kind::Run:
        sent = PQsendQueryParams(connection, query.sql.c_str(), count, nullptr, params.data(), nullptr, nullptr, 0);
        break;
      case PgQuery::Kind::Prepare:
        sent = PQsendPrepare(connection, query.name.c_str(), query.sql.c_str(), 0, nullptr);
        break;
      case PgQuery::Kind::RunPrepared:
        sent = PQsendQueryPrepared(connection, query.name.c_str(), count, params.data(), nullptr, nullptr, 0);
        break;
    }
    if (sent != 1) return Lost(PgConnectionFailure(connection));
  }
  if (PQpipelineSync(connection) != 1) return Lost(PgConnectionFailure(connection));

  busy_ = true;
  auto run = kj::heap<Run>();
  run->statements = queries.size();
  run->outcome.results.resize(queries.size());
  return Pump(kj::mv(run))
      .exclusiveJoin(timer_.afterDelay(timeout).then([this, timeout]() {
        return Lost(NoAnswerWithin(timeout));
      }))
      .then([this](PgOutcome outcome) {
        busy_ = false;
        return outcome;
      });
}

kj::Promise<PgOutcome> PgSession::Pump(kj::Own<Run> run) {
  PGconn* connection = connection_.get();
  // Sending and reading go on together: with a long pipeline the server answers
  // while it still reads, and it stops reading when its answers are not taken.
  const int flushed = PQflush(connection);
  if (flushed < 0 || PQconsumeInput(connection) != 1) return Lost(PgConnectionFailure(connection));
  while (PQisBusy(connection) == 0) {
    PgResultHandle result(PQgetResult(connection));
    if (result == nullptr) {
      // The end of one statement's results.
      if (++run->current > run->statements) return Lost(PgConnectionFailure(connection));
      continue;
    }
    switch (PQresultStatus(result.get())) {
      case PGRES_PIPELINE_SYNC:
        return kj::mv(run->outcome);
      case PGRES_COMMAND_OK:
        run->outcome.rowsChanged += std::strtoull(PQcmdTuples(result.get()), nullptr, 10);
        break;
      case PGRES_PIPELINE_ABORTED:
        break;
      case PGRES_TUPLES_OK:
        if (run->current < run->statements) run->outcome.results[run->current] = std::move(result);
        break;
      default:
        if (EndsTheSession(result.get()) || PQstatus(connection) == CONNECTION_BAD) {
          return Lost(PgFailure(result.get()));
        }
        if (run->outcome.failedAt == PgOutcome::kNone) {
          run->outcome.failedAt = run->current;
          run->outcome.status = PgFailure(result.get());
        }
        break;
    }
  }
  if (PQstatus(connection) == CONNECTION_BAD) return Lost(PgConnectionFailure(connection));
  return WhenReady(flushed == 1)
      .then([this, run = kj::mv(run)]() mutable { return Pump(kj::mv(run)); },
            [this](kj::Exception&&) { return Lost(PgConnectionFailure(connection_.get())); });
}

}  // namespace recordkit
