#include "capture/CaptureSession.h"
#include "capture/ArchiveChannel.h"
#include "base/InOutError.h"
#include "base/MpegAudioHeader.h"
#include "server/SocketsStartup.h"
#include "capture/ReencodeTestAudio.h"

#include <gtest/gtest.h>

#include <thread>
#include <fcntl.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A 188-byte packet: header, optional adaptation field, optional PES header,
// then payload bytes counting up from `first`.
std::vector<uint8_t> Packet(bool unitStart, int adaptationLength, int pesHeaderDataLength, uint8_t first = 0,
                            uint8_t streamId = 0xC0) {
  std::vector<uint8_t> p(188, 0xFF);
  p[0] = 0x47;
  p[1] = unitStart ? 0x40 : 0x00;
  p[2] = 0x44;
  p[3] = 0x10;
  int off = 4;
  if (adaptationLength >= 0) {
    p[3] |= 0x20;
    p[4] = static_cast<uint8_t>(adaptationLength);
    off = 5 + adaptationLength;
  }
  if (pesHeaderDataLength >= 0 && off + 9 + pesHeaderDataLength <= 188) {
    p[off] = 0; p[off + 1] = 0; p[off + 2] = 1; p[off + 3] = streamId;
    p[off + 8] = static_cast<uint8_t>(pesHeaderDataLength);
    off += 9 + pesHeaderDataLength;
  }
  for (int i = off; i < 188; ++i) p[i] = static_cast<uint8_t>(first + (i - off));
  return p;
}

TEST(PayloadOffset, HeadersAdaptationFieldsAndPesHeaders) {
  EXPECT_EQ(PayloadOffset(Packet(false, 183, -1).data()), 188) << "adaptation field only";
  EXPECT_EQ(PayloadOffset(Packet(true, -1, 5).data()), 18);
  EXPECT_EQ(PayloadOffset(Packet(false, 7, -1).data()), 12);
  EXPECT_EQ(PayloadOffset(Packet(true, 7, 5).data()), 26);
  EXPECT_EQ(PayloadOffset(Packet(false, -1, -1).data()), 4);

  auto noStartCode = Packet(true, -1, -1);
  noStartCode[4] = 0x12;
  EXPECT_EQ(PayloadOffset(noStartCode.data()), 4);
  auto afNoStartCode = Packet(true, 10, -1);
  EXPECT_EQ(PayloadOffset(afNoStartCode.data()), 15);

  auto padding = Packet(true, -1, 0, 0, 0xBE);  // no optional PES header
  EXPECT_EQ(PayloadOffset(padding.data()), 10);

  // A start code so close to the end that the header length byte lies
  // beyond the packet: that step is skipped.
  auto late = Packet(true, 178, -1);
  late[183] = 0; late[184] = 0; late[185] = 1; late[186] = 0xC0;
  EXPECT_EQ(PayloadOffset(late.data()), 183);
  // An adaptation length running past the packet reads nothing beyond it.
  EXPECT_EQ(PayloadOffset(Packet(true, 255, -1).data()), 260);
}

TEST(SizeText, FiveCharactersThenMb) {
  EXPECT_EQ(SizeText(32767), "  0.0 mb");
  EXPECT_EQ(SizeText(32 * 32767), "  1.0 mb");
  EXPECT_EQ(SizeText(123456789), "117.7 mb");
  EXPECT_EQ(SizeText(int64_t{5} * 1024 * 1024 * 1024), "5120.0 mb") << "past 2 GiB the count goes on";
}

class CaptureCallback : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("mc_capture_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    target_.Sessions = &sessions_;
    target_.Format = &format_;
    target_.SizeText = [this](size_t row, const std::string& t) {
      std::lock_guard<std::mutex> g(m_);
      sizes_.emplace_back(row, t);
    };
    target_.AppendFailed = [this](size_t row, const std::string& reason) {
      std::lock_guard<std::mutex> g(m_);
      failures_.emplace_back(row, reason);
    };
  }
  void TearDown() override {
    DetachCapture();
    Recording = false;
    sessions_.RemoveAll();
    fs::remove_all(dir_);
  }
  std::string File(const std::string& name) { return (dir_ / name).string(); }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // Sends n plain 184-byte-payload packets for filter `number`; payload bytes
  // continue a counter so the file can be checked byte for byte.
  void Feed(int32_t number, int n) {
    for (int i = 0; i < n; ++i) {
      auto p = Packet(false, -1, -1);
      for (int k = 4; k < 188; ++k) p[k] = static_cast<uint8_t>(counter_++ % 253);
      OnTsPacket(p.data(), 188, number);
    }
  }
  static std::string Expected(size_t bytes) {
    std::string s(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) s[i] = static_cast<char>(i % 253);
    return s;
  }

  fs::path dir_;
  TSessions sessions_;
  std::atomic<RecordFormat> format_{RecordFormat::Pcm};
  CaptureTarget target_;
  std::mutex m_;
  std::vector<std::pair<size_t, std::string>> sizes_, failures_;
  uint64_t counter_ = 0;
};

