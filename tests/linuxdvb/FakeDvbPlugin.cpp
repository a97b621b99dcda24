// SkyStar1.so for the program's own tests: the Linux DVB card on the fake
// kernel, so that the built program scans and records "a real card" without
// one. The environment sets the scene:
//   MC_FAKE_DVB_TS      transport stream replayed in a loop on every PID
//   MC_FAKE_DVB_DRIVER  "cx24116": the strict driver's rules (else lenient)
//   MC_FAKE_DVB_BUSY    set: the frontend is held by another program
//   MC_FAKE_DVB_UNPLUG  a path: once it exists, the card is unplugged
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "CardExports.h"
#include "LinuxDvbCard.h"
#include "linuxdvb/FakeKernel.h"

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

struct TFakeAdapter {
  TFakeKernel kernel;
  std::thread feeder;
  std::atomic<bool> stop{false};

  TFakeAdapter() {
    kernel.AddFrontend(0, {SYS_DVBS, SYS_DVBS2});
    if (Env("MC_FAKE_DVB_DRIVER") == "cx24116") kernel.driver = {"Conexant CX24116/CX24118", true, true};
    if (!Env("MC_FAKE_DVB_BUSY").empty()) kernel.openErrors["/dev/dvb/adapter0/frontend0"] = EBUSY;
    dtv_stats signal{}, cnr{};
    signal.scale = cnr.scale = FE_SCALE_DECIBEL;
    signal.svalue = -40000;
    cnr.svalue = 12000;
    kernel.signalStat = {signal};
    kernel.cnrStat = {cnr};
    feeder = std::thread([this] { Feed(); });
  }
  ~TFakeAdapter() {
    stop = true;
    feeder.join();
  }

  // About 1.5 MB/s, a small radio transponder's rate, held to the clock: a
  // loaded machine that wakes the feeder late gets the packets it missed, as
  // a tuner keeps sending while nobody reads.
  void Feed() {
    constexpr double kPacketsPerSecond = 8000;
    constexpr int64_t kMostPerWake = 2000;  // a long stall is not caught up in one burst
    std::ifstream in(Env("MC_FAKE_DVB_TS"), std::ios::binary);
    const std::string ts((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string unplug = Env("MC_FAKE_DVB_UNPLUG");
    bool vanished = false;
    size_t at = 0;
    int64_t fed = 0;
    auto since = std::chrono::steady_clock::now();
    while (!stop) {
      struct stat st{};
      if (!vanished && !unplug.empty() && ::stat(unplug.c_str(), &st) == 0) {
        kernel.Vanish();
        vanished = true;
      }
      const auto now = std::chrono::steady_clock::now();
      const auto due = static_cast<int64_t>(std::chrono::duration<double>(now - since).count() * kPacketsPerSecond);
      const bool locked = kernel.Locked();  // a tuner without lock delivers nothing
      int64_t owed = 0;
      if (!locked || vanished) {
        since = now;  // nothing is owed for a time without lock
        fed = 0;
      } else if (owed = due - fed; owed > kMostPerWake) {
        owed = kMostPerWake;  // what a long stall missed beyond one burst is lost
        since = now;
        fed = -kMostPerWake;
      }
      for (; owed > 0 && ts.size() >= 188; --owed, ++fed) {
        if (at + 188 > ts.size()) at = 0;
        const auto* p = reinterpret_cast<const uint8_t*>(ts.data() + at);
        kernel.Feed(static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]), std::vector<uint8_t>(p, p + 188));
        at += 188;
      }
      // Once unplugged only the end is waited for, so that what the card
      // itself costs from then on can be measured.
      std::this_thread::sleep_for(std::chrono::milliseconds(vanished ? 100 : 5));
    }
  }
};

struct TFakeCard {
  TFakeAdapter adapter;  // first made, last gone: the card uses it to the end
  linuxdvb::TLinuxDvbCard card{adapter.kernel, ""};
};

TFakeCard& Fake() {
  static TFakeCard fake;
  return fake;
}

} // namespace

cardplugin::TCard& cardplugin::ThisCard() { return Fake().card; }
MC_EXPORT int32_t DVBGetReason() { return Fake().card.Reason(); }
MC_EXPORT int32_t DVBGetOverflows(int32_t handle) { return static_cast<int32_t>(Fake().card.FilterOverflows(handle)); }
