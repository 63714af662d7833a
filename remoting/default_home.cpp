#include "remoting/default_home.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

namespace ledgerwick {

namespace {

std::string UserHome() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') return home;
  if (const passwd* entry = getpwuid(geteuid()); entry != nullptr && entry->pw_dir != nullptr) return entry->pw_dir;
  return "";
}

}  // namespace

std::string DefaultHomeFor(bool root, const char* xdgStateHome, const std::string& userHome) {
  if (root) return "/var/lib/ledgerwick";
  // A relative XDG_STATE_HOME is to be ignored, as the base-directory rules say.
  if (xdgStateHome != nullptr && *xdgStateHome == '/') return std::string(xdgStateHome) + "/ledgerwick";
  // No home of the user's: none here either; a shared folder such as /tmp would let
  // another user make it first.
  if (userHome.empty()) return "";
  return userHome + "/.local/state/ledgerwick";
}

std::string DefaultHome() { return DefaultHomeFor(geteuid() == 0, std::getenv("XDG_STATE_HOME"), UserHome()); }

}  // namespace ledgerwick
