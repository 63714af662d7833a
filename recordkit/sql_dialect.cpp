#include "recordkit/sql_dialect.h"

#include <cctype>
#include <cstdio>

#include "automation/date_scale.h"

namespace recordkit {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// Case-blind match of `word` at `pos`, as a whole word.
bool WordAt(const std::string& sql, size_t pos, const char* word) {
  size_t i = 0;
  for (; word[i] != '\0'; ++i) {
    if (pos + i >= sql.size()) return false;
    if (std::toupper(static_cast<unsigned char>(sql[pos + i])) != word[i]) return false;
  }
  if (pos > 0 && IsWordChar(sql[pos - 1])) return false;
  return pos + i == sql.size() || !IsWordChar(sql[pos + i]);
}

// Reads 1..maxDigits decimal digits at `pos`.
std::optional<int> Digits(const std::string& text, size_t& pos, size_t minDigits, size_t maxDigits) {
  size_t start = pos;
  int value = 0;
  while (pos < text.size() && pos - start < maxDigits &&
         std::isdigit(static_cast<unsigned char>(text[pos]))) {
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  if (pos - start < minDigits) return std::nullopt;
  return value;
}

// The body of a `#m/d/yyyy#` literal as 'yyyy-mm-dd', or nullopt.
std::optional<std::string> IsoDateLiteral(const std::string& body) {
  size_t pos = 0;
  auto month = Digits(body, pos, 1, 2);
  if (!month || pos >= body.size() || body[pos++] != '/') return std::nullopt;
  auto day = Digits(body, pos, 1, 2);
  if (!day || pos >= body.size() || body[pos++] != '/') return std::nullopt;
  auto year = Digits(body, pos, 4, 4);
  if (!year || pos != body.size()) return std::nullopt;
  const automation::CivilDate date{*year, *month, *day};
  if (!automation::IsValidCivilDate(date)) return std::nullopt;
  char text[16];
  std::snprintf(text, sizeof text, "'%04d-%02d-%02d'", date.year, date.month, date.day);
  return std::string(text);
}

// Copies a quoted text or identifier starting at `pos` (a doubled quote stays
// inside it) and moves `pos` past it.
void CopyQuoted(const std::string& sql, size_t& pos, std::string& out) {
  const char quote = sql[pos];
  out += sql[pos++];
  while (pos < sql.size()) {
    const char c = sql[pos++];
    out += c;
    if (c == quote) {
      if (pos < sql.size() && sql[pos] == quote) {
        out += sql[pos++];
        continue;
      }
      return;
    }
  }
}

}  // namespace

std::optional<std::string> TranslateStatement(const std::string& sql) {
  std::string out;
  out.reserve(sql.size());
  size_t pos = 0;
  while (pos < sql.size()) {
    const char c = sql[pos];
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
      if (c == '[') {  // [identifier] has no doubling: it ends at the first ]
        size_t end = sql.find(']', pos);
        end = end == std::string::npos ? sql.size() : end + 1;
        out.append(sql, pos, end - pos);
        pos = end;
      } else {
        CopyQuoted(sql, pos, out);
      }
      continue;
    }
    if (sql.compare(pos, 2, "--") == 0 || sql.compare(pos, 2, "/*") == 0) {
      // A comment is copied as it is: quotes or # inside it mean nothing.
      const bool line = sql[pos] == '-';
      size_t end = sql.find(line ? "\n" : "*/", pos + 2);
      end = end == std::string::npos ? sql.size() : end + (line ? 1 : 2);
      out.append(sql, pos, end - pos);
      pos = end;
      continue;
    }
    if (c == '#') {
      const size_t end = sql.find('#', pos + 1);
      if (end == std::string::npos) return std::nullopt;
      auto literal = IsoDateLiteral(sql.substr(pos + 1, end - pos - 1));
      if (!literal) return std::nullopt;
      out += *literal;
      pos = end + 1;
      continue;
    }
    if (WordAt(sql, pos, "DELETE")) {
      // DELETE, blanks, *, blanks, FROM: drop the star and keep the rest.
      size_t star = pos + 6;
      while (star < sql.size() && IsBlank(sql[star])) ++star;
      if (star < sql.size() && sql[star] == '*') {
        size_t from = star + 1;
        while (from < sql.size() && IsBlank(sql[from])) ++from;
        if (WordAt(sql, from, "FROM")) {
          out += "DELETE";
          if (from == star + 1) out += ' ';  // DELETE *FROM
          out.append(sql, star + 1, from - star - 1);
          pos = from;
          continue;
        }
      }
      out += "DELETE";
      pos += 6;
      continue;
    }
    out += c;
    ++pos;
  }
  return out;
}

}  // namespace recordkit
