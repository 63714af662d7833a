#include "recordkit/postgres/pg_errors.h"

#include <cstring>
#include <string_view>

#include "automation/automation_error.h"

namespace recordkit {

namespace err = automation::err;

namespace {

// libpq's messages end in a line break and may span lines; the fault log wants one.
std::string OneLine(const char* message) {
  std::string text = message == nullptr ? "" : message;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  for (char& c : text) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  return text;
}

}  // namespace

int32_t PgErrorNumber(const char* sqlstate) {
  const std::string_view state = sqlstate == nullptr ? "" : sqlstate;
  if (state.size() != 5) return err::kDeviceIOError;
  const std::string_view kind = state.substr(0, 2);
  if (kind == "28" || state == "42501") return err::kPermissionDenied;
  if (state == "3D000") return err::kPathNotFound;
  if (state == "53100") return err::kDiskFull;
  if (state == "53200") return err::kOutOfMemory;
  if (kind == "22" || kind == "23") return err::kTypeMismatch;
  if (kind == "42") return err::kInvalidProcedureCall;
  return err::kDeviceIOError;
}

automation::Status PgFailure(const PGresult* result) {
  const char* sqlstate = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  std::string message = OneLine(PQresultErrorMessage(result));
  if (message.empty()) message = PQresStatus(PQresultStatus(result));
  if (sqlstate != nullptr) message += std::string(" (SQLSTATE ") + sqlstate + ")";
  return {PgErrorNumber(sqlstate), std::move(message)};
}

automation::Status PgConnectionFailure(const PGconn* connection) {
  std::string message = connection == nullptr ? "" : OneLine(PQerrorMessage(connection));
  if (message.empty()) message = "the connection to the PostgreSQL server was lost";
  // Where it tried, unless libpq said so itself.
  const char* host = connection == nullptr ? nullptr : PQhost(connection);
  const char* port = connection == nullptr ? nullptr : PQport(connection);
  if (host != nullptr && *host != '\0' && message.rfind("connection to server", 0) != 0) {
    message = std::string("PostgreSQL at \"") + host + "\" port " + (port != nullptr ? port : "?") + ": " + message;
  }
  // While connecting libpq reports a refused login or a missing database only as
  // text, so every failure of the connection itself answers the same number.
  return {err::kDeviceIOError, std::move(message)};
}

bool EndsTheSession(const PGresult* result) {
  const char* sqlstate = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  if (sqlstate == nullptr) return true;  // made up by libpq itself: the connection is gone
  // Connection exceptions and operator intervention (shutdown, terminated backend).
  return std::strncmp(sqlstate, "08", 2) == 0 || std::strncmp(sqlstate, "57P", 3) == 0;
}

}  // namespace recordkit
