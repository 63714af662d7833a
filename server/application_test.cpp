#include "server/application.h"

#include <gtest/gtest.h>

#include "tests/support/fake_store.h"
#include "tests/support/test_process.h"

namespace ledgerwick {
namespace {

using automation::Variant;

class ApplicationTest : public ::testing::Test {
 protected:
  ApplicationTest() {
    process.StartWithoutStores();
    process.state.ReadyFlag = true;
    process.state.NetDSO = store;
    process.state.NetDTO = std::make_shared<testing::FakeDTO>();
  }

  testing::TestProcess process;
  std::shared_ptr<testing::FakeDSO> store = std::make_shared<testing::FakeDSO>();
};

TEST_F(ApplicationTest, NewObjectAnswersItsSimpleMembers) {
  Application app(process.state);
  app.WhenStarted().wait(process.ws);
  EXPECT_EQ(app.GetName(), "Quorvin's Ledgerwick");
  EXPECT_EQ(app.GetAppName(), "");
  EXPECT_EQ(app.GetDescription(), "");
  EXPECT_TRUE(app.GetKey().isEmpty());
  EXPECT_TRUE(app.GetArrayData().isEmpty());
  EXPECT_TRUE(app.GetReady());
}

TEST_F(ApplicationTest, AppNameKeepsNothing) {
  Application app(process.state);
  app.WhenStarted().wait(process.ws);
  app.SetAppName("Payroll");
  EXPECT_EQ(app.GetAppName(), "");
}

TEST_F(ApplicationTest, LogMethodTakesAnyNumberAndIsProcessWide) {
  Application a(process.state);
  Application b(process.state);
  for (int32_t method : {2, 7, -1, 0}) {
    a.SetLogMethod(method);
    EXPECT_EQ(a.GetLogMethod(), method);
    EXPECT_EQ(b.GetLogMethod(), method);
  }
}

TEST_F(ApplicationTest, ObjectsKeepTheirOwnData) {
  Application a(process.state);
  Application b(process.state);
  a.SetDescription("a");
  a.SetKey(Variant::Long(1));
  a.GetProperties()->Item("AppName")->SetValue(Variant::String("only a"));
  Variant array = Variant::Array(automation::SafeArray(automation::VarType::Variant, {{0, 1}, {0, 1}}));
  a.SetArrayData(array);
  EXPECT_EQ(b.GetDescription(), "");
  EXPECT_TRUE(b.GetKey().isEmpty());
  EXPECT_TRUE(b.GetProperties()->Item("AppName")->Value().isEmpty());
  EXPECT_TRUE(b.GetArrayData().isEmpty());
  EXPECT_NE(a.GetProperties(), b.GetProperties());
}

TEST_F(ApplicationTest, PropertiesIsTheSameSetEachTime) {
  Application app(process.state);
  app.WhenStarted().wait(process.ws);
  auto first = app.GetProperties();
  first->Item("UserName")->SetValue(Variant::String("ann"));
  EXPECT_EQ(app.GetProperties(), first);
  EXPECT_EQ(app.GetProperties()->Item("username")->Value(), Variant::String("ann"));
}

TEST_F(ApplicationTest, KeyTakesValuesAndObjectReferences) {
  Application app(process.state);
  app.WhenStarted().wait(process.ws);
  app.SetKey(Variant::String("k"));
  EXPECT_EQ(app.GetKey(), Variant::String("k"));
  auto object = recordkit::PropertySet::NewEventSet();
  app.SetKeyRef(Variant::Object(object));
  EXPECT_EQ(app.GetKey().object(), object);
  EXPECT_THROW(app.SetKeyRef(Variant::Long(3)), automation::AutomationError);
}

TEST_F(ApplicationTest, ConstructionAndDestructionCountInstances) {
  {
    Application a(process.state);
    Application b(process.state);
    EXPECT_EQ(process.state.InstanceCount, 2);
  }
  EXPECT_EQ(process.state.InstanceCount, 0);
}

TEST_F(ApplicationTest, DestroyLetsADueTickRunAndAnswersZero) {
  Application app(process.state);
  app.WhenStarted().wait(process.ws);
  Variant empty;
  app.Loggit(empty);
  // The tick falls due; Destroy lets it run before it answers.
  process.timer.advanceTo(process.timer.now() + 100 * kj::MILLISECONDS);
  auto answer = app.Destroy();
  process.timer.advanceTo(process.timer.now());
  EXPECT_EQ(answer.wait(process.ws), 0);
  EXPECT_EQ(store->taken.size(), 1u);
  // Still fully usable.
  app.Loggit(empty);
  EXPECT_EQ(process.state.drain.queued(), 1u);
}

TEST_F(ApplicationTest, RecordsOfAReleasedObjectAreStillWritten) {
  Application keeper(process.state);
  {
    Application shortLived(process.state);
    Variant empty;
    shortLived.Loggit(empty);
  }
  EXPECT_EQ(process.state.drain.queued(), 1u);
  process.RunFor(100 * kj::MILLISECONDS);
  EXPECT_EQ(store->taken.size(), 1u);
}

}  // namespace
}  // namespace ledgerwick
