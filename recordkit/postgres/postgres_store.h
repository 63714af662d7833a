#pragma once
// The PostgreSQL log store classes, as the class registry creates them.

#include "automation/class_registry.h"
#include "recordkit/postgres/postgres_dso.h"

namespace recordkit {

constexpr const char* kPostgresDsoProgId = "Recordkit.PostgresDSO";
constexpr const char* kPostgresDtoProgId = "Recordkit.PostgresDTO";

// Registers "Recordkit.PostgresDSO" and "Recordkit.PostgresDTO". Every DSO created
// runs on the loop of `env.port` and waits with `env.timer`; both outlive it.
void RegisterPostgresClasses(automation::ClassRegistry& registry, PostgresDSO::Environment env);

}  // namespace recordkit
