#pragma once
// The SQLite log store classes, as the class registry creates them.

#include "automation/class_registry.h"

namespace recordkit {

constexpr const char* kSqliteDsoProgId = "Recordkit.SqliteDSO";
constexpr const char* kSqliteDtoProgId = "Recordkit.SqliteDTO";

// Registers "Recordkit.SqliteDSO" and "Recordkit.SqliteDTO".
void RegisterSqliteClasses(automation::ClassRegistry& registry);

}  // namespace recordkit
