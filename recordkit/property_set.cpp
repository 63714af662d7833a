#include "recordkit/property_set.h"

#include <utility>

#include "automation/ascii_text.h"
#include "automation/automation_error.h"
#include "automation/conversions.h"

namespace recordkit {

using automation::AutomationError;
using automation::DispId;
using automation::Variant;
namespace err = automation::err;
namespace flags = automation::dispatch_flags;

const char* const kEventFieldNames[19] = {
    "AppName",  "AppVersion", "Description", "Severity",    "EventCode",
    "AddlText", "EventData",  "UserName",    "EventDate",   "EventTime",
    "LogDate",  "LogTime",    "HelpFile",    "HelpContext", "SubName",
    "ModuleName", "UserDescription", "UserComment", "DetailLevel",
};


namespace {

struct Member {
  const char* name;
  DispId id;
};

template <size_t N>
std::vector<DispId> LookUpIds(const Member (&members)[N], const std::vector<std::string>& names) {
  std::vector<DispId> ids;
  ids.reserve(names.size());
  for (const auto& name : names) {
    bool found = false;
    for (const auto& m : members) {
      if (NamesEqual(name, m.name)) {
        ids.push_back(m.id);
        found = true;
        break;
      }
    }
    if (!found) throw AutomationError(err::kNotSupported);
  }
  return ids;
}

// A property get may arrive as a method call, as the runtime's late binding sends
// `obj.Member` with both flags when it cannot tell which is meant.
bool IsGet(uint16_t f) { return (f & (flags::kPropertyGet | flags::kMethod)) != 0; }
bool IsPut(uint16_t f) { return (f & flags::kPropertyPut) != 0; }

void RequireArgs(const std::vector<Variant>& args, size_t count) {
  if (args.size() != count) throw AutomationError(err::kWrongArgumentCount);
}

const Member kPropertyMembers[] = {
    {"Value", property_dispid::kValue},
    {"Name", property_dispid::kName},
    {"Mapped", property_dispid::kMapped},
};

const Member kPropertySetMembers[] = {
    {"Item", property_set_dispid::kItem},
    {"Count", property_set_dispid::kCount},
};

}  // namespace

// ---------------------------------------------------------------- Property

Property::Property(std::string name, Variant value, bool mapped)
    : name_(std::move(name)), value_(value.deref()), mapped_(mapped) {}

void Property::SetValue(const Variant& value) {
  // A by-reference value would tie the field to the caller's variable; the field
  // keeps the value as it is now.
  value_ = value.deref();
}

void Property::SetValue(Variant&& value) {
  if (value.isByRef()) {
    value_ = value.deref();
  } else {
    value_ = std::move(value);
  }
}

kj::Promise<Variant> Property::Invoke(DispId dispId, uint16_t f, std::vector<Variant>& args) {
  switch (dispId) {
    case property_dispid::kValue:
      if (IsPut(f)) {
        RequireArgs(args, 1);
        SetValue(args[0]);
        return Variant();
      }
      if (IsGet(f)) {
        RequireArgs(args, 0);
        return Variant(value_);
      }
      break;
    case property_dispid::kName:
      if (IsPut(f)) break;
      if (IsGet(f)) {
        RequireArgs(args, 0);
        return Variant::String(name_);
      }
      break;
    case property_dispid::kMapped:
      if (IsPut(f)) break;
      if (IsGet(f)) {
        RequireArgs(args, 0);
        return Variant::Boolean(mapped_);
      }
      break;
    default:
      break;
  }
  throw AutomationError(err::kNotSupported);
}

std::vector<DispId> Property::GetIDsOfNames(const std::vector<std::string>& names) {
  return LookUpIds(kPropertyMembers, names);
}

// ---------------------------------------------------------------- PropertySet

std::shared_ptr<PropertySet> PropertySet::NewEventSet() {
  auto set = std::make_shared<PropertySet>();
  set->properties_.reserve(std::size(kEventFieldNames));
  for (const char* name : kEventFieldNames) {
    set->properties_.push_back(std::make_shared<Property>(name, Variant(), true));
  }
  return set;
}

std::shared_ptr<Property> PropertySet::Add(const std::string& name, const Variant& value,
                                           bool mapped) {
  // A field already held keeps its object (and its place), so references handed
  // out earlier through Item stay valid.
  if (auto existing = Find(name)) {
    existing->SetValue(value);
    existing->mapped_ = mapped;
    return existing;
  }
  auto property = std::make_shared<Property>(name, value, mapped);
  properties_.push_back(property);
  return property;
}

std::shared_ptr<Property> PropertySet::Item(const std::string& name) const {
  auto property = Find(name);
  if (property == nullptr) throw AutomationError(err::kInvalidProcedureCall);
  return property;
}

std::shared_ptr<Property> PropertySet::Find(const std::string& name) const {
  for (const auto& property : properties_) {
    if (NamesEqual(property->Name(), name)) return property;
  }
  return nullptr;
}

kj::Promise<Variant> PropertySet::Invoke(DispId dispId, uint16_t f, std::vector<Variant>& args) {
  if (!IsPut(f) && IsGet(f)) {
    switch (dispId) {
      case property_set_dispid::kItem:
        RequireArgs(args, 1);
        return Variant::Object(Item(automation::ToText(args[0].deref())));
      case property_set_dispid::kCount:
        RequireArgs(args, 0);
        return Variant::Long(static_cast<int32_t>(properties_.size()));
      default:
        break;
    }
  }
  throw AutomationError(err::kNotSupported);
}

std::vector<DispId> PropertySet::GetIDsOfNames(const std::vector<std::string>& names) {
  return LookUpIds(kPropertySetMembers, names);
}

}  // namespace recordkit
