#include "client/json_values.h"

#include <gtest/gtest.h>

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
                                           R"({"date":1})", R"({"date":"2026-12-25","time":"10:00:00"})", "1e999"));

TEST(JsonValuesTest, PrintedJsonReadsBackAsTheSameValue) {
  for (const char* text : {"\"a\\tb\"", "7", "2.5", "true", "null", R"({"date":"2026-12-25"})",
                           R"({"time":"18:30:15"})", R"({"datetime":"2026-12-25T18:30:15"})"}) {
    Variant value = FromJson(text);
    EXPECT_EQ(FromJson(ToJson(value)), value) << text;
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
