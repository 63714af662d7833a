// Runs of records through SqliteDSO::AddRecords: one transaction per run, the
// prefix before a record that cannot be stored, store failures rolled back, and the
// work on a worker thread while the loop goes on.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kj/async.h>
#include <kj/timer.h>
#include <sqlite3.h>

#include "automation/automation_error.h"
#include "automation/blocking_worker.h"
#include "recordkit/sqlite/fault_vfs.h"
#include "recordkit/sqlite/sqlite_dso.h"
#include "recordkit/sqlite/sqlite_dto.h"
#include "recordkit/sqlite/sqlite_store.h"
#include "tests/support/error_of.h"
#include "tests/support/records.h"
#include "tests/support/temp_dir.h"

namespace recordkit {
namespace {

using automation::Variant;
using testing::FaultVfs;

std::string Text(int i) { return "record " + std::to_string(i); }

// Records whose Description says their place in the stream: "record 0", "record 1"...
std::vector<Variant> Stream(int count, int first = 0) {
  std::vector<Variant> records;
  for (int i = first; i < first + count; ++i) {
    records.push_back(ledgerwick::testing::MakeRecord({{"AppName", Variant::String("Ledger")},
                                                       {"Description", Variant::String(Text(i))}}));
  }
  return records;
}

// The same, each under the journal stamp (7, its place + 1), as the server packs them.
std::vector<Variant> JournalledStream(int count) {
  std::vector<Variant> records;
  for (int i = 0; i < count; ++i) {
    auto set = PropertySet::NewEventSet();
    set->Item("AppName")->SetValue(Variant::String("Ledger"));
    set->Item("Description")->SetValue(Variant::String(Text(i)));
    Variant record;
    EXPECT_EQ(PropertyPacker().PackProperties(record, *set, {}, {7, i + 1}), 0);
    records.push_back(record);
  }
  return records;
}

std::vector<std::string> Texts(int count, int first = 0) {
  std::vector<std::string> texts;
  for (int i = first; i < first + count; ++i) texts.push_back(Text(i));
  return texts;
}

// The Descriptions stored in tblLog, in the order the rows were added, read by a
// connection of the test's own as another process would.
std::vector<std::string> Stored(const std::string& path) {
  std::vector<std::string> texts;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << path;
    sqlite3_close(db);
    return texts;
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT Description FROM tblLog ORDER BY id", -1, &statement, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sqlite3_errmsg(db);
  }
  while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    texts.push_back(text == nullptr ? "(null)" : text);
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return texts;
}

kj::ArrayPtr<const Variant> Slice(const std::vector<Variant>& records, size_t from, size_t count) {
  return kj::arrayPtr(records.data() + from, std::min(count, records.size() - from));
}

class OtherDTO : public DTO {};

class SqliteRunsTest : public ::testing::Test {
 protected:
  std::unique_ptr<SqliteDSO> MakeDso(SqliteDSO::Options options = {}) {
    if (options.vfs.empty()) options.vfs = vfs_.name();
    return std::make_unique<SqliteDSO>(std::move(options));
  }

  // Connects `dso` to `path` and binds `dto` to tblLog.
  void Open(SqliteDSO& dso, SqliteDTO& dto, const std::string& path) {
    ASSERT_EQ(dso.ConnectNow(path), 0) << dso.lastError();
    ASSERT_EQ(dso.OpenTableNow(dto, "tblLog"), 0) << dso.lastError();
  }

  // Another connection holding the database under an exclusive lock, as another
  // process would, until Release.
  sqlite3* LockExclusively() {
    sqlite3* other = nullptr;
    EXPECT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    return other;
  }
  static void Release(sqlite3* other) {
    EXPECT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
  }

  TakeResult AddAll(SqliteDSO& dso, SqliteDTO& dto, kj::ArrayPtr<const Variant> records) {
    return dso.AddRecords(dto, records).wait(loop_->ws);
  }

