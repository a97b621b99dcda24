// The archive's parts: the frame walk it cuts by, its names and period
// boundaries, and the files one channel writes (fresh names, playlists, the
// folder's lock).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "base/InOutError.h"
#include "capture/ArchiveChannel.h"
#include "capture/ArchiveNames.h"
#include "capture/CaptureSession.h"
#include "capture/MpegFrameWalk.h"

namespace fs = std::filesystem;

namespace {

using TClock = std::chrono::steady_clock;

// MPEG-1 Layer III at 44.1 kHz, 128 kbit/s: frames of 417 bytes, 418 padded,
// with bodies of random bytes (false syncs included).
struct TStream {
  std::vector<uint8_t> Bytes;
  std::set<size_t> Starts;  // where frames begin
};

TStream MakeStream(size_t lead, int frames, std::mt19937& random) {
  TStream s;
  s.Bytes.assign(lead, 0);
  for (int f = 0; f < frames; ++f) {
    const bool padded = random() % 3 == 0;
    s.Starts.insert(s.Bytes.size());
    const size_t at = s.Bytes.size();
    s.Bytes.resize(at + (padded ? 418 : 417));
    for (size_t i = at + 4; i < s.Bytes.size(); ++i) s.Bytes[i] = static_cast<uint8_t>(random());
    const uint8_t header[4] = {0xFF, 0xFB, static_cast<uint8_t>(padded ? 0x92 : 0x90), 0x64};
    std::copy(header, header + 4, s.Bytes.begin() + static_cast<long>(at));
  }
  return s;
}

// Walks `s` in pieces of random sizes up to maxPiece (after a first one in
// which the stream is found), asking in some pieces for a cut from a random
// offset; checks each cut is the first frame at or after the offset whose
// header lies in the piece, and returns the cuts.
std::vector<size_t> WalkInPieces(const TStream& s, size_t maxPiece, std::mt19937& random) {
  TMpegFrameWalk walk;
  std::vector<size_t> cuts;
  for (size_t at = 0; at < s.Bytes.size();) {
    const size_t n = std::min<size_t>(at == 0 ? 1500 : 1 + random() % maxPiece, s.Bytes.size() - at);
    const bool ask = random() % 4 == 0;
    const size_t from = ask ? random() % n : TMpegFrameWalk::kNone;
    const size_t cut = walk.Walk(s.Bytes.data() + at, n, from);
    if (ask) {
      const auto expected = s.Starts.lower_bound(at + from);
      const bool inside = expected != s.Starts.end() && *expected + 4 <= at + n;
      EXPECT_EQ(cut, inside ? *expected - at : TMpegFrameWalk::kNone) << "piece at " << at << " of " << n;
      if (cut != TMpegFrameWalk::kNone) cuts.push_back(at + cut);
    } else {
      EXPECT_EQ(cut, TMpegFrameWalk::kNone);
    }
    at += n;
  }
  return cuts;
}

TEST(MpegFrameWalk, CutsOnlyWhereFramesBeginHoweverTheStreamArrives) {
  std::mt19937 random(7);
  for (const size_t maxPiece : {size_t{8}, size_t{20}, size_t{700}, size_t{32767}}) {
    const TStream s = MakeStream(100, 2000, random);
    const std::vector<size_t> cuts = WalkInPieces(s, maxPiece, random);
    EXPECT_GT(cuts.size(), 2u) << maxPiece;
    // The stream split at the cuts: every piece after the lead is whole frames.
    for (size_t c = 0; c < cuts.size(); ++c) {
      EXPECT_TRUE(s.Starts.count(cuts[c])) << cuts[c];
      EXPECT_EQ(s.Bytes[cuts[c]], 0xFF);
    }
  }
}

TEST(MpegFrameWalk, FindsTheStreamAgainAfterAGap) {
  std::mt19937 random(11);
  TStream s = MakeStream(0, 200, random);
  // 5000 bytes go missing from inside a frame: the frames after the gap are
  // found again, and a cut never lands in the broken frame.
  const size_t gapAt = *std::next(s.Starts.begin(), 50) + 100;
  s.Bytes.erase(s.Bytes.begin() + static_cast<long>(gapAt), s.Bytes.begin() + static_cast<long>(gapAt + 5000));
  std::set<size_t> starts;
  for (const size_t start : s.Starts) {
    if (start < gapAt) starts.insert(start);
    else if (start >= gapAt + 5000) starts.insert(start - 5000);
  }
  TMpegFrameWalk walk;
  EXPECT_EQ(walk.Walk(s.Bytes.data(), gapAt + 200), TMpegFrameWalk::kNone);
  const size_t cut = walk.Walk(s.Bytes.data() + gapAt + 200, s.Bytes.size() - gapAt - 200, 0);
  ASSERT_NE(cut, TMpegFrameWalk::kNone);
  EXPECT_EQ(cut + gapAt + 200, *starts.lower_bound(gapAt + 200)) << "the first frame after the gap";

  // Bytes that hold no frame at all never give a cut.
  const std::vector<uint8_t> zeros(5000, 0);
  TMpegFrameWalk none;
  EXPECT_EQ(none.Walk(zeros.data(), zeros.size(), 0), TMpegFrameWalk::kNone);
}

std::tm Local(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

TEST(ArchiveNames, NamesAndPeriodBoundaries) {
  EXPECT_EQ(ArchiveDay(Local(2026, 3, 7, 0, 0, 0)), "2026-03-07");
  EXPECT_EQ(ArchiveStem(Local(2026, 3, 7, 9, 5, 3), 1), "09-05-03");
  EXPECT_EQ(ArchiveStem(Local(2026, 3, 7, 9, 5, 3), 12), "09-05-03_12");
  EXPECT_EQ(ArchiveChannelFolder("Jazz_24/7"), "Jazz_24_7");
  EXPECT_EQ(ArchiveChannelFolder(".."), "_..") << "a name must not lead out of the archive";
  EXPECT_EQ(ArchiveChannelFolder(""), "_");
  EXPECT_EQ(ArchiveChannelFolder("\xD0\xE0\xE4\xE8\xEE"), "\xD0\xA0\xD0\xB0\xD0\xB4\xD0\xB8\xD0\xBE") << "UTF-8";

  struct TCase {
    int Hour, Minute, Second, Period, Seconds;
  };
  for (const TCase& c : {TCase{0, 0, 0, 3600, 3600}, TCase{0, 59, 59, 3600, 1}, TCase{13, 30, 0, 3600, 1800},
                         TCase{23, 59, 30, 3600, 30}, TCase{12, 0, 0, 300, 300}, TCase{12, 4, 59, 300, 1},
                         // 7 minutes do not divide the day: the last file ends at midnight
                         TCase{23, 58, 0, 420, 120}, TCase{23, 50, 0, 420, 300},
                         TCase{10, 0, 0, 86400, 14 * 3600}, TCase{23, 59, 60, 60, 1}})
    EXPECT_EQ(UntilNextCut(Local(2026, 1, 1, c.Hour, c.Minute, c.Second), c.Period).count(), c.Seconds)
        << c.Hour << ":" << c.Minute << ":" << c.Second << " every " << c.Period << " s";
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class ArchiveChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("mc_archive_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fd_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const char* tz = std::getenv("TZ");
    savedTz_ = tz ? std::optional<std::string>(tz) : std::nullopt;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  void TearDown() override {
    ::close(fd_);
    fs::remove_all(dir_);
    if (savedTz_) ::setenv("TZ", savedTz_->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }
  // 2026-03-07 at the time given, UTC.
  static std::chrono::system_clock::time_point At(int hour, int minute, int second, int day = 7) {
    std::tm t = Local(2026, 3, day, hour, minute, second);
    return std::chrono::system_clock::from_time_t(::timegm(&t));
  }
  std::string Opened(TArchiveChannel& channel, const std::string& extension, std::chrono::system_clock::time_point wall) {
    TArchiveChannel::TOpened o = channel.OpenNext(extension, wall, TClock::now());
    EXPECT_GE(o.Fd, 0) << text::InOutErrorMessage(o.Error);
    EXPECT_EQ(o.PlaylistError, 0);
    if (o.Fd >= 0) ::close(o.Fd);
    EXPECT_EQ(o.LogName, o.Name.substr(0, o.Name.rfind('.')) + ".txt");
    return fs::relative(o.Name, dir_).string();
  }

  fs::path dir_;
  int fd_ = -1;
  std::optional<std::string> savedTz_;
};

// A clock that steps back gives suffixed names, a file of another kind under
// the name counts as taken and is left as it was, midnight begins the next
// day's folder and playlist.
TEST_F(ArchiveChannelTest, NewNamesOnlyAndADayFolderAndPlaylistADay) {
  TArchiveChannel channel(fd_, dir_.string(), "Jazz", 3600);
  fs::create_directories(dir_ / "Jazz/2026-03-07");
  std::ofstream(dir_ / "Jazz/2026-03-07/10-00-00.txt") << "planted";
  EXPECT_EQ(Opened(channel, "mp2", At(23, 59, 59)), "Jazz/2026-03-07/23-59-59.mp2");
  EXPECT_EQ(Opened(channel, "mp2", At(23, 59, 59)), "Jazz/2026-03-07/23-59-59_2.mp2");
  EXPECT_EQ(Opened(channel, "mp3", At(23, 59, 59)), "Jazz/2026-03-07/23-59-59_3.mp3");
  EXPECT_EQ(Opened(channel, "mp2", At(10, 0, 0)), "Jazz/2026-03-07/10-00-00_2.mp2");
  EXPECT_EQ(Opened(channel, "mp2", At(0, 0, 0, 8)), "Jazz/2026-03-08/00-00-00.mp2");
  EXPECT_EQ(Read(dir_ / "Jazz/2026-03-07/10-00-00.txt"), "planted");
  EXPECT_EQ(Read(dir_ / "Jazz/2026-03-07.m3u"),
            "#EXTM3U\n2026-03-07/23-59-59.mp2\n2026-03-07/23-59-59_2.mp2\n2026-03-07/23-59-59_3.mp3\n"
            "2026-03-07/10-00-00_2.mp2\n");
  EXPECT_EQ(Read(dir_ / "Jazz/2026-03-08.m3u"), "#EXTM3U\n2026-03-08/00-00-00.mp2\n");
}

TEST_F(ArchiveChannelTest, TheFolderIsLockedAndNeverReachedThroughALink) {
  TArchiveChannel channel(fd_, dir_.string(), "Jazz", 3600);
  EXPECT_THROW(TArchiveChannel(fd_, dir_.string(), "Jazz", 3600), EFileLocked) << "a second run on it";
  fs::create_directories(dir_ / "elsewhere");
  fs::create_directory_symlink(dir_ / "elsewhere", dir_ / "Linked");
  EXPECT_THROW(TArchiveChannel(fd_, dir_.string(), "Linked", 3600), text::EInOutError);
  fs::create_directory_symlink(dir_ / "elsewhere", dir_ / "Jazz/2026-03-07");
  const TArchiveChannel::TOpened o = channel.OpenNext("mp2", At(12, 0, 0), TClock::now());
  EXPECT_LT(o.Fd, 0) << "a day folder that is a link is not written through";
  EXPECT_TRUE(fs::is_empty(dir_ / "elsewhere"));
  // A pipe under the playlist's name neither blocks the opening nor is written.
  ASSERT_EQ(::mkfifo((dir_ / "Jazz/2026-03-08.m3u").c_str(), 0644), 0);
  const TArchiveChannel::TOpened piped = channel.OpenNext("mp2", At(12, 0, 0, 8), TClock::now());
  EXPECT_GE(piped.Fd, 0) << "the recording itself goes on";
  EXPECT_NE(piped.PlaylistError, 0);
  if (piped.Fd >= 0) ::close(piped.Fd);
}

// The first bytes open a file at their first frame; later ones cut at the
// first frame that came after the period's end, told by the bit rate.
TEST_F(ArchiveChannelTest, CutsAtTheFirstFrameAfterThePeriodEnds) {
  std::mt19937 random(3);
  const TStream s = MakeStream(50, 400, random);
  TArchiveChannel channel(fd_, dir_.string(), "Jazz", 60);
  const auto start = TClock::now();
  const size_t piece = 40000;
  ASSERT_EQ(channel.CutIn(s.Bytes.data(), piece, start, 128), 50u) << "nothing open: the first frame";
  // Half a second into 12:00:58: the period ends 1.5 s later.
  ::close(channel.OpenNext("mp3", At(12, 0, 58) + std::chrono::milliseconds(500), start).Fd);
  EXPECT_EQ(channel.CutIn(s.Bytes.data() + piece, piece, start + std::chrono::milliseconds(1400), 128),
            TArchiveChannel::kNoCut);
  // 0.5 s past the end at 128 kbit/s: the last 8000 bytes came after it.
  const size_t cut = channel.CutIn(s.Bytes.data() + 2 * piece, piece, start + std::chrono::seconds(2), 128);
  EXPECT_EQ(cut + 2 * piece, *s.Starts.lower_bound(3 * piece - 8000));
  channel.Interrupt();
  EXPECT_EQ(channel.CutIn(s.Bytes.data() + 3 * piece + 1000, 5000, start, 128) + 3 * piece + 1000,
            *s.Starts.lower_bound(3 * piece + 1000))
      << "after a silence the next bytes begin a file at their first frame";
}

} // namespace
