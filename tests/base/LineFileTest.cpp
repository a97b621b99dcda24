#include "base/InOutError.h"
#include "base/LineFile.h"
#include "base/Unprivileged.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace text;
using Lines = std::vector<std::string>;

TEST(LineFile, LineEndsCarriageReturnsAndEndOfFileByte) {
  EXPECT_EQ(SplitLines(""), Lines{});
  EXPECT_EQ(SplitLines("a\r\nb\nc"), (Lines{"a", "b", "c"}));
  EXPECT_EQ(SplitLines("a\r\n\r\n"), (Lines{"a", ""}));
  EXPECT_EQ(SplitLines("a\rb\r\n"), (Lines{"ab"})) << "a lone CR is dropped";
  EXPECT_EQ(SplitLines("a\r\n\r"), (Lines{"a", ""})) << "a trailing lone CR still reads as a line";
  EXPECT_EQ(SplitLines("a\r\nb\x1A" "c\r\nd\r\n"), (Lines{"a", "b"}));
  EXPECT_EQ(SplitLines(std::string(100000, 'x') + "\n"), Lines{std::string(100000, 'x')});
}

TEST(LineFile, RuntimeStyleMessages) {
  EXPECT_STREQ(EInOutError(ENOENT).what(), "File not found");
  EXPECT_STREQ(EInOutError(ENOSPC).what(), "Disk full");
  EXPECT_STREQ(EInOutError(EACCES).what(), "File access denied");
  EXPECT_STREQ(EInOutError(EIO).what(), "I/O error 5");
}

TEST(LineFile, WritesCrLfAndReadsBack) {
  const auto dir = std::filesystem::temp_directory_path() / ("mc_linefile_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "x.ini").string();
  WriteLineFile(path, {"one", "", "\xC0\xFF"});
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_EQ(ss.str(), "one\r\n\r\n\xC0\xFF\r\n");
  EXPECT_EQ(ReadLineFile(path), (Lines{"one", "", "\xC0\xFF"}));
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  try {
    ReadLineFile((dir / "missing.ini").string());
    FAIL() << "no error for a missing file";
  } catch (const EInOutError& e) {
    EXPECT_STREQ(e.what(), "File not found");
  }
  std::filesystem::remove_all(dir);
}

namespace {

namespace fs = std::filesystem;

class LineFileSave : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("mc_linesave_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_ / "real");
    path_ = (dir_ / "kanal.ini").string();
  }
  void TearDown() override { fs::remove_all(dir_); }
  static void Put(const fs::path& p) { std::ofstream(p, std::ios::binary) << "Keep\r\n"; }
  bool TempLeft() const {
    for (const auto& e : fs::recursive_directory_iterator(dir_))
      if (e.path().extension() == ".tmp") return true;
    return false;
  }
  fs::path dir_;
  std::string path_;
};

const Lines kOld = {"Keep"}, kNew = {"New", "2"};

TEST_F(LineFileSave, ReplacedFileKeepsModeOwnerAndGroup) {
  for (const mode_t mode : {0640u, 0755u}) {
    Put(path_);
    ASSERT_EQ(::chmod(path_.c_str(), mode), 0);
    // Only root can hand the file to another owner and group.
    if (::geteuid() == 0) {
      ASSERT_EQ(::chown(path_.c_str(), 65534, 65534), 0);
    }
    struct stat before{}, after{};
    ASSERT_EQ(::stat(path_.c_str(), &before), 0);
    WriteLineFile(path_, kNew);
    ASSERT_EQ(::stat(path_.c_str(), &after), 0);
    EXPECT_EQ(ReadLineFile(path_), kNew);
    EXPECT_EQ(after.st_mode & 07777, mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
  }
  EXPECT_FALSE(TempLeft());
}

TEST_F(LineFileSave, FileTheUserMayNotWriteIsRefusedAndKept) {
  // No write bit at all: refused for root as well.
  Put(path_);
  ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
  try {
    WriteLineFile(path_, kNew);
    ADD_FAILURE() << "a read-only file was replaced";
  } catch (const EInOutError& e) {
    EXPECT_STREQ(e.what(), "File access denied");
  }
  EXPECT_EQ(ReadLineFile(path_), kOld);

  // Another user's file in a folder anyone may write, where the folder alone
  // would let the rename through.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make another user's file";
  ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
  fs::permissions(dir_, fs::perms::all);
  const int code = testing_support::RunUnprivileged([&] {
    try {
      WriteLineFile(path_, kNew);
      return 0;
    } catch (const EInOutError& e) {
      return e.ErrorCode();
    }
  });
  EXPECT_EQ(InOutErrorMessage(code), "File access denied") << code;
  EXPECT_EQ(ReadLineFile(path_), kOld);
  EXPECT_FALSE(TempLeft());
}

TEST_F(LineFileSave, LinkStaysAndItsTargetGetsTheContent) {
  const fs::path target = dir_ / "real" / "list.ini";
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, fs::path>> links;  // name in dir_, what it points to
    bool targetExists;
  };
  const Case cases[] = {
      {"relative link into another folder", {{"kanal.ini", "real/list.ini"}}, true},
      {"chain ending in an absolute link", {{"kanal.ini", "hop.ini"}, {"hop.ini", target}}, true},
      {"dangling link: its target is created", {{"kanal.ini", "real/list.ini"}}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& [name, to] : c.links) fs::create_symlink(to, dir_ / name);
    if (c.targetExists) Put(target);
    WriteLineFile(path_, kNew);
    EXPECT_TRUE(fs::is_symlink(path_));
    EXPECT_EQ(ReadLineFile(target.string()), kNew);
    EXPECT_FALSE(TempLeft());
    for (const auto& link : c.links) fs::remove(dir_ / link.first);
    fs::remove(target);
  }
}

} // namespace
