#pragma once
// A SQLite VFS for tests that wraps the default one and injects faults: writes
// that fail with a chosen code, or database files opened read-only.

#include <string>

#include <sqlite3.h>

namespace recordkit::testing {

class FaultVfs {
 public:
  // Registers the VFS under `name` (not as the default); unregistered on destruction.
  explicit FaultVfs(std::string name);
  ~FaultVfs();
  FaultVfs(const FaultVfs&) = delete;
  FaultVfs& operator=(const FaultVfs&) = delete;

  const std::string& name() const { return name_; }

  // Every write, truncate and sync fails with `code` (e.g. SQLITE_FULL) until Heal().
  void FailWrites(int code) { failCode_ = code; }
  void Heal() { failCode_ = SQLITE_OK; }
  // Database files opened from now on are opened read-only, as SQLite opens a file
  // it may not write.
  void OpenDatabasesReadOnly(bool readOnly) { readOnly_ = readOnly; }

  int failCode() const { return failCode_; }
  bool readOnly() const { return readOnly_; }
  sqlite3_vfs* base() const { return base_; }

 private:
  std::string name_;
  sqlite3_vfs* base_;
  sqlite3_vfs vfs_;
  int failCode_ = SQLITE_OK;
  bool readOnly_ = false;
};

}  // namespace recordkit::testing
