#pragma once
// Builds PackedRecords for tests from a list of field values.

#include <cstdint>
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

// A record whose AppName is `app`, under the journal stamp (journal, sequence).
inline automation::Variant StampedRecord(const char* app, int64_t journal, int64_t sequence) {
  auto set = recordkit::PropertySet::NewEventSet();
  set->Item("AppName")->SetValue(automation::Variant::String(app));
  automation::Variant record;
  recordkit::PropertyPacker().PackProperties(record, *set, {}, {journal, sequence});
  return record;
}

}  // namespace ledgerwick::testing
