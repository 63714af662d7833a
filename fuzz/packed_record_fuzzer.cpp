// Bytes handed over as a PackedRecord, read as the writers read them and unpacked as
// Loggit unpacks them; a record that reads packs again and reads back the same.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <kj/array.h>

#include "automation/conversions.h"
#include "automation/variant.h"
#include "automation/variant_codec.h"
#include "recordkit/packed_record.capnp.h"
#include "recordkit/property_packer.h"
#include "recordkit/property_set.h"

using automation::SafeArray;
using automation::Variant;

namespace {

// The fields as bytes: names, flags and values written out, so that two reads can be
// compared value for value (a NaN included).
kj::Array<capnp::word> Written(const recordkit::PackedFields& fields) {
  capnp::MallocMessageBuilder message;
  auto list = message.initRoot<recordkit::wire::PackedRecord>().initFields(static_cast<unsigned>(fields.fields.size()));
  for (size_t i = 0; i < fields.fields.size(); ++i) {
    auto field = list[static_cast<unsigned>(i)];
    field.setName(fields.fields[i].name);
    field.setMapped(fields.fields[i].mapped);
    automation::WriteVariant(fields.fields[i].value, field.initValue());
  }
  return capnp::messageToFlatArray(message);
}

bool SameFields(const recordkit::PackedFields& a, const recordkit::PackedFields& b) {
  const kj::Array<capnp::word> x = Written(a);
  const kj::Array<capnp::word> y = Written(b);
  return x.size() == y.size() && std::memcmp(x.begin(), y.begin(), x.asBytes().size()) == 0 &&
         a.journal.journal == b.journal.journal && a.journal.sequence == b.journal.sequence &&
         a.sender.known == b.sender.known && a.sender.subject == b.sender.subject;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  recordkit::PropertyPacker packer;
  Variant record = Variant::Array(SafeArray::FromBytes(std::vector<uint8_t>(data, data + size)));

  recordkit::PackedFields fields;
  int32_t read = packer.ReadFields(record, fields);
  if (read != 0 && !fields.fields.empty()) throw std::logic_error("a refused record left fields behind");
  for (const auto& field : fields.fields) {
    // The text log renders every value it can; the rest raise an error number.
    try {
      (void)automation::ToText(field.value);
    } catch (const std::exception&) {
    }
  }

  // A reader's scratch is reused from record to record: one that read an event of the
  // usual fields first reads these bytes the same.
  {
    auto usual = recordkit::PropertySet::NewEventSet();
    usual->Item("Description")->SetValue(Variant::String("a description longer than a short text"));
    usual->Item("EventCode")->SetValue(Variant::Long(4711));
    Variant first;
    recordkit::PackedFields reused;
    if (packer.PackProperties(first, *usual) != 0 || packer.ReadFields(first, reused) != 0) {
      throw std::logic_error("an event set does not pack and read");
    }
    if (packer.ReadFields(record, reused) != read) throw std::logic_error("a reused scratch reads otherwise");
    if (read == 0 && !SameFields(fields, reused)) throw std::logic_error("a reused scratch reads other fields");
  }

  auto set = recordkit::PropertySet::NewEventSet();
  int32_t unpacked = packer.UnpackProperties(record, *set);
  if ((unpacked == 0) != (read == 0)) throw std::logic_error("ReadFields and UnpackProperties disagree");

  if (unpacked == 0) {
    Variant again;
    if (packer.PackProperties(again, *set) == 0) {
      recordkit::PackedFields reread;
      if (packer.ReadFields(again, reread) != 0) throw std::logic_error("a repacked record does not read");
    }
  }
  return 0;
}
