#pragma once
// The daemon's Unix socket: one daemon per socket path, a stale socket file replaced,
// mode 0660, removed again when the daemon stops.

#include <sys/types.h>

#include <memory>
#include <string>

namespace ledgerwick::host {

class UnixListener {
 public:
  // Creates the socket's folder when missing and refuses one that another user owns
  // or may write in (unless sticky), takes the lock file PATH.lock (held for
  // the life of the listener, so two daemons never race for one path), refuses a path
  // where something answers, replaces a socket file nothing answers on, then binds and
  // listens. Raises StartError.
  static std::unique_ptr<UnixListener> Open(const std::string& path);
  // A socket that systemd bound and listens on (socket activation): nothing is
  // locked, and the file stays when the daemon stops.
  static std::unique_ptr<UnixListener> Adopt(int fd, const std::string& path);
  ~UnixListener();
  UnixListener(const UnixListener&) = delete;
  UnixListener& operator=(const UnixListener&) = delete;

  const std::string& path() const { return path_; }

  // Hands the listening descriptor over; the listener no longer closes it.
  int ReleaseFd();

  // Removes the socket file, if it is still the one this listener bound.
  void Unlink();

 private:
  UnixListener(std::string path, int lockFd) : path_(std::move(path)), lockFd_(lockFd) {}

  std::string path_;
  int lockFd_ = -1;
  int fd_ = -1;
  bool bound_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace ledgerwick::host
