#include "recordkit/sqlite/sqlite_store.h"

#include "recordkit/sqlite/sqlite_dso.h"
#include "recordkit/sqlite/sqlite_dto.h"

namespace recordkit {

void RegisterSqliteClasses(automation::ClassRegistry& registry) {
  registry.Register(kSqliteDsoProgId, [] { return std::make_shared<SqliteDSO>(); });
  registry.Register(kSqliteDtoProgId, [] { return std::make_shared<SqliteDTO>(); });
}

}  // namespace recordkit
