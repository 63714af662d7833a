#pragma once
// Owning handles for libpq's connection and result objects.

#include <memory>

#include <libpq-fe.h>

namespace recordkit {

struct PgConnectionCloser {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
using PgConnectionHandle = std::unique_ptr<PGconn, PgConnectionCloser>;

struct PgResultClearer {
  void operator()(PGresult* result) const { PQclear(result); }
};
using PgResultHandle = std::unique_ptr<PGresult, PgResultClearer>;

}  // namespace recordkit
