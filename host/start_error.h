#pragma once
// A reason the daemon cannot start, worded for the operator.

#include <stdexcept>
#include <string>

namespace ledgerwick::host {

class StartError : public std::runtime_error {
 public:
  explicit StartError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace ledgerwick::host
