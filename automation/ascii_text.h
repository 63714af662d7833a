#pragma once
// The runtime's plain-text rules for names and blanks: ASCII letters match without
// regard to case, every other byte only itself; blanks are spaces and tabs.

#include <string>
#include <string_view>

namespace automation {

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

inline char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// `text` without the blanks before and after it.
inline std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Appends `value` (not negative) as `width` decimal digits, zeros in front: the
// fixed-width parts of dates and times, without snprintf on the writers' hot paths.
inline void AppendDigits(std::string& text, int value, int width) {
  char digits[16];
  for (int i = width - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  text.append(digits, static_cast<size_t>(width));
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // Names are mostly written the same way each time: the bytes compared first.
  if (a == b) return true;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace automation
