// The Linux DVB card against a scripted kernel: what tuning sends, how the
// adapter is found, and how demux data reaches the filters.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/dvb/dmx.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "LinuxDvbCard.h"
#include "app/ProcessWide.h"
#include "device/DevicePlugin.h"
#include "linuxdvb/FakeKernel.h"

using linuxdvb::TLinuxDvbCard;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// How long a wait goes on before the test gives up: only a hung card takes it.
constexpr auto kPatience = std::chrono::seconds(30);

// Polls `done` until it holds; false once kPatience has passed without.
bool Eventually(const std::function<bool()>& done) {
  const auto until = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Opens a gate when the test ends however it ends, so that a callback held
// at it lets the card close.
struct TOpenOnExit {
  std::atomic<bool>& gate;
  ~TOpenOnExit() { gate = true; }
};

bool Contains(const std::vector<std::string>& log, const std::string& line) {
  return std::find(log.begin(), log.end(), line) != log.end();
}

// What the filter callbacks received; callbacks carry no context.
struct TReceived {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::tuple<int32_t, int32_t, uint8_t, uint8_t>> calls;  // handle, length, first byte, last byte
  std::atomic<int32_t> deleteOnArrival{0};
  TLinuxDvbCard* card = nullptr;

  bool WaitFor(size_t n) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, kPatience, [&] { return calls.size() >= n; });
  }
  size_t Count() {
    std::lock_guard lock(mutex);
    return calls.size();
  }
} received;

void Record(const uint8_t* data, int32_t length, int32_t handle) {
  {
    std::lock_guard lock(received.mutex);
    received.calls.emplace_back(handle, length, data[0], data[length - 1]);
  }
  received.arrived.notify_all();
  if (received.deleteOnArrival == handle) received.card->DelFilter(handle);
}

TTunerParams Params(uint32_t mhz, uint32_t ksyms, uint32_t loMhz, uint32_t tone, uint32_t voltage) {
  TTunerParams p{};
  p.Frequency = mhz * 1000;
  p.Constant2 = 2;
  p.SymbolRate = ksyms * 1000;
  p.LocalOscillator = loMhz * 1000;
  p.Tone = tone;
  p.Voltage = voltage;
  return p;
}

// Runs of "status", "pause" while waiting for a lock, shown as one "wait".
std::vector<std::string> Collapsed(std::vector<std::string> log) {
  std::vector<std::string> out;
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i] == "status" && i + 1 < log.size() && log[i + 1] == "pause") {
      while (i + 1 < log.size() && log[i] == "status" && log[i + 1] == "pause") i += 2;
      out.push_back("wait");
      --i;
      continue;
    }
    out.push_back(log[i]);
  }
  return out;
}

class LinuxDvbCard : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard lock(received.mutex);
    received.calls.clear();
    received.deleteOnArrival = 0;
  }
  void OpenWith(std::vector<uint32_t> systems) {
    kernel.AddFrontend(0, std::move(systems));
    ASSERT_NE(card.Open(), 0);
    received.card = &card;
  }
  TFakeKernel kernel;
  TLinuxDvbCard card{kernel, ""};
};

