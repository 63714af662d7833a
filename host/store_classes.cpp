#include "host/store_classes.h"

#include "recordkit/postgres/postgres_store.h"
#include "recordkit/sqlite/sqlite_store.h"

namespace ledgerwick::host {

void RegisterStoreClasses(automation::ClassRegistry& classes, std::shared_ptr<automation::BlockingWorker> worker,
                          kj::AsyncIoContext& io, const automation::Clock& clock) {
  recordkit::RegisterSqliteClasses(classes, std::move(worker));
  recordkit::RegisterPostgresClasses(classes,
                                     {io.unixEventPort, io.provider->getTimer(), io.provider->getNetwork(), clock});
}

}  // namespace ledgerwick::host
