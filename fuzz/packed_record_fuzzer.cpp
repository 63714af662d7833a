// Bytes handed over as a PackedRecord, read as the writers read them (and as Cap'n
// Proto's own reader reads them) and unpacked as Loggit unpacks them; a record that
// reads packs again and reads back the same.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include <kj/array.h>

#include "automation/conversions.h"
#include "automation/variant.h"
#include "recordkit/property_packer.h"
#include "recordkit/property_set.h"
#include "tests/support/same_fields.h"

using automation::SafeArray;
using automation::Variant;
using ledgerwick::testing::SameFields;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  recordkit::PropertyPacker packer;
  Variant record = Variant::Array(SafeArray::FromBytes(std::vector<uint8_t>(data, data + size)));

  recordkit::PackedFields fields;
  int32_t read = packer.ReadFields(record, fields);
  if (read != 0 && !fields.fields.empty()) throw std::logic_error("a refused record left fields behind");
  // Plain records are read by the packer's own reader: Cap'n Proto's reads them the same.
  {
    recordkit::PackedFields general;
    const int32_t generally =
        recordkit::PropertyPacker::ReadFieldsThroughCapnp(kj::arrayPtr(data, size), general);
    if (generally != read) throw std::logic_error("the two readers disagree on whether it is a record");
    if (read == 0 && !SameFields(fields, general)) throw std::logic_error("the two readers read other fields");
  }
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
      // Packed by the packer's own writer or by Cap'n Proto's builder: the same bytes.
      Variant built;
      if (recordkit::PropertyPacker::PackPropertiesThroughCapnp(built, *set, {}, {}) != 0 ||
          built.array().bytes() != again.array().bytes()) {
        throw std::logic_error("the two writers write other bytes");
      }
    }
  }
  return 0;
}
