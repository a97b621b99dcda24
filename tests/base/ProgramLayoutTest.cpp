#include "base/ProgramLayout.h"
#include "base/Unprivileged.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace text;
namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class ProgramLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("mc_layout_" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    // World-traversable, so an unprivileged child reaches what is below.
    fs::permissions(root_, fs::perms::all & ~fs::perms::group_write & ~fs::perms::others_write);
    defaults_ = root_ / "defaults";
    fs::create_directories(defaults_);
    WriteAll(defaults_ / "trsp.ini", "5150\r\n4084\r\n");
    WriteAll(defaults_ / "kanal.ini", "Classic Radio\r\n362\r\n0\r\n\r\n");
    WriteAll(defaults_ / "eq.ini", "0\r\n");
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path root_, defaults_;
};

} // namespace

TEST_F(ProgramLayoutTest, IniFolderBesideTheExecutableMeansABuildTree) {
  const fs::path bin = root_ / "build" / "bin";
  fs::create_directories(bin / "ini");
  const TProgramLayout layout = LayoutOf(bin.string());
  EXPECT_FALSE(layout.Installed);
  EXPECT_EQ(layout.IniFolder, (bin / "ini").string());
  EXPECT_EQ(layout.LibraryFolder, bin.string());
  EXPECT_EQ(layout.DataFolder, bin.string());
}

TEST_F(ProgramLayoutTest, WithoutItTheInstalledFoldersBelowThePrefix) {
  const fs::path prefix = root_ / "usr";
  fs::create_directories(prefix / "bin");
  // An ini that is no folder marks nothing.
  WriteAll(prefix / "bin" / "ini", "");
  const TProgramLayout layout = LayoutOf((prefix / "bin").string());
  EXPECT_TRUE(layout.Installed);
  EXPECT_TRUE(layout.IniFolder.empty());
  EXPECT_EQ(layout.LibraryFolder, (prefix / MC_TEST_INSTALL_LIBDIR / "mellowcaster").string());
  EXPECT_EQ(layout.DataFolder, (prefix / MC_TEST_INSTALL_DATADIR / "mellowcaster").string());
}

TEST(UserSettingsFolder, XdgConfigHomeWhenAbsoluteElseHomeConfig) {
  struct Case {
    const char* xdg;
    const char* home;
    const char* expected;
  } cases[] = {
      {"/srv/cfg", "/home/u", "/srv/cfg/mellowcaster"},
      {"/srv/cfg", nullptr, "/srv/cfg/mellowcaster"},
      {nullptr, "/home/u", "/home/u/.config/mellowcaster"},
      {"", "/home/u", "/home/u/.config/mellowcaster"},
      {"relative/cfg", "/home/u", "/home/u/.config/mellowcaster"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(UserSettingsFolder(c.xdg, c.home), c.expected) << (c.xdg ? c.xdg : "(unset)");
  // No HOME: the account's home folder, whatever it is, never a relative path.
  const std::string fromAccount = UserSettingsFolder(nullptr, nullptr);
  if (!fromAccount.empty()) {
    EXPECT_EQ(fromAccount.front(), '/');
  }
}

TEST_F(ProgramLayoutTest, FirstStartCopiesEveryDefaultIntoAPrivateFolder) {
  const fs::path folder = root_ / "home" / ".config" / "mellowcaster";
  ASSERT_EQ(PrepareSettingsFolder(folder.string(), defaults_.string()), "");
  for (const char* name : {"trsp.ini", "kanal.ini", "eq.ini"})
    EXPECT_EQ(ReadAll(folder / name), ReadAll(defaults_ / name)) << name;
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u) << "a created settings folder is the user's alone";
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator{}), 3) << "no temporary left";
}

TEST_F(ProgramLayoutTest, LaterStartsKeepTheUsersFilesAndFillOnlyGaps) {
  const fs::path folder = root_ / "cfg";
  fs::create_directories(folder);
  WriteAll(folder / "kanal.ini", "my own list\r\n");
  fs::remove(defaults_ / "eq.ini");  // no default: the program's own applies
  ASSERT_EQ(PrepareSettingsFolder(folder.string(), defaults_.string()), "");
  EXPECT_EQ(ReadAll(folder / "kanal.ini"), "my own list\r\n");
  EXPECT_EQ(ReadAll(folder / "trsp.ini"), ReadAll(defaults_ / "trsp.ini"));
  EXPECT_FALSE(fs::exists(folder / "eq.ini"));
}

TEST_F(ProgramLayoutTest, FailuresAreReportedAndLeaveNoHalfFile) {
  EXPECT_NE(PrepareSettingsFolder("", defaults_.string()), "") << "no home known";

  // A default that cannot be read: reported, and nothing in its place.
  fs::remove(defaults_ / "kanal.ini");
  fs::create_directory(defaults_ / "kanal.ini");
  const fs::path folder = root_ / "cfg";
  const std::string error = PrepareSettingsFolder(folder.string(), defaults_.string());
  EXPECT_NE(error.find("kanal.ini"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(folder / "kanal.ini"));
  for (const auto& entry : fs::directory_iterator(folder))
    EXPECT_EQ(entry.path().string().find(".new-"), std::string::npos) << entry.path();

  // A folder below one the user may not write (checked as a user: root may write anywhere).
  const fs::path locked = root_ / "locked";
  fs::create_directories(locked);
  const std::string target = (locked / "home" / "mellowcaster").string(), from = defaults_.string();
  const int status = testing_support::RunUnprivileged([&] {
    const std::string e = PrepareSettingsFolder(target, from);
    return e.find((locked / "home").string()) != std::string::npos ? 0 : 1;
  });
  ASSERT_NE(status, testing_support::kNotRun);
  EXPECT_EQ(status, 0) << "the folder that could not be made is named";
}
