#include "automation/event_log_writer.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "automation/automation_error.h"
#include "automation/date_scale.h"

namespace automation {

namespace {

// An entry is one line: CR and LF inside a field become blanks.
void AppendOneLine(std::string& line, const std::string& text) {
  for (char c : text) line += (c == '\r' || c == '\n') ? ' ' : c;
}

std::string TimeStamp(double now) {
  CivilDate date = DatePart(now);
  TimeOfDay time = TimePart(now);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", date.year, date.month,
                date.day, time.hour, time.minute, time.second);
  return stamp;
}

[[noreturn]] void RaiseFileError(int errnoValue) {
  throw AutomationError(FileErrorNumber(errnoValue));
}

}  // namespace

void EventLogWriter::Append(const std::string& path, const std::string& type,
                            const std::string& message) const {
  std::string line = TimeStamp(clock_.Now());
  line += '\t';
  AppendOneLine(line, type);
  line += '\t';
  AppendOneLine(line, message);
  line += '\n';

  // O_APPEND: every write lands at the current end, so the file is only added to,
  // even when another writer appends to it meanwhile.
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) RaiseFileError(errno);
  size_t written = 0;
  while (written < line.size()) {
    ssize_t n = ::write(fd, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int saved = errno;
      ::close(fd);
      RaiseFileError(saved);
    }
    written += static_cast<size_t>(n);
  }
  if (::close(fd) != 0 && errno != EINTR) RaiseFileError(errno);
}

}  // namespace automation
