// Start-up once per process and instance counting, over real settings and home
// folders, stand-in store classes, recorded notices and a clock set by hand.

#include "startup/logger_startup.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "startup/settings.h"
#include "tests/support/fake_store.h"
#include "tests/support/test_process.h"

namespace ledgerwick {
namespace {

namespace fs = std::filesystem;

const std::string kNoStore =
    "Unable to open Local or Network Log Table.\r\nErrors will be logged to Local File";
const std::string kNoNetwork = "Unable to open Network Log Table.\r\nErrors will be logged to Local Table";
const std::string kNoLocal = "Unable to open Local Log Table.\r\nErrors will be logged to Network Table";
const std::string kDescription91 = "Object variable or With block variable not set";

using testing::FakeDSO;
using testing::FakeDTO;

// Records each notice together with ReadyFlag as it stood while the notice was up.
class WatchingNotices : public automation::NoticeSink {
 public:
  void Show(const std::string& text) override {
    shown.push_back(text);
    readyWhileShown.push_back(state != nullptr && state->ReadyFlag);
  }
  const ProcessState* state = nullptr;
  std::vector<std::string> shown;
  std::vector<bool> readyWhileShown;
};

// The settings and home folders outlive each process state, so a test can run a
// second server process over the same folders with NewProcess().
class StartupTest : public ::testing::Test {
 protected:
  StartupTest() {
    classes.Register("Fake.DSO", [this] { return Made(0); });
    classes.Register("Fake.RefusingDSO", [this] { return Made(5); });
    classes.Register("Fake.DTO", [] { return std::make_shared<FakeDTO>(); });
    classes.Register("Fake.LateDSO", [this] {
      auto dso = Made(0);
      dso->connectLate = true;
      return dso;
    });
    NewProcess();
  }

  std::shared_ptr<FakeDSO> Made(int32_t connectAnswer) {
    auto dso = std::make_shared<FakeDSO>();
    dso->connectResult = connectAnswer;
    created.push_back(dso);
    return dso;
  }

  // A server process over the fixture's folders; a second call starts it again.
  void NewProcess() {
    state = std::make_unique<ProcessState>(process.Env(notices));
    notices.state = state.get();
  }

  void WriteSettings(const std::string& content) { process.WriteSettings(content); }

  // The settings of a network and a local store that both open.
  static std::string BothStores(const std::string& general = "StorageType=0\n") {
    return "[General]\n" + general +
           "[Attachments]\n"
           "NetDSO=Fake.DSO\nNetConnect=DATABASE=net\nNetDTO=Fake.DTO\n"
           "LocalDSO=Fake.DSO\nLocalConnect=DATABASE=local\nLocalDTO=Fake.DTO\n";
  }

  std::vector<std::string> Faults() const { return process.Faults(); }

  // Start-up's entry for a store whose class the settings do not name.
  std::string Unnamed(const std::string& step, const std::string& key) const {
    return kDescription91 + ": " + step + " (no " + key + " in [Attachments] of " + process.settingsDir.path() +
           "/Ledgwk.ini)";
  }
  std::string NoNet() const { return Unnamed("Create NetDSO", "NetDSO"); }
  std::string NoLocal() const { return Unnamed("Create DSOLocal", "LocalDSO"); }

  std::vector<std::shared_ptr<FakeDSO>> created;

