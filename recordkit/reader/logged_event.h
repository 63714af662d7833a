#pragma once
// An event as read back from a log table or the text log: its 19 fields as typed
// values, whichever store it came from.
//
// Every store keeps a field in its own form (SQLite its storage class, PostgreSQL
// text, the text log the runtime's text), so a field is read back by what it is:
// - LogDate, LogTime, EventDate, EventTime: a date value when the stored form reads
//   as a date or time (ISO forms from a table, the runtime's forms from the text
//   log); a number when it is one; the text otherwise;
// - Severity, EventCode, HelpContext, DetailLevel: a number when the stored value is
//   one or its text reads as one in decimal (whole numbers as Long when they fit,
//   others Double); the text otherwise;
// - every other field: its text.
// NULL is Null. The same event thus reads the same from every store.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "automation/variant.h"

namespace recordkit {

constexpr int kLoggedFields = 19;

enum class FieldForm { Text, Number, LogDate, LogTime, EventDate, EventTime };

// The form of field `index` (in the order of kEventFieldNames).
FieldForm FormOfField(int index);
// The index of the field so named (case-blind), or -1.
int FieldIndex(const std::string& name);

struct LoggedEvent {
  LoggedEvent() { fields.fill(automation::Variant::Null()); }

  std::array<automation::Variant, kLoggedFields> fields;  // Null until read

  const automation::Variant& operator[](int index) const { return fields[static_cast<size_t>(index)]; }
};

// Field values from what a log table stores: a text in ISO forms (YYYY-MM-DD,
// HH:MM:SS, YYYY-MM-DD HH:MM:SS) for dates, decimal for numbers.
automation::Variant FromTableText(FieldForm form, const std::string& text);
automation::Variant FromTableInteger(FieldForm form, int64_t number);
automation::Variant FromTableReal(FieldForm form, double number);

// A field value from a text log column, in the runtime's text forms. An empty column
// is Null: the text log does not tell an empty text from a missing value.
automation::Variant FromLogText(FieldForm form, const std::string& text);

// A decimal number: a sign, digits, a fraction, an exponent; nothing else.
std::optional<automation::Variant> ReadDecimal(const std::string& text);

// Shortest decimal text that reads back as `number`.
std::string ShortestDecimal(double number);

// A value as a table or CSV cell shows it: texts as they are, numbers in decimal,
// dates in ISO forms (YYYY-MM-DD, HH:MM:SS, or both with a blank between), Null as
// nothing.
std::string DisplayText(const automation::Variant& value);

// When the event was logged, "YYYY-MM-DD HH:MM:SS" from LogDate and LogTime (a
// missing time is midnight); empty when LogDate is not a date.
std::string LoggedAt(const LoggedEvent& event);

}  // namespace recordkit
