#pragma once
// automation::Variant: the one value type that crosses every interface of the server,
// with the kinds, copy rules and arrays of the automation runtime.

#include <cassert>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace automation {

class Dispatch;

// Type codes, numbered as the automation runtime numbers them.
enum class VarType : uint16_t {
  Empty = 0,
  Null = 1,
  Integer = 2,   // 16-bit signed
  Long = 3,      // 32-bit signed
  Single = 4,
  Double = 5,
  Currency = 6,  // 64-bit fixed point, four decimals
  Date = 7,      // days since 30 Dec 1899, time of day as the fraction
  String = 8,
  Object = 9,
  Error = 10,
  Boolean = 11,
  Variant = 12,  // only as an array's element type
  Byte = 17,
};

const char* TypeName(VarType type);

class Variant;

// One dimension of an array: its lower bound and its number of elements.
struct ArrayBound {
  int32_t lower = 0;
  uint32_t count = 0;
  int32_t upper() const { return static_cast<int32_t>(lower + static_cast<int64_t>(count) - 1); }
  bool operator==(const ArrayBound&) const = default;
};

// A multi-dimensional array with per-dimension lower bounds and a fixed element type
// (VarType::Variant for elements of any kind). Elements are stored with the first index
// varying fastest, as the runtime stores them. Byte arrays keep plain bytes.
class SafeArray {
 public:
  // All elements start as the element type's empty value (0, "", False, Empty).
  // 13 for the element type Empty or Null; 7 when the elements cannot be held.
  SafeArray(VarType elementType, std::vector<ArrayBound> bounds);
  // A one-dimensional byte array, lower bound 0.
  static SafeArray FromBytes(std::vector<uint8_t> bytes);

  VarType elementType() const { return elementType_; }
  const std::vector<ArrayBound>& bounds() const { return bounds_; }
  size_t dimensions() const { return bounds_.size(); }
  size_t size() const;

  // Element access by one index per dimension; 9 when the count or an index is off.
  Variant Get(const std::vector<int32_t>& indices) const;
  // Stores `value` converted to the element type (13 when it cannot be, 6 on overflow).
  void Set(const std::vector<int32_t>& indices, const Variant& value);

  // Flat access in storage order (0 .. size()-1); 9 past the end.
  Variant GetFlat(size_t i) const;
  void SetFlat(size_t i, const Variant& value);
  // The same, taking `value` over instead of copying it (a nested array is not
  // copied element by element).
  void SetFlat(size_t i, Variant&& value);
  // The element itself, without a copy; for arrays other than Byte arrays (9 for those).
  const Variant& ElementAt(size_t i) const;

  // For byte arrays only: the raw bytes (none for other arrays).
  const std::vector<uint8_t>& bytes() const;

  bool operator==(const SafeArray& other) const;

 private:
  // The byte array FromBytes makes, built in place.
  explicit SafeArray(std::vector<uint8_t> bytes);

  size_t FlatIndex(const std::vector<int32_t>& indices) const;

  VarType elementType_;
  std::vector<ArrayBound> bounds_;
  std::vector<Variant> elements_;  // every element type but Byte
  // Byte. Shared between copies, which are many (a packed record is copied on its way
  // to the writer), and copied only when one of them changes an element.
  std::shared_ptr<std::vector<uint8_t>> bytes_;
};

class Variant {
 public:
  Variant() = default;  // Empty
  Variant(const Variant& other);
  Variant(Variant&& other) noexcept = default;
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept = default;
  ~Variant() = default;

