#include "recordkit/sql_dialect.h"

#include <gtest/gtest.h>

namespace recordkit {
namespace {

struct Translation {
  const char* jet;
  const char* sqlite;
};

class TranslateStatementTest : public ::testing::TestWithParam<Translation> {};

TEST_P(TranslateStatementTest, RewritesToSqlite) {
  auto translated = TranslateStatement(GetParam().jet);
  ASSERT_TRUE(translated.has_value()) << GetParam().jet;
  EXPECT_EQ(*translated, GetParam().sqlite);
}

INSTANTIATE_TEST_SUITE_P(
    Statements, TranslateStatementTest,
    ::testing::Values(
        // The purge statement as start-up builds it.
        Translation{"DELETE *\r\nFROM tblLog\r\nWHERE logdate < #11/24/2026#",
                    "DELETE\r\nFROM tblLog\r\nWHERE logdate < '2026-11-24'"},
        Translation{"delete  *  from t", "DELETE  from t"},
        Translation{"DELETE *FROM t", "DELETE FROM t"},
        Translation{"DELETE FROM t WHERE d >= #1/2/2026#", "DELETE FROM t WHERE d >= '2026-01-02'"},
        Translation{"SELECT #12/31/9999#, #2/29/2024#", "SELECT '9999-12-31', '2024-02-29'"},
        // Nothing changes inside quoted texts, identifiers and comments.
        Translation{"SELECT '#1/2/2026#', 'it''s DELETE * FROM x' FROM t",
                    "SELECT '#1/2/2026#', 'it''s DELETE * FROM x' FROM t"},
        Translation{"SELECT \"a#b#\", [c#d#] FROM t", "SELECT \"a#b#\", [c#d#] FROM t"},
        Translation{"-- it's #x#\nDELETE * FROM t /* ' # */", "-- it's #x#\nDELETE FROM t /* ' # */"},
        // A star that does not stand between DELETE and FROM stays.
        Translation{"SELECT * FROM t", "SELECT * FROM t"},
        Translation{"SELECT x_DELETE * FROM t", "SELECT x_DELETE * FROM t"}));

TEST(TranslateStatement, RefusesDateLiteralsThatAreNoDate) {
  for (const char* sql : {"WHERE d < #13/1/2026#", "WHERE d < #2/30/2026#", "WHERE d < #1/2/26#",
                          "WHERE d < #abc#", "WHERE d < #1/2/2026", "WHERE d < #1/2/2026 1:00#",
                          "WHERE d < #0/1/2026#", "WHERE d < #1/2/0099#"}) {
    EXPECT_FALSE(TranslateStatement(sql).has_value()) << sql;
  }
}

}  // namespace
}  // namespace recordkit
