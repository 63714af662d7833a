#include "automation/conversions.h"

#include <array>
#include <charconv>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "automation/ascii_text.h"
#include "automation/automation_error.h"
#include "automation/date_scale.h"

namespace automation {

namespace {

[[noreturn]] void Raise(int32_t number) { throw AutomationError(number); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// ------------------------------------------------------------------ numbers to text

// %G-style: fixed notation while the decimal exponent lies in -4..precision-1, else
// the exponent form with a sign and at least two digits (1E+20, 1E-05). Trailing zeros
// of the fraction are dropped.
template <typename Real>
std::string RealToText(Real value, int precision) {
  if (!std::isfinite(value)) Raise(err::kOverflow);
  if (value == 0) return "0";  // never "-0"
  std::array<char, 64> buf;
  auto result = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                              std::chars_format::general, precision);
  std::string text(buf.data(), result.ptr);
  for (char& c : text) {
    if (c == 'e') c = 'E';
  }
  return text;
}

std::string CurrencyToText(int64_t scaled) {
  const bool negative = scaled < 0;
  // Unsigned arithmetic so the most negative amount has a magnitude too.
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
  std::string text = (negative ? "-" : "") + std::to_string(magnitude / 10000);
  uint64_t fraction = magnitude % 10000;
  if (fraction != 0) {
    std::string digits = std::to_string(fraction);
    digits.insert(0, 4 - digits.size(), '0');
    while (digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text;
}

// Whole numbers in decimal, as std::to_string writes them.
void AppendWhole(std::string& out, int64_t value) {
  std::array<char, 24> buf;
  const auto result = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  out.append(buf.data(), result.ptr);
}

// Writes `value` (not negative) in decimal at `p`; answers the end of it.
char* PutWhole(char* p, int value) {
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (n > 0) *p++ = digits[--n];
  return p;
}

// m/d/yyyy at `p`; answers the end of it.
char* PutShortDate(char* p, const CivilDate& date) {
  p = PutWhole(p, date.month);
  *p++ = '/';
  p = PutWhole(p, date.day);
  *p++ = '/';
  return PutWhole(p, date.year);
}

// The text of a date value: its date, its time of day h:mm:ss AM, or both. The value
// is split first, so a value off the scale raises 6 before anything is appended.
void AppendDateText(std::string& out, double value) {
  const DateTimeParts parts = SplitDateTime(value);
  const CivilDate& date = parts.date;
  const TimeOfDay& time = parts.time;
  // m/d/yyyy h:mm:ss AM at most: 10 + 1 + 11 characters.
  char text[32];
  char* p = text;
  // The zero day always shows as a time of day, so its midnight is "12:00:00 AM".
  const bool hasDate = date != CivilDate{};
  if (hasDate) {
    p = PutShortDate(p, date);
    if (time == TimeOfDay{}) {
      out.append(text, static_cast<size_t>(p - text));
      return;
    }
    *p++ = ' ';
  }
  p = PutWhole(p, time.hour % 12 == 0 ? 12 : time.hour % 12);
  for (int part : {time.minute, time.second}) {
    *p++ = ':';
    *p++ = static_cast<char>('0' + part / 10);
    *p++ = static_cast<char>('0' + part % 10);
  }
  std::memcpy(p, time.hour < 12 ? " AM" : " PM", 3);
  p += 3;
  out.append(text, static_cast<size_t>(p - text));
}

double CheckDateRange(double value) {
  if (!IsOnDateScale(value)) Raise(err::kOverflow);
  return value;
}

// ------------------------------------------------------------------ text to date

struct Token {
  enum Kind { kNumber, kWord, kSeparator } kind;
  std::string text;  // digits, a lowercase word, or the separator character (' ' for blanks)
  int number = 0;
};

// Splits a text into numbers, words and separators; runs of blanks become one ' '.
// Nullopt for a number too long to be part of a date.
std::optional<std::vector<Token>> Tokenize(std::string_view text) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (IsDigit(c)) {
      size_t start = i;
      while (i < text.size() && IsDigit(text[i])) ++i;
      if (i - start > 4) return std::nullopt;
      std::string digits(text.substr(start, i - start));
      tokens.push_back({Token::kNumber, digits, std::atoi(digits.c_str())});
    } else if (IsLetter(c)) {
      std::string word;
      while (i < text.size() && IsLetter(text[i])) word += LowerAscii(text[i++]);
      tokens.push_back({Token::kWord, word});
    } else if (IsBlank(c)) {
      while (i < text.size() && IsBlank(text[i])) ++i;
      tokens.push_back({Token::kSeparator, " "});
    } else {
      tokens.push_back({Token::kSeparator, std::string(1, c)});
      ++i;
    }
  }
  return tokens;
}

// Reads tokens from a position; each Read... advances only when it succeeds.
class DateReader {
 public:
  // `currentYear` completes a date written without its year ("12/25", "Dec 25").
  DateReader(const std::vector<Token>& tokens, int currentYear) : tokens_(tokens), currentYear_(currentYear) {}

