#pragma once
// The clients that follow what the daemon writes (ledgerwick tail -f): each run of
// records a target took is sent to every listener, as packed records. A listener
// whose call fails (its client went away), or that leaves too many calls
// unanswered, is dropped; the writer never waits for one.

#include <cstdint>
#include <map>

#include <kj/async.h>

#include "automation/variant.h"
#include "server/ledgerwick.capnp.h"

namespace ledgerwick::host {

class WrittenFeed final : private kj::TaskSet::ErrorHandler {
 public:
  // How many calls a listener may leave unanswered before it is dropped.
  static constexpr uint32_t kMaxUnanswered = 64;

  WrittenFeed() : calls_(*this) {}
  WrittenFeed(const WrittenFeed&) = delete;
  WrittenFeed& operator=(const WrittenFeed&) = delete;

  void Add(rpc::WrittenListener::Client listener);
  // Sends `run` to every listener; never raises.
  void Publish(kj::ArrayPtr<const automation::Variant> run) noexcept;
  size_t listeners() const { return listeners_.size(); }

 private:
  struct Listener {
    rpc::WrittenListener::Client client;
    uint32_t unanswered = 0;
  };
  void taskFailed(kj::Exception&&) override {}

  std::map<uint64_t, Listener> listeners_;
  uint64_t nextId_ = 0;
  // Last, so that the calls on their way go before the listeners they refer to.
  kj::TaskSet calls_;
};

}  // namespace ledgerwick::host
