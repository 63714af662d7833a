#pragma once
// Owning handles for a SQLite connection and its prepared statements.

#include <memory>
#include <string>

#include <sqlite3.h>

namespace recordkit {

// One open SQLite database. Non-copyable; shared between a DSO and the DTOs bound
// through it, so a DTO can tell when the connection it was bound on has gone.
class SqliteConnection {
 public:
  explicit SqliteConnection(sqlite3* db) : db_(db) {}
  ~SqliteConnection() { Close(); }
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  // Closes the database. Statements still prepared on it keep the handle alive
  // (sqlite3_close_v2) until they are finalized, so closing never invalidates them
  // in a way that crashes; a closed connection just stops being used.
  void Close() {
    if (db_ != nullptr) sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  bool isOpen() const { return db_ != nullptr; }
  sqlite3* handle() const { return db_; }

 private:
  sqlite3* db_;
};

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using SqliteStatement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

}  // namespace recordkit
