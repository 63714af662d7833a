#include "journal/journal.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "automation/automation_error.h"
#include "journal/journal_format.h"
#include "tests/support/failing_journal_files.h"
#include "tests/support/temp_dir.h"

namespace ledgerwick::journal {
namespace {

using testing::FailingJournalFiles;
using testing::TempDir;

std::string Bytes(const RecoveredRecord& record) { return std::string(record.bytes.begin(), record.bytes.end()); }

class JournalTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir / kJournalName; }

  // A journal over the folder's file, as one start of the daemon opens it.
  std::unique_ptr<Journal> Start(SyncMode sync = SyncMode::None, CompactionLimits limits = {}) {
    auto journal = std::make_unique<Journal>(files, Path(), sync, limits);
    recovery = journal->Open();
    EXPECT_TRUE(recovery.status.ok()) << recovery.status.description;
    return journal;
  }

  std::vector<std::string> Recovered() const {
    std::vector<std::string> out;
    for (const auto& record : recovery.records) out.push_back(Bytes(record));
    return out;
  }
  std::vector<uint64_t> RecoveredSequences() const {
    std::vector<uint64_t> out;
    for (const auto& record : recovery.records) out.push_back(record.sequence);
    return out;
  }

  void AppendAll(Journal& journal, const std::vector<std::string>& records) {
    for (const auto& record : records) {
      ASSERT_TRUE(journal.Append(journal.NextSequence(), record).ok());
    }
  }

  TempDir dir;
  PosixJournalFiles real;
  FailingJournalFiles files{real};
  Recovery recovery;
};

