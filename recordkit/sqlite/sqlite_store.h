#pragma once
// The SQLite log store classes, as the class registry creates them.

#include <memory>

#include "automation/blocking_worker.h"
#include "automation/class_registry.h"

namespace recordkit {

constexpr const char* kSqliteDsoProgId = "Recordkit.SqliteDSO";
constexpr const char* kSqliteDtoProgId = "Recordkit.SqliteDTO";

// Registers "Recordkit.SqliteDSO" and "Recordkit.SqliteDTO". Every DSO created runs
// its writes through `worker`, which lives as long as the longest-lived of them.
void RegisterSqliteClasses(automation::ClassRegistry& registry,
                           std::shared_ptr<automation::BlockingWorker> worker);

// The same with an InlineWorker: writes run at once on the caller's thread.
void RegisterSqliteClasses(automation::ClassRegistry& registry);

}  // namespace recordkit
