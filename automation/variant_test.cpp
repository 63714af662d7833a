#include "automation/variant.h"

#include <limits>
#include <memory>

#include <gtest/gtest.h>

#include "automation/automation_error.h"
#include "automation/conversions.h"
#include "automation/dispatch.h"
#include "tests/support/error_of.h"
#include "tests/support/null_dispatch.h"
#include "tests/support/variant_printer.h"

namespace automation {

namespace {

using ledgerwick::testing::ErrorOf;
using ledgerwick::testing::NullDispatch;

// ------------------------------------------------------------------ copies

TEST(VariantCopyTest, ArrayIsCopiedElementByElement) {
  SafeArray array(VarType::Variant, {ArrayBound{0, 2}});
  array.Set({0}, Variant::String("one"));
  array.Set({1}, Variant::Array(SafeArray::FromBytes({1, 2})));
  const Variant original = Variant::Array(array);

  Variant copy = original;
  copy.array().Set({0}, Variant::String("changed"));
  copy.array().Set({1}, Variant::Long(9));
  EXPECT_EQ(original.array().Get({0}), Variant::String("one"));
  EXPECT_EQ(original.array().Get({1}), Variant::Array(SafeArray::FromBytes({1, 2})));

  Variant assigned;
  assigned = original;
  EXPECT_EQ(assigned, original);
  assigned.array().Set({0}, Variant::Integer(1));
  EXPECT_EQ(original.array().Get({0}), Variant::String("one"));
}

TEST(VariantCopyTest, NestedArrayIsCopiedToo) {
  SafeArray inner(VarType::Long, {ArrayBound{0, 1}});
  SafeArray outer(VarType::Variant, {ArrayBound{0, 1}});
  outer.Set({0}, Variant::Array(inner));
  const Variant original = Variant::Array(outer);

  Variant copy = original;
  Variant element = copy.array().Get({0});
  element.array().Set({0}, Variant::Long(5));
  copy.array().Set({0}, element);
  EXPECT_EQ(original.array().Get({0}).array().Get({0}), Variant::Long(0));
  EXPECT_EQ(copy.array().Get({0}).array().Get({0}), Variant::Long(5));
}

TEST(VariantCopyTest, ObjectReferenceIsShared) {
  auto object = std::make_shared<NullDispatch>();
  const Variant original = Variant::Object(object);
  const Variant copy = original;
  EXPECT_EQ(copy.object().get(), object.get());
  EXPECT_EQ(object.use_count(), 3);
  EXPECT_EQ(copy, original);
  EXPECT_NE(copy, Variant::Object(std::make_shared<NullDispatch>()));
}

TEST(VariantCopyTest, SelfAssignmentKeepsTheValue) {
  Variant v = Variant::Array(SafeArray(VarType::String, {ArrayBound{1, 2}}));
  v.array().Set({2}, Variant::String("kept"));
  Variant& alias = v;
  v = alias;
  EXPECT_EQ(v.array().Get({2}), Variant::String("kept"));
}

// ------------------------------------------------------------------ by reference

TEST(VariantByRefTest, AnswersForTheTarget) {
  auto target = std::make_shared<Variant>(Variant::Long(42));
  const Variant ref = Variant::ByRef(target);
  EXPECT_TRUE(ref.isByRef());
  EXPECT_EQ(ref.type(), VarType::Long);
  EXPECT_FALSE(ref.isArray());
  EXPECT_EQ(ref.deref().lng(), 42);
  EXPECT_EQ(&ref.deref(), target.get());
  EXPECT_EQ(ref.refTarget(), target);

  // The target changes kind: the reference follows it.
  *target = Variant::Null();
  EXPECT_TRUE(ref.isNull());
  *target = Variant::Array(SafeArray(VarType::Date, {ArrayBound{0, 1}}));
  EXPECT_TRUE(ref.isArray());
  EXPECT_EQ(ref.type(), VarType::Date);
}

TEST(VariantByRefTest, WritesReachTheTargetThroughCopies) {
  auto target = std::make_shared<Variant>(Variant::String("before"));
  Variant ref = Variant::ByRef(target);
  Variant copy = ref;  // a copy refers to the same target
  ASSERT_TRUE(copy.isByRef());
  copy.deref() = Variant::Integer(7);
  EXPECT_EQ(*target, Variant::Integer(7));
  EXPECT_EQ(ref.type(), VarType::Integer);
}

TEST(VariantByRefTest, ChainsAreFollowedToTheEnd) {
  auto last = std::make_shared<Variant>(Variant::Double(1.5));
  auto middle = std::make_shared<Variant>(Variant::ByRef(last));
  Variant first = Variant::ByRef(middle);
  EXPECT_EQ(first.type(), VarType::Double);
  EXPECT_EQ(&first.deref(), last.get());
  first.deref() = Variant::Boolean(true);
  EXPECT_EQ(*last, Variant::Boolean(true));
}

TEST(VariantByRefTest, EqualityComparesTheTargets) {
  auto target = std::make_shared<Variant>(Variant::Long(3));
  EXPECT_EQ(Variant::ByRef(target), Variant::Long(3));
  EXPECT_EQ(Variant::Long(3), Variant::ByRef(target));
  EXPECT_NE(Variant::ByRef(target), Variant::Integer(3));
}

// ------------------------------------------------------------------ arrays

TEST(SafeArrayTest, MultiDimensionalWithLowerBounds) {
  SafeArray array(VarType::Long, {ArrayBound{1, 3}, ArrayBound{-2, 2}});
  EXPECT_EQ(array.dimensions(), 2u);
  EXPECT_EQ(array.size(), 6u);
  EXPECT_EQ(array.bounds()[0].upper(), 3);
  EXPECT_EQ(array.bounds()[1].upper(), -1);
  for (int32_t i = 1; i <= 3; ++i) {
    for (int32_t j = -2; j <= -1; ++j) array.Set({i, j}, Variant::Long(i * 10 + j));
  }
  // The first index varies fastest in storage.
  const int32_t expected[] = {8, 18, 28, 9, 19, 29};
  for (size_t k = 0; k < 6; ++k) EXPECT_EQ(array.GetFlat(k), Variant::Long(expected[k])) << k;
  EXPECT_EQ(array.Get({2, -1}), Variant::Long(19));
}

TEST(SafeArrayTest, WrongIndexCountOrRangeRaisesSubscriptOutOfRange) {
  SafeArray array(VarType::Variant, {ArrayBound{1, 3}, ArrayBound{-2, 2}});
  const std::vector<std::vector<int32_t>> bad = {
      {}, {1}, {1, -2, 0}, {0, -2}, {4, -2}, {1, -3}, {1, 0},
      {std::numeric_limits<int32_t>::min(), -2}, {std::numeric_limits<int32_t>::max(), -2},
  };
  for (const auto& indices : bad) {
    SCOPED_TRACE(indices.size());
    EXPECT_EQ(ErrorOf([&] { array.Get(indices); }), err::kSubscriptOutOfRange);
    EXPECT_EQ(ErrorOf([&] { array.Set(indices, Variant::Long(1)); }), err::kSubscriptOutOfRange);
  }
  EXPECT_EQ(ErrorOf([&] { array.GetFlat(6); }), err::kSubscriptOutOfRange);
  EXPECT_EQ(ErrorOf([&] { array.SetFlat(6, Variant()); }), err::kSubscriptOutOfRange);

  SafeArray none(VarType::Long, {});
  EXPECT_EQ(none.size(), 0u);
  EXPECT_EQ(ErrorOf([&] { none.Get({}); }), err::kSubscriptOutOfRange);
}

TEST(SafeArrayTest, ElementsStartAsTheEmptyValueOfTheirType) {
  struct Case {
    VarType type;
    Variant empty;
  } cases[] = {
      {VarType::Integer, Variant::Integer(0)},   {VarType::Long, Variant::Long(0)},
      {VarType::Double, Variant::Double(0)},     {VarType::Currency, Variant::Currency(0)},
      {VarType::Date, Variant::Date(0)},         {VarType::String, Variant::String("")},
      {VarType::Boolean, Variant::Boolean(false)}, {VarType::Byte, Variant::Byte(0)},
      {VarType::Variant, Variant()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(TypeName(c.type));
    EXPECT_EQ(SafeArray(c.type, {ArrayBound{5, 1}}).Get({5}), c.empty);
  }
}

TEST(SafeArrayTest, SetConvertsToTheElementType) {
  struct Case {
    VarType element;
    Variant value;
    Variant stored;  // Empty when an error is expected
    int32_t error;
  } cases[] = {
      {VarType::Integer, Variant::String("7"), Variant::Integer(7), 0},
      {VarType::Integer, Variant::Double(2.5), Variant::Integer(2), 0},
      {VarType::Integer, Variant::String("abc"), Variant(), err::kTypeMismatch},
      {VarType::Integer, Variant::Long(40000), Variant(), err::kOverflow},
      {VarType::Integer, Variant::Null(), Variant(), err::kInvalidUseOfNull},
      {VarType::Long, Variant::Boolean(true), Variant::Long(-1), 0},
      {VarType::String, Variant::Integer(5), Variant::String("5"), 0},
      {VarType::String, Variant::Date(2), Variant::String("1/1/1900"), 0},
      {VarType::Date, Variant::String("12/25/2026"), Variant::Date(46381), 0},
      {VarType::Boolean, Variant::String("true"), Variant::Boolean(true), 0},
      {VarType::Double, Variant::Array(SafeArray(VarType::Double, {ArrayBound{0, 1}})), Variant(),
       err::kTypeMismatch},
      {VarType::Object, Variant::Integer(1), Variant(), err::kTypeMismatch},
      {VarType::Variant, Variant::Currency(5), Variant::Currency(5), 0},
      {VarType::Variant, Variant::Null(), Variant::Null(), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(TypeName(c.element)) + " element");
    SafeArray array(c.element, {ArrayBound{0, 1}});
    const Variant before = array.Get({0});
    EXPECT_EQ(ErrorOf([&] { array.Set({0}, c.value); }), c.error);
    EXPECT_EQ(array.Get({0}), c.error == 0 ? c.stored : before);
  }
}

TEST(SafeArrayTest, VariantElementsStoreTheValueNotTheReference) {
  auto target = std::make_shared<Variant>(Variant::Long(1));
  SafeArray array(VarType::Variant, {ArrayBound{0, 1}});
  array.Set({0}, Variant::ByRef(target));
  *target = Variant::Long(2);
  const Variant stored = array.Get({0});
  EXPECT_FALSE(stored.isByRef());
  EXPECT_EQ(stored, Variant::Long(1));
}

TEST(SafeArrayTest, ByteArraysKeepPlainBytes) {
  SafeArray bytes = SafeArray::FromBytes({0, 65, 255});
  EXPECT_EQ(bytes.elementType(), VarType::Byte);
  ASSERT_EQ(bytes.bounds(), (std::vector<ArrayBound>{{0, 3}}));
  EXPECT_EQ(bytes.Get({1}), Variant::Byte(65));
  bytes.Set({0}, Variant::String("66"));
  EXPECT_EQ(bytes.bytes(), (std::vector<uint8_t>{66, 65, 255}));
  EXPECT_EQ(ErrorOf([&] { bytes.Set({0}, Variant::Integer(256)); }), err::kOverflow);
  EXPECT_EQ(ErrorOf([&] { bytes.Set({0}, Variant::Integer(-1)); }), err::kOverflow);
  EXPECT_EQ(ErrorOf([&] { bytes.Get({3}); }), err::kSubscriptOutOfRange);
  EXPECT_EQ(bytes.bytes()[0], 66);

  SafeArray empty = SafeArray::FromBytes({});
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.bounds(), (std::vector<ArrayBound>{{0, 0}}));
  EXPECT_EQ(empty.bounds()[0].upper(), -1);

  SafeArray sized(VarType::Byte, {ArrayBound{1, 2}});
  EXPECT_EQ(sized.bytes(), (std::vector<uint8_t>{0, 0}));
}

TEST(SafeArrayTest, ImpossibleArraysRaise) {
  EXPECT_EQ(ErrorOf([] { SafeArray(VarType::Empty, {ArrayBound{0, 1}}); }), err::kTypeMismatch);
  EXPECT_EQ(ErrorOf([] { SafeArray(VarType::Null, {ArrayBound{0, 1}}); }), err::kTypeMismatch);
  // Counts from a client whose product overflows, or that no memory holds.
  const uint32_t huge = std::numeric_limits<uint32_t>::max();
  EXPECT_EQ(ErrorOf([&] { SafeArray(VarType::Variant, {{0, huge}, {0, huge}, {0, huge}}); }),
            err::kOutOfMemory);
  EXPECT_EQ(ErrorOf([&] { SafeArray(VarType::Variant, {{0, huge}, {0, huge}}); }), err::kOutOfMemory);
}

// ------------------------------------------------------------------ equality

TEST(VariantEqualityTest, SameKindAndSameValue) {
  auto object = std::make_shared<NullDispatch>();
  EXPECT_EQ(Variant(), Variant());
  EXPECT_EQ(Variant::Null(), Variant::Null());
  EXPECT_NE(Variant(), Variant::Null());
  EXPECT_EQ(Variant::String("a"), Variant::String("a"));
  EXPECT_NE(Variant::String("a"), Variant::String("A"));
  EXPECT_NE(Variant::Integer(1), Variant::Long(1));
  EXPECT_NE(Variant::Double(2), Variant::Date(2));
  EXPECT_NE(Variant::Boolean(false), Variant::Integer(0));
  EXPECT_EQ(Variant::Single(0.5f), Variant::Single(0.5f));
  EXPECT_EQ(Variant::Object(object), Variant::Object(object));
  EXPECT_EQ(Variant::Object(nullptr), Variant::Object(nullptr));
  EXPECT_EQ(Variant::Error(5), Variant::Error(5));
  EXPECT_NE(Variant::Error(5), Variant::Long(5));
}

TEST(VariantEqualityTest, ArraysCompareBoundsAndElements) {
  SafeArray a(VarType::Long, {ArrayBound{0, 2}});
  SafeArray b(VarType::Long, {ArrayBound{1, 2}});
  SafeArray c(VarType::Integer, {ArrayBound{0, 2}});
  EXPECT_EQ(Variant::Array(a), Variant::Array(a));
  EXPECT_NE(Variant::Array(a), Variant::Array(b));
  EXPECT_NE(Variant::Array(a), Variant::Array(c));
  SafeArray changed = a;
  changed.Set({1}, Variant::Long(1));
  EXPECT_NE(Variant::Array(a), Variant::Array(changed));
  EXPECT_NE(Variant::Array(a), Variant::Long(0));
  EXPECT_EQ(Variant::Array(SafeArray::FromBytes({1})), Variant::Array(SafeArray::FromBytes({1})));
  EXPECT_NE(Variant::Array(SafeArray::FromBytes({1})), Variant::Array(SafeArray::FromBytes({2})));
}

}  // namespace
}  // namespace automation
