#include "writer/text_log.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "automation/date_scale.h"
#include "tests/support/records.h"
#include "tests/support/writer_rig.h"

namespace ledgerwick {
namespace {

using automation::Variant;
using testing::FieldValues;
using testing::MakeRecord;

std::vector<std::string> Columns(const std::string& line) {
  std::vector<std::string> columns;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    columns.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return columns;
}

class TextLogTest : public ::testing::Test {
 protected:
  std::string Format(const FieldValues& fields) {
    std::vector<std::string> faults;
    std::string line = log.FormatLogLine(MakeRecord(fields), faults);
    EXPECT_TRUE(faults.empty());
    return line;
  }

  TakeResult Write(std::vector<Variant> records) {
    return log.WriteToTextFile(kj::arrayPtr(records.data(), records.size())).wait(process.ws);
  }

  testing::WriterRig process;
  TextLog log{process.files, process.packer, process.faultLog, process.worker, process.textLogPath};
};

TEST_F(TextLogTest, FullRecordRendersNineteenColumnsInOrder) {
  double day = *automation::DateSerial({2026, 12, 25});
  double time = automation::TimeSerial({14, 5, 9});
  std::string line = Format({
      {"AppName", Variant::String("Payroll")},
      {"AppVersion", Variant::String("2.1")},
      {"Description", Variant::String("Disk almost full")},
      {"Severity", Variant::Integer(3)},
      {"EventCode", Variant::Long(4711)},
      {"AddlText", Variant::Double(1.5)},
      {"EventData", Variant::Boolean(true)},
      {"UserName", Variant::String("ann")},
      {"EventDate", Variant::Date(day)},
      {"EventTime", Variant::Date(time)},
      {"LogDate", Variant::Date(day)},
      {"LogTime", Variant::Date(day + time)},
      {"HelpFile", Variant::String("help.chm")},
      {"HelpContext", Variant::Long(12)},
      {"SubName", Variant::String("Save")},
      {"ModuleName", Variant::String("modFile")},
      {"UserDescription", Variant()},
      {"UserComment", Variant::Currency(12345)},
      {"DetailLevel", Variant::Byte(7)},
  });
  std::vector<std::string> expected = {
      "Payroll", "2.1", "Disk almost full", "3", "4711", "1.5", "True", "ann",
      "12/25/2026", "2:05:09 PM", "12/25/2026", "12/25/2026 2:05:09 PM", "help.chm", "12",
      "Save", "modFile", "", "1.2345", "7"};
  EXPECT_EQ(Columns(line), expected);
  EXPECT_TRUE(process.Faults().empty());
}

TEST_F(TextLogTest, AllEmptyRecordIsEighteenTabs) {
  EXPECT_EQ(Format({}), std::string(18, '\t'));
}

// A null is an empty column where the value is joined; where it is converted to text,
// the column is written empty with one fault entry and the rest of the line stays.
TEST_F(TextLogTest, NullsAndUnrenderableValues) {
  struct Case {
    const char* field;
    Variant value;
    size_t column;
    std::vector<std::string> faults;
  };
  automation::SafeArray array(automation::VarType::Long, {{0, 2}});
  std::vector<Case> cases = {
      {"AppName", Variant::Null(), 0, {}},
      {"Severity", Variant::Null(), 3, {"Invalid use of Null"}},
      {"EventDate", Variant::Null(), 8, {"Invalid use of Null"}},
      {"Description", Variant::Array(array), 2, {"Type mismatch"}},
      {"DetailLevel", Variant::Array(array), 18, {"Type mismatch"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    Variant record = MakeRecord({{"UserName", Variant::String("bob")}, {c.field, c.value}});
    std::vector<std::string> faults;
    std::vector<std::string> columns = Columns(log.FormatLogLine(record, faults));
    ASSERT_EQ(columns.size(), 19u);
    EXPECT_EQ(columns[c.column], "");
    EXPECT_EQ(columns[7], "bob");
    EXPECT_EQ(faults, c.faults);
  }
}

TEST_F(TextLogTest, TabsAndLineBreaksInsideValuesBecomeBlanks) {
  std::string line = Format({{"Description", Variant::String("a\tb\r\nc")}, {"AppName", Variant::String("x\ny")}});
  std::vector<std::string> columns = Columns(line);
  ASSERT_EQ(columns.size(), 19u);
  EXPECT_EQ(columns[0], "x y");
  EXPECT_EQ(columns[2], "a b  c");
}

TEST_F(TextLogTest, RecordsAreAppendedAsCrLfLinesInOrder) {
  EXPECT_EQ(Write({MakeRecord({{"AppName", Variant::String("one")}})}).taken, 1u);
  EXPECT_EQ(Write({MakeRecord({{"AppName", Variant::String("two")}}), MakeRecord({{"AppName", Variant::String("three")}})}).taken,
            2u);
  std::string content = testing::ReadFile(process.textLogPath);
  const std::string tabs(18, '\t');
  EXPECT_EQ(content, "one" + tabs + "\r\ntwo" + tabs + "\r\nthree" + tabs + "\r\n");
  EXPECT_EQ(process.files.calls(), 2);  // one append per run
}

TEST_F(TextLogTest, ARunRendersEachRecordAsItRendersAlone) {
  // Dates that repeat from record to record, change, come back, and stand in other
  // columns; a value off the scale between them; a long run is rendered in two halves.
  const double day = *automation::DateSerial({2026, 12, 11});
  const double second = 1.0 / 86400;
  const Variant dates[] = {Variant::Date(day + 0.25), Variant::Date(day + 0.25), Variant::Date(day + 0.25 + second),
                           Variant::Date(day), Variant::Date(3e6), Variant::Date(day + 0.25), Variant::Date(0),
                           Variant::Date(-0.0), Variant::String("12/11/2026")};
  std::vector<Variant> run;
  std::string expected;
  for (int i = 0; i < 100; ++i) {
    const Variant& date = dates[i % std::size(dates)];
    const Variant& other = dates[(i / 3) % std::size(dates)];
    Variant record = MakeRecord({{"EventDate", date}, {"EventTime", other}, {"LogDate", date}, {"LogTime", date}});
    std::vector<std::string> faults;
    expected += log.FormatLogLine(record, faults) + "\r\n";
    run.push_back(std::move(record));
  }
  EXPECT_EQ(Write(run).taken, run.size());
  EXPECT_EQ(testing::ReadFile(process.textLogPath), expected);
}

TEST_F(TextLogTest, MissingFolderWritesNothingAndAnswersTheFileError) {
  const std::string path = process.homeDir / "no-such-folder/Ledgwk.log";
  TextLog missing(process.files, process.packer, process.faultLog, process.worker, path);
  std::vector<Variant> run = {MakeRecord({{"AppName", Variant::String("lost?")}})};
  TakeResult result = missing.WriteToTextFile(kj::arrayPtr(run.data(), run.size())).wait(process.ws);
  EXPECT_EQ(result.taken, 0u);
  EXPECT_EQ(result.status.number, 76);
  EXPECT_EQ(result.status.description, "Path not found");
  EXPECT_EQ(process.Faults(), std::vector<std::string>{"Path not found (" + path + ")"});
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(TextLogTest, RecordThePackerRejectsLeavesAnEmptyLineAndAFault) {
  EXPECT_EQ(Write({Variant::Long(5)}).taken, 1u);
  EXPECT_EQ(testing::ReadFile(process.textLogPath), "\r\n");
  ASSERT_EQ(process.Faults().size(), 1u);
  EXPECT_EQ(process.Faults()[0], "Record could not be unpacked: Type mismatch");
}

// A run that cannot be written takes nothing and leaves nothing; its records'
// rendering faults are entered once, when a later try writes them.
TEST_F(TextLogTest, FailedRunTakesNothingAndItsRenderingFaultsWaitForTheWrite) {
  std::vector<Variant> run = {MakeRecord({{"AppName", Variant::String("a")}}),
                              MakeRecord({{"Severity", Variant::Null()}})};
  process.files.FailCallOnce(1);
  TakeResult failed = log.WriteToTextFile(kj::arrayPtr(run.data(), run.size())).wait(process.ws);
  EXPECT_EQ(failed.taken, 0u);
  EXPECT_EQ(failed.status.number, 61);
  EXPECT_FALSE(std::filesystem::exists(process.textLogPath));
  const std::string diskFull = "Disk full (" + process.textLogPath + ")";
  EXPECT_EQ(process.Faults(), std::vector<std::string>{diskFull});

  TakeResult written = log.WriteToTextFile(kj::arrayPtr(run.data(), run.size())).wait(process.ws);
  EXPECT_EQ(written.taken, 2u);
  EXPECT_EQ(testing::SplitLines(testing::ReadFile(process.textLogPath)).size(), 2u);
  EXPECT_EQ(process.Faults(), (std::vector<std::string>{diskFull, "Invalid use of Null"}));
}

}  // namespace
}  // namespace ledgerwick
