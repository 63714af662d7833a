#include "writer/fault_log.h"

#include <cstdio>

namespace ledgerwick {

automation::Status FaultLog::LogFault(const std::string& message) {
  automation::Status status = eventLog_.Append(path_, "Information", message);
  if (status.ok()) ++entries_;
  return status;
}

void FaultLog::Report(const std::string& message) noexcept {
  try {
    automation::Status status = LogFault(message);
    if (!status.ok()) {
      std::fprintf(stderr, "ledgerwickd: fault log not written (%s): %s\n", status.description.c_str(),
                   message.c_str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ledgerwickd: fault log not written (%s): %s\n", e.what(), message.c_str());
  }
}

void RepeatedFaults::Report(const std::string& message) noexcept {
  try {
    auto found = repeats_.find(message);
    if (found != repeats_.end()) {
      ++found->second;
      return;
    }
    if (repeats_.size() < kMaxDistinct) repeats_.emplace(message, 0);
  } catch (const std::bad_alloc&) {
    // Counting is a courtesy; the entry itself still gets written.
  }
  log_.Report(message);
}

void RepeatedFaults::End() noexcept {
  for (const auto& [message, times] : repeats_) {
    if (times > 0) {
      log_.Report(message + " (repeated " + std::to_string(times) + (times == 1 ? " time)" : " times)"));
    }
  }
  repeats_.clear();
}

}  // namespace ledgerwick