  testing::TestProcess process;  // 8 December 2026
  const testing::TempDir& home = process.homeDir;
  automation::ClassRegistry& classes = process.classes;
  WatchingNotices notices;
  std::unique_ptr<ProcessState> state;
};

TEST_F(StartupTest, NoSettingsFileAtAll) {
  InitializeLogger(*state).wait(process.ws);

  EXPECT_EQ(state->InstanceCount, 1);
  EXPECT_TRUE(state->InitStarted);
  EXPECT_EQ(state->TextLogPath, home.path() + "/Ledgwk.log");
  EXPECT_EQ(state->CurrentLogMethod, toDatabase);
  ASSERT_TRUE(state->drain.hasErrorBuffer());
  EXPECT_EQ(state->drain.queued(), 0u);
  EXPECT_EQ(Faults(), (std::vector<std::string>{NoNet(), NoLocal()}));
  EXPECT_EQ(notices.shown, std::vector<std::string>{kNoStore});
  EXPECT_FALSE(state->ReadyFlag);
  EXPECT_EQ(state->NetDSO, nullptr);
  EXPECT_EQ(state->LocalDSO, nullptr);
}

TEST_F(StartupTest, BothStoresOpen) {
  WriteSettings(BothStores());
  InitializeLogger(*state).wait(process.ws);

  EXPECT_TRUE(Faults().empty());
  EXPECT_TRUE(notices.shown.empty());
  EXPECT_TRUE(state->ReadyFlag);
  EXPECT_EQ(state->CurrentLogMethod, tofile);
  ASSERT_EQ(created.size(), 2u);  // network first, then local
  EXPECT_EQ(state->NetDSO, created[0]);
  EXPECT_EQ(state->LocalDSO, created[1]);
  EXPECT_NE(state->NetDTO, nullptr);
  EXPECT_NE(state->LocalDTO, nullptr);
  EXPECT_EQ(created[0]->databases, std::vector<std::string>{"net"});
  EXPECT_EQ(created[1]->databases, std::vector<std::string>{"local"});
  EXPECT_TRUE(created[0]->statements.empty());
  EXPECT_EQ(created[1]->statements,
            std::vector<std::string>{"DELETE *\r\nFROM tblLog\r\nWHERE logdate < #11/24/2026#"});
}

TEST_F(StartupTest, NetworkFailsLocalOpens) {
  WriteSettings("[Attachments]\nLocalDSO=Fake.DSO\nLocalConnect=DATABASE=local\nLocalDTO=Fake.DTO\n");
  InitializeLogger(*state).wait(process.ws);

  EXPECT_EQ(Faults(), std::vector<std::string>{NoNet()});
  EXPECT_EQ(notices.shown, std::vector<std::string>{kNoNetwork});
  // ReadyFlag is written only after the notice.
  EXPECT_EQ(notices.readyWhileShown, std::vector<bool>{false});
  EXPECT_TRUE(state->ReadyFlag);
}

TEST_F(StartupTest, LocalFailsNetworkOpensWithTheComponentsNumber) {
  WriteSettings(
      "[Attachments]\nNetDSO=Fake.DSO\nNetConnect=DATABASE=net\nNetDTO=Fake.DTO\n"
      "LocalDSO=Fake.RefusingDSO\nLocalConnect=DATABASE=local\nLocalDTO=Fake.DTO\n");
  InitializeLogger(*state).wait(process.ws);

  EXPECT_EQ(Faults(), std::vector<std::string>{"Invalid procedure call or argument: Create DSOLocal "
                                               "(LocalDSO=Fake.RefusingDSO, LocalConnect=DATABASE=local)"});
  EXPECT_EQ(notices.shown, std::vector<std::string>{kNoLocal});
  EXPECT_TRUE(state->ReadyFlag);
  EXPECT_NE(state->LocalDSO, nullptr);  // created, not connected
  EXPECT_EQ(state->LocalDTO, nullptr);
}

TEST_F(StartupTest, ConnectStringWithoutDatabaseFailsTheStore) {
  WriteSettings(
      "[Attachments]\nNetDSO=Fake.DSO\nNetConnect=SERVER=db1;USER=u\nNetDTO=Fake.DTO\n"
      "LocalDSO=Fake.DSO\nLocalConnect=DATABASE=local\nLocalDTO=Fake.DTO\n");
  InitializeLogger(*state).wait(process.ws);

  EXPECT_EQ(Faults(), std::vector<std::string>{
                         "Named argument not found: Create NetDSO (NetDSO=Fake.DSO, NetConnect=SERVER=db1;USER=u)"});
  ASSERT_EQ(created.size(), 2u);
  EXPECT_TRUE(created[0]->databases.empty()) << "no database named ERROR is opened";
  EXPECT_EQ(notices.shown, std::vector<std::string>{kNoNetwork});
}

struct TextPathCase {
  const char* name;
  std::string line;      // the TextPath line, empty for none
  std::string expected;  // "HOME" stands for the home folder
};

class TextPathCases : public StartupTest, public ::testing::WithParamInterface<TextPathCase> {};

TEST_P(TextPathCases, TextLogPathFollowsTheSetting) {
  WriteSettings("[General]\n" + GetParam().line);
  InitializeLogger(*state).wait(process.ws);
  std::string expected = GetParam().expected;
  if (expected.rfind("HOME", 0) == 0) expected.replace(0, 4, home.path());
  EXPECT_EQ(state->TextLogPath, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, TextPathCases,
    ::testing::Values(TextPathCase{"Folder", "TextPath=/var/log/lw\n", "/var/log/lw/Ledgwk.log"},
                      TextPathCase{"TrailingSlashStays", "TextPath=/var/log/lw/\n", "/var/log/lw//Ledgwk.log"},
                      TextPathCase{"EmptyValue", "TextPath=\n", "/Ledgwk.log"},
                      TextPathCase{"Missing", "", "HOME/Ledgwk.log"}),
    [](const auto& info) { return std::string(info.param.name); });

struct StorageTypeCase {
  const char* name;
  std::string line;
  int32_t method;
  std::vector<std::string> faults;
};

class StorageTypeCases : public StartupTest, public ::testing::WithParamInterface<StorageTypeCase> {};

TEST_P(StorageTypeCases, LogMethodFollowsTheSetting) {
  WriteSettings(BothStores(GetParam().line));
  InitializeLogger(*state).wait(process.ws);
  EXPECT_EQ(state->CurrentLogMethod, GetParam().method);
  EXPECT_EQ(Faults(), GetParam().faults);
  EXPECT_TRUE(state->ReadyFlag) << "start-up goes on after a bad log method";
}

INSTANTIATE_TEST_SUITE_P(
    Settings, StorageTypeCases,
    ::testing::Values(
        StorageTypeCase{"Missing", "", toDatabase, {}},
        StorageTypeCase{"ToFile", "StorageType=0\n", tofile, {}},
        StorageTypeCase{"ToEmail", "StorageType=2\n", ToEmail, {}},
        StorageTypeCase{"NotAMember", "StorageType=-7\n", -7, {}},
        StorageTypeCase{"FractionRoundsToEven", "StorageType= 2.5 \n", 2, {}},
        StorageTypeCase{"QuotedWithBlanks", "StorageType=\" 2.5 \"\n", 2, {}},
        StorageTypeCase{"HalfRoundsUpToEven", "StorageType=3.5\n", 4, {}},
        StorageTypeCase{"Word", "StorageType=database\n", tofile, {"Type mismatch: Get LogMethod"}},
        StorageTypeCase{"Empty", "StorageType=\n", tofile, {"Type mismatch: Get LogMethod"}},
        StorageTypeCase{"TooLarge", "StorageType=40000\n", tofile, {"Overflow: Get LogMethod"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StartupTest, SecondCreationAfterSuccessOnlyCounts) {
  WriteSettings(BothStores());
  InitializeLogger(*state).wait(process.ws);
  // A changed settings file is not read again in this process.
  WriteSettings("[General]\nStorageType=2\nTextPath=/elsewhere\n");
  InitializeLogger(*state).wait(process.ws);

  EXPECT_EQ(state->InstanceCount, 2);
  EXPECT_EQ(state->CurrentLogMethod, tofile);
  EXPECT_EQ(state->TextLogPath, home.path() + "/Ledgwk.log");
  EXPECT_EQ(created.size(), 2u);
  EXPECT_TRUE(notices.shown.empty());
  EXPECT_TRUE(state->ReadyFlag);
}

TEST_F(StartupTest, SecondCreationAfterFailureRepeatsOnlyTheNotice) {
  WriteSettings("[Attachments]\nNetDSO=Fake.RefusingDSO\nNetConnect=DATABASE=n\nNetDTO=Fake.DTO\n");
  InitializeLogger(*state).wait(process.ws);
  ASSERT_EQ(Faults().size(), 2u);
  ASSERT_EQ(created.size(), 1u);
  WriteSettings(BothStores());  // not read again

  InitializeLogger(*state).wait(process.ws);

  EXPECT_EQ(state->InstanceCount, 2);
  EXPECT_EQ(notices.shown, (std::vector<std::string>{kNoStore, kNoStore}));
  EXPECT_EQ(Faults().size(), 2u);
  EXPECT_EQ(created.size(), 1u) << "no new store attempt";
  EXPECT_FALSE(state->ReadyFlag);
}

TEST_F(StartupTest, ReleaseToZeroDoesNotRepeatStartUp) {
  WriteSettings(BothStores());
  InitializeLogger(*state).wait(process.ws);
  auto netDso = state->NetDSO;
  auto localDto = state->LocalDTO;
  ReleaseInstance(*state);
  EXPECT_EQ(state->InstanceCount, 0);
  EXPECT_TRUE(state->ReadyFlag);
  EXPECT_EQ(state->NetDSO, netDso) << "nothing is released with the last instance";

  InitializeLogger(*state).wait(process.ws);

  EXPECT_EQ(state->InstanceCount, 1);
  EXPECT_EQ(created.size(), 2u);
  EXPECT_EQ(state->NetDSO, netDso);
  EXPECT_EQ(state->LocalDTO, localDto);
  EXPECT_TRUE(notices.shown.empty());
}

TEST_F(StartupTest, ReleaseAfterFailedStartUpThenCreationShowsTheNoticeAgain) {
  InitializeLogger(*state).wait(process.ws);
  ReleaseInstance(*state);
  InitializeLogger(*state).wait(process.ws);
  EXPECT_EQ(state->InstanceCount, 1);
  EXPECT_EQ(notices.shown, (std::vector<std::string>{kNoStore, kNoStore}));
  EXPECT_EQ(Faults().size(), 2u);
}

TEST_F(StartupTest, InstanceCountOverflowIsAFaultAndStartUpGoesOn) {
  WriteSettings(BothStores());
  state->InstanceCount = 32767;
  InitializeLogger(*state).wait(process.ws);

  EXPECT_EQ(state->InstanceCount, 32767);
  // Before the first step label is set, the entry ends with ": ".
  EXPECT_EQ(Faults(), std::vector<std::string>{"Overflow: "});
  EXPECT_TRUE(state->ReadyFlag);
}

TEST_F(StartupTest, FaultEntriesAccumulateAcrossRuns) {
  InitializeLogger(*state).wait(process.ws);
  NewProcess();
  InitializeLogger(*state).wait(process.ws);
  EXPECT_EQ(Faults(), (std::vector<std::string>{NoNet(), NoLocal(), NoNet(), NoLocal()}));
}

TEST_F(StartupTest, UnwritableFaultLogDoesNotStopStartUp) {
  // The home folder is gone: LWERR.LOG cannot be written.
  fs::remove_all(home.path());
  WriteSettings("[General]\nStorageType=word\n");

  ::testing::internal::CaptureStderr();
  EXPECT_NO_THROW(InitializeLogger(*state).wait(process.ws));
  const std::string errors = ::testing::internal::GetCapturedStderr();

  EXPECT_NE(errors.find("Type mismatch: Get LogMethod"), std::string::npos) << errors;
  EXPECT_NE(errors.find(kDescription91 + ": Create DSOLocal"), std::string::npos) << errors;
  EXPECT_EQ(notices.shown, std::vector<std::string>{kNoStore});
  EXPECT_TRUE(state->drain.hasErrorBuffer());
  EXPECT_FALSE(state->ReadyFlag);
}

// A store that takes its time to connect holds up only the creations that need
// start-up: the loop goes on with other work (a drain tick here), and a second
// creation meanwhile waits for the same start-up instead of reporting stores that
// are still opening.
TEST_F(StartupTest, StoresOpenWithoutBlockingTheLoopAndLaterCreationsWait) {
  WriteSettings("[General]\nStorageType=0\n[Attachments]\n"
                "LocalDSO=Fake.LateDSO\nLocalConnect=DATABASE=local\nLocalDTO=Fake.DTO\n");
  auto first = InitializeLogger(*state).eagerlyEvaluate(nullptr);
  auto second = InitializeLogger(*state).eagerlyEvaluate(nullptr);
  bool ticked = false;
  auto tick = process.timer.afterDelay(100 * kj::MILLISECONDS).then([&] { ticked = true; }).eagerlyEvaluate(nullptr);
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_TRUE(ticked);
  EXPECT_FALSE(first.poll(process.ws));
  EXPECT_FALSE(second.poll(process.ws));
  EXPECT_FALSE(state->ReadyFlag);
  ASSERT_EQ(created.size(), 1u) << "the second creation starts nothing of its own";

  created[0]->AnswerConnect(0);
  first.wait(process.ws);
  second.wait(process.ws);
  EXPECT_TRUE(state->ReadyFlag);
  EXPECT_EQ(state->InstanceCount, 2);
  EXPECT_EQ(notices.shown, std::vector<std::string>{kNoNetwork});  // once, from start-up
  EXPECT_EQ(Faults(), std::vector<std::string>{NoNet()});
}

}  // namespace
}  // namespace ledgerwick
