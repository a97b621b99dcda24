#include "Output.h"

#include <out123.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace xa {
namespace {

// libout123 can block for good in a device that does not answer (a sound
// server that hangs, a module that spins in its drain): every call on the
// device runs on a worker thread of the output's own, and the engine thread
// waits for an answer only so long. A device that misses one is taken as
// failed; its worker is left to end by itself, holding only its own state.
class DeviceOutput : public Output {
 public:
  DeviceOutput(std::string driver, std::string device, bool chosen)
      : driver_(std::move(driver)), device_(std::move(device)), chosen_(chosen), shared_(std::make_shared<Shared>()) {
    worker_ = std::thread([s = shared_] { Work(*s); });
  }
  ~DeviceOutput() override {
    {
      std::lock_guard<std::mutex> g(shared_->Lock);
      shared_->Quit = true;
    }
    shared_->Wake.notify_one();
    std::unique_lock<std::mutex> g(shared_->Lock);
    const bool ended = shared_->Done.wait_for(g, kAnswerWait, [&] { return shared_->Ended; });
    g.unlock();
    if (ended)
      worker_.join();
    else
      worker_.detach();  // stuck in the device: it owns nothing of ours
  }

  bool Start(long rate, int channels) override {
    if (failed_) return false;
    Abort();
    if (failed_) return false;
    const std::string driver = driver_, device = device_;
    auto opened = std::make_shared<std::pair<bool, std::string>>(false, "");
    const bool answered = Run(
        [=](Shared& s, uint64_t) {
          Close(s);
          s.Ao = out123_new();
          if (!s.Ao) {
            opened->second = "cannot create the audio output";
            return;
          }
          out123_param_int(s.Ao, OUT123_FLAGS, OUT123_QUIET);
          // A short device buffer keeps the drain at the end of a file short.
          out123_param_float(s.Ao, OUT123_DEVICEBUFFER, kDeviceBufferSeconds);
          if (out123_open(s.Ao, driver.empty() ? nullptr : driver.c_str(), device.empty() ? nullptr : device.c_str()) !=
                  OUT123_OK ||
              out123_start(s.Ao, rate, channels, MPG123_ENC_SIGNED_16) != OUT123_OK) {
            opened->second = out123_strerror(s.Ao);
            Close(s);
            return;
          }
          opened->first = true;
        },
        kOpenWait);
    if (!answered) return false;
    std::lock_guard<std::mutex> g(shared_->Lock);
    if (!opened->first) {
      error_ = (chosen_ ? "no sound device (PulseAudio, ALSA): " : "cannot open the audio output: ") + opened->second;
      return false;
    }
    open_ = true;
    return true;
  }

  bool Write(const void* data, size_t bytes) override {
    if (!open_ || failed_) return false;
    const auto* b = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> block(b, b + bytes);
    uint64_t seq;
    {
      std::lock_guard<std::mutex> g(shared_->Lock);
      const uint64_t generation = shared_->Generation;
      shared_->Tasks.push_back([block = std::move(block), generation](Shared& s, uint64_t now) {
        if (generation != now || !s.Ao) return;
        if (out123_play(s.Ao, const_cast<uint8_t*>(block.data()), block.size()) != block.size()) s.PlayFailed = true;
      });
      seq = ++shared_->Posted;
    }
    shared_->Wake.notify_one();
    // One block in the device's hands and this one queued: the device's own
    // pace paces the decoder.
    if (!WaitFor(seq - 1, kAnswerWait)) return false;
    std::lock_guard<std::mutex> g(shared_->Lock);
    if (shared_->PlayFailed) {
      error_ = "the sound device refused the samples";
      return false;
    }
    return true;
  }

  void Finish() override {
    if (!open_ || failed_) return;
    open_ = false;
    Run(
        [](Shared& s, uint64_t) {
          if (s.Ao) out123_drain(s.Ao);
          Close(s);
        },
        kDrainWait);
  }

  void Abort() override {
    if (!open_ || failed_) return;
    open_ = false;
    Drop();
    Run([](Shared& s, uint64_t) { Close(s); }, kAnswerWait);
  }

