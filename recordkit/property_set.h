#pragma once
// The named fields of one event: a PropertySet of Property objects, each with a
// Name, a Value and a Mapped flag. Both also answer late-bound calls.

#include <memory>
#include <string>
#include <vector>

#include "automation/ascii_text.h"
#include "automation/dispatch.h"
#include "automation/variant.h"

namespace recordkit {

// Dispatch ids of the two classes.
namespace property_dispid {
constexpr automation::DispId kValue = 0;  // the default member
constexpr automation::DispId kName = 1;
constexpr automation::DispId kMapped = 2;
}  // namespace property_dispid
namespace property_set_dispid {
constexpr automation::DispId kItem = 0;  // the default member
constexpr automation::DispId kCount = 1;
}  // namespace property_set_dispid

class Property : public automation::Dispatch {
 public:
  Property(std::string name, automation::Variant value, bool mapped);

  const std::string& Name() const { return name_; }
  const automation::Variant& Value() const { return value_; }
  // Takes a copy of the value, followed to its target when it is by reference.
  void SetValue(const automation::Variant& value);
  void SetValue(automation::Variant&& value);
  bool Mapped() const { return mapped_; }

  kj::Promise<automation::Variant> Invoke(automation::DispId dispId, uint16_t flags,
                                          std::vector<automation::Variant>& args) override;
  std::vector<automation::DispId> GetIDsOfNames(const std::vector<std::string>& names) override;

 private:
  friend class PropertySet;  // Add may change the mapped flag of a field it holds

  const std::string name_;
  automation::Variant value_;
  bool mapped_;
};

// The 19 event fields, in the order a new set holds them.
extern const char* const kEventFieldNames[19];

class PropertySet : public automation::Dispatch {
 public:
  // A new set holds the 19 event fields, each mapped and Empty.
  static std::shared_ptr<PropertySet> NewEventSet();
  // An empty set, for building sets with other fields.
  PropertySet() = default;

  // Adds a field at the end; replaces the value and flag of one already held.
  std::shared_ptr<Property> Add(const std::string& name, const automation::Variant& value, bool mapped);

  // The field so named, matched without regard to case; raises 5 when the set
  // holds none.
  std::shared_ptr<Property> Item(const std::string& name) const;
  // The same, or nullptr.
  std::shared_ptr<Property> Find(const std::string& name) const;

  // Enumeration: every field in a stable order (the order of adding).
  const std::vector<std::shared_ptr<Property>>& Properties() const { return properties_; }
  size_t Count() const { return properties_.size(); }

  kj::Promise<automation::Variant> Invoke(automation::DispId dispId, uint16_t flags,
                                          std::vector<automation::Variant>& args) override;
  std::vector<automation::DispId> GetIDsOfNames(const std::vector<std::string>& names) override;

 private:
  std::vector<std::shared_ptr<Property>> properties_;
};

// ASCII case-blind equality, the rule for field names.
inline bool NamesEqual(const std::string& a, const std::string& b) { return automation::EqualsNoCase(a, b); }

}  // namespace recordkit
