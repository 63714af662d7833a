#include "recordkit/property_packer.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <capnp/any.h>
#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include "automation/variant_codec.h"
#include "recordkit/packed_record.capnp.h"
#include "tests/support/null_dispatch.h"
#include "tests/support/variant_printer.h"

namespace recordkit {
namespace {

using automation::ArrayBound;
using automation::SafeArray;
using automation::Variant;
using automation::VarType;

struct FieldState {
  std::string name;
  Variant value;
  bool mapped;
  bool operator==(const FieldState&) const = default;
  friend void PrintTo(const FieldState& f, std::ostream* os) {
    *os << f.name << (f.mapped ? " (mapped) = " : " = ");
    automation::PrintTo(f.value, os);
  }
};

std::vector<FieldState> Snapshot(const PropertySet& set) {
  std::vector<FieldState> state;
  for (const auto& p : set.Properties()) state.push_back({p->Name(), p->Value(), p->Mapped()});
  return state;
}

// An array of `type` whose element i (in storage order) is fill(i).
Variant MakeArray(VarType type, std::vector<ArrayBound> bounds, const std::function<Variant(size_t)>& fill) {
  SafeArray array(type, std::move(bounds));
  for (size_t i = 0; i < array.size(); ++i) array.SetFlat(i, fill(i));
  return Variant::Array(std::move(array));
}

// A single Variant-element array nested `levels` deep around a Long.
Variant Nested(int levels) {
  Variant v = Variant::Long(levels);
  for (int i = 0; i < levels; ++i) {
    SafeArray array(VarType::Variant, {{0, 1}});
    array.SetFlat(0, v);
    v = Variant::Array(std::move(array));
  }
  return v;
}

// One value of every kind, arrays of every element type among them.
std::vector<std::pair<std::string, Variant>> EveryKind() {
  Variant innerBytes = MakeArray(VarType::Byte, {{3, 4}}, [](size_t i) { return Variant::Byte(uint8_t(200 + i)); });
  Variant innerVariants = MakeArray(VarType::Variant, {{0, 3}}, [&](size_t i) {
    return i == 0 ? Variant::String("deep") : i == 1 ? innerBytes : Variant::Null();
  });
  Variant inner2D = MakeArray(VarType::Long, {{1, 2}, {-1, 2}}, [](size_t i) { return Variant::Long(int32_t(i) * 11); });
  const std::vector<Variant> mixed = {
      Variant(), Variant::Null(), Variant::Integer(-7), Variant::Long(70000), Variant::Single(2.5f),
      Variant::Double(-0.125), Variant::Currency(12345678), Variant::Date(36526.5), Variant::String("mixed"),
      Variant::Boolean(true), Variant::Byte(9), Variant::Error(448), inner2D, innerVariants};

  return {
      {"Empty", Variant()},
      {"Null", Variant::Null()},
      {"IntegerMin", Variant::Integer(std::numeric_limits<int16_t>::min())},
      {"IntegerMax", Variant::Integer(std::numeric_limits<int16_t>::max())},
      {"LongMin", Variant::Long(std::numeric_limits<int32_t>::min())},
      {"Long", Variant::Long(123456)},
      {"Single", Variant::Single(1.1f)},
      {"SingleLarge", Variant::Single(-3.4e38f)},
      {"Double", Variant::Double(0.1)},
      {"DoubleTiny", Variant::Double(5e-324)},
      {"CurrencyMin", Variant::Currency(std::numeric_limits<int64_t>::min())},
      {"Currency", Variant::Currency(-98765)},
      {"Date", Variant::Date(45000.75)},
      {"DateBefore1899", Variant::Date(-1.5)},
      {"StringEmpty", Variant::String("")},
      {"StringControls", Variant::String("tab\there\r\nnext line")},
      {"StringUtf8", Variant::String("caf\xc3\xa9 \xe2\x82\xac")},
      {"StringWithNul", Variant::String(std::string("a\0b", 3))},
      {"True", Variant::Boolean(true)},
      {"False", Variant::Boolean(false)},
      {"ByteZero", Variant::Byte(0)},
      {"Byte", Variant::Byte(255)},
      {"Error", Variant::Error(static_cast<int32_t>(0x800A0005u))},
      {"LongArrayFromMinus3", MakeArray(VarType::Long, {{-3, 4}}, [](size_t i) { return Variant::Long(int32_t(i) - 100); })},
      {"IntegerArray2D", MakeArray(VarType::Integer, {{1, 3}, {-1, 2}}, [](size_t i) { return Variant::Integer(int16_t(i)); })},
      {"StringArray3D", MakeArray(VarType::String, {{0, 2}, {5, 2}, {-2, 3}}, [](size_t i) { return Variant::String("s" + std::to_string(i)); })},
      {"EmptyDoubleArray", MakeArray(VarType::Double, {{0, 0}}, [](size_t) { return Variant(); })},
      {"EmptySecondDimension", MakeArray(VarType::Long, {{1, 3}, {0, 0}}, [](size_t) { return Variant(); })},
      {"SingleArray", MakeArray(VarType::Single, {{0, 2}}, [](size_t i) { return Variant::Single(float(i) / 4); })},
      {"DoubleArray", MakeArray(VarType::Double, {{10, 3}}, [](size_t i) { return Variant::Double(double(i) / 3); })},
      {"CurrencyArray", MakeArray(VarType::Currency, {{0, 2}}, [](size_t i) { return Variant::Currency(int64_t(i) * 10000); })},
      {"DateArray", MakeArray(VarType::Date, {{0, 2}}, [](size_t i) { return Variant::Date(40000.0 + double(i)); })},
      {"BooleanArray", MakeArray(VarType::Boolean, {{0, 3}}, [](size_t i) { return Variant::Boolean(i % 2 == 1); })},
      {"ErrorArray", MakeArray(VarType::Error, {{0, 2}}, [](size_t i) { return Variant::Error(int32_t(i) + 5); })},
      {"ByteArray", MakeArray(VarType::Byte, {{0, 256}}, [](size_t i) { return Variant::Byte(uint8_t(i)); })},
      {"ByteArray2DFrom1", MakeArray(VarType::Byte, {{1, 2}, {-5, 3}}, [](size_t i) { return Variant::Byte(uint8_t(i * 7)); })},
      {"VariantArrayMixed", MakeArray(VarType::Variant, {{-1, static_cast<uint32_t>(mixed.size())}}, [&](size_t i) { return mixed[i]; })},
      {"VariantArray2D", MakeArray(VarType::Variant, {{-1, 2}, {10, 2}}, [&](size_t i) { return mixed[i + 8]; })},
      {"DeepestNesting", Nested(automation::kMaxArrayNesting)},
  };
}

// A set holding every kind, mapped and unmapped in turn.
std::shared_ptr<PropertySet> EveryKindSet() {
  auto set = std::make_shared<PropertySet>();
  bool mapped = true;
  for (auto& [name, value] : EveryKind()) {
    set->Add(name, value, mapped);
    mapped = !mapped;
  }
  return set;
}

Variant PackOrFail(const PropertySet& set) {
  PropertyPacker packer;
  Variant data;
  EXPECT_EQ(packer.PackProperties(data, set), 0);
  return data;
}

std::vector<uint8_t> BytesOf(const Variant& record) { return record.array().bytes(); }
Variant RecordOf(std::vector<uint8_t> bytes) { return Variant::Array(SafeArray::FromBytes(std::move(bytes))); }

// A set such as Loggit unpacks into: the event fields, a few with values.
std::shared_ptr<PropertySet> TargetSet() {
  auto set = PropertySet::NewEventSet();
  set->Item("AppName")->SetValue(Variant::String("target"));
  set->Item("Severity")->SetValue(Variant::Integer(2));
  return set;
}

// ---------------------------------------------------------------- packing

TEST(PropertyPackerTest, EveryKindSurvivesPackAndUnpack) {
  auto source = EveryKindSet();
  Variant record = PackOrFail(*source);

  PropertySet target;
  PropertyPacker packer;
  ASSERT_EQ(packer.UnpackProperties(record, target), 0);
  auto expected = Snapshot(*source);
  auto actual = Snapshot(target);
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(actual[i], expected[i]);
  }
}

TEST(PropertyPackerTest, ThePackedRecordIsAZeroBasedByteArrayHoldingTheFields) {
  auto set = PropertySet::NewEventSet();
  set->Item("Description")->SetValue(Variant::String("disk full"));
  set->Add("Extra", Variant::Long(5), false);
  Variant record = PackOrFail(*set);

  ASSERT_TRUE(record.isArray());
  ASSERT_EQ(record.type(), VarType::Byte);
  ASSERT_EQ(record.array().dimensions(), 1u);
  EXPECT_EQ(record.array().bounds()[0].lower, 0);
  const auto& bytes = record.array().bytes();
  EXPECT_EQ(record.array().bounds()[0].count, bytes.size());
  ASSERT_EQ(bytes.size() % sizeof(capnp::word), 0u);

  // The bytes are one flat Cap'n Proto message of a PackedRecord, fields in the set's order.
  auto words = kj::heapArray<capnp::word>(bytes.size() / sizeof(capnp::word));
  std::memcpy(words.begin(), bytes.data(), bytes.size());
  capnp::FlatArrayMessageReader reader(words);
  EXPECT_EQ(reader.getEnd(), words.end());
  auto fields = reader.getRoot<wire::PackedRecord>().getFields();
  ASSERT_EQ(fields.size(), 20u);
  for (size_t i = 0; i < 19; ++i) {
    EXPECT_EQ(std::string(fields[i].getName().cStr()), kEventFieldNames[i]);
    EXPECT_TRUE(fields[i].getMapped());
  }
  EXPECT_EQ(std::string(fields[2].getValue().getString().cStr()), "disk full");
  EXPECT_EQ(std::string(fields[19].getName().cStr()), "Extra");
  EXPECT_FALSE(fields[19].getMapped());
  EXPECT_EQ(fields[19].getValue().getLong(), 5);
}

TEST(PropertyPackerTest, ThePackedRecordStandsOnItsOwn) {
  auto set = PropertySet::NewEventSet();
  set->Item("AppName")->SetValue(Variant::String("first"));
  Variant record = PackOrFail(*set);
  // Loggit refills the same set while the record waits in the queue.
  set->Item("AppName")->SetValue(Variant::String("second"));
  set->Add("Later", Variant::Long(1), true);

  auto target = PropertySet::NewEventSet();
  ASSERT_EQ(PropertyPacker().UnpackProperties(record, *target), 0);
  EXPECT_EQ(target->Item("AppName")->Value(), Variant::String("first"));
  EXPECT_EQ(target->Find("Later"), nullptr);
}

TEST(PropertyPackerTest, PackWritesThroughAByReferenceData) {
  auto set = TargetSet();
  auto target = std::make_shared<Variant>(Variant::Long(1));
  Variant data = Variant::ByRef(target);
  ASSERT_EQ(PropertyPacker().PackProperties(data, *set), 0);
  EXPECT_TRUE(data.isByRef());
  ASSERT_TRUE(target->isArray());
  EXPECT_EQ(target->type(), VarType::Byte);
}

TEST(PropertyPackerTest, AnObjectValueRefusesToPackAndLeavesDataAsItWas) {
  auto object = std::make_shared<ledgerwick::testing::NullDispatch>();
  SafeArray objects(VarType::Object, {{0, 2}});
  SafeArray holding(VarType::Variant, {{0, 2}});
  holding.SetFlat(0, Variant::Long(1));
  holding.SetFlat(1, Variant::Object(object));
  const std::vector<std::pair<std::string, Variant>> cases = {
      {"an object", Variant::Object(object)},
      {"a reference to no object", Variant::Object(nullptr)},
      {"an array of objects", Variant::Array(objects)},
      {"an object inside a Variant array", Variant::Array(holding)},
      {"arrays nested too deeply", Nested(automation::kMaxArrayNesting + 1)},
  };
  for (const auto& [what, value] : cases) {
    SCOPED_TRACE(what);
    auto set = TargetSet();
    set->Add("Attachment", value, true);
    Variant data = Variant::Long(7);
    EXPECT_EQ(PropertyPacker().PackProperties(data, *set), 13);
    EXPECT_EQ(data, Variant::Long(7));
  }
}

// ---------------------------------------------------------------- unpacking

TEST(PropertyPackerTest, EmptyDataAnswers0AndLeavesTheSet) {
  auto set = TargetSet();
  auto before = Snapshot(*set);
  Variant empty;
  EXPECT_EQ(PropertyPacker().UnpackProperties(empty, *set), 0);
  auto target = std::make_shared<Variant>();
  Variant byRefEmpty = Variant::ByRef(target);
  EXPECT_EQ(PropertyPacker().UnpackProperties(byRefEmpty, *set), 0);
  EXPECT_EQ(Snapshot(*set), before);
}

TEST(PropertyPackerTest, UnpackSetsHeldFieldsAndAddsOthersWithTheirMappedFlag) {
  PropertySet source;
  source.Add("logdate", Variant::Date(45000), false);  // matches "LogDate" whatever the case
  source.Add("Severity", Variant::Integer(4), false);
  source.Add("Extra1", Variant::String("one"), false);
  source.Add("Extra2", Variant::String("two"), true);
  Variant record = PackOrFail(source);

  auto set = TargetSet();
  auto before = Snapshot(*set);
  ASSERT_EQ(PropertyPacker().UnpackProperties(record, *set), 0);

  auto after = Snapshot(*set);
  ASSERT_EQ(after.size(), 21u);
  for (size_t i = 0; i < 19; ++i) {
    SCOPED_TRACE(after[i].name);
    EXPECT_EQ(after[i].name, before[i].name);
    EXPECT_TRUE(after[i].mapped);  // a held field keeps its own flag
    if (after[i].name == "LogDate") {
      EXPECT_EQ(after[i].value, Variant::Date(45000));
    } else if (after[i].name == "Severity") {
      EXPECT_EQ(after[i].value, Variant::Integer(4));
    } else {
      EXPECT_EQ(after[i].value, before[i].value);  // fields the record lacks are left alone
    }
  }
  EXPECT_EQ(after[19], (FieldState{"Extra1", Variant::String("one"), false}));
  EXPECT_EQ(after[20], (FieldState{"Extra2", Variant::String("two"), true}));
}

TEST(PropertyPackerTest, UnpackFollowsAByReferenceDataAndLeavesItAsItWas) {
  auto source = TargetSet();
  source->Item("UserName")->SetValue(Variant::String("ann"));
  auto record = std::make_shared<Variant>(PackOrFail(*source));
  const Variant original = *record;
  Variant data = Variant::ByRef(record);

  auto set = PropertySet::NewEventSet();
  ASSERT_EQ(PropertyPacker().UnpackProperties(data, *set), 0);
  EXPECT_EQ(set->Item("UserName")->Value(), Variant::String("ann"));
  EXPECT_EQ(*record, original);
}

// ---------------------------------------------------------------- rejected input

// Unpacks `data` into a fresh target set and checks that it was refused and that
// neither the set nor the data changed.
void ExpectRejected(Variant data) {
  auto set = TargetSet();
  auto before = Snapshot(*set);
  const Variant original = data;
  EXPECT_NE(PropertyPacker().UnpackProperties(data, *set), 0);
  EXPECT_EQ(Snapshot(*set), before);
  EXPECT_EQ(data, original);
}

// The flat bytes of `message` as a byte-array Variant.
Variant MessageBytes(capnp::MessageBuilder& message) {
  auto words = capnp::messageToFlatArray(message);
  auto bytes = words.asBytes();
  return RecordOf(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

// A record whose one field is written straight onto the wire by `build`.
Variant CraftedRecord(const std::function<void(automation::wire::Variant::Builder)>& build,
                      const char* name = "Hostile") {
  capnp::MallocMessageBuilder message;
  auto field = message.initRoot<wire::PackedRecord>().initFields(1)[0];
  field.setName(name);
  field.setMapped(true);
  build(field.initValue());
  return MessageBytes(message);
}

void SetBounds(automation::wire::Array::Builder array, const std::vector<ArrayBound>& bounds) {
  auto list = array.initBounds(static_cast<unsigned>(bounds.size()));
  for (size_t i = 0; i < bounds.size(); ++i) {
    list[i].setLower(bounds[i].lower);
    list[i].setCount(bounds[i].count);
  }
}

// A Long array on the wire with the given bounds and `count` Long elements.
std::function<void(automation::wire::Variant::Builder)> LongArray(std::vector<ArrayBound> bounds, unsigned count,
                                                                  uint16_t elementType = 3) {
  return [=](automation::wire::Variant::Builder v) {
    auto array = v.initArray();
    array.setElementType(elementType);
    SetBounds(array, bounds);
    auto elements = array.initElements(count);
    for (unsigned i = 0; i < count; ++i) elements[i].setLong(int32_t(i));
  };
}

// The number of segments the message of a packed record has, from its segment table.
uint32_t SegmentsOf(const Variant& record) {
  const auto& bytes = record.array().bytes();
  uint32_t countLessOne = 0;
  std::memcpy(&countLessOne, bytes.data(), sizeof countLessOne);
  return countLessOne + 1;
}

TEST(PropertyPackerTest, EveryRecordIsBuiltInOneSegment) {
  // Texts of each length about a word's edge, where the room a text takes steps up.
  auto texts = PropertySet::NewEventSet();
  for (size_t i = 0; i < 19; ++i) {
    texts->Properties()[i]->SetValue(Variant::String(std::string(i, 'x')));
  }
  texts->Add(std::string(23, 'N'), Variant::String(std::string(64, 'y')), false);
  auto typical = PropertySet::NewEventSet();
  typical->Item("Description")->SetValue(Variant::String("Could not reach the print server, try 12"));
  typical->Item("EventCode")->SetValue(Variant::Long(4711));
  typical->Item("EventDate")->SetValue(Variant::Date(46000));
  const SenderIdentity sender{true, true, 1000, 1000, 4242, "client.example"};
  const JournalStamp stamp{7, 99};
  const std::shared_ptr<PropertySet> sets[] = {EveryKindSet(), texts, typical, PropertySet::NewEventSet(),
                                              std::make_shared<PropertySet>()};
  PropertyPacker packer;
  for (const auto& set : sets) {
    for (bool stamped : {false, true}) {
      SCOPED_TRACE(std::to_string(set->Count()) + (stamped ? " fields, stamped" : " fields"));
      Variant record;
      ASSERT_EQ(stamped ? packer.PackProperties(record, *set, sender, stamp) : packer.PackProperties(record, *set), 0);
      EXPECT_EQ(SegmentsOf(record), 1u);
      PackedFields fields;
      ASSERT_EQ(packer.ReadFields(record, fields), 0);
      ASSERT_EQ(fields.fields.size(), set->Count());
      for (size_t i = 0; i < fields.fields.size(); ++i) {
        EXPECT_EQ(fields.fields[i].name, set->Properties()[i]->Name());
        EXPECT_EQ(fields.fields[i].value, set->Properties()[i]->Value());
      }
      EXPECT_EQ(fields.journal.sequence, stamped ? 99 : 0);
      EXPECT_EQ(fields.sender.subject, stamped ? "client.example" : "");
    }
  }
}

TEST(PropertyPackerTest, AnEmptyValueReadsTheSameWithOrWithoutItsValueStruct) {
  // Records packed earlier carry a value struct for an Empty field; now it is left out.
  capnp::MallocMessageBuilder message;
  auto fields = message.initRoot<wire::PackedRecord>().initFields(3);
  fields[0].setName("AppName");
  fields[0].setMapped(true);
  fields[0].initValue().setEmpty();
  fields[1].setName("Severity");
  fields[1].setMapped(true);
  fields[1].initValue().setInteger(2);
  fields[2].setName("Extra");
  fields[2].setMapped(false);
  const Variant older = MessageBytes(message);

  auto set = std::make_shared<PropertySet>();
  set->Add("AppName", Variant(), true);
  set->Add("Severity", Variant::Integer(2), true);
  set->Add("Extra", Variant(), false);
  const Variant newer = PackOrFail(*set);
  EXPECT_LT(BytesOf(newer).size(), BytesOf(older).size());

  PropertyPacker packer;
  for (const Variant* record : {&older, &newer}) {
    PackedFields read;
    ASSERT_EQ(packer.ReadFields(*record, read), 0);
    ASSERT_EQ(read.fields.size(), 3u);
    EXPECT_TRUE(read.fields[0].value.isEmpty());
    EXPECT_EQ(read.fields[1].value, Variant::Integer(2));
    EXPECT_TRUE(read.fields[2].value.isEmpty());
    EXPECT_FALSE(read.fields[2].mapped);

    // Unpacked over values a set held, each Empty field empties its own.
    auto target = std::make_shared<PropertySet>();
    target->Add("AppName", Variant::String("before"), true);
    target->Add("Extra", Variant::Long(1), false);
    Variant data = *record;
    ASSERT_EQ(packer.UnpackProperties(data, *target), 0);
    EXPECT_TRUE(target->Item("AppName")->Value().isEmpty());
    EXPECT_TRUE(target->Item("Extra")->Value().isEmpty());
    EXPECT_EQ(target->Item("Severity")->Value(), Variant::Integer(2));
  }
}

TEST(PropertyPackerTest, RejectsDataThatIsNotAByteArray) {
  std::vector<uint8_t> valid = BytesOf(PackOrFail(*TargetSet()));
  const std::vector<std::pair<std::string, Variant>> cases = {
      {"a Long", Variant::Long(5)},
      {"a String", Variant::String("abc")},
      {"Null", Variant::Null()},
      {"a Boolean", Variant::Boolean(true)},
      {"a Long array of the record's bytes",
       MakeArray(VarType::Long, {{0, uint32_t(valid.size())}}, [&](size_t i) { return Variant::Long(valid[i]); })},
      {"a Variant array of the record's bytes",
       MakeArray(VarType::Variant, {{0, uint32_t(valid.size())}}, [&](size_t i) { return Variant::Byte(valid[i]); })},
      {"a 2-D byte array of the record's bytes",
       MakeArray(VarType::Byte, {{0, 8}, {0, uint32_t(valid.size() / 8)}}, [&](size_t i) { return Variant::Byte(valid[i]); })},
      {"an empty byte array", RecordOf({})},
  };
  for (const auto& [what, data] : cases) {
    SCOPED_TRACE(what);
    ExpectRejected(data);
  }
}

TEST(PropertyPackerTest, RejectsBytesThatAreNotOneWholeRecord) {
  std::vector<uint8_t> valid = BytesOf(PackOrFail(*EveryKindSet()));
  for (size_t extra = 1; extra <= 8; ++extra) {
    SCOPED_TRACE(extra);
    std::vector<uint8_t> longer = valid;
    longer.resize(valid.size() + extra, 0);
    ExpectRejected(RecordOf(longer));
  }
  std::mt19937 random(20240611);
  for (size_t size : {1, 7, 8, 16, 64, 1000, 1024, 4096}) {
    SCOPED_TRACE(size);
    std::vector<uint8_t> noise(size);
    for (auto& b : noise) b = static_cast<uint8_t>(random());
    ExpectRejected(RecordOf(noise));
  }
}

TEST(PropertyPackerTest, RejectsEveryTruncationOfAValidRecord) {
  std::vector<uint8_t> valid = BytesOf(PackOrFail(*EveryKindSet()));
  for (size_t size = 0; size < valid.size(); ++size) {
    SCOPED_TRACE(size);
    ExpectRejected(RecordOf(std::vector<uint8_t>(valid.begin(), valid.begin() + static_cast<ptrdiff_t>(size))));
  }
}

// Damaged bytes may still happen to form a record (a changed character of a text);
// what must hold is that unpacking never crashes or reads out of bounds, and that
// a refusal leaves the set as it was.
void UnpackDamaged(const std::vector<uint8_t>& bytes) {
  auto set = TargetSet();
  auto before = Snapshot(*set);
  Variant data = RecordOf(bytes);
  if (PropertyPacker().UnpackProperties(data, *set) != 0) {
    EXPECT_EQ(Snapshot(*set), before);
  }
}

TEST(PropertyPackerTest, SurvivesEverySingleBitFlipOfAValidRecord) {
  std::vector<uint8_t> valid = BytesOf(PackOrFail(*EveryKindSet()));
  for (size_t bit = 0; bit < valid.size() * 8; ++bit) {
    std::vector<uint8_t> damaged = valid;
    damaged[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    UnpackDamaged(damaged);
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "at bit " << bit;
      return;
    }
  }
}

TEST(PropertyPackerTest, SurvivesRandomDamageOfAValidRecord) {
  std::vector<uint8_t> valid = BytesOf(PackOrFail(*EveryKindSet()));
  std::mt19937 random(7);  // fixed: the same damage on every run
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> damaged = valid;
    unsigned changes = 1 + random() % 4;
    for (unsigned c = 0; c < changes; ++c) damaged[random() % damaged.size()] = static_cast<uint8_t>(random());
    UnpackDamaged(damaged);
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "in round " << round;
      return;
    }
  }
}

TEST(PropertyPackerTest, RejectsMalformedValues) {
  using Builder = automation::wire::Variant::Builder;
  const uint32_t kBig = 65536;
  const std::vector<std::pair<std::string, std::function<void(Builder)>>> cases = {
      {"fewer elements than the bounds", LongArray({{0, 3}}, 2)},
      {"more elements than the bounds", LongArray({{0, 2}, {0, 2}}, 5)},
      {"no dimension", LongArray({}, 0)},
      {"bounds whose product overflows", LongArray({{0, kBig}, {0, kBig}, {0, kBig}, {0, kBig}}, 0)},
      // 6102343 * 12160749 * 13920371 is 56 * 2^64 + 1: one element in 64-bit arithmetic.
      {"bounds whose product wraps to one", LongArray({{0, 6102343}, {0, 12160749}, {0, 13920371}}, 1)},
      {"an upper bound past the 32-bit range", LongArray({{std::numeric_limits<int32_t>::max(), 2}}, 2)},
      {"an unknown element type", LongArray({{0, 2}}, 2, 99)},
      {"element type Empty", LongArray({{0, 2}}, 2, 0)},
      {"element type Null", LongArray({{0, 2}}, 2, 1)},
      {"an element of another kind", LongArray({{0, 2}}, 2, 8)},
      {"a nested array in a Long array",
       [](Builder v) {
         auto array = v.initArray();
         array.setElementType(3);
         SetBounds(array, {{0, 1}});
         LongArray({{0, 1}}, 1)(array.initElements(1)[0]);
       }},
      {"a byte array carrying elements", LongArray({{0, 2}}, 2, 17)},
      {"a Long array carrying bytes",
       [](Builder v) {
         auto array = v.initArray();
         array.setElementType(3);
         SetBounds(array, {{0, 8}});
         array.initBytes(8);
       }},
      {"byte count that differs from the bounds",
       [](Builder v) {
         auto array = v.initArray();
         array.setElementType(17);
         SetBounds(array, {{0, 9}});
         array.initBytes(8);
       }},
      {"an object reference", [](Builder v) { v.setNothing(); }},
      {"arrays nested too deeply",
       [](Builder v) {
         for (int level = 0; level <= automation::kMaxArrayNesting; ++level) {
           auto array = v.initArray();
           array.setElementType(12);
           SetBounds(array, {{0, 1}});
           v = array.initElements(1)[0];
         }
         v.setLong(1);
       }},
      {"a million elements claimed by an empty list",
       [](Builder v) {
         auto array = v.initArray();
         array.setElementType(12);
         SetBounds(array, {{0, 1u << 20}});
         // Zero-sized elements cost nothing to send; reading them must not cost a
         // Variant each.
         capnp::AnyStruct::Builder any(kj::mv(array));
         any.getPointerSection()[1].initAsListOfAnyStruct(0, 0, 1u << 20);
       }},
  };
  for (const auto& [what, build] : cases) {
    SCOPED_TRACE(what);
    ExpectRejected(CraftedRecord(build));
  }
}

TEST(PropertyPackerTest, RejectsMalformedRecords) {
  // A message whose root is a text, not a record.
  {
    capnp::MallocMessageBuilder message;
    message.getRoot<capnp::AnyPointer>().setAs<capnp::Text>("not a record");
    SCOPED_TRACE("text root");
    ExpectRejected(MessageBytes(message));
  }
  // A field without a name.
  {
    SCOPED_TRACE("empty name");
    ExpectRejected(CraftedRecord([](automation::wire::Variant::Builder v) { v.setLong(1); }, ""));
  }
  // The same name twice, whatever the case: which value would win is unclear.
  {
    SCOPED_TRACE("duplicate name");
    capnp::MallocMessageBuilder message;
    auto fields = message.initRoot<wire::PackedRecord>().initFields(2);
    fields[0].setName("AppName");
    fields[0].initValue().setString("one");
    fields[1].setName("APPNAME");
    fields[1].initValue().setString("two");
    ExpectRejected(MessageBytes(message));
  }
}

TEST(PropertyPackerTest, ADuplicateNameIsFoundWhereverTheTwoStand) {
  // Many names, so that some share a hash and the duplicate stands among the first
  // names or after them.
  auto names = [](size_t count) {
    std::vector<std::string> list;
    for (size_t i = 0; i < count; ++i) list.push_back("Field" + std::to_string(i) + std::string(i % 5, 'x'));
    return list;
  };
  auto record = [](const std::vector<std::string>& list) {
    capnp::MallocMessageBuilder message;
    auto fields = message.initRoot<wire::PackedRecord>().initFields(static_cast<unsigned>(list.size()));
    for (size_t i = 0; i < list.size(); ++i) {
      fields[static_cast<unsigned>(i)].setName(list[i]);
      fields[static_cast<unsigned>(i)].initValue().setLong(int32_t(i));
    }
    return MessageBytes(message);
  };
  PropertyPacker packer;
  PackedFields read;
  EXPECT_EQ(packer.ReadFields(record(names(150)), read), 0);
  EXPECT_EQ(read.fields.size(), 150u);
  const std::pair<size_t, size_t> pairs[] = {{0, 1}, {3, 40}, {10, 63}, {63, 64}, {5, 100}, {70, 140}, {148, 149}};
  for (const auto& [first, second] : pairs) {
    SCOPED_TRACE(std::to_string(first) + " and " + std::to_string(second));
    std::vector<std::string> list = names(150);
    list[second] = list[first];
    for (char& c : list[second]) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ExpectRejected(record(list));
    // A scratch that holds the names of a good record before is no excuse: the one
    // name that differs is checked against the others, and the good record still
    // reads after the refusal.
    EXPECT_EQ(packer.ReadFields(record(list), read), packer_error::kNotAPackedRecord);
    EXPECT_TRUE(read.fields.empty());
    EXPECT_EQ(packer.ReadFields(record(names(150)), read), 0);
    EXPECT_EQ(packer.ReadFields(record(list), read), packer_error::kNotAPackedRecord);
    EXPECT_EQ(packer.ReadFields(record(names(150)), read), 0);
    EXPECT_EQ(read.fields.size(), 150u);
  }
}

TEST(PropertyPackerTest, AnEmptyRecordIsAcceptedAndChangesNothing) {
  PropertySet empty;
  Variant record = PackOrFail(empty);
  auto set = TargetSet();
  auto before = Snapshot(*set);
  EXPECT_EQ(PropertyPacker().UnpackProperties(record, *set), 0);
  EXPECT_EQ(Snapshot(*set), before);
}

}  // namespace
}  // namespace recordkit