  // kj's loop and timer have throwing destructors, which a fixture's may not.
  struct Loop {
    kj::EventLoop loop;
    kj::WaitScope ws{loop};
    kj::TimerImpl timer{kj::origin<kj::TimePoint>()};
  };
  std::unique_ptr<Loop> loop_ = std::make_unique<Loop>();
  FaultVfs vfs_{"ledgerwick-runs-fault"};
  ledgerwick::testing::TempDir dir_;
  std::string path_ = dir_ / "local.db";
};

TEST_F(SqliteRunsTest, ARunIsStoredInOrderAsOneTransaction) {
  auto dso = MakeDso();
  SqliteDTO dto;
  Open(*dso, dto, path_);
  const auto records = Stream(60);

  // Warm: the log file exists and has had its first commit.
  ASSERT_EQ(AddAll(*dso, dto, Slice(records, 0, 1)).taken, 1u);
  int before = vfs_.syncs();
  ASSERT_EQ(AddAll(*dso, dto, Slice(records, 1, 1)).taken, 1u);
  const int syncsForOne = vfs_.syncs() - before;
  ASSERT_GT(syncsForOne, 0);

  // Fifty records cost the syncs of one commit, as one record does.
  before = vfs_.syncs();
  TakeResult result = AddAll(*dso, dto, Slice(records, 2, 50));
  EXPECT_EQ(result.taken, 50u);
  EXPECT_TRUE(result.status.ok()) << result.status.description;
  EXPECT_EQ(vfs_.syncs() - before, syncsForOne);
  EXPECT_EQ(Stored(path_), Texts(52));

  // The commit's sync is the run's first: when it fails nothing of the run is there.
  vfs_.FailNth(1, SQLITE_IOERR_FSYNC, FaultVfs::Fault::kOnce, FaultVfs::Counted::kSyncs);
  result = AddAll(*dso, dto, Slice(records, 52, 8));
  EXPECT_EQ(result.taken, 0u);
  EXPECT_EQ(result.status.number, 57);
  EXPECT_FALSE(result.status.description.empty());
  EXPECT_EQ(vfs_.faultsHit(), 1);
  EXPECT_EQ(Stored(path_), Texts(52));

  result = AddAll(*dso, dto, Slice(records, 52, 8));
  EXPECT_EQ(result.taken, 8u);
  EXPECT_EQ(Stored(path_), Texts(60));
}

TEST_F(SqliteRunsTest, ARecordThatCannotBeStoredEndsTheRunAfterThoseBeforeIt) {
  const struct {
    const char* what;
    size_t at;
    Variant record;
  } cases[] = {
      {"not a packed record", 0, Variant::String("not a packed record")},
      {"a value that cannot be stored", 3,
       ledgerwick::testing::MakeRecord({{"Description", Variant::String("x")}, {"EventCode", Variant::Error(7)}})},
      {"no record at all", 5, Variant()},
      {"bytes that are no record", 6, Variant::Array(automation::SafeArray::FromBytes({1, 2, 3, 4, 5, 6, 7, 8, 9}))},
  };
  // Short runs are converted on the worker as they are inserted; in long ones the
  // caller's thread converts chunks from the back meanwhile, so the record may be
  // met by either thread.
  const struct {
    size_t length;
    size_t offset;
    bool thread;
  } shapes[] = {{7, 0, false}, {200, 0, true}, {200, 120, true}, {200, 120, false}};
  for (const auto& shape : shapes) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " in a run of " + std::to_string(shape.length) + " at " +
                   std::to_string(shape.offset + c.at) + (shape.thread ? " with a worker thread" : ""));
      ledgerwick::testing::TempDir dir;
      const std::string path = dir / "local.db";
      SqliteDSO::Options options;
      if (shape.thread) options.worker = std::make_shared<automation::WorkerThread>();
      auto dso = MakeDso(options);
      SqliteDTO dto;
      Open(*dso, dto, path);

