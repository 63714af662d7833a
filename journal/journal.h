#pragma once
// The journal: every record the server accepts, kept in a file in the home folder
// from before Loggit answers until a log target has taken it, so that a killed
// daemon loses nothing it acknowledged. At the next start the records no target
// took are handed back, in order, under the sequence numbers they were given.
//
// Sequence numbers grow by one per record (a refused append uses one up too) and
// carry on across restarts. With the journal's identity, made at random at every
// start, they name a record for good: a store that holds a row under the same
// identity and number has that record already.
//
// The file holds what is not yet taken and a bounded slack: once every record is
// taken, or once the taken records before the first untaken one reach
// CompactionLimits::takenPrefixBytes and three times what follows them, it is
// written anew holding only the untaken ones.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <kj/memory.h>

#include "automation/status.h"
#include "journal/journal_files.h"

namespace ledgerwick::journal {

constexpr const char* kJournalName = "LWJOURNAL";

// When the journal reaches the disk (fdatasync) before Loggit answers.
enum class SyncMode {
  None,    // write(2) only: survives a killed daemon, not a lost machine
  Batch,   // once per Commit: for the calls that arrived together
  Always,  // after every event
};

std::optional<SyncMode> ParseSyncMode(std::string_view text);
const char* SyncModeName(SyncMode mode);

// When the file is written anew (see above).
struct CompactionLimits {
  uint64_t slackBytes = uint64_t{1} << 20;         // every record taken, the file larger
  uint64_t takenPrefixBytes = uint64_t{8} << 20;   // taken records before the first untaken
};

struct RecoveredRecord {
  uint64_t sequence;
  std::vector<uint8_t> bytes;
};

// What Open found.
struct Recovery {
  std::vector<RecoveredRecord> records;  // not taken, oldest first
  std::vector<std::string> faults;       // for the fault log: a cut tail, a corruption
  automation::Status status;             // not ok: the journal cannot be used
};

class Journal {
 public:
  // `files` must outlive the journal; `path` is the journal file.
  Journal(JournalFiles& files, std::string path, SyncMode sync, CompactionLimits limits = {});
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Reads the file (a torn tail is cut off; a corrupted part is set aside in
  // "<path>.corrupt" and what came before it kept), writes it anew holding the
  // records not taken, and opens it for appending. A missing file starts a new
  // journal. Called once, before anything else.
  Recovery Open();

  bool isOpen() const { return file_.get() != nullptr; }
  SyncMode sync() const { return sync_; }
  // Chosen anew by every Open; never 0. Records appended from then on carry it.
  int64_t identity() const { return identity_; }
  // The number the next Append must carry.
  uint64_t NextSequence() const { return next_; }

  // Stages one record under NextSequence(): it is held in memory until Flush or
  // Commit writes every staged record in one write. Under Always it is written and
  // synced at once instead, and a failure refuses it alone. The number is used up
  // whatever happens to the record.
  automation::Status Stage(uint64_t sequence, std::string_view bytes);

  // Writes the staged records in one write. A failure leaves nothing of them in the
  // file that a restart would read (the file is cut back): none of them is journalled.
  automation::Status Flush();

  // The end of a client's call: Flush, then under Batch one sync for everything
  // written since the last Commit. A failed sync cuts the file back to where the last
  // Commit left it: the records written since are not journalled. Otherwise 0.
  automation::Status Commit();

  // Stage and Flush in one: journals one record under NextSequence(), synced when
  // the mode is Always (under Batch, at the next Commit).
  automation::Status Append(uint64_t sequence, std::string_view bytes);

  // Every record up to `sequence` was taken by a log target. Compacts the file when
  // it is due. A failure costs nothing but a record written again after a restart.
  automation::Status MarkTaken(uint64_t sequence);

  // For the status command.
  uint64_t fileBytes() const { return fileBytes_; }
  size_t records() const { return pending_.size(); }

 private:
  struct Pending {
    uint64_t sequence;
    uint64_t offset;  // of its frame in the file
  };

  struct Staged {
    uint64_t sequence;
    size_t at;  // of its frame in stagedFrames_
  };

  automation::Status WriteFrames(const std::string& frames);
  // Cuts the file back to `bytes`, forgetting the records written past it.
  void CutBack(uint64_t bytes);
  automation::Status Rewrite(const std::string& body, uint64_t bodyFrom, uint64_t copied = 0);
  bool CompactionDue() const;
  automation::Status Compact();

  // Constant after construction
  JournalFiles& files_;
  const std::string path_;
  const SyncMode sync_;
  const CompactionLimits limits_;

  int64_t identity_ = 0;
  uint64_t next_ = 1;
  kj::Own<JournalFile> file_;
  uint64_t fileBytes_ = 0;  // what the file holds that was written whole
  uint64_t headerBytes_ = 0;
  bool cutPending_ = false;  // a failed write may have left bytes past fileBytes_
  bool unsynced_ = false;         // under Batch: records written since the last Commit
  uint64_t unsyncedFrom_ = 0;     // where the first of them begins
  std::deque<Pending> pending_;
  std::string stagedFrames_;
  std::vector<Staged> staged_;
};

}  // namespace ledgerwick::journal
