// Tests of the small platform services: the INI reader, the event log writer, the
// class registry, the clocks and the operator notices.

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <stdexcept>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kj/exception.h>

#include "automation/automation_error.h"
#include "automation/class_registry.h"
#include "automation/clock.h"
#include "automation/date_scale.h"
#include "automation/event_log_writer.h"
#include "automation/file_appender.h"
#include "automation/ini_reader.h"
#include "automation/notices.h"
#include "automation/status.h"
#include "tests/support/failing_file_appender.h"
#include "tests/support/temp_dir.h"

namespace automation {
namespace {

namespace fs = std::filesystem;

using ledgerwick::testing::FailingFileAppender;
using ledgerwick::testing::ReadFile;
using ledgerwick::testing::TempDir;
using ledgerwick::testing::WriteFile;

// ---- INI reader ----

struct IniCase {
  const char* name;
  std::string content;
  const char* section;
  const char* key;
  std::string expected;
};

class IniReaderTest : public ::testing::TestWithParam<IniCase> {};

TEST_P(IniReaderTest, ReadsTheValueOrTheDefault) {
  const IniCase& c = GetParam();
  TempDir dir;
  const std::string file = dir / "Ledgwk.ini";
  WriteFile(file, c.content);
  EXPECT_EQ(GetProfileString(c.section, c.key, "ERROR", file), c.expected);
}

const std::string kSample =
    "; settings for the logger\n"
    "[General]\n"
    "TextPath=/var/log/ledgerwick\n"
    "StorageType=1\n"
    "Empty=\n"
    "Padded = \t spaced out \t\n"
    "DoubleQuoted=\"  kept blanks  \"\n"
    "SingleQuoted='x'\n"
    "HalfQuoted=\"open\n"
    "Mismatched=\"a'\n"
    "Literal=ERROR\n"
    "Semicolon=a;b\n"
    ";TextPath=/commented/out\n"
    "[Attachments]\n"
    "NetDSO=Recordkit.PostgresDSO\n"
    "  [ Spaced Section ]  \n"
    "  Key  =  v\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, IniReaderTest,
    ::testing::Values(
        IniCase{"plain", kSample, "General", "TextPath", "/var/log/ledgerwick"},
        IniCase{"key_lower_case", kSample, "General", "textpath", "/var/log/ledgerwick"},
        IniCase{"key_upper_case", kSample, "General", "TEXTPATH", "/var/log/ledgerwick"},
        IniCase{"section_other_case", kSample, "general", "StorageType", "1"},
        IniCase{"second_section", kSample, "ATTACHMENTS", "netdso", "Recordkit.PostgresDSO"},
        IniCase{"key_of_another_section", kSample, "Attachments", "TextPath", "ERROR"},
        IniCase{"missing_section", kSample, "Nowhere", "TextPath", "ERROR"},
        IniCase{"missing_key", kSample, "General", "LocalDSO", "ERROR"},
        IniCase{"empty_value", kSample, "General", "Empty", ""},
        IniCase{"outer_blanks_dropped", kSample, "General", "Padded", "spaced out"},
        IniCase{"double_quotes_dropped", kSample, "General", "DoubleQuoted", "  kept blanks  "},
        IniCase{"single_quotes_dropped", kSample, "General", "SingleQuoted", "x"},
        IniCase{"unmatched_quote_kept", kSample, "General", "HalfQuoted", "\"open"},
        IniCase{"mismatched_quotes_kept", kSample, "General", "Mismatched", "\"a'"},
        IniCase{"value_error_as_is", kSample, "General", "Literal", "ERROR"},
        IniCase{"semicolon_inside_value", kSample, "General", "Semicolon", "a;b"},
        IniCase{"blanks_around_names", kSample, "Spaced Section", "Key", "v"},
        IniCase{"blanks_in_asked_names", kSample, " General ", " TextPath ", "/var/log/ledgerwick"},
        IniCase{"long_value_cut", "[General]\nTextPath=" + std::string(300, 'p') + "\n", "General",
                "TextPath", std::string(255, 'p')},
        IniCase{"exactly_255", "[General]\nTextPath=" + std::string(255, 'q'), "General",
                "TextPath", std::string(255, 'q')},
        IniCase{"comment_only", "[General]\n;TextPath=/x\n", "General", "TextPath", "ERROR"},
        IniCase{"crlf_lines", "[General]\r\nTextPath=/crlf\r\nStorageType=0\r\n", "General",
                "TextPath", "/crlf"},
        IniCase{"crlf_empty_value", "[General]\r\nTextPath=\r\n", "General", "TextPath", ""},
        IniCase{"no_final_newline", "[General]\nTextPath=/last", "General", "TextPath", "/last"},
        IniCase{"duplicate_key_first_wins", "[General]\nTextPath=/first\nTextPath=/second\n",
                "General", "TextPath", "/first"},
        IniCase{"duplicate_section_first_wins",
                "[General]\nTextPath=/first\n[General]\nTextPath=/second\nStorageType=1\n",
                "General", "TextPath", "/first"},
        IniCase{"key_before_any_section", "TextPath=/orphan\n[General]\n", "General", "TextPath",
                "ERROR"},
        IniCase{"line_without_equals", "[General]\nTextPath\nTextPath=/real\n", "General",
                "TextPath", "/real"},
        IniCase{"utf8_mark_at_start", "\xEF\xBB\xBF[General]\nTextPath=/bom\n", "General",
                "TextPath", "/bom"},
        IniCase{"empty_file", "", "General", "TextPath", "ERROR"}),
    [](const ::testing::TestParamInfo<IniCase>& info) { return info.param.name; });

TEST(IniReader, MissingFileGivesTheDefault) {
  TempDir dir;
  EXPECT_EQ(GetProfileString("General", "TextPath", "ERROR", dir / "none.ini"),
            "ERROR");
  EXPECT_EQ(GetProfileString("General", "TextPath", "fallback", "/no/such/folder/Ledgwk.ini"),
            "fallback");
}

TEST(IniReader, UnreadableFileCountsAsMissing) {
  TempDir dir;  // a folder opens but cannot be read as a file
  EXPECT_EQ(GetProfileString("General", "TextPath", "ERROR", dir.path()), "ERROR");
}

// ---- event log writer ----

class EventLogWriterTest : public ::testing::Test {
 protected:
  static double At(CivilDate date, TimeOfDay time) {
    return CombineDateTime(*DateSerial(date), TimeSerial(time));
  }