TEST_F(JournalTest, RecordsComeBackInOrderWithTheirNumbersAfterARestart) {
  {
    auto journal = Start();
    EXPECT_TRUE(recovery.records.empty());
    EXPECT_EQ(journal->NextSequence(), 1u);
    AppendAll(*journal, {"one", "two", std::string("thr\0ee", 6)});
    EXPECT_EQ(journal->records(), 3u);
  }
  auto journal = Start();
  EXPECT_EQ(Recovered(), (std::vector<std::string>{"one", "two", std::string("thr\0ee", 6)}));
  EXPECT_EQ(RecoveredSequences(), (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(journal->NextSequence(), 4u);
  EXPECT_TRUE(recovery.faults.empty());
}

TEST_F(JournalTest, TakenRecordsDoNotComeBackAndNumbersCarryOn) {
  int64_t firstIdentity;
  {
    auto journal = Start();
    firstIdentity = journal->identity();
    AppendAll(*journal, {"a", "b", "c"});
    ASSERT_TRUE(journal->MarkTaken(2).ok());
    EXPECT_EQ(journal->records(), 1u);
  }
  {
    auto journal = Start();
    EXPECT_EQ(Recovered(), (std::vector<std::string>{"c"}));
    EXPECT_EQ(RecoveredSequences(), (std::vector<uint64_t>{3}));
    EXPECT_NE(journal->identity(), firstIdentity);
    ASSERT_TRUE(journal->MarkTaken(3).ok());
    AppendAll(*journal, {"d"});
  }
  auto journal = Start();
  EXPECT_EQ(RecoveredSequences(), (std::vector<uint64_t>{4}));
  ASSERT_TRUE(journal->MarkTaken(4).ok());
  // Everything taken: a restart finds nothing, and still counts on.
  journal = Start();
  EXPECT_TRUE(recovery.records.empty());
  EXPECT_EQ(journal->NextSequence(), 5u);
}

TEST_F(JournalTest, ATornTailIsCutOffAndTheRecordsBeforeItKept) {
  // Cut 1 byte, cut into the last frame's payload, and cut into its frame header.
  for (size_t cut : {size_t{1}, size_t{6}, size_t{20}}) {
    SCOPED_TRACE(cut);
    std::filesystem::remove(Path());
    {
      auto journal = Start();
      AppendAll(*journal, {"first", "second", "the last one"});
    }
    const std::string whole = testing::ReadFile(Path());
    testing::WriteFile(Path(), whole.substr(0, whole.size() - cut));
    auto journal = Start();
    EXPECT_EQ(Recovered(), (std::vector<std::string>{"first", "second"}));
    ASSERT_EQ(recovery.faults.size(), 1u);
    EXPECT_NE(recovery.faults[0].find("cut short"), std::string::npos) << recovery.faults[0];
    // The file was written anew: a further start reads it cleanly.
    AppendAll(*journal, {"after"});
    journal = Start();
    EXPECT_EQ(Recovered(), (std::vector<std::string>{"first", "second", "after"}));
    EXPECT_TRUE(recovery.faults.empty());
  }
}

TEST_F(JournalTest, ACorruptFrameEndsWhatIsReadAndTheFileIsSetAside) {
  {
    auto journal = Start();
    AppendAll(*journal, {"first", "second-record", "third"});
  }
  std::string data = testing::ReadFile(Path());
  const size_t at = data.find("second-record");
  ASSERT_NE(at, std::string::npos);
  data[at + 3] ^= 0x01;  // one bit in the middle record's payload
  testing::WriteFile(Path(), data);

  auto journal = Start();
  // Never misread: nothing from the damaged frame on is taken for a record.
  EXPECT_EQ(Recovered(), (std::vector<std::string>{"first"}));
  ASSERT_EQ(recovery.faults.size(), 1u);
  EXPECT_NE(recovery.faults[0].find("corrupt"), std::string::npos) << recovery.faults[0];
  EXPECT_EQ(testing::ReadFile(Path() + ".corrupt"), data);
  // The journal goes on; numbers never go back below what was read.
  EXPECT_GE(journal->NextSequence(), 2u);
  AppendAll(*journal, {"new"});
  journal = Start();
  EXPECT_EQ(Recovered(), (std::vector<std::string>{"first", "new"}));
}

TEST_F(JournalTest, AFileOfGarbageStartsAnEmptyJournal) {
  testing::WriteFile(Path(), std::string(100, '\0'));
  auto journal = Start();
  EXPECT_TRUE(recovery.records.empty());
  EXPECT_EQ(recovery.faults.size(), 1u);
  AppendAll(*journal, {"x"});
  journal = Start();
  EXPECT_EQ(Recovered(), (std::vector<std::string>{"x"}));
}

TEST_F(JournalTest, TheFileShrinksOnceEverythingIsTaken) {
  const CompactionLimits limits{4096, 1 << 20};
  auto journal = Start(SyncMode::None, limits);
  const std::string record(1000, 'r');
  uint64_t largest = 0;
  for (int round = 0; round < 20; ++round) {
    AppendAll(*journal, {record, record, record});
    largest = std::max<uint64_t>(largest, journal->fileBytes());
    ASSERT_TRUE(journal->MarkTaken(journal->NextSequence() - 1).ok());
    EXPECT_EQ(std::filesystem::file_size(Path()), journal->fileBytes());
  }
  // Bounded by the slack and one round's records, whatever the number of rounds.
  EXPECT_LT(largest, limits.slackBytes + 4 * 1100);
  EXPECT_EQ(journal->records(), 0u);
  journal = Start(SyncMode::None, limits);
  EXPECT_TRUE(recovery.records.empty());
  EXPECT_EQ(journal->NextSequence(), 61u);
}

TEST_F(JournalTest, ALargeTakenPrefixIsDroppedAndTheRestKept) {
  const CompactionLimits limits{1 << 20, 8192};
  const std::string record(1000, 'p');
  // Sixteen records of one size: the file is written anew once the taken ones before
  // the first untaken one are three times the rest, not one record sooner.
  struct Case {
    uint64_t taken;
    bool compacted;
  };
  for (const Case& c : {Case{11, false}, Case{12, true}, Case{14, true}}) {
    SCOPED_TRACE(c.taken);
    std::filesystem::remove(Path());
    auto journal = Start(SyncMode::None, limits);
    for (int i = 0; i < 16; ++i) AppendAll(*journal, {record});
    const uint64_t before = journal->fileBytes();
    ASSERT_TRUE(journal->MarkTaken(c.taken).ok());
    if (c.compacted) {
      EXPECT_LT(journal->fileBytes(), before - c.taken * 1000);
    } else {
      EXPECT_GE(journal->fileBytes(), before);
    }
    AppendAll(*journal, {"tail"});
    journal = Start(SyncMode::None, limits);
    std::vector<uint64_t> expected;
    for (uint64_t n = c.taken + 1; n <= 17; ++n) expected.push_back(n);
    EXPECT_EQ(RecoveredSequences(), expected);
    EXPECT_EQ(Recovered().back(), "tail");
  }
}

// Each kind of write failing: the append answers the error, and a restart never
// brings back the record whose append failed.
TEST_F(JournalTest, AFailedAppendLeavesNothingARestartWouldRead) {
  struct Case {
    const char* name;
    SyncMode sync;
    FailingJournalFiles::Op op;
    int32_t number;
  };
  for (const Case& c : {Case{"write, disk full", SyncMode::None, FailingJournalFiles::kWrite, automation::err::kDiskFull},
                        Case{"write, I/O", SyncMode::None, FailingJournalFiles::kWrite, automation::err::kDeviceIOError},
                        Case{"sync", SyncMode::Always, FailingJournalFiles::kSync, automation::err::kDeviceIOError}}) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(Path());
    files.Heal();
    files.SetPartialWriteBytes(7);
    auto journal = Start(c.sync);
    AppendAll(*journal, {"kept"});
    files.FailOnce(c.op, files.calls(c.op) + 1, c.number);
    automation::Status failed = journal->Append(journal->NextSequence(), "refused");
    EXPECT_EQ(failed.number, c.number);
    EXPECT_EQ(journal->records(), 1u);
    AppendAll(*journal, {"later"});
    journal = Start(c.sync);
    EXPECT_EQ(Recovered(), (std::vector<std::string>{"kept", "later"}));
    EXPECT_EQ(RecoveredSequences(), (std::vector<uint64_t>{1, 3}));
  }
}

TEST_F(JournalTest, APartWriteThatCannotBeCutBackBlocksAppendsUntilItIs) {
  files.SetPartialWriteBytes(7);
  auto journal = Start();
  AppendAll(*journal, {"kept"});
  files.FailOnce(FailingJournalFiles::kWrite, files.calls(FailingJournalFiles::kWrite) + 1);
  files.FailFrom(FailingJournalFiles::kTruncate, files.calls(FailingJournalFiles::kTruncate) + 1,
                 automation::err::kDeviceIOError);
  EXPECT_FALSE(journal->Append(journal->NextSequence(), "refused").ok());
  EXPECT_FALSE(journal->Append(journal->NextSequence(), "refused too").ok());
  files.Heal();
  AppendAll(*journal, {"later"});
  journal = Start();
  EXPECT_EQ(Recovered(), (std::vector<std::string>{"kept", "later"}));
  EXPECT_TRUE(recovery.faults.empty());
}

TEST_F(JournalTest, BatchSyncsOncePerCommit) {
  auto journal = Start(SyncMode::Batch);
  const int syncs = files.calls(FailingJournalFiles::kSync);
  AppendAll(*journal, {"a", "b", "c"});
  EXPECT_EQ(files.calls(FailingJournalFiles::kSync), syncs);
  ASSERT_TRUE(journal->Commit().ok());
  EXPECT_EQ(files.calls(FailingJournalFiles::kSync), syncs + 1);
  ASSERT_TRUE(journal->Commit().ok());  // nothing new: no sync
  EXPECT_EQ(files.calls(FailingJournalFiles::kSync), syncs + 1);
  files.FailOnce(FailingJournalFiles::kSync, files.calls(FailingJournalFiles::kSync) + 1, automation::err::kDeviceIOError);
  AppendAll(*journal, {"d"});
  EXPECT_EQ(journal->Commit().number, automation::err::kDeviceIOError);
}

// A call's records are staged and written together: one write for the call, and a
// write or a sync that fails takes every record of the call with it, and nothing
// else, whatever a restart reads.
TEST_F(JournalTest, StagedRecordsAreWrittenInOneWriteAndAFailedCommitKeepsNoneOfThem) {
  struct Case {
    const char* name;
    SyncMode sync;
    FailingJournalFiles::Op op;
  };
  for (const Case& c : {Case{"write", SyncMode::None, FailingJournalFiles::kWrite},
                        Case{"write under batch", SyncMode::Batch, FailingJournalFiles::kWrite},
                        Case{"sync", SyncMode::Batch, FailingJournalFiles::kSync}}) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(Path());
    files.Heal();
    files.SetPartialWriteBytes(11);
    auto journal = Start(c.sync);
    AppendAll(*journal, {"before"});
    ASSERT_TRUE(journal->Commit().ok());

    const int writes = files.calls(FailingJournalFiles::kWrite);
    for (const char* record : {"one", "two", "three"}) ASSERT_TRUE(journal->Stage(journal->NextSequence(), record).ok());
    EXPECT_EQ(files.calls(FailingJournalFiles::kWrite), writes);
    ASSERT_TRUE(journal->Commit().ok());
    EXPECT_EQ(files.calls(FailingJournalFiles::kWrite), writes + 1);
    EXPECT_EQ(journal->records(), 4u);

    for (const char* record : {"lost", "lost too"}) ASSERT_TRUE(journal->Stage(journal->NextSequence(), record).ok());
    files.FailOnce(c.op, files.calls(c.op) + 1, automation::err::kDiskFull);
    EXPECT_EQ(journal->Commit().number, automation::err::kDiskFull);
    EXPECT_EQ(journal->records(), 4u);

    ASSERT_TRUE(journal->Stage(journal->NextSequence(), "after").ok());
    ASSERT_TRUE(journal->Commit().ok());
    journal = Start(c.sync);
    EXPECT_EQ(Recovered(), (std::vector<std::string>{"before", "one", "two", "three", "after"}));
    EXPECT_EQ(RecoveredSequences(), (std::vector<uint64_t>{1, 2, 3, 4, 7}));
    EXPECT_TRUE(recovery.faults.empty());
  }
}