      const size_t at = shape.offset + c.at;
      const int length = static_cast<int>(shape.length);
      std::vector<Variant> run = Stream(length);
      run[at] = c.record;
      TakeResult result = AddAll(*dso, dto, kj::arrayPtr(run.data(), run.size()));
      EXPECT_EQ(result.taken, at);
      EXPECT_EQ(result.status.number, 13);
      EXPECT_FALSE(result.raised);
      EXPECT_FALSE(result.status.description.empty());
      EXPECT_EQ(result.status.description, dso->lastError());
      EXPECT_EQ(Stored(path), Texts(static_cast<int>(at)));
      // A record refused is no fault of the store: it still takes records.
      EXPECT_TRUE(dso->Health().open);

      // The records after it go on as a run of their own.
      result = AddAll(*dso, dto, Slice(run, at + 1, run.size() - at - 1));
      EXPECT_EQ(result.taken, run.size() - at - 1);
      EXPECT_TRUE(result.status.ok()) << result.status.description;
      EXPECT_TRUE(dso->lastError().empty());
      std::vector<std::string> expected = Texts(length);
      expected.erase(expected.begin() + static_cast<long>(at));
      EXPECT_EQ(Stored(path), expected);
    }
  }
}

TEST_F(SqliteRunsTest, AFailureOfTheStoreRollsTheWholeRunBack) {
  const struct {
    const char* what;
    std::function<void(FaultVfs&, sqlite3*)> fault;
    int32_t number;
  } cases[] = {
      {"full disk", [](FaultVfs& vfs, sqlite3*) { vfs.FailWrites(SQLITE_FULL); }, 61},
      {"write error", [](FaultVfs& vfs, sqlite3*) { vfs.FailWrites(SQLITE_IOERR_WRITE); }, 57},
      {"read-only file", [](FaultVfs& vfs, sqlite3*) { vfs.FailWrites(SQLITE_READONLY); }, 70},
      {"lock held by another writer",
       [](FaultVfs&, sqlite3* other) { ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK); },
       57},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ledgerwick::testing::TempDir dir;
    const std::string path = dir / "local.db";
    auto dso = MakeDso({.busyTimeoutMs = 0, .vfs = ""});
    SqliteDTO dto;
    Open(*dso, dto, path);
    const auto records = Stream(10);
    ASSERT_EQ(AddAll(*dso, dto, Slice(records, 0, 3)).taken, 3u);

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    c.fault(vfs_, other);
    TakeResult result = AddAll(*dso, dto, Slice(records, 3, 7));
    EXPECT_EQ(result.taken, 0u);
    EXPECT_EQ(result.status.number, c.number);
    EXPECT_FALSE(result.raised);
    EXPECT_FALSE(result.status.description.empty());
    EXPECT_EQ(result.status.description, dso->lastError());
    // Those who watch the daemon see the store down, and why, until it takes a run.
    StoreHealth health = dso->Health();
    EXPECT_FALSE(health.open);
    EXPECT_EQ(health.lastError, result.status.description);
    vfs_.Heal();
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(Stored(path), Texts(3));

    result = AddAll(*dso, dto, Slice(records, 3, 7));
    EXPECT_EQ(result.taken, 7u);
    EXPECT_EQ(Stored(path), Texts(10));
    health = dso->Health();
    EXPECT_TRUE(health.open);
    EXPECT_EQ(health.lastError, "");
  }
}

TEST_F(SqliteRunsTest, ARunWithNowhereToGoTakesNothing) {
  const auto records = Stream(3);
  auto unconnected = MakeDso();
  SqliteDTO dto;
  TakeResult result = AddAll(*unconnected, dto, Slice(records, 0, 3));
  EXPECT_EQ(result.taken, 0u);
  EXPECT_EQ(result.status.number, 91);

  auto dso = MakeDso();
  ASSERT_EQ(dso->ConnectNow(path_), 0);
  SqliteDTO unbound;
  result = AddAll(*dso, unbound, Slice(records, 0, 3));
  EXPECT_EQ(result.taken, 0u);
  EXPECT_EQ(result.status.number, 91);

  OtherDTO other;
  result = dso->AddRecords(other, Slice(records, 0, 3)).wait(loop_->ws);
  EXPECT_EQ(result.taken, 0u);
  EXPECT_EQ(result.status.number, 13);
  EXPECT_TRUE(result.raised);
}