TEST_F(CaptureCallback, ChunksAre32767BytesAndTheRestWaits) {
  sessions_.AddSession(File("a.mp3"), "A", false);
  sessions_.AddSession(File("b.mp3"), "B", true);
  EXPECT_FALSE(fs::exists(File("a.mp3"))) << "an unticked row gets no file";
  AttachCapture(&target_);
  Recording = true;

  Feed(2, 178);
  EXPECT_EQ(sessions_[1].Ring.Count(), 32752);
  EXPECT_EQ(fs::file_size(File("b.mp3")), 0u);
  Feed(2, 1);
  EXPECT_EQ(sessions_[1].Ring.Count(), 169);
  EXPECT_EQ(Read(File("b.mp3")), Expected(32767));
  ASSERT_EQ(sizes_.size(), 1u);
  EXPECT_EQ(sizes_[0], std::make_pair(size_t{1}, std::string("  0.0 mb")));

  // Up to the 32nd chunk: the file holds exactly the pulled bytes in order.
  Feed(2, static_cast<int>((32 * 32767 - 32767 + 183) / 184) + 1);
  EXPECT_EQ(sessions_[1].BytesRecorded, 32 * 32767);
  EXPECT_EQ(sizes_.back().second, "  1.0 mb");
  EXPECT_EQ(Read(File("b.mp3")), Expected(32 * 32767));
  EXPECT_EQ(sessions_[0].Ring.Count(), 0) << "nothing reached the other session";
}

TEST_F(CaptureCallback, BadDeliveriesChangeNothing) {
  sessions_.AddSession(File("a.mp3"), "A", true);
  AttachCapture(&target_);
  Recording = true;
  auto p = Packet(false, -1, -1);
  OnTsPacket(p.data(), 204, 1);
  p[0] = 0x48;
  OnTsPacket(p.data(), 188, 1);
  p[0] = 0x47;
  OnTsPacket(p.data(), 188, 0);
  OnTsPacket(p.data(), 188, 2);
  OnTsPacket(p.data(), 188, -1);
  OnTsPacket(nullptr, 188, 1);
  EXPECT_EQ(sessions_[0].Ring.Count(), 0);
  OnTsPacket(p.data(), 188, 1);
  EXPECT_EQ(sessions_[0].Ring.Count(), 184);
}

TEST_F(CaptureCallback, NothingIsAppendedWhileNotRecording) {
  sessions_.AddSession(File("a.mp3"), "A", true);
  AttachCapture(&target_);
  Recording = false;
  Feed(1, 400);
  EXPECT_EQ(fs::file_size(File("a.mp3")), 0u);
  EXPECT_TRUE(sizes_.empty());
}

TEST_F(CaptureCallback, DetachedCaptureIgnoresDeliveries) {
  sessions_.AddSession(File("a.mp3"), "A", true);
  Recording = true;
  Feed(1, 10);
  EXPECT_EQ(sessions_[0].Ring.Count(), 0);
}

TEST_F(CaptureCallback, AFileThatCannotBeCreatedRaisesAnIoError) {
  EXPECT_THROW(sessions_.AddSession(File("missing/a.mp3"), "A", true), text::EInOutError);
  EXPECT_EQ(sessions_.Count(), 0u);
}

