#include "host/unix_listener.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/start_error.h"
#include "remoting/socket_path.h"

namespace ledgerwick::host {

namespace {

std::string Reason(int error) { return std::strerror(error); }

sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) {
    throw StartError("ledgerwickd: socket path too long (at most " + std::to_string(sizeof(address.sun_path) - 1) +
                     " bytes): " + path);
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// Creates each missing folder on the way to `dir`: readable by all when the daemon
// runs as root (the system socket's folder, which the group's clients must enter),
// else the user's own, so that no other user can put a socket of theirs there.
void MakeFolders(const std::string& dir) {
  if (dir.empty()) return;
  struct stat info {};
  if (stat(dir.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode)) throw StartError("ledgerwickd: not a folder: " + dir);
    return;
  }
  std::string::size_type slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) MakeFolders(dir.substr(0, slash));
  if (mkdir(dir.c_str(), geteuid() == 0 ? 0755 : 0700) != 0 && errno != EEXIST) {
    throw StartError("ledgerwickd: cannot create " + dir + ": " + Reason(errno));
  }
}

// True when something accepts connections at `path`.
bool SomethingAnswers(const sockaddr_un& address) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool answered = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return answered;
}

// Someone else's lock file beside the socket: a link that points the daemon's
// writes elsewhere, or a file another user made (in a folder others may write),
// whose lock its owner could hold to keep the daemon from ever starting.
std::string PlantedLockFile(const std::string& lockPath, const struct stat& info) {
  const std::string advice = "; remove it if no daemon of this user made it";
  if (S_ISLNK(info.st_mode)) return "ledgerwickd: the lock file " + lockPath + " is a symbolic link" + advice;
  if (!S_ISREG(info.st_mode)) return "ledgerwickd: the lock file " + lockPath + " is not a plain file" + advice;
  if (info.st_uid != geteuid()) {
    return "ledgerwickd: the lock file " + lockPath + " belongs to another user (uid " + std::to_string(info.st_uid) +
           ")" + advice;
  }
  return "";
}

// Opens (creating when missing) the lock file, never through a link; raises
// StartError for one that another user planted.
int OpenLockFile(const std::string& lockPath) {
  // O_NONBLOCK: a FIFO put in its place must not hang the start.
  int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) {
    int error = errno;
    struct stat info {};
    if (lstat(lockPath.c_str(), &info) == 0) {
      if (std::string planted = PlantedLockFile(lockPath, info); !planted.empty()) throw StartError(planted);
    }
    throw StartError("ledgerwickd: cannot open " + lockPath + ": " + Reason(error));
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    int error = errno;
    close(fd);
    throw StartError("ledgerwickd: cannot look at " + lockPath + ": " + Reason(error));
  }
  if (std::string planted = PlantedLockFile(lockPath, info); !planted.empty()) {
    close(fd);
    throw StartError(planted);
  }
  return fd;
}

}  // namespace

std::unique_ptr<UnixListener> UnixListener::Open(const std::string& path) {
  const sockaddr_un address = AddressOf(path);
  const std::string folder = SocketFolder(path);
  MakeFolders(folder);
  if (std::string problem = UnsafeSocketFolder(folder); !problem.empty()) throw StartError("ledgerwickd: " + problem);

  const std::string lockPath = path + ".lock";
  int lockFd = OpenLockFile(lockPath);
  std::unique_ptr<UnixListener> listener(new UnixListener(path, lockFd));
  if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) throw StartError("ledgerwickd: another daemon is listening on " + path);
    throw StartError("ledgerwickd: cannot lock " + lockPath + ": " + Reason(errno));
  }

  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) {
    if (SomethingAnswers(address)) throw StartError("ledgerwickd: another daemon is listening on " + path);
    // Only a socket file is ours to replace; anything else stays as it is.
    if (!S_ISSOCK(info.st_mode)) throw StartError("ledgerwickd: " + path + " exists and is not a socket");
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
      throw StartError("ledgerwickd: cannot remove the stale socket " + path + ": " + Reason(errno));
    }
  }

  listener->fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener->fd_ < 0) throw StartError("ledgerwickd: cannot create a socket: " + Reason(errno));
  // The umask keeps the file from ever being wider than 0660, even for a moment.
  mode_t oldMask = umask(0117);
  int bound = bind(listener->fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  int bindError = errno;
  umask(oldMask);
  if (bound != 0) throw StartError("ledgerwickd: cannot bind " + path + ": " + Reason(bindError));
  listener->bound_ = true;
  if (chmod(path.c_str(), 0660) != 0 || lstat(path.c_str(), &info) != 0) {
    throw StartError("ledgerwickd: cannot set the mode of " + path + ": " + Reason(errno));
  }
  listener->device_ = info.st_dev;
  listener->inode_ = info.st_ino;
  if (listen(listener->fd_, SOMAXCONN) != 0) {
    throw StartError("ledgerwickd: cannot listen on " + path + ": " + Reason(errno));
  }
  return listener;
}

std::unique_ptr<UnixListener> UnixListener::Adopt(int fd, const std::string& path) {
  std::unique_ptr<UnixListener> listener(new UnixListener(path, -1));
  listener->fd_ = fd;
  return listener;
}

UnixListener::~UnixListener() {
  Unlink();
  if (fd_ >= 0) close(fd_);
  // The lock file itself stays: removing it would let two daemons lock two files.
  if (lockFd_ >= 0) close(lockFd_);
}

int UnixListener::ReleaseFd() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void UnixListener::Unlink() {
  if (!bound_) return;
  bound_ = false;
  struct stat info {};
  if (lstat(path_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_) unlink(path_.c_str());
}

}  // namespace ledgerwick::host