  TempDir dir;
  std::string log = dir / "LWERR.LOG";
  ManualClock clock{At({2026, 3, 14}, {9, 26, 53})};
  PosixFileAppender files;
  EventLogWriter writer{clock, files};
};

TEST_F(EventLogWriterTest, WritesOneStampedLinePerEntry) {
  EXPECT_TRUE(writer.Append(log, "Error", "Invalid Log Method").ok());
  EXPECT_EQ(ReadFile(log), "2026-03-14 09:26:53\tError\tInvalid Log Method\n");
}

TEST_F(EventLogWriterTest, TwoAppendsGiveTwoLinesInOrder) {
  EXPECT_TRUE(writer.Append(log, "Error", "first").ok());
  clock.Set(At({2026, 3, 14}, {23, 59, 59}));
  EXPECT_TRUE(writer.Append(log, "Error", "second").ok());
  EXPECT_EQ(ReadFile(log),
            "2026-03-14 09:26:53\tError\tfirst\n"
            "2026-03-14 23:59:59\tError\tsecond\n");
}

TEST_F(EventLogWriterTest, ASecondWriterAddsToTheFirstOnesFile) {
  WriteFile(log, "earlier entry\n");
  EXPECT_TRUE(EventLogWriter(clock, files).Append(log, "Error", "run one").ok());
  EXPECT_TRUE(EventLogWriter(clock, files).Append(log, "Error", "run two").ok());
  EXPECT_EQ(ReadFile(log),
            "earlier entry\n"
            "2026-03-14 09:26:53\tError\trun one\n"
            "2026-03-14 09:26:53\tError\trun two\n");
}

TEST_F(EventLogWriterTest, LineBreaksInsideTheMessageBecomeBlanks) {
  EXPECT_TRUE(writer.Append(log, "Error", "line one\r\nline two\nthree\rfour").ok());
  EXPECT_EQ(ReadFile(log), "2026-03-14 09:26:53\tError\tline one  line two three four\n");
}

TEST_F(EventLogWriterTest, DatesBeforeTheZeroDayAreStampedCorrectly) {
  clock.Set(At({1899, 12, 29}, {6, 0, 0}));
  EXPECT_TRUE(writer.Append(log, "Error", "old").ok());
  EXPECT_EQ(ReadFile(log), "1899-12-29 06:00:00\tError\told\n");
}

TEST_F(EventLogWriterTest, UnwritablePathAnswersTheFileError) {
  struct Case {
    std::string path;
    int32_t number;
    const char* description;
  };
  const Case cases[] = {
      {dir / "missing/LWERR.LOG", err::kPathNotFound, "Path not found"},
      {dir.path(), err::kPathFileAccessError, "Path/File access error"},
      {"", err::kPathNotFound, "Path not found"},
  };
  for (const Case& c : cases) {
    Status status = writer.Append(c.path, "Error", "lost");
    EXPECT_EQ(status.number, c.number) << c.path;
    EXPECT_EQ(status.description, c.description) << c.path;
  }
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

// The entry goes to the appender in one call, so an appender that fails leaves no
// part of it in the file, and the writer answers the appender's status unchanged.
TEST_F(EventLogWriterTest, EachEntryIsOneAppendAndItsFailureIsAnswered) {
  FailingFileAppender failing(files);
  EventLogWriter faulty(clock, failing);
  failing.FailCallOnce(2, err::kPermissionDenied);

  EXPECT_TRUE(faulty.Append(log, "Error", "first").ok());
  Status status = faulty.Append(log, "Error", "second");
  EXPECT_EQ(status.number, err::kPermissionDenied);
  EXPECT_EQ(status.description, "Permission denied");
  EXPECT_TRUE(faulty.Append(log, "Error", "third").ok());

  EXPECT_EQ(failing.calls(), 3);
  EXPECT_EQ(ReadFile(log),
            "2026-03-14 09:26:53\tError\tfirst\n"
            "2026-03-14 09:26:53\tError\tthird\n");
}

// ---- errors ----

TEST(AutomationErrorTest, FromCurrentExceptionKeepsNumberAndDescription) {
  struct Case {
    const char* name;
    std::function<void()> raise;
    int32_t number;
    std::string description;
  };
  const Case cases[] = {
      {"automation error", [] { throw AutomationError(91); }, 91, StandardDescription(91)},
      {"own description", [] { throw AutomationError(3146, "ODBC--call failed"); }, 3146, "ODBC--call failed"},
      {"through kj",
       [] {
         // As an error raised inside a promise continuation arrives.
         KJ_IF_MAYBE(e, kj::runCatchingExceptions([] { throw AutomationError(57); })) {
           kj::throwFatalException(kj::mv(*e));
         }
       },
       57, "Device I/O error"},
      {"out of memory", [] { throw std::bad_alloc(); }, 7, "Out of memory"},
      {"other exception", [] { throw std::runtime_error("broken"); }, 440, "broken"},
      {"not an exception", [] { throw 42; }, 440, StandardDescription(440)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.raise();
      ADD_FAILURE() << "nothing raised";
    } catch (...) {
      const AutomationError error = AutomationError::FromCurrentException();
      EXPECT_EQ(error.number(), c.number);
      EXPECT_EQ(error.description(), c.description);
    }
  }
}

// ---- class registry ----

class Store : public Unknown {};
class SqliteStore : public Store {};
class Table : public Unknown {};

TEST(ClassRegistry, CreatesARegisteredClassWhateverTheCase) {
  ClassRegistry registry;
  int made = 0;
  registry.Register("Recordkit.SqliteDSO", [&] {
    ++made;
    return std::make_shared<SqliteStore>();
  });
  for (const char* id : {"Recordkit.SqliteDSO", "recordkit.sqlitedso", "RECORDKIT.SQLITEDSO"}) {
    EXPECT_NE(std::dynamic_pointer_cast<SqliteStore>(registry.Create(id)), nullptr) << id;
  }
  EXPECT_EQ(made, 3);
  EXPECT_NE(registry.CreateAs<Store>("recordkit.SqliteDso"), nullptr);
}

TEST(ClassRegistry, RegisteringAgainReplacesTheFactory) {
  ClassRegistry registry;
  registry.Register("Recordkit.SqliteDTO", [] { return std::make_shared<Store>(); });
  registry.Register("RECORDKIT.SQLITEDTO", [] { return std::make_shared<Table>(); });
  EXPECT_NE(registry.CreateAs<Table>("Recordkit.SqliteDTO"), nullptr);
}

TEST(ClassRegistry, CannotCreateUnknownOrEmptyObjects) {
  ClassRegistry registry;
  registry.Register("Recordkit.Nothing", [] { return std::shared_ptr<Unknown>(); });
  registry.Register("Recordkit.NoFactory", nullptr);
  for (const char* id : {"Recordkit.Missing", "", "Recordkit.Nothing", "Recordkit.NoFactory"}) {
    try {
      registry.Create(id);
      ADD_FAILURE() << "created " << id;
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.number(), 429) << id;
      EXPECT_EQ(e.description(), "Component can't create object") << id;
    }
  }
}

TEST(ClassRegistry, AnObjectOfAnotherKindIsATypeMismatch) {
  ClassRegistry registry;
  registry.Register("Recordkit.SqliteDTO", [] { return std::make_shared<Table>(); });
  try {
    registry.CreateAs<Store>("Recordkit.SqliteDTO");
    ADD_FAILURE() << "no type mismatch";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 13);
    EXPECT_EQ(e.description(), "Type mismatch");
  }
}

