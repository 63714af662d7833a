#include "recordkit/plain_record_reader.h"
#include "recordkit/plain_record_writer.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include "recordkit/packed_record.capnp.h"
#include "recordkit/property_packer.h"
#include "recordkit/property_set.h"
#include "tests/support/same_fields.h"

namespace recordkit {
namespace {

using automation::SafeArray;
using automation::Variant;
using ledgerwick::testing::SameFields;

const SenderIdentity kSender{true, true, 1000, 100, 4242, "client.example"};
const JournalStamp kStamp{0x1234567890, 99};

// An event with a value of every kind the plain reader reads, texts of lengths about
// a word's edge, and a field the set did not start with.
std::shared_ptr<PropertySet> PlainKindsSet() {
  auto set = PropertySet::NewEventSet();
  const Variant values[] = {
      Variant(),
      Variant::Null(),
      Variant::Integer(-2),
      Variant::Long(std::numeric_limits<int32_t>::min()),
      Variant::Single(1.5f),
      Variant::Double(-0.0),
      Variant::Double(std::nan("")),
      Variant::Currency(-123456789),
      Variant::Date(46000.75),
      Variant::String(""),
      Variant::String(std::string(7, 's')),
      Variant::String(std::string(8, 't')),
      Variant::String(std::string("with\0inside", 11)),
      Variant::Boolean(true),
      Variant::Boolean(false),
      Variant::Byte(255),
      Variant::Error(static_cast<int32_t>(0x800A0009)),
      Variant::String(std::string(300, 'L')),
  };
  size_t i = 0;
  for (const Variant& value : values) set->Properties()[i++]->SetValue(value);
  set->Add("AddedByTheClient", Variant::Long(7), false);
  return set;
}

std::vector<uint8_t> Packed(const PropertySet& set, const SenderIdentity& sender = {}, const JournalStamp& stamp = {}) {
  Variant record;
  EXPECT_EQ(PropertyPacker().PackProperties(record, set, sender, stamp), 0);
  return record.array().bytes();
}

std::vector<uint8_t> BytesOf(capnp::MessageBuilder& message) {
  auto words = capnp::messageToFlatArray(message);
  auto bytes = words.asBytes();
  return {bytes.begin(), bytes.end()};
}

kj::ArrayPtr<const capnp::word> WordsOf(const std::vector<uint8_t>& bytes) {
  return kj::arrayPtr(reinterpret_cast<const capnp::word*>(bytes.data()), bytes.size() / sizeof(capnp::word));
}

// The plain reader takes these bytes, and reads what Cap'n Proto's reader reads.
void ExpectReadPlain(const std::vector<uint8_t>& bytes) {
  PackedFields plain;
  bool namesChanged = false;
  ASSERT_TRUE(ReadPlainRecord(WordsOf(bytes), plain, namesChanged));
  EXPECT_TRUE(namesChanged);  // a fresh scratch held no names
  PackedFields general;
  ASSERT_EQ(PropertyPacker::ReadFieldsThroughCapnp(kj::arrayPtr(bytes.data(), bytes.size()), general), 0);
  EXPECT_TRUE(SameFields(plain, general));
}

// ReadFields, whichever reader reads the bytes, answers as Cap'n Proto's reader does
// and reads the same fields.
void ExpectReadAsCapnpReads(const std::vector<uint8_t>& bytes) {
  PackedFields read;
  PackedFields general;
  const auto view = kj::arrayPtr(bytes.data(), bytes.size());
  const int32_t number = PropertyPacker().ReadFields(view, read);
  ASSERT_EQ(number, PropertyPacker::ReadFieldsThroughCapnp(view, general));
  if (number == 0) {
    EXPECT_TRUE(SameFields(read, general));
  }
}

TEST(PlainRecordReaderTest, ReadsWhatThePackerWritesAsCapnpReadsIt) {
  struct Case {
    const char* name;
    std::shared_ptr<PropertySet> set;
  };
  auto typical = PropertySet::NewEventSet();
  typical->Item("Description")->SetValue(Variant::String("Could not reach the print server, try 12"));
  typical->Item("EventCode")->SetValue(Variant::Long(4711));
  for (const Case& c : {Case{"every plain kind", PlainKindsSet()}, Case{"a typical event", typical},
                        Case{"an event of Empty fields", PropertySet::NewEventSet()},
                        Case{"no fields at all", std::make_shared<PropertySet>()}}) {
    SCOPED_TRACE(c.name);
    ExpectReadPlain(Packed(*c.set));
    ExpectReadPlain(Packed(*c.set, kSender, kStamp));
    // Known without credentials, and without a subject.
    ExpectReadPlain(Packed(*c.set, SenderIdentity{true, false, 1, 2, 3, ""}, kStamp));
  }
  PackedFields fields;
  bool namesChanged = false;
  const std::vector<uint8_t> bytes = Packed(*PlainKindsSet(), kSender, kStamp);
  ASSERT_TRUE(ReadPlainRecord(WordsOf(bytes), fields, namesChanged));
  EXPECT_EQ(fields.fields.back().name, "AddedByTheClient");
  EXPECT_FALSE(fields.fields.back().mapped);
  EXPECT_EQ(fields.fields[15].value, Variant::Byte(255));
  EXPECT_EQ(fields.sender.subject, "client.example");
  EXPECT_EQ(fields.journal.journal, kStamp.journal);
}

TEST(PlainRecordReaderTest, TellsWhetherTheNamesChangedFromTheRecordBefore) {
  auto set = PropertySet::NewEventSet();
  const std::vector<uint8_t> usual = Packed(*set);
  set->Add("OneMore", Variant::Long(1), true);
  const std::vector<uint8_t> longer = Packed(*set);
  auto renamed = std::make_shared<PropertySet>();
  const auto names = PropertySet::NewEventSet();
  for (const auto& property : names->Properties()) {
    renamed->Add(property->Name() == "Severity" ? "Sevérité" : property->Name(), Variant(), true);
  }
  const std::vector<uint8_t> other = Packed(*renamed);

  PackedFields scratch;
  bool namesChanged = false;
  ASSERT_TRUE(ReadPlainRecord(WordsOf(usual), scratch, namesChanged));
  scratch.namesChecked = true;  // as the packer marks it once the names were checked
  struct Case {
    const char* name;
    const std::vector<uint8_t>* bytes;
    bool changed;
  };
  for (const Case& c : {Case{"the same names", &usual, false}, Case{"one more field", &longer, true},
                        Case{"the same names again", &usual, true}, Case{"the same names once more", &usual, false},
                        Case{"one name other", &other, true}}) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(ReadPlainRecord(WordsOf(*c.bytes), scratch, namesChanged));
    EXPECT_EQ(namesChanged, c.changed);
    scratch.namesChecked = true;
  }
}

TEST(PlainRecordReaderTest, LeavesOtherShapesToCapnpsReader) {
  using Field = wire::Field::Builder;
  const std::vector<std::pair<const char*, std::function<void(capnp::MessageBuilder&)>>> cases = {
      {"an array value",
       [](capnp::MessageBuilder& m) {
         auto fields = m.initRoot<wire::PackedRecord>().initFields(1);
         fields[0].setName("EventData");
         SafeArray array(automation::VarType::Long, {{0, 2}});
         automation::WriteVariant(Variant::Array(std::move(array)), fields[0].initValue());
       }},
      {"a nameless field", [](capnp::MessageBuilder& m) { m.initRoot<wire::PackedRecord>().initFields(1); }},
      {"an empty name",
       [](capnp::MessageBuilder& m) { m.initRoot<wire::PackedRecord>().initFields(1)[0].setName(""); }},
      {"an empty text value",
       [](capnp::MessageBuilder& m) {
         auto fields = m.initRoot<wire::PackedRecord>().initFields(1);
         fields[0].setName("AppName");
         fields[0].initValue().initString(0);
       }},
      {"a text value without its text",
       [](capnp::MessageBuilder& m) {
         auto fields = m.initRoot<wire::PackedRecord>().initFields(1);
         fields[0].setName("AppName");
         auto value = fields[0].initValue();
         value.setString("gone");
         capnp::toAny(value).getPointerSection()[0].clear();
       }},
      {"fields as a list of pointers",
       [](capnp::MessageBuilder& m) {
         auto root = m.getRoot<capnp::AnyPointer>().initAsAnyStruct(0, 3);
         auto list = root.getPointerSection()[0].initAsAnyList(capnp::ElementSize::POINTER, 2);
         list.as<capnp::List<capnp::Text>>().set(0, "AppName");
         list.as<capnp::List<capnp::Text>>().set(1, "Severity");
       }},
      {"fields of no words",
       [](capnp::MessageBuilder& m) {
         m.getRoot<capnp::AnyPointer>().initAsAnyStruct(0, 3).getPointerSection()[0].initAsListOfAnyStruct(0, 0, 5);
       }},
      {"an unknown sender with a subject that is not a text",
       [](capnp::MessageBuilder& m) {
         auto root = m.initRoot<wire::PackedRecord>();
         root.initFields(1)[0].setName("AppName");
         auto sender = root.initSender();
         sender.setUid(7);
         capnp::toAny(sender).getPointerSection()[0].initAsAnyStruct(1, 0);
       }},
      {"a union member this build does not know",
       [](capnp::MessageBuilder& m) {
         Field field = m.initRoot<wire::PackedRecord>().initFields(1)[0];
         field.setName("AppName");
         auto value = field.initValue();
         capnp::toAny(value).getDataSection()[0] = 99;
       }},
  };
  for (const auto& [name, build] : cases) {
    SCOPED_TRACE(name);
    capnp::MallocMessageBuilder message;
    build(message);
    ExpectReadAsCapnpReads(BytesOf(message));
  }
  // Many segments: every field's name and value in a segment of its own.
  {
    capnp::MallocMessageBuilder message(1, capnp::AllocationStrategy::FIXED_SIZE);
    auto fields = message.initRoot<wire::PackedRecord>().initFields(3);
    for (unsigned i = 0; i < 3; ++i) {
      fields[i].setName("Field" + std::to_string(i));
      fields[i].initValue().setLong(static_cast<int32_t>(i));
    }
    ASSERT_GT(message.getSegmentsForOutput().size(), 1u);
    const std::vector<uint8_t> bytes = BytesOf(message);
    PackedFields fields_read;
    bool namesChanged = false;
    EXPECT_FALSE(ReadPlainRecord(WordsOf(bytes), fields_read, namesChanged));
    ExpectReadAsCapnpReads(bytes);
    PackedFields read;
    ASSERT_EQ(PropertyPacker().ReadFields(kj::arrayPtr(bytes.data(), bytes.size()), read), 0);
    EXPECT_EQ(read.fields[2].value, Variant::Long(2));
  }
}

TEST(PlainRecordReaderTest, TextsWithNulsInsideReadAsCapnpReadsThem) {
  auto set = std::make_shared<PropertySet>();
  set->Add(std::string("A\0x", 3), Variant::String(std::string("v\0w", 3)), true);
  set->Add(std::string("A\0y", 3), Variant(), true);
  const SenderIdentity sender{true, true, 1, 2, 3, std::string("sub\0ject", 8)};
  const std::vector<uint8_t> bytes = Packed(*set, sender, kStamp);
  ExpectReadPlain(bytes);
  PackedFields fields;
  ASSERT_EQ(PropertyPacker().ReadFields(kj::arrayPtr(bytes.data(), bytes.size()), fields), 0);
  EXPECT_EQ(fields.fields[1].name, std::string("A\0y", 3));
  EXPECT_EQ(fields.fields[0].value, Variant::String(std::string("v\0w", 3)));
  // The subject has always been read up to its first NUL.
  EXPECT_EQ(fields.sender.subject, "sub");
}

TEST(PlainRecordReaderTest, BytesAfterTheMessageAreNotARecord) {
  std::vector<uint8_t> bytes = Packed(*PlainKindsSet());
  bytes.resize(bytes.size() + 8, 0);
  PackedFields fields;
  bool namesChanged = false;
  EXPECT_FALSE(ReadPlainRecord(WordsOf(bytes), fields, namesChanged));
  EXPECT_NE(PropertyPacker().ReadFields(kj::arrayPtr(bytes.data(), bytes.size()), fields), 0);
  ExpectReadAsCapnpReads(bytes);
}

TEST(PlainRecordReaderTest, WiderStructsOfALaterSchemaReadAsCapnpReadsThem) {
  // A writer that knows more members makes every struct larger; the members this
  // build knows keep their places.
  capnp::MallocMessageBuilder message;
  auto root = message.getRoot<capnp::AnyPointer>().initAsAnyStruct(1, 4);
  auto list = root.getPointerSection()[0].initAsListOfAnyStruct(2, 3, 2);
  for (unsigned i = 0; i < 2; ++i) {
    auto field = list[i];
    field.getDataSection()[0] = 1;  // mapped
    field.getPointerSection()[0].setAs<capnp::Text>(i == 0 ? "AppName" : "Severity");
    auto value = field.getPointerSection()[1].initAsAnyStruct(3, 2);
    automation::wire::Variant::Builder variant = value.as<automation::wire::Variant>();
    if (i == 0) {
      variant.setString("Payroll");
    } else {
      variant.setInteger(2);
    }
    field.getPointerSection()[2].setAs<capnp::Text>("a member this build does not know");
  }
  const std::vector<uint8_t> bytes = BytesOf(message);
  PackedFields fields;
  bool namesChanged = false;
  ASSERT_TRUE(ReadPlainRecord(WordsOf(bytes), fields, namesChanged));
  ExpectReadAsCapnpReads(bytes);
  EXPECT_EQ(fields.fields[0].value, Variant::String("Payroll"));
  EXPECT_EQ(fields.fields[1].value, Variant::Integer(2));
}

// Damage of every kind to a plain record: whichever reader reads it, the answer and
// the fields are Cap'n Proto's own.
TEST(PlainRecordReaderTest, DamagedRecordsReadAsCapnpReadsThem) {
  const std::vector<uint8_t> valid = Packed(*PlainKindsSet(), kSender, kStamp);
  for (size_t bit = 0; bit < valid.size() * 8; ++bit) {
    std::vector<uint8_t> damaged = valid;
    damaged[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    ExpectReadAsCapnpReads(damaged);
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "at bit " << bit;
      return;
    }
  }
  for (size_t size = 8; size < valid.size(); size += 8) {
    std::vector<uint8_t> cut(valid.begin(), valid.begin() + static_cast<ptrdiff_t>(size));
    ExpectReadAsCapnpReads(cut);
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "cut to " << size;
      return;
    }
  }
  std::mt19937 random(11);  // fixed: the same damage on every run
  for (int round = 0; round < 20000; ++round) {
    std::vector<uint8_t> damaged = valid;
    const unsigned changes = 1 + random() % 6;
    for (unsigned c = 0; c < changes; ++c) {
      // Whole words as often as single bytes: pointers rewritten, not just nudged.
      const size_t at = random() % damaged.size();
      if (random() % 2 == 0) {
        damaged[at] = static_cast<uint8_t>(random());
      } else {
        const uint64_t word = (uint64_t{random()} << 32) | random();
        std::memcpy(damaged.data() + at / 8 * 8, &word, sizeof(word));
      }
    }
    ExpectReadAsCapnpReads(damaged);
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "in round " << round;
      return;
    }
  }
}

