#include "automation/ini_reader.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <unistd.h>

#include "automation/ascii_text.h"

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
  const std::string_view wantedSection = TrimBlanks(section);
  const std::string_view wantedKey = TrimBlanks(key);
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
    line = TrimBlanks(line);
    if (line.empty() || line.front() == ';') continue;

    if (line.front() == '[') {
      // Only the first section of a name counts: once it ends, the key is missing.
      if (where == Where::kInWanted) return defaultValue;
      size_t close = line.find(']');
      std::string_view name = TrimBlanks(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
      where = EqualsNoCase(name, wantedSection) ? Where::kInWanted : Where::kInOther;
      continue;
    }
    if (where != Where::kInWanted) continue;

    size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;  // not a setting
    if (!EqualsNoCase(TrimBlanks(line.substr(0, equals)), wantedKey)) continue;
    std::string_view value = Unquote(TrimBlanks(line.substr(equals + 1)));
    return std::string(value.substr(0, kMaxProfileValue));
  }
  return defaultValue;
}

}  // namespace automation
