#pragma once
// The outcome of an operation that can fail for reasons outside the program (a
// store that is down, a full disk): 0, or an error number with its description.
// A target being down is a value the caller branches on, not an exception.

#include <cstdint>
#include <string>

namespace automation {

struct Status {
  int32_t number = 0;
  std::string description;

  bool ok() const { return number == 0; }

  static Status Ok() { return {}; }
  // `number` with its standard description.
  static Status Error(int32_t number);
  static Status Error(int32_t number, std::string description) { return {number, std::move(description)}; }
};

}  // namespace automation
