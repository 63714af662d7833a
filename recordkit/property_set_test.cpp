#include "recordkit/property_set.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kj/async.h>

#include "automation/automation_error.h"
#include "tests/support/error_of.h"

namespace recordkit {
namespace {

using automation::AutomationError;
using automation::DispId;
using automation::Variant;
using automation::VarType;
namespace flags = automation::dispatch_flags;

using ledgerwick::testing::ErrorOf;

const std::vector<std::string> kExpectedEventFields = {
    "AppName",  "AppVersion", "Description", "Severity", "EventCode",   "AddlText", "EventData",
    "UserName", "EventDate",  "EventTime",   "LogDate",  "LogTime",     "HelpFile", "HelpContext",
    "SubName",  "ModuleName", "UserDescription", "UserComment", "DetailLevel"};

std::vector<std::string> NamesOf(const PropertySet& set) {
  std::vector<std::string> names;
  for (const auto& p : set.Properties()) names.push_back(p->Name());
  return names;
}

TEST(PropertySetTest, NewEventSetHoldsTheNineteenFieldsMappedAndEmpty) {
  auto set = PropertySet::NewEventSet();
  EXPECT_EQ(NamesOf(*set), kExpectedEventFields);
  EXPECT_EQ(set->Count(), 19u);
  for (size_t i = 0; i < 19; ++i) EXPECT_EQ(kEventFieldNames[i], kExpectedEventFields[i]);
  for (const auto& p : set->Properties()) {
    SCOPED_TRACE(p->Name());
    EXPECT_TRUE(p->Mapped());
    EXPECT_TRUE(p->Value().isEmpty());
  }
}

TEST(PropertySetTest, NewEventSetsAreIndependent) {
  auto a = PropertySet::NewEventSet();
  auto b = PropertySet::NewEventSet();
  a->Item("AppName")->SetValue(Variant::String("one"));
  EXPECT_TRUE(b->Item("AppName")->Value().isEmpty());
}

TEST(PropertySetTest, ItemMatchesNamesWithoutRegardToCase) {
  auto set = PropertySet::NewEventSet();
  auto logDate = set->Item("LogDate");
  for (const char* name : {"LogDate", "logdate", "LOGDATE", "lOgDaTe"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(set->Item(name), logDate);
    EXPECT_EQ(set->Find(name), logDate);
  }
  EXPECT_EQ(logDate->Name(), "LogDate");  // the field keeps its own spelling
}

TEST(PropertySetTest, ItemOfANameTheSetDoesNotHoldRaises5) {
  auto set = PropertySet::NewEventSet();
  for (const char* name : {"", "LogDat", "LogDate ", "NoSuchField", "Log_Date"}) {
    SCOPED_TRACE(name);
    try {
      set->Item(name);
      ADD_FAILURE() << "no error";
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.number(), 5);
      EXPECT_EQ(e.description(), "Invalid procedure call or argument");
    }
    EXPECT_EQ(set->Find(name), nullptr);
  }
}

TEST(PropertySetTest, CustomSetsKeepTheOrderOfAddingOverRepeatedPasses) {
  PropertySet set;
  EXPECT_EQ(set.Count(), 0u);
  set.Add("Zeta", Variant::Long(1), true);
  set.Add("Alpha", Variant::String("a"), false);
  set.Add("Mid", Variant::Null(), true);
  const std::vector<std::string> expected = {"Zeta", "Alpha", "Mid"};
  EXPECT_EQ(NamesOf(set), expected);
  EXPECT_EQ(NamesOf(set), expected);  // a second pass gives the same order
  EXPECT_FALSE(set.Item("alpha")->Mapped());
  EXPECT_EQ(set.Item("ZETA")->Value(), Variant::Long(1));
  EXPECT_TRUE(set.Item("mid")->Value().isNull());
}

TEST(PropertySetTest, AddOfAHeldNameReplacesValueAndFlagInPlace) {
  PropertySet set;
  auto first = set.Add("Alpha", Variant::Long(1), true);
  set.Add("Beta", Variant::Long(2), true);
  auto again = set.Add("ALPHA", Variant::String("x"), false);
  EXPECT_EQ(again, first);  // the same object, so earlier Item results stay live
  EXPECT_EQ(set.Count(), 2u);
  EXPECT_EQ(NamesOf(set), (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_EQ(first->Value(), Variant::String("x"));
  EXPECT_FALSE(first->Mapped());
}

TEST(PropertySetTest, SetValueStoresACopyOfTheValue) {
  auto set = PropertySet::NewEventSet();
  auto p = set->Item("EventData");

  automation::SafeArray array(VarType::Long, {{0, 2}});
  array.SetFlat(0, Variant::Long(5));
  Variant source = Variant::Array(array);
  p->SetValue(source);
  source.array().SetFlat(0, Variant::Long(99));
  EXPECT_EQ(p->Value().array().GetFlat(0), Variant::Long(5));
}

TEST(PropertySetTest, SetValueFollowsAByReferenceValueToItsTarget) {
  auto set = PropertySet::NewEventSet();
  auto p = set->Item("AppName");
  auto target = std::make_shared<Variant>(Variant::String("before"));
  auto outer = std::make_shared<Variant>(Variant::ByRef(target));
  p->SetValue(Variant::ByRef(outer));  // a reference to a reference
  EXPECT_FALSE(p->Value().isByRef());
  EXPECT_EQ(p->Value(), Variant::String("before"));
  *target = Variant::String("after");
  EXPECT_EQ(p->Value(), Variant::String("before"));
}

// ---------------------------------------------------------------- late-bound calls

class PropertyDispatchTest : public ::testing::Test {
 protected:
  Variant Call(automation::Dispatch& object, DispId id, uint16_t f, std::vector<Variant> args = {}) {
    return object.Invoke(id, f, args).wait(*waitScope_);
  }
  int32_t CallError(automation::Dispatch& object, DispId id, uint16_t f, std::vector<Variant> args = {}) {
    return ErrorOf([&] { Call(object, id, f, std::move(args)); });
  }

  // Held by pointer: their destructors may throw, which a fixture's must not.
  std::unique_ptr<kj::EventLoop> loop_ = std::make_unique<kj::EventLoop>();
  std::unique_ptr<kj::WaitScope> waitScope_ = std::make_unique<kj::WaitScope>(*loop_);
  std::shared_ptr<PropertySet> set_ = PropertySet::NewEventSet();
};

TEST_F(PropertyDispatchTest, PropertyValueNameAndMapped) {
  auto p = set_->Item("Severity");
  EXPECT_TRUE(Call(*p, property_dispid::kValue, flags::kPropertyPut, {Variant::Integer(3)}).isEmpty());
  EXPECT_EQ(p->Value(), Variant::Integer(3));
  EXPECT_EQ(Call(*p, property_dispid::kValue, flags::kPropertyGet), Variant::Integer(3));
  // Late binding may send a get as a method call as well.
  EXPECT_EQ(Call(*p, property_dispid::kValue, flags::kMethod | flags::kPropertyGet), Variant::Integer(3));
  EXPECT_EQ(Call(*p, property_dispid::kName, flags::kPropertyGet), Variant::String("Severity"));
  Variant mapped = Call(*p, property_dispid::kMapped, flags::kPropertyGet);
  EXPECT_EQ(mapped, Variant::Boolean(true));

  PropertySet custom;
  auto unmapped = custom.Add("Extra", Variant(), false);
  EXPECT_EQ(Call(*unmapped, property_dispid::kMapped, flags::kPropertyGet), Variant::Boolean(false));
}

TEST_F(PropertyDispatchTest, PropertyValuePutFollowsAByReferenceArgument) {
  auto p = set_->Item("UserName");
  auto target = std::make_shared<Variant>(Variant::String("ann"));
  Call(*p, property_dispid::kValue, flags::kPropertyPut, {Variant::ByRef(target)});
  *target = Variant::String("bob");
  EXPECT_EQ(p->Value(), Variant::String("ann"));
}

TEST_F(PropertyDispatchTest, PropertyErrors) {
  auto p = set_->Item("AppName");
  struct Case {
    const char* what;
    DispId id;
    uint16_t flags;
    size_t argCount;
    int32_t expected;
  };
  const Case cases[] = {
      {"unknown id", 7, flags::kPropertyGet, 0, 438},
      {"negative id", -4, flags::kPropertyGet, 0, 438},
      {"Name put", property_dispid::kName, flags::kPropertyPut, 1, 438},
      {"Mapped put", property_dispid::kMapped, flags::kPropertyPut, 1, 438},
      {"Value put by reference", property_dispid::kValue, flags::kPropertyPutRef, 1, 438},
      {"no access flag", property_dispid::kValue, 0, 0, 438},
      {"Value get with an argument", property_dispid::kValue, flags::kPropertyGet, 1, 450},
      {"Value put without a value", property_dispid::kValue, flags::kPropertyPut, 0, 450},
      {"Value put with two values", property_dispid::kValue, flags::kPropertyPut, 2, 450},
      {"Name get with an argument", property_dispid::kName, flags::kPropertyGet, 1, 450},
      {"Mapped get with an argument", property_dispid::kMapped, flags::kPropertyGet, 1, 450},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(CallError(*p, c.id, c.flags, std::vector<Variant>(c.argCount, Variant::Long(1))), c.expected);
  }
  EXPECT_TRUE(p->Value().isEmpty());  // no failed put changed the value
}

TEST_F(PropertyDispatchTest, PropertyNamesToIds) {
  auto p = set_->Item("AppName");
  EXPECT_EQ(p->GetIDsOfNames({"value", "NAME", "Mapped"}),
            (std::vector<DispId>{property_dispid::kValue, property_dispid::kName, property_dispid::kMapped}));
  EXPECT_EQ(ErrorOf([&] { p->GetIDsOfNames({"Value", "Size"}); }), 438);
}

TEST_F(PropertyDispatchTest, SetItemAnswersThePropertyAsAnObject) {
  auto expected = set_->Item("LogDate");
  Variant result = Call(*set_, property_set_dispid::kItem, flags::kPropertyGet, {Variant::String("logdate")});
  ASSERT_EQ(result.type(), VarType::Object);
  EXPECT_EQ(result.object(), expected);

  // The argument may be by reference, and is converted to text.
  auto name = std::make_shared<Variant>(Variant::String("APPNAME"));
  result = Call(*set_, property_set_dispid::kItem, flags::kMethod | flags::kPropertyGet, {Variant::ByRef(name)});
  EXPECT_EQ(result.object(), set_->Item("AppName"));

  PropertySet custom;
  auto numbered = custom.Add("42", Variant(), true);
  result = Call(custom, property_set_dispid::kItem, flags::kPropertyGet, {Variant::Long(42)});
  EXPECT_EQ(result.object(), numbered);
}

TEST_F(PropertyDispatchTest, SetCountAnswersTheNumberOfFields) {
  EXPECT_EQ(Call(*set_, property_set_dispid::kCount, flags::kPropertyGet), Variant::Long(19));
  PropertySet custom;
  EXPECT_EQ(Call(custom, property_set_dispid::kCount, flags::kPropertyGet), Variant::Long(0));
}

TEST_F(PropertyDispatchTest, SetErrors) {
  struct Case {
    const char* what;
    DispId id;
    uint16_t flags;
    std::vector<Variant> args;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {"missing name", property_set_dispid::kItem, flags::kPropertyGet, {Variant::String("Nope")}, 5},
      {"Null name", property_set_dispid::kItem, flags::kPropertyGet, {Variant::Null()}, 94},
      {"Item without a name", property_set_dispid::kItem, flags::kPropertyGet, {}, 450},
      {"Item with two names", property_set_dispid::kItem, flags::kPropertyGet,
       {Variant::String("AppName"), Variant::String("AppName")}, 450},
      {"Item put", property_set_dispid::kItem, flags::kPropertyPut,
       {Variant::String("AppName"), Variant::Long(1)}, 438},
      {"Count with an argument", property_set_dispid::kCount, flags::kPropertyGet, {Variant::Long(1)}, 450},
      {"Count put", property_set_dispid::kCount, flags::kPropertyPut, {Variant::Long(1)}, 438},
      {"unknown id", 2, flags::kPropertyGet, {}, 438},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(CallError(*set_, c.id, c.flags, c.args), c.expected);
  }
  EXPECT_EQ(set_->Count(), 19u);
}

TEST_F(PropertyDispatchTest, SetNamesToIds) {
  EXPECT_EQ(set_->GetIDsOfNames({"item", "COUNT"}),
            (std::vector<DispId>{property_set_dispid::kItem, property_set_dispid::kCount}));
  EXPECT_EQ(ErrorOf([&] { set_->GetIDsOfNames({"Value"}); }), 438);
}

}  // namespace
}  // namespace recordkit
