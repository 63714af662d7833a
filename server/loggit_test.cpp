#include <gtest/gtest.h>

#include "automation/date_scale.h"
#include "server/application.h"
#include "tests/support/error_of.h"
#include "tests/support/fake_store.h"
#include "tests/support/records.h"
#include "tests/support/test_process.h"

namespace ledgerwick {
namespace {

using automation::Variant;

class LoggitTest : public ::testing::Test {
 protected:
  LoggitTest() {
    process.StartWithoutStores();
    process.state.ReadyFlag = true;  // start-up has run: construction only counts
    process.state.NetDSO = store;
    process.state.NetDTO = std::make_shared<testing::FakeDTO>();
  }

  Variant FieldOf(const std::string& name) { return app.GetProperties()->Item(name)->Value(); }
  void SetField(const std::string& name, const Variant& value) { app.GetProperties()->Item(name)->SetValue(value); }
  void Loggit() {
    Variant empty;
    app.Loggit(empty);
  }

  testing::TestProcess process;
  std::shared_ptr<testing::FakeDSO> store = std::make_shared<testing::FakeDSO>();
  Application app{process.state};
  const Variant today = Variant::Date(*automation::DateSerial({2026, 12, 8}));
  const Variant now = Variant::Date(automation::TimeSerial({9, 30, 0}));
};

// One case of the sentinel rule: what the client left in the field, and whether
// Loggit replaces it with the current value.
struct SentinelCase {
  const char* name;
  Variant given;
  bool replaced;
};

class SentinelRuleTest : public LoggitTest {
 protected:
  void ExpectRule(const std::string& field, const std::vector<SentinelCase>& cases, const Variant& current) {
    for (const SentinelCase& c : cases) {
      SCOPED_TRACE(c.name);
      SetField(field, c.given);
      Loggit();
      EXPECT_EQ(FieldOf(field), c.replaced ? current : c.given);
    }
  }
};

TEST_F(SentinelRuleTest, EventDate) {
  ExpectRule("EventDate",
             {
                 {"empty", Variant(), true},
                 {"sentinel text", Variant::String("01/01/1900"), true},
                 {"null", Variant::Null(), true},
                 {"a word", Variant::String("yesterday-ish"), true},
                 {"a number", Variant::Long(5), true},
                 {"1/1/1900 as text", Variant::String("1/1/1900"), false},
                 {"1 January 1900 as a date", Variant::Date(*automation::DateSerial({1900, 1, 1})), false},
                 {"a date text stays text", Variant::String("12/25/2026"), false},
                 {"an ISO date text", Variant::String("2026-12-25"), false},
                 // Dates written without a year, without a day, or day first.
                 {"a month and day", Variant::String("12/25"), false},
                 {"a month name and day", Variant::String("December 25"), false},
                 {"a month and year", Variant::String("Dec 2026"), false},
                 {"day first", Variant::String("25/12/2026"), false},
                 {"no month can be 13", Variant::String("13/13/2026"), true},
             },
             today);
}

TEST_F(SentinelRuleTest, EventTime) {
  ExpectRule("EventTime",
             {
                 {"empty", Variant(), true},
                 {"sentinel text", Variant::String("12:00:00 AM"), true},
                 {"midnight of the zero day", Variant::Date(0), true},
                 {"a word", Variant::String("noon"), true},
                 {"a time text", Variant::String("14:30"), false},
                 {"a time value", Variant::Date(automation::TimeSerial({14, 30, 0})), false},
                 {"12:00:00 PM text", Variant::String("12:00:00 PM"), false},
             },
             now);
}

TEST_F(LoggitTest, LogDateAndLogTimeAreAlwaysStamped) {
  SetField("LogDate", Variant::String("12/25/2026"));
  SetField("LogTime", Variant::Date(automation::TimeSerial({1, 2, 3})));
  Loggit();
  EXPECT_EQ(FieldOf("LogDate"), today);
  EXPECT_EQ(FieldOf("LogTime"), now);
}

TEST_F(LoggitTest, SecondCallKeepsTheFirstEventDateAndStampsAfresh) {
  Loggit();
  process.clock.Set(*automation::DateSerial({2026, 12, 9}) + automation::TimeSerial({8, 0, 0}));
  SetField("Description", Variant::String("second"));
  Loggit();
  EXPECT_EQ(FieldOf("EventDate"), today);
  EXPECT_EQ(FieldOf("EventTime"), now);
  EXPECT_EQ(FieldOf("LogDate"), Variant::Date(*automation::DateSerial({2026, 12, 9})));
  EXPECT_EQ(FieldOf("LogTime"), Variant::Date(automation::TimeSerial({8, 0, 0})));
  EXPECT_EQ(process.state.drain.queued(), 2u);
}

TEST_F(LoggitTest, PackedRecordHandedOverFillsTheFields) {
  Variant vData = testing::MakeRecord({{"AppName", Variant::String("billing")}, {"Severity", Variant::Integer(2)}});
  app.Loggit(vData);
  EXPECT_EQ(FieldOf("AppName"), Variant::String("billing"));
  EXPECT_EQ(FieldOf("Severity"), Variant::Integer(2));
}

TEST_F(LoggitTest, CallQueuesAndReturnsBeforeAnyStoreIsWritten) {
  process.state.ReadyFlag = false;  // queued whether or not a store opened
  SetField("AppName", Variant::String("queued"));
  Loggit();
  EXPECT_EQ(process.state.drain.queued(), 1u);
  EXPECT_EQ(store->calls, 0);
  process.RunFor(100 * kj::MILLISECONDS);
  ASSERT_EQ(store->taken.size(), 1u);
  EXPECT_EQ(store->Field(0, "AppName"), Variant::String("queued"));
  EXPECT_EQ(store->Field(0, "LogDate"), today);
}

TEST_F(LoggitTest, UnpackErrorLeavesTheFieldsAndQueuesNothing) {
  SetField("EventDate", Variant::String("junk"));
  Variant notARecord = Variant::String("not a record");
  try {
    app.Loggit(notARecord);
    FAIL() << "expected an error";
  } catch (const automation::AutomationError& e) {
    EXPECT_EQ(e.number(), 13);
    EXPECT_EQ(e.description(), "Type mismatch");
  }
  EXPECT_EQ(FieldOf("EventDate"), Variant::String("junk"));
  EXPECT_TRUE(FieldOf("LogDate").isEmpty());
  EXPECT_EQ(process.state.drain.queued(), 0u);
  EXPECT_EQ(process.timers.armed(), 0u);
}

TEST_F(LoggitTest, PackErrorLeavesTheFieldsStampedAndQueuesNothing) {
  SetField("AddlText", Variant::Object(recordkit::PropertySet::NewEventSet()));
  EXPECT_THROW(Loggit(), automation::AutomationError);
  EXPECT_EQ(FieldOf("LogDate"), today);
  EXPECT_EQ(FieldOf("EventDate"), today);
  EXPECT_EQ(process.state.drain.queued(), 0u);
  EXPECT_EQ(process.timers.armed(), 0u);
}

// The sentinel rule compares the field's text form; a value that has none fails the
// call with 13, whatever its element type, and nothing is queued.
TEST_F(LoggitTest, EventDateOrTimeWithoutATextFormIsATypeMismatch) {
  const Variant texts = Variant::Array(automation::SafeArray(automation::VarType::String, {{0, 1}}));
  const Variant numbers = Variant::Array(automation::SafeArray(automation::VarType::Long, {{0, 1}}));
  struct Case {
    const char* field;
    const char* name;
    Variant given;
  };
  const Case cases[] = {
      {"EventDate", "array of texts", texts},
      {"EventTime", "array of texts", texts},
      {"EventDate", "array of numbers", numbers},
      {"EventDate", "error value", Variant::Error(5)},
      {"EventTime", "object", Variant::Object(recordkit::PropertySet::NewEventSet())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.field) + ": " + c.name);
    SetField("EventDate", today);
    SetField("EventTime", now);
    SetField(c.field, c.given);
    EXPECT_EQ(testing::ErrorOf([&] { Loggit(); }), 13);
    EXPECT_EQ(FieldOf(c.field), c.given);
    EXPECT_EQ(process.state.drain.queued(), 0u);
  }
}

// Start-up counts as run, but it never created the ErrorBuffer.
TEST(LoggitWithoutErrorBuffer, IsError91) {
  testing::TestProcess process;
  process.state.InitStarted = true;
  process.state.ReadyFlag = true;
  Application app{process.state};
  Variant nothing;
  try {
    app.Loggit(nothing);
    FAIL() << "expected an error";
  } catch (const automation::AutomationError& e) {
    EXPECT_EQ(e.number(), 91);
    EXPECT_EQ(e.description(), "Object variable or With block variable not set");
  }
  EXPECT_EQ(process.timers.armed(), 0u);
}

TEST_F(LoggitTest, AnEventTooLargeToQueueIsRefusedWith7AndNothingIsQueued) {
  SetField("Description", Variant::String(std::string(recordkit::kMaxPackedRecordBytes, 'x')));
  try {
    Loggit();
    ADD_FAILURE() << "the event was queued";
  } catch (const automation::AutomationError& e) {
    EXPECT_EQ(e.number(), 7);
    EXPECT_NE(e.description().find("an event may take at most 16 MiB"), std::string::npos) << e.description();
  }
  EXPECT_EQ(process.state.drain.queued(), 0u);
  SetField("Description", Variant::String(std::string(1000, 'x')));
  Loggit();
  EXPECT_EQ(process.state.drain.queued(), 1u);
}

}  // namespace
}  // namespace ledgerwick
