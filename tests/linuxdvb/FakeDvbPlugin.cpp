// SkyStar1.so for the program's own tests: the Linux DVB card on the fake
// kernel, so that the built program scans and records "a real card" without
// one. The environment sets the scene:
//   MC_FAKE_DVB_TS      transport stream replayed in a loop on every PID
//   MC_FAKE_DVB_DRIVER  "cx24116": the strict driver's rules (else lenient)
//   MC_FAKE_DVB_BUSY    set: the frontend is held by another program
//   MC_FAKE_DVB_UNPLUG  a path: once it exists, the card is unplugged
#include <sys/stat.h>

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

  // About 1.5 MB/s, a small radio transponder's rate.
  void Feed() {
    std::ifstream in(Env("MC_FAKE_DVB_TS"), std::ios::binary);
    const std::string ts((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string unplug = Env("MC_FAKE_DVB_UNPLUG");
    bool vanished = false;
    size_t at = 0;
    while (!stop) {
      struct stat st{};
      if (!vanished && !unplug.empty() && ::stat(unplug.c_str(), &st) == 0) {
        kernel.Vanish();
        vanished = true;
      }
      const bool locked = kernel.Locked();  // a tuner without lock delivers nothing
      for (int i = 0; i < 40 && locked && !vanished && ts.size() >= 188; ++i) {
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
