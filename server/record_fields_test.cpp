#include <gtest/gtest.h>

#include "server/application.h"
#include "tests/support/error_of.h"
#include "tests/support/test_process.h"

namespace ledgerwick {
namespace {

using automation::ArrayBound;
using automation::SafeArray;
using automation::Variant;
using automation::VarType;
using testing::ErrorOf;

class RecordFieldsTest : public ::testing::Test {
 protected:
  RecordFieldsTest() {
    process.StartWithoutStores();
    process.state.ReadyFlag = true;
  }

  // A 3 x 2 array of Variants, element (i, j) holding the text "i,j".
  static Variant Grid(int32_t firstLower = 0, int32_t secondLower = 0) {
    SafeArray array(VarType::Variant, {ArrayBound{firstLower, 3}, ArrayBound{secondLower, 2}});
    for (int32_t i = firstLower; i < firstLower + 3; ++i) {
      for (int32_t j = secondLower; j < secondLower + 2; ++j) {
        array.Set({i, j}, Variant::String(std::to_string(i) + "," + std::to_string(j)));
      }
    }
    return Variant::Array(std::move(array));
  }

  testing::TestProcess process;
  Application app{process.state};
};

TEST_F(RecordFieldsTest, FieldsReadsAndWritesTheFirstColumnInPlace) {
  Variant grid = Grid();
  app.SetArrayData(grid);
  int16_t one = 1, two = 2;
  EXPECT_EQ(app.GetFields(one), Variant::String("1,0"));
  Variant value = Variant::Long(42);
  app.SetFields(two, value);
  Variant expected = Grid();
  expected.array().Set({2, 0}, Variant::Long(42));
  EXPECT_EQ(app.GetArrayData(), expected);
}

TEST_F(RecordFieldsTest, ArrayDataIsACopyBothWays) {
  Variant grid = Grid();
  app.SetArrayData(grid);
  grid.array().Set({1, 0}, Variant::String("changed by the client"));
  int16_t one = 1;
  EXPECT_EQ(app.GetFields(one), Variant::String("1,0"));
  Variant read = app.GetArrayData();
  read.array().Set({1, 0}, Variant::String("changed in the copy"));
  EXPECT_EQ(app.GetFields(one), Variant::String("1,0"));
}

TEST_F(RecordFieldsTest, ArrayDataFollowsAReferenceAndTakesAnyValue) {
  auto target = std::make_shared<Variant>(Grid());
  Variant byRef = Variant::ByRef(target);
  app.SetArrayData(byRef);
  EXPECT_FALSE(app.GetArrayData().isByRef());
  EXPECT_EQ(app.GetArrayData(), Grid());
  Variant number = Variant::Double(2.5);
  app.SetArrayData(number);
  EXPECT_EQ(app.GetArrayData(), Variant::Double(2.5));
}

TEST_F(RecordFieldsTest, FieldsErrors) {
  int16_t zero = 0, one = 1, three = 3;
  Variant value = Variant::Long(1);
  // A new object holds no array.
  EXPECT_EQ(ErrorOf([&] { app.GetFields(zero); }), 13);
  Variant number = Variant::Long(5);
  app.SetArrayData(number);
  EXPECT_EQ(app.GetArrayData(), Variant::Long(5));
  EXPECT_EQ(ErrorOf([&] { app.GetFields(zero); }), 13);
  EXPECT_EQ(ErrorOf([&] { app.SetFields(zero, value); }), 13);

  Variant fromOne = Grid(1, 0);
  app.SetArrayData(fromOne);
  EXPECT_EQ(ErrorOf([&] { app.GetFields(zero); }), 9);
  EXPECT_EQ(app.GetFields(one), Variant::String("1,0"));
  EXPECT_EQ(ErrorOf([&] { app.GetFields(three); }), 0);
  int16_t four = 4;
  EXPECT_EQ(ErrorOf([&] { app.GetFields(four); }), 9);

  Variant secondFromOne = Grid(0, 1);
  app.SetArrayData(secondFromOne);
  EXPECT_EQ(ErrorOf([&] { app.GetFields(zero); }), 9);
  EXPECT_EQ(ErrorOf([&] { app.SetFields(one, value); }), 9);

  Variant oneDimension = Variant::Array(SafeArray(VarType::Variant, {ArrayBound{0, 3}}));
  app.SetArrayData(oneDimension);
  EXPECT_EQ(ErrorOf([&] { app.GetFields(zero); }), 9);
}

TEST_F(RecordFieldsTest, FieldsWriteConvertsToAFixedElementType) {
  Variant texts = Variant::Array(SafeArray(VarType::String, {ArrayBound{0, 2}, ArrayBound{0, 1}}));
  app.SetArrayData(texts);
  int16_t one = 1;
  Variant number = Variant::Long(7);
  app.SetFields(one, number);
  EXPECT_EQ(app.GetFields(one), Variant::String("7"));

  Variant longs = Variant::Array(SafeArray(VarType::Long, {ArrayBound{0, 2}, ArrayBound{0, 1}}));
  app.SetArrayData(longs);
  Variant word = Variant::String("seven");
  EXPECT_EQ(ErrorOf([&] { app.SetFields(one, word); }), 13);
  EXPECT_EQ(app.GetFields(one), Variant::Long(0));  // left as it was
}

TEST_F(RecordFieldsTest, FieldMapListsMappedFieldsInOrder) {
  Variant map = app.GetFieldMap();
  ASSERT_TRUE(map.isArray());
  EXPECT_EQ(map.array().elementType(), VarType::String);
  EXPECT_EQ(map.array().bounds(), (std::vector<ArrayBound>{{0, 19}}));
  EXPECT_EQ(map.array().Get({0}), Variant::String("AppName"));
  EXPECT_EQ(map.array().Get({18}), Variant::String("DetailLevel"));
}

TEST_F(RecordFieldsTest, FieldMapOfCustomSets) {
  struct Case {
    std::vector<bool> mapped;
    std::vector<std::string> expected;  // empty: error 9
  };
  std::vector<Case> cases = {
      {{false, true, true, false, true}, {"f1", "f2", "f4"}},
      {{false, false, true}, {"f2"}},
      {{false, false}, {}},
  };
  for (const Case& c : cases) {
    // A set holding only the fields of this case.
    recordkit::PropertySet custom;
    for (size_t i = 0; i < c.mapped.size(); ++i) custom.Add("f" + std::to_string(i), Variant(), c.mapped[i]);
    // Loaded into the object's own set.
    *app.GetProperties() = custom;
    if (c.expected.empty()) {
      EXPECT_EQ(ErrorOf([&] { app.GetFieldMap(); }), 9);
      continue;
    }
    Variant map = app.GetFieldMap();
    ASSERT_EQ(map.array().size(), c.expected.size());
    for (size_t k = 0; k < c.expected.size(); ++k) {
      EXPECT_EQ(map.array().Get({static_cast<int32_t>(k)}), Variant::String(c.expected[k]));
    }
  }
}

}  // namespace
}  // namespace ledgerwick