TEST(PlainRecordReaderTest, PointersThatShareTheirTargetsAreLeftToCapnpsLimit) {
  // Every field's value points at one long text: read once per field, more words
  // than the message holds.
  capnp::MallocMessageBuilder message;
  const unsigned kFields = 40;
  auto fields = message.initRoot<wire::PackedRecord>().initFields(kFields);
  for (unsigned i = 0; i < kFields; ++i) fields[i].setName("F" + std::to_string(i));
  fields[0].initValue().setString(std::string(4000, 'x'));
  std::vector<uint8_t> bytes = BytesOf(message);
  // Each later field's value pointer is made to point where the first one's points.
  auto words = reinterpret_cast<uint64_t*>(bytes.data());
  const size_t listTag = 1 + 1 + 3;  // the table, the root pointer, the root's three pointers
  ASSERT_EQ(words[listTag] & 3, 0u);
  const size_t stride = 1 + 2;       // a Field: one data word, two pointers
  const size_t firstValue = listTag + 1 + 1 + 1;
  ASSERT_NE(words[firstValue], 0u);
  for (unsigned i = 1; i < kFields; ++i) {
    const size_t at = firstValue + i * stride;
    const int64_t target = static_cast<int64_t>(firstValue + 1) + (static_cast<int32_t>(words[firstValue]) >> 2);
    const int64_t offset = target - static_cast<int64_t>(at + 1);
    words[at] = (words[firstValue] & 0xffffffff00000000u) | (static_cast<uint32_t>(offset) << 2);
  }
  PackedFields plain;
  bool namesChanged = false;
  EXPECT_FALSE(ReadPlainRecord(WordsOf(bytes), plain, namesChanged));
  ExpectReadAsCapnpReads(bytes);
}

