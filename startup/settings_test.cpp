// ReadSetting against real settings files in a temporary folder, and the DATABASE
// item of connect strings.

#include "startup/settings.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_process.h"

namespace ledgerwick {
namespace {

namespace fs = std::filesystem;
using testing::TestProcess;

class ReadSettingTest : public ::testing::Test {
 protected:
  void WriteSettings(const std::string& content, const std::string& name = kSettingsFileName) {
    testing::WriteFile(process.settingsDir / name, content);
  }
  std::string Read(const std::string& section, const std::string& key,
                   const std::string& fileName = kSettingsFileName) {
    return ReadSetting(process.state, section, key, fileName);
  }

  TestProcess process;
};

struct SettingCase {
  const char* name;
  std::string content;
  const char* section;
  const char* key;
  std::string expected;
};

class ReadSettingCases : public ReadSettingTest, public ::testing::WithParamInterface<SettingCase> {};

TEST_P(ReadSettingCases, AnswersTheValueOrERROR) {
  const SettingCase& c = GetParam();
  WriteSettings(c.content);
  EXPECT_EQ(Read(c.section, c.key), c.expected);
}

const std::string kSample =
    "; a sample\n"
    "[General]\n"
    "TextPath=/var/log/ledgerwick\n"
    "StorageType=1\n"
    "Empty=\n"
    "Sentinel=ERROR\n"
    "Padded=   /srv/logs   \n"
    "Quoted=\" 2.5 \"\n"
    "[Attachments]\n"
    "LocalConnect=DATABASE=/var/lib/ledgerwick/ledgwk.db\n";

INSTANTIATE_TEST_SUITE_P(
    Ini, ReadSettingCases,
    ::testing::Values(
        SettingCase{"Present", kSample, "General", "TextPath", "/var/log/ledgerwick"},
        SettingCase{"KeyInLowerCase", kSample, "General", "textpath", "/var/log/ledgerwick"},
        SettingCase{"KeyInUpperCase", kSample, "General", "TEXTPATH", "/var/log/ledgerwick"},
        SettingCase{"SectionInOtherCase", kSample, "general", "StorageType", "1"},
        SettingCase{"MissingKey", kSample, "General", "NetDSO", "ERROR"},
        SettingCase{"MissingSection", kSample, "Mail", "TextPath", "ERROR"},
        SettingCase{"KeyOfAnotherSection", kSample, "Attachments", "TextPath", "ERROR"},
        SettingCase{"EmptyValueIsNotMissing", kSample, "General", "Empty", ""},
        SettingCase{"ValueERRORReadsAsMissing", kSample, "General", "Sentinel", "ERROR"},
        SettingCase{"OuterBlanksDropped", kSample, "General", "Padded", "/srv/logs"},
        SettingCase{"QuotesDropped", kSample, "General", "Quoted", " 2.5 "},
        SettingCase{"ValueHoldingEquals", kSample, "Attachments", "LocalConnect",
                    "DATABASE=/var/lib/ledgerwick/ledgwk.db"},
        SettingCase{"LongValueCut", "[General]\nTextPath=" + std::string(300, 'x') + "\n",
                    "General", "TextPath", std::string(255, 'x')}),
    [](const ::testing::TestParamInfo<SettingCase>& info) { return info.param.name; });

TEST_F(ReadSettingTest, MissingFileReadsAsMissingSettings) {
  EXPECT_EQ(Read("General", "TextPath"), "ERROR");
  EXPECT_EQ(Read("Attachments", "NetDSO"), "ERROR");
}

TEST_F(ReadSettingTest, ReadsTheNamedFileInTheSettingsFolder) {
  WriteSettings("[General]\nTextPath=/a\n");
  WriteSettings("[General]\nTextPath=/b\n", "Other.ini");
  EXPECT_EQ(Read("General", "TextPath", "Other.ini"), "/b");
  EXPECT_EQ(Read("General", "TextPath"), "/a");
  EXPECT_EQ(Read("General", "TextPath", "Absent.ini"), "ERROR");
}

TEST_F(ReadSettingTest, UnreadableSettingsFolderReadsAsMissing) {
  // A folder where the file should be: nothing to read, no fault.
  fs::create_directory(process.settingsDir / kSettingsFileName);
  EXPECT_EQ(Read("General", "TextPath"), "ERROR");
}

TEST_F(ReadSettingTest, WritesNoFaultAndShowsNothing) {
  Read("General", "TextPath");
  EXPECT_FALSE(fs::exists(process.FaultLogPath()));
  EXPECT_TRUE(process.notices.shown.empty());
}

TEST(SampleSettings, NamesTheSqliteLocalStoreAndNoNetworkStore) {
  TestProcess process;
  Environment env = process.Env();
  env.settingsDir = LEDGERWICK_SAMPLE_SETTINGS_DIR;
  ProcessState state{env};
  auto read = [&](const char* section, const char* key) {
    return ReadSetting(state, section, key, kSettingsFileName);
  };
  EXPECT_EQ(read("General", "TextPath"), "/var/log/ledgerwick");
  EXPECT_EQ(read("General", "StorageType"), "1");
  EXPECT_EQ(read("Attachments", "LocalDSO"), "Recordkit.SqliteDSO");
  EXPECT_EQ(read("Attachments", "LocalDTO"), "Recordkit.SqliteDTO");
  EXPECT_EQ(GetConnectValue(read("Attachments", "LocalConnect"), "DATABASE", ";"),
            "/var/lib/ledgerwick/ledgwk.db");
  EXPECT_EQ(read("Attachments", "NetDSO"), "ERROR");
  EXPECT_EQ(read("Attachments", "NetConnect"), "ERROR");
  EXPECT_EQ(read("Attachments", "NetDTO"), "ERROR");
}

struct ConnectCase {
  const char* name;
  std::string connect;
  std::string expected;
};

class GetConnectValueCases : public ::testing::TestWithParam<ConnectCase> {};

TEST_P(GetConnectValueCases, PicksTheDatabaseItem) {
  EXPECT_EQ(GetConnectValue(GetParam().connect, "DATABASE", ";"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    ConnectStrings, GetConnectValueCases,
    ::testing::Values(
        ConnectCase{"MiddleItem", "PROVIDER=x;DATABASE=logs;USER=y", "logs"},
        ConnectCase{"NoDelimiterAfterValue", "DATABASE=logs", "logs"},
        ConnectCase{"OtherCapitals", "Database=logs", "ERROR"},
        ConnectCase{"BlanksStayInValue", "DATABASE = b ;", " b "},
        ConnectCase{"EmptyValue", "DATABASE=", ""},
        ConnectCase{"EmptyValueBeforeDelimiter", "DATABASE=;USER=u", ""},
        ConnectCase{"QuotesStay", "DATABASE=\"a b\"", "\"a b\""},
        ConnectCase{"BlanksBeforeKey", "USER=u;  DATABASE=x", "x"},
        ConnectCase{"LastItemWithTrailingDelimiter", "USER=u;DATABASE=/var/lib/lw.db;", "/var/lib/lw.db"},
        // The key counts only as an item's own key, with its own "=".
        ConnectCase{"InsideLongerKey", "OLDDATABASE=a;DATABASE=b", "b"},
        ConnectCase{"LongerKeyStartingWithKey", "DATABASEX=a;DATABASE=b", "b"},
        ConnectCase{"KeyWithoutEquals", "DATABASE;USER=u", "ERROR"},
        ConnectCase{"KeyInsideValue", "USER=DATABASE=x", "ERROR"},
        ConnectCase{"FirstMatchingItemWins", "DATABASE=a;DATABASE=b", "a"},
        ConnectCase{"NoItem", "PROVIDER=x;USER=y", "ERROR"},
        ConnectCase{"EmptyString", "", "ERROR"}),
    [](const ::testing::TestParamInfo<ConnectCase>& info) { return info.param.name; });

TEST(GetConnectValue, KeyIsTrimmedOfSpaces) {
  EXPECT_EQ(GetConnectValue("DATABASE=logs", "  DATABASE ", ";"), "logs");
}

TEST(GetConnectValue, OtherDelimiters) {
  EXPECT_EQ(GetConnectValue("A=1|DATABASE=x|B=2", "DATABASE", "|"), "x");
  EXPECT_EQ(GetConnectValue("A=1, DATABASE=x, B=2", "DATABASE", ", "), "x");
  // Without a delimiter the whole string is one item.
  EXPECT_EQ(GetConnectValue("DATABASE=x;B=2", "DATABASE", ""), "x;B=2");
}

TEST(GetConnectValue, EmptyKeyMatchesNothing) {
  EXPECT_EQ(GetConnectValue("=x;DATABASE=y", "  ", ";"), "ERROR");
}

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
}  // namespace ledgerwick
