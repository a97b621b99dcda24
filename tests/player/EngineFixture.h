#pragma once
// The real engine driven through the component, for tests that pump its
// notifications on the test thread: what it last said, and bounded waits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "player/XaudioPlayer.h"

namespace enginetest {

using namespace std::chrono_literals;

inline std::string DemoFile() { return std::string(MC_BIN_DIR) + "/Device/Emulator/4084H.es/101.mp2"; }
inline std::string EnginePath() { return std::string(MC_BIN_DIR) + "/libxaudio.so"; }

inline std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// What a player has reported so far.
struct TReports {
  uint32_t Frequency = 0, LastOffset = 0, LastRange = 0;
  int Bitrate = 0, Channels = 0, State = -1, Ends = 0, Timecodes = 0, Parameters = 0;
  double LastTimecode = -1;
  std::vector<std::string> Errors;
  std::vector<int> Acks, Nacks;
  std::vector<int> Bitrates;

  void Watch(TXaudioPlayer& p) {
    p.OnNotifyStreamParameters = [this](TXaudioPlayer*, uint32_t f, int16_t b, uint8_t c) {
      Frequency = f, Bitrate = b, Channels = c;
      ++Parameters;
      Bitrates.push_back(b);
    };
    p.OnNotifyInputTimecode = [this](TXaudioPlayer*, uint8_t h, uint8_t m, uint8_t s, uint8_t f) {
      ++Timecodes;
      LastTimecode = h * 3600.0 + m * 60 + s + f / 100.0;
    };
    p.OnNotifyInputPosition = [this](TXaudioPlayer*, uint32_t o, uint32_t r) { LastOffset = o, LastRange = r; };
    p.OnNotifyPlayerState = [this](TXaudioPlayer*, int32_t s) {
      State = s;
      if (s == XA_PLAYER_STATE_EOS) ++Ends;
    };
    p.OnNotifyError = [this](TXaudioPlayer*, uint8_t, int16_t, const std::string& m) { Errors.push_back(m); };
    p.OnNotifyAck = [this](TXaudioPlayer*, uint8_t c) { Acks.push_back(c); };
    p.OnNotifyNack = [this](TXaudioPlayer*, uint8_t c, int16_t) { Nacks.push_back(c); };
  }
  bool Acked(int command) const { return std::find(Acks.begin(), Acks.end(), command) != Acks.end(); }
  std::string AllErrors() const {
    std::string all;
    for (const auto& e : Errors) all += e + "\n";
    return all;
  }
};

// Pumps `player`'s notifications until `done` holds or `limit` is up.
inline bool PumpUntil(TXaudioPlayer& player, const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    player.ProcessNotifications();
    if (done()) return true;
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(5ms);
  }
}

class TEngineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    player.XaudioPath = EnginePath();
    seen.Watch(player);
    player.Init();
  }
  void TearDown() override {
    for (const auto& f : files_) std::remove(f.c_str());
  }
  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    return PumpUntil(player, done, limit);
  }
  // A file name in the test's temporary folder, removed after the test.
  std::string Temp(const std::string& name) {
    files_.push_back(::testing::TempDir() + "/desktop_" + std::to_string(::getpid()) + "_" + name);
    return files_.back();
  }

  TXaudioPlayer player;
  TReports seen;

 private:
  std::vector<std::string> files_;
};

}  // namespace enginetest
