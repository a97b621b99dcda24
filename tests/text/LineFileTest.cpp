#include "text/InOutError.h"
#include "text/LineFile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
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
