#include "automation/conversions.h"

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <variant>

#include <gtest/gtest.h>

#include "automation/automation_error.h"
#include "automation/date_scale.h"
#include "automation/dispatch.h"
#include "tests/support/error_of.h"
#include "tests/support/null_dispatch.h"
#include "tests/support/variant_printer.h"

namespace automation {

namespace {

using ledgerwick::testing::ErrorOf;
using ledgerwick::testing::NullDispatch;

double Day(int y, int m, int d) { return DateSerial(CivilDate{y, m, d}).value(); }
double Time(int h, int mi, int s) { return TimeSerial(TimeOfDay{h, mi, s}); }

Variant AnArray() { return Variant::Array(SafeArray(VarType::Long, {ArrayBound{0, 2}})); }
Variant AnObject() { return Variant::Object(std::make_shared<NullDispatch>()); }

// ------------------------------------------------------------------ date scale

TEST(DateScaleTest, SerialNumbersOfKnownDays) {
  struct Case {
    CivilDate date;
    double serial;
  } cases[] = {
      {{1899, 12, 30}, 0},      {{1899, 12, 31}, 1},     {{1900, 1, 1}, 2},
      {{1900, 3, 1}, 61},       {{1899, 12, 29}, -1},    {{2000, 2, 29}, 36585},
      {{2026, 12, 25}, 46381},  {{100, 1, 1}, -657434},  {{9999, 12, 31}, 2958465},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.serial);
    EXPECT_EQ(DateSerial(c.date), c.serial);
    EXPECT_EQ(DatePart(c.serial), c.date);
  }
}

TEST(DateScaleTest, InvalidCivilDates) {
  for (CivilDate d : {CivilDate{2026, 2, 30}, CivilDate{1900, 2, 29}, CivilDate{2026, 13, 1},
                      CivilDate{2026, 0, 1}, CivilDate{2026, 4, 31}, CivilDate{2026, 1, 0},
                      CivilDate{99, 12, 31}, CivilDate{10000, 1, 1}}) {
    SCOPED_TRACE(std::to_string(d.month) + "/" + std::to_string(d.day) + "/" + std::to_string(d.year));
    EXPECT_FALSE(IsValidCivilDate(d));
    EXPECT_EQ(DateSerial(d), std::nullopt);
  }
  EXPECT_TRUE(IsValidCivilDate(CivilDate{2024, 2, 29}));
}

TEST(DateScaleTest, BeforeTheZeroDayTheFractionCountsForward) {
  EXPECT_EQ(CombineDateTime(-1, 0.25), -1.25);
  EXPECT_EQ(CombineDateTime(2, 0.25), 2.25);
  EXPECT_EQ(DatePart(-1.25), (CivilDate{1899, 12, 29}));
  EXPECT_EQ(TimePart(-1.25), (TimeOfDay{6, 0, 0}));
  EXPECT_EQ(WholeDays(-1.25), -1);
  EXPECT_EQ(TimeFraction(-1.25), 0.25);
  EXPECT_EQ(TimeFraction(2.75), 0.75);
}

TEST(DateScaleTest, SplitsRoundToTheNearestSecond) {
  const double second = 1.0 / 86400;
  EXPECT_EQ(TimePart(2 + Time(13, 5, 9) + 0.4 * second), (TimeOfDay{13, 5, 9}));
  EXPECT_EQ(TimePart(2 + Time(13, 5, 9) + 0.6 * second), (TimeOfDay{13, 5, 10}));
  // Just before midnight rounds into the next day, also before the zero day.
  EXPECT_EQ(DatePart(2 + 0.9999999), (CivilDate{1900, 1, 2}));
  EXPECT_EQ(TimePart(2 + 0.9999999), TimeOfDay{});
  EXPECT_EQ(DatePart(-1.9999999), (CivilDate{1899, 12, 30}));
}

TEST(DateScaleTest, SplitDateTimeGivesBothPartsOfOneValue) {
  const double second = 1.0 / 86400;
  for (double v : {0.0, 2.0, -1.25, 2 + 0.9999999, -1.9999999, 2 + Time(13, 5, 9) + 0.6 * second, -657434.5,
                   Day(9999, 12, 31) + Time(23, 59, 59)}) {
    SCOPED_TRACE(v);
    const DateTimeParts parts = SplitDateTime(v);
    EXPECT_EQ(parts.date, DatePart(v));
    EXPECT_EQ(parts.time, TimePart(v));
  }
  EXPECT_EQ(ErrorOf([] { SplitDateTime(2958466.0); }), err::kOverflow);
}

TEST(DateScaleTest, ValuesOutsideTheScaleRaiseOverflow) {
  for (double v : {-657435.0, 2958466.0, 1e300, std::nan("")}) {
    SCOPED_TRACE(v);
    EXPECT_EQ(ErrorOf([&] { DatePart(v); }), err::kOverflow);
  }
  EXPECT_EQ(DatePart(-657434.5), (CivilDate{100, 1, 1}));
  EXPECT_EQ(ErrorOf([] { TimeSerial(TimeOfDay{24, 0, 0}); }), err::kInvalidProcedureCall);
}

// ------------------------------------------------------------------ to text

struct TextCase {
  Variant value;
  std::string text;
};

TEST(ToTextTest, RendersEachKind) {
  const TextCase cases[] = {
      {Variant(), ""},
      {Variant::Integer(0), "0"},
      {Variant::Integer(-32768), "-32768"},
      {Variant::Long(std::numeric_limits<int32_t>::min()), "-2147483648"},
      {Variant::Byte(255), "255"},
      {Variant::Boolean(true), "True"},
      {Variant::Boolean(false), "False"},
      {Variant::String("as is\t "), "as is\t "},
      {Variant::Currency(12345), "1.2345"},
      {Variant::Currency(15000), "1.5"},
      {Variant::Currency(10000), "1"},
      {Variant::Currency(-5000), "-0.5"},
      {Variant::Currency(1), "0.0001"},
      {Variant::Currency(0), "0"},
      {Variant::Currency(std::numeric_limits<int64_t>::max()), "922337203685477.5807"},
      {Variant::Currency(std::numeric_limits<int64_t>::min()), "-922337203685477.5808"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ToText(c.value), c.text);
  }
}

TEST(ToTextTest, RealsUseShortestFormAndRuntimeExponent) {
  const TextCase cases[] = {
      {Variant::Double(1e20), "1E+20"},
      {Variant::Double(1e-5), "1E-05"},
      {Variant::Double(1.5e20), "1.5E+20"},
      {Variant::Double(-2.5e-7), "-2.5E-07"},
      {Variant::Double(1e100), "1E+100"},
      {Variant::Double(0.0001), "0.0001"},
      {Variant::Double(123456789012345.0), "123456789012345"},
      {Variant::Double(1e15), "1E+15"},
      {Variant::Double(1234567890123456.0), "1.23456789012346E+15"},
      {Variant::Double(1.0 / 3), "0.333333333333333"},
      {Variant::Double(0.1 + 0.2), "0.3"},
      {Variant::Double(-0.0), "0"},
      {Variant::Double(100), "100"},
      {Variant::Double(-3.5), "-3.5"},
      {Variant::Double(std::numeric_limits<double>::max()), "1.79769313486232E+308"},
      {Variant::Single(0.1f), "0.1"},
      {Variant::Single(3.14159265f), "3.141593"},
      {Variant::Single(1234567.0f), "1234567"},
      {Variant::Single(12345678.0f), "1.234568E+07"},
      {Variant::Single(1e-5f), "1E-05"},
      {Variant::Single(1e20f), "1E+20"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ToText(c.value), c.text);
  }
}

TEST(ToTextTest, DatesRenderAsDateTimeOrBoth) {
  const TextCase cases[] = {
      {Variant::Date(0), "12:00:00 AM"},
      {Variant::Date(2), "1/1/1900"},
      {Variant::Date(1), "12/31/1899"},
      {Variant::Date(0.5), "12:00:00 PM"},
      {Variant::Date(Time(13, 5, 9)), "1:05:09 PM"},
      {Variant::Date(Time(0, 30, 0)), "12:30:00 AM"},
      {Variant::Date(Day(2026, 12, 25)), "12/25/2026"},
      {Variant::Date(Day(2026, 12, 25) + Time(22, 30, 0)), "12/25/2026 10:30:00 PM"},
      {Variant::Date(-1.25), "12/29/1899 6:00:00 AM"},
      {Variant::Date(-0.5), "12:00:00 PM"},
      {Variant::Date(Day(100, 1, 1)), "1/1/100"},
      {Variant::Date(Day(9999, 12, 31) + Time(23, 59, 59)), "12/31/9999 11:59:59 PM"},
      // Rendering rounds to the second: a hair before midnight is the next day.
      {Variant::Date(1.9999999), "1/1/1900"},
      {Variant::Date(0.9999999), "12/31/1899"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ToText(c.value), c.text);
  }
  EXPECT_EQ(ShortDateText(Day(2026, 7, 4) + 0.5), "7/4/2026");
}

TEST(ToTextTest, ValuesWithoutTextRaise) {
  struct Case {
    Variant value;
    int32_t error;
  } cases[] = {
      {Variant::Null(), err::kInvalidUseOfNull},
      {AnArray(), err::kTypeMismatch},
      {AnObject(), err::kTypeMismatch},
      {Variant::Object(nullptr), err::kTypeMismatch},
      {Variant::Error(5), err::kTypeMismatch},
      {Variant::Double(std::numeric_limits<double>::infinity()), err::kOverflow},
      {Variant::Date(3e6), err::kOverflow},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(ErrorOf([&] { ToText(c.value); }), c.error);
  }
}

TEST(ToTextTest, AppendTextAddsTheSameTextAndNothingWhenItRaises) {
  const Variant values[] = {
      Variant(), Variant::Integer(-32768), Variant::Long(70000), Variant::Byte(255), Variant::Boolean(true),
      Variant::String("as is\t "), Variant::Currency(-5000), Variant::Double(1.5e20), Variant::Single(0.1f),
      Variant::Date(0), Variant::Date(Day(2026, 12, 25)), Variant::Date(-1.25),
      Variant::Date(Day(9999, 12, 31) + Time(23, 59, 59)), Variant::Date(Time(0, 30, 0)),
      Variant::ByRef(std::make_shared<Variant>(Variant::Date(2)))};
  for (const Variant& value : values) {
    const std::string text = ToText(value);
    SCOPED_TRACE(text);
    std::string line = "before\t";
    AppendText(line, value);
    EXPECT_EQ(line, "before\t" + text);
  }
  const Variant raising[] = {Variant::Null(), AnArray(), AnObject(), Variant::Error(5),
                             Variant::Double(std::numeric_limits<double>::infinity()), Variant::Date(3e6)};
  for (const Variant& value : raising) {
    std::string line = "before";
    EXPECT_NE(ErrorOf([&] { AppendText(line, value); }), 0);
    EXPECT_EQ(line, "before");
  }
}

TEST(ToTextTest, FollowsByReference) {
  auto target = std::make_shared<Variant>(Variant::Date(2));
  EXPECT_EQ(ToText(Variant::ByRef(target)), "1/1/1900");
}

// ------------------------------------------------------------------ text to date

TEST(TextToDateTest, ReadsDateAndTimeForms) {
  const double xmas = Day(2026, 12, 25);
  struct Case {
    std::string text;
    double value;
  } cases[] = {
      {"12/25/2026", xmas},
      {"01/01/1900", 2},
      {"1/1/1900", 2},
      {"12/25/26", xmas},
      {"1/1/00", Day(2000, 1, 1)},
      {"1/1/29", Day(2029, 1, 1)},
      {"1/1/30", Day(1930, 1, 1)},
      {"12/31/99", Day(1999, 12, 31)},
      {"1/1/150", Day(150, 1, 1)},
      {"12-25-2026", xmas},
      {"2026-12-25", xmas},
      {"2026/12/25", xmas},
      {"2024-02-29", Day(2024, 2, 29)},
      {"Dec 25, 2026", xmas},
      {"December 25 2026", xmas},
      {"25 December 2026", xmas},
      {"25 dec 2026", xmas},
      {"DECEMBER 25, 2026", xmas},
      {"25-Dec-2026", xmas},
      {"Dec. 25, 2026", xmas},
      {"Sept 1, 2026", Day(2026, 9, 1)},
      {"sep 1 2026", Day(2026, 9, 1)},
      {"  12/25/2026\t ", xmas},
      {"10:30", Time(10, 30, 0)},
      {"10:30:15", Time(10, 30, 15)},
      {"0:00", 0},
      {"23:59:59", Time(23, 59, 59)},
      {"2:15 PM", Time(14, 15, 0)},
      {"2:15pm", Time(14, 15, 0)},
      {"2:15:30 am", Time(2, 15, 30)},
      {"12:00:00 AM", 0},
      {"12:00 PM", 0.5},
      {"3 PM", Time(15, 0, 0)},
      {"12/25/2026 10:30 PM", xmas + Time(22, 30, 0)},
      {"2026-12-25 22:30:00", xmas + Time(22, 30, 0)},
      {"Dec 25, 2026 6:00", xmas + 0.25},
      {"12/29/1899 6:00 AM", -1.25},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TextToDate(c.text), c.value);
    EXPECT_TRUE(IsDate(Variant::String(c.text)));
  }
}

