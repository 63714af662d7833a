#pragma once
// How a PostgreSQL failure becomes the status a store answers.

#include <cstdint>
#include <string>

#include <libpq-fe.h>

#include "automation/status.h"

namespace recordkit {

// The error number for a SQLSTATE: 70 for a refused login or privilege, 76 for a
// database that does not exist, 61 for a full disk, 7 for the server out of memory,
// 13 for a value the table cannot take (a data or integrity error), 5 for a
// statement the server does not accept (a syntax error, a missing table); 57 for
// anything else, a broken connection among them.
int32_t PgErrorNumber(const char* sqlstate);

// The status of a failed result: its number and "message (SQLSTATE xxxxx)".
automation::Status PgFailure(const PGresult* result);

// The status of a connection that failed or broke, from libpq's message for it.
automation::Status PgConnectionFailure(const PGconn* connection);

// True when the failure in `result` means the session is over (the server shut
// down or ended this connection), so the connection is not used again.
bool EndsTheSession(const PGresult* result);

}  // namespace recordkit
