#include "client/json_values.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "automation/automation_error.h"
#include "automation/conversions.h"
#include "automation/date_scale.h"

namespace ledgerwick::json {

using automation::Variant;
using automation::VarType;

namespace {

// Reads exactly `digits` decimal digits at `pos`.
bool Digits(const std::string& s, size_t pos, size_t digits, int& out) {
  if (pos + digits > s.size()) return false;
  int v = 0;
  for (size_t i = 0; i < digits; ++i) {
    char c = s[pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

double DateOf(const std::string& s) {
  automation::CivilDate date;
  if (s.size() != 10 || s[4] != '-' || s[7] != '-' || !Digits(s, 0, 4, date.year) ||
      !Digits(s, 5, 2, date.month) || !Digits(s, 8, 2, date.day)) {
    throw ValueError("not a date YYYY-MM-DD: " + s);
  }
  std::optional<double> serial = automation::DateSerial(date);
  if (!serial) throw ValueError("no such date: " + s);
  return *serial;
}

double TimeOf(const std::string& s) {
  automation::TimeOfDay time;
  if (s.size() != 8 || s[2] != ':' || s[5] != ':' || !Digits(s, 0, 2, time.hour) ||
      !Digits(s, 3, 2, time.minute) || !Digits(s, 6, 2, time.second) || time.hour > 23 || time.minute > 59 ||
      time.second > 59) {
    throw ValueError("not a time HH:MM:SS: " + s);
  }
  return automation::TimeSerial(time);
}

Variant DateObject(const Value& value) {
  if (value.members.size() != 1 || value.members[0].value.kind != Value::Kind::String) {
    throw ValueError("an object stands for a date: {\"date\":...}, {\"time\":...} or {\"datetime\":...}");
  }
  const std::string& kind = value.members[0].name;
  const std::string& text = value.members[0].value.string;
  if (kind == "date") return Variant::Date(DateOf(text));
  if (kind == "time") return Variant::Date(TimeOf(text));
  if (kind == "datetime") {
    if (text.size() != 19 || text[10] != 'T') throw ValueError("not a date and time YYYY-MM-DDTHH:MM:SS: " + text);
    return Variant::Date(automation::CombineDateTime(DateOf(text.substr(0, 10)), TimeOf(text.substr(11))));
  }
  throw ValueError("unknown date kind \"" + kind + "\" (date, time or datetime)");
}

Variant Number(const Value& value) {
  errno = 0;
  if (value.integer) {
    char* end = nullptr;
    long long n = std::strtoll(value.text.c_str(), &end, 10);
    if (errno == 0 && n >= std::numeric_limits<int32_t>::min() && n <= std::numeric_limits<int32_t>::max()) {
      return Variant::Long(static_cast<int32_t>(n));
    }
    errno = 0;
  }
  double d = std::strtod(value.text.c_str(), nullptr);
  if (errno == ERANGE && std::isinf(d)) throw ValueError("number out of range: " + value.text);
  return Variant::Double(d);
}

std::string Two(int v) { return (v < 10 ? "0" : "") + std::to_string(v); }

nlohmann::ordered_json DateJson(double value) {
  automation::CivilDate d = automation::DatePart(value);
  automation::TimeOfDay t = automation::TimePart(value);
  std::string year = std::to_string(d.year);
  while (year.size() < 4) year = "0" + year;
  std::string date = year + "-" + Two(d.month) + "-" + Two(d.day);
  std::string time = Two(t.hour) + ":" + Two(t.minute) + ":" + Two(t.second);
  double whole = automation::WholeDays(value);
  double fraction = automation::TimeFraction(value);
  // As the runtime renders them: no date part is a time of day, no time part a date.
  if (whole == 0) return {{"time", time}};
  if (fraction == 0) return {{"date", date}};
  return {{"datetime", date + "T" + time}};
}

// A double as the library writes it: the shortest form that reads back the same, with
// a fraction or an exponent (100.0, 1e+300), so that it reads back as a Double and not
// as a whole number. JSON has no infinity or NaN: those are null.
nlohmann::ordered_json NumberJson(double d) {
  if (!std::isfinite(d)) return nullptr;
  return d;
}

// Currency as its decimal value: a whole amount exactly, any other as the nearest
// double.
nlohmann::ordered_json CurrencyJson(int64_t scaled) {
  if (scaled % 10000 == 0) return scaled / 10000;
  return static_cast<double>(scaled) / 10000;
}

nlohmann::ordered_json JsonOf(const Variant& ref) {
  const Variant& value = ref.deref();
  if (value.isArray()) {
    const automation::SafeArray& array = value.array();
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (size_t i = 0; i < array.size(); ++i) out.push_back(JsonOf(array.GetFlat(i)));
    return out;
  }
  switch (value.type()) {
    case VarType::Empty:
    case VarType::Null: return nullptr;
    case VarType::Integer: return value.integer();
    case VarType::Long: return value.lng();
    case VarType::Byte: return value.byte();
    case VarType::Single: return NumberJson(value.single());
    case VarType::Double: return NumberJson(value.dbl());
    case VarType::Currency: return CurrencyJson(value.currencyScaled());
    case VarType::Date: return DateJson(value.date());
    case VarType::String: return value.string();
    case VarType::Boolean: return value.boolean();
    case VarType::Error: return {{"error", value.errorCode()}};
    case VarType::Object:
      if (value.object()) return {{"object", true}};
      return nullptr;
    case VarType::Variant: break;
  }
  return nullptr;
}

}  // namespace

Variant ToVariant(const Value& value) {
  switch (value.kind) {
    case Value::Kind::Null: return Variant::Null();
    case Value::Kind::Boolean: return Variant::Boolean(value.boolean);
    case Value::Kind::Number: return Number(value);
    case Value::Kind::String: return Variant::String(value.string);
    case Value::Kind::Object: return DateObject(value);
    case Value::Kind::Array: break;
  }
  throw ValueError("arrays are not accepted as values");
}

std::string ToPlainText(const Variant& ref) {
  const Variant& value = ref.deref();
  if (value.isArray()) {
    const automation::SafeArray& array = value.array();
    std::string out;
    for (size_t i = 0; i < array.size(); ++i) {
      if (i > 0) out += "\n";
      out += ToPlainText(array.GetFlat(i));
    }
    return out;
  }
  switch (value.type()) {
    case VarType::Null: return "Null";
    case VarType::Object: return value.object() ? "<object>" : "Nothing";
    case VarType::Error: return "Error " + std::to_string(value.errorCode());
    default: return automation::ToText(value);
  }
}

std::string ToJson(const Variant& value) { return Dump(JsonOf(value)); }

std::string Quote(const std::string& text) { return Dump(nlohmann::ordered_json(text)); }

std::string Dump(const nlohmann::ordered_json& value) {
  // Text that is not UTF-8 is written with U+FFFD in place of its bad bytes, never
  // refused.
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace ledgerwick::json
