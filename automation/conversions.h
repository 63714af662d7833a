#pragma once
// Conversions between Variant kinds with the runtime's US-English rules (locale 0x0409).
// Every failure raises AutomationError with the runtime's number.

#include <cstdint>
#include <optional>
#include <string>

#include "automation/variant.h"

namespace automation {

// The text form of a value, as the runtime renders it:
// integers in decimal; Single/Double in the shortest form of up to 7/15 significant
// digits with the exponent form 1E+20, 1E-05; Currency with up to 4 decimals;
// Boolean True/False; Empty the empty text; dates m/d/yyyy, h:mm:ss AM, or both.
// Null raises 94; an array, an object or an Error value raises 13.
std::string ToText(const Variant& value);

// The same text appended to `out`, for writers that build a line of many values.
// Raises as ToText does, and then leaves `out` as it was.
void AppendText(std::string& out, const Variant& value);

// Renders a date value as the runtime does (see ToText).
std::string DateToText(double value);
// The US-English short date of a date value: m/d/yyyy.
std::string ShortDateText(double value);

// Reads a text as a date or time of day, if it reads as one: m/d/yyyy, m/d/yy,
// m-d-yyyy, yyyy-m-d, month names full and short, h:mm and h:mm:ss with or without
// AM/PM, 24-hour times, and a date followed by a time. Two-digit years 00-29 are
// 2000-2029, 30-99 are 1930-1999. A date without its year ("12/25", "December 25",
// "25 Dec") is in the current year; a month with a year and no day ("Dec 2026",
// "2026/12") is its first day; day and month change places when the first number
// cannot be a month and the second can ("25/12/2026").
std::optional<double> TextToDate(const std::string& text);
// The same, with the current year given.
std::optional<double> TextToDate(const std::string& text, int currentYear);

// Numeric text as the runtime reads it: blanks around it, a sign, thousands commas,
// a fraction, exponent form, &H hex. Nullopt when the text is not a number; a number
// too large for a Double gives an infinity (the conversions raise 6 for it).
std::optional<double> ParseNumber(const std::string& text);

// Whole-number conversions with the runtime's rounding (a half goes to the even one):
// 6 when out of range, 13 when the value is not a number (text that does not read
// as one, an array, an object), 94 for Null.
int16_t ToInteger16(const Variant& value);
int32_t ToLong(const Variant& value);
double ToDouble(const Variant& value);
bool ToBoolean(const Variant& value);
double ToDate(const Variant& value);

// The runtime's coercion of a value to another kind (VarType::Variant keeps it as it
// is). Follows by-reference values first. Raises 13, 6 or 94 as the runtime does.
Variant ChangeType(const Variant& value, VarType type);

// True when the value is a date value, or a text that reads as a date or a time of
// day (the runtime's IsDate).
bool IsDate(const Variant& value);

// Rounds half to even, as the runtime's integer conversions do.
double RoundHalfEven(double value);

}  // namespace automation
