#include "channels/ChannelList.h"
#include "base/InOutError.h"
#include "base/Unprivileged.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class ChannelListFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("mc_kanal_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    path_ = (dir_ / "kanal.ini").string();
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, ec);
    fs::remove_all(dir_, ec);
  }
  void Put(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
  std::string Get() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path dir_;
  std::string path_;
};

TEST_F(ChannelListFile, CyrillicFileRoundTripsByteForByte) {
  const std::string file =
      "\xD0\xE0\xE4\xE8\xEE_\xD0\xEE\xF1\xF1\xE8\xE8\r\n4112\r\n0\r\n\r\n"
      "Europa_Plus\r\n4130\r\n0\r\n\r\n";
  Put(file);
  TChannelList list;
  list.LoadChannelList(path_);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Row(0).Number, "1");
  EXPECT_EQ(list.Row(0).Name, "\xD0\xE0\xE4\xE8\xEE_\xD0\xEE\xF1\xF1\xE8\xE8");
  EXPECT_EQ(list.Row(0).Pid, "4112");
  EXPECT_EQ(list.Row(1).Number, "2");
  EXPECT_FALSE(list.Row(0).Ticked);
  EXPECT_FALSE(list.Row(1).Ticked);
  list.Row(1).Recorded = " 12.3 mb";  // a run's size text is not kept
  list.Row(1).Ticked = true;
  list.SaveChannelList(path_);
  EXPECT_EQ(Get(), file);
}

TEST_F(ChannelListFile, CutShortAndStrayLinesStillGiveRows) {
  Put("A\r\n1\r\n0\r\n\r\nB\r\n2\r\n");  // six lines: one record and two lines of a second
  TChannelList list;
  list.LoadChannelList(path_);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Row(1).Name, "B");
  EXPECT_EQ(list.Row(1).Pid, "2");
  EXPECT_EQ(list.Row(1).Recorded, "");

  Put("A\n1\n7\n\n\n");  // LF only, and a stray empty line after the record
  list.LoadChannelList(path_);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Row(0).Recorded, "7");
  EXPECT_EQ(list.Row(1).Name, "");

  Put("");
  list.LoadChannelList(path_);
  EXPECT_EQ(list.Count(), 0u);
  list.SaveChannelList(path_);
  EXPECT_EQ(Get(), "") << "an empty list is a 0-byte file";
}

TEST_F(ChannelListFile, MissingFileReportsFileNotFoundAndLeavesNoRows) {
  TChannelList list;
  list.AddChannelRow("old", "1", "0");
  try {
    list.LoadChannelList((dir_ / "none.ini").string());
    FAIL() << "expected an I/O error";
  } catch (const text::EInOutError& e) {
    EXPECT_STREQ(e.what(), "File not found");
  }
  EXPECT_EQ(list.Count(), 0u);
}

TEST(ChannelList, NumbersAreNeverReassigned) {
  TChannelList list;
  list.AddChannelRow("a", "1", "0");
  list.AddChannelRow("b", "2", "0");
  list.AddChannelRow("c", "3", "0");
  list.DeleteRow(1);
  list.DeleteRow(7);   // no such row
  list.DeleteRow(-1);  // none selected
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Row(0).Number, "1");
  EXPECT_EQ(list.Row(1).Number, "3");
  list.AddChannelRow("d", "4", "0");
  EXPECT_EQ(list.Row(2).Number, "3") << "rows before + 1, so a shown number repeats";
}

// A save that fails half way (here: the file size limit, as on a full disk)
// reports the error and leaves the stored list as it was.
TEST_F(ChannelListFile, FailedSaveKeepsTheOldFile) {
  const std::string old = "Keep\r\n100\r\n0\r\n\r\n";
  Put(old);
  TChannelList list;
  for (int i = 0; i < 200; ++i) list.AddChannelRow("Channel_" + std::to_string(i), "4112", "0");

  struct rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  bool threw = false;
  try {
    list.SaveChannelList(path_);
  } catch (const text::EInOutError& e) {
    threw = true;
    EXPECT_STREQ(e.what(), "Disk full");
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_TRUE(threw);
  EXPECT_EQ(Get(), old);
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));
}

// A folder that takes no new files: with no list there the save is refused
// as the folder's, a writable list is rewritten in place (also when it
// grows or shrinks, and a full disk leaves it as it was), a read-only one is
// refused and kept. The saves run as "nobody", for whom the folder really is
// closed even where the tests run as root.
TEST_F(ChannelListFile, ReadOnlyFolderRewritesAWritableListInPlace) {
  const auto save = [this](size_t rows, rlim_t sizeLimit) {
    return testing_support::RunUnprivileged([=, this] {
      TChannelList list;
      for (size_t i = 0; i < rows; ++i) list.AddChannelRow("Channel_" + std::to_string(i), "4112", "0");
      std::signal(SIGXFSZ, SIG_IGN);
      const struct rlimit limit{sizeLimit, sizeLimit};
      if (sizeLimit != RLIM_INFINITY && ::setrlimit(RLIMIT_FSIZE, &limit) != 0) return testing_support::kNotRun;
      try {
        list.SaveChannelList(path_);
        return 0;
      } catch (const text::EInOutError& e) {
        return e.ErrorCode();
      }
    });
  };
  const auto rowsText = [](size_t rows) {
    std::string bytes;
    for (size_t i = 0; i < rows; ++i) bytes += "Channel_" + std::to_string(i) + "\r\n4112\r\n0\r\n\r\n";
    return bytes;
  };
  ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
  EXPECT_EQ(text::InOutErrorMessage(save(1, RLIM_INFINITY)), "File access denied");
  EXPECT_FALSE(fs::exists(path_));

  fs::permissions(dir_, fs::perms::owner_all);
  Put(rowsText(3));
  ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
  for (const size_t rows : {1, 5, 0, 2}) {
    EXPECT_EQ(save(rows, RLIM_INFINITY), 0) << rows;
    EXPECT_EQ(Get(), rowsText(rows)) << rows;
  }
  EXPECT_EQ(text::InOutErrorMessage(save(200, 64)), "Disk full");
  EXPECT_EQ(Get(), rowsText(2));

  ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
  EXPECT_EQ(text::InOutErrorMessage(save(3, RLIM_INFINITY)), "File access denied");
  EXPECT_EQ(Get(), rowsText(2));
  fs::permissions(dir_, fs::perms::owner_all);
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));
}

} // namespace
