#pragma once
// A SQLite VFS for tests that wraps the default one and injects faults: writes
// that fail with a chosen code, from now on or at the Nth operation, or database
// files opened read-only. It also counts what it saw, and lets a test wait until a
// connection has met a lock held by another. Usable from any thread.

#include <condition_variable>
#include <mutex>
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
  void FailWrites(int code);

  // Which operations FailNth counts.
  enum class Counted { kWritesAndSyncs, kSyncs };
  enum class Fault { kOnce, kFromThenOn };
  // The nth counted operation from now (1: the next) fails with `code`; kOnce lets
  // the ones after it through, kFromThenOn fails every write, truncate and sync after
  // it as well, until Heal(). Replaces any fault set before.
  void FailNth(int n, int code, Fault fault, Counted counted = Counted::kWritesAndSyncs);
  void Heal();

  // Database files opened from now on are opened read-only, as SQLite opens a file
  // it may not write.
  void OpenDatabasesReadOnly(bool readOnly);
  bool readOnly() const;

  // Counts since the VFS was registered: writes and truncates, syncs, operations
  // that failed through a fault, and locks refused as busy.
  int writes() const;
  int syncs() const;
  int faultsHit() const;
  int busyLocks() const;
  // Blocks until `n` locks in all have been refused as busy.
  void AwaitBusyLocks(int n) const;

  sqlite3_vfs* base() const { return base_; }

  // Called by the VFS's files: the code that the next write (or truncate, or sync)
  // answers instead of doing it, SQLITE_OK to do it.
  int BeforeWrite(bool isSync);
  void AfterLock(int rc);

 private:
  std::string name_;
  sqlite3_vfs* base_;
  sqlite3_vfs vfs_;

  mutable std::mutex mutex_;
  mutable std::condition_variable busyLocksChanged_;
  int failCode_ = SQLITE_OK;  // failing every write now
  int countdown_ = 0;         // counted operations until the next fault; 0 for none
  int pendingCode_ = SQLITE_OK;
  Fault pendingFault_ = Fault::kOnce;
  Counted counted_ = Counted::kWritesAndSyncs;
  bool readOnly_ = false;
  int writes_ = 0;
  int syncs_ = 0;
  int faultsHit_ = 0;
  int busyLocks_ = 0;
};

}  // namespace recordkit::testing
