// The client library against a real daemon: typed members, late-bound calls, errors
// with their numbers and descriptions, and events that reach the SQLite log table.

#include <gtest/gtest.h>

#include "automation/automation_error.h"
#include "automation/dispatch.h"
#include "recordkit/property_set.h"
#include "remoting/object_bridge.h"
#include "server/dispatch_ids.h"
#include "tests/daemon_fixture.h"
#include "tests/support/variant_printer.h"

namespace ledgerwick::testing {
namespace {

using automation::AutomationError;
using automation::Variant;
namespace flags = automation::dispatch_flags;

constexpr int kToDatabase = 1;  // LogMethods toDatabase

class ClientLibraryTest : public DaemonTest {
 protected:
  void SetUp() override {
    WriteDefaultSettings(kToDatabase);
    StartDaemon();
    connection = client::Connection::Open(ClientOptions());
  }

  std::shared_ptr<client::Connection> connection;
};

// Runs `call` and answers the automation error it raised.
template <typename Call>
std::pair<int32_t, std::string> ErrorOf(Call&& call) {
  try {
    call();
  } catch (const AutomationError& e) {
    return {e.number(), e.description()};
  }
  return {0, "no error"};
}

TEST_F(ClientLibraryTest, FieldsSetThroughPropertiesReachTheSqliteTable) {
  client::Application app(connection);
  app.Properties().Item("AppName").SetValue(Variant::String("library"));
  app.Properties().Item("description").SetValue(Variant::String("hello"));  // names are case-blind
  app.Loggit();
  ASSERT_TRUE(WaitUntilWritten(app, 1));

  auto rows = ReadLogRows(Database());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["AppName"], "library");
  EXPECT_EQ(rows[0]["Description"], "hello");
  EXPECT_FALSE(rows[0]["logdate"].empty());
  EXPECT_EQ(connection->Status().toLocalStore, 1u);
}

TEST_F(ClientLibraryTest, ARecordPackedByTheClientIsLoggedInOneCall) {
  client::Application app(connection);
  auto fields = recordkit::PropertySet::NewEventSet();
  fields->Item("AppName")->SetValue(Variant::String("packed"));
  fields->Item("Severity")->SetValue(Variant::Long(3));
  app.Loggit(*fields);
  // The fields now stand in the object's Properties as well.
  EXPECT_EQ(app.Properties().Item("AppName").Value(), Variant::String("packed"));
  ASSERT_TRUE(WaitUntilWritten(app, 1));

  auto rows = ReadLogRows(Database());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["AppName"], "packed");
  EXPECT_EQ(rows[0]["Severity"], "3");
}

TEST_F(ClientLibraryTest, ANewObjectAnswersItsSimpleMembers) {
  client::Application app(connection);
  EXPECT_EQ(app.GetName(), "Quorvin's Ledgerwick");
  EXPECT_EQ(app.GetAppName(), "");
  app.SetAppName("kept nowhere");
  EXPECT_EQ(app.GetAppName(), "");
  EXPECT_EQ(app.GetDescription(), "");
  app.SetDescription("mine");
  EXPECT_EQ(app.GetDescription(), "mine");
  EXPECT_EQ(app.GetKey(), Variant());
  app.SetKey(Variant::Long(5));
  EXPECT_EQ(app.GetKey(), Variant::Long(5));
  EXPECT_TRUE(app.GetReady());
  EXPECT_EQ(app.GetLogMethod(), kToDatabase);
  EXPECT_EQ(app.Destroy(), 0);
  EXPECT_EQ(app.GetDescription(), "mine");  // Destroy leaves the object usable
}

TEST_F(ClientLibraryTest, LogMethodIsSharedByEveryObjectOfTheDaemon) {
  client::Application first(connection);
  client::Application second(connection);
  for (int32_t method : {2, 7, -1, 0}) {
    first.SetLogMethod(method);
    EXPECT_EQ(second.GetLogMethod(), method);
  }
}

TEST_F(ClientLibraryTest, AutomationErrorsArriveWithNumberAndDescription) {
  client::Application app(connection);
  EXPECT_EQ(ErrorOf([&]() { app.GetFields(0); }), std::make_pair(13, std::string("Type mismatch")));
  Variant number = Variant::Long(1);
  EXPECT_EQ(ErrorOf([&]() { app.SetFields(0, number); }), std::make_pair(13, std::string("Type mismatch")));
  EXPECT_EQ(ErrorOf([&]() { app.Properties().Item("NoSuchField").SetValue(Variant::Long(1)); }),
            std::make_pair(5, std::string("Invalid procedure call or argument")));
  EXPECT_EQ(ErrorOf([&]() { connection->Create("Ledgerwick.Nothing"); }),
            std::make_pair(429, std::string("Component can't create object")));
  Variant notARecord = Variant::String("not a packed record");
  EXPECT_EQ(ErrorOf([&]() { app.Loggit(notARecord); }).first, 13);
  EXPECT_EQ(connection->Status().queueLength, 0u);
  // The object is still usable after each error.
  EXPECT_EQ(app.GetName(), "Quorvin's Ledgerwick");
}

TEST_F(ClientLibraryTest, ArrayDataAndFieldsCrossWithTheirBounds) {
  client::Application app(connection);
  automation::SafeArray array(automation::VarType::Variant, {{0, 3}, {0, 2}});
  array.Set({1, 0}, Variant::String("one"));
  Variant value = Variant::Array(array);
  app.SetArrayData(value);
  EXPECT_EQ(app.GetFields(1), Variant::String("one"));
  Variant two = Variant::Long(2);
  app.SetFields(2, two);
  array.Set({2, 0}, Variant::Long(2));
  EXPECT_EQ(app.GetArrayData(), Variant::Array(array));
  EXPECT_EQ(ErrorOf([&]() { app.GetFields(3); }).first, 9);
}