// A full disk stops that channel only: one report, the file keeps every byte
// written before, the other channel goes on.
TEST_F(CaptureCallback, FailedAppendStopsOneChannelAndReportsOnce) {
  sessions_.AddSession(File("a.mp3"), "A", true);
  sessions_.AddSession(File("b.mp3"), "B", true);
  AttachCapture(&target_);
  Recording = true;
  Feed(1, 400);  // two chunks into a
  const auto before = Read(File("a.mp3"));
  ASSERT_EQ(before.size(), 2u * 32767);

  // The fourth chunk's write starts exactly at the limit, which raises
  // SIGXFSZ: the program's start-up must have made that a failed write.
  SocketsStartup();
  struct rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 3 * 32767;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  Feed(1, 1200);  // several more chunks for a: the fourth does not fit
  ::setrlimit(RLIMIT_FSIZE, &saved);

  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_EQ(failures_[0].first, 0u);
  EXPECT_EQ(failures_[0].second, "Disk full");
  EXPECT_TRUE(sessions_[0].AppendStopped);
  EXPECT_EQ(sessions_[0].OutputFile, -1);
  const auto after = Read(File("a.mp3"));
  ASSERT_EQ(after.size(), 3u * 32767);
  EXPECT_EQ(after, Expected(after.size())) << "what was written stays intact";
  EXPECT_EQ(sessions_[0].BytesRecorded, 3 * 32767);

  counter_ = 0;
  Feed(2, 400);
  EXPECT_EQ(Read(File("b.mp3")), Expected(2 * 32767)) << "the other channel records on";
}

// The format is read for every chunk: a switch during a run changes what
// the next chunk appends, and the size text keeps counting source bytes.
TEST_F(CaptureCallback, FormatChangeTakesEffectAtTheNextChunk) {
  const std::string es = Read(std::string(MC_BIN_DIR) + "/Device/Emulator/4084H.es/101.mp2");
  ASSERT_GT(es.size(), 5u * 32767) << "the sample transponder's audio is missing";
  sessions_.AddSession(File("a.mp3"), "A", true);
  AttachCapture(&target_);
  Recording = true;
  size_t fed = 0;
  auto feedEs = [&](size_t bytes) {
    for (const size_t end = fed + bytes; fed + 184 <= end; fed += 184) {
      auto p = Packet(false, -1, -1);
      std::copy(es.begin() + static_cast<long>(fed), es.begin() + static_cast<long>(fed + 184), p.begin() + 4);
      OnTsPacket(p.data(), 188, 1);
    }
  };
  feedEs(32768 + 183);  // one chunk as broadcast
  EXPECT_EQ(Read(File("a.mp3")), es.substr(0, 32767));
  format_ = RecordFormat::Mp3;
  feedEs(3 * 32767);
  const std::string file = Read(File("a.mp3"));
  ASSERT_GT(file.size(), 32767u) << "nothing re-encoded was appended";
  const auto* mp3 = reinterpret_cast<const uint8_t*>(file.data()) + 32767;
  EXPECT_EQ(mp3[0], 0xFF);
  EXPECT_EQ(mp3[1] & 0xFE, 0xFA) << "not an MPEG-1 Layer III frame";
  EXPECT_EQ(sessions_[0].BytesRecorded % 32767, 0);
  EXPECT_GE(sessions_[0].BytesRecorded, 3 * 32767);
  EXPECT_EQ(sizes_.back().second, SizeText(sessions_[0].BytesRecorded));
}

// A station that drops from 320 to 64 kbit/s after the encoder opened at
// 320: a chunk then encodes to more than the output buffer holds, and all of
// it must still reach the file, in whole frames.
TEST_F(CaptureCallback, LowRateAudioAfterAHighRateOpeningReachesTheFileWhole) {
  using namespace reencode_test;
  Bytes es = MakeLayer2(48000, 2, 320, 1.0);
  const size_t high = es.size();
  const Bytes low = MakeLayer2(48000, 2, 64, 16.0);
  es.insert(es.end(), low.begin(), low.end());
  format_ = RecordFormat::Mp3;
  sessions_.AddSession(File("a.mp3"), "A", true);
  AttachCapture(&target_);
  Recording = true;
  for (size_t fed = 0; fed + 184 <= es.size(); fed += 184) {
    auto p = Packet(false, -1, -1);
    std::copy(es.begin() + static_cast<long>(fed), es.begin() + static_cast<long>(fed + 184), p.begin() + 4);
    OnTsPacket(p.data(), 188, 1);
  }
  // The chunks passed on held whole 24 ms frames: 960 bytes each at 320
  // kbit/s, 192 at 64.
  const auto chunked = static_cast<size_t>(sessions_[0].BytesRecorded);
  ASSERT_GT(chunked, high + 3 * 32767);
  const double seconds = 0.024 * (static_cast<double>(high) / 960 + static_cast<double>(chunked - high) / 192);
  const std::string file = Read(File("a.mp3"));
  const auto back = testsupport::DecodeMpegAudio(file);
  ASSERT_EQ(back.rate, 48000);
  // Less only by the frames the decoder and the encoder still hold.
  EXPECT_NEAR(static_cast<double>(back.PerChannel()) / back.rate, seconds, 0.15);
}

