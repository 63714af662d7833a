#pragma once
// A reader for private-profile (INI) files with the platform reader's rules:
// [Section] lines, key=value lines, section and key names matched without regard
// to case, blanks around a value and enclosing quotation marks dropped, values cut
// to 255 characters, and the caller's default for a missing file, section or key.

#include <string>

namespace automation {

constexpr size_t kMaxProfileValue = 255;

// The value of `key` in `section` of the file at `path`, or `defaultValue`.
// Lines starting with ';' are comments. The first matching section and key win.
std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, const std::string& path);

}  // namespace automation
