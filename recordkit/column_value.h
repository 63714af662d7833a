#pragma once
// Turns a field's Variant into the value stored in its column.

#include <cstdint>
#include <string>
#include <variant>

#include "automation/variant.h"
#include "recordkit/log_table.h"
#include "recordkit/property_packer.h"

namespace recordkit {

// A value as a log table stores it: NULL, an integer, a real number or a text.
using SqlValue = std::variant<std::monostate, int64_t, double, std::string>;

// The stored form of `value` in a column of `kind`:
// - Date columns: 'YYYY-MM-DD' from a date value, or from a text that reads as a
//   date (a text that does not is stored as it is);
// - Time columns: 'HH:MM:SS' from the time part, read the same way;
// - EventDate and EventTime columns: a text as the Date and Time columns; a date
//   value whole: 'YYYY-MM-DD', with ' HH:MM:SS' after it when it has a time of
//   day, in an EventDate column; 'HH:MM:SS', with 'YYYY-MM-DD ' before it when its
//   date is not the zero day, in an EventTime column;
// - otherwise (and for numbers in date and time columns): whole numbers and
//   Booleans (-1/0) as integers, Single, Double and Currency as reals, texts as
//   texts, dates as their text form.
// Empty and Null are NULL everywhere. Raises AutomationError 13 for an array, an
// object, an Error value or a date value outside the date scale.
SqlValue ToSqlValue(ColumnKind kind, const automation::Variant& value);

// What a Sender column holds of `sender`: the uid, gid and pid as integers while the
// server had the peer's credentials, the subject as text while it had one; NULL
// otherwise.
SqlValue SenderValue(const std::string& part, const SenderIdentity& sender);

// What a Journal column holds of `stamp`: the identity or the sequence number as an
// integer for a journalled record; NULL otherwise.
SqlValue JournalValue(const std::string& part, const JournalStamp& stamp);

// The stored form of `column` for a record read into `fields` (`at` is the column's
// place, where its field is looked for first).
SqlValue ColumnValue(const LogColumn& column, const PackedFields& fields, size_t at);

// ISO forms of a date value's date and time parts; 13 outside the date scale.
std::string IsoDate(double date);
std::string IsoTime(double date);

}  // namespace recordkit
