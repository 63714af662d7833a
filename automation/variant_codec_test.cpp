#include "automation/variant_codec.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <capnp/any.h>
#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include "automation/automation_error.h"
#include "tests/support/error_of.h"
#include "tests/support/variant_printer.h"

namespace automation {

namespace {

using ledgerwick::testing::ErrorOf;

Variant Filled(VarType type, std::vector<ArrayBound> bounds, Variant (*fill)(size_t)) {
  SafeArray array(type, std::move(bounds));
  for (size_t i = 0; i < array.size(); ++i) array.SetFlat(i, fill(i));
  return Variant::Array(std::move(array));
}

Variant RoundTrip(const Variant& value) {
  capnp::MallocMessageBuilder message;
  WriteVariant(value, message.initRoot<wire::Variant>());
  auto words = capnp::messageToFlatArray(message);
  capnp::FlatArrayMessageReader reader(words);
  return ReadVariant(reader.getRoot<wire::Variant>());
}

TEST(VariantCodecTest, NestedArraysComeBackAsTheyWent) {
  Variant inner = Filled(VarType::Variant, {{-2, 3}}, [](size_t i) {
    return i == 0 ? Variant::String("deep") : i == 1 ? Variant::Date(2.5) : Variant::Null();
  });
  SafeArray outer(VarType::Variant, {{0, 2}, {1, 2}});
  outer.SetFlat(0, inner);
  outer.SetFlat(1, Variant::Long(7));
  outer.SetFlat(2, Filled(VarType::Byte, {{1, 2}, {-5, 3}}, [](size_t i) { return Variant::Byte(uint8_t(i * 7)); }));
  outer.SetFlat(3, Filled(VarType::Long, {{0, 3}}, [](size_t i) { return Variant::Long(int32_t(i) - 1); }));
  const Variant value = Variant::Array(outer);

  EXPECT_EQ(RoundTrip(value), value);
}

TEST(VariantCodecTest, TakingAnElementOverLeavesTheArrayWhole) {
  SafeArray array(VarType::Variant, {{0, 2}});
  Variant nested = Filled(VarType::String, {{0, 2}}, [](size_t i) { return Variant::String(std::string(i + 1, 'x')); });
  const Variant copy = nested;
  array.SetFlat(0, std::move(nested));
  array.SetFlat(1, Variant::ByRef(std::make_shared<Variant>(Variant::Long(5))));
  EXPECT_EQ(array.ElementAt(0), copy);
  EXPECT_EQ(array.ElementAt(1), Variant::Long(5));  // a reference is followed, as SetFlat(const&) does
  EXPECT_EQ(ErrorOf([&] { (void)array.ElementAt(2); }), err::kSubscriptOutOfRange);
  EXPECT_EQ(ErrorOf([] { (void)SafeArray::FromBytes({1}).ElementAt(0); }), err::kSubscriptOutOfRange);
}

size_t ElementsIn(const Variant& value) {
  if (!value.isArray() || value.array().elementType() == VarType::Byte) return 0;
  size_t n = value.array().size();
  for (size_t i = 0; i < value.array().size(); ++i) n += ElementsIn(value.array().ElementAt(i));
  return n;
}

// The word of `element`'s one pointer (its string, object or array), in the builder's segment.
kj::byte* PointerWord(wire::Variant::Builder element) {
  return capnp::AnyStruct::Builder(kj::mv(element)).getDataSection().end();
}

// A message of `levels` arrays of `width` Variant elements each, in which every
// element of a level points at the same array of the next level: a few hundred
// bytes that unfold into width + width^2 + ... + width^levels elements. No writer
// makes such a message; a hostile client can.
kj::Array<capnp::word> SharedArrays(int levels, uint32_t width) {
  capnp::MallocMessageBuilder message(1 << 16);  // one segment, so that pointers are plain offsets
  wire::Array::Builder array = message.initRoot<wire::Variant>().initArray();
  for (int level = 1;; ++level) {
    array.setElementType(static_cast<uint16_t>(VarType::Variant));
    auto bounds = array.initBounds(1);
    bounds[0].setCount(width);
    auto elements = array.initElements(width);
    if (level == levels) {
      for (auto element : elements) element.setLong(level);
      break;
    }
    wire::Array::Builder next = elements[0].initArray();
    uint64_t first;
    std::memcpy(&first, PointerWord(elements[0]), sizeof first);
    for (uint32_t i = 1; i < width; ++i) {
      elements[i].initArray();
      // A struct pointer's offset (in words, from the word after the pointer) sits
      // above its two tag bits; point this one where the first one points.
      int32_t offset = static_cast<int32_t>(static_cast<uint32_t>(first)) >> 2;
      offset += static_cast<int32_t>((PointerWord(elements[0]) - PointerWord(elements[i])) / sizeof(capnp::word));
      uint64_t shared = (first & 0xffffffff00000000ull) | (static_cast<uint32_t>(offset) << 2);
      std::memcpy(PointerWord(elements[i]), &shared, sizeof shared);
    }
    array = next;
  }
  return capnp::messageToFlatArray(message);
}

TEST(VariantCodecTest, AMessageOfSharedArraysUnfoldsOnlyUpToTheBound) {
  struct Case {
    int levels;
    uint32_t width;
    size_t elements;  // what it unfolds into
  };
  for (const Case& c : {Case{3, 2, 14}, Case{9, 4, 349524}, Case{11, 4, 5592404}, Case{16, 8, 0}}) {
    SCOPED_TRACE(testing::Message() << c.levels << " levels of " << c.width);
    auto words = SharedArrays(c.levels, c.width);
    ASSERT_LT(words.asBytes().size(), 8192u);
    capnp::FlatArrayMessageReader reader(words);
    if (c.elements != 0 && c.elements <= kMaxArrayElements) {
      Variant value = ReadVariant(reader.getRoot<wire::Variant>());
      EXPECT_EQ(ElementsIn(value), c.elements);
      // Written out, it is as large as it unfolds, and reads back the same.
      EXPECT_EQ(RoundTrip(value), value);
    } else {
      EXPECT_EQ(ErrorOf([&] { (void)ReadVariant(reader.getRoot<wire::Variant>()); }), err::kTypeMismatch);
    }
  }
}

// A message that a fuzz run found: eleven arrays nested one in the next, the last
// with four million dimensions, each of count 0. Such bounds take no room on the
// wire, so the kilobyte unfolded into 32 MB of bounds, copied again at each level.
TEST(VariantCodecTest, RefusesAFoundMessageOfMillionsOfEmptyDimensions) {
  std::ifstream in(LEDGERWICK_AUTOMATION_TESTDATA "/variant_millions_of_dimensions.bin", std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 0u);
  ASSERT_LT(bytes.size(), 2048u);
  auto words = kj::heapArray<capnp::word>(bytes.size() / sizeof(capnp::word));
  std::memcpy(words.begin(), bytes.data(), words.size() * sizeof(capnp::word));

  capnp::FlatArrayMessageReader reader(words);
  EXPECT_EQ(ErrorOf([&] { (void)ReadVariant(reader.getRoot<wire::Variant>()); }), err::kTypeMismatch);
}

TEST(VariantCodecTest, ReadingIntoAHeldVariantGivesWhatReadingGives) {
  const Variant values[] = {
      Variant(), Variant::Null(), Variant::Integer(-7), Variant::Long(4711), Variant::Double(0.5),
      Variant::Date(46000.25), Variant::String(""), Variant::String("short"),
      Variant::String("a text longer than the room a short one takes in place"), Variant::Boolean(true),
      Variant::Error(448), Filled(VarType::Long, {{1, 3}}, [](size_t i) { return Variant::Long(int32_t(i)); }),
      Filled(VarType::Byte, {{0, 4}}, [](size_t i) { return Variant::Byte(uint8_t(i)); })};
  // What the Variant held before: each kind of room it may keep.
  const Variant before[] = {Variant(), Variant::String("something held before, longer than a short text"),
                            Filled(VarType::String, {{0, 2}}, [](size_t) { return Variant::String("x"); }),
                            Variant::ByRef(std::make_shared<Variant>(Variant::Long(1))), Variant::Long(9)};
  for (const Variant& value : values) {
    capnp::MallocMessageBuilder message;
    WriteVariant(value, message.initRoot<wire::Variant>());
    auto words = capnp::messageToFlatArray(message);
    capnp::FlatArrayMessageReader reader(words);
    const Variant expected = ReadVariant(reader.getRoot<wire::Variant>());
    for (const Variant& held : before) {
      Variant out = held;
      ReadVariantInto(reader.getRoot<wire::Variant>(), out);
      EXPECT_EQ(out, expected);
      EXPECT_FALSE(out.isByRef());
    }
  }

  // Malformed input raises 13 as ReadVariant does.
  std::ifstream in(LEDGERWICK_AUTOMATION_TESTDATA "/variant_millions_of_dimensions.bin", std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 0u);
  auto words = kj::heapArray<capnp::word>(bytes.size() / sizeof(capnp::word));
  std::memcpy(words.begin(), bytes.data(), words.size() * sizeof(capnp::word));
  capnp::FlatArrayMessageReader reader(words);
  Variant out = Variant::String("held");
  EXPECT_EQ(ErrorOf([&] { ReadVariantInto(reader.getRoot<wire::Variant>(), out); }), err::kTypeMismatch);
}

TEST(VariantCodecTest, AnArrayHasAtMostTheRuntimesDimensions) {
  const std::vector<ArrayBound> most(kMaxArrayDimensions, ArrayBound{1, 1});
  const Variant atTheBound = Variant::Array(SafeArray(VarType::Long, most));
  EXPECT_EQ(RoundTrip(atTheBound), atTheBound);

  std::vector<ArrayBound> tooMany = most;
  tooMany.push_back(ArrayBound{0, 0});
  const Variant over = Variant::Array(SafeArray(VarType::Long, tooMany));
  capnp::MallocMessageBuilder message;
  EXPECT_EQ(ErrorOf([&] { WriteVariant(over, message.initRoot<wire::Variant>()); }), err::kTypeMismatch);
}

TEST(VariantCodecTest, RefusesToWriteMoreElementsThanAReaderTakes) {
  // Two arrays that hold one more element than the bound between them and their parent.
  const uint32_t half = kMaxArrayElements / 2;
  SafeArray outer(VarType::Variant, {{0, 2}});
  outer.SetFlat(0, Variant::Array(SafeArray(VarType::Boolean, {{0, half}})));
  outer.SetFlat(1, Variant::Array(SafeArray(VarType::Boolean, {{0, half - 1}})));
  const Variant over = Variant::Array(std::move(outer));

  capnp::MallocMessageBuilder message;
  EXPECT_EQ(ErrorOf([&] { WriteVariant(over, message.initRoot<wire::Variant>()); }), err::kTypeMismatch);

  // One fewer is taken, and reads back.
  SafeArray fits(VarType::Variant, {{0, 2}});
  fits.SetFlat(0, Variant::Array(SafeArray(VarType::Boolean, {{0, half}})));
  fits.SetFlat(1, Variant::Array(SafeArray(VarType::Boolean, {{0, half - 2}})));
  const Variant atTheBound = Variant::Array(std::move(fits));
  EXPECT_EQ(RoundTrip(atTheBound), atTheBound);
}

}  // namespace
}  // namespace automation
