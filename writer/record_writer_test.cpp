#include "writer/record_writer.h"

#include <gtest/gtest.h>

#include "tests/support/fake_store.h"
#include "tests/support/records.h"
#include "tests/support/test_process.h"

namespace ledgerwick {
namespace {

using automation::Variant;
using testing::FakeDSO;
using testing::FakeDTO;

class RecordWriterTest : public ::testing::Test {
 protected:
  RecordWriterTest() { process.StartWithoutStores(); }

  void OpenNetwork() {
    process.state.NetDSO = net;
    process.state.NetDTO = std::make_shared<FakeDTO>();
  }
  void OpenLocal() {
    process.state.LocalDSO = local;
    process.state.LocalDTO = std::make_shared<FakeDTO>();
  }

  int32_t Write(int32_t method) {
    Variant record = testing::MakeRecord({{"AppName", Variant::String("app")}});
    return WriteRecord(process.state, method, record).wait(process.ws);
  }

  size_t TextLines() { return process.TextLogLines().size(); }

  testing::TestProcess process;
  std::shared_ptr<FakeDSO> net = std::make_shared<FakeDSO>();
  std::shared_ptr<FakeDSO> local = std::make_shared<FakeDSO>();
};

TEST_F(RecordWriterTest, NetworkStoreTakesTheRecordAlone) {
  OpenNetwork();
  OpenLocal();
  EXPECT_EQ(Write(toDatabase), 0);
  EXPECT_EQ(net->taken.size(), 1u);
  EXPECT_EQ(local->calls, 0);
  EXPECT_EQ(TextLines(), 0u);
  EXPECT_EQ(net->Field(0, "AppName"), Variant::String("app"));
  EXPECT_EQ(process.state.counters.toNetworkStore, 1u);
}

TEST_F(RecordWriterTest, AbsentOrRefusingNetworkStoreFallsToLocalSilently) {
  struct Case {
    const char* name;
    bool netDso, netDto;
    FakeDSO::Mode netMode;
  };
  for (const Case& c : {Case{"no DSO", false, true, FakeDSO::Mode::kTake},
                        Case{"DSO without DTO", true, false, FakeDSO::Mode::kTake},
                        Case{"refuses", true, true, FakeDSO::Mode::kRefuse}}) {
    SCOPED_TRACE(c.name);
    ProcessState& state = process.state;
    state.counters = {};
    auto n = std::make_shared<FakeDSO>();
    auto l = std::make_shared<FakeDSO>();
    n->mode = c.netMode;
    state.NetDSO = c.netDso ? n : nullptr;
    state.NetDTO = c.netDto ? std::make_shared<FakeDTO>() : nullptr;
    state.LocalDSO = l;
    state.LocalDTO = std::make_shared<FakeDTO>();
    Variant record = testing::MakeRecord({});
    EXPECT_EQ(WriteRecord(state, toDatabase, record).wait(process.ws), 0);
    EXPECT_EQ(l->taken.size(), 1u);
    EXPECT_TRUE(process.Faults().empty());
    EXPECT_EQ(state.counters.toLocalStore, 1u);
  }
}

TEST_F(RecordWriterTest, TextLogIsTheLastTarget) {
  net->mode = FakeDSO::Mode::kRefuse;
  OpenNetwork();
  EXPECT_EQ(Write(toDatabase), 0);  // refused, no local store
  process.state.NetDSO.reset();
  EXPECT_EQ(Write(toDatabase), 0);  // both absent
  EXPECT_EQ(TextLines(), 2u);
  EXPECT_TRUE(process.Faults().empty());
  EXPECT_EQ(process.state.counters.toTextLog, 2u);
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
  EXPECT_EQ(process.Faults(), std::vector<std::string>{"ODBC--call failed"});

  local->mode = FakeDSO::Mode::kRaise;
  local->raiseDescription = "disk I/O error";
  EXPECT_EQ(Write(toDatabase), 0);
  EXPECT_EQ(TextLines(), 1u);
  EXPECT_EQ(process.Faults().size(), 3u);
}

TEST_F(RecordWriterTest, NoTargetTakingTheRecordAnswersTheTextLogError) {
  net->mode = FakeDSO::Mode::kRefuse;
  OpenNetwork();
  process.state.TextLogPath = process.homeDir / "gone/Ledgwk.log";
  EXPECT_EQ(Write(toDatabase), 76);
  EXPECT_EQ(Write(tofile), 76);
  EXPECT_EQ(process.Faults(), std::vector<std::string>(2, "Path not found"));
}

TEST_F(RecordWriterTest, WaitsForASlowStoreWithoutBlocking) {
  net->mode = FakeDSO::Mode::kLate;
  OpenNetwork();
  Variant record = testing::MakeRecord({});
  bool done = false;
  int32_t result = -1;
  auto promise = WriteRecord(process.state, toDatabase, record).then([&](int32_t r) {
    done = true;
    result = r;
  });
  process.ws.poll();
  EXPECT_FALSE(done);
  net->AnswerLate(0);
  promise.wait(process.ws);
  EXPECT_TRUE(done);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(net->taken.size(), 1u);
}

}  // namespace
}  // namespace ledgerwick
