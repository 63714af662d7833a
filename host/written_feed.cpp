#include "host/written_feed.h"

namespace ledgerwick::host {

void WrittenFeed::Add(rpc::WrittenListener::Client listener) {
  listeners_.emplace(nextId_++, Listener{kj::mv(listener), 0});
}

void WrittenFeed::Publish(kj::ArrayPtr<const automation::Variant> run) noexcept {
  if (listeners_.empty() || run.size() == 0) return;
  try {
    for (auto it = listeners_.begin(); it != listeners_.end();) {
      Listener& listener = it->second;
      if (listener.unanswered >= kMaxUnanswered) {
        it = listeners_.erase(it);  // too far behind: it would hold the daemon's memory
        continue;
      }
      auto request = listener.client.writtenRequest();
      auto records = request.initRecords(static_cast<unsigned>(run.size()));
      for (size_t i = 0; i < run.size(); ++i) {
        const automation::Variant& record = run[i];
        if (!record.isArray()) continue;
        const std::vector<uint8_t>& bytes = record.array().bytes();
        records.set(static_cast<unsigned>(i), kj::arrayPtr(bytes.data(), bytes.size()));
      }
      ++listener.unanswered;
      const uint64_t id = it->first;
      calls_.add(request.send().then(
          [this, id](auto&&) {
            auto found = listeners_.find(id);
            if (found != listeners_.end()) --found->second.unanswered;
          },
          [this, id](kj::Exception&&) { listeners_.erase(id); }));
      ++it;
    }
  } catch (...) {
    // A listener that cannot be sent to is no reason to stop writing.
  }
}

}  // namespace ledgerwick::host
