#include "automation/ini_reader.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <unistd.h>

namespace automation {

namespace {

// The whole file, or nothing when it cannot be opened or read: the profile reader
// reports no errors, so an unreadable file reads like a missing one.
std::optional<std::string> ReadWholeFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return content;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Names compare without regard to (ASCII) case; other bytes compare exactly.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value.remove_prefix(1);
    value.remove_suffix(1);
  }
  return value;
}

}  // namespace

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, const std::string& path) {
  const std::string_view wantedSection = Trim(section);
  const std::string_view wantedKey = Trim(key);
  if (wantedKey.empty()) return defaultValue;

  std::optional<std::string> content = ReadWholeFile(path);
  if (!content) return defaultValue;
  std::string_view rest = *content;
  // A file saved by an editor that marks UTF-8 would otherwise hide its first section.
  if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);

  enum class Where { kBeforeSection, kInWanted, kInOther };
  Where where = Where::kBeforeSection;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = Trim(line);
    if (line.empty() || line.front() == ';') continue;

    if (line.front() == '[') {
      // Only the first section of a name counts: once it ends, the key is missing.
      if (where == Where::kInWanted) return defaultValue;
      size_t close = line.find(']');
      std::string_view name = Trim(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
      where = SameName(name, wantedSection) ? Where::kInWanted : Where::kInOther;
      continue;
    }
    if (where != Where::kInWanted) continue;

    size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;  // not a setting
    if (!SameName(Trim(line.substr(0, equals)), wantedKey)) continue;
    std::string_view value = Unquote(Trim(line.substr(equals + 1)));
    return std::string(value.substr(0, kMaxProfileValue));
  }
  return defaultValue;
}

}  // namespace automation
