#include "client/json_reader.h"

#include <gtest/gtest.h>

namespace ledgerwick::json {
namespace {

TEST(JsonReaderTest, ReadsAnObjectWithEveryKindInOrder) {
  Value v = Parse(R"( {"s":"a\"b\\c\n\u00e9\ud83d\ude00", "i":-12, "d":1.5e3, "t":true, "f":false, "n":null,
                       "o":{"date":"2026-12-01"}, "a":[1,[]]} )");
  ASSERT_EQ(v.kind, Value::Kind::Object);
  ASSERT_EQ(v.members.size(), 8u);
  EXPECT_EQ(v.members[0].name, "s");
  EXPECT_EQ(v.members[0].value.string, "a\"b\\c\n\xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_EQ(v.members[1].value.text, "-12");
  EXPECT_TRUE(v.members[1].value.integer);
  EXPECT_EQ(v.members[2].value.text, "1.5e3");
  EXPECT_FALSE(v.members[2].value.integer);
  EXPECT_TRUE(v.members[3].value.boolean);
  EXPECT_EQ(v.members[4].value.kind, Value::Kind::Boolean);
  EXPECT_FALSE(v.members[4].value.boolean);
  EXPECT_EQ(v.members[5].value.kind, Value::Kind::Null);
  EXPECT_EQ(v.members[6].value.members[0].value.string, "2026-12-01");
  EXPECT_EQ(v.members[7].value.elements.size(), 2u);
}

class MalformedJson : public ::testing::TestWithParam<const char*> {};

TEST_P(MalformedJson, IsRefusedWithAnOffset) { EXPECT_THROW(Parse(GetParam()), ParseError); }

INSTANTIATE_TEST_SUITE_P(Cases, MalformedJson,
                         ::testing::Values("", "{", "{\"a\":}", "{\"a\" 1}", "{a:1}", "[1,]", "\"open", "01",
                                           "1.", "-", "1e", "tru", "nul", "{\"a\":1} x", "\"\\x\"",
                                           "\"\\ud800\"", "\"\\udc00\"", "\"\\u12G4\"", "\"tab\there\"",
                                           "{\"a\":1,}"));

TEST(JsonReaderTest, RefusesNestingBeyondItsLimit) {
  EXPECT_NO_THROW(Parse(std::string(60, '[') + std::string(60, ']')));
  EXPECT_THROW(Parse(std::string(100000, '[')), ParseError);
}

}  // namespace
}  // namespace ledgerwick::json