// ---------------------------------------------------------------- writing

std::vector<uint8_t> PackedThroughCapnp(const PropertySet& set, const SenderIdentity& sender,
                                        const JournalStamp& stamp) {
  Variant record;
  EXPECT_EQ(PropertyPacker::PackPropertiesThroughCapnp(record, set, sender, stamp), 0);
  return record.isArray() ? record.array().bytes() : std::vector<uint8_t>{};
}

// The packer writes the set itself, and the bytes are the builder's to the last bit.
void ExpectWrittenPlain(const PropertySet& set, const SenderIdentity& sender, const JournalStamp& stamp) {
  std::vector<uint8_t> plain;
  ASSERT_TRUE(WritePlainRecord(set, sender, stamp, size_t{1} << 20, plain));
  EXPECT_EQ(plain, PackedThroughCapnp(set, sender, stamp));
  EXPECT_EQ(Packed(set, sender, stamp), plain);
}

TEST(PlainRecordWriterTest, WritesTheBuildersBytes) {
  const SenderIdentity senders[] = {{}, kSender, {true, false, 0, 0, 0, ""}, {true, true, 1, 2, -3, std::string(9, 's')}};
  const JournalStamp stamps[] = {{}, kStamp, {-1, std::numeric_limits<int64_t>::max()}};
  // Texts of every length about a word's edge, in names and in values.
  auto texts = std::make_shared<PropertySet>();
  for (size_t i = 1; i < 20; ++i) texts->Add(std::string(i, 'N'), Variant::String(std::string(i - 1, 'v')), i % 2 == 0);
  auto typical = PropertySet::NewEventSet();
  typical->Item("Description")->SetValue(Variant::String("Could not reach the print server, try 12"));
  typical->Item("EventDate")->SetValue(Variant::Date(46000));
  for (const auto& set : {PlainKindsSet(), texts, typical, PropertySet::NewEventSet(), std::make_shared<PropertySet>()}) {
    for (const SenderIdentity& sender : senders) {
      for (const JournalStamp& stamp : stamps) {
        SCOPED_TRACE(std::to_string(set->Count()) + " fields, sender " + sender.subject + ", journal " +
                     std::to_string(stamp.journal));
        ExpectWrittenPlain(*set, sender, stamp);
      }
    }
  }
}

