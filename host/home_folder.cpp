#include "host/home_folder.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/start_error.h"

namespace ledgerwick::host {

namespace {

// mkdir -p with `mode` for each folder it makes; errno of the first failure.
bool MakeFolders(const std::string& folder, mode_t mode) {
  for (std::string::size_type slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (!part.empty() && mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

}  // namespace

void PrepareHome(const std::string& folder, bool create) {
  if (folder.empty()) throw StartError("ledgerwickd: no home folder: this user has none; name one with --home");
  if (create && !MakeFolders(folder, 0700)) {
    throw StartError("ledgerwickd: cannot make the home folder " + folder + ": " + std::strerror(errno));
  }
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) {
    if (errno == ENOENT) {
      throw StartError("ledgerwickd: the home folder " + folder + " does not exist (make it, or name another with --home)");
    }
    throw StartError("ledgerwickd: cannot use the home folder " + folder + ": " + std::strerror(errno));
  }
  if (!S_ISDIR(info.st_mode)) throw StartError("ledgerwickd: the home folder " + folder + " is not a folder");
  // The test that counts is a file made there: permission bits alone miss a
  // read-only mount and ACLs.
  std::string probe = folder + "/.ledgerwickd-XXXXXX";
  int fd = mkstemp(probe.data());
  if (fd < 0) {
    throw StartError("ledgerwickd: cannot write in the home folder " + folder + ": " + std::strerror(errno));
  }
  close(fd);
  unlink(probe.c_str());
}

}  // namespace ledgerwick::host
