#include "recordkit/reader/logged_event.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>

#include "automation/conversions.h"
#include "automation/date_scale.h"
#include "recordkit/column_value.h"
#include "recordkit/property_set.h"

namespace recordkit {

using automation::Variant;
using automation::VarType;

FieldForm FormOfField(int index) {
  if (index < 0 || index >= kLoggedFields) return FieldForm::Text;
  const std::string name = kEventFieldNames[index];
  if (name == "LogDate") return FieldForm::LogDate;
  if (name == "LogTime") return FieldForm::LogTime;
  if (name == "EventDate") return FieldForm::EventDate;
  if (name == "EventTime") return FieldForm::EventTime;
  if (name == "Severity" || name == "EventCode" || name == "HelpContext" || name == "DetailLevel") {
    return FieldForm::Number;
  }
  return FieldForm::Text;
}

int FieldIndex(const std::string& name) {
  for (int i = 0; i < kLoggedFields; ++i) {
    if (NamesEqual(name, kEventFieldNames[i])) return i;
  }
  return -1;
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

Variant WholeNumber(int64_t number) {
  if (number >= std::numeric_limits<int32_t>::min() && number <= std::numeric_limits<int32_t>::max()) {
    return Variant::Long(static_cast<int32_t>(number));
  }
  return Variant::Double(static_cast<double>(number));
}

// `width` digits at `at`, as a number; -1 when they are not all digits.
int Digits(const std::string& text, size_t at, size_t width) {
  if (at + width > text.size()) return -1;
  int value = 0;
  for (size_t i = at; i < at + width; ++i) {
    if (!IsDigit(text[i])) return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

std::optional<double> IsoDateAt(const std::string& text, size_t at) {
  if (at + 10 > text.size() || text[at + 4] != '-' || text[at + 7] != '-') return std::nullopt;
  const int year = Digits(text, at, 4), month = Digits(text, at + 5, 2), day = Digits(text, at + 8, 2);
  if (year < 0 || month < 0 || day < 0) return std::nullopt;
  return automation::DateSerial({year, month, day});
}

std::optional<double> IsoTimeAt(const std::string& text, size_t at) {
  if (at + 8 > text.size() || text[at + 2] != ':' || text[at + 5] != ':') return std::nullopt;
  const int hour = Digits(text, at, 2), minute = Digits(text, at + 3, 2), second = Digits(text, at + 6, 2);
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) return std::nullopt;
  return automation::TimeSerial({hour, minute, second});
}

// YYYY-MM-DD, HH:MM:SS, or YYYY-MM-DD HH:MM:SS (a 'T' between them too).
std::optional<double> ReadIsoDateTime(const std::string& text) {
  if (text.size() == 10) return IsoDateAt(text, 0);
  if (text.size() == 8) return IsoTimeAt(text, 0);
  if (text.size() == 19 && (text[10] == ' ' || text[10] == 'T')) {
    auto date = IsoDateAt(text, 0);
    auto time = IsoTimeAt(text, 11);
    if (date && time) return automation::CombineDateTime(*date, *time);
  }
  return std::nullopt;
}

bool IsDateForm(FieldForm form) {
  return form == FieldForm::LogDate || form == FieldForm::LogTime || form == FieldForm::EventDate ||
         form == FieldForm::EventTime;
}

}  // namespace

std::optional<Variant> ReadDecimal(const std::string& text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const size_t digitsFrom = i;
  while (i < text.size() && IsDigit(text[i])) ++i;
  size_t digits = i - digitsFrom;
  bool whole = true;
  if (i < text.size() && text[i] == '.') {
    whole = false;
    ++i;
    const size_t fractionFrom = i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    digits += i - fractionFrom;
  }
  if (digits == 0) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    whole = false;
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const size_t exponentFrom = i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    if (i == exponentFrom) return std::nullopt;
  }
  if (i != text.size()) return std::nullopt;
  if (whole) {
    int64_t number = 0;
    const char* begin = text.data() + (text[0] == '+' ? 1 : 0);
    auto [end, ec] = std::from_chars(begin, text.data() + text.size(), number);
    if (ec == std::errc() && end == text.data() + text.size()) return WholeNumber(number);
  }
  const double number = std::strtod(text.c_str(), nullptr);
  if (!std::isfinite(number)) return std::nullopt;
  return Variant::Double(number);
}

std::string ShortestDecimal(double number) {
  char buffer[32];
  auto end = std::to_chars(buffer, buffer + sizeof buffer, number).ptr;
  return std::string(buffer, end);
}

Variant FromTableText(FieldForm form, const std::string& text) {
  if (form == FieldForm::Text) return Variant::String(text);
  if (auto number = ReadDecimal(text)) return *number;
  if (IsDateForm(form)) {
    if (auto date = ReadIsoDateTime(text)) return Variant::Date(*date);
  }
  return Variant::String(text);
}

Variant FromTableInteger(FieldForm form, int64_t number) {
  if (form == FieldForm::Text) return Variant::String(std::to_string(number));
  return WholeNumber(number);
}

Variant FromTableReal(FieldForm form, double number) {
  if (form == FieldForm::Text) return Variant::String(ShortestDecimal(number));
  // A whole real reads as its whole number, as its text does in the other stores.
  if (number == std::trunc(number) && std::fabs(number) <= 2147483647.0) {
    return Variant::Long(static_cast<int32_t>(number));
  }
  return Variant::Double(number);
}

Variant FromLogText(FieldForm form, const std::string& text) {
  if (text.empty()) return Variant::Null();
  if (form == FieldForm::Text) return Variant::String(text);
  if (auto number = ReadDecimal(text)) return *number;
  if (form == FieldForm::Number) {
    // A Boolean is written True or False; a table keeps it as -1 or 0.
    if (text == "True") return Variant::Long(-1);
    if (text == "False") return Variant::Long(0);
    return Variant::String(text);
  }
  if (auto date = automation::TextToDate(text)) return Variant::Date(*date);
  return Variant::String(text);
}

std::string DisplayText(const Variant& given) {
  const Variant& value = given.deref();
  if (value.isArray()) return "";
  switch (value.type()) {
    case VarType::Empty:
    case VarType::Null: return "";
    case VarType::String: return value.string();
    case VarType::Integer: return std::to_string(value.integer());
    case VarType::Long: return std::to_string(value.lng());
    case VarType::Byte: return std::to_string(value.byte());
    case VarType::Single: return ShortestDecimal(value.single());
    case VarType::Double: return ShortestDecimal(value.dbl());
    case VarType::Date: {
      const double date = value.date();
      if (!automation::IsOnDateScale(date)) return "";
      if (automation::WholeDays(date) == 0) return IsoTime(date);
      if (automation::TimeFraction(date) == 0) return IsoDate(date);
      return IsoDate(date) + " " + IsoTime(date);
    }
    default:
      try {
        return automation::ToText(value);
      } catch (const std::exception&) {
        return "";
      }
  }
}

std::string LoggedAt(const LoggedEvent& event) {
  static_assert(kLoggedFields == 19);
  const Variant& date = event[FieldIndex("LogDate")];
  const Variant& time = event[FieldIndex("LogTime")];
  if (date.type() != VarType::Date || !automation::IsOnDateScale(date.date())) return "";
  std::string at = IsoDate(date.date()) + " ";
  if (time.type() == VarType::Date && automation::IsOnDateScale(time.date())) return at + IsoTime(time.date());
  return at + "00:00:00";
}

}  // namespace recordkit
