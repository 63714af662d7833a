#pragma once
// The clients that follow what the daemon writes (ledgerwick tail -f): each run of
// records a target took is sent to every listener, as packed records. A listener
// whose call fails (its client went away), or that leaves too much unanswered, is
// dropped and told why; the writer never waits for one. A listener's first call
// holds no records: from then on it hears of every run.

#include <cstddef>
#include <cstdint>
#include <map>

#include <kj/async.h>

#include "automation/status.h"
#include "automation/variant.h"
#include "server/ledgerwick.capnp.h"

namespace ledgerwick::host {

class WrittenFeed final : private kj::TaskSet::ErrorHandler {
 public:
  // What a listener may leave unanswered before it is dropped: the daemon would
  // otherwise hold a slow reader's copies without bound.
  static constexpr size_t kMaxUnansweredBytes = size_t{16} << 20;

  WrittenFeed() : calls_(*this) {}
  WrittenFeed(const WrittenFeed&) = delete;
  WrittenFeed& operator=(const WrittenFeed&) = delete;

  // Resolves, with the reason, once the listener is dropped.
  kj::Promise<automation::Status> Add(rpc::WrittenListener::Client listener);
  // Sends `run` to every listener; never raises.
  void Publish(kj::ArrayPtr<const automation::Variant> run) noexcept;
  size_t listeners() const { return listeners_.size(); }

 private:
  struct Listener {
    rpc::WrittenListener::Client client;
    kj::Own<kj::PromiseFulfiller<automation::Status>> dropped;
    size_t unansweredBytes = 0;
  };
  void Drop(uint64_t id, automation::Status why);
  void taskFailed(kj::Exception&&) override {}

  std::map<uint64_t, Listener> listeners_;
  uint64_t nextId_ = 0;
  // Last, so that the calls on their way go before the listeners they refer to.
  kj::TaskSet calls_;
};

}  // namespace ledgerwick::host
