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

TEST(JsonReaderTest, KeepsRepeatedMembersInTheirOrder) {
  Value v = Parse(R"({"b":1,"a":2,"b":3})");
  ASSERT_EQ(v.members.size(), 3u);
  EXPECT_EQ(v.members[0].name, "b");
  EXPECT_EQ(v.members[0].value.text, "1");
  EXPECT_EQ(v.members[1].name, "a");
  EXPECT_EQ(v.members[2].name, "b");
  EXPECT_EQ(v.members[2].value.text, "3");
}

struct NumberCase {
  const char* json;
  const char* text;
  bool integer;
};

class NumberText : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberText, IsKeptAsWritten) {
  Value v = Parse(GetParam().json);
  ASSERT_EQ(v.kind, Value::Kind::Number);
  EXPECT_EQ(v.text, GetParam().text);
  EXPECT_EQ(v.integer, GetParam().integer);
}

INSTANTIATE_TEST_SUITE_P(Cases, NumberText,
                         ::testing::Values(NumberCase{"0", "0", true}, NumberCase{"-2147483648", "-2147483648", true},
                                           NumberCase{"18446744073709551615", "18446744073709551615", true},
                                           NumberCase{"123456789012345678901234", "123456789012345678901234", true},
                                           NumberCase{"1.50", "1.50", false}, NumberCase{"-0.0", "-0.0", false},
                                           NumberCase{"2E-3", "2E-3", false}, NumberCase{"1e+2", "1e+2", false}));

class MalformedJson : public ::testing::TestWithParam<const char*> {};

TEST_P(MalformedJson, IsRefusedWithAnOffset) { EXPECT_THROW(Parse(GetParam()), ParseError); }

INSTANTIATE_TEST_SUITE_P(Cases, MalformedJson,
                         ::testing::Values("", "{", "{\"a\":}", "{\"a\" 1}", "{a:1}", "[1,]", "\"open", "01",
                                           "1.", "-", "1e", "tru", "nul", "{\"a\":1} x", "\"\\x\"",
                                           "\"\\ud800\"", "\"\\udc00\"", "\"\\u12G4\"", "\"tab\there\"",
                                           "{\"a\":1,}", "1e999", "\"bad \xff byte\"", "\"cut \xc3\"",
                                           "\"over long \xc0\xaf\"", "/* no comments */ 1"));

// The library alone would take a NUL between tokens for the end of the text and pass
// over the rest.
TEST(JsonReaderTest, RefusesANulByteWhereverItIs) {
  struct Case {
    std::string json;
    size_t offset;
  };
  for (const Case& c : {Case{std::string("\"nul \0 inside\"", 14), 5}, Case{std::string("1\0", 2), 1},
                        Case{std::string("{\"a\":1}\0{\"b\":2}", 15), 7}, Case{std::string("[1,\0 2]", 7), 3},
                        Case{std::string("\0", 1), 0}}) {
    try {
      Parse(c.json);
      ADD_FAILURE() << "accepted a NUL at " << c.offset;
    } catch (const ParseError& e) {
      EXPECT_EQ(e.offset(), c.offset) << e.what();
    }
  }
  // A fault before the NUL is the one reported.
  try {
    Parse(std::string("[1,]\0", 5));
    ADD_FAILURE() << "accepted";
  } catch (const ParseError& e) {
    EXPECT_EQ(e.offset(), 3u) << e.what();
    EXPECT_NE(std::string(e.what()).find("unexpected ']'"), std::string::npos) << e.what();
  }
}

struct OffsetCase {
  std::string json;
  size_t offset;
  const char* message;
};

class ParseErrorText : public ::testing::TestWithParam<OffsetCase> {};

// The message is the library's own, without its exception name or line and column,
// and the offset counts bytes from 0 to the last one read.
TEST_P(ParseErrorText, SaysWhatAndWhere) {
  try {
    Parse(GetParam().json);
    FAIL() << "accepted " << GetParam().json;
  } catch (const ParseError& e) {
    EXPECT_EQ(e.offset(), GetParam().offset) << e.what();
    std::string what = e.what();
    EXPECT_NE(what.find(GetParam().message), std::string::npos) << what;
    EXPECT_EQ(what.find("json.exception"), std::string::npos) << what;
    EXPECT_EQ(what.find("line 1"), std::string::npos) << what;
    const std::string tail = " at offset " + std::to_string(GetParam().offset);
    ASSERT_GE(what.size(), tail.size());
    EXPECT_EQ(what.substr(what.size() - tail.size()), tail);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseErrorText,
                         ::testing::Values(OffsetCase{"", 0, "unexpected end of input"},
                                           OffsetCase{"[1,]", 3, "unexpected ']'"},
                                           OffsetCase{"{\"AppName\":", 11, "unexpected end of input"},
                                           OffsetCase{"{\"a\":1} x", 8, "expected end of input"},
                                           OffsetCase{"1e999", 4, "number overflow"},
                                           OffsetCase{"\"a\xff\"", 2, "ill-formed UTF-8"},
                                           OffsetCase{std::string(66, '['), 65, "nested too deeply"}));

TEST(JsonReaderTest, AFaultInALongTokenIsNamedShortly) {
  const std::string text = "[\"" + std::string(100000, 'x') + "\xff\"]";
  try {
    Parse(text);
    FAIL() << "accepted";
  } catch (const ParseError& e) {
    const std::string what = e.what();
    EXPECT_LT(what.size(), 200u) << what;
    EXPECT_NE(what.find("ill-formed UTF-8"), std::string::npos) << what;
    EXPECT_NE(what.find("..."), std::string::npos) << what;
    EXPECT_EQ(e.offset(), 100002u) << what;
  }
}

TEST(JsonReaderTest, RefusesNestingBeyondItsLimit) {
  EXPECT_NO_THROW(Parse(std::string(60, '[') + std::string(60, ']')));
  // The outermost value is at depth 0; one at depth 64 is the deepest taken.
  EXPECT_NO_THROW(Parse(std::string(65, '[') + std::string(65, ']')));
  EXPECT_NO_THROW(Parse(std::string(64, '[') + "1" + std::string(64, ']')));
  EXPECT_THROW(Parse(std::string(65, '[') + "1" + std::string(65, ']')), ParseError);
  EXPECT_THROW(Parse(std::string(66, '[') + std::string(66, ']')), ParseError);
  std::string objects;
  for (int i = 0; i < 66; ++i) objects += "{\"a\":";
  EXPECT_THROW(Parse(objects + "1" + std::string(66, '}')), ParseError);
  EXPECT_THROW(Parse(std::string(100000, '[')), ParseError);
  EXPECT_THROW(Parse(std::string(1000000, '[') + std::string(1000000, ']')), ParseError);
}

}  // namespace
}  // namespace ledgerwick::json
