#pragma once
// Builds PackedRecords for tests from a list of field values.

#include <string>
#include <utility>
#include <vector>

#include "automation/variant.h"
#include "recordkit/property_packer.h"
#include "recordkit/property_set.h"

namespace ledgerwick::testing {

using FieldValues = std::vector<std::pair<std::string, automation::Variant>>;

inline automation::Variant MakeRecord(const FieldValues& fields) {
  auto set = recordkit::PropertySet::NewEventSet();
  for (const auto& [name, value] : fields) set->Item(name)->SetValue(value);
  automation::Variant record;
  recordkit::PropertyPacker().PackProperties(record, *set);
  return record;
}

}  // namespace ledgerwick::testing