  bool AtEnd() const { return pos_ == tokens_.size(); }
  size_t pos() const { return pos_; }
  void Rewind(size_t pos) { pos_ = pos; }

  bool ReadSeparator(char c) {
    if (Peek(Token::kSeparator) && tokens_[pos_].text[0] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  // A number of 1..maxDigits digits.
  std::optional<Token> ReadNumber(size_t maxDigits) {
    if (!Peek(Token::kNumber) || tokens_[pos_].text.size() > maxDigits) return std::nullopt;
    return tokens_[pos_++];
  }

  std::optional<std::string> ReadWord() {
    if (!Peek(Token::kWord)) return std::nullopt;
    return tokens_[pos_++].text;
  }

  // The calendar date at the current position, as its serial number.
  std::optional<double> ReadDate() {
    const size_t start = pos_;
    for (auto form : {&DateReader::ReadNumericDate, &DateReader::ReadMonthFirstDate,
                      &DateReader::ReadDayFirstDate}) {
      if (auto serial = (this->*form)()) return serial;
      pos_ = start;
    }
    return std::nullopt;
  }

  // The time of day at the current position, as a fraction of a day.
  std::optional<double> ReadTime() {
    const size_t start = pos_;
    auto hour = ReadNumber(2);
    if (!hour) return Fail(start);
    TimeOfDay time{hour->number, 0, 0};
    bool hasMinutes = false;
    if (ReadSeparator(':')) {
      auto minute = ReadNumber(2);
      if (!minute) return Fail(start);
      time.minute = minute->number;
      hasMinutes = true;
      if (ReadSeparator(':')) {
        auto second = ReadNumber(2);
        if (!second) return Fail(start);
        time.second = second->number;
      }
    }
    const size_t beforeMarker = pos_;
    ReadSeparator(' ');
    std::optional<bool> pm;
    if (auto word = ReadWord()) {
      if (*word == "am") {
        pm = false;
      } else if (*word == "pm") {
        pm = true;
      } else {
        return Fail(start);
      }
    } else {
      pos_ = beforeMarker;
    }
    // A bare number is no time; "3 PM" is.
    if (!hasMinutes && !pm) return Fail(start);
    if (pm) {
      if (time.hour > 12) return Fail(start);
      if (time.hour == 12) time.hour = 0;
      if (*pm) time.hour += 12;
    }
    if (time.hour > 23 || time.minute > 59 || time.second > 59) return Fail(start);
    return TimeSerial(time);
  }

 private:
  bool Peek(Token::Kind kind) const { return pos_ < tokens_.size() && tokens_[pos_].kind == kind; }

  std::optional<double> Fail(size_t start) {
    pos_ = start;
    return std::nullopt;
  }

  // A year as written: one or two digits take the window 00-29 -> 2000s, 30-99 -> 1900s.
  static int FullYear(const Token& year) {
    if (year.text.size() > 2) return year.number;
    return year.number < 30 ? 2000 + year.number : 1900 + year.number;
  }

  static std::optional<int> MonthFromName(const std::string& word) {
    static constexpr const char* kNames[] = {"january", "february", "march",     "april",
                                             "may",     "june",     "july",      "august",
                                             "september", "october", "november", "december"};
    for (int m = 0; m < 12; ++m) {
      std::string_view name(kNames[m]);
      if (word == name || word == name.substr(0, 3) || (m == 8 && word == "sept")) return m + 1;
    }
    return std::nullopt;
  }

  // Month and day in the order written, or the other way round when the first
  // cannot be a month but the second can: 25/12 is the 25th of December.
  static CivilDate MonthDay(int year, int first, int second) {
    if (first > 12 && second <= 12) return CivilDate{year, second, first};
    return CivilDate{year, first, second};
  }

  // m/d/y, m-d-y, y-m-d, y/m/d: the same separator twice; a first number of three or
  // four digits is the year. Without the year, m/d is in the current year and y/m
  // the first of that month.
  std::optional<double> ReadNumericDate() {
    auto first = ReadNumber(4);
    if (!first) return std::nullopt;
    char sep = 0;
    if (ReadSeparator('/')) {
      sep = '/';
    } else if (ReadSeparator('-')) {
      sep = '-';
    } else {
      return std::nullopt;
    }
    auto second = ReadNumber(2);
    if (!second) return std::nullopt;
    if (!ReadSeparator(sep)) {
      if (first->text.size() > 2) return DateSerial(CivilDate{first->number, second->number, 1});
      return DateSerial(MonthDay(currentYear_, first->number, second->number));
    }
    if (first->text.size() > 2) {
      auto third = ReadNumber(2);
      if (!third) return std::nullopt;
      return DateSerial(CivilDate{first->number, second->number, third->number});
    }
    auto year = ReadNumber(4);
    if (!year) return std::nullopt;
    return DateSerial(MonthDay(FullYear(*year), first->number, second->number));
  }

  // Between the parts of a date with a month name: blanks and commas, or one '-' or '/'.
  bool ReadSoftSeparator() {
    if (ReadSeparator('-') || ReadSeparator('/')) return true;
    bool any = false;
    while (ReadSeparator(' ') || ReadSeparator(',')) any = true;
    return any;
  }

  std::optional<int> ReadMonthName() {
    auto word = ReadWord();
    if (!word) return std::nullopt;
    auto month = MonthFromName(*word);
    if (month && word->size() < 5) ReadSeparator('.');  // "Dec. 25, 2026"
    return month;
  }

  // Reads the year after a day, when one follows; else the day is in the current
  // year. The separator before a missing year is left unread.
  int YearAfterDay() {
    const size_t beforeYear = pos_;
    if (ReadSoftSeparator()) {
      if (auto year = ReadNumber(4)) return FullYear(*year);
    }
    pos_ = beforeYear;
    return currentYear_;
  }

  // "Dec 25, 2026", "December 25 2026", "Dec-25-2026"; "December 25" in the current
  // year; "Dec 2026" (a number that cannot be a day is the year) its first day.
  std::optional<double> ReadMonthFirstDate() {
    auto month = ReadMonthName();
    if (!month || !ReadSoftSeparator()) return std::nullopt;
    auto number = ReadNumber(4);
    if (!number) return std::nullopt;
    if (number->text.size() > 2 || number->number > 31) {
      return DateSerial(CivilDate{FullYear(*number), *month, 1});
    }
    return DateSerial(CivilDate{YearAfterDay(), *month, number->number});
  }

  // "25 December 2026", "25-Dec-2026"; "25 December" in the current year.
  std::optional<double> ReadDayFirstDate() {
    auto day = ReadNumber(2);
    if (!day || !ReadSoftSeparator()) return std::nullopt;
    auto month = ReadMonthName();
    if (!month) return std::nullopt;
    return DateSerial(CivilDate{YearAfterDay(), *month, day->number});
  }

  const std::vector<Token>& tokens_;
  const int currentYear_;
  size_t pos_ = 0;
};

// The current year on the local clock.
int CurrentLocalYear() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local.tm_year + 1900;
}

// ------------------------------------------------------------------ whole numbers

// Rounds a value of any numeric kind to a whole number within [lo, hi]; 6 outside it.
int64_t ToWhole(const Variant& value, int64_t lo, int64_t hi) {
  const Variant& v = value.deref();
  if (v.isArray()) Raise(err::kTypeMismatch);
  int64_t whole = 0;
  switch (v.type()) {
    case VarType::Empty: return 0;
    case VarType::Null: Raise(err::kInvalidUseOfNull);
    case VarType::Integer: whole = v.integer(); break;
    case VarType::Long: whole = v.lng(); break;
    case VarType::Byte: whole = v.byte(); break;
    case VarType::Boolean: whole = v.boolean() ? -1 : 0; break;
    case VarType::Currency: {
      // Exact half-to-even on the scaled amount.
      const int64_t s = v.currencyScaled();
      whole = s / 10000;
      const int64_t rest = s % 10000;
      const int64_t step = s < 0 ? -1 : 1;
      if (std::llabs(rest) > 5000 || (std::llabs(rest) == 5000 && whole % 2 != 0)) whole += step;
      break;
    }
    case VarType::Single:
    case VarType::Double:
    case VarType::Date:
    case VarType::String: {
      const double rounded = RoundHalfEven(ToDouble(v));
      if (!(rounded >= static_cast<double>(lo) && rounded <= static_cast<double>(hi))) {
        Raise(err::kOverflow);
      }
      return static_cast<int64_t>(rounded);
    }
    default: Raise(err::kTypeMismatch);
  }
  if (whole < lo || whole > hi) Raise(err::kOverflow);
  return whole;
}

int64_t ToCurrencyScaled(const Variant& value) {
  const Variant& v = value.deref();
  if (!v.isArray()) {
    switch (v.type()) {
      case VarType::Currency: return v.currencyScaled();
      case VarType::Integer:
      case VarType::Long:
      case VarType::Byte:
      case VarType::Boolean:
        return ToWhole(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()) * 10000;
      default: break;
    }
  }
  const double scaled = RoundHalfEven(ToDouble(v) * 10000);
  // 2^63 is exactly representable; the int64 range is [-2^63, 2^63).
  constexpr double kLimit = 9223372036854775808.0;
  if (!(scaled >= -kLimit && scaled < kLimit)) Raise(err::kOverflow);
  return static_cast<int64_t>(scaled);
}

float ToSingle(const Variant& value) {
  const double d = ToDouble(value);
  if (std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max())) {
    // Values that round to the largest float still fit.
    const float f = static_cast<float>(d);
    if (std::isinf(f)) Raise(err::kOverflow);
    return f;
  }
  return static_cast<float>(d);
}

}  // namespace

// ------------------------------------------------------------------ public

void AppendText(std::string& out, const Variant& value) {
  const Variant& v = value.deref();
  if (v.isArray()) Raise(err::kTypeMismatch);
  switch (v.type()) {
    case VarType::Empty: return;
    case VarType::Null: Raise(err::kInvalidUseOfNull);
    case VarType::Integer: AppendWhole(out, v.integer()); return;
    case VarType::Long: AppendWhole(out, v.lng()); return;
    case VarType::Byte: AppendWhole(out, v.byte()); return;
    case VarType::Single: out += RealToText(v.single(), 7); return;
    case VarType::Double: out += RealToText(v.dbl(), 15); return;
    case VarType::Currency: out += CurrencyToText(v.currencyScaled()); return;
    case VarType::Date: AppendDateText(out, v.date()); return;
    case VarType::String: out += v.string(); return;
    case VarType::Boolean: out += v.boolean() ? "True" : "False"; return;
    default: Raise(err::kTypeMismatch);  // Object, Error
  }
}

std::string ToText(const Variant& value) {
  const Variant& v = value.deref();
  if (v.type() == VarType::String && !v.isArray()) return v.string();
  std::string text;
  AppendText(text, v);
  return text;
}

std::string ShortDateText(double value) {
  char text[16];
  return std::string(text, PutShortDate(text, DatePart(value)));
}

std::string DateToText(double value) {
  std::string text;
  AppendDateText(text, value);
  return text;
}

std::optional<double> TextToDate(const std::string& text) { return TextToDate(text, CurrentLocalYear()); }

std::optional<double> TextToDate(const std::string& text, int currentYear) {
  auto tokens = Tokenize(TrimBlanks(text));
  if (!tokens || tokens->empty()) return std::nullopt;
  DateReader reader(*tokens, currentYear);
  if (auto day = reader.ReadDate()) {
    if (reader.AtEnd()) return *day;
    if (!reader.ReadSeparator(' ')) return std::nullopt;
    auto time = reader.ReadTime();
    if (!time || !reader.AtEnd()) return std::nullopt;
    return CombineDateTime(*day, *time);
  }
  auto time = reader.ReadTime();
  if (!time || !reader.AtEnd()) return std::nullopt;
  return *time;
}

std::optional<double> ParseNumber(const std::string& input) {
  std::string_view text = TrimBlanks(input);
  if (text.size() > 2 && text[0] == '&' && (text[1] == 'h' || text[1] == 'H')) {
    // Hex as the runtime reads a literal: up to 4 digits is a 16-bit, up to 8 a 32-bit value.
    std::string_view digits = text.substr(2);
    uint32_t bits = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), bits, 16);
    if (ec != std::errc() || end != digits.data() + digits.size() || digits.size() > 8) {
      return std::nullopt;
    }
    if (digits.size() <= 4) return static_cast<double>(static_cast<int16_t>(bits));
    return static_cast<double>(static_cast<int32_t>(bits));
  }

  size_t i = 0;
  std::string clean;  // sign, digits, point and exponent: what from_chars reads
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') clean += '-';
    ++i;
  }
  std::string mantissa;
  size_t intDigits = 0;
  while (i < text.size()) {
    if (IsDigit(text[i])) {
      mantissa += text[i++];
      ++intDigits;
    } else if (text[i] == ',' && intDigits > 0 && i + 1 < text.size() && IsDigit(text[i + 1])) {
      ++i;  // thousands separator
    } else {
      break;
    }
  }
  size_t fracDigits = 0;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && IsDigit(text[i])) {
      mantissa += text[i++];
      ++fracDigits;
    }
  }
  if (intDigits + fracDigits == 0) return std::nullopt;
  long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negativeExp = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negativeExp = text[i++] == '-';
    if (i == text.size() || !IsDigit(text[i])) return std::nullopt;
    while (i < text.size() && IsDigit(text[i])) {
      if (exponent < 100000) exponent = exponent * 10 + (text[i] - '0');
      ++i;
    }
    if (negativeExp) exponent = -exponent;
  }
  if (i != text.size()) return std::nullopt;

  clean += mantissa.substr(0, intDigits);
  if (intDigits == 0) clean += '0';
  clean += '.';
  clean += mantissa.substr(intDigits);
  clean += 'e' + std::to_string(exponent);
  double result = 0;
  auto [end, ec] = std::from_chars(clean.data(), clean.data() + clean.size(), result);
  if (ec == std::errc::result_out_of_range) {
    // Too large becomes infinite (callers raise 6), too small becomes zero.
    const size_t firstNonZero = mantissa.find_first_not_of('0');
    const long magnitude = static_cast<long>(intDigits) - static_cast<long>(firstNonZero) - 1 + exponent;
    const bool negative = clean[0] == '-';
    if (magnitude > 0) return negative ? -HUGE_VAL : HUGE_VAL;
    return negative ? -0.0 : 0.0;
  }
  if (ec != std::errc() || end != clean.data() + clean.size()) return std::nullopt;
  return result;
}

