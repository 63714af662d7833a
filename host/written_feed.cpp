#include "host/written_feed.h"

#include "automation/automation_error.h"

namespace ledgerwick::host {

kj::Promise<automation::Status> WrittenFeed::Add(rpc::WrittenListener::Client listener) {
  auto paf = kj::newPromiseAndFulfiller<automation::Status>();
  const uint64_t id = nextId_++;
  auto added = listeners_.emplace(id, Listener{kj::mv(listener), kj::mv(paf.fulfiller), 0}).first;
  // A first call with no records tells the follower that it follows from now on.
  auto hello = added->second.client.writtenRequest();
  hello.initRecords(0);
  calls_.add(hello.send().then([](auto&&) {}, [this, id](kj::Exception&& e) {
    Drop(id, {automation::err::kDeviceIOError, std::string("the follower cannot be reached: ") + e.getDescription().cStr()});
  }));
  return kj::mv(paf.promise);
}

void WrittenFeed::Drop(uint64_t id, automation::Status why) {
  auto found = listeners_.find(id);
  if (found == listeners_.end()) return;
  found->second.dropped->fulfill(kj::mv(why));
  listeners_.erase(found);
}

void WrittenFeed::Publish(kj::ArrayPtr<const automation::Variant> run) noexcept {
  size_t records = 0;
  size_t bytes = 0;
  for (const automation::Variant& record : run) {
    if (!record.isArray()) continue;
    ++records;
    bytes += record.array().bytes().size();
  }
  if (records == 0) return;
  for (auto it = listeners_.begin(); it != listeners_.end();) {
    const uint64_t id = it->first;
    Listener& listener = it->second;
    ++it;  // Drop below removes only this listener
    try {
      if (listener.unansweredBytes + bytes > kMaxUnansweredBytes) {
        Drop(id, {automation::err::kOutOfMemory, "the follower fell too far behind what is written"});
        continue;
      }
      auto request = listener.client.writtenRequest();
      auto list = request.initRecords(static_cast<unsigned>(records));
      unsigned at = 0;
      for (const automation::Variant& record : run) {
        if (!record.isArray()) continue;
        const std::vector<uint8_t>& packed = record.array().bytes();
        list.set(at++, kj::arrayPtr(packed.data(), packed.size()));
      }
      listener.unansweredBytes += bytes;
      calls_.add(request.send().then(
          [this, id, bytes](auto&&) {
            auto found = listeners_.find(id);
            if (found != listeners_.end()) found->second.unansweredBytes -= bytes;
          },
          [this, id](kj::Exception&& e) {
            Drop(id, {automation::err::kDeviceIOError, std::string("the follower cannot be reached: ") +
                                                      e.getDescription().cStr()});
          }));
    } catch (...) {
      // This listener cannot be sent to; the others still are.
      const automation::AutomationError error = automation::AutomationError::FromCurrentException();
      Drop(id, {error.number(), error.description()});
    }
  }
}

}  // namespace ledgerwick::host