// Frame after frame from the first byte to the last, as the encoder's own
// sequence is laid out.
bool WholeFramesToTheEnd(const std::string& bytes) {
  const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t at = 0;
  while (at + 4 <= bytes.size() && mpeg::IsValidHeader(b + at) && mpeg::FrameLength(b + at) > 0)
    at += static_cast<size_t>(mpeg::FrameLength(b + at));
  return at == bytes.size();
}

// An archived channel cut every second while its audio comes, broadcast and
// re-encoded: every file begins with a frame and decodes alone, the broadcast
// files joined are the stream from its first frame, and the re-encoded ones
// are each a sequence of their own (the encoder flushed at the cut).
TEST_F(CaptureCallback, AnArchivedChannelIsCutIntoFilesThatEachPlayAlone) {
  using namespace reencode_test;
  const Bytes es = MakeLayer2(48000, 2, 192, 20.0);
  for (const RecordFormat format : {RecordFormat::Pcm, RecordFormat::Mp3}) {
    SCOPED_TRACE(format == RecordFormat::Pcm ? "broadcast" : "re-encoded");
    const fs::path archive = dir_ / (format == RecordFormat::Pcm ? "pcm" : "mp3");
    fs::create_directories(archive);
    const int fd = ::open(archive.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    sessions_.AddArchivedSession("A", std::make_unique<TArchiveChannel>(fd, archive.string(), "A", 1));
    ::close(fd);
    format_ = format;
    AttachCapture(&target_);
    Recording = true;
    // Fed a chunk at a time with pauses until three files were begun; the
    // stream loops when a slow machine needs more of it.
    Bytes fed;
    size_t at = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (; sessions_[0].FilesBegun < 3 && std::chrono::steady_clock::now() < end;) {
      for (int k = 0; k < 178; ++k, at = (at + 184) % (es.size() - es.size() % 184)) {
        auto p = Packet(false, -1, -1);
        std::copy(es.begin() + static_cast<long>(at), es.begin() + static_cast<long>(at + 184), p.begin() + 4);
        fed.insert(fed.end(), p.begin() + 4, p.end());
        OnTsPacket(p.data(), 188, 1);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // The stop: the stream goes on for listeners a little after recording ends.
    Recording = false;
    for (int k = 0; k < 2 * 178; ++k, at = (at + 184) % (es.size() - es.size() % 184)) {
      auto p = Packet(false, -1, -1);
      std::copy(es.begin() + static_cast<long>(at), es.begin() + static_cast<long>(at + 184), p.begin() + 4);
      OnTsPacket(p.data(), 188, 1);
    }
    DetachCapture();
    EXPECT_TRUE(sessions_.CloseFiles().empty());
    ASSERT_GE(sessions_[0].FilesBegun.load(), 3u);
    EXPECT_TRUE(failures_.empty());

    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(archive / "A"))
      if (e.is_regular_file() && e.path().extension() != ".m3u") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), sessions_[0].FilesBegun.load());
    std::string joined;
    for (size_t k = 0; k < files.size(); ++k) {
      const fs::path& f = files[k];
      EXPECT_EQ(f.extension(), format == RecordFormat::Pcm ? ".mp2" : ".mp3");
      const std::string bytes = Read(f.string());
      joined += bytes;
      if (format == RecordFormat::Mp3) {
        EXPECT_TRUE(WholeFramesToTheEnd(bytes)) << f << " ends inside a frame or holds a gap";
      }
      if (k + 1 == files.size()) break;  // begun just before the stop: it may hold too little to decode
      ASSERT_GE(bytes.size(), 4u);
      EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0xFF) << f << " begins with a frame";
      const auto decoded = testsupport::DecodeMpegAudio(bytes, false);
      EXPECT_TRUE(decoded.error.empty() && decoded.frames > 0) << f << ": " << decoded.error;
      EXPECT_EQ(decoded.layer, format == RecordFormat::Pcm ? 2 : 3) << f;
    }
    if (format == RecordFormat::Pcm) {
      EXPECT_EQ(static_cast<int64_t>(joined.size()), sessions_[0].BytesRecorded);
      EXPECT_TRUE(joined == std::string(fed.begin(), fed.begin() + static_cast<long>(joined.size())))
          << "bytes lost or doubled at a cut";
    }
    sessions_.RemoveAll();
  }
}

