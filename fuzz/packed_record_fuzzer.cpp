// Bytes handed over as a PackedRecord, read as the writers read them and unpacked as
// Loggit unpacks them; a record that reads packs again and reads back the same.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "automation/conversions.h"
#include "automation/variant.h"
#include "recordkit/property_packer.h"
#include "recordkit/property_set.h"

using automation::SafeArray;
using automation::Variant;

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
