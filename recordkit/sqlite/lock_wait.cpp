#include "recordkit/sqlite/lock_wait.h"

#include <algorithm>
#include <iterator>

namespace recordkit {

namespace {

using std::chrono::milliseconds;

// Short steps first, since most locks are held briefly; then a steady 100 ms.
constexpr milliseconds kSteps[] = {milliseconds(1),  milliseconds(2),  milliseconds(5),  milliseconds(10),
                                   milliseconds(15), milliseconds(20), milliseconds(25), milliseconds(25),
                                   milliseconds(25), milliseconds(50), milliseconds(50), milliseconds(100)};

}  // namespace

void LockWait::Install(sqlite3* db) { sqlite3_busy_handler(db, &LockWait::OnBusy, this); }

void LockWait::Remove(sqlite3* db) { sqlite3_busy_handler(db, nullptr, nullptr); }

void LockWait::StartCall(milliseconds limit, const std::atomic<bool>* abandoned) {
  std::lock_guard<std::mutex> lock(mutex_);
  limit_ = limit;
  abandoned_ = abandoned;
}

void LockWait::EndCall() { StartCall(milliseconds(0), nullptr); }

void LockWait::Cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
  }
  cancelledChanged_.notify_all();
}

bool LockWait::cancelled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_;
}

int LockWait::OnBusy(void* self, int count) { return static_cast<LockWait*>(self)->WaitBeforeTry(count) ? 1 : 0; }

bool LockWait::WaitBeforeTry(int count) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  // SQLite counts the calls for one lock from 0.
  if (count == 0) deadline_ = now + limit_;
  auto givenUp = [this] { return cancelled_ || (abandoned_ != nullptr && abandoned_->load()); };
  if (givenUp() || now >= deadline_) return false;
  const milliseconds step = kSteps[std::min<size_t>(static_cast<size_t>(count), std::size(kSteps) - 1)];
  cancelledChanged_.wait_until(lock, std::min(now + step, deadline_), [this] { return cancelled_; });
  // At the deadline the lock is tried once more; the next call gives up.
  return !givenUp();
}

}  // namespace recordkit
