#include "host/home_folder.h"

#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "host/start_error.h"

namespace ledgerwick::host {
namespace {

TEST(HomeFolderTest, ADefaultHomeIsMadeWithTheFoldersAboveItForItsOwnerAlone) {
  const std::filesystem::path base = std::filesystem::temp_directory_path() / ("home-test-" + std::to_string(getpid()));
  const std::string home = base / "state" / "ledgerwick";
  PrepareHome(home, true);
  struct stat info {};
  ASSERT_EQ(stat(home.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_TRUE(std::filesystem::is_empty(home));  // the write test leaves nothing behind
  PrepareHome(home, true);                       // there already: fine
  std::filesystem::remove_all(base);
  EXPECT_THROW(PrepareHome(home, false), StartError);  // a named home is never made
  EXPECT_THROW(PrepareHome("", true), StartError);
  EXPECT_FALSE(std::filesystem::exists(home));
}

TEST(HomeFolderTest, RootsDefaultHomeIsTheStateFolderOthersTheirOwn) {
  const struct {
    bool root;
    const char* xdgStateHome;
    std::string userHome;
    std::string home;
  } cases[] = {
      {true, "/x/state", "/root", "/var/lib/ledgerwick"},
      {false, "/x/state", "/home/u", "/x/state/ledgerwick"},
      {false, nullptr, "/home/u", "/home/u/.local/state/ledgerwick"},
      {false, "relative/state", "/home/u", "/home/u/.local/state/ledgerwick"},
      {false, "", "/home/u", "/home/u/.local/state/ledgerwick"},
      {false, nullptr, "", ""},  // no home: none, rather than a folder in /tmp
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ledgerwick::DefaultHomeFor(c.root, c.xdgStateHome, c.userHome), c.home) << c.userHome;
  }
}

}  // namespace
}  // namespace ledgerwick::host
