#include "host/config_check.h"

#include <gtest/gtest.h>

namespace ledgerwick::host {
namespace {

TEST(WithoutPassword, HidesThePasswordOfItemsAndOfUris) {
  const struct {
    const char* connect;
    const char* shown;
  } cases[] = {
      {"DATABASE=/var/lib/ledgerwick/ledgwk.db", "DATABASE=/var/lib/ledgerwick/ledgwk.db"},
      {"DATABASE=host=db dbname=log password=s3cret user=lw", "DATABASE=host=db dbname=log password=*** user=lw"},
      {"DATABASE=host=db password=s3cret", "DATABASE=host=db password=***"},
      {"DATABASE=postgresql://lw:s3cret@db/log", "DATABASE=postgresql://lw:***@db/log"},
      {"DATABASE=postgresql://lw@db:5432/log", "DATABASE=postgresql://lw@db:5432/log"},
      {"DATABASE=postgresql://db:5432/log", "DATABASE=postgresql://db:5432/log"},
  };
  for (const auto& c : cases) EXPECT_EQ(WithoutPassword(c.connect), c.shown) << c.connect;
}

}  // namespace
}  // namespace ledgerwick::host
