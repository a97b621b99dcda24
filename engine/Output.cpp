#include "Output.h"

#include <out123.h>

#include <cstdint>
#include <cstring>
#include <thread>

namespace xa {
namespace {

class DeviceOutput : public Output {
 public:
  DeviceOutput(std::string driver, std::string device) : driver_(std::move(driver)), device_(std::move(device)) {}
  ~DeviceOutput() override { Close(); }

  bool Start(long rate, int channels) override {
    Close();
    ao_ = out123_new();
    if (!ao_) {
      error_ = "cannot create the audio output";
      return false;
    }
    out123_param_int(ao_, OUT123_FLAGS, OUT123_QUIET);
    if (out123_open(ao_, driver_.empty() ? nullptr : driver_.c_str(), device_.empty() ? nullptr : device_.c_str()) !=
            OUT123_OK ||
        out123_start(ao_, rate, channels, MPG123_ENC_SIGNED_16) != OUT123_OK) {
      error_ = std::string("cannot open the audio output: ") + out123_strerror(ao_);
      Close();
      return false;
    }
    return true;
  }
  bool Write(const void* data, size_t bytes) override {
    if (!ao_) return false;
    // out123_play blocks while the device buffer is full: that is the pacing.
    return out123_play(ao_, const_cast<void*>(data), bytes) == bytes;
  }
  void Finish() override {
    if (ao_) out123_drain(ao_);
    Close();
  }
  void Drop() override {
    if (ao_) out123_drop(ao_);
  }

 private:
  void Close() {
    if (ao_) out123_del(ao_);
    ao_ = nullptr;
  }
  std::string driver_, device_;
  out123_handle* ao_ = nullptr;
};

// Discards the audio at the pace a sound card would take it, so playback
// takes its real time and commands meet it mid-stream, as with a device.
class DummyOutput : public Output {
 public:
  bool Start(long rate, int channels) override {
    bytesPerSecond_ = static_cast<double>(rate) * channels * 2;
    due_ = {};
    return bytesPerSecond_ > 0;
  }
  bool Write(const void*, size_t bytes) override {
    using namespace std::chrono;
    const auto now = steady_clock::now();
    if (due_ < now) due_ = now;  // after a stall, no burst to catch up
    due_ += duration_cast<steady_clock::duration>(duration<double>(bytes / bytesPerSecond_));
    // A device holds this much ahead of what it plays.
    std::this_thread::sleep_until(due_ - milliseconds(200));
    return true;
  }
  void Finish() override {}
  void Drop() override { due_ = {}; }

 private:
  double bytesPerSecond_ = 0;
  std::chrono::steady_clock::time_point due_{};
};

// Writes as fast as the decoder goes; the sizes in the head are filled in by
// Finish, so an unfinished file still has a readable head.
class WavOutput : public Output {
 public:
  explicit WavOutput(std::string path) : path_(std::move(path)) {}
  ~WavOutput() override { Finish(); }

  bool Start(long rate, int channels) override {
    Finish();
    file_ = std::fopen(path_.c_str(), "wb");
    if (!file_) {
      error_ = "cannot create " + path_ + ": " + std::strerror(errno);
      return false;
    }
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
    rate_ = static_cast<uint32_t>(rate);
    channels_ = static_cast<uint16_t>(channels);
    dataBytes_ = 0;
    WriteHead(0xFFFFFFFFu - 36);
    return !std::ferror(file_);
  }
  bool Write(const void* data, size_t bytes) override {
    if (!file_) return false;
    dataBytes_ += bytes;
    return std::fwrite(data, 1, bytes, file_) == bytes;
  }
  void Finish() override {
    if (!file_) return;
    std::fflush(file_);
    std::fseek(file_, 0, SEEK_SET);
    WriteHead(static_cast<uint32_t>(dataBytes_ > 0xFFFFFFF0u ? 0xFFFFFFF0u : dataBytes_));
    std::fclose(file_);
    file_ = nullptr;
  }

 private:
  void WriteHead(uint32_t dataBytes) {
    uint8_t h[44];
    auto put32 = [&](int at, uint32_t v) {
      for (int i = 0; i < 4; ++i) h[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    auto put16 = [&](int at, uint16_t v) {
      h[at] = static_cast<uint8_t>(v);
      h[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    std::memcpy(h, "RIFF", 4);
    put32(4, 36 + dataBytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1);
    put16(22, channels_);
    put32(24, rate_);
    put32(28, rate_ * channels_ * 2);
    put16(32, static_cast<uint16_t>(channels_ * 2));
    put16(34, 16);
    std::memcpy(h + 36, "data", 4);
    put32(40, dataBytes);
    std::fwrite(h, 1, sizeof h, file_);
  }
  std::string path_;
  std::FILE* file_ = nullptr;
  uint32_t rate_ = 0;
  uint16_t channels_ = 0;
  uint64_t dataBytes_ = 0;
};

}  // namespace

std::unique_ptr<Output> MakeOutput(const std::string& name, std::string& error) {
  if (name.empty() || name == "default") return std::make_unique<DeviceOutput>("", "");
  if (name == "dummy") return std::make_unique<DummyOutput>();
  if (name.rfind("wav:", 0) == 0) {
    if (name.size() == 4) {
      error = "no file name after wav:";
      return nullptr;
    }
    return std::make_unique<WavOutput>(name.substr(4));
  }
  const auto colon = name.find(':');
  if (colon == std::string::npos) return std::make_unique<DeviceOutput>(name, "");
  return std::make_unique<DeviceOutput>(name.substr(0, colon), name.substr(colon + 1));
}

}  // namespace xa
