#pragma once
// Translates the two Jet SQL forms that callers send into the standard SQL that the
// SQLite and the PostgreSQL store both run.

#include <optional>
#include <string>

namespace recordkit {

// Rewrites, outside quoted texts and identifiers:
// - `DELETE *` followed by blanks or line breaks and then FROM, as `DELETE`;
// - a date literal `#m/d/yyyy#` as the ISO text literal 'yyyy-mm-dd', which
//   compares correctly with the ISO dates of the log table.
// Nullopt when a `#...#` literal is not a valid date.
std::optional<std::string> TranslateStatement(const std::string& sql);

}  // namespace recordkit