TEST(PlainRecordWriterTest, RandomSetsAreWrittenAsTheBuilderWritesThem) {
  std::mt19937 random(5);  // fixed: the same sets on every run
  const std::function<Variant()> kinds[] = {
      [] { return Variant(); },
      [] { return Variant::Null(); },
      [&] { return Variant::Integer(static_cast<int16_t>(random())); },
      [&] { return Variant::Long(static_cast<int32_t>(random())); },
      [&] { return Variant::Single(std::bit_cast<float>(static_cast<uint32_t>(random()))); },
      [&] { return Variant::Double(std::bit_cast<double>((uint64_t{random()} << 32) | random())); },
      [&] { return Variant::Currency(static_cast<int64_t>((uint64_t{random()} << 32) | random())); },
      [&] { return Variant::Date(static_cast<double>(random() % 3000000) / 7.0); },
      [&] { return Variant::String(std::string(random() % 40, static_cast<char>(random()))); },
      [&] { return Variant::Boolean(random() % 2 == 0); },
      [&] { return Variant::Byte(static_cast<uint8_t>(random())); },
      [&] { return Variant::Error(static_cast<int32_t>(random())); },
  };
  for (int round = 0; round < 500; ++round) {
    auto set = std::make_shared<PropertySet>();
    const unsigned fields = random() % 30;
    for (unsigned i = 0; i < fields; ++i) {
      set->Add("F" + std::to_string(i) + std::string(random() % 12, 'x'), kinds[random() % std::size(kinds)](),
               random() % 2 == 0);
    }
    const SenderIdentity sender{random() % 2 == 0, random() % 2 == 0, static_cast<uint32_t>(random()),
                                static_cast<uint32_t>(random()), static_cast<int32_t>(random()),
                                std::string(random() % 20, 'c')};
    const JournalStamp stamp{random() % 2 == 0 ? 0 : static_cast<int64_t>(random()), static_cast<int64_t>(random())};
    ExpectWrittenPlain(*set, sender, stamp);
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "in round " << round;
      return;
    }
  }
}