// SQLite's ioerr tests, for runs: fail the 1st, 2nd, 3rd... write or sync of a
// stream of runs, once or from then on until healed; the writer retries from the
// first record not taken. Every record ends up stored once, in order.
TEST_F(SqliteRunsTest, AFaultAnywhereInAStreamOfRunsLosesAndRepeatsNothing) {
  constexpr int kRecords = 40;
  constexpr size_t kRunLength = 7;
  // Journalled, so that the last number stored under the journal is written with
  // each run, and a fault in that write is one of those swept.
  const auto records = JournalledStream(kRecords);
  const struct {
    int code;
    int32_t number;
  } faults[] = {{SQLITE_IOERR_WRITE, 57}, {SQLITE_FULL, 61}};
  for (const auto& f : faults) {
    for (FaultVfs::Fault mode : {FaultVfs::Fault::kOnce, FaultVfs::Fault::kFromThenOn}) {
      bool anyFaultHit = true;
      int n = 1;
      for (; anyFaultHit; ++n) {
        SCOPED_TRACE("code " + std::to_string(f.code) + (mode == FaultVfs::Fault::kOnce ? " once" : " from then on") +
                     " at operation " + std::to_string(n));
        ASSERT_LT(n, 1000) << "the sweep never ran clean";
        ledgerwick::testing::TempDir dir;
        const std::string path = dir / "local.db";
        {
          auto dso = MakeDso({.busyTimeoutMs = 0, .vfs = ""});
          SqliteDTO dto;
          Open(*dso, dto, path);
          const int hitsBefore = vfs_.faultsHit();
          vfs_.FailNth(n, f.code, mode);

          size_t next = 0;
          int failedRuns = 0;
          while (next < records.size()) {
            ASSERT_LT(failedRuns, 10) << "the stream does not get through";
            const auto run = Slice(records, next, kRunLength);
            const TakeResult result = AddAll(*dso, dto, run);
            if (result.taken == run.size()) {
              EXPECT_TRUE(result.status.ok());
            } else {
              // A store failure takes nothing of its run.
              EXPECT_EQ(result.taken, 0u);
              EXPECT_EQ(result.status.number, f.number) << result.status.description;
              EXPECT_FALSE(result.status.description.empty());
              // From then on: the fault stays for one more try, then is healed.
              if (++failedRuns >= 2) vfs_.Heal();
            }
            next += result.taken;
          }
          anyFaultHit = vfs_.faultsHit() > hitsBefore;
          vfs_.Heal();
          EXPECT_EQ(Stored(path), Texts(kRecords));
        }
        // And so it stays once the store is closed and the file opened afresh.
        EXPECT_EQ(Stored(path), Texts(kRecords));
      }
      EXPECT_GT(n, 3) << "the sweep found too few operations to fail";
    }
  }
}

