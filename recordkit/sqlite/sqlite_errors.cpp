#include "recordkit/sqlite/sqlite_errors.h"

#include "automation/automation_error.h"

namespace recordkit {

int32_t StoreErrorNumber(int sqliteCode, int systemErrno) {
  namespace err = automation::err;
  switch (sqliteCode & 0xff) {  // the primary code of an extended one
    case SQLITE_FULL:
      return err::kDiskFull;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return err::kPermissionDenied;
    case SQLITE_CANTOPEN:
      return systemErrno != 0 ? automation::FileErrorNumber(systemErrno)
                              : err::kPathFileAccessError;
    default:
      return err::kDeviceIOError;
  }
}

StoreStatus FailureOf(sqlite3* db, int sqliteCode) {
  if (db == nullptr) {
    return {StoreErrorNumber(sqliteCode, 0), sqlite3_errstr(sqliteCode)};
  }
  const int extended = sqlite3_extended_errcode(db);
  std::string message = sqlite3_errmsg(db);
  message += " (" + std::to_string(extended) + ")";
  return {StoreErrorNumber(sqliteCode, sqlite3_system_errno(db)), std::move(message)};
}

}  // namespace recordkit
