// The archive's retention: only its own files go, by age and, while the disk
// is short, oldest first; links, foreign names and files in use survive.
#include "capture/ArchiveRetention.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <stdexcept>

namespace {

namespace fs = std::filesystem;

TEST(ArchiveNames, OnlyTheWritersFileNamesAreArchiveFiles) {
  const struct {
    const char* name;
    bool archive;
  } cases[] = {
      {"00-00-00.mp3", true},          {"23-59-59.mp2", true},
      {"12-30-00.txt", true},          {"12-30-00_2.mp3", true},
      {"12-30-00_17.txt", true},       {"12-30-00_999999999.mp2", true},
      {"12-30-00_1000000000.mp2", false},  // beyond the bounded take number
      {"12-30-00_1.mp3", false},       {"12-30-00_0.mp3", false},
      {"12-30-00_02.mp3", false},      {"12-30-00_.mp3", false},
      {"12-30-00_2_3.mp3", false},     {"24-00-00.mp3", false},
      {"12-60-00.mp3", false},         {"12-00-60.mp3", false},
      {"1-00-00.mp3", false},          {"12-0a-00.mp3", false},
      {"+1-00-00.mp3", false},         {"12:00:00.mp3", false},
      {"12-00-00.wav", false},         {"12-00-00.MP3", false},
      {"12-00-00.m3u", false},         {"12-00-00.mp3.part", false},
      {"12-00-00", false},             {"12-00-00.", false},
      {"12-00", false},                {"", false},
      {"notes.mp3", false},            {"README", false},
  };
  for (const auto& c : cases) EXPECT_EQ(archive::IsArchiveFileName(c.name), c.archive) << '"' << c.name << '"';

  const auto take = archive::ParseArchiveFileName("07-08-09_3.mp2");
  ASSERT_TRUE(take);
  EXPECT_EQ(take->Seconds, 7u * 3600 + 8 * 60 + 9);
  EXPECT_EQ(take->Take, 3u);
  EXPECT_EQ(take->Stem, "07-08-09_3");
}

TEST(ArchiveNames, DayFoldersAreRealCalendarDates) {
  const struct {
    const char* name;
    bool day;
  } cases[] = {
      {"2026-12-09", true},  {"2024-02-29", true},   {"2000-02-29", true},   {"2026-04-30", true},
      {"2023-02-29", false}, {"1900-02-29", false},  {"2026-13-01", false},  {"2026-00-10", false},
      {"2026-04-31", false}, {"2026-04-00", false},  {"2026-4-30", false},   {"2026-04-30x", false},
      {"2026_04_30", false}, {"misc", false},        {"", false},            {"20a6-04-30", false},
  };
  for (const auto& c : cases) EXPECT_EQ(archive::IsArchiveDayName(c.name), c.day) << '"' << c.name << '"';
}

constexpr int64_t kDay = 86400;

class ArchiveRetention : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTempFolder("mc-archive-XXXXXX");
    outside_ = MakeTempFolder("mc-outside-XXXXXX");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    fs::remove_all(outside_, ignored);
  }

  static std::string MakeTempFolder(const char* pattern) {
    std::string path = (fs::temp_directory_path() / pattern).string();
    if (!::mkdtemp(path.data())) throw std::runtime_error("mkdtemp failed");
    return path;
  }

  // A file of `bytes` under root, last written `age` seconds before now_.
  std::string Plant(const std::string& rel, size_t bytes, int64_t age) { return PlantAt(root_ + "/" + rel, bytes, age); }

  std::string PlantAt(const std::string& path, size_t bytes, int64_t age) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
    SetAge(path, age);
    return path;
  }

  void SetAge(const std::string& path, int64_t age) {
    const timespec times[2] = {{now_ - age, 0}, {now_ - age, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
  }

  void Link(const std::string& target, const std::string& rel) {
    fs::create_directories(fs::path(root_ + "/" + rel).parent_path());
    fs::create_symlink(target, root_ + "/" + rel);
  }

  bool Has(const std::string& rel) const {
    struct stat st{};
    return ::lstat((root_ + "/" + rel).c_str(), &st) == 0;
  }

  // Removed paths relative to root, in the order they went.
  std::vector<std::string> Relative(const std::vector<std::string>& paths) const {
    std::vector<std::string> out;
    for (const std::string& p : paths) {
      EXPECT_EQ(p.rfind(root_ + "/", 0), 0u) << p << " is not under the root";
      out.push_back(p.substr(std::min(p.size(), root_.size() + 1)));
    }
    return out;
  }

  // Free space as a disk of `capacity` bytes holding the tree's regular files:
  // each removed file gives its size back.
  archive::TFreeBytesReader DiskOf(uint64_t capacity) const {
    return [this, capacity]() -> std::optional<uint64_t> {
      uint64_t used = 0;
      for (const auto& entry : fs::recursive_directory_iterator(root_))
        if (entry.is_regular_file() && !entry.is_symlink()) used += entry.file_size();
      return used >= capacity ? 0 : capacity - used;
    };
  }

  std::string root_, outside_;
  time_t now_ = ::time(nullptr);
};

TEST_F(ArchiveRetention, AgeRemovesOnlyTheArchivesOwnOldFiles) {
  const int64_t old = 30 * kDay, fresh = 3600;
  // Emptied by age: goes with its playlist.
  Plant("Radio A/2026-11-01/10-00-00.mp3", 10, old);
  Plant("Radio A/2026-11-01/10-00-00.txt", 10, old);
  Plant("Radio A/2026-11-01/10-00-00_2.mp2", 10, old);
  Plant("Radio A/2026-11-01.m3u", 10, 0);
  // In use (named another way), with its title log: both stay, so does the folder.
  Plant("Radio A/2026-11-02/09-00-00.mp3", 10, old);
  Plant("Radio A/2026-11-02/09-00-00.txt", 10, old);
  // Foreign names beside archive files: the folder keeps them and stays.
  for (const char* foreign : {"notes.mp3", "12-00-00.wav", "README", "cover.jpg"})
    Plant(std::string("Radio A/2026-11-03/") + foreign, 10, old);
  Plant("Radio A/2026-11-03/08-00-00.mp3", 10, old);
  Plant("Radio A/2026-11-03.m3u", 10, 0);
  // A fresh recording keeps its log however old the log's last title is; a log alone goes by its own age.
  Plant("Radio A/2026-12-08/23-00-00.mp3", 10, fresh);
  Plant("Radio A/2026-12-08/23-00-00.txt", 10, old);
  Plant("Radio A/2026-12-08/22-00-00.txt", 10, old);
  // Not a day folder; an archive name that is a folder; not inside a channel folder.
  Plant("Radio A/misc/10-00-00.mp3", 10, old);
  fs::create_directories(root_ + "/Radio A/2026-11-06/10-00-00.mp3");
  SetAge(root_ + "/Radio A/2026-11-06/10-00-00.mp3", old);
  Plant("10-00-00.mp3", 10, old);
  // Links to old archive-named things outside: neither the links nor their targets go.
  const std::string target = PlantAt(outside_ + "/target.mp3", 10, old);
  Link(target, "Radio A/2026-11-04/11-00-00.mp3");
  PlantAt(outside_ + "/day/10-00-00.mp3", 10, old);
  Link(outside_ + "/day", "Radio A/2026-11-05");
  PlantAt(outside_ + "/channel/2026-11-01/10-00-00.mp3", 10, old);
  Link(outside_ + "/channel", "Radio B");

  const auto result = archive::PruneArchive(root_, {7, 0}, now_, {root_ + "/./Radio A//2026-11-02/09-00-00.mp3"});

  const std::vector<std::string> removed = Relative(result.Removed);
  const std::set<std::string> expected = {
      "Radio A/2026-11-01/10-00-00.mp3", "Radio A/2026-11-01/10-00-00.txt", "Radio A/2026-11-01/10-00-00_2.mp2",
      "Radio A/2026-11-01",              "Radio A/2026-11-01.m3u",          "Radio A/2026-11-03/08-00-00.mp3",
      "Radio A/2026-12-08/22-00-00.txt",
  };
  EXPECT_EQ(std::set<std::string>(removed.begin(), removed.end()), expected);
  EXPECT_EQ(removed.size(), expected.size()) << "each path once";
  EXPECT_TRUE(result.Failures.empty()) << result.Failures.front();
  EXPECT_TRUE(result.FloorReached);
  for (const char* kept : {"Radio A/2026-11-02/09-00-00.mp3", "Radio A/2026-11-02/09-00-00.txt",
                           "Radio A/2026-11-03/notes.mp3", "Radio A/2026-11-03/12-00-00.wav",
                           "Radio A/2026-11-03/README", "Radio A/2026-11-03.m3u", "Radio A/2026-12-08/23-00-00.mp3",
                           "Radio A/2026-12-08/23-00-00.txt", "Radio A/misc/10-00-00.mp3",
                           "Radio A/2026-11-06/10-00-00.mp3", "10-00-00.mp3", "Radio A/2026-11-04/11-00-00.mp3",
                           "Radio A/2026-11-05/10-00-00.mp3", "Radio B/2026-11-01/10-00-00.mp3"})
    EXPECT_TRUE(Has(kept)) << kept;
  EXPECT_TRUE(fs::exists(target));
}

TEST_F(ArchiveRetention, FloorRemovesOldestByNameFirstAndStopsWhenReached) {
  // Modification times run against the names: the names say which is oldest.
  Plant("B/2026-12-06/23-00-00.mp3", 100, 1);
  Plant("B/2026-12-06/23-00-00.txt", 10, 1);
  Plant("B/2026-12-06.m3u", 0, 1);
  Plant("A/2026-12-07/08-00-00.mp3", 100, 2);
  Plant("A/2026-12-07/08-00-00_2.mp3", 100, 3);
  Plant("A/2026-12-07/cover.jpg", 50, 9 * kDay);
  Plant("B/2026-12-07/09-00-00.mp2", 100, 4);
  Plant("A/2026-12-08/00-00-00.mp3", 100, 5);
  Plant("B/2026-12-08/01-00-00.mp3", 100, 6);
  // 1000 bytes hold 660: 340 free; the floor of 740 needs the four oldest recordings (and a log) gone.
  const auto result = archive::PruneArchive(root_, {0, 740}, now_, {}, DiskOf(1000));

  EXPECT_TRUE(result.FloorReached);
  EXPECT_TRUE(result.Failures.empty());
  // The recordings in their order; the emptied day folders (when they go is the pruner's own affair).
  std::vector<std::string> files, folders;
  for (const std::string& path : Relative(result.Removed))
    (std::count(path.begin(), path.end(), '/') == 2 ? files : folders).push_back(path);
  EXPECT_EQ(files, (std::vector<std::string>{"B/2026-12-06/23-00-00.mp3", "B/2026-12-06/23-00-00.txt",
                                             "A/2026-12-07/08-00-00.mp3", "A/2026-12-07/08-00-00_2.mp3",
                                             "B/2026-12-07/09-00-00.mp2"}));
  EXPECT_EQ(std::set<std::string>(folders.begin(), folders.end()),
            (std::set<std::string>{"B/2026-12-06", "B/2026-12-06.m3u", "B/2026-12-07"}));
  for (const char* kept : {"A/2026-12-07/cover.jpg", "A/2026-12-08/00-00-00.mp3", "B/2026-12-08/01-00-00.mp3"})
    EXPECT_TRUE(Has(kept)) << kept;
}

TEST_F(ArchiveRetention, FloorOutOfReachRemovesAllItMayAndSaysSo) {
  const std::string inUse = Plant("A/2026-12-08/00-00-00.mp3", 100, 10 * kDay);
  Plant("A/2026-12-08/00-00-00.txt", 10, 10 * kDay);
  Plant("A/2026-12-07/23-00-00.mp3", 100, 0);
  Plant("A/2026-12-07/23-00-00_2.mp3", 100, 0);
  Plant("A/2026-12-07.m3u", 10, 0);
  Plant("A/2026-12-07/notes.mp3", 100, 10 * kDay);

  const auto result = archive::PruneArchive(root_, {0, 1'000'000}, now_, {inUse}, DiskOf(1000));

  EXPECT_FALSE(result.FloorReached);
  const auto removed = Relative(result.Removed);
  EXPECT_EQ(std::set<std::string>(removed.begin(), removed.end()),
            (std::set<std::string>{"A/2026-12-07/23-00-00.mp3", "A/2026-12-07/23-00-00_2.mp3"}));
  for (const char* kept : {"A/2026-12-08/00-00-00.mp3", "A/2026-12-08/00-00-00.txt", "A/2026-12-07/notes.mp3",
                           "A/2026-12-07.m3u"})
    EXPECT_TRUE(Has(kept)) << kept;
}

// A day folder that stays (its newer files are kept) keeps a playlist of what
// is still there; lines that are no archive file of the day stay as written.
TEST_F(ArchiveRetention, APlaylistDropsTheFilesRemovedFromItsDay) {
  for (const char* name : {"10-00-00.mp2", "11-00-00.mp3", "11-00-00_2.mp3", "12-00-00.mp2"})
    Plant(std::string("A/2026-12-07/") + name, 100, 0);
  const std::string playlist = root_ + "/A/2026-12-07.m3u";
  std::ofstream(playlist, std::ios::binary) << "#EXTM3U\n2026-12-07/10-00-00.mp2\n2026-12-07/11-00-00.mp3\n"
                                               "http://example/stream\n2026-12-06/09-00-00.mp2\n"
                                               "2026-12-07/11-00-00_2.mp3\n2026-12-07/12-00-00.mp2\n";
  // 1000 bytes hold 400 and a playlist of some 150: the floor of 600 takes the two oldest.
  const auto result = archive::PruneArchive(root_, {0, 600}, now_, {}, DiskOf(1000));

  EXPECT_TRUE(result.Failures.empty()) << result.Failures.front();
  EXPECT_EQ(Relative(result.Removed),
            (std::vector<std::string>{"A/2026-12-07/10-00-00.mp2", "A/2026-12-07/11-00-00.mp3"}));
  std::ifstream in(playlist, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "#EXTM3U\nhttp://example/stream\n2026-12-06/09-00-00.mp2\n2026-12-07/11-00-00_2.mp3\n"
                  "2026-12-07/12-00-00.mp2\n");
}

TEST_F(ArchiveRetention, UnknownFreeSpaceRemovesNothingAndIsReported) {
  Plant("A/2026-12-07/23-00-00.mp3", 100, 0);
  const auto result =
      archive::PruneArchive(root_, {0, 1000}, now_, {}, [] { return std::optional<uint64_t>(); });
  EXPECT_TRUE(result.Removed.empty());
  ASSERT_EQ(result.Failures.size(), 1u);
  EXPECT_NE(result.Failures[0].find(root_), std::string::npos) << result.Failures[0];
  EXPECT_TRUE(Has("A/2026-12-07/23-00-00.mp3"));
}

TEST_F(ArchiveRetention, MissingRootIsAFailureLineNotACrash) {
  const std::string missing = root_ + "/nowhere";
  const auto result = archive::PruneArchive(missing, {1, 1}, now_, {}, DiskOf(0));
  EXPECT_TRUE(result.Removed.empty());
  ASSERT_EQ(result.Failures.size(), 1u);
  EXPECT_EQ(result.Failures[0].rfind(missing + ":", 0), 0u) << result.Failures[0];
}

TEST_F(ArchiveRetention, RealFreeSpaceIsReadAndAHighFloorEmptiesTheArchive) {
  const auto free = archive::FreeBytes(root_);
  ASSERT_TRUE(free);
  EXPECT_GT(*free, 0u);
  EXPECT_FALSE(archive::FreeBytes(root_ + "/nowhere"));

  Plant("A/2026-12-07/23-00-00.mp3", 100, 0);
  const auto result = archive::PruneArchive(root_, {0, UINT64_MAX}, now_, {});
  EXPECT_FALSE(result.FloorReached);
  EXPECT_FALSE(Has("A/2026-12-07"));
  EXPECT_TRUE(Has("A"));
}

TEST_F(ArchiveRetention, FloorInAHugeFolderRemovesExactlyTheOldest) {
  constexpr int kFiles = 10000, kKeep = 1000;
  const auto nameOf = [](int i) {
    char name[32];
    std::snprintf(name, sizeof name, "%02d-%02d-%02d.mp3", i / 3600, i / 60 % 60, i % 60);
    return std::string(name);
  };
  const std::string day = root_ + "/A/2026-12-08/";
  fs::create_directories(day);
  std::vector<int> order(kFiles);
  for (int i = 0; i < kFiles; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(28));
  for (int i : order) std::ofstream(day + nameOf(i)).put('x');
  std::ofstream(day + "02-00-00.wav").put('x');

  // Free space: how many of the oldest are gone, counted from the oldest on,
  // so anything removed out of order leaves the count short.
  int gone = 0;
  const auto freeBytes = [&]() -> std::optional<uint64_t> {
    struct stat st{};
    while (gone < kFiles && ::lstat((day + nameOf(gone)).c_str(), &st) != 0) ++gone;
    return gone;
  };
  const auto result = archive::PruneArchive(root_, {0, kFiles - kKeep}, now_, {}, freeBytes);

  EXPECT_TRUE(result.FloorReached);
  EXPECT_EQ(result.Removed.size(), size_t(kFiles - kKeep));
  int kept = 0;
  for (int i = 0; i < kFiles; ++i) kept += fs::exists(day + nameOf(i)) ? 1 : 0;
  EXPECT_EQ(kept, kKeep);
  EXPECT_TRUE(fs::exists(day + nameOf(kFiles - kKeep)));
  EXPECT_FALSE(fs::exists(day + nameOf(kFiles - kKeep - 1)));
  EXPECT_TRUE(fs::exists(day + "02-00-00.wav"));
}

} // namespace
