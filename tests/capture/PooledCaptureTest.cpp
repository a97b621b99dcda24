#include "capture/CaptureSession.h"
#include "capture/ReencodeTestAudio.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct TCaptured {
  std::vector<std::string> files;
  std::vector<int64_t> counted;
  std::vector<std::string> lastSizeText;
};

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Three channels of Layer II at different rates, their packets interleaved
// as a multiplex carries them, the format switched to " PCM" for the middle
// third and back: the file of every channel, once encoded on the delivering
// thread itself and once on a pool.
class PooledCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("mc_pooled_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    using reencode_test::MakeLayer2;
    audio_ = {MakeLayer2(48000, 2, 192, 10.0, 440, 660), MakeLayer2(48000, 2, 320, 10.0, 1000, 750),
              MakeLayer2(44100, 1, 128, 10.0, 300, 300)};
  }
  void TearDown() override {
    DetachCapture();
    Recording = false;
    fs::remove_all(dir_);
  }

  TCaptured Capture(const std::string& tag, int workers) {
    TSessions sessions;
    std::atomic<RecordFormat> format{RecordFormat::Mp3};
    std::mutex m;
    TCaptured got;
    got.lastSizeText.resize(audio_.size());
    CaptureTarget target;
    target.Sessions = &sessions;
    target.Format = &format;
    target.SizeText = [&](size_t row, const std::string& t) {
      std::lock_guard<std::mutex> g(m);
      got.lastSizeText[row] = t;
    };
    for (size_t c = 0; c < audio_.size(); ++c)
      sessions.AddSession((dir_ / (tag + std::to_string(c) + ".mp3")).string(), "C" + std::to_string(c), true);
    std::unique_ptr<TEncoderPool> pool;
    if (workers > 0) {
      TEncoderPoolSettings s;
      s.Workers = workers;
      s.QueueBound = 64;  // far more than the test feeds: this pool keeps up
      s.Work = [&](size_t row, const TPoolChunk& chunk) { ProcessPooledChunk(target, row, chunk); };
      pool = std::make_unique<TEncoderPool>(audio_.size(), s);
      target.Encoders = pool.get();
    }
    AttachCapture(&target);
    Recording = true;

    size_t longest = 0;
    for (const auto& a : audio_) longest = std::max(longest, a.size() / 184);
    for (size_t p = 0; p < longest; ++p) {
      if (p == longest / 3) format = RecordFormat::Pcm;
      if (p == 2 * longest / 3) format = RecordFormat::Mp3;
      for (size_t c = 0; c < audio_.size(); ++c) {
        if ((p + 1) * 184 > audio_[c].size()) continue;
        uint8_t packet[188] = {0x47, 0x01, 0x00, 0x10};
        std::copy_n(audio_[c].begin() + static_cast<long>(p * 184), 184, packet + 4);
        OnTsPacket(packet, 188, static_cast<int32_t>(c + 1));
      }
    }
    if (pool) {
      pool->WaitIdle();
      EXPECT_EQ(pool->Dropped(), 0u);
    }
    DetachCapture();
    if (pool) pool->Stop();
    Recording = false;
    for (size_t c = 0; c < audio_.size(); ++c) got.counted.push_back(sessions[c].BytesRecorded);
    sessions.CloseFiles();
    for (size_t c = 0; c < audio_.size(); ++c) got.files.push_back(ReadWhole(dir_ / (tag + std::to_string(c) + ".mp3")));
    return got;
  }

  fs::path dir_;
  std::vector<reencode_test::Bytes> audio_;
};

TEST_F(PooledCapture, WorkersWriteWhatTheDeliveringThreadWouldHaveWritten) {
  const TCaptured inline_ = Capture("inline", 0);
  for (size_t c = 0; c < audio_.size(); ++c) {
    ASSERT_GT(inline_.files[c].size(), 3u * 32767) << "channel " << c << " recorded too little to compare";
    ASSERT_GT(inline_.counted[c], 0);
  }
  for (const int workers : {1, 2, 3}) {
    const TCaptured pooled = Capture("pooled" + std::to_string(workers) + "_", workers);
    for (size_t c = 0; c < audio_.size(); ++c) {
      EXPECT_TRUE(pooled.files[c] == inline_.files[c])
          << workers << " workers, channel " << c << ": " << pooled.files[c].size() << " bytes against "
          << inline_.files[c].size();
      EXPECT_EQ(pooled.counted[c], inline_.counted[c]) << workers << " workers, channel " << c;
      EXPECT_EQ(pooled.lastSizeText[c], inline_.lastSizeText[c]) << workers << " workers, channel " << c;
    }
  }
}

}  // namespace
