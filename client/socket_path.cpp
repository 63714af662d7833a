#include "client/socket_path.h"

#include <unistd.h>

#include <cstdlib>

namespace ledgerwick {

namespace {
std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}
}  // namespace

std::string ResolveSocketPath(const std::string& given) {
  if (!given.empty()) return given;
  if (std::string fromEnvironment = Environment("LEDGERWICK_SOCKET"); !fromEnvironment.empty()) {
    return fromEnvironment;
  }
  if (geteuid() == 0) return "/run/ledgerwick/ledgerwick.sock";
  if (std::string runtime = Environment("XDG_RUNTIME_DIR"); !runtime.empty()) {
    return runtime + "/ledgerwick.sock";
  }
  return "/tmp/ledgerwick-" + std::to_string(geteuid()) + "/ledgerwick.sock";
}

}  // namespace ledgerwick