TEST_F(LinuxDvbCard, FindsTheFirstSatelliteAdapterOrNone) {
  struct TCase {
    const char* name;
    std::vector<std::pair<int, std::vector<uint32_t>>> adapters;
    bool legacy;
    const char* config;
    int expectedAdapter;  // -1: no card
  };
  const TCase cases[] = {
      {"no adapter at all", {}, false, nullptr, -1},
      {"terrestrial only", {{0, {SYS_DVBT, SYS_DVBT2}}}, false, nullptr, -1},
      {"satellite behind a terrestrial one", {{0, {SYS_DVBT}}, {2, {SYS_DVBS, SYS_DVBS2}}}, false, nullptr, 2},
      {"legacy driver", {{1, {SYS_DVBS}}}, true, nullptr, 1},
      {"configured adapter", {{0, {SYS_DVBS}}, {3, {SYS_DVBS2}}}, false, "# chosen\nadapter = 3\n", 3},
      {"configured adapter missing", {{0, {SYS_DVBS}}}, false, "adapter 5\n", -1},
      {"unreadable configuration", {{0, {SYS_DVBS}}}, false, "adapter three\n", -1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TFakeKernel k;
    for (const auto& [n, systems] : c.adapters) k.AddFrontend(n, systems, c.legacy);
    std::string config;
    if (c.config) {
      config = (std::filesystem::temp_directory_path() /
                ("mc-linuxdvb-test-" + std::to_string(::getpid()) + ".conf")).string();
      std::ofstream(config) << c.config;
    }
    TLinuxDvbCard dut(k, config);
    const int32_t opened = dut.Open();
    EXPECT_EQ(opened != 0, c.expectedAdapter >= 0);
    if (c.expectedAdapter >= 0) {
      EXPECT_EQ(k.OpenFiles(), 1);  // rejected frontends were closed again
      dut.SetCount(1);
      dut.AddFilter(0x100, Record);
      const auto log = k.Log();
      EXPECT_EQ(log.back(), "demux filter 256");
      EXPECT_NE(std::find(log.begin(), log.end(), "open /dev/dvb/adapter" + std::to_string(c.expectedAdapter) + "/demux0"),
                log.end());
    } else {
      EXPECT_EQ(k.OpenFiles(), 0);
      EXPECT_EQ(dut.SetTuner(Params(4084, 2500, 5150, 0, 18)), 0);
      EXPECT_EQ(dut.AddFilter(0x100, Record), 0);
    }
    dut.Close();
    EXPECT_EQ(k.OpenFiles(), 0);
    if (c.config) std::filesystem::remove(config);
  }
}

TEST_F(LinuxDvbCard, TuningSendsTheStandardSequence) {
  struct TCase {
    const char* name;
    int32_t port;
    TTunerParams params;
    std::vector<std::string> expected;
  };
  const TCase cases[] = {
      {"C band, port 1, horizontal (the defaults)", 1, Params(4084, 2500, 5150, 0, 18),
       {"tone off", "voltage 18", "pause", "diseqc e0 10 38 f2", "pause", "burst A", "pause", "tone off",
        "tune DVBS 1066000 2500000", "status"}},
      {"Ku high band, port 6, vertical", 6, Params(12100, 27500, 10600, 1, 13),
       {"tone off", "voltage 13", "pause", "diseqc e0 10 38 f5", "pause", "diseqc e0 10 39 f1", "pause",
        "diseqc e1 10 38 f5", "pause", "diseqc e1 10 39 f1", "pause", "burst B", "pause", "tone on",
        "tune DVBS 1500000 27500000", "status"}},
      {"Ku high band, port 3, vertical", 3, Params(12100, 27500, 10600, 1, 13),
       {"tone off", "voltage 13", "pause", "diseqc e0 10 38 f9", "pause", "burst A", "pause", "tone on",
        "tune DVBS 1500000 27500000", "status"}},
      {"Ku low band, port 4, horizontal", 4, Params(11000, 22000, 9750, 0, 18),
       {"tone off", "voltage 18", "pause", "diseqc e0 10 38 fe", "pause", "burst B", "pause", "tone off",
        "tune DVBS 1250000 22000000", "status"}},
      {"port 8", 8, Params(11000, 22000, 9750, 0, 18),
       {"tone off", "voltage 18", "pause", "diseqc e0 10 38 fe", "pause", "diseqc e0 10 39 f3", "pause",
        "diseqc e1 10 38 fe", "pause", "diseqc e1 10 39 f3", "pause", "burst B", "pause", "tone off",
        "tune DVBS 1250000 22000000", "status"}},
      {"no switch", 0, Params(11000, 22000, 9750, 0, 18),
       {"tone off", "voltage 18", "pause", "tone off", "tune DVBS 1250000 22000000", "status"}},
  };
  OpenWith({SYS_DVBS, SYS_DVBS2});
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t from = kernel.Log().size();
    card.SendDiSEqC(c.port);
    EXPECT_EQ(card.SetTuner(c.params), 1);
    EXPECT_THAT(kernel.LogSince(from), ElementsAreArray(c.expected));
    const auto t = kernel.Tunings().back();
    EXPECT_EQ(t.fec, unsigned(FEC_AUTO));
    EXPECT_EQ(t.modulation, unsigned(QPSK));  // DVB-S is QPSK, and strict drivers take nothing else
  }
  for (const int ms : kernel.Pauses()) EXPECT_GE(ms, 15);  // the DiSEqC bus needs 15 ms
}

