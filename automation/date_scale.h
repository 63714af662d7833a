#pragma once
// The automation date scale: days since 30 December 1899 as the whole part, the time
// of day as the fraction. Before the zero day the whole part counts back while the
// fraction still counts forward (-1.25 is 29 Dec 1899, 06:00).

#include <cstdint>
#include <optional>

namespace automation {

struct CivilDate {
  int year = 1899;
  int month = 12;
  int day = 30;
  bool operator==(const CivilDate&) const = default;
};

struct TimeOfDay {
  int hour = 0;
  int minute = 0;
  int second = 0;
  bool operator==(const TimeOfDay&) const = default;
};

// Dates from year 100 to 9999 are valid, as in the runtime.
constexpr int kMinYear = 100;
constexpr int kMaxYear = 9999;

bool IsValidCivilDate(const CivilDate& date);
// True for a value the scale covers, 1 January 100 to the end of 31 December 9999
// (a value just before the first day's serial number is that day's time of day);
// false for NaN.
bool IsOnDateScale(double value);
// Nullopt for an invalid date (2/30/2026, month 13, year outside 100..9999).
std::optional<double> DateSerial(const CivilDate& date);
// The fraction of a day for a time of day; an invalid time of day raises 5.
double TimeSerial(const TimeOfDay& time);
// Combines a day and a time of day the way the scale does for days before the zero day.
double CombineDateTime(double daySerial, double timeFraction);

// Splits a date value into its calendar date and its time of day, rounded to the
// nearest second as the runtime renders it. A value outside the scale (before 1 January
// 100, after 31 December 9999, not a number) raises 6.
CivilDate DatePart(double value);
TimeOfDay TimePart(double value);
// Both parts at once: {DatePart(value), TimePart(value)}.
struct DateTimeParts {
  CivilDate date;
  TimeOfDay time;
};
DateTimeParts SplitDateTime(double value);
// The whole-day part and the time fraction (always >= 0).
double WholeDays(double value);
double TimeFraction(double value);

}  // namespace automation
