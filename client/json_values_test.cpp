#include "client/json_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "automation/date_scale.h"
#include "tests/support/variant_printer.h"

namespace ledgerwick::json {
namespace {

using automation::Variant;

Variant FromJson(const std::string& text) { return ToVariant(Parse(text)); }

struct TypedCase {
  const char* json;
  Variant expected;
};

class TypedValues : public ::testing::TestWithParam<TypedCase> {};

TEST_P(TypedValues, BecomeTheirVariantKinds) { EXPECT_EQ(FromJson(GetParam().json), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, TypedValues,
    ::testing::Values(TypedCase{"\"text\"", Variant::String("text")}, TypedCase{"42", Variant::Long(42)},
                      TypedCase{"-2147483648", Variant::Long(-2147483647 - 1)},
                      TypedCase{"2147483648", Variant::Double(2147483648.0)}, TypedCase{"2.5", Variant::Double(2.5)},
                      TypedCase{"1e2", Variant::Double(100)}, TypedCase{"true", Variant::Boolean(true)},
                      TypedCase{"false", Variant::Boolean(false)}, TypedCase{"null", Variant::Null()},
                      TypedCase{R"({"date":"2026-12-25"})", Variant::Date(*automation::DateSerial({2026, 12, 25}))},
                      TypedCase{R"({"time":"18:30:15"})", Variant::Date(automation::TimeSerial({18, 30, 15}))},
                      TypedCase{R"({"datetime":"2026-12-25T18:30:15"})",
                                Variant::Date(*automation::DateSerial({2026, 12, 25}) +
                                              automation::TimeSerial({18, 30, 15}))}));

class RefusedValues : public ::testing::TestWithParam<const char*> {};

TEST_P(RefusedValues, AreValueErrors) { EXPECT_THROW(FromJson(GetParam()), ValueError); }

INSTANTIATE_TEST_SUITE_P(Cases, RefusedValues,
                         ::testing::Values("[1,2]", "{}", R"({"when":"2026-12-25"})", R"({"date":"2026-02-30"})",
                                           R"({"date":"12/25/2026"})", R"({"time":"24:00:00"})",
                                           R"({"time":"1:2:3"})", R"({"datetime":"2026-12-25 18:30:15"})",
                                           R"({"date":1})", R"({"date":"2026-12-25","time":"10:00:00"})"));

// The reader refuses a number past a Double's range itself; one that reaches ToVariant
// some other way is still refused.
TEST(JsonValuesTest, ANumberPastADoublesRangeIsRefused) {
  EXPECT_THROW(FromJson("1e999"), ParseError);
  Value huge;
  huge.kind = Value::Kind::Number;
  huge.text = "1e999";
  EXPECT_THROW(ToVariant(huge), ValueError);
}

TEST(JsonValuesTest, PrintedJsonReadsBackAsTheSameValue) {
  for (const char* text : {"\"a\\tb\"", "7", "2.5", "true", "null", R"({"date":"2026-12-25"})",
                           R"({"time":"18:30:15"})", R"({"datetime":"2026-12-25T18:30:15"})"}) {
    Variant value = FromJson(text);
    EXPECT_EQ(FromJson(ToJson(value)), value) << text;
  }
}

TEST(JsonValuesTest, PrintedDoublesReadBackAsTheSameDouble) {
  for (double d : {100.0, 0.1, 1e300, -0.0, 0.0, -2.5, 1.0 / 3, 5e-324, 1.7976931348623157e308, 2147483648.0,
                   123456789012345678.0}) {
    Variant value = Variant::Double(d);
    const std::string json = ToJson(value);
    Variant back = FromJson(json);
    EXPECT_EQ(back, value) << json;
    ASSERT_EQ(back.type(), automation::VarType::Double) << json;
    EXPECT_EQ(std::signbit(back.dbl()), std::signbit(d)) << json;
  }
  // A Single is written as the Double it widens to.
  EXPECT_EQ(FromJson(ToJson(Variant::Single(0.5f))), Variant::Double(0.5));
}

struct WrittenCase {
  Variant value;
  const char* json;
};

class WrittenJson : public ::testing::TestWithParam<WrittenCase> {};

TEST_P(WrittenJson, IsTheExpectedText) { EXPECT_EQ(ToJson(GetParam().value), GetParam().json); }

INSTANTIATE_TEST_SUITE_P(
    Cases, WrittenJson,
    ::testing::Values(WrittenCase{Variant::Double(100.0), "100.0"}, WrittenCase{Variant::Double(0.1), "0.1"},
                      WrittenCase{Variant::Double(-0.0), "-0.0"},
                      WrittenCase{Variant::Double(std::numeric_limits<double>::infinity()), "null"},
                      WrittenCase{Variant::Double(std::numeric_limits<double>::quiet_NaN()), "null"},
                      WrittenCase{Variant::Long(-7), "-7"}, WrittenCase{Variant(), "null"},
                      WrittenCase{Variant::Null(), "null"}, WrittenCase{Variant::Boolean(false), "false"},
                      WrittenCase{Variant::Currency(12345), "1.2345"}, WrittenCase{Variant::Currency(-50000), "-5"},
                      WrittenCase{Variant::String("q\"b\\s\n\t\x01/"), R"("q\"b\\s\n\t\u0001/")"},
                      WrittenCase{Variant::String("caf\xc3\xa9"), "\"caf\xc3\xa9\""},
                      // Bytes that are not UTF-8 are written as U+FFFD.
                      WrittenCase{Variant::String("a\xff" "b"), "\"a\xef\xbf\xbd" "b\""}));

TEST(JsonValuesTest, QuoteWritesAnyTextAsAJsonString) {
  EXPECT_EQ(Quote(""), "\"\"");
  EXPECT_EQ(Quote("down (\"x\")\r"), R"("down (\"x\")\r")");
  EXPECT_EQ(Quote("\xc3"), "\"\xef\xbf\xbd\"");
  for (const std::string text : {"plain", "tab\there", "\x1f", "\xe2\x82\xac"}) {
    EXPECT_EQ(FromJson(Quote(text)), Variant::String(text)) << text;
  }
}

TEST(JsonValuesTest, PlainTextIsTheRuntimeRendering) {
  EXPECT_EQ(ToPlainText(Variant::String("x y")), "x y");
  EXPECT_EQ(ToPlainText(Variant::Boolean(true)), "True");
  EXPECT_EQ(ToPlainText(Variant::Long(-1)), "-1");
  EXPECT_EQ(ToPlainText(Variant()), "");
  EXPECT_EQ(ToPlainText(Variant::Null()), "Null");
  EXPECT_EQ(ToPlainText(FromJson(R"({"date":"2026-12-25"})")), "12/25/2026");
  automation::SafeArray names(automation::VarType::String, {automation::ArrayBound{0, 2}});
  names.Set({0}, Variant::String("AppName"));
  names.Set({1}, Variant::String("UserName"));
  EXPECT_EQ(ToPlainText(Variant::Array(names)), "AppName\nUserName");
  EXPECT_EQ(ToJson(Variant::Array(names)), R"(["AppName","UserName"])");
}

}  // namespace
}  // namespace ledgerwick::json
