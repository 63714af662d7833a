#pragma once
// How a SQLite failure becomes the error number a store answers.

#include <cstdint>
#include <string>

#include <sqlite3.h>

namespace recordkit {

// The outcome of one store operation: 0, or an error number with SQLite's own
// message, which only the store keeps (its callers get the number).
struct StoreStatus {
  int32_t number = 0;
  std::string message;

  bool ok() const { return number == 0; }
};

// Full disk 61; read-only database or denied access 70; a file that cannot be
// opened by its errno as FileErrorNumber maps it (76 path not found, 75 one that
// may not be written, 67 no free descriptor), 75 when SQLite names no errno;
// anything else 57.
int32_t StoreErrorNumber(int sqliteCode, int systemErrno);

// The status of the last failed call on `db`: its number and "message (code)".
StoreStatus FailureOf(sqlite3* db, int sqliteCode);

}  // namespace recordkit
