#include "recordkit/sqlite/column_value.h"


#include "automation/automation_error.h"
#include "automation/conversions.h"
#include "automation/date_scale.h"

namespace recordkit {

using automation::AutomationError;
using automation::Variant;
using automation::VarType;

namespace {

// A value off the date scale has no calendar date to write.
void RequireOnScale(double date) {
  if (!automation::IsOnDateScale(date)) throw AutomationError(automation::err::kTypeMismatch);
}

SqlValue PlainValue(const Variant& value) {
  switch (value.type()) {
    case VarType::Empty:
    case VarType::Null:
      return std::monostate{};
    case VarType::Integer: return int64_t{value.integer()};
    case VarType::Long: return int64_t{value.lng()};
    case VarType::Byte: return int64_t{value.byte()};
    case VarType::Boolean: return int64_t{value.boolean() ? -1 : 0};
    case VarType::Single: return double{value.single()};
    case VarType::Double: return value.dbl();
    case VarType::Currency: return static_cast<double>(value.currencyScaled()) / 10000.0;
    case VarType::String: return value.string();
    case VarType::Date:
      RequireOnScale(value.date());
      return automation::ToText(value);
    default:
      throw AutomationError(automation::err::kTypeMismatch);
  }
}

// DatePart and TimePart raise 6 for a value that rounds off the scale; for a field
// that is a value that cannot be stored.
template <typename Part>
auto PartOf(Part part, double date) {
  RequireOnScale(date);
  try {
    return part(date);
  } catch (const AutomationError&) {
    throw AutomationError(automation::err::kTypeMismatch);
  }
}

}  // namespace

namespace {

// `value` as `width` decimal digits, zeros in front; the parts of a date on the
// date scale always fit (years 100 to 9999). Four of these a row: snprintf was a
// good part of a row's conversion.
void AppendDigits(std::string& text, int value, int width) {
  char digits[8];
  for (int i = width - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  text.append(digits, static_cast<size_t>(width));
}

}  // namespace

std::string IsoDate(double date) {
  const automation::CivilDate d = PartOf(automation::DatePart, date);
  std::string text;
  AppendDigits(text, d.year, 4);
  text += '-';
  AppendDigits(text, d.month, 2);
  text += '-';
  AppendDigits(text, d.day, 2);
  return text;
}

std::string IsoTime(double date) {
  const automation::TimeOfDay t = PartOf(automation::TimePart, date);
  std::string text;
  AppendDigits(text, t.hour, 2);
  text += ':';
  AppendDigits(text, t.minute, 2);
  text += ':';
  AppendDigits(text, t.second, 2);
  return text;
}

SqlValue ToSqlValue(ColumnKind kind, const Variant& given) {
  const Variant& value = given.deref();
  if (value.isArray()) throw AutomationError(automation::err::kTypeMismatch);
  if (kind == ColumnKind::Plain) return PlainValue(value);

  double date = 0;
  if (value.type() == VarType::Date) {
    date = value.date();
  } else if (value.type() == VarType::String) {
    auto read = automation::TextToDate(value.string());
    if (!read) return value.string();
    date = *read;
  } else {
    return PlainValue(value);
  }
  return kind == ColumnKind::Date ? IsoDate(date) : IsoTime(date);
}

}  // namespace recordkit
