#pragma once
// Lets GoogleTest print Variants in failure messages: kind and text form, an
// array's bounds, a date's serial number.

#include <ostream>

#include "automation/automation_error.h"
#include "automation/conversions.h"
#include "automation/variant.h"

namespace automation {

inline void PrintTo(const Variant& value, std::ostream* os) {
  *os << TypeName(value.type());
  if (value.isArray()) {
    *os << "(";
    for (const ArrayBound& b : value.deref().array().bounds()) *os << "[" << b.lower << " to " << b.upper() << "]";
    *os << ")";
    return;
  }
  *os << " ";
  try {
    *os << '"' << ToText(value) << '"';
  } catch (const AutomationError&) {
    *os << "(no text form)";
  }
  if (value.type() == VarType::Date) *os << " [" << value.deref().date() << "]";
}

}  // namespace automation
