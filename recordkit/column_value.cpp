#include "recordkit/column_value.h"


#include "automation/ascii_text.h"
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

// Three fixed-width numbers joined by `separator`: YYYY-MM-DD, HH:MM:SS.
std::string JoinParts(int first, int firstWidth, char separator, int second, int third) {
  std::string text;
  automation::AppendDigits(text, first, firstWidth);
  text += separator;
  automation::AppendDigits(text, second, 2);
  text += separator;
  automation::AppendDigits(text, third, 2);
  return text;
}

}  // namespace

std::string IsoDate(double date) {
  const automation::CivilDate d = PartOf(automation::DatePart, date);
  return JoinParts(d.year, 4, '-', d.month, d.day);
}

std::string IsoTime(double date) {
  const automation::TimeOfDay t = PartOf(automation::TimePart, date);
  return JoinParts(t.hour, 2, ':', t.minute, t.second);
}

namespace {

// A client's date or time kept whole: the part its column is named for, and the
// other part too when the value has one (a time of day other than midnight, a date
// other than the zero day).
std::string WholeDateTime(ColumnKind kind, double date) {
  const automation::CivilDate d = PartOf(automation::DatePart, date);
  const automation::TimeOfDay t = PartOf(automation::TimePart, date);
  const bool hasTime = t.hour != 0 || t.minute != 0 || t.second != 0;
  const bool hasDate = !(d.year == 1899 && d.month == 12 && d.day == 30);
  const std::string dateText = JoinParts(d.year, 4, '-', d.month, d.day);
  const std::string timeText = JoinParts(t.hour, 2, ':', t.minute, t.second);
  if (kind == ColumnKind::EventDate) return hasTime ? dateText + " " + timeText : dateText;
  return hasDate ? dateText + " " + timeText : timeText;
}

}  // namespace

SqlValue ToSqlValue(ColumnKind kind, const Variant& given) {
  const Variant& value = given.deref();
  if (value.isArray()) throw AutomationError(automation::err::kTypeMismatch);
  if (kind == ColumnKind::Plain) return PlainValue(value);

  double date = 0;
  if (value.type() == VarType::Date) {
    date = value.date();
    if (kind == ColumnKind::EventDate || kind == ColumnKind::EventTime) return WholeDateTime(kind, date);
  } else if (value.type() == VarType::String) {
    auto read = automation::TextToDate(value.string());
    if (!read) return value.string();
    date = *read;
  } else {
    return PlainValue(value);
  }
  return kind == ColumnKind::Date || kind == ColumnKind::EventDate ? IsoDate(date) : IsoTime(date);
}

}  // namespace recordkit

namespace recordkit {

SqlValue SenderValue(const std::string& part, const SenderIdentity& sender) {
  if (!sender.known) return std::monostate{};
  if (part == kSenderSubject) {
    if (sender.subject.empty()) return std::monostate{};
    return sender.subject;
  }
  if (!sender.hasCredentials) return std::monostate{};
  if (part == kSenderUid) return int64_t{sender.uid};
  if (part == kSenderGid) return int64_t{sender.gid};
  if (part == kSenderPid) return int64_t{sender.pid};
  return std::monostate{};
}

SqlValue JournalValue(const std::string& part, const JournalStamp& stamp) {
  if (!stamp.known()) return std::monostate{};
  return part == kJournalIdentity ? stamp.journal : stamp.sequence;
}

SqlValue ColumnValue(const LogColumn& column, const PackedFields& fields, size_t at) {
  if (column.kind == ColumnKind::Sender) return SenderValue(column.field, fields.sender);
  if (column.kind == ColumnKind::Journal) return JournalValue(column.field, fields.journal);
  return ToSqlValue(column.kind, fields.ValueOf(column.field, at));
}

}  // namespace recordkit
