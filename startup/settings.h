#pragma once
// Ledgwk.ini and connect-string values, with "ERROR" for what is missing.

#include <string>

#include "startup/process_state.h"

namespace ledgerwick {

constexpr const char* kSettingsFileName = "Ledgwk.ini";
constexpr const char* kMissing = "ERROR";

// The value of `key` in `section` of the settings file `fileName` in the settings
// folder, cut to 255 characters; "ERROR" when the file, section or key is missing.
std::string ReadSetting(const ProcessState& state, const std::string& section, const std::string& key,
                        const std::string& fileName);

// The value of the item `key` in a `delimiter`-separated connect string, or
// "ERROR". The key matches case for case, only as an item's own key: at the start
// of the string or right after a delimiter, blanks allowed before it, with its "="
// in the same item.
std::string GetConnectValue(const std::string& connectString, const std::string& key,
                            const std::string& delimiter);

// A connect string as it may be shown: the value of a password item, or the password
// of a URI's user, replaced by "***".
std::string WithoutPassword(const std::string& connect);

}  // namespace ledgerwick