// A channel gone silent: the watch closes its file only when no packet came
// since it counted, and the audio that returns begins a new file at a frame.
TEST_F(CaptureCallback, ASilentChannelsFileClosesAndItsAudioResumesInANewOne) {
  const reencode_test::Bytes es = reencode_test::MakeLayer2(48000, 2, 192, 10.0);
  const fs::path archive = dir_ / "archive";
  fs::create_directories(archive);
  const int fd = ::open(archive.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  sessions_.AddArchivedSession("A", std::make_unique<TArchiveChannel>(fd, archive.string(), "A", 3600));
  ::close(fd);
  AttachCapture(&target_);
  Recording = true;
  const auto feed = [&](size_t from, size_t to) {
    for (size_t at = from; at + 184 <= to; at += 184) {
      auto p = Packet(false, -1, -1);
      std::copy(es.begin() + static_cast<long>(at), es.begin() + static_cast<long>(at + 184), p.begin() + 4);
      OnTsPacket(p.data(), 188, 1);
    }
  };
  feed(0, 184 * 400);
  CaptureSession& s = sessions_[0];
  ASSERT_EQ(s.FilesBegun.load(), 1u);
  InterruptArchive(target_, 0, s.Packets.load() - 1);
  EXPECT_GE(s.OutputFile, 0) << "a packet came since the count: the file stays";
  InterruptArchive(target_, 0, s.Packets.load());
  EXPECT_LT(s.OutputFile, 0);
  const std::string first = s.FileName;
  feed(184 * 600 + 77, es.size());  // not adjacent: resumes mid-frame
  EXPECT_EQ(s.FilesBegun.load(), 2u);
  DetachCapture();
  EXPECT_TRUE(sessions_.CloseFiles().empty());
  EXPECT_NE(s.FileName, first);
  const std::string resumed = Read(s.FileName);
  ASSERT_GE(resumed.size(), 32767u);
  EXPECT_EQ(static_cast<uint8_t>(resumed[0]), 0xFF) << "it begins with a frame";
  EXPECT_GT(testsupport::DecodeMpegAudio(resumed, false).frames, 0u);
  EXPECT_TRUE(failures_.empty());
}

// A file the archive cannot make (here: the day's folder is a link) stops
// that channel with one report, as a failed append does.
TEST_F(CaptureCallback, AnArchiveFileThatCannotBeMadeStopsTheChannelOnce) {
  const fs::path archive = dir_ / "archive";
  fs::create_directories(archive / "A");
  fs::create_directories(dir_ / "elsewhere");
  for (const int days : {0, 1}) {  // today's folder, and tomorrow's should midnight come
    const std::time_t t = std::time(nullptr) + days * 86400;
    std::tm local{};
    ::localtime_r(&t, &local);
    char day[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", &local);
    fs::create_directory_symlink(dir_ / "elsewhere", archive / "A" / day);
  }
  const int fd = ::open(archive.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  sessions_.AddArchivedSession("A", std::make_unique<TArchiveChannel>(fd, archive.string(), "A", 3600));
  ::close(fd);
  AttachCapture(&target_);
  Recording = true;
  const reencode_test::Bytes es = reencode_test::MakeLayer2(48000, 2, 192, 3.0);
  for (size_t at = 0; at + 184 <= es.size(); at += 184) {
    auto p = Packet(false, -1, -1);
    std::copy(es.begin() + static_cast<long>(at), es.begin() + static_cast<long>(at + 184), p.begin() + 4);
    OnTsPacket(p.data(), 188, 1);
  }
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_NE(failures_[0].second.find("не удалось создать файл"), std::string::npos) << failures_[0].second;
  EXPECT_TRUE(sessions_[0].AppendStopped);
  EXPECT_TRUE(fs::is_empty(dir_ / "elsewhere"));
}

} // namespace

namespace {

// Prepared files are locked for the run, refuse a symbolic link and, when
// they keep earlier recordings, move a non-empty file aside under its time.
class PreparedFiles : public CaptureCallback {
 protected:
  static void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
  size_t FilesInDir() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {})); }
};

