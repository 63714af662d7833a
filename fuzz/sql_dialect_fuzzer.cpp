// Purge statements as callers send them, translated for the stores.

#include <cstddef>
#include <cstdint>
#include <string>

#include "recordkit/sql_dialect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string sql(reinterpret_cast<const char*>(data), size);
  auto translated = recordkit::TranslateStatement(sql);
  // A translation is a statement of its own: translating it again changes nothing.
  if (translated) (void)recordkit::TranslateStatement(*translated);
  return 0;
}
