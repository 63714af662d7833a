#pragma once
// The one way the server adds to its files (the text log, the fault log): one open,
// one write, one close per call, nothing kept open or buffered between calls, so
// what a call wrote is in the file when it returns and other programs may move or
// delete the file between calls.

#include <string>
#include <string_view>

#include "automation/status.h"

namespace automation {

class FileAppender {
 public:
  virtual ~FileAppender() = default;

  // Appends `data` to the file at `path`, creating it when missing. All or nothing:
  // when the write fails part-way the file is cut back to the length it had before
  // the call, so a failed call never leaves part of a line behind. A failure's
  // number is the file error's (FileErrorNumber of the errno), its description the
  // standard one. The one failure that cannot be taken back is one that close
  // reports after every byte was handed over; it is answered like any other.
  virtual Status Append(const std::string& path, std::string_view data) = 0;
};

// Appends through the file system. A process that uses it ignores SIGXFSZ: by
// default a write past the process's file-size limit ends the process; with the
// signal ignored, the write fails and the call answers 61 (Disk full).
class PosixFileAppender final : public FileAppender {
 public:
  Status Append(const std::string& path, std::string_view data) override;
};

}  // namespace automation
