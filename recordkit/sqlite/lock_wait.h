#pragma once
// How a SQLite connection waits for a lock that another connection holds: in
// growing steps up to a limit, and not at all once its owner is going away or the
// caller has given up on the call.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include <sqlite3.h>

namespace recordkit {

class LockWait {
 public:
  LockWait() = default;
  LockWait(const LockWait&) = delete;
  LockWait& operator=(const LockWait&) = delete;

  // Makes `db` wait through this object. This object must outlive `db`, or the
  // handler must be taken off it (Remove) first.
  void Install(sqlite3* db);
  static void Remove(sqlite3* db);

  // Starts a call on the connection, by whichever thread is about to use it: a lock
  // is waited for at most `limit` (0 gives up at once), and no longer once
  // `*abandoned` (when given) is true; that is looked at between steps of at most
  // 100 ms. `*abandoned` must stay alive until EndCall.
  void StartCall(std::chrono::milliseconds limit, const std::atomic<bool>* abandoned = nullptr);
  void EndCall();

  // From any thread: a wait in progress gives up now, and every later one at once.
  void Cancel();
  bool cancelled() const;

 private:
  // SQLite's busy handler: non-zero to try the lock again.
  static int OnBusy(void* self, int count);
  bool WaitBeforeTry(int count);

  mutable std::mutex mutex_;
  std::condition_variable cancelledChanged_;
  bool cancelled_ = false;
  std::chrono::milliseconds limit_{0};
  const std::atomic<bool>* abandoned_ = nullptr;
  std::chrono::steady_clock::time_point deadline_;  // of the lock being waited for
};

}  // namespace recordkit
