#include "automation/variant_codec.h"

#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include <kj/exception.h>

#include "automation/automation_error.h"

namespace automation {

namespace {

[[noreturn]] void Malformed() { throw AutomationError(err::kTypeMismatch); }

// The element types an array may have.
bool IsArrayElementType(uint16_t code) {
  switch (static_cast<VarType>(code)) {
    case VarType::Integer:
    case VarType::Long:
    case VarType::Single:
    case VarType::Double:
    case VarType::Currency:
    case VarType::Date:
    case VarType::String:
    case VarType::Object:
    case VarType::Error:
    case VarType::Boolean:
    case VarType::Variant:
    case VarType::Byte:
      return true;
    default:
      return false;
  }
}

// Both directions keep to the same rules for bounds, so whatever WriteVariant
// produces ReadVariant accepts: at least one dimension, and every upper bound
// representable as a 32-bit index.
void CheckBounds(const std::vector<ArrayBound>& bounds) {
  if (bounds.empty() || bounds.size() > kMaxArrayDimensions) Malformed();
  for (const auto& b : bounds) {
    if (b.count > 0 &&
        static_cast<int64_t>(b.lower) + b.count - 1 > std::numeric_limits<int32_t>::max()) {
      Malformed();
    }
  }
}

// The number of elements the bounds describe; `limit + 1` when that exceeds
// `limit`, so hostile bounds cannot overflow into a small product.
uint64_t ElementCount(const std::vector<ArrayBound>& bounds, uint64_t limit) {
  for (const auto& b : bounds) {
    if (b.count == 0) return 0;
  }
  uint64_t n = 1;
  for (const auto& b : bounds) {
    if (n > limit / b.count) return limit + 1;
    n *= b.count;
  }
  return n;
}

// Counts the elements of the arrays of one value against kMaxArrayElements.
void Spend(size_t& elements, size_t n) {
  if (n > kMaxArrayElements - elements) Malformed();
  elements += n;
}

// ---------------------------------------------------------------- writing

void Write(const Variant& value, wire::Variant::Builder out, const ObjectCodec* objects, int depth, size_t& elements);

void WriteObject(const std::shared_ptr<Dispatch>& object, wire::Variant::Builder out,
                 const ObjectCodec* objects) {
  if (objects == nullptr || !objects->toWire) throw AutomationError(err::kTypeMismatch);
  if (object == nullptr) {
    out.setNothing();
  } else {
    out.setObject(objects->toWire(object));
  }
}

void WriteArray(const SafeArray& array, wire::Array::Builder out, const ObjectCodec* objects,
                int depth, size_t& elements) {
  if (depth > kMaxArrayNesting) throw AutomationError(err::kTypeMismatch);
  CheckBounds(array.bounds());
  out.setElementType(static_cast<uint16_t>(array.elementType()));
  auto bounds = out.initBounds(static_cast<unsigned>(array.dimensions()));
  for (size_t d = 0; d < array.dimensions(); ++d) {
    bounds[d].setLower(array.bounds()[d].lower);
    bounds[d].setCount(array.bounds()[d].count);
  }
  if (array.elementType() == VarType::Byte) {
    const auto& bytes = array.bytes();
    out.setBytes(kj::arrayPtr(bytes.data(), bytes.size()));
    return;
  }
  size_t n = array.size();
  Spend(elements, n);
  auto wireElements = out.initElements(static_cast<unsigned>(n));
  for (size_t i = 0; i < n; ++i) {
    Write(array.ElementAt(i), wireElements[i], objects, depth, elements);
  }
}

void Write(const Variant& ref, wire::Variant::Builder out, const ObjectCodec* objects, int depth, size_t& elements) {
  const Variant& value = ref.deref();
  if (value.isArray()) {
    WriteArray(value.array(), out.initArray(), objects, depth + 1, elements);
    return;
  }
  switch (value.type()) {
    case VarType::Empty: out.setEmpty(); return;
    case VarType::Null: out.setNull(); return;
    case VarType::Integer: out.setInteger(value.integer()); return;
    case VarType::Long: out.setLong(value.lng()); return;
    case VarType::Single: out.setSingle(value.single()); return;
    case VarType::Double: out.setDouble(value.dbl()); return;
    case VarType::Currency: out.setCurrency(value.currencyScaled()); return;
    case VarType::Date: out.setDate(value.date()); return;
    case VarType::String: out.setString(kj::StringPtr(value.string().c_str(), value.string().size())); return;
    case VarType::Boolean: out.setBoolean(value.boolean()); return;
    case VarType::Byte: out.setByte(value.byte()); return;
    case VarType::Error: out.setError(value.errorCode()); return;
    case VarType::Object: WriteObject(value.object(), out, objects); return;
    case VarType::Variant: break;  // only an array's element type
  }
  throw AutomationError(err::kTypeMismatch);
}

// ---------------------------------------------------------------- reading

Variant Read(wire::Variant::Reader in, const ObjectCodec* objects, int depth, size_t& elements);

Variant ReadArray(wire::Array::Reader in, const ObjectCodec* objects, int depth, size_t& elements) {
  if (depth > kMaxArrayNesting) Malformed();
  uint16_t code = in.getElementType();
  if (!IsArrayElementType(code)) Malformed();
  VarType type = static_cast<VarType>(code);

  auto wireBounds = in.getBounds();
  if (wireBounds.size() > kMaxArrayDimensions) Malformed();
  std::vector<ArrayBound> bounds;
  bounds.reserve(wireBounds.size());
  for (auto b : wireBounds) bounds.push_back(ArrayBound{b.getLower(), b.getCount()});
  CheckBounds(bounds);

  if (type == VarType::Byte) {
    if (!in.isBytes()) Malformed();
    auto bytes = in.getBytes();
    if (ElementCount(bounds, bytes.size()) != bytes.size()) Malformed();
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    if (bounds.size() == 1 && bounds[0].lower == 0) {
      return Variant::Array(SafeArray::FromBytes(std::move(copy)));
    }
    SafeArray array(VarType::Byte, std::move(bounds));
    for (size_t i = 0; i < copy.size(); ++i) array.SetFlat(i, Variant::Byte(copy[i]));
    return Variant::Array(std::move(array));
  }

  if (!in.isElements()) Malformed();
  auto wireElements = in.getElements();
  if (ElementCount(bounds, wireElements.size()) != wireElements.size()) Malformed();
  // Counted before any is read: a message that points at one array many times is
  // refused before it unfolds.
  Spend(elements, wireElements.size());
  // Decode and check every element before building the array, so the array is
  // only allocated for input that is known to match it.
  std::vector<Variant> values;
  values.reserve(wireElements.size());
  for (auto element : wireElements) {
    Variant v = Read(element, objects, depth, elements);
    if (type != VarType::Variant && (v.isArray() || v.type() != type)) Malformed();
    values.push_back(std::move(v));
  }
  SafeArray array(type, std::move(bounds));
  for (size_t i = 0; i < values.size(); ++i) array.SetFlat(i, std::move(values[i]));
  return Variant::Array(std::move(array));
}

Variant Read(wire::Variant::Reader in, const ObjectCodec* objects, int depth, size_t& elements) {
  switch (in.which()) {
    case wire::Variant::EMPTY: return Variant();
    case wire::Variant::NULL_: return Variant::Null();
    case wire::Variant::INTEGER: return Variant::Integer(in.getInteger());
    case wire::Variant::LONG: return Variant::Long(in.getLong());
    case wire::Variant::SINGLE: return Variant::Single(in.getSingle());
    case wire::Variant::DOUBLE: return Variant::Double(in.getDouble());
    case wire::Variant::CURRENCY: return Variant::Currency(in.getCurrency());
    case wire::Variant::DATE: return Variant::Date(in.getDate());
    case wire::Variant::STRING: {
      auto text = in.getString();
      return Variant::String(std::string(text.begin(), text.end()));
    }
    case wire::Variant::BOOLEAN: return Variant::Boolean(in.getBoolean());
    case wire::Variant::BYTE: return Variant::Byte(in.getByte());
    case wire::Variant::ERROR: return Variant::Error(in.getError());
    case wire::Variant::OBJECT:
      if (objects == nullptr || !objects->fromWire) Malformed();
      return Variant::Object(objects->fromWire(in.getObject()));
    case wire::Variant::NOTHING:
      if (objects == nullptr || !objects->fromWire) Malformed();
      return Variant::Object(nullptr);
    case wire::Variant::ARRAY:
      return ReadArray(in.getArray(), objects, depth + 1, elements);
  }
  // A union member this build does not know.
  Malformed();
}

}  // namespace

void WriteVariant(const Variant& value, wire::Variant::Builder out, const ObjectCodec* objects) {
  size_t elements = 0;
  Write(value, out, objects, 0, elements);
}

Variant ReadVariant(wire::Variant::Reader in, const ObjectCodec* objects) {
  try {
    size_t elements = 0;
    return Read(in, objects, 0, elements);
  } catch (const kj::Exception&) {
    // Cap'n Proto's own checks (bad pointers, limits, unterminated text) reject
    // the input as surely as ours do.
    Malformed();
  }
}

void ReadVariantInto(wire::Variant::Reader in, Variant& out, const ObjectCodec* objects) {
  try {
    switch (in.which()) {
      case wire::Variant::EMPTY:
        out.AssignEmpty();
        return;
      case wire::Variant::STRING: {
        auto text = in.getString();
        out.AssignString(std::string_view(text.begin(), text.size()));
        return;
      }
      default: {
        size_t elements = 0;
        out = Read(in, objects, 0, elements);
        return;
      }
    }
  } catch (const kj::Exception&) {
    Malformed();
  }
}

}  // namespace automation