TEST(PlainRecordWriterTest, WritesOnlyWithinItsRoom) {
  auto typical = PropertySet::NewEventSet();
  typical->Item("Description")->SetValue(Variant::String("Could not reach the print server"));
  auto set = std::make_shared<PropertySet>();
  set->Add(std::string("N\0ul", 4), Variant::String(std::string("te\0xt", 6)), true);
  for (const auto& s : {typical, PlainKindsSet(), set}) {
    for (const SenderIdentity& sender : {SenderIdentity{}, kSender}) {
      for (const JournalStamp& stamp : {JournalStamp{}, kStamp}) {
        SCOPED_TRACE(std::to_string(s->Count()) + " fields" + (sender.known ? ", sender" : "") +
                     (stamp.known() ? ", journal" : ""));
        ExpectWrittenPlain(*s, sender, stamp);
        const size_t words = PackedThroughCapnp(*s, sender, stamp).size() / 8 - 1;  // the segment's
        std::vector<uint8_t> bytes;
        EXPECT_TRUE(WritePlainRecord(*s, sender, stamp, words, bytes));
        EXPECT_EQ(bytes.size(), (words + 1) * 8);
        EXPECT_FALSE(WritePlainRecord(*s, sender, stamp, words - 1, bytes));
      }
    }
  }
}

TEST(PlainRecordWriterTest, LeavesArraysObjectsAndLargeRecordsToTheBuilder) {
  PropertyPacker packer;
  auto arrays = PropertySet::NewEventSet();
  arrays->Item("EventData")->SetValue(Variant::Array(SafeArray(automation::VarType::Long, {{0, 3}})));
  std::vector<uint8_t> bytes;
  EXPECT_FALSE(WritePlainRecord(*arrays, kSender, kStamp, size_t{1} << 20, bytes));
  // The builder writes it, and it reads back.
  const std::vector<uint8_t> packed = Packed(*arrays, kSender, kStamp);
  EXPECT_EQ(packed, PackedThroughCapnp(*arrays, kSender, kStamp));
  PackedFields read;
  ASSERT_EQ(packer.ReadFields(kj::arrayPtr(packed.data(), packed.size()), read), 0);
  EXPECT_EQ(read.fields[6].value, arrays->Item("EventData")->Value());

  auto large = PropertySet::NewEventSet();
  large->Item("Description")->SetValue(Variant::String(std::string(1000, 'd')));
  EXPECT_FALSE(WritePlainRecord(*large, {}, {}, 100, bytes));  // less room than the record takes
}

}  // namespace
}  // namespace recordkit
