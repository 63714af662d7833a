#pragma once
// Lets GoogleTest print Variants in failure messages: kind and text form.

#include <ostream>

#include "automation/automation_error.h"
#include "automation/conversions.h"
#include "automation/variant.h"

namespace automation {

inline void PrintTo(const Variant& value, std::ostream* os) {
  *os << TypeName(value.type()) << (value.isArray() ? "()" : "") << " ";
  try {
    *os << '"' << ToText(value) << '"';
  } catch (const AutomationError&) {
    *os << "(no text form)";
  }
  if (value.type() == VarType::Date && !value.isArray()) *os << " [" << value.deref().date() << "]";
}

}  // namespace automation