TEST_F(ClientLibraryTest, FieldMapListsTheMappedFieldsInOrder) {
  client::Application app(connection);
  Variant map = app.GetFieldMap();
  ASSERT_TRUE(map.isArray());
  ASSERT_EQ(map.array().size(), 19u);
  EXPECT_EQ(map.array().Get({0}), Variant::String("AppName"));
  EXPECT_EQ(map.array().Get({18}), Variant::String("DetailLevel"));
}

struct DispatchCase {
  const char* name;
  automation::DispId dispId;
  Variant (*typed)(client::Application&);
};

class InvokeByDispatchId : public ClientLibraryTest, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(InvokeByDispatchId, AnswersAsTheTypedCall) {
  client::Application app(connection);
  app.SetDescription("described");
  std::vector<Variant> none;
  EXPECT_EQ(app.Invoke(GetParam().dispId, flags::kPropertyGet, none), GetParam().typed(app));
  EXPECT_EQ(app.GetIDsOfNames({GetParam().name}), std::vector<automation::DispId>{GetParam().dispId});
}

INSTANTIATE_TEST_SUITE_P(
    Members, InvokeByDispatchId,
    ::testing::Values(
        DispatchCase{"Name", dispid::kName, [](client::Application& a) { return Variant::String(a.GetName()); }},
        DispatchCase{"AppName", dispid::kAppName,
                     [](client::Application& a) { return Variant::String(a.GetAppName()); }},
        DispatchCase{"LogMethod", dispid::kLogMethod,
                     [](client::Application& a) { return Variant::Long(a.GetLogMethod()); }},
        DispatchCase{"Ready", dispid::kReady, [](client::Application& a) { return Variant::Boolean(a.GetReady()); }},
        DispatchCase{"Description", dispid::kDescription,
                     [](client::Application& a) { return Variant::String(a.GetDescription()); }},
        DispatchCase{"FieldMap", dispid::kFieldMap, [](client::Application& a) { return a.GetFieldMap(); }},
        DispatchCase{"Key", dispid::kKey, [](client::Application& a) { return a.GetKey(); }}),
    [](const ::testing::TestParamInfo<DispatchCase>& info) { return std::string(info.param.name); });

TEST_F(ClientLibraryTest, LateBoundCallsChangeAndFailAsTheTypedOnes) {
  client::Application app(connection);
  std::vector<Variant> put = {Variant::String("3")};  // coerced to the member's type
  app.Invoke(dispid::kLogMethod, flags::kPropertyPut, put);
  EXPECT_EQ(app.GetLogMethod(), 3);

  std::vector<Variant> field = {Variant::Long(0)};
  EXPECT_EQ(ErrorOf([&]() { app.Invoke(dispid::kFields, flags::kPropertyGet, field); }),
            std::make_pair(13, std::string("Type mismatch")));
  std::vector<Variant> none;
  EXPECT_EQ(ErrorOf([&]() { app.Invoke(0x12345, flags::kMethod, none); }).first, 438);
  EXPECT_EQ(app.Invoke(dispid::kDestroy, flags::kMethod, none), Variant::Long(0));

  // Properties by dispatch id is the object's own set, usable late-bound as well.
  Variant set = app.Invoke(dispid::kProperties, flags::kPropertyGet, none);
  ASSERT_EQ(set.type(), automation::VarType::Object);
  auto remoteSet = std::dynamic_pointer_cast<remoting::RemoteDispatch>(set.object());
  ASSERT_NE(remoteSet, nullptr);
  std::vector<Variant> name = {Variant::String("UserName")};
  Variant property = remoteSet->Call(recordkit::property_set_dispid::kItem, flags::kPropertyGet, name);
  auto remoteProperty = std::dynamic_pointer_cast<remoting::RemoteDispatch>(property.object());
  ASSERT_NE(remoteProperty, nullptr);
  std::vector<Variant> value = {Variant::String("late")};
  remoteProperty->Call(recordkit::property_dispid::kValue, flags::kPropertyPut, value);
  EXPECT_EQ(app.Properties().Item("UserName").Value(), Variant::String("late"));
}

// The release goes out when the object goes, not with this client's next call: a
// client that stays quiet afterwards (here: makes no call of its own) must not keep
// the daemon's object alive.
TEST_F(ClientLibraryTest, ADroppedObjectIsReleasedWithoutAFurtherCall) {
  auto app = std::make_unique<client::Application>(connection);
  EXPECT_NE(Ledgerwick({"status", "--json"}).out.find("\"liveObjects\":1,"), std::string::npos);
  app.reset();
  bool released = false;
  for (int i = 0; i < 50 && !released; ++i) {
    released = Ledgerwick({"status", "--json"}).out.find("\"liveObjects\":0,") != std::string::npos;
  }
  EXPECT_TRUE(released);
}

TEST_F(ClientLibraryTest, ReleasingAnObjectCountsItDown) {
  auto app = std::make_unique<client::Application>(connection);
  client::DaemonStatus held = connection->Status();
  EXPECT_EQ(held.liveObjects, 1u);
  EXPECT_EQ(held.instanceCount, 1);
  app.reset();
  client::DaemonStatus released = connection->Status();
  EXPECT_EQ(released.liveObjects, 0u);
  EXPECT_EQ(released.instanceCount, 0);
  EXPECT_TRUE(released.startupDone);  // start-up ran once and stays done
}

}  // namespace
}  // namespace ledgerwick::testing
