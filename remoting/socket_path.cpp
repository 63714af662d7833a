#include "remoting/socket_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

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

std::string SocketFolder(const std::string& socketPath) {
  std::string::size_type slash = socketPath.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : socketPath.substr(0, slash);
}

std::string UnsafeSocketFolder(const std::string& folder) {
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) {
    return errno == ENOENT ? std::string() : "cannot look at " + folder + ": " + std::strerror(errno);
  }
  if (info.st_uid != geteuid() && info.st_uid != 0) return "the socket's folder " + folder + " belongs to another user";
  // A sticky folder lets each user remove only their own entries.
  const bool sticky = (info.st_mode & S_ISVTX) != 0;
  if ((info.st_mode & S_IWOTH) != 0 && !sticky) return "other users may write in the socket's folder " + folder;
  if ((info.st_mode & S_IWGRP) != 0 && !sticky) return "its group may write in the socket's folder " + folder;

  // Whoever may rename entries in the folder above may swap the socket's folder
  // itself for one of their own.
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr) return "cannot look at " + folder + ": " + std::strerror(errno);
  const std::string parent = SocketFolder(resolved);
  if (parent == resolved) return "";  // the root has no folder above it
  struct stat above {};
  if (stat(parent.c_str(), &above) != 0) return "cannot look at " + parent + ": " + std::strerror(errno);
  if ((above.st_mode & S_IWOTH) != 0 && (above.st_mode & S_ISVTX) == 0) {
    return "other users may write in " + parent + ", the folder that holds the socket's folder " + folder;
  }
  return "";
}

}  // namespace ledgerwick
