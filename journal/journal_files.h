#pragma once
// The file operations the journal makes, behind one seam so that tests can fail
// any of them. Unlike the text log's appender, the journal keeps its file open and
// decides itself when data must reach the disk.

#include <cstdint>
#include <string>
#include <string_view>

#include <kj/memory.h>

#include "automation/status.h"

namespace ledgerwick::journal {

// One open journal file, written only at its end.
class JournalFile {
 public:
  virtual ~JournalFile() = default;
  // Writes all of `data` at the end. On failure part of it may have been written;
  // the caller cuts the file back with Truncate.
  virtual automation::Status Write(std::string_view data) = 0;
  // fdatasync: what was written is on the disk when this answers 0.
  virtual automation::Status Sync() = 0;
  // Cuts the file to `length` bytes; later writes land at the new end.
  virtual automation::Status Truncate(uint64_t length) = 0;
  // Writes `length` bytes of the file at `path`, from `offset`, at the end: in the
  // kernel where it can, without passing them through this process. A source that
  // ends early is a failure (57); on failure part may have been written, as with Write.
  virtual automation::Status CopyFrom(const std::string& path, uint64_t offset, uint64_t length) = 0;
};

// Failures answer the file error's number (61 Disk full for a full disk or quota,
// 57 Device I/O error for most others) with its standard description.
class JournalFiles {
 public:
  virtual ~JournalFiles() = default;
  // The file's bytes from `offset` to its end; 53 (File not found) when there is
  // no such file.
  virtual automation::Status ReadFrom(const std::string& path, uint64_t offset, std::string& out) = 0;
  // Opens `path` for writing at its end, creating it empty when missing, or emptying
  // it first when `truncate`.
  virtual automation::Status Open(const std::string& path, bool truncate, kj::Own<JournalFile>& out) = 0;
  // Renames `from` over `to`; when `durable`, makes the rename itself reach the disk
  // (the folder synced).
  virtual automation::Status Rename(const std::string& from, const std::string& to, bool durable) = 0;
  // Removes `path`; a missing file is no failure.
  virtual automation::Status Remove(const std::string& path) = 0;
};

// The journal's files on the file system.
class PosixJournalFiles final : public JournalFiles {
 public:
  automation::Status ReadFrom(const std::string& path, uint64_t offset, std::string& out) override;
  automation::Status Open(const std::string& path, bool truncate, kj::Own<JournalFile>& out) override;
  automation::Status Rename(const std::string& from, const std::string& to, bool durable) override;
  automation::Status Remove(const std::string& path) override;
};

}  // namespace ledgerwick::journal