// With a worker thread, a store locked by another connection stalls only the run:
// the loop serves its other events meanwhile, and the run commits once the lock is
// released.
TEST_F(SqliteRunsTest, ARunWaitingForALockLeavesTheLoopFree) {
  auto worker = std::make_shared<automation::WorkerThread>();
  auto dso = MakeDso({.worker = worker});
  SqliteDTO dto;
  Open(*dso, dto, path_);
  const auto records = Stream(15);

  sqlite3* other = LockExclusively();

  bool runAnswered = false;
  auto run = dso->AddRecords(dto, Slice(records, 0, 10)).then([&](TakeResult result) {
    runAnswered = true;
    return result;
  });
  vfs_.AwaitBusyLocks(1);  // the worker has met the lock

  // The loop goes on: a chain of events and a timer tick.
  int steps = 0;
  std::function<kj::Promise<void>()> chain = [&]() -> kj::Promise<void> {
    if (++steps == 20) return kj::READY_NOW;
    return kj::evalLater(chain);
  };
  auto chained = kj::evalLater(chain);
  bool ticked = false;
  auto tick = loop_->timer.afterDelay(100 * kj::MILLISECONDS).then([&] { ticked = true; });
  loop_->ws.poll();
  loop_->timer.advanceTo(loop_->timer.now() + 100 * kj::MILLISECONDS);
  chained.wait(loop_->ws);
  tick.wait(loop_->ws);
  EXPECT_EQ(steps, 20);
  EXPECT_TRUE(ticked);
  EXPECT_FALSE(runAnswered);

  // A call that would touch the connection from the loop's thread is refused; a
  // further run waits behind the first on the worker.
  EXPECT_ANY_THROW(dso->ConnectNow(path_));
  auto second = dso->AddRecords(dto, Slice(records, 10, 5));
  EXPECT_EQ(Stored(path_), std::vector<std::string>{});

  Release(other);
  TakeResult result = run.wait(loop_->ws);
  EXPECT_EQ(result.taken, 10u);
  EXPECT_TRUE(result.status.ok()) << result.status.description;
  result = second.wait(loop_->ws);
  EXPECT_EQ(result.taken, 5u);
  EXPECT_EQ(Stored(path_), Texts(15));

  // A single record goes through the worker too; it is copied, so a temporary will do.
  auto added = dso->AddRecord(dto, Stream(1, 15)[0], "");
  EXPECT_EQ(added.wait(loop_->ws), 0) << dso->lastError();
  EXPECT_EQ(Stored(path_), Texts(16));
}

TEST_F(SqliteRunsTest, ARunWhosePromiseIsDroppedStopsWaitingForTheLock) {
  auto worker = std::make_shared<automation::WorkerThread>();
  // Were the dropped promise not heard, the wait would outlast the test's time limit.
  auto dso = MakeDso({.busyTimeoutMs = 24 * 3600 * 1000, .worker = worker});
  SqliteDTO dto;
  Open(*dso, dto, path_);
  const auto records = Stream(5);

  sqlite3* other = LockExclusively();
  {
    auto run = dso->AddRecords(dto, Slice(records, 0, 5));
    vfs_.AwaitBusyLocks(1);
  }  // dropped at once, without waiting for the worker
  // The worker runs items in order: this one runs once the dropped run has ended.
  worker->Run([] {}).wait(loop_->ws);
  EXPECT_EQ(Stored(path_), std::vector<std::string>{});

  Release(other);
  TakeResult result = AddAll(*dso, dto, Slice(records, 0, 5));
  EXPECT_EQ(result.taken, 5u);
  EXPECT_EQ(Stored(path_), Texts(5));
}

TEST_F(SqliteRunsTest, DestroyingTheDsoEndsItsWaitForALockAtOnce) {
  auto worker = std::make_shared<automation::WorkerThread>();
  // Without the destructor's word the wait would outlast the test's time limit.
  auto dso = MakeDso({.busyTimeoutMs = 24 * 3600 * 1000, .worker = worker});
  SqliteDTO dto;
  Open(*dso, dto, path_);
  const auto records = Stream(5);

  sqlite3* other = LockExclusively();
  auto run = dso->AddRecords(dto, Slice(records, 0, 5));
  vfs_.AwaitBusyLocks(1);

  dso.reset();
  TakeResult result = run.wait(loop_->ws);
  EXPECT_EQ(result.taken, 0u);
  EXPECT_NE(result.status.number, 0);

  Release(other);
  EXPECT_EQ(Stored(path_), std::vector<std::string>{});
}

