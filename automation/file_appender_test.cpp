// Tests of the file appender on real files in a temporary folder, and of the failing
// double that other components' tests put in its place.

#include "automation/file_appender.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "automation/automation_error.h"
#include "automation/status.h"
#include "tests/support/failing_file_appender.h"
#include "tests/support/temp_dir.h"

namespace automation {
namespace {

namespace fs = std::filesystem;

using ledgerwick::testing::FailingFileAppender;
using ledgerwick::testing::ReadFile;
using ledgerwick::testing::TempDir;
using ledgerwick::testing::WriteFile;

// For the guard's life: SIGXFSZ ignored and the soft file-size limit at `bytes`, so
// that a write past the limit fails with EFBIG instead of ending the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGXFSZ, &ignore, &savedAction_) != 0) throw std::runtime_error("sigaction failed");
    rlimit lowered{};
    if (getrlimit(RLIMIT_FSIZE, &saved_) != 0) throw std::runtime_error("getrlimit failed");
    lowered = saved_;
    lowered.rlim_cur = bytes;
    if (setrlimit(RLIMIT_FSIZE, &lowered) != 0) throw std::runtime_error("setrlimit failed");
  }
  // The limit goes back before the signal does: the signal's default action would
  // end the process.
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    sigaction(SIGXFSZ, &savedAction_, nullptr);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  struct sigaction savedAction_ {};
};

// Runs `call` on a thread of its own that holds no capabilities, so that permission
// bits bind it as they bind an ordinary user even when the tests run as root.
// Capabilities belong to a thread: the rest of the process keeps its own.
template <typename Call>
Status WithoutCapabilities(Call call) {
  std::optional<Status> answer;
  std::string failure;
  std::thread worker([&] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) {
      failure = "capget failed";
      return;
    }
    for (auto& word : data) word.effective = 0;
    if (syscall(SYS_capset, &header, data) != 0) {
      failure = "capset failed";
      return;
    }
    answer = call();
  });
  worker.join();
  if (!answer) throw std::runtime_error(failure);
  return *answer;
}

class PosixFileAppenderTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string log = dir / "Ledgwk.log";
  PosixFileAppender appender;
};

TEST_F(PosixFileAppenderTest, CreatesAMissingFile) {
  Status status = appender.Append(log, "first line\r\n");
  EXPECT_TRUE(status.ok()) << status.number << " " << status.description;
  EXPECT_EQ(ReadFile(log), "first line\r\n");
}

TEST_F(PosixFileAppenderTest, AddsToWhatTheFileHolds) {
  WriteFile(log, "earlier\r\n");
  EXPECT_TRUE(appender.Append(log, "one\r\n").ok());
  EXPECT_TRUE(appender.Append(log, "two\r\n").ok());
  EXPECT_EQ(ReadFile(log), "earlier\r\none\r\ntwo\r\n");
}

TEST_F(PosixFileAppenderTest, AnUnwritablePathAnswersTheFileError) {
  WriteFile(dir / "plain", "not a folder\n");
  struct Case {
    const char* name;
    std::string path;
    int32_t number;
    const char* description;
  };
  const Case cases[] = {
      {"missing folder", dir / "missing/Ledgwk.log", err::kPathNotFound, "Path not found"},
      {"a file as the folder", dir / "plain/Ledgwk.log", err::kPathNotFound, "Path not found"},
      {"empty path", "", err::kPathNotFound, "Path not found"},
      {"a folder as the file", dir.path(), err::kPathFileAccessError, "Path/File access error"},
      {"full device", "/dev/full", err::kDiskFull, "Disk full"},
  };
  for (const Case& c : cases) {
    Status status = appender.Append(c.path, "lost\r\n");
    EXPECT_EQ(status.number, c.number) << c.name;
    EXPECT_EQ(status.description, c.description) << c.name;
  }
  EXPECT_FALSE(fs::exists(dir / "missing"));
  EXPECT_EQ(ReadFile(dir / "plain"), "not a folder\n");
}

TEST_F(PosixFileAppenderTest, AFolderWithoutWritePermissionAnswers75) {
  const std::string locked = dir / "locked";
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);

  Status status = WithoutCapabilities([&] { return appender.Append(locked + "/Ledgwk.log", "lost\r\n"); });

  EXPECT_EQ(status.number, err::kPathFileAccessError);
  EXPECT_EQ(status.description, "Path/File access error");
  EXPECT_TRUE(fs::is_empty(locked));
}

