#include "journal/journal.h"

#include <algorithm>
#include <random>

#include <kj/debug.h>

#include "automation/automation_error.h"
#include "journal/journal_format.h"

namespace ledgerwick::journal {

namespace {

using automation::Status;
namespace err = automation::err;

std::string HeaderFrame(int64_t identity, uint64_t next) {
  std::string body;
  for (int i = 0; i < 8; ++i) body.push_back(static_cast<char>((next >> (8 * i)) & 0xff));
  std::string frame;
  AppendFrame(frame, FrameKind::Header, static_cast<uint64_t>(identity), body);
  return frame;
}

uint64_t U64Of(std::string_view body) {
  uint64_t value = 0;
  for (size_t i = 0; i < 8 && i < body.size(); ++i) value |= uint64_t{static_cast<unsigned char>(body[i])} << (8 * i);
  return value;
}

// A fresh identity: from the system's random source, so that two daemons writing one
// database never name their records alike.
int64_t NewIdentity() {
  std::random_device source;
  for (;;) {
    const uint64_t value = (uint64_t{source()} << 32 | source()) & 0x7fffffffffffffffull;
    if (value != 0) return static_cast<int64_t>(value);
  }
}

Status NotOpen() { return Status::Error(err::kDeviceIOError, "Device I/O error: the journal is not open"); }

}  // namespace

std::optional<SyncMode> ParseSyncMode(std::string_view text) {
  if (text == "none") return SyncMode::None;
  if (text == "batch") return SyncMode::Batch;
  if (text == "always") return SyncMode::Always;
  return std::nullopt;
}

const char* SyncModeName(SyncMode mode) {
  switch (mode) {
    case SyncMode::None: return "none";
    case SyncMode::Batch: return "batch";
    case SyncMode::Always: return "always";
  }
  return "none";
}

Journal::Journal(JournalFiles& files, std::string path, SyncMode sync, CompactionLimits limits)
    : files_(files), path_(std::move(path)), sync_(sync), limits_(limits) {}

Recovery Journal::Open() {
  Recovery recovery;
  const std::string newPath = path_ + ".new";
  // A rewrite that a crash cut short: the file it was to replace is still whole.
  files_.Remove(newPath);

  std::string data;
  Status read = files_.ReadFrom(path_, 0, data);
  bool fresh = false;
  if (read.number == err::kFileNotFound) {
    fresh = true;
  } else if (!read.ok()) {
    recovery.status = read;
    recovery.faults.push_back("The journal " + path_ + " cannot be read: " + read.description);
    return recovery;
  }

  // The frames that check out, up to the first that does not.
  std::vector<std::pair<uint64_t, std::string_view>> records;
  uint64_t taken = 0;
  uint64_t next = 1;
  size_t offset = 0;
  ReadOutcome outcome = ReadOutcome::End;
  if (!fresh) {
    Frame frame;
    outcome = ReadFrame(data, offset, frame);
    if (outcome == ReadOutcome::Frame && frame.kind == FrameKind::Header && frame.number != 0 &&
        frame.number <= 0x7fffffffffffffffull) {
      next = std::max<uint64_t>(U64Of(frame.body), 1);
      while ((outcome = ReadFrame(data, offset, frame)) == ReadOutcome::Frame) {
        if (frame.kind == FrameKind::Record) {
          // Numbers only grow; one that does not is no frame this journal wrote.
          if (!records.empty() && frame.number <= records.back().first) {
            outcome = ReadOutcome::Corrupt;
            break;
          }
          records.emplace_back(frame.number, frame.body);
          next = std::max(next, frame.number + 1);
        } else if (frame.kind == FrameKind::Taken) {
          taken = std::max(taken, frame.number);
        } else {
          outcome = ReadOutcome::Corrupt;
          break;
        }
      }
    } else if (outcome != ReadOutcome::End) {
      // Without its header nothing in the file can be trusted.
      outcome = outcome == ReadOutcome::Torn && data.size() < kFrameHeaderBytes ? ReadOutcome::Torn
                                                                                 : ReadOutcome::Corrupt;
      offset = 0;
    }
  }
  // Every start takes a new identity: records accepted from now on can then never be
  // taken for rows stored before, even when the file lost its end with the machine
  // and a number is given out again. A record read back keeps the stamp it was
  // packed with.
  identity_ = NewIdentity();

  if (outcome == ReadOutcome::Torn) {
    recovery.faults.push_back("The journal " + path_ + " ended in a write cut short: " +
                              std::to_string(data.size() - offset) + " bytes at offset " + std::to_string(offset) +
                              " cut off");
  } else if (outcome == ReadOutcome::Corrupt) {
    // The damaged file is kept for whoever looks into it; what came before the damage
    // is journalled anew below.
    const std::string aside = path_ + ".corrupt";
    Status moved = files_.Rename(path_, aside, false);
    recovery.faults.push_back("The journal " + path_ + " is corrupt at offset " + std::to_string(offset) + ": " +
                              std::to_string(data.size() - offset) + " bytes after it cannot be read" +
                              (moved.ok() ? ", the file is kept as " + aside : ", " + moved.description));
  }

  next_ = next;
  std::string body;
  std::vector<Pending> pending;
  const uint64_t headerSize = HeaderFrame(identity_, next_).size();
  for (const auto& [sequence, bytes] : records) {
    if (sequence <= taken) continue;
    pending.push_back({sequence, headerSize + body.size()});
    AppendFrame(body, FrameKind::Record, sequence, bytes);
    recovery.records.push_back({sequence, std::vector<uint8_t>(bytes.begin(), bytes.end())});
  }
  if (Status written = Rewrite(body, 0); !written.ok()) {
    recovery.status = written;
    recovery.faults.push_back("The journal " + path_ + " cannot be written: " + written.description);
    return recovery;
  }
  pending_.assign(pending.begin(), pending.end());
  return recovery;
}

// Writes "<path>.new" holding the header and the frames that stood at `bodyFrom` of
// the old file: `body`, or, when `copied` is not 0, that many bytes of the old file
// itself. Then puts it in the journal's place.
Status Journal::Rewrite(const std::string& body, uint64_t bodyFrom, uint64_t copied) {
  const std::string newPath = path_ + ".new";
  const std::string header = HeaderFrame(identity_, next_);
  const uint64_t headerSize = header.size();
  kj::Own<JournalFile> file;
  Status status = files_.Open(newPath, true, file);
  if (status.ok()) status = file->Write(header);
  if (status.ok() && copied > 0) {
    status = file->CopyFrom(path_, bodyFrom, copied);
  } else if (status.ok() && !body.empty()) {
    status = file->Write(body);
  }
  // Under None nothing else is synced either; a rewrite that is not would lose
  // synced records with the machine.
  if (status.ok() && sync_ != SyncMode::None) status = file->Sync();
  if (status.ok()) status = files_.Rename(newPath, path_, sync_ != SyncMode::None);
  if (!status.ok()) {
    file = nullptr;
    files_.Remove(newPath);
    return status;
  }
  for (Pending& p : pending_) p.offset = p.offset - bodyFrom + headerSize;
  file_ = kj::mv(file);
  fileBytes_ = headerSize + (copied > 0 ? copied : body.size());
  headerBytes_ = headerSize;
  cutPending_ = false;
  unsynced_ = false;
  return {};
}

Status Journal::WriteFrames(const std::string& frames) {
  if (!isOpen()) return NotOpen();
  if (cutPending_) {
    if (Status cut = file_->Truncate(fileBytes_); !cut.ok()) return cut;
    cutPending_ = false;
  }
  Status written = file_->Write(frames);
  if (!written.ok()) {
    // What the failed write left must not be read back at a restart.
    cutPending_ = !file_->Truncate(fileBytes_).ok();
    return written;
  }
  fileBytes_ += frames.size();
  return {};
}

void Journal::CutBack(uint64_t bytes) {
  fileBytes_ = bytes;
  cutPending_ = !file_->Truncate(fileBytes_).ok();
  while (!pending_.empty() && pending_.back().offset >= bytes) pending_.pop_back();
}

Status Journal::Stage(uint64_t sequence, std::string_view bytes) {
  if (!isOpen()) return NotOpen();
  KJ_REQUIRE(sequence == next_, "journal records are appended in sequence", sequence, next_);
  ++next_;
  staged_.push_back({sequence, stagedFrames_.size()});
  AppendFrame(stagedFrames_, FrameKind::Record, sequence, bytes);
  if (sync_ != SyncMode::Always) return {};
  const uint64_t before = fileBytes_;
  if (Status written = Flush(); !written.ok()) return written;
  if (Status synced = file_->Sync(); !synced.ok()) {
    // The client is told it failed, so a restart must not bring it back.
    CutBack(before);
    return synced;
  }
  return {};
}

Status Journal::Flush() {
  if (staged_.empty()) return {};
  const uint64_t start = fileBytes_;
  Status written = isOpen() ? WriteFrames(stagedFrames_) : NotOpen();
  if (written.ok()) {
    for (const Staged& record : staged_) pending_.push_back({record.sequence, start + record.at});
    if (sync_ == SyncMode::Batch && !unsynced_) {
      unsynced_ = true;
      unsyncedFrom_ = start;
    }
  }
  staged_.clear();
  stagedFrames_.clear();
  // One large record need not keep its room for good.
  if (stagedFrames_.capacity() > (size_t{16} << 20)) stagedFrames_.shrink_to_fit();
  return written;
}

Status Journal::Append(uint64_t sequence, std::string_view bytes) {
  if (Status staged = Stage(sequence, bytes); !staged.ok()) return staged;
  return Flush();
}

Status Journal::Commit() {
  if (Status written = Flush(); !written.ok()) return written;
  if (!unsynced_) return {};
  if (!isOpen()) return NotOpen();
  unsynced_ = false;
  if (Status synced = file_->Sync(); !synced.ok()) {
    CutBack(unsyncedFrom_);
    return synced;
  }
  return {};
}

bool Journal::CompactionDue() const {
  if (pending_.empty()) return fileBytes_ > headerBytes_ + limits_.slackBytes;
  const uint64_t prefix = pending_.front().offset - headerBytes_;
  const uint64_t rest = fileBytes_ - pending_.front().offset;
  // Writing the file anew copies the rest, as many bytes as appending them took. Behind
  // a store that lags (megabytes untaken), waiting until the prefix is three times
  // the rest keeps those copies to a third of what was appended since the last one,
  // for a file at most four times what it must hold.
  return prefix >= limits_.takenPrefixBytes && prefix >= 3 * rest;
}

Status Journal::Compact() {
  const uint64_t from = pending_.empty() ? fileBytes_ : pending_.front().offset;
  // Under Batch, what was not yet synced is synced with the new file.
  return Rewrite({}, from, fileBytes_ - from);
}

Status Journal::MarkTaken(uint64_t sequence) {
  if (!isOpen()) return NotOpen();
  while (!pending_.empty() && pending_.front().sequence <= sequence) pending_.pop_front();
  if (CompactionDue() && Compact().ok()) return {};
  std::string frame;
  AppendFrame(frame, FrameKind::Taken, sequence, {});
  return WriteFrames(frame);
}

}  // namespace ledgerwick::journal
