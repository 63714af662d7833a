// ledgerwickd --check-config: what start-up would do, and what stands in its way, by
// name, without starting a daemon or writing its fault log.

#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/daemon_fixture.h"

namespace ledgerwick::testing {
namespace {

class CheckConfigTest : public DaemonTest {
 protected:
  CommandResult Check(const std::string& configDir) {
    return RunCommand(LEDGERWICKD_PATH,
                      {"--check-config", "--config-dir", configDir, "--home", dir.path(), "--socket", Socket()});
  }
  static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
  bool Exists(const std::string& path) const {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
  }
};

TEST_F(CheckConfigTest, UsableSettingsAreDescribedAndNothingIsStartedOrWritten) {
  WriteDefaultSettings(1);
  CommandResult result = Check(dir.path());
  EXPECT_EQ(result.code, 0) << result.out << result.err;
  EXPECT_TRUE(Has(result.out, "settings: " + (dir / "Ledgwk.ini") + "\n")) << result.out;
  EXPECT_TRUE(Has(result.out, "log method: 1 (the network store, else the local store, else the text log)\n"));
  EXPECT_TRUE(Has(result.out, "text log: " + TextLog(dir.path()) + "\n")) << result.out;
  EXPECT_TRUE(Has(result.out, "network store: none (no NetDSO in [Attachments])\n")) << result.out;
  EXPECT_TRUE(Has(result.out, "local store LocalDSO=Recordkit.SqliteDSO LocalDTO=Recordkit.SqliteDTO "
                              "LocalConnect=DATABASE=" +
                                  Database() + ": opened\n"))
      << result.out;
  // The fault start-up would enter for the absent network store is shown, not written.
  EXPECT_TRUE(Has(result.out, "start-up would enter in " + FaultLog() + ":\n  ")) << result.out;
  EXPECT_TRUE(Has(result.out, ": Create NetDSO (no NetDSO in [Attachments] of " + (dir / "Ledgwk.ini") + ")\n"))
      << result.out;
  EXPECT_TRUE(Has(result.out, "ledgerwickd: the settings can be used\n")) << result.out;
  EXPECT_FALSE(Exists(FaultLog()));
  EXPECT_FALSE(Exists(Socket()));
  EXPECT_FALSE(Exists(TextLog(dir.path())));
  // The store file start-up would make is not left behind, owned by whoever checked.
  EXPECT_TRUE(Has(result.out, "local store file " + Database() + ": made at start")) << result.out;
  EXPECT_FALSE(Exists(Database()));
  // A store file that is there stays.
  StartDaemon();
  EXPECT_EQ(Ledgerwick({"get", "Name"}).code, 0);  // the first object runs start-up
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);
  ASSERT_TRUE(Exists(Database()));
  CommandResult again = Check(dir.path());
  EXPECT_EQ(again.code, 0) << again.out;
  EXPECT_FALSE(Has(again.out, "local store file")) << again.out;
  EXPECT_TRUE(Exists(Database()));
}

TEST_F(CheckConfigTest, EachProblemIsNamed) {
  const std::string none = dir / "none";
  ASSERT_EQ(mkdir(none.c_str(), 0700), 0);
  const std::string unknownClass = dir / "unknown-class";
  ASSERT_EQ(mkdir(unknownClass.c_str(), 0700), 0);
  {
    std::ofstream(unknownClass + "/Ledgwk.ini")
        << "[General]\nTextPath=" << dir.path() << "\n[Attachments]\nLocalDSO=Nowhere.DSO\nLocalDTO=Nowhere.DTO\n"
        << "LocalConnect=DATABASE=" << Database() << "\n";
  }
  const std::string readOnlyText = dir / "read-only-text";
  ASSERT_EQ(mkdir(readOnlyText.c_str(), 0700), 0);
  // Not even root may make a file in /proc.
  WriteSettings(readOnlyText, 1, "/proc", Database());
  const struct {
    std::string configDir;
    std::string problem;
  } cases[] = {
      {none, "problem: no settings file " + none + "/Ledgwk.ini (every setting would take its default"},
      {unknownClass, "problem: local store LocalDSO=Nowhere.DSO LocalDTO=Nowhere.DTO LocalConnect=DATABASE=" +
                         Database() + ": did not open"},
      {unknownClass, "  Component can't create object: Create DSOLocal (LocalDSO=Nowhere.DSO, LocalConnect=DATABASE=" +
                         Database() + ")\n"},
      {readOnlyText, "problem: text log /proc/Ledgwk.log: its folder /proc cannot be written: "},
  };
  for (const auto& c : cases) {
    CommandResult result = Check(c.configDir);
    EXPECT_EQ(result.code, 1) << c.configDir;
    EXPECT_TRUE(Has(result.out, c.problem)) << result.out;
    EXPECT_TRUE(Has(result.out, "problem found\n") || Has(result.out, "problems found\n")) << result.out;
  }
  EXPECT_FALSE(Exists(FaultLog()));
}

}  // namespace
}  // namespace ledgerwick::testing
