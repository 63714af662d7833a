// The query command's choices: which store the settings name, how options read, how
// CSV fields are quoted.

#include "client/query_command.h"

#include <gtest/gtest.h>

#include "client/cli_commands.h"
#include "recordkit/reader/pg_log_reader.h"
#include "recordkit/reader/sqlite_log_reader.h"
#include "recordkit/reader/text_log_reader.h"
#include "tests/support/temp_dir.h"

namespace ledgerwick::cli {
namespace {

using ledgerwick::testing::TempDir;

enum class Kind { Sqlite, Postgres, Text, Refused };

Kind KindOf(const recordkit::LogReader& reader) {
  if (dynamic_cast<const recordkit::SqliteLogReader*>(&reader)) return Kind::Sqlite;
  if (dynamic_cast<const recordkit::PgLogReader*>(&reader)) return Kind::Postgres;
  if (dynamic_cast<const recordkit::TextLogReader*>(&reader)) return Kind::Text;
  return Kind::Refused;
}

constexpr const char* kNet = "NetDSO=Recordkit.PostgresDSO\nNetConnect=DATABASE=dbname=logs\n";
constexpr const char* kLocal = "LocalDSO=Recordkit.SqliteDSO\nLocalConnect=DATABASE=/x/ledgwk.db\n";

TEST(QueryCommandTest, TheStoreReadIsTheOneTheDaemonWritesFirst) {
  struct Case {
    const char* name;
    std::string general;
    std::string attachments;
    std::string store;
    Kind kind;
  } cases[] = {
      {"network first", "", std::string(kNet) + kLocal, "", Kind::Postgres},
      {"local without network", "", kLocal, "", Kind::Sqlite},
      {"no database item", "", "NetDSO=Recordkit.PostgresDSO\nNetConnect=host=x\n", "", Kind::Text},
      {"nothing", "", "", "", Kind::Text},
      {"log method 0", "StorageType=0\n", std::string(kNet) + kLocal, "", Kind::Text},
      {"local by name", "", std::string(kNet) + kLocal, "local", Kind::Sqlite},
      {"text by name", "", std::string(kNet) + kLocal, "text", Kind::Text},
      {"network named but absent", "", kLocal, "network", Kind::Refused},
      {"a class that cannot be read", "", "LocalDSO=Other.DSO\nLocalConnect=DATABASE=x\n", "", Kind::Refused},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ledgerwick::testing::WriteFile(dir / "Ledgwk.ini", "[General]\n" + c.general + "[Attachments]\n" + c.attachments);
    QueryRequest request;
    request.configDir = dir.path();
    request.homeDir = dir.path();
    request.store = c.store;
    Kind kind = Kind::Refused;
    try {
      kind = KindOf(*ReaderFor(request));
    } catch (const UsageError&) {
      ADD_FAILURE() << c.name << ": a usage error";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(dir / "Ledgwk.ini"), std::string::npos) << c.name << ": " << e.what();
    }
    EXPECT_EQ(kind, c.kind) << c.name;
  }
}

TEST(QueryCommandTest, OptionValuesThatDoNotReadAreUsageErrors) {
  const double now = 46000.5;
  auto filter = [&](void (*change)(QueryRequest&)) {
    QueryRequest request;
    change(request);
    return FilterOf(request, now);
  };
  EXPECT_THROW(filter([](QueryRequest& r) { r.since = "last week"; }), UsageError);
  EXPECT_THROW(filter([](QueryRequest& r) { r.until = "2026-12-32"; }), UsageError);
  EXPECT_THROW(filter([](QueryRequest& r) { r.severity = "3.5"; }), UsageError);
  EXPECT_THROW(filter([](QueryRequest& r) { r.limit = "-2"; }), UsageError);
  EXPECT_THROW(filter([](QueryRequest& r) { r.limit = "ten"; }), UsageError);
  EXPECT_THROW(filter([](QueryRequest& r) { r.json = r.csv = true; }), UsageError);
  recordkit::EventFilter f = filter([](QueryRequest& r) {
    r.severity = "-2";
    r.limit = "0";
    r.appName = "a";
  });
  EXPECT_EQ(f.severity, -2);
  EXPECT_EQ(f.limit, 0u);
  EXPECT_EQ(f.appName, "a");
  EXPECT_FALSE(f.userName);
}

TEST(QueryCommandTest, CsvFieldsAreQuotedOnlyWhenTheyMustBe) {
  EXPECT_EQ(CsvField("plain text"), "plain text");
  EXPECT_EQ(CsvField(""), "");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
  EXPECT_EQ(CsvField("cr\r"), "\"cr\r\"");
}

}  // namespace
}  // namespace ledgerwick::cli
