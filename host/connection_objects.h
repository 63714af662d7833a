#pragma once
// What one connection's client created: the Applications it holds, counted against a
// bound so that one client cannot fill the daemon with objects.

#include <cstdint>
#include <memory>
#include <vector>

#include "server/application.h"

namespace ledgerwick::host {

// At most this many Applications live per connection; past it Create answers 7.
constexpr uint32_t kMaxApplicationsPerConnection = 1024;
// Bytes of calls a connection may have in flight before the daemon stops reading
// from it (one larger call is still taken, alone).
constexpr uint64_t kConnectionFlowLimitBytes = 32ull << 20;

class ConnectionObjects {
 public:
  explicit ConnectionObjects(uint32_t maxApplications = kMaxApplicationsPerConnection) : max_(maxApplications) {}
  ConnectionObjects(const ConnectionObjects&) = delete;
  ConnectionObjects& operator=(const ConnectionObjects&) = delete;

  // One counted Application; its destruction gives the room back.
  class Slot {
   public:
    Slot() = default;
    explicit Slot(std::shared_ptr<ConnectionObjects> owner) : owner_(std::move(owner)) {}
    Slot(Slot&& other) noexcept = default;
    Slot& operator=(Slot&& other) noexcept {
      Reset();
      owner_ = std::move(other.owner_);
      return *this;
    }
    ~Slot() { Reset(); }

   private:
    void Reset() {
      if (owner_) --owner_->live_;
      owner_.reset();
    }
    std::shared_ptr<ConnectionObjects> owner_;
  };

  // Raises AutomationError 7 when the connection holds its bound already.
  static Slot Take(const std::shared_ptr<ConnectionObjects>& objects);

  uint32_t live() const { return live_; }

  // An Application the connection's client created.
  void Made(const std::shared_ptr<Application>& application);
  // The connection has closed: each of its Applications still alive lets go of the
  // objects it holds, so that one held only by itself (its Key, say) goes too.
  void ReleaseHeld();

 private:
  const uint32_t max_;
  uint32_t live_ = 0;
  std::vector<std::weak_ptr<Application>> made_;
};

}  // namespace ledgerwick::host