// Runs the work at once, counting it.
class CountingWorker final : public automation::BlockingWorker {
 public:
  kj::Promise<void> Run(kj::Function<void()> work) override {
    ++runs;
    return inline_.Run(kj::mv(work));
  }
  int runs = 0;

 private:
  automation::InlineWorker inline_;
};

// Holds the work handed to it until RunHeld, which runs it on the caller's thread.
class HeldWorker final : public automation::BlockingWorker {
 public:
  kj::Promise<void> Run(kj::Function<void()> work) override {
    auto paf = kj::newPromiseAndFulfiller<void>();
    held_.push_back({kj::mv(work), kj::mv(paf.fulfiller)});
    return kj::mv(paf.promise);
  }
  void RunHeld() {
    auto held = kj::mv(held_);
    for (auto& item : held) {
      item.work();
      item.done->fulfill();
    }
  }

 private:
  struct Item {
    kj::Function<void()> work;
    kj::Own<kj::PromiseFulfiller<void>> done;
  };
  std::vector<Item> held_;
};

TEST_F(SqliteRunsTest, ALongRunIsStoredInOrderWhicheverThreadConvertedItsChunks) {
  // The loop's thread converts a chunk from the back each turn until the worker
  // starts; the worker converts the rest from the front. However far the loop got,
  // the rows go in in the run's order and the run ends before the bad record.
  for (const unsigned turns : {0u, 1u, 5u, 1000u}) {
    SCOPED_TRACE(std::to_string(turns) + " turns of the loop before the worker starts");
    ledgerwick::testing::TempDir dir;
    const std::string path = dir / "local.db";
    auto worker = std::make_shared<HeldWorker>();
    SqliteDSO::Options options;
    options.worker = worker;
    auto dso = MakeDso(options);
    SqliteDTO dto;
    Open(*dso, dto, path);

    std::vector<Variant> run = Stream(203);
    run[150] = Variant::String("not a packed record");
    auto added = dso->AddRecords(dto, kj::arrayPtr(run.data(), run.size()));
    loop_->loop.run(turns);
    worker->RunHeld();
    TakeResult result = added.wait(loop_->ws);
    EXPECT_EQ(result.taken, 150u);
    EXPECT_EQ(result.status.number, 13);
    EXPECT_EQ(Stored(path), Texts(150));
  }
}

TEST_F(SqliteRunsTest, RegisteredDsosWriteThroughTheWorkerTheyWereGiven) {
  automation::ClassRegistry registry;
  auto worker = std::make_shared<CountingWorker>();
  RegisterSqliteClasses(registry, worker);
  auto dso = registry.CreateAs<DSO>(kSqliteDsoProgId);
  auto dto = registry.CreateAs<DTO>(kSqliteDtoProgId);
  ASSERT_EQ(dso->Connect(path_).wait(loop_->ws), 0);
  ASSERT_EQ(dso->OpenTable(*dto, "tblLog").wait(loop_->ws), 0);
  EXPECT_EQ(worker->runs, 0);  // only the writes go to the worker

  const auto records = Stream(5);
  EXPECT_EQ(dso->AddRecords(*dto, Slice(records, 0, 4)).wait(loop_->ws).taken, 4u);
  EXPECT_EQ(dso->AddRecord(*dto, records[4], "").wait(loop_->ws), 0);
  EXPECT_EQ(worker->runs, 2);
  EXPECT_EQ(Stored(path_), Texts(5));

  // Every DSO of the registry shares the one worker.
  auto second = registry.CreateAs<DSO>(kSqliteDsoProgId);
  ASSERT_EQ(second->Connect(dir_ / "second.db").wait(loop_->ws), 0);
  ASSERT_EQ(second->OpenTable(*dto, "tblLog").wait(loop_->ws), 0);
  EXPECT_EQ(second->AddRecords(*dto, Slice(records, 0, 2)).wait(loop_->ws).taken, 2u);
  EXPECT_EQ(worker->runs, 3);
}

}  // namespace
}  // namespace recordkit