TEST(TextToDateTest, RejectsWhatIsNoDate) {
  for (const char* text :
       {"", "   ", "hello", "12", "2026", "12.5", "2/30/2026", "2/29/1900", "13/13/2026", "0/1/2026",
        "1/1/10000", "1/1/99999", "12/25-2026", "24:00", "23:60", "12:00:60", "13:00 PM",
        "10:30 XM", "12/25/2026 hello", "12/25/2026 10:30 junk", "Smarch 1, 2026", "Dec 32, 2026",
        "10:30 12/25/2026", "1,000", "Tuesday"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(TextToDate(text), std::nullopt);
    EXPECT_FALSE(IsDate(Variant::String(text)));
  }
}

TEST(TextToDateTest, DatesWithoutTheirYearOrDayOrInDayMonthOrder) {
  const double xmas = Day(2026, 12, 25);
  struct Case {
    std::string text;
    std::optional<double> value;
  } cases[] = {
      // The current year completes a date written without one.
      {"12/25", xmas},
      {"12-25", xmas},
      {"December 25", xmas},
      {"Dec. 25", xmas},
      {"25 Dec", xmas},
      {"25 December", xmas},
      {"12/25 10:30", xmas + Time(10, 30, 0)},
      {"2/29", std::nullopt},  // not in 2026
      // A month and a year: its first day.
      {"Dec 2026", Day(2026, 12, 1)},
      {"December 1999", Day(1999, 12, 1)},
      {"2026/12", Day(2026, 12, 1)},
      {"Dec 45", Day(1945, 12, 1)},  // no day of a month: a year
      // Day first when the first number cannot be a month and the second can.
      {"25/12/2026", xmas},
      {"25-12-2026", xmas},
      {"25/12", xmas},
      {"13/1/2026", Day(2026, 1, 13)},
      {"13/13/2026", std::nullopt},
      {"12/13/2026", Day(2026, 12, 13)},  // a month first, where it can be one
      {"Dec", std::nullopt},
      {"0/5", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TextToDate(c.text, 2026), c.value);
  }
  // Without a year given, the current one.
  EXPECT_TRUE(IsDate(Variant::String("12/25")));
  EXPECT_TRUE(IsDate(Variant::String("December 25")));
}

TEST(TextToDateTest, RenderedDatesReadBack) {
  for (double v : {0.0, 2.0, 0.5, 46381.9375, -1.25, Day(100, 1, 1), Day(9999, 12, 31) + Time(23, 59, 59)}) {
    SCOPED_TRACE(v);
    auto back = TextToDate(DateToText(v));
    ASSERT_TRUE(back.has_value());
    EXPECT_NEAR(*back, v, 1e-9);
  }
}

TEST(IsDateTest, OnlyDatesAndDateTextsAreDates) {
  auto text = std::make_shared<Variant>(Variant::String("12/25/2026"));
  EXPECT_TRUE(IsDate(Variant::Date(0)));
  EXPECT_TRUE(IsDate(Variant::ByRef(text)));
  for (const Variant& v : {Variant(), Variant::Null(), Variant::Double(46381), Variant::Long(2),
                           Variant::Boolean(true), AnObject(), AnArray(),
                           Variant::Array(SafeArray(VarType::Date, {ArrayBound{0, 1}}))}) {
    SCOPED_TRACE(TypeName(v.type()));
    EXPECT_FALSE(IsDate(v));
  }
}

// ------------------------------------------------------------------ numbers

TEST(ParseNumberTest, ReadsTheRuntimeNumericForms) {
  struct Case {
    std::string text;
    std::optional<double> value;
  } cases[] = {
      {"12", 12},        {" 12 ", 12},       {"-5", -5},          {"+7", 7},
      {"1,000", 1000},   {"1,234,567.5", 1234567.5},              {"2.5", 2.5},
      {".5", 0.5},       {"5.", 5},          {"1E3", 1000},       {"1.5e-2", 0.015},
      {"-2.5E+1", -25},  {"&H10", 16},       {"&hFF", 255},       {"&HFFFF", -1},
      {"&H10000", 65536}, {"1E-400", 0},     {"", std::nullopt},  {"abc", std::nullopt},
      {"12abc", std::nullopt}, {"1 2", std::nullopt}, {",5", std::nullopt}, {"1,", std::nullopt},
      {".", std::nullopt}, {"-", std::nullopt}, {"1E", std::nullopt}, {"&H", std::nullopt},
      {"&HXYZ", std::nullopt}, {"--1", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseNumber(c.text), c.value);
  }
  EXPECT_EQ(ParseNumber("1E400"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(ParseNumber("-1E400"), -std::numeric_limits<double>::infinity());
}

TEST(RoundHalfEvenTest, HalvesGoToTheEvenNeighbour) {
  struct Case {
    double in, out;
  } cases[] = {{0.5, 0},   {1.5, 2},   {2.5, 2},   {3.5, 4},   {-0.5, 0},  {-1.5, -2},
               {-2.5, -2}, {2.4, 2},   {2.6, 3},   {-2.6, -3}, {7, 7},     {1e300, 1e300},
               {4503599627370497.0, 4503599627370497.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(RoundHalfEven(c.in), c.out);
  }
}

// Expected result of a conversion: a value, or the error number it raises.
using Outcome = std::variant<double, int32_t>;
Outcome Value(double v) { return v; }
Outcome Error(int32_t number) { return number; }

void ExpectOutcome(const std::function<double()>& call, const Outcome& expected) {
  if (std::holds_alternative<double>(expected)) {
    double got = 0;
    ASSERT_EQ(ErrorOf([&] { got = call(); }), 0);
    EXPECT_EQ(got, std::get<double>(expected));
  } else {
    EXPECT_EQ(ErrorOf([&] { call(); }), std::get<int32_t>(expected));
  }
}

struct NumberCase {
  Variant value;
  Outcome outcome;
};

TEST(ToInteger16Test, RoundsAndChecksLikeTheRuntime) {
  const NumberCase cases[] = {
      {Variant::String(" 12 "), Value(12)},
      {Variant::String("-5"), Value(-5)},
      {Variant::String("1,000"), Value(1000)},
      {Variant::String("2.5"), Value(2)},
      {Variant::String("3.5"), Value(4)},
      {Variant::String("-2.5"), Value(-2)},
      {Variant::String("1E3"), Value(1000)},
      {Variant::String("&H7FFF"), Value(32767)},
      {Variant::String("32767"), Value(32767)},
      {Variant::String("-32768"), Value(-32768)},
      {Variant::String("-32768.5"), Value(-32768)},
      {Variant::String("32767.5"), Error(err::kOverflow)},
      {Variant::String("32768"), Error(err::kOverflow)},
      {Variant::String("-32769"), Error(err::kOverflow)},
      {Variant::String("1E400"), Error(err::kOverflow)},
      {Variant::String("abc"), Error(err::kTypeMismatch)},
      {Variant::String(""), Error(err::kTypeMismatch)},
      {Variant::String("12/25/2026"), Error(err::kTypeMismatch)},
      {Variant::Double(2.5), Value(2)},
      {Variant::Double(-3.5), Value(-4)},
      {Variant::Double(0.5), Value(0)},
      {Variant::Double(40000), Error(err::kOverflow)},
      {Variant::Double(std::nan("")), Error(err::kOverflow)},
      {Variant::Single(1.5f), Value(2)},
      {Variant::Currency(25000), Value(2)},
      {Variant::Currency(35000), Value(4)},
      {Variant::Currency(-25000), Value(-2)},
      {Variant::Currency(15001), Value(2)},
      {Variant::Currency(-15001), Value(-2)},
      {Variant::Currency(327680000), Error(err::kOverflow)},
      {Variant::Long(40000), Error(err::kOverflow)},
      {Variant::Long(-7), Value(-7)},
      {Variant::Byte(200), Value(200)},
      {Variant(), Value(0)},
      {Variant::Boolean(true), Value(-1)},
      {Variant::Boolean(false), Value(0)},
      {Variant::Date(2), Value(2)},
      {Variant::Date(1000.5), Value(1000)},
      {Variant::Null(), Error(err::kInvalidUseOfNull)},
      {AnObject(), Error(err::kTypeMismatch)},
      {AnArray(), Error(err::kTypeMismatch)},
      {Variant::Error(5), Error(err::kTypeMismatch)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.value));
    ExpectOutcome([&] { return ToInteger16(c.value); }, c.outcome);
  }
}

TEST(ToLongTest, Uses32BitRange) {
  const NumberCase cases[] = {
      {Variant::String("7"), Value(7)},
      {Variant::String("2147483647"), Value(2147483647)},
      {Variant::String("-2147483648"), Value(-2147483648.0)},
      {Variant::String("2147483648"), Error(err::kOverflow)},
      {Variant::String("&HFFFFFFFF"), Value(-1)},
      {Variant::Double(40000.5), Value(40000)},
      {Variant::Date(46381.75), Value(46382)},
      {Variant::Currency(std::numeric_limits<int64_t>::max()), Error(err::kOverflow)},
      {Variant::String("abc"), Error(err::kTypeMismatch)},
      {Variant::Null(), Error(err::kInvalidUseOfNull)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.value));
    ExpectOutcome([&] { return ToLong(c.value); }, c.outcome);
  }
}

TEST(ToDoubleTest, ReadsEveryNumericKind) {
  const NumberCase cases[] = {
      {Variant::String("1,234.5"), Value(1234.5)},
      {Variant::String(" -1.5E-3 "), Value(-0.0015)},
      {Variant::Currency(12345), Value(1.2345)},
      {Variant::Single(0.5f), Value(0.5)},
      {Variant::Date(-1.25), Value(-1.25)},
      {Variant::Boolean(true), Value(-1)},
      {Variant(), Value(0)},
      {Variant::String("1E400"), Error(err::kOverflow)},
      {Variant::String("abc"), Error(err::kTypeMismatch)},
      {Variant::Null(), Error(err::kInvalidUseOfNull)},
      {AnObject(), Error(err::kTypeMismatch)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.value));
    ExpectOutcome([&] { return ToDouble(c.value); }, c.outcome);
  }
}

TEST(ToBooleanTest, NumbersAndWords) {
  const NumberCase cases[] = {
      {Variant::String("True"), Value(1)},
      {Variant::String(" tRUE "), Value(1)},
      {Variant::String("FALSE"), Value(0)},
      {Variant::String("0"), Value(0)},
      {Variant::String("-2.5"), Value(1)},
      {Variant::String("yes"), Error(err::kTypeMismatch)},
      {Variant::String(""), Error(err::kTypeMismatch)},
      {Variant::Double(0.1), Value(1)},
      {Variant::Integer(0), Value(0)},
      {Variant::Currency(1), Value(1)},
      {Variant::Date(0), Value(0)},
      {Variant(), Value(0)},
      {Variant::Null(), Error(err::kInvalidUseOfNull)},
      {AnArray(), Error(err::kTypeMismatch)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.value));
    ExpectOutcome([&] { return ToBoolean(c.value) ? 1.0 : 0.0; }, c.outcome);
  }
}

