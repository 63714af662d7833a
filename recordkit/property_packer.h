#pragma once
// Packs a PropertySet into a PackedRecord and back. A PackedRecord is a Variant
// holding a one-dimensional byte array (lower bound 0) that stands on its own:
// a Cap'n Proto message of the fields, each with its name, value and mapped flag.

#include <cstdint>

#include "automation/variant.h"
#include "recordkit/property_set.h"

namespace recordkit {

// Error numbers the packer answers.
namespace packer_error {
// `data` is neither Empty nor a packed record, or its bytes are not a whole,
// well-formed record.
constexpr int32_t kNotAPackedRecord = 13;
// A field value the packer cannot carry on its own (an object reference).
constexpr int32_t kCannotPackValue = 13;
}  // namespace packer_error

class PropertyPacker {
 public:
  // On 0, `data` holds the PackedRecord of every field of `set`, in the set's order.
  // On failure `data` is left as it was.
  int32_t PackProperties(automation::Variant& data, const PropertySet& set) const;

  // `data` Empty: answers 0 and leaves `set` as it is. A packed record: sets each
  // field's value, adding fields the set lacks (with their mapped flag), answers 0.
  // Anything else answers a non-zero number and leaves `set` unchanged; hostile or
  // truncated bytes never read out of bounds.
  int32_t UnpackProperties(automation::Variant& data, PropertySet& set) const;
};

}  // namespace recordkit
