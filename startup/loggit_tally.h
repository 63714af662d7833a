#pragma once
// Loggit calls since the process started: the events accepted, and those answered
// with an error.

#include <cstdint>

namespace ledgerwick {

class LoggitTally {
 public:
  void Accepted() { ++accepted_; }
  void Refused() { ++refused_; }
  // Events accepted one by one, then refused together at the end of their call.
  void Withdrawn(uint64_t events) {
    accepted_ -= events;
    refused_ += events;
  }
  uint64_t accepted() const { return accepted_; }
  uint64_t refused() const { return refused_; }

 private:
  uint64_t accepted_ = 0;
  uint64_t refused_ = 0;
};

}  // namespace ledgerwick