TEST(ToDateTest, DatesNumbersAndDateTexts) {
  const NumberCase cases[] = {
      {Variant::Date(-1.25), Value(-1.25)},
      {Variant::Double(2.5), Value(2.5)},
      {Variant::Long(2), Value(2)},
      {Variant::String("12/25/2026 6:00"), Value(46381.25)},
      {Variant::String("10:30"), Value(Time(10, 30, 0))},
      {Variant(), Value(0)},
      {Variant::String("46381"), Error(err::kTypeMismatch)},
      {Variant::String("abc"), Error(err::kTypeMismatch)},
      {Variant::Double(1e7), Error(err::kOverflow)},
      {Variant::Double(-657435), Error(err::kOverflow)},
      {Variant::Null(), Error(err::kInvalidUseOfNull)},
      {AnObject(), Error(err::kTypeMismatch)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.value));
    ExpectOutcome([&] { return ToDate(c.value); }, c.outcome);
  }
}

// ------------------------------------------------------------------ ChangeType

struct ChangeCase {
  Variant from;
  VarType to;
  std::variant<Variant, int32_t> expected;  // the result or the error number
};

TEST(ChangeTypeTest, CoversEveryTarget) {
  auto object = AnObject();
  const ChangeCase cases[] = {
      // Late-bound arguments.
      {Variant::Long(0), VarType::Integer, Variant::Integer(0)},
      {Variant::String("7"), VarType::Long, Variant::Long(7)},
      {Variant::String("abc"), VarType::Long, err::kTypeMismatch},
      {Variant::Long(40000), VarType::Integer, err::kOverflow},
      // Each target.
      {Variant::Integer(5), VarType::Empty, Variant()},
      {Variant(), VarType::Null, Variant::Null()},
      {Variant::Integer(5), VarType::Null, err::kTypeMismatch},
      {Variant(), VarType::Integer, Variant::Integer(0)},
      {Variant::Double(2.5), VarType::Integer, Variant::Integer(2)},
      {Variant::Boolean(true), VarType::Long, Variant::Long(-1)},
      {Variant::Double(0.1), VarType::Single, Variant::Single(0.1f)},
      {Variant::Double(1e39), VarType::Single, err::kOverflow},
      {Variant::Integer(3), VarType::Double, Variant::Double(3)},
      {Variant::String("1E3"), VarType::Double, Variant::Double(1000)},
      {Variant::Double(1.5), VarType::Currency, Variant::Currency(15000)},
      {Variant::String("1.23456"), VarType::Currency, Variant::Currency(12346)},
      {Variant::Long(-2), VarType::Currency, Variant::Currency(-20000)},
      {Variant::Double(1e16), VarType::Currency, err::kOverflow},
      {Variant::String("12/25/2026"), VarType::Date, Variant::Date(46381)},
      {Variant::Double(2.25), VarType::Date, Variant::Date(2.25)},
      {Variant::Integer(5), VarType::String, Variant::String("5")},
      {Variant::Boolean(true), VarType::String, Variant::String("True")},
      {Variant::Date(2), VarType::String, Variant::String("1/1/1900")},
      {Variant::Double(1e20), VarType::String, Variant::String("1E+20")},
      {Variant(), VarType::String, Variant::String("")},
      {Variant::Integer(1), VarType::Boolean, Variant::Boolean(true)},
      {Variant::String("false"), VarType::Boolean, Variant::Boolean(false)},
      {Variant::Double(254.5), VarType::Byte, Variant::Byte(254)},
      {Variant::Double(-0.4), VarType::Byte, Variant::Byte(0)},
      {Variant::Double(255.5), VarType::Byte, err::kOverflow},
      {Variant::Integer(-1), VarType::Byte, err::kOverflow},
      {object, VarType::Object, object},
      {Variant::Integer(1), VarType::Object, err::kTypeMismatch},
      {Variant::Error(448), VarType::Error, Variant::Error(448)},
      {Variant::Long(448), VarType::Error, err::kTypeMismatch},
      {Variant::Error(448), VarType::Long, err::kTypeMismatch},
      // Variant keeps the value as it is.
      {Variant(), VarType::Variant, Variant()},
      {Variant::Null(), VarType::Variant, Variant::Null()},
      {object, VarType::Variant, object},
      {AnArray(), VarType::Variant, AnArray()},
      // Null, objects and arrays do not become scalars.
      {Variant::Null(), VarType::Long, err::kInvalidUseOfNull},
      {Variant::Null(), VarType::String, err::kInvalidUseOfNull},
      {object, VarType::Long, err::kTypeMismatch},
      {object, VarType::String, err::kTypeMismatch},
      {AnArray(), VarType::Long, err::kTypeMismatch},
      {AnArray(), VarType::String, err::kTypeMismatch},
      {Variant::Integer(1), static_cast<VarType>(99), err::kInvalidProcedureCall},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.from) + " to " + TypeName(c.to));
    if (const Variant* want = std::get_if<Variant>(&c.expected)) {
      Variant got;
      ASSERT_EQ(ErrorOf([&] { got = ChangeType(c.from, c.to); }), 0);
      EXPECT_EQ(got, *want);
    } else {
      EXPECT_EQ(ErrorOf([&] { ChangeType(c.from, c.to); }), std::get<int32_t>(c.expected));
    }
  }
}

TEST(ChangeTypeTest, FollowsByReferenceFirst) {
  auto target = std::make_shared<Variant>(Variant::String("7"));
  const Variant ref = Variant::ByRef(target);
  EXPECT_EQ(ChangeType(ref, VarType::Integer), Variant::Integer(7));
  const Variant kept = ChangeType(ref, VarType::Variant);
  EXPECT_FALSE(kept.isByRef());
  EXPECT_EQ(kept, Variant::String("7"));
  // A reference to a reference reaches the final value.
  EXPECT_EQ(ChangeType(Variant::ByRef(std::make_shared<Variant>(ref)), VarType::Long), Variant::Long(7));
}

}  // namespace
}  // namespace automation
