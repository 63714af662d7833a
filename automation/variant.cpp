#include "automation/variant.h"

#include <cassert>
#include <new>
#include <stdexcept>

#include "automation/automation_error.h"
#include "automation/conversions.h"
#include "automation/dispatch.h"

namespace automation {

const char* TypeName(VarType type) {
  switch (type) {
    case VarType::Empty: return "Empty";
    case VarType::Null: return "Null";
    case VarType::Integer: return "Integer";
    case VarType::Long: return "Long";
    case VarType::Single: return "Single";
    case VarType::Double: return "Double";
    case VarType::Currency: return "Currency";
    case VarType::Date: return "Date";
    case VarType::String: return "String";
    case VarType::Object: return "Object";
    case VarType::Error: return "Error";
    case VarType::Boolean: return "Boolean";
    case VarType::Variant: return "Variant";
    case VarType::Byte: return "Byte";
  }
  return "Unknown";
}

// ---------------------------------------------------------------- SafeArray

namespace {
Variant EmptyElement(VarType type) {
  switch (type) {
    case VarType::Integer: return Variant::Integer(0);
    case VarType::Long: return Variant::Long(0);
    case VarType::Single: return Variant::Single(0);
    case VarType::Double: return Variant::Double(0);
    case VarType::Currency: return Variant::Currency(0);
    case VarType::Date: return Variant::Date(0);
    case VarType::String: return Variant::String("");
    case VarType::Boolean: return Variant::Boolean(false);
    case VarType::Byte: return Variant::Byte(0);
    case VarType::Error: return Variant::Error(0);
    case VarType::Object: return Variant::Object(nullptr);
    default: return Variant();
  }
}
}  // namespace

SafeArray::SafeArray(VarType elementType, std::vector<ArrayBound> bounds)
    : elementType_(elementType), bounds_(std::move(bounds)) {
  if (elementType_ == VarType::Empty || elementType_ == VarType::Null) {
    throw AutomationError(err::kTypeMismatch);
  }
  // Bounds come from clients: a product of counts that overflows, or that no memory can
  // hold, is the runtime's "Out of memory" rather than a short array indexed past its end.
  size_t n = bounds_.empty() ? 0 : 1;
  for (const auto& b : bounds_) {
    if (b.count != 0 && n > elements_.max_size() / b.count) throw AutomationError(err::kOutOfMemory);
    n *= b.count;
  }
  try {
    if (elementType_ == VarType::Byte) {
      bytes_ = std::make_shared<std::vector<uint8_t>>(n, 0);
    } else {
      elements_.assign(n, EmptyElement(elementType_));
    }
  } catch (const std::bad_alloc&) {
    throw AutomationError(err::kOutOfMemory);
  } catch (const std::length_error&) {
    throw AutomationError(err::kOutOfMemory);
  }
}

SafeArray::SafeArray(std::vector<uint8_t> bytes)
    : elementType_(VarType::Byte),
      bounds_{ArrayBound{0, static_cast<uint32_t>(bytes.size())}},
      bytes_(std::make_shared<std::vector<uint8_t>>(std::move(bytes))) {}

SafeArray SafeArray::FromBytes(std::vector<uint8_t> bytes) { return SafeArray(std::move(bytes)); }

const std::vector<uint8_t>& SafeArray::bytes() const {
  static const std::vector<uint8_t> kNone;
  return bytes_ ? *bytes_ : kNone;
}

size_t SafeArray::size() const {
  if (bounds_.empty()) return 0;
  size_t n = 1;
  for (const auto& b : bounds_) n *= b.count;
  return n;
}

size_t SafeArray::FlatIndex(const std::vector<int32_t>& indices) const {
  if (indices.size() != bounds_.size()) throw AutomationError(err::kSubscriptOutOfRange);
  size_t flat = 0;
  size_t stride = 1;
  for (size_t d = 0; d < bounds_.size(); ++d) {
    int64_t offset = static_cast<int64_t>(indices[d]) - bounds_[d].lower;
    if (offset < 0 || offset >= static_cast<int64_t>(bounds_[d].count)) {
      throw AutomationError(err::kSubscriptOutOfRange);
    }
    flat += static_cast<size_t>(offset) * stride;
    stride *= bounds_[d].count;
  }
  return flat;
}

Variant SafeArray::Get(const std::vector<int32_t>& indices) const {
  return GetFlat(FlatIndex(indices));
}

void SafeArray::Set(const std::vector<int32_t>& indices, const Variant& value) {
  SetFlat(FlatIndex(indices), value);
}

Variant SafeArray::GetFlat(size_t i) const {
  if (i >= size()) throw AutomationError(err::kSubscriptOutOfRange);
  if (elementType_ == VarType::Byte) return Variant::Byte((*bytes_)[i]);
  return elements_[i];
}

void SafeArray::SetFlat(size_t i, const Variant& value) {
  if (i >= size()) throw AutomationError(err::kSubscriptOutOfRange);
  if (elementType_ == VarType::Byte) {
    const uint8_t byte = ChangeType(value, VarType::Byte).byte();
    // Copies share their bytes until one of them is changed.
    if (bytes_.use_count() > 1) bytes_ = std::make_shared<std::vector<uint8_t>>(*bytes_);
    (*bytes_)[i] = byte;
  } else if (elementType_ == VarType::Variant) {
    elements_[i] = value.deref();
  } else {
    elements_[i] = ChangeType(value, elementType_);
  }
}

void SafeArray::SetFlat(size_t i, Variant&& value) {
  if (elementType_ == VarType::Variant && !value.isByRef() && i < size()) {
    elements_[i] = std::move(value);
    return;
  }
  SetFlat(i, static_cast<const Variant&>(value));
}

const Variant& SafeArray::ElementAt(size_t i) const {
  if (i >= size() || elementType_ == VarType::Byte) throw AutomationError(err::kSubscriptOutOfRange);
  return elements_[i];
}

bool SafeArray::operator==(const SafeArray& other) const {
  return elementType_ == other.elementType_ && bounds_ == other.bounds_ &&
         elements_ == other.elements_ && bytes() == other.bytes();
}

// ---------------------------------------------------------------- Variant

Variant::Variant(const Variant& other)
    : type_(other.type_),
      int_(other.int_),
      real_(other.real_),
      string_(other.string_),
      object_(other.object_),
      array_(other.array_ ? std::make_unique<SafeArray>(*other.array_) : nullptr),
      ref_(other.ref_) {}

Variant& Variant::operator=(const Variant& other) {
  if (this != &other) {
    Variant copy(other);
    *this = std::move(copy);
  }
  return *this;
}

void Variant::AssignEmpty() {
  type_ = VarType::Empty;
  int_ = 0;
  real_ = 0;
  string_.clear();
  array_.reset();
  object_.reset();
  ref_.reset();
}

void Variant::AssignString(std::string_view text) {
  AssignEmpty();
  string_.assign(text);
  type_ = VarType::String;
}

Variant Variant::Object(std::shared_ptr<Dispatch> object) {
  Variant v;
  v.type_ = VarType::Object;
  v.object_ = std::move(object);
  return v;
}
Variant Variant::Array(SafeArray array) {
  Variant v;
  v.type_ = array.elementType();
  v.array_ = std::make_unique<SafeArray>(std::move(array));
  return v;
}
Variant Variant::ByRef(std::shared_ptr<Variant> target) {
  assert(target != nullptr);
  Variant v;
  v.type_ = target->type_;
  v.ref_ = std::move(target);
  return v;
}



bool Variant::operator==(const Variant& other) const {
  if (ref_ || other.ref_) return deref() == other.deref();
  if (type_ != other.type_ || isArray() != other.isArray()) return false;
  if (isArray()) return *array_ == *other.array_;
  switch (type_) {
    case VarType::Single:
    case VarType::Double:
    case VarType::Date:
      return real_ == other.real_;
    case VarType::String:
      return string_ == other.string_;
    case VarType::Object:
      return object_ == other.object_;
    default:
      return int_ == other.int_;
  }
}

}  // namespace automation