// A compaction's copy: the bytes asked for, at the end of what the file holds; a
// source that ends early is a failure, not a short file taken for whole.
TEST_F(JournalTest, ACopiedRangeLandsAtTheEndAndAShortSourceFails) {
  const std::string source = dir / "source", target = dir / "target";
  kj::Own<JournalFile> file;
  ASSERT_TRUE(real.Open(source, true, file).ok());
  ASSERT_TRUE(file->Write("0123456789").ok());
  ASSERT_TRUE(real.Open(target, true, file).ok());
  ASSERT_TRUE(file->Write("head:").ok());
  ASSERT_TRUE(file->CopyFrom(source, 3, 5).ok());
  ASSERT_TRUE(file->Write(":tail").ok());
  std::string out;
  ASSERT_TRUE(real.ReadFrom(target, 0, out).ok());
  EXPECT_EQ(out, "head:34567:tail");
  EXPECT_EQ(file->CopyFrom(source, 8, 5).number, automation::err::kDeviceIOError);
  EXPECT_FALSE(file->CopyFrom(dir / "missing", 0, 1).ok());
}

TEST_F(JournalTest, NoneAndAlwaysSyncAsTheirNamesSay) {
  {
    auto journal = Start(SyncMode::None);
    const int syncs = files.calls(FailingJournalFiles::kSync);
    AppendAll(*journal, {"a", "b"});
    EXPECT_TRUE(journal->Commit().ok());
    EXPECT_EQ(files.calls(FailingJournalFiles::kSync), syncs);
  }
  auto journal = Start(SyncMode::Always);
  const int syncs = files.calls(FailingJournalFiles::kSync);
  AppendAll(*journal, {"a", "b"});
  EXPECT_EQ(files.calls(FailingJournalFiles::kSync), syncs + 2);
}

