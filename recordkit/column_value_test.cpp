#include "recordkit/column_value.h"

#include <cmath>
#include <limits>
#include <memory>

#include <gtest/gtest.h>

#include "automation/automation_error.h"
#include "automation/conversions.h"
#include "automation/date_scale.h"
#include "recordkit/property_set.h"
#include "tests/support/error_of.h"

namespace recordkit {
namespace {

using automation::Variant;

double Day(int year, int month, int day) { return *automation::DateSerial({year, month, day}); }
double Clock(int hour, int minute, int second) { return automation::TimeSerial({hour, minute, second}); }

struct Case {
  const char* what;
  ColumnKind kind;
  Variant value;
  SqlValue stored;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.what; }

class ToSqlValueTest : public ::testing::TestWithParam<Case> {};

TEST_P(ToSqlValueTest, StoresTheValueInTheColumnsForm) {
  EXPECT_EQ(ToSqlValue(GetParam().kind, GetParam().value), GetParam().stored) << GetParam().what;
}

const Variant kMoment = Variant::Date(Day(2026, 11, 24) + Clock(13, 5, 9));

INSTANTIATE_TEST_SUITE_P(
    Values, ToSqlValueTest,
    ::testing::Values(
        Case{"date of a date", ColumnKind::Date, kMoment, std::string("2026-11-24")},
        Case{"time of a date", ColumnKind::Time, kMoment, std::string("13:05:09")},
        Case{"time alone", ColumnKind::Time, Variant::Date(Clock(23, 59, 58)), std::string("23:59:58")},
        Case{"early date", ColumnKind::Date, Variant::Date(Day(1899, 12, 29)), std::string("1899-12-29")},
        // Before the zero day the fraction counts forward: -657434.5 is noon of the
        // scale's first day.
        Case{"noon of the first day", ColumnKind::Date, Variant::Date(Day(100, 1, 1) - 0.5),
             std::string("0100-01-01")},
        Case{"time on the first day", ColumnKind::Time, Variant::Date(Day(100, 1, 1) - 0.5),
             std::string("12:00:00")},
        Case{"last second of the scale", ColumnKind::Date, Variant::Date(Day(9999, 12, 31) + Clock(23, 59, 59)),
             std::string("9999-12-31")},
        // A client's own date or time keeps what it holds beyond its column's part.
        Case{"date and time as the event date", ColumnKind::EventDate, kMoment, std::string("2026-11-24 13:05:09")},
        Case{"date and time as the event time", ColumnKind::EventTime, kMoment, std::string("2026-11-24 13:05:09")},
        Case{"date alone as the event date", ColumnKind::EventDate, Variant::Date(Day(2026, 11, 24)),
             std::string("2026-11-24")},
        Case{"time alone as the event time", ColumnKind::EventTime, Variant::Date(Clock(23, 59, 58)),
             std::string("23:59:58")},
        Case{"midnight of the zero day as the event time", ColumnKind::EventTime, Variant::Date(0),
             std::string("00:00:00")},
        Case{"date text as the event date", ColumnKind::EventDate, Variant::String("12/25/2026"),
             std::string("2026-12-25")},
        Case{"text that is no date as the event date", ColumnKind::EventDate, Variant::String("soon"),
             std::string("soon")},
        Case{"time text as the event time", ColumnKind::EventTime, Variant::String("3:04:05 PM"),
             std::string("15:04:05")},
        Case{"date text", ColumnKind::Date, Variant::String("12/25/2026"), std::string("2026-12-25")},
        Case{"ISO date text", ColumnKind::Date, Variant::String("2026-11-24"), std::string("2026-11-24")},
        Case{"time text", ColumnKind::Time, Variant::String("3:04:05 PM"), std::string("15:04:05")},
        Case{"text that is no date", ColumnKind::Date, Variant::String("soon"), std::string("soon")},
        Case{"text that is no time", ColumnKind::Time, Variant::String("01/01/1900x"), std::string("01/01/1900x")},
        Case{"empty date", ColumnKind::Date, Variant(), std::monostate{}},
        Case{"null time", ColumnKind::Time, Variant::Null(), std::monostate{}},
        Case{"number in a date column", ColumnKind::Date, Variant::Long(5), int64_t{5}},
        Case{"integer", ColumnKind::Plain, Variant::Integer(-7), int64_t{-7}},
        Case{"long", ColumnKind::Plain, Variant::Long(70000), int64_t{70000}},
        Case{"byte", ColumnKind::Plain, Variant::Byte(200), int64_t{200}},
        Case{"true", ColumnKind::Plain, Variant::Boolean(true), int64_t{-1}},
        Case{"false", ColumnKind::Plain, Variant::Boolean(false), int64_t{0}},
        Case{"single", ColumnKind::Plain, Variant::Single(0.5f), 0.5},
        Case{"double", ColumnKind::Plain, Variant::Double(2.25), 2.25},
        Case{"currency", ColumnKind::Plain, Variant::Currency(12345), 1.2345},
        Case{"text", ColumnKind::Plain, Variant::String("it's; \"quoted\""), std::string("it's; \"quoted\"")},
        Case{"empty text", ColumnKind::Plain, Variant::String(""), std::string("")},
        Case{"empty", ColumnKind::Plain, Variant(), std::monostate{}},
        Case{"null", ColumnKind::Plain, Variant::Null(), std::monostate{}},
        Case{"by reference", ColumnKind::Plain, Variant::ByRef(std::make_shared<Variant>(Variant::Long(9))),
             int64_t{9}}));

TEST(ToSqlValue, DateInAPlainColumnIsItsTextForm) {
  EXPECT_EQ(ToSqlValue(ColumnKind::Plain, kMoment), SqlValue(automation::ToText(kMoment)));
}

TEST(ToSqlValue, ValuesThatCannotBeStoredRaise13) {
  const Variant values[] = {
      Variant::Array(automation::SafeArray(automation::VarType::Long, {{0, 2}})),
      Variant::Error(5),
      Variant::Object(PropertySet::NewEventSet()),
      Variant::Date(1e9),
      Variant::Date(std::numeric_limits<double>::quiet_NaN()),
  };
  for (ColumnKind kind :
       {ColumnKind::Plain, ColumnKind::Date, ColumnKind::Time, ColumnKind::EventDate, ColumnKind::EventTime}) {
    for (const auto& value : values) {
      // Error values and objects in date and time columns take the plain path.
      EXPECT_EQ(ledgerwick::testing::ErrorOf([&] { ToSqlValue(kind, value); }), 13)
          << "type " << static_cast<int>(value.type());
    }
  }
}

}  // namespace
}  // namespace recordkit
