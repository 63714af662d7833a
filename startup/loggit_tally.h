#pragma once
// Loggit calls since the process started: the events accepted one by one, and those
// answered with an error then. Events accepted and then refused with the rest of
// their call, when the journal could not take them, the drain counts.

#include <cstdint>

namespace ledgerwick {

class LoggitTally {
 public:
  void Accepted() { ++accepted_; }
  void Refused() { ++refused_; }
  uint64_t accepted() const { return accepted_; }
  uint64_t refused() const { return refused_; }

 private:
  uint64_t accepted_ = 0;
  uint64_t refused_ = 0;
};

}  // namespace ledgerwick