TEST_F(JournalTest, AFailedCompactionKeepsTheOldFileAndGoesOn) {
  const CompactionLimits limits{16, 1 << 20};
  auto journal = Start(SyncMode::None, limits);
  AppendAll(*journal, {"a", "b"});
  files.FailOnce(FailingJournalFiles::kRename, files.calls(FailingJournalFiles::kRename) + 1);
  // Everything taken: the rewrite is due, fails, and a marker is written instead.
  ASSERT_TRUE(journal->MarkTaken(2).ok());
  AppendAll(*journal, {"c"});
  journal = Start(SyncMode::None, limits);
  EXPECT_EQ(Recovered(), (std::vector<std::string>{"c"}));
  EXPECT_FALSE(std::filesystem::exists(Path() + ".new"));
}

TEST_F(JournalTest, AnUnreadableJournalIsReportedAndAppendsFail) {
  files.FailOnce(FailingJournalFiles::kRead, 1, automation::err::kDeviceIOError);
  Journal journal(files, Path(), SyncMode::None);
  Recovery found = journal.Open();
  EXPECT_FALSE(found.status.ok());
  EXPECT_EQ(found.faults.size(), 1u);
  EXPECT_FALSE(journal.isOpen());
  EXPECT_EQ(journal.Append(journal.NextSequence(), "x").number, automation::err::kDeviceIOError);
}

TEST(JournalFormat, FramesReadBackAndDamageIsTold) {
  std::string data;
  AppendFrame(data, FrameKind::Record, 42, "payload");
  size_t offset = 0;
  Frame frame{};
  ASSERT_EQ(ReadFrame(data, offset, frame), ReadOutcome::Frame);
  EXPECT_EQ(frame.number, 42u);
  EXPECT_EQ(frame.body, "payload");
  EXPECT_EQ(ReadFrame(data, offset, frame), ReadOutcome::End);
  for (size_t i = 0; i < data.size(); ++i) {
    std::string damaged = data;
    damaged[i] ^= 0x20;
    offset = 0;
    EXPECT_NE(ReadFrame(damaged, offset, frame), ReadOutcome::Frame) << "byte " << i;
  }
  // CRC-32C of "123456789".
  EXPECT_EQ(Crc32c(0, "123456789", 9), 0xE3069283u);
}

TEST(JournalFormat, ChecksumIsTheSameWhateverTheLengthAlignmentAndSplit) {
  std::string data(300, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + 7);
  for (size_t from = 0; from < 9; ++from) {
    for (size_t size = 0; from + size <= data.size(); size += 13) {
      const char* at = data.data() + from;
      const uint32_t whole = Crc32c(0, at, size);
      ASSERT_EQ(whole, Crc32cPortable(0, at, size)) << "from " << from << " size " << size;
      const size_t split = size / 3;
      ASSERT_EQ(Crc32c(Crc32c(0, at, split), at + split, size - split), whole) << "from " << from << " size " << size;
    }
  }
}

}  // namespace
}  // namespace ledgerwick::journal
