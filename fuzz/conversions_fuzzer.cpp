// Text read as dates and numbers with the runtime's rules, and the numbers that come
// out rendered back as text. The first byte picks what the rest is read as.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "automation/automation_error.h"
#include "automation/conversions.h"
#include "automation/variant.h"

using automation::Variant;
using automation::VarType;

namespace {

constexpr VarType kTargets[] = {VarType::Integer, VarType::Long,    VarType::Single, VarType::Double,
                                VarType::Currency, VarType::Date,   VarType::String, VarType::Boolean,
                                VarType::Byte};

// Every coercion of `value`; those that fail raise an automation error, nothing else.
void CoerceEveryWay(const Variant& value) {
  for (VarType type : kTargets) {
    try {
      Variant converted = automation::ChangeType(value, type);
      (void)automation::ToText(converted);
    } catch (const automation::AutomationError&) {
    }
  }
  (void)automation::IsDate(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0] % 3;
  ++data;
  --size;

  if (mode == 2) {
    // Raw doubles as dates and as numbers: any bit pattern, infinities and NaNs too.
    if (size < sizeof(double)) return 0;
    double number;
    std::memcpy(&number, data, sizeof number);
    CoerceEveryWay(Variant::Date(number));
    CoerceEveryWay(Variant::Double(number));
    try {
      (void)automation::DateToText(number);
    } catch (const automation::AutomationError&) {
    }
    return 0;
  }

  std::string text(reinterpret_cast<const char*>(data), size);
  if (mode == 0) {
    if (auto date = automation::TextToDate(text, 2026)) {
      // A date that reads renders.
      (void)automation::DateToText(*date);
    }
  } else {
    (void)automation::ParseNumber(text);
  }
  CoerceEveryWay(Variant::String(text));
  return 0;
}
