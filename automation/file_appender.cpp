#include "automation/file_appender.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "automation/automation_error.h"

namespace automation {

namespace {

Status FileError(int errnoValue) { return Status::Error(FileErrorNumber(errnoValue)); }

// Writes all of `data` at the file's end; answers 0, or the errno that stopped it.
int WriteAll(int fd, std::string_view data) {
  size_t written = 0;
  while (written < data.size()) {
    ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    // A regular file never takes nothing of a non-empty write; a device that does
    // would have us loop for ever.
    if (n == 0) return EIO;
    written += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

Status PosixFileAppender::Append(const std::string& path, std::string_view data) {
  // O_APPEND: every write lands at the current end, so the file is only added to,
  // even when another program appends to it meanwhile.
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return FileError(errno);

  struct stat before;
  if (::fstat(fd, &before) != 0) {
    int saved = errno;
    ::close(fd);
    return FileError(saved);
  }

  if (int failed = WriteAll(fd, data); failed != 0) {
    // Cut off what the failed call wrote, so that no partial line stays behind. The
    // length is the one seen at the open: the server is the file's one writer while
    // it appends, so nothing else has grown the file in between. Where the file
    // cannot be cut (a device, say /dev/full) there is nothing to take back.
    if (S_ISREG(before.st_mode)) {
      while (::ftruncate(fd, before.st_size) != 0 && errno == EINTR) {
      }
    }
    ::close(fd);
    return FileError(failed);
  }

  // Linux releases the descriptor even when close reports EINTR, and every byte was
  // written by then. Another error (a network file system reporting a deferred write
  // failure) comes when the descriptor is gone and the file can no longer be cut
  // back; it is answered all the same.
  if (::close(fd) != 0 && errno != EINTR) return FileError(errno);
  return Status::Ok();
}

}  // namespace automation