int16_t ToInteger16(const Variant& value) {
  return static_cast<int16_t>(ToWhole(value, std::numeric_limits<int16_t>::min(),
                                      std::numeric_limits<int16_t>::max()));
}

int32_t ToLong(const Variant& value) {
  return static_cast<int32_t>(ToWhole(value, std::numeric_limits<int32_t>::min(),
                                      std::numeric_limits<int32_t>::max()));
}

double ToDouble(const Variant& value) {
  const Variant& v = value.deref();
  if (v.isArray()) Raise(err::kTypeMismatch);
  switch (v.type()) {
    case VarType::Empty: return 0;
    case VarType::Null: Raise(err::kInvalidUseOfNull);
    case VarType::Integer: return v.integer();
    case VarType::Long: return v.lng();
    case VarType::Byte: return v.byte();
    case VarType::Boolean: return v.boolean() ? -1 : 0;
    case VarType::Single: return v.single();
    case VarType::Double: return v.dbl();
    case VarType::Date: return v.date();
    case VarType::Currency: return static_cast<double>(v.currencyScaled()) / 10000;
    case VarType::String: {
      auto number = ParseNumber(v.string());
      if (!number) Raise(err::kTypeMismatch);
      if (std::isinf(*number)) Raise(err::kOverflow);
      return *number;
    }
    default: Raise(err::kTypeMismatch);
  }
}

