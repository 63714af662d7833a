#pragma once
// The daemon cannot be reached or started, or the connection to it broke.

#include <stdexcept>
#include <string>

namespace ledgerwick::client {

class ConnectError : public std::runtime_error {
 public:
  explicit ConnectError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace ledgerwick::client