// ---- clocks ----

TEST(Clock, ManualClockAnswersWhatItWasSet) {
  ManualClock clock(46000.5);
  EXPECT_EQ(clock.Now(), 46000.5);
  clock.Set(-1.25);
  EXPECT_EQ(clock.Now(), -1.25);
}

double LocalNowBySeconds(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return CombineDateTime(*DateSerial({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday}),
                         TimeSerial({local.tm_hour, local.tm_min, local.tm_sec}));
}

TEST(Clock, SystemClockIsTheLocalTimeInWholeSeconds) {
  const double before = LocalNowBySeconds(std::time(nullptr));
  const double now = SystemClock().Now();
  const double after = LocalNowBySeconds(std::time(nullptr));
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
  // Whole seconds: the time of day is a whole number of seconds.
  const double seconds = TimeFraction(now) * 86400.0;
  EXPECT_NEAR(seconds, std::round(seconds), 1e-3);
}

// ---- notices ----

TEST(Notices, StderrNoticeIsOnePrefixedLine) {
  ::testing::internal::CaptureStderr();
  StderrNotices().Show("Unable to open:\r\nNetwork store\nLocal store");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "ledgerwickd: notice: Unable to open: / Network store / Local store\n");
}

TEST(Notices, RecordedNoticesKeepTheTexts) {
  RecordedNotices notices;
  NoticeSink& sink = notices;
  sink.Show("Unable to create thread");
  sink.Show("second");
  EXPECT_EQ(notices.shown, (std::vector<std::string>{"Unable to create thread", "second"}));
}

}  // namespace
}  // namespace automation
