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

// How many dimensions an array may have, as in the runtime. A bound costs nothing
// on the wire when its count is 0, so without this a small message could name
// millions of them.
constexpr size_t kMaxArrayDimensions = 60;

// How many elements one value may hold in all its arrays together, nested ones
// included (the bytes of Byte arrays are not counted: they cost a byte each). A
// message can point many times at the same array, so a small message could
// otherwise unfold into an enormous value; both directions refuse more with 13.
// A value of this many elements is larger than any event the server queues.
constexpr size_t kMaxArrayElements = size_t{1} << 20;

// Writes `value`, followed to its target when by reference. Raises 13 for an object
// reference (even one that refers to no object) when `objects` has no toWire hook,
// for an array with no dimension, more than kMaxArrayDimensions or nested deeper
// than kMaxArrayNesting, and for
// arrays of more than kMaxArrayElements elements together.
void WriteVariant(const Variant& value, wire::Variant::Builder out, const ObjectCodec* objects = nullptr);

// Reads a Variant. Raises 13 for malformed input (element counts that do not match
// the bounds, more dimensions than kMaxArrayDimensions, unknown type codes, an object with no fromWire hook, more than
// kMaxArrayElements elements); never reads outside the message, and its work is
// bounded by the elements it accepts.
Variant ReadVariant(wire::Variant::Reader in, const ObjectCodec* objects = nullptr);
// The same into `out` (out = ReadVariant(in, objects)), keeping the room of the text
// `out` held; for readers that decode record after record into the same place. On a
// raise `out` holds some value of its own (none of the input's).
void ReadVariantInto(wire::Variant::Reader in, Variant& out, const ObjectCodec* objects = nullptr);

}  // namespace automation