TEST_F(LinuxDvbCard, RetriesAsDvbS2OnlyWhenDvbSFindsNoLock) {
  struct TCase {
    const char* name;
    std::vector<uint32_t> systems;
    std::set<uint32_t> lockOn;
    int32_t result;
    std::vector<std::string> tail;  // from the first tuning on
  };
  const TCase cases[] = {
      {"DVB-S2 transponder", {SYS_DVBS, SYS_DVBS2}, {SYS_DVBS2}, 1,
       {"tune DVBS 1066000 2500000", "wait", "tune DVBS2 1066000 2500000", "status"}},
      {"nothing there", {SYS_DVBS, SYS_DVBS2}, {}, 0,
       {"tune DVBS 1066000 2500000", "wait", "tune DVBS2 1066000 2500000", "wait", "tune DVBS2 1066000 2500000",
        "wait"}},
      {"DVB-S only frontend", {SYS_DVBS}, {}, 0, {"tune DVBS 1066000 2500000", "wait"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TFakeKernel k;
    k.AddFrontend(0, c.systems);
    k.lockOn = c.lockOn;
    TLinuxDvbCard dut(k, "");
    ASSERT_EQ(dut.Open(), 1);
    const size_t from = k.Log().size();
    dut.SendDiSEqC(1);
    EXPECT_EQ(dut.SetTuner(Params(4084, 2500, 5150, 0, 18)), c.result);
    auto log = Collapsed(k.LogSince(from));
    log.erase(log.begin(), std::find(log.begin(), log.end(), c.tail.front()));
    EXPECT_THAT(log, ElementsAreArray(c.tail));
  }
}

TEST_F(LinuxDvbCard, RefusesTuningWithoutPolarisationOrCard) {
  EXPECT_EQ(card.SetTuner(Params(4084, 2500, 5150, 0, 18)), 0);  // not open
  OpenWith({SYS_DVBS});
  const size_t from = kernel.Log().size();
  EXPECT_EQ(card.SetTuner(Params(4084, 2500, 5150, 0, 0)), 0);
  EXPECT_TRUE(kernel.LogSince(from).empty());  // the LNB was not touched
}

TEST_F(LinuxDvbCard, SignalMeterScalesStatisticsOrLegacyReadings) {
  struct TCase {
    const char* name;
    bool locked;
    std::vector<dtv_stats> signal, cnr;
    uint16_t legacySignal, legacySnr;
    uint8_t level, quality;
  };
  auto relative = [](uint64_t v) { dtv_stats s{}; s.scale = FE_SCALE_RELATIVE; s.uvalue = v; return std::vector{s}; };
  auto decibel = [](int64_t v) { dtv_stats s{}; s.scale = FE_SCALE_DECIBEL; s.svalue = v; return std::vector{s}; };
  const TCase cases[] = {
      {"no lock: the level, no quality", false, relative(65535), relative(65535), 65535, 65535, 100, 0},
      {"relative statistics", true, relative(65535), relative(32768), 0, 0, 100, 50},
      {"decibels: strong signal, 7.5 dB CNR", true, decibel(-25000), decibel(7500), 0, 0, 100, 50},
      {"decibels beyond the scale", true, decibel(-120000), decibel(40000), 0, 0, 0, 100},
      {"legacy readings only", true, {}, {}, 65535, 13107, 100, 20},
      {"CNR missing", true, relative(0), {}, 0, 32768, 0, 50},
  };
  OpenWith({SYS_DVBS});
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    kernel.lockOn = c.locked ? std::set<uint32_t>{SYS_DVBS} : std::set<uint32_t>{};
    card.SetTuner(Params(4084, 2500, 5150, 0, 18));
    kernel.signalStat = c.signal;
    kernel.cnrStat = c.cnr;
    kernel.legacySignal = c.legacySignal;
    kernel.legacySnr = c.legacySnr;
    uint8_t level = 77, quality = 77;
    EXPECT_EQ(card.GetTunerStatus(&level, &quality), c.locked ? 1 : 0);
    EXPECT_EQ(level, c.level);
    EXPECT_EQ(quality, c.quality);
  }
}

TEST_F(LinuxDvbCard, FilterOpensItsOwnDemuxFileOnTheFrontend) {
  OpenWith({SYS_DVBS});
  ASSERT_NE(card.AddFilter(0x1FF, Record), 0);
  const auto pes = kernel.LastPesFilter();
  EXPECT_EQ(pes.pid, 0x1FF);
  EXPECT_EQ(pes.input, DMX_IN_FRONTEND);
  EXPECT_EQ(pes.output, DMX_OUT_TSDEMUX_TAP);
  EXPECT_TRUE(pes.flags & DMX_IMMEDIATE_START);
  EXPECT_GE(kernel.LastBufferSize(), 256u * 1024);  // far above the kernel's 8 KiB default
  EXPECT_EQ(kernel.OpenFiles(), 2);
  ASSERT_NE(card.AddFilter(0x1FF, Record), 0);
  EXPECT_EQ(kernel.OpenFiles(), 3);
}

TEST_F(LinuxDvbCard, DeliversPayloadsWithTheReturnedHandle) {
  OpenWith({SYS_DVBS});
  card.SetCount(0);
  const int32_t a = card.AddFilter(0x100, Record);
  const int32_t b = card.AddFilter(0x101, Record);
  ASSERT_NE(a, 0);
  ASSERT_NE(b, 0);
  ASSERT_NE(a, b);
  // A packet split across reads still arrives whole.
  const auto p = Packet(0x100, 0xA1);
  kernel.Feed(0x100, {p.begin(), p.begin() + 100});
  kernel.Feed(0x100, {p.begin() + 100, p.end()});
  ASSERT_TRUE(received.WaitFor(1));
  kernel.Feed(0x101, Packet(0x101, 0xB2));
  ASSERT_TRUE(received.WaitFor(2));
  EXPECT_THAT(received.calls, ElementsAre(std::tuple(a, 184, 0xA1, 0xA1), std::tuple(b, 184, 0xB2, 0xB2)));
}

TEST_F(LinuxDvbCard, NumbersWholePacketFiltersFromTheSwitchCountingRefusals) {
  kernel.demuxLimit = 3;
  OpenWith({SYS_DVBS});
  card.SetCount(0);
  ASSERT_NE(card.AddFilter(0x30, Record), 0);  // payload filter before the switch
  card.SetCount(1);
  EXPECT_EQ(card.AddFilter(0x100, Record), 1);
  EXPECT_EQ(card.AddFilter(0x2000, Record), 0);  // no such PID
  EXPECT_EQ(card.AddFilter(0x102, Record), 3);
  EXPECT_EQ(card.AddFilter(0x103, Record), 0);  // the adapter has no filter left
  card.DelFilter(1);
  EXPECT_EQ(card.AddFilter(0x104, Record), 5);
  kernel.Feed(0x102, Packet(0x102, 0xC3));
  kernel.Feed(0x104, Packet(0x104, 0xC5));
  ASSERT_TRUE(received.WaitFor(2));
  std::sort(received.calls.begin(), received.calls.end());
  EXPECT_THAT(received.calls, ElementsAre(std::tuple(3, 188, 0x47, 0xC3), std::tuple(5, 188, 0x47, 0xC5)));
}

TEST_F(LinuxDvbCard, OwnFilterLimitRefusesAndFreesUp) {
  OpenWith({SYS_DVBS});
  int accepted = 0;
  while (accepted < 100000 && card.AddFilter(0x100, Record) != 0) ++accepted;
  ASSERT_LT(accepted, 100000);
  EXPECT_EQ(card.AddFilter(0x100, Record), 0);
  card.SetCount(1);
  card.SetCount(0);
  card.DelFilter(TLinuxDvbCard::kFirstPayloadHandle);
  EXPECT_NE(card.AddFilter(0x100, Record), 0);
}

TEST_F(LinuxDvbCard, FilterLimitHoldsWhileARetryWaitsForRemovedFilesToClose) {
  OpenWith({SYS_DVBS});
  // A busy delivery thread keeps a removed filter's file open.
  static std::atomic<bool> inside{false}, release{false};
  const TOpenOnExit letGo{release};
  TFilterCallback slow = [](const uint8_t*, int32_t, int32_t) {
    inside = true;
    EXPECT_TRUE(Eventually([] { return release.load(); })) << "the test never let the callback return";
  };
  ASSERT_NE(card.AddFilter(0x100, slow), 0);
  int32_t last = 0;
  for (int i = 2; i < TLinuxDvbCard::kFilterLimit; ++i) ASSERT_NE(last = card.AddFilter(0x101, Record), 0);
  kernel.Feed(0x100, Packet(0x100, 0x01));
  ASSERT_TRUE(Eventually([] { return inside.load(); })) << "the callback never ran";
  card.DelFilter(last);
  // Every file the adapter allows is open: the next filter waits for the
  // removed one to close, and others fill the card meanwhile.
  kernel.SetDemuxLimit(TLinuxDvbCard::kFilterLimit - 1);
  const size_t from = kernel.Log().size();
  std::atomic<int32_t> retried{-1};
  std::thread waiting([&] { retried = card.AddFilter(0x102, Record); });
  const bool tried = Eventually([&] { return Contains(kernel.LogSince(from), "open /dev/dvb/adapter0/demux0"); });
  kernel.SetDemuxLimit(1000);
  const int32_t others[] = {card.AddFilter(0x103, Record), card.AddFilter(0x104, Record)};
  release = true;
  waiting.join();
  ASSERT_TRUE(tried) << "the new filter never asked the adapter for a file";
  // The card gives the removed file only so long to close. A retry that ran
  // out of it before the others came took a free place, which is as right:
  // in either order the two free places went to two of the three filters.
  const int32_t asked[] = {retried, others[0], others[1]};
  EXPECT_EQ(std::count_if(std::begin(asked), std::end(asked), [](int32_t h) { return h != 0; }), 2)
      << "retry " << retried << ", others " << others[0] << " " << others[1];
  EXPECT_EQ(card.AddFilter(0x105, Record), 0);
  EXPECT_EQ(kernel.OpenFiles(), 1 + TLinuxDvbCard::kFilterLimit);  // the refused filter's file was closed
  card.Close();
  EXPECT_EQ(kernel.OpenFiles(), 0);
}

TEST_F(LinuxDvbCard, OverflowIsCountedAndReadingGoesOn) {
  OpenWith({SYS_DVBS});
  card.SetCount(1);
  ASSERT_EQ(card.AddFilter(0x100, Record), 1);
  kernel.FailNextRead(0x100, EOVERFLOW);
  kernel.Feed(0x100, Packet(0x100, 0x01));
  ASSERT_TRUE(received.WaitFor(1));
  EXPECT_EQ(card.Overflows(), 1);
  EXPECT_THAT(received.calls, ElementsAre(std::tuple(1, 188, 0x47, 0x01)));
}

TEST_F(LinuxDvbCard, ReadErrorStopsOnlyThatFilter) {
  OpenWith({SYS_DVBS});
  card.SetCount(1);
  ASSERT_EQ(card.AddFilter(0x100, Record), 1);
  ASSERT_EQ(card.AddFilter(0x101, Record), 2);
  kernel.FailNextRead(0x100, EIO);
  kernel.Feed(0x100, Packet(0x100, 0x01));
  kernel.Feed(0x101, Packet(0x101, 0x02));
  ASSERT_TRUE(received.WaitFor(1));
  kernel.Feed(0x101, Packet(0x101, 0x03));
  ASSERT_TRUE(received.WaitFor(2));
  EXPECT_THAT(received.calls, ElementsAre(std::tuple(2, 188, 0x47, 0x02), std::tuple(2, 188, 0x47, 0x03)));
  card.DelFilter(1);
  card.DelFilter(2);
  card.Close();
  EXPECT_EQ(kernel.OpenFiles(), 0);
}

TEST_F(LinuxDvbCard, VanishedAdapterStopsDeliveriesWithoutSpinning) {
  OpenWith({SYS_DVBS});
  card.SetCount(1);
  ASSERT_EQ(card.AddFilter(0x100, Record), 1);
  ASSERT_EQ(card.AddFilter(0x101, Record), 2);
  kernel.Feed(0x100, Packet(0x100, 0x01));
  kernel.Feed(0x101, Packet(0x101, 0x02));
  ASSERT_TRUE(received.WaitFor(2));
  kernel.Vanish();
  // The card closes every dead file itself, at once, so that the kernel can
  // finish the removal.
  ASSERT_TRUE(Eventually([&] { return kernel.OpenFiles() == 0; }));
  // A card that went on polling dead files would read them again; the pause
  // only gives it the time to, so it can miss that fault, never invent it.
  const int64_t reads = kernel.Reads();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(kernel.Reads(), reads) << "a dead file was read again";
  card.DelFilter(2);
  card.DelFilter(1);
  EXPECT_EQ(received.Count(), 2u);
  card.Close();
  EXPECT_EQ(kernel.OpenFiles(), 0);
  for (const auto& line : kernel.Log()) EXPECT_EQ(line.find("closed file"), std::string::npos) << line;
}

TEST_F(LinuxDvbCard, DelFilterWaitsForARunningCallbackUnlessItIsTheFiltersOwn) {
  OpenWith({SYS_DVBS});
  card.SetCount(1);
  // Deleting itself from its own callback must not wait for itself.
  ASSERT_EQ(card.AddFilter(0x100, Record), 1);
  received.deleteOnArrival = 1;
  kernel.Feed(0x100, Packet(0x100, 0x01));
  kernel.Feed(0x100, Packet(0x100, 0x02));
  ASSERT_TRUE(received.WaitFor(1));
  // Its file is closed between two reads: the second packet is never read.
  ASSERT_TRUE(Eventually([&] { return kernel.OpenFiles() == 1; }));

  // From another thread: returns only after the running callback has, and no
  // call follows.
  static std::atomic<bool> inside{false}, release{false}, returned{false}, lateCall{false};
  const TOpenOnExit letGo{release};
  TFilterCallback slow = [](const uint8_t*, int32_t, int32_t) {
    if (returned) lateCall = true;
    inside = true;
    EXPECT_TRUE(Eventually([] { return release.load(); })) << "the test never let the callback return";
  };
  ASSERT_EQ(card.AddFilter(0x101, slow), 2);
  kernel.Feed(0x101, Packet(0x101, 0x03));
  kernel.Feed(0x101, Packet(0x101, 0x04));
  ASSERT_TRUE(Eventually([] { return inside.load(); })) << "the callback never ran";
  const size_t from = kernel.Log().size();
  std::thread deleter([&] {
    card.DelFilter(2);
    returned = true;
  });
  // DelFilter stops the filter's file under the card's lock and gives the
  // lock up by waiting or by returning; DelFilter(0), which names nothing,
  // gets it only after that.
  const bool stopped = Eventually([&] { return Contains(kernel.LogSince(from), "demux stop"); });
  card.DelFilter(0);
  EXPECT_TRUE(stopped) << "DelFilter never stopped the filter's file";
  EXPECT_FALSE(returned) << "DelFilter returned while the filter's callback ran";
  release = true;
  deleter.join();
  // Its file closes on the delivery thread's next round, after any delivery from it.
  EXPECT_TRUE(Eventually([&] { return kernel.OpenFiles() == 1; }));
  EXPECT_FALSE(lateCall);
  EXPECT_EQ(received.Count(), 1u);
  card.Close();
  EXPECT_EQ(kernel.OpenFiles(), 0);
}

TEST_F(LinuxDvbCard, CloseFromACallbackAndReopen) {
  OpenWith({SYS_DVBS});
  card.SetCount(1);
  static TLinuxDvbCard* target = nullptr;
  target = &card;
  ASSERT_EQ(card.AddFilter(0x100, [](const uint8_t*, int32_t, int32_t) { target->Close(); }), 1);
  kernel.Feed(0x100, Packet(0x100, 0x01));
  EXPECT_TRUE(Eventually([&] { return kernel.OpenFiles() == 0; }));
  ASSERT_EQ(card.Open(), 1);
  card.SetCount(1);
  ASSERT_EQ(card.AddFilter(0x100, Record), 1);
  kernel.Feed(0x100, Packet(0x100, 0x02));
  EXPECT_TRUE(received.WaitFor(1));
}

// The installed libraries, as the program loads them.
TEST(LinuxDvbPlugin, LoadsUnderEveryCardName) {
  namespace fs = std::filesystem;
  const fs::path work = fs::temp_directory_path() / ("mc-linuxdvb-" + std::to_string(::getpid()));
  fs::create_directories(work);
  fs::create_symlink(fs::path(MC_BIN_DIR) / "Device", work / "Device");
  const fs::path previous = fs::current_path();
  fs::current_path(work);
  for (const char* name : {"SkyStar1", "SkyStar2", "SkyStar3"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(LoadDevicePlugin(name, Dvb), 0);
    EXPECT_TRUE(Dvb.DVBOpen && Dvb.DVBClose && Dvb.DVBGetInfo && Dvb.DVBSendDiSEqC && Dvb.DVBSetTuner &&
                Dvb.DVBGetTunerStatus && Dvb.DVBAddFilter && Dvb.DVBDelFilter && Dvb.DVBSETCOUNT);
    if (!fs::exists("/dev/dvb")) {
      EXPECT_EQ(Dvb.DVBOpen(0), 0);  // no adapter on this machine
    }
    UnloadDevicePlugin(Dvb);
  }
  fs::current_path(previous);
  fs::remove_all(work);
}

} // namespace