  void Drop() override {
    if (!open_ || failed_) return;
    {
      std::lock_guard<std::mutex> g(shared_->Lock);
      ++shared_->Generation;  // blocks still queued are skipped
      shared_->Tasks.push_back([](Shared& s, uint64_t) {
        if (s.Ao) out123_drop(s.Ao);
      });
      ++shared_->Posted;
    }
    shared_->Wake.notify_one();
  }

 private:
  static constexpr auto kAnswerWait = std::chrono::milliseconds(500);
  static constexpr auto kOpenWait = std::chrono::milliseconds(1500);
  static constexpr double kDeviceBufferSeconds = 0.5;
  static constexpr auto kDrainWait = std::chrono::milliseconds(500) + std::chrono::milliseconds(1000);

  struct Shared {
    std::mutex Lock;
    std::condition_variable Wake, Done;
    std::deque<std::function<void(Shared&, uint64_t)>> Tasks;
    uint64_t Posted = 0, Finished = 0;
    uint64_t Generation = 0;  // bumped by a drop: blocks queued before it are not played
    bool Quit = false, Ended = false, PlayFailed = false;
    out123_handle* Ao = nullptr;  // the worker's
  };

  static void Close(Shared& s) {
    if (s.Ao) out123_del(s.Ao);
    s.Ao = nullptr;
  }

  static void Work(Shared& s) {
    std::unique_lock<std::mutex> g(s.Lock);
    for (;;) {
      // Unbounded on purpose: this thread may wait, the engine thread may not.
      s.Wake.wait(g, [&] { return s.Quit || !s.Tasks.empty(); });
      if (s.Tasks.empty()) break;  // quit once the queue is done
      auto task = std::move(s.Tasks.front());
      s.Tasks.pop_front();
      const uint64_t generation = s.Generation;
      g.unlock();
      task(s, generation);
      g.lock();
      ++s.Finished;
      s.Done.notify_all();
    }
    g.unlock();
    Close(s);
    g.lock();
    s.Ended = true;
    s.Done.notify_all();
  }

  // Queues a task and waits for it; false, with the output failed, when the
  // device does not answer in time.
  bool Run(std::function<void(Shared&, uint64_t)> task, std::chrono::milliseconds limit) {
    uint64_t seq;
    {
      std::lock_guard<std::mutex> g(shared_->Lock);
      shared_->Tasks.push_back(std::move(task));
      seq = ++shared_->Posted;
    }
    shared_->Wake.notify_one();
    return WaitFor(seq, limit);
  }

  bool WaitFor(uint64_t seq, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> g(shared_->Lock);
    if (shared_->Done.wait_for(g, limit, [&] { return shared_->Finished >= seq; })) return true;
    failed_ = true;
    open_ = false;
    error_ = "the sound device does not answer";
    return false;
  }

  std::string driver_, device_;
  bool chosen_;  // the driver list is the engine's own choice, not the user's
  std::shared_ptr<Shared> shared_;
  std::thread worker_;
  bool open_ = false, failed_ = false;
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
    // Started again within one playback (the stream changed format): what is
    // written stays, and the file goes on only in the format of its head.
    if (file_) {
      if (static_cast<uint32_t>(rate) == rate_ && channels == channels_) return true;
      error_ = path_ + " holds " + std::to_string(rate_) + " Hz, " + std::to_string(channels_) +
               " channel(s): the stream changed to " + std::to_string(rate) + " Hz, " + std::to_string(channels);
      return false;
    }
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
  bool KeepsFirstFormat() const override { return true; }
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
  // Never libout123's own default: it falls through to modules (OpenAL, JACK)
  // that fill the terminal with noise and, without a device, never answer.
  if (name.empty() || name == "default") return std::make_unique<DeviceOutput>("pulse,alsa", "", true);
  if (name == "dummy") return std::make_unique<DummyOutput>();
  if (name.rfind("wav:", 0) == 0) {
    if (name.size() == 4) {
      error = "no file name after wav:";
      return nullptr;
    }
    return std::make_unique<WavOutput>(name.substr(4));
  }
  const auto colon = name.find(':');
  if (colon == std::string::npos) return std::make_unique<DeviceOutput>(name, "", false);
  return std::make_unique<DeviceOutput>(name.substr(0, colon), name.substr(colon + 1), false);
}

}  // namespace xa
