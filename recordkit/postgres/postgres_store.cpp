#include "recordkit/postgres/postgres_store.h"

#include <memory>

#include "recordkit/postgres/postgres_dto.h"

namespace recordkit {

void RegisterPostgresClasses(automation::ClassRegistry& registry, PostgresDSO::Environment env) {
  registry.Register(kPostgresDsoProgId, [env] { return std::make_shared<PostgresDSO>(env); });
  registry.Register(kPostgresDtoProgId, [] { return std::make_shared<PostgresDTO>(); });
}

}  // namespace recordkit