TEST_F(PreparedFiles, ASecondOpenerIsRefusedAndTheFileIsUntouched) {
  Write(File("a.mp3"), "earlier");
  TPreparedFile first = PrepareOutputFile(File("a.mp3"));
  // flock is per open file: a second open in this process is refused as another run's would be.
  EXPECT_THROW(PrepareOutputFile(File("a.mp3")), EFileLocked);
  first.Abandon();
  EXPECT_EQ(Read(File("a.mp3")), "earlier");
  EXPECT_NO_THROW(PrepareOutputFile(File("a.mp3"))) << "the lock goes with the descriptor";
}

TEST_F(PreparedFiles, ASymbolicLinkIsNotFollowed) {
  Write(File("outside"), "keep");
  fs::create_symlink(File("outside"), File("link.mp3"));
  try {
    PrepareOutputFile(File("link.mp3"));
    ADD_FAILURE() << "a link was opened";
  } catch (const text::EInOutError& e) {
    EXPECT_EQ(e.ErrorCode(), ELOOP);
  }
  EXPECT_EQ(Read(File("outside")), "keep");
}

TEST_F(PreparedFiles, KeepingEarlierMovesANonEmptyFileAsideByItsTime) {
  Write(File("a.mp3"), "earlier");
  Write(File("empty.mp3"), "");
  // 2026-03-04 05:06:07 local time
  struct tm when {};
  when.tm_year = 126, when.tm_mon = 2, when.tm_mday = 4, when.tm_hour = 5, when.tm_min = 6, when.tm_sec = 7;
  when.tm_isdst = -1;
  const time_t t = std::mktime(&when);
  const auto stamp = fs::file_time_type::clock::now() + std::chrono::seconds(t - std::time(nullptr));
  fs::last_write_time(File("a.mp3"), stamp);
  Write(File("a (2026-03-04 05-06-07).mp3"), "taken");  // a name already used gets a number

  ASSERT_EQ(sessions_.AddSession(File("a.mp3"), "A", true, PrepareOutputFile(File("a.mp3"), true)), 0);
  ASSERT_EQ(sessions_.AddSession(File("empty.mp3"), "E", true, PrepareOutputFile(File("empty.mp3"), true)), 0);
  EXPECT_EQ(Read(File("a (2026-03-04 05-06-07, 2).mp3")), "earlier");
  EXPECT_EQ(Read(File("a (2026-03-04 05-06-07).mp3")), "taken");
  EXPECT_EQ(Read(File("a.mp3")), "");
  EXPECT_EQ(FilesInDir(), 4u) << "an empty file is not moved aside";
  EXPECT_THROW(PrepareOutputFile(File("a.mp3")), EFileLocked) << "the new file is locked too";

  // Without keeping, the file is emptied in place.
  sessions_.RemoveAll();
  Write(File("a.mp3"), "again");
  ASSERT_EQ(sessions_.AddSession(File("a.mp3"), "A", true, PrepareOutputFile(File("a.mp3"))), 0);
  EXPECT_EQ(Read(File("a.mp3")), "");
  EXPECT_EQ(FilesInDir(), 4u);
}

TEST(AsideFileName, TimeInBracketsBeforeTheExtension) {
  struct tm when {};
  when.tm_year = 99, when.tm_mon = 11, when.tm_mday = 31, when.tm_hour = 23, when.tm_min = 59, when.tm_sec = 58;
  when.tm_isdst = -1;
  const time_t t = std::mktime(&when);
  EXPECT_EQ(AsideFileName("/r/Радио.mp3", t), "/r/Радио (1999-12-31 23-59-58).mp3");
  EXPECT_EQ(AsideFileName("/r/x.mp3", t, 3), "/r/x (1999-12-31 23-59-58, 3).mp3");
}

// A write the disk takes only in part is cut back, so the file ends on the
// last whole chunk.
TEST_F(CaptureCallback, APartWrittenChunkIsCutOff) {
  sessions_.AddSession(File("a.mp3"), "A", true);
  AttachCapture(&target_);
  Recording = true;
  Feed(1, 200);  // one chunk
  SocketsStartup();
  struct rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 32767 + 1000;  // the second chunk fits only in part
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  Feed(1, 400);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_EQ(Read(File("a.mp3")), Expected(32767));
}

} // namespace
