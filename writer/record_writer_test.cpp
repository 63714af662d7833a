#include "writer/record_writer.h"

#include <gtest/gtest.h>
#include <kj/debug.h>

#include "tests/support/fake_store.h"
#include "tests/support/records.h"
#include "tests/support/writer_rig.h"

namespace ledgerwick {
namespace {

using automation::Variant;
using testing::FakeDSO;
using testing::FakeDTO;

class RecordWriterTest : public ::testing::Test {
 protected:
  void OpenNetwork() {
    netDso = net;
    Wire();
  }
  void OpenLocal() {
    localDso = local;
    Wire();
  }
  void Wire() { process.SetStores(netDso, netDso ? netDto : nullptr, localDso, localDso ? localDto : nullptr); }

  // 0 when a target took the record, else the status number of the last target.
  int32_t Write(int32_t method) {
    Variant record = testing::MakeRecord({{"AppName", Variant::String("app")}});
    TakeResult result = process.writer.WriteRecord(method, kj::arrayPtr(&record, 1)).wait(process.ws);
    return result.taken == 1 ? 0 : result.status.number;
  }

  size_t TextLines() { return process.TextLogLines().size(); }

  testing::WriterRig process;
  std::shared_ptr<FakeDSO> net = std::make_shared<FakeDSO>();
  std::shared_ptr<FakeDSO> local = std::make_shared<FakeDSO>();
  std::shared_ptr<recordkit::DSO> netDso, localDso;
  std::shared_ptr<FakeDTO> netDto = std::make_shared<FakeDTO>(), localDto = std::make_shared<FakeDTO>();
};

TEST_F(RecordWriterTest, NetworkStoreTakesTheRecordAlone) {
  OpenNetwork();
  OpenLocal();
  EXPECT_EQ(Write(toDatabase), 0);
  EXPECT_EQ(net->taken.size(), 1u);
  EXPECT_EQ(local->calls, 0);
  EXPECT_EQ(TextLines(), 0u);
  EXPECT_EQ(net->Field(0, "AppName"), Variant::String("app"));
  EXPECT_EQ(process.writer.counters().toNetworkStore, 1u);
}

TEST(RecordWriterChain, AbsentOrRefusingNetworkStoreFallsToLocalSilently) {
  struct Case {
    const char* name;
    bool netDso, netDto;
    FakeDSO::Mode netMode;
  };
  for (const Case& c : {Case{"no DSO", false, true, FakeDSO::Mode::kTake},
                        Case{"DSO without DTO", true, false, FakeDSO::Mode::kTake},
                        Case{"refuses", true, true, FakeDSO::Mode::kRefuse}}) {
    SCOPED_TRACE(c.name);
    testing::WriterRig rig;
    auto n = std::make_shared<FakeDSO>();
    auto l = std::make_shared<FakeDSO>();
    n->mode = c.netMode;
    rig.SetStores(c.netDso ? n : nullptr, c.netDto ? std::make_shared<FakeDTO>() : nullptr, l,
                  std::make_shared<FakeDTO>());
    Variant record = testing::MakeRecord({});
    EXPECT_EQ(rig.writer.WriteRecord(toDatabase, kj::arrayPtr(&record, 1)).wait(rig.ws).taken, 1u);
    EXPECT_EQ(l->taken.size(), 1u);
    EXPECT_TRUE(rig.Faults().empty());
    EXPECT_EQ(rig.writer.counters().toLocalStore, 1u);
  }
}

TEST_F(RecordWriterTest, TextLogIsTheLastTarget) {
  net->mode = FakeDSO::Mode::kRefuse;
  OpenNetwork();
  EXPECT_EQ(Write(toDatabase), 0);  // refused, no local store
  netDso.reset();
  Wire();
  EXPECT_EQ(Write(toDatabase), 0);  // both absent
  EXPECT_EQ(TextLines(), 2u);
  EXPECT_TRUE(process.Faults().empty());
  EXPECT_EQ(process.writer.counters().toTextLog, 2u);
}

TEST_F(RecordWriterTest, ToFileTouchesNoStore) {
  OpenNetwork();
  OpenLocal();
  EXPECT_EQ(Write(tofile), 0);
  EXPECT_EQ(net->calls + local->calls, 0);
  EXPECT_EQ(TextLines(), 1u);
}

TEST_F(RecordWriterTest, UnknownLogMethodIsAFaultAndTheRecordIsKeptInTheTextLog) {
  OpenNetwork();
  for (int32_t method : {int32_t{ToEmail}, 7, -1}) {
    EXPECT_EQ(Write(method), 0);
  }
  EXPECT_EQ(net->calls, 0);
  EXPECT_EQ(TextLines(), 3u);
  EXPECT_EQ(process.Faults(), std::vector<std::string>(3, "Invalid Log Method"));
}

TEST_F(RecordWriterTest, FailingStoreCallIsReportedOnceAndPassedOver) {
  net->mode = FakeDSO::Mode::kRaise;
  OpenNetwork();
  OpenLocal();
  EXPECT_EQ(Write(toDatabase), 0);
  EXPECT_EQ(local->taken.size(), 1u);
  EXPECT_EQ(process.Faults(), std::vector<std::string>{"ODBC--call failed (network store)"});

  local->mode = FakeDSO::Mode::kRaise;
  local->raiseDescription = "disk I/O error";
  EXPECT_EQ(Write(toDatabase), 0);
  EXPECT_EQ(TextLines(), 1u);
  // The network store's failure repeats within its outage and is not entered again.
  EXPECT_EQ(process.Faults(),
            (std::vector<std::string>{"ODBC--call failed (network store)", "disk I/O error (local store)"}));
}

TEST_F(RecordWriterTest, NoTargetTakingTheRecordAnswersTheTextLogError) {
  net->mode = FakeDSO::Mode::kRefuse;
  OpenNetwork();
  process.UseTextLog(process.homeDir / "gone/Ledgwk.log");
  EXPECT_EQ(Write(toDatabase), 76);
  EXPECT_EQ(Write(tofile), 76);
  // One outage of the text log: its fault is entered once.
  EXPECT_EQ(process.Faults(), std::vector<std::string>{"Path not found (" + (process.homeDir / "gone/Ledgwk.log") + ")"});
}

TEST_F(RecordWriterTest, WaitsForASlowStoreWithoutBlocking) {
  net->mode = FakeDSO::Mode::kLate;
  OpenNetwork();
  Variant record = testing::MakeRecord({});
  bool done = false;
  size_t result = 0;
  auto promise = process.writer.WriteRecord(toDatabase, kj::arrayPtr(&record, 1)).then([&](TakeResult r) {
    done = true;
    result = r.taken;
  });
  process.ws.poll();
  EXPECT_FALSE(done);
  net->AnswerLate(0);
  promise.wait(process.ws);
  EXPECT_TRUE(done);
  EXPECT_EQ(result, 1u);
  EXPECT_EQ(net->taken.size(), 1u);
}

// What one target did not take goes on to the next, in order; each target gets
// records in queue order and nothing twice.
TEST_F(RecordWriterTest, WhatATargetDidNotTakeGoesOnToTheNextInOrder) {
  net->failCall = 3;  // takes r0 and r1, refuses r2
  OpenNetwork();
  OpenLocal();
  local->failCall = 2;  // takes r2, refuses r3
  std::vector<Variant> run;
  for (int i = 0; i < 5; ++i) run.push_back(testing::MakeRecord({{"AppName", Variant::String("r" + std::to_string(i))}}));
  TakeResult result = process.writer.WriteRecord(toDatabase, kj::arrayPtr(run.data(), run.size())).wait(process.ws);
  EXPECT_EQ(result.taken, 5u);
  ASSERT_EQ(net->taken.size(), 2u);
  EXPECT_EQ(net->Field(1, "AppName").string(), "r1");
  ASSERT_EQ(local->taken.size(), 1u);
  EXPECT_EQ(local->Field(0, "AppName").string(), "r2");
  auto lines = process.TextLogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(0, 2), "r3");
  EXPECT_EQ(lines[1].substr(0, 2), "r4");
  EXPECT_EQ(process.writer.counters().toNetworkStore, 2u);
  EXPECT_EQ(process.writer.counters().toLocalStore, 1u);
  EXPECT_EQ(process.writer.counters().toTextLog, 2u);
}

// A target that fails outright (a bug, no memory) takes nothing, gets a fault
// entry, and what the targets before it took stays taken; the rest goes on.
TEST(RecordWriterChain, ATargetThatFailsOutrightLosesNothingTheOthersTook) {
  class Broken : public LogTarget {
   public:
    explicit Broken(bool atOnce) : atOnce_(atOnce) {}
    kj::Promise<TakeResult> Take(kj::ArrayPtr<const Variant>) override {
      if (atOnce_) throw std::bad_alloc();
      return KJ_EXCEPTION(FAILED, "the worker is gone");
    }

   private:
    bool atOnce_;
  };
  for (bool atOnce : {true, false}) {
    SCOPED_TRACE(atOnce ? "raises at once" : "rejects later");
    testing::WriterRig rig;
    auto takesTwo = std::make_shared<FakeDSO>();
    takesTwo->failCall = 3;
    rig.SetStores(takesTwo, std::make_shared<FakeDTO>());
    rig.writer.SetTargets(kj::heap<StoreTarget>(rig.netDso, rig.netDto, rig.faultLog, "network store"), kj::heap<Broken>(atOnce),
                          kj::heap<TextLog>(rig.files, rig.packer, rig.faultLog, rig.worker, rig.textLogPath));
    std::vector<Variant> run;
    for (int i = 0; i < 4; ++i) run.push_back(testing::MakeRecord({{"AppName", Variant::String("r" + std::to_string(i))}}));
    TakeResult result = rig.writer.WriteRecord(toDatabase, kj::arrayPtr(run.data(), run.size())).wait(rig.ws);
    EXPECT_EQ(result.taken, 4u);
    EXPECT_EQ(takesTwo->taken.size(), 2u);
    auto lines = rig.TextLogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 2), "r2");
    EXPECT_EQ(rig.Faults().size(), 1u);
  }
}

}  // namespace
}  // namespace ledgerwick
