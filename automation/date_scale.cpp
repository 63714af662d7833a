#include "automation/date_scale.h"

#include <cmath>
#include <cstdint>

#include "automation/automation_error.h"

namespace automation {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
// Days from 1 January 1970 to the zero day, 30 December 1899.
constexpr int64_t kZeroDayFromEpoch = -25569;

constexpr bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1 January 1970 in the proleptic Gregorian calendar (H. Hinnant's algorithm).
constexpr int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

CivilDate CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int64_t y = yoe + era * 400 + (m <= 2);
  return CivilDate{static_cast<int>(y), m, d};
}

// Serial numbers of the first and the last day the scale covers.
constexpr int64_t kFirstDay = DaysFromCivil(kMinYear, 1, 1) - kZeroDayFromEpoch;
constexpr int64_t kLastDay = DaysFromCivil(kMaxYear, 12, 31) - kZeroDayFromEpoch;

// A date value as a calendar day (serial number) and a second of that day, rounded to
// the nearest second. A value outside the scale raises 6, as the runtime does.
struct SplitValue {
  int64_t day;
  int64_t second;
};

SplitValue Split(double value) {
  // Checked before any conversion to an integer: NaN and huge values end here.
  if (!IsOnDateScale(value)) throw AutomationError(err::kOverflow);
  const double whole = std::trunc(value);
  SplitValue split{static_cast<int64_t>(whole),
                   static_cast<int64_t>(std::round(std::fabs(value - whole) * kSecondsPerDay))};
  if (split.second == kSecondsPerDay) {
    // Rounded up to the next midnight; before the zero day the fraction counts forward too,
    // so the next calendar day is always serial + 1.
    split.second = 0;
    split.day += 1;
    if (split.day > kLastDay) throw AutomationError(err::kOverflow);
  }
  return split;
}

// The time of day of the second `s` of a day.
TimeOfDay TimeOfSecond(int64_t s) {
  return TimeOfDay{static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60), static_cast<int>(s % 60)};
}

}  // namespace

bool IsOnDateScale(double value) {
  return value > static_cast<double>(kFirstDay) - 1 && value < static_cast<double>(kLastDay) + 1;
}

bool IsValidCivilDate(const CivilDate& date) {
  return date.year >= kMinYear && date.year <= kMaxYear && date.month >= 1 && date.month <= 12 &&
         date.day >= 1 && date.day <= DaysInMonth(date.year, date.month);
}

std::optional<double> DateSerial(const CivilDate& date) {
  if (!IsValidCivilDate(date)) return std::nullopt;
  return static_cast<double>(DaysFromCivil(date.year, date.month, date.day) - kZeroDayFromEpoch);
}

double TimeSerial(const TimeOfDay& time) {
  if (time.hour < 0 || time.hour > 23 || time.minute < 0 || time.minute > 59 || time.second < 0 ||
      time.second > 59) {
    throw AutomationError(err::kInvalidProcedureCall);
  }
  return static_cast<double>(time.hour * 3600 + time.minute * 60 + time.second) / kSecondsPerDay;
}

double CombineDateTime(double daySerial, double timeFraction) {
  return daySerial < 0 ? daySerial - timeFraction : daySerial + timeFraction;
}

CivilDate DatePart(double value) {
  return CivilFromDays(Split(value).day + kZeroDayFromEpoch);
}

TimeOfDay TimePart(double value) { return TimeOfSecond(Split(value).second); }

DateTimeParts SplitDateTime(double value) {
  const SplitValue split = Split(value);
  return {CivilFromDays(split.day + kZeroDayFromEpoch), TimeOfSecond(split.second)};
}

double WholeDays(double value) { return std::trunc(value); }

double TimeFraction(double value) { return std::fabs(value - std::trunc(value)); }

}  // namespace automation