TEST_F(PosixFileAppenderTest, AFileWithoutWritePermissionAnswers75) {
  const std::string log = dir / "Ledgwk.log";
  WriteFile(log, "kept\n");
  fs::permissions(log, fs::perms::owner_read);

  Status status = WithoutCapabilities([&] { return appender.Append(log, "lost\r\n"); });

  EXPECT_EQ(status.number, err::kPathFileAccessError);
  EXPECT_EQ(status.description, "Path/File access error");
  EXPECT_EQ(ReadFile(log), "kept\n");
}

// With every descriptor taken the file cannot be opened: 67, and the next call
// after one comes free writes.
TEST_F(PosixFileAppenderTest, NoFreeDescriptorAnswers67) {
  const std::string log = dir / "Ledgwk.log";
  std::vector<int> taken;
  for (int fd; (fd = dup(0)) >= 0;) taken.push_back(fd);
  ASSERT_EQ(errno, EMFILE);
  Status status = appender.Append(log, "lost\r\n");
  for (int fd : taken) close(fd);

  EXPECT_EQ(status.number, err::kTooManyFiles);
  EXPECT_EQ(status.description, "Too many files");
  EXPECT_FALSE(fs::exists(log));
  EXPECT_TRUE(appender.Append(log, "written\r\n").ok());
  EXPECT_EQ(ReadFile(log), "written\r\n");
}

// A write that stops part-way, here at the file-size limit, must not leave part of
// the data behind: the file holds what it held before, and the next call that can
// write adds its data whole, right after it.
TEST_F(PosixFileAppenderTest, AWriteThatStopsPartWayIsCutBack) {
  const std::string earlier = "earlier line\r\n";
  const std::string line = "a line longer than the room the limit leaves\r\n";
  for (rlim_t room : {rlim_t{0}, rlim_t{1}, rlim_t{5}, rlim_t{line.size() - 1}}) {
    WriteFile(log, earlier);
    Status status;
    {
      FileSizeLimit limit(earlier.size() + room);
      status = appender.Append(log, line);
    }
    EXPECT_EQ(status.number, err::kDiskFull) << "room " << room;
    EXPECT_EQ(status.description, "Disk full") << "room " << room;
    EXPECT_EQ(ReadFile(log), earlier) << "room " << room;

    EXPECT_TRUE(appender.Append(log, line).ok()) << "room " << room;
    EXPECT_EQ(ReadFile(log), earlier + line) << "room " << room;
  }
}

// ---- the failing double ----

class FailingFileAppenderTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string log = dir / "Ledgwk.log";
  PosixFileAppender real;
  FailingFileAppender appender{real};
};

TEST_F(FailingFileAppenderTest, FailsTheNthCallOnce) {
  appender.FailCallOnce(2);
  EXPECT_TRUE(appender.Append(log, "1\n").ok());
  Status failed = appender.Append(log, "2\n");
  EXPECT_EQ(failed.number, err::kDiskFull);
  EXPECT_EQ(failed.description, "Disk full");
  EXPECT_TRUE(appender.Append(log, "3\n").ok());
  EXPECT_TRUE(appender.Append(log, "4\n").ok());
  EXPECT_EQ(appender.calls(), 4);
  EXPECT_EQ(ReadFile(log), "1\n3\n4\n");
}

TEST_F(FailingFileAppenderTest, FailsFromTheNthCallOnUntilHealed) {
  appender.FailFromCall(2, err::kPermissionDenied);
  EXPECT_TRUE(appender.Append(log, "1\n").ok());
  for (const char* data : {"2\n", "3\n", "4\n"}) {
    Status failed = appender.Append(log, data);
    EXPECT_EQ(failed.number, err::kPermissionDenied) << data;
    EXPECT_EQ(failed.description, "Permission denied") << data;
  }
  appender.Heal();
  EXPECT_TRUE(appender.Append(log, "5\n").ok());
  EXPECT_EQ(appender.calls(), 5);
  EXPECT_EQ(ReadFile(log), "1\n5\n");
}

}  // namespace
}  // namespace automation
