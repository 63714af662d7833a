#include <gtest/gtest.h>

#include "server/application.h"
#include "server/dispatch_ids.h"
#include "tests/support/error_of.h"
#include "tests/support/records.h"
#include "tests/support/test_process.h"

namespace ledgerwick {
namespace {

using automation::AutomationError;
using automation::SafeArray;
using automation::Variant;
using automation::VarType;
namespace flags = automation::dispatch_flags;

class DispatchTest : public ::testing::Test {
 protected:
  DispatchTest() {
    process.StartWithoutStores();
    process.state.ReadyFlag = true;
  }

  Variant Call(automation::DispId id, uint16_t f, std::vector<Variant> args = {}) {
    return app.Invoke(id, f, args).wait(process.ws);
  }

  int32_t ErrorOf(automation::DispId id, uint16_t f, std::vector<Variant> args = {}) {
    return testing::ErrorOf([&] { Call(id, f, std::move(args)); });
  }

  testing::TestProcess process;
  Application app{process.state};
};

TEST_F(DispatchTest, SimpleMembersAnswerAsTheDirectCalls) {
  EXPECT_EQ(Call(dispid::kName, flags::kPropertyGet), Variant::String(app.GetName()));
  EXPECT_EQ(Call(dispid::kReady, flags::kPropertyGet), Variant::Boolean(app.GetReady()));

  Call(dispid::kDescription, flags::kPropertyPut, {Variant::String("about")});
  EXPECT_EQ(app.GetDescription(), "about");
  EXPECT_EQ(Call(dispid::kDescription, flags::kPropertyGet), Variant::String("about"));

  Call(dispid::kAppName, flags::kPropertyPut, {Variant::String("x")});
  EXPECT_EQ(Call(dispid::kAppName, flags::kPropertyGet), Variant::String(""));

  // Arguments are coerced: a text "7" serves as the Long log method.
  Call(dispid::kLogMethod, flags::kPropertyPut, {Variant::String("7")});
  EXPECT_EQ(app.GetLogMethod(), 7);
  EXPECT_EQ(Call(dispid::kLogMethod, flags::kPropertyGet), Variant::Long(7));

  Call(dispid::kKey, flags::kPropertyPut, {Variant::Double(1.5)});
  EXPECT_EQ(Call(dispid::kKey, flags::kPropertyGet), Variant::Double(1.5));
  auto object = recordkit::PropertySet::NewEventSet();
  Call(dispid::kKey, flags::kPropertyPutRef, {Variant::Object(object)});
  EXPECT_EQ(app.GetKey().object(), object);

  // A late-bound client often asks with method and property-get together.
  EXPECT_EQ(Call(dispid::kName, flags::kMethod | flags::kPropertyGet), Variant::String(app.GetName()));
}

TEST_F(DispatchTest, PropertiesIsTheDefaultMember) {
  Variant set = Call(dispid::kProperties, flags::kPropertyGet);
  ASSERT_EQ(set.type(), VarType::Object);
  EXPECT_EQ(set.object(), app.GetProperties());
}

TEST_F(DispatchTest, RecordFieldMembers) {
  SafeArray grid(VarType::Variant, {{0, 2}, {0, 1}});
  grid.Set({1, 0}, Variant::String("one"));
  Call(dispid::kArrayData, flags::kPropertyPut, {Variant::Array(grid)});
  EXPECT_EQ(Call(dispid::kArrayData, flags::kPropertyGet), app.GetArrayData());
  // A Long 0 serves as the 16-bit field number.
  EXPECT_EQ(Call(dispid::kFields, flags::kPropertyGet, {Variant::Long(1)}), Variant::String("one"));
  Call(dispid::kFields, flags::kPropertyPut, {Variant::Long(0), Variant::Integer(9)});
  int16_t zero = 0;
  EXPECT_EQ(app.GetFields(zero), Variant::Integer(9));
  EXPECT_EQ(Call(dispid::kFieldMap, flags::kPropertyGet), app.GetFieldMap());
}

TEST_F(DispatchTest, LoggitAndDestroy) {
  Variant record = testing::MakeRecord({{"AppName", Variant::String("late-bound")}});
  Call(dispid::kLoggit, flags::kMethod, {record});
  EXPECT_EQ(process.state.drain.queued(), 1u);
  EXPECT_EQ(app.GetProperties()->Item("AppName")->Value(), Variant::String("late-bound"));

  std::vector<Variant> none;
  auto answer = app.Invoke(dispid::kDestroy, flags::kMethod, none);
  process.timer.advanceTo(process.timer.now());
  EXPECT_EQ(answer.wait(process.ws), Variant::Long(0));
}

TEST_F(DispatchTest, DispatchErrors) {
  struct Case {
    const char* name;
    automation::DispId id;
    uint16_t f;
    std::vector<Variant> args;
    int32_t error;
  };
  std::vector<Case> cases = {
      {"unknown id", 0x12345, flags::kPropertyGet, {}, 438},
      {"put on a read-only member", dispid::kName, flags::kPropertyPut, {Variant::String("x")}, 438},
      {"get on a method", dispid::kLoggit, flags::kPropertyGet, {}, 438},
      {"put-ref on Description", dispid::kDescription, flags::kPropertyPutRef, {Variant::String("x")}, 438},
      {"Loggit without its argument", dispid::kLoggit, flags::kMethod, {}, 450},
      {"Name with an argument", dispid::kName, flags::kPropertyGet, {Variant::Long(1)}, 450},
      {"uncoercible log method", dispid::kLogMethod, flags::kPropertyPut, {Variant::String("abc")}, 13},
      {"field number out of 16 bits", dispid::kFields, flags::kPropertyGet, {Variant::Long(40000)}, 6},
      {"Fields on a new object", dispid::kFields, flags::kPropertyGet, {Variant::Long(0)}, 13},
      {"put-ref of a non-object Key", dispid::kKey, flags::kPropertyPutRef, {Variant::Long(1)}, 13},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ErrorOf(c.id, c.f, c.args), c.error);
  }
}

TEST_F(DispatchTest, GetIDsOfNamesIsCaseBlind) {
  EXPECT_EQ(app.GetIDsOfNames({"loggit"}), std::vector<automation::DispId>{dispid::kLoggit});
  EXPECT_EQ(app.GetIDsOfNames({"FIELDS", "fieldno"}), (std::vector<automation::DispId>{dispid::kFields, 0}));
  EXPECT_EQ(app.GetIDsOfNames({"Properties"}), std::vector<automation::DispId>{0});
  EXPECT_EQ(app.GetIDsOfNames({"Ready"}), std::vector<automation::DispId>{dispid::kReady});
  EXPECT_THROW(app.GetIDsOfNames({"NoSuchMember"}), AutomationError);
  try {
    app.GetIDsOfNames({"Loggit", "nope"});
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 448);
  }
}

}  // namespace
}  // namespace ledgerwick
