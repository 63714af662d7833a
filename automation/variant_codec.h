#pragma once
// Converts Variants to and from their wire form (automation/variant.capnp).

#include <functional>
#include <memory>

#include "automation/variant.capnp.h"
#include "automation/variant.h"

namespace automation {

// How object references cross: over RPC as Dispatch capabilities; in a packed
// record not at all (leave the hooks empty and an object raises 13).
struct ObjectCodec {
  std::function<wire::Dispatch::Client(const std::shared_ptr<Dispatch>&)> toWire;
  std::function<std::shared_ptr<Dispatch>(wire::Dispatch::Client)> fromWire;
};

// How deeply arrays may nest inside Variant-element arrays (a top-level array is
// level 1). Both directions refuse deeper values with 13, so a reader's nesting
// limit can be set to cover every value a writer accepts.
constexpr int kMaxArrayNesting = 16;

// Writes `value`, followed to its target when by reference. Raises 13 for an object
// reference (even one that refers to no object) when `objects` has no toWire hook,
// and for an array with no dimension or nested deeper than kMaxArrayNesting.
void WriteVariant(const Variant& value, wire::Variant::Builder out, const ObjectCodec* objects = nullptr);

// Reads a Variant. Raises 13 for malformed input (element counts that do not match
// the bounds, unknown type codes, an object with no fromWire hook); never reads
// outside the message.
Variant ReadVariant(wire::Variant::Reader in, const ObjectCodec* objects = nullptr);

}  // namespace automation
