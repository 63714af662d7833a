#include "recordkit/reader/event_filter.h"

#include <charconv>
#include <cmath>

#include "automation/date_scale.h"
#include "recordkit/column_value.h"

namespace recordkit {

using automation::Variant;
using automation::VarType;

namespace {

bool TextIs(const Variant& value, const std::string& wanted) {
  return !value.isNull() && !value.isEmpty() && DisplayText(value) == wanted;
}

bool NumberIs(const Variant& value, int64_t wanted) {
  switch (value.type()) {
    case VarType::Long: return value.lng() == wanted;
    case VarType::Double: return value.dbl() == static_cast<double>(wanted);
    case VarType::String: return value.string() == std::to_string(wanted);
    default: return false;
  }
}

bool Holds(const Variant& value, const std::string& text) {
  if (value.isNull() || value.isEmpty()) return false;
  return DisplayText(value).find(text) != std::string::npos;
}

}  // namespace

bool Matches(const EventFilter& filter, const LoggedEvent& event) {
  if (filter.since || filter.until) {
    const std::string at = LoggedAt(event);
    if (at.empty()) return false;
    if (filter.since && at < *filter.since) return false;
    if (filter.until && at > *filter.until) return false;
  }
  if (filter.appName && !TextIs(event[FieldIndex("AppName")], *filter.appName)) return false;
  if (filter.userName && !TextIs(event[FieldIndex("UserName")], *filter.userName)) return false;
  if (filter.severity && !NumberIs(event[FieldIndex("Severity")], *filter.severity)) return false;
  if (filter.grep && !Holds(event[FieldIndex("Description")], *filter.grep) &&
      !Holds(event[FieldIndex("AddlText")], *filter.grep)) {
    return false;
  }
  return true;
}

std::optional<std::string> ParseTimeBound(const std::string& text, double now, bool upper) {
  if (text.size() >= 2) {
    const char unit = text.back();
    double seconds = 0;
    if (unit == 's') seconds = 1;
    if (unit == 'm') seconds = 60;
    if (unit == 'h') seconds = 3600;
    if (unit == 'd') seconds = 86400;
    if (seconds != 0) {
      int64_t count = 0;
      const char* end = text.data() + text.size() - 1;
      auto [stop, ec] = std::from_chars(text.data(), end, count);
      if (ec != std::errc() || stop != end || count < 0 || count > 100000000) return std::nullopt;
      // Local time on the date scale: a day is 1.0. Rounded to the second.
      const double then = now - static_cast<double>(count) * seconds / 86400.0;
      if (!automation::IsOnDateScale(then)) return std::nullopt;
      return IsoDate(then) + " " + IsoTime(then);
    }
  }
  const auto bound = FromTableText(FieldForm::EventDate, text.size() == 19 && text[10] == 'T'
                                                              ? text.substr(0, 10) + " " + text.substr(11)
                                                              : text);
  if (bound.type() != VarType::Date) return std::nullopt;
  if (text.size() == 10) return IsoDate(bound.date()) + (upper ? " 23:59:59" : " 00:00:00");
  if (text.size() == 19) return IsoDate(bound.date()) + " " + IsoTime(bound.date());
  return std::nullopt;
}

}  // namespace recordkit
