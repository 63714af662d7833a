#include "journal/journal_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <kj/debug.h>

#include "automation/automation_error.h"

namespace ledgerwick::journal {

namespace {

using automation::Status;
namespace err = automation::err;

// A journal that cannot be written is either full (61) or failing (57); the client
// is told which, whatever the errno's finer meaning.
Status FileError(int errnoValue, const std::string& what) {
  const int32_t number =
      errnoValue == ENOSPC || errnoValue == EDQUOT || errnoValue == EFBIG ? err::kDiskFull : err::kDeviceIOError;
  return Status::Error(number, Status::Error(number).description + ": journal " + what + ": " +
                                   std::strerror(errnoValue));
}

class PosixJournalFile final : public JournalFile {
 public:
  PosixJournalFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixJournalFile() override { ::close(fd_); }
  KJ_DISALLOW_COPY(PosixJournalFile);

  Status Write(std::string_view data) override {
    size_t written = 0;
    while (written < data.size()) {
      const ssize_t n = ::write(fd_, data.data() + written, data.size() - written);
      if (n < 0) {
        if (errno == EINTR) continue;
        return FileError(errno, "write to " + path_);
      }
      if (n == 0) return FileError(EIO, "write to " + path_);
      written += static_cast<size_t>(n);
    }
    return {};
  }

  Status Sync() override {
    while (::fdatasync(fd_) != 0) {
      if (errno != EINTR) return FileError(errno, "sync of " + path_);
    }
    return {};
  }

  Status Truncate(uint64_t length) override {
    while (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
      if (errno != EINTR) return FileError(errno, "truncate of " + path_);
    }
    return {};
  }

  Status CopyFrom(const std::string& path, uint64_t offset, uint64_t length) override {
    const int source = OpenFor(path, O_RDONLY);
    if (source < 0) return FileError(errno, "open of " + path);
    KJ_DEFER(::close(source));
    // copy_file_range will not write through O_APPEND: a second descriptor, at the end.
    const int target = OpenFor(path_, O_WRONLY);
    if (target < 0) return FileError(errno, "open of " + path_);
    KJ_DEFER(::close(target));
    struct stat info {};
    if (::fstat(target, &info) != 0) return FileError(errno, "size of " + path_);
    loff_t in = static_cast<loff_t>(offset), out = info.st_size;
    uint64_t left = length;
    while (left > 0) {
      const ssize_t n = ::copy_file_range(source, &in, target, &out, left, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
        return CopyThroughBuffer(source, static_cast<uint64_t>(in), left, path);
      }
      if (n < 0) return FileError(errno, "copy to " + path_);
      if (n == 0) return FileError(EIO, "copy from " + path + ": it ends early");
      left -= static_cast<uint64_t>(n);
    }
    return {};
  }

 private:
  static int OpenFor(const std::string& path, int flags) {
    int fd;
    do {
      fd = ::open(path.c_str(), flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
  }

  // Where the kernel cannot copy between the two files.
  Status CopyThroughBuffer(int source, uint64_t offset, uint64_t length, const std::string& path) {
    std::string buffer(std::min<uint64_t>(length, uint64_t{1} << 20), '\0');
    while (length > 0) {
      const ssize_t n = ::pread(source, buffer.data(), std::min<uint64_t>(length, buffer.size()),
                                static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return FileError(errno, "read of " + path);
      if (n == 0) return FileError(EIO, "copy from " + path + ": it ends early");
      if (Status written = Write(std::string_view(buffer.data(), static_cast<size_t>(n))); !written.ok()) {
        return written;
      }
      offset += static_cast<uint64_t>(n);
      length -= static_cast<uint64_t>(n);
    }
    return {};
  }

  const int fd_;
  const std::string path_;
};

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

Status PosixJournalFiles::ReadFrom(const std::string& path, uint64_t offset, std::string& out) {
  out.clear();
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENOENT) return Status::Error(err::kFileNotFound);
    return FileError(errno, "open of " + path);
  }
  // Read straight into `out`, sized from the file: a journal left by a daemon killed
  // under load may hold megabytes, and copying them through a small buffer costs
  // more than reading them.
  out.clear();
  struct stat info {};
  size_t expected = 0;
  if (::fstat(fd, &info) == 0 && static_cast<uint64_t>(info.st_size) > offset) {
    expected = static_cast<size_t>(static_cast<uint64_t>(info.st_size) - offset);
  }
  off_t at = static_cast<off_t>(offset);
  for (;;) {
    // One byte more than the file held: a read that fills it means the file grew.
    const size_t before = out.size();
    out.resize(std::max(before + (size_t{1} << 16), expected + 1));
    const ssize_t n = ::pread(fd, out.data() + before, out.size() - before, at);
    out.resize(before + static_cast<size_t>(n > 0 ? n : 0));
    if (n < 0) {
      if (errno == EINTR) continue;
      const int saved = errno;
      ::close(fd);
      return FileError(saved, "read of " + path);
    }
    if (n == 0) break;
    at += n;
  }
  ::close(fd);
  return {};
}

Status PosixJournalFiles::Open(const std::string& path, bool truncate, kj::Own<JournalFile>& out) {
  int fd;
  do {
    // O_APPEND: a write after a cut lands at the new end.
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return FileError(errno, "open of " + path);
  out = kj::heap<PosixJournalFile>(fd, path);
  return {};
}

Status PosixJournalFiles::Rename(const std::string& from, const std::string& to, bool durable) {
  if (::rename(from.c_str(), to.c_str()) != 0) return FileError(errno, "rename of " + from);
  if (!durable) return {};
  // The new name reaches the disk only with its folder.
  const std::string folder = FolderOf(to);
  int fd;
  do {
    fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return FileError(errno, "open of folder " + folder);
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  const int saved = errno;
  ::close(fd);
  if (rc != 0) return FileError(saved, "sync of folder " + folder);
  return {};
}

Status PosixJournalFiles::Remove(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return FileError(errno, "removal of " + path);
  return {};
}

}  // namespace ledgerwick::journal
