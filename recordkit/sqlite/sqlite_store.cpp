#include "recordkit/sqlite/sqlite_store.h"

#include "recordkit/sqlite/sqlite_dso.h"
#include "recordkit/sqlite/sqlite_dto.h"

namespace recordkit {

void RegisterSqliteClasses(automation::ClassRegistry& registry,
                           std::shared_ptr<automation::BlockingWorker> worker) {
  registry.Register(kSqliteDsoProgId, [worker] {
    SqliteDSO::Options options;
    options.worker = worker;
    return std::make_shared<SqliteDSO>(std::move(options));
  });
  registry.Register(kSqliteDtoProgId, [] { return std::make_shared<SqliteDTO>(); });
}

void RegisterSqliteClasses(automation::ClassRegistry& registry) {
  RegisterSqliteClasses(registry, std::make_shared<automation::InlineWorker>());
}

}  // namespace recordkit