  static Variant Null() { return Scalar(VarType::Null, 0, 0); }
  static Variant Integer(int16_t v) { return Scalar(VarType::Integer, v, 0); }
  static Variant Long(int32_t v) { return Scalar(VarType::Long, v, 0); }
  static Variant Single(float v) { return Scalar(VarType::Single, 0, v); }
  static Variant Double(double v) { return Scalar(VarType::Double, 0, v); }
  // `scaled` is the amount times 10000.
  static Variant Currency(int64_t scaled) { return Scalar(VarType::Currency, scaled, 0); }
  static Variant Date(double v) { return Scalar(VarType::Date, 0, v); }
  static Variant String(std::string v) {
    Variant x;
    x.type_ = VarType::String;
    x.string_ = std::move(v);
    return x;
  }
  static Variant Boolean(bool v) { return Scalar(VarType::Boolean, v ? -1 : 0, 0); }
  static Variant Byte(uint8_t v) { return Scalar(VarType::Byte, v, 0); }
  static Variant Error(int32_t scode) { return Scalar(VarType::Error, scode, 0); }
  static Variant Object(std::shared_ptr<Dispatch> object);
  static Variant Array(SafeArray array);
  // A Variant that refers to another; reads and writes through it reach the target.
  static Variant ByRef(std::shared_ptr<Variant> target);

  // The kind of the value; for an array, its element type with isArray() true.
  // A by-reference Variant answers for the value it refers to.
  VarType type() const { return deref().type_; }
  bool isArray() const { return deref().array_ != nullptr; }
  bool isByRef() const { return ref_ != nullptr; }
  bool isEmpty() const { return type() == VarType::Empty && !isArray(); }
  bool isNull() const { return type() == VarType::Null && !isArray(); }

  // Follows by-reference Variants to the value they finally refer to.
  const Variant& deref() const {
    const Variant* v = this;
    while (v->ref_) v = v->ref_.get();
    return *v;
  }
  Variant& deref() {
    Variant* v = this;
    while (v->ref_) v = v->ref_.get();
    return *v;
  }
  const std::shared_ptr<Variant>& refTarget() const { return ref_; }

  // Raw accessors of a Variant that is not by reference; each assumes the matching
  // type() (checked with an assertion). Inline, with deref() and the factories:
  // every loop that reads or writes records goes through them.
  int16_t integer() const {
    assert(type_ == VarType::Integer && !array_);
    return static_cast<int16_t>(int_);
  }
  int32_t lng() const {
    assert(type_ == VarType::Long && !array_);
    return static_cast<int32_t>(int_);
  }
  float single() const {
    assert(type_ == VarType::Single && !array_);
    return static_cast<float>(real_);
  }
  double dbl() const {
    assert(type_ == VarType::Double && !array_);
    return real_;
  }
  int64_t currencyScaled() const {
    assert(type_ == VarType::Currency && !array_);
    return int_;
  }
  double date() const {
    assert(type_ == VarType::Date && !array_);
    return real_;
  }
  const std::string& string() const {
    assert(type_ == VarType::String && !array_);
    return string_;
  }
  bool boolean() const {
    assert(type_ == VarType::Boolean && !array_);
    return int_ != 0;
  }
  uint8_t byte() const {
    assert(type_ == VarType::Byte && !array_);
    return static_cast<uint8_t>(int_);
  }
  int32_t errorCode() const {
    assert(type_ == VarType::Error && !array_);
    return static_cast<int32_t>(int_);
  }
  const std::shared_ptr<Dispatch>& object() const {
    assert(type_ == VarType::Object && !array_);
    return object_;
  }
  const SafeArray& array() const {
    assert(array_);
    return *array_;
  }
  SafeArray& array() {
    assert(array_);
    return *array_;
  }

  // Make this Variant Empty, or the text `text`, in place: a reader that decodes
  // value after value into the same Variant keeps the room its text had.
  void AssignEmpty();
  void AssignString(std::string_view text);

  // Same kind and same value; arrays element by element; objects by identity.
  bool operator==(const Variant& other) const;

 private:
  // A Variant of a kind held in int_ or real_.
  static Variant Scalar(VarType type, int64_t i, double r) {
    Variant v;
    v.type_ = type;
    v.int_ = i;
    v.real_ = r;
    return v;
  }

  VarType type_ = VarType::Empty;
  int64_t int_ = 0;   // Integer, Long, Currency, Boolean, Byte, Error
  double real_ = 0;   // Single, Double, Date
  std::string string_;
  std::shared_ptr<Dispatch> object_;       // shared on copy
  std::unique_ptr<SafeArray> array_;       // copied element by element
  std::shared_ptr<Variant> ref_;           // by-reference target, shared on copy
};

}  // namespace automation