bool ToBoolean(const Variant& value) {
  const Variant& v = value.deref();
  if (!v.isArray()) {
    switch (v.type()) {
      case VarType::Boolean: return v.boolean();
      case VarType::Currency: return v.currencyScaled() != 0;
      case VarType::String: {
        std::string_view text = TrimBlanks(v.string());
        if (EqualsNoCase(text, "True")) return true;
        if (EqualsNoCase(text, "False")) return false;
        break;
      }
      default: break;
    }
  }
  return ToDouble(v) != 0;
}

double ToDate(const Variant& value) {
  const Variant& v = value.deref();
  if (!v.isArray()) {
    switch (v.type()) {
      case VarType::Date: return v.date();
      case VarType::String: {
        auto date = TextToDate(v.string());
        if (!date) Raise(err::kTypeMismatch);
        return *date;
      }
      default: break;
    }
  }
  return CheckDateRange(ToDouble(v));
}

Variant ChangeType(const Variant& value, VarType type) {
  const Variant& v = value.deref();
  if (type == VarType::Variant) return v;
  if (v.isArray()) Raise(err::kTypeMismatch);
  const VarType from = v.type();
  if (type == VarType::Empty) return Variant();
  if (type == VarType::Null) {
    if (from == VarType::Null || from == VarType::Empty) return Variant::Null();
    Raise(err::kTypeMismatch);
  }
  if (from == VarType::Null) Raise(err::kInvalidUseOfNull);
  switch (type) {
    case VarType::Integer: return Variant::Integer(ToInteger16(v));
    case VarType::Long: return Variant::Long(ToLong(v));
    case VarType::Single: return Variant::Single(ToSingle(v));
    case VarType::Double: return Variant::Double(ToDouble(v));
    case VarType::Currency: return Variant::Currency(ToCurrencyScaled(v));
    case VarType::Date: return Variant::Date(ToDate(v));
    case VarType::String: return Variant::String(ToText(v));
    case VarType::Boolean: return Variant::Boolean(ToBoolean(v));
    case VarType::Byte: return Variant::Byte(static_cast<uint8_t>(ToWhole(v, 0, 255)));
    case VarType::Object:
    case VarType::Error:
      if (from == type) return v;
      Raise(err::kTypeMismatch);
    default: Raise(err::kInvalidProcedureCall);  // not a type code
  }
}

bool IsDate(const Variant& value) {
  const Variant& v = value.deref();
  if (v.isArray()) return false;
  if (v.type() == VarType::Date) return true;
  return v.type() == VarType::String && TextToDate(v.string()).has_value();
}

double RoundHalfEven(double value) {
  if (!std::isfinite(value)) return value;
  const double floor = std::floor(value);
  const double rest = value - floor;  // exact for doubles
  if (rest > 0.5) return floor + 1;
  if (rest < 0.5) return floor;
  return std::fmod(floor, 2) == 0 ? floor : floor + 1;
}

}  // namespace automation
