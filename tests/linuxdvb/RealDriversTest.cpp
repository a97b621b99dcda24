// The Linux DVB card against the fake kernel behaving as real drivers do:
// strict modulation checks, slow locks, legacy meter units, DiSEqC timing,
// refusals with their reasons and a USB card unplugged mid-run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "LinuxDvbCard.h"
#include "device/TunerSignal.h"
#include "linuxdvb/FakeKernel.h"

using linuxdvb::TLinuxDvbCard;

namespace {

std::atomic<int> g_delivered{0};
void CountDelivery(const uint8_t*, int32_t, int32_t) { ++g_delivered; }

TTunerParams DriverParams(uint32_t mhz, uint32_t ksyms, uint32_t loMhz, uint32_t tone, uint32_t voltage) {
  TTunerParams p{};
  p.Frequency = mhz * 1000;
  p.Constant2 = 2;
  p.SymbolRate = ksyms * 1000;
  p.LocalOscillator = loMhz * 1000;
  p.Tone = tone;
  p.Voltage = voltage;
  return p;
}

// Polls a condition for up to `limit`: true as soon as it holds.
bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

dtv_stats Stat(fecap_scale_params scale, int64_t value) {
  dtv_stats s{};
  s.scale = scale;
  if (scale == FE_SCALE_DECIBEL) s.svalue = value;
  else s.uvalue = static_cast<uint64_t>(value);
  return s;
}

const TFakeKernel::TDriverRules kCx24116{"Conexant CX24116/CX24118", true, true};
const TFakeKernel::TDriverRules kGp8psk{"Genpix 8psk-to-USB2 DVB-S", true, false};
const TFakeKernel::TDriverRules kGeneric{};

TEST(RealDrivers, StrictDriversLockOnExplicitValuesInABoundedSequence) {
  struct TCase {
    const char* name;
    TFakeKernel::TDriverRules driver;
    std::set<uint32_t> transponder;  // the systems that find a signal
    int32_t result;
    size_t tunings;
    TFakeKernel::TTuning last;
  };
  const TCase cases[] = {
      {"gp8psk, DVB-S", kGp8psk, {SYS_DVBS}, 1, 1, {SYS_DVBS, 1066000, 2500000, FEC_AUTO, QPSK}},
      {"cx24116, DVB-S", kCx24116, {SYS_DVBS}, 1, 1, {SYS_DVBS, 1066000, 2500000, FEC_AUTO, QPSK}},
      {"cx24116, DVB-S2", kCx24116, {SYS_DVBS2}, 1, 2,
       {SYS_DVBS2, 1066000, 2500000, FEC_3_4, PSK_8, ROLLOFF_35, PILOT_AUTO}},
      {"a driver taking FEC_AUTO, DVB-S2", kGeneric, {SYS_DVBS2}, 1, 2,
       {SYS_DVBS2, 1066000, 2500000, FEC_AUTO, PSK_8, ROLLOFF_35, PILOT_AUTO}},
      {"nothing there: three attempts, then no", kCx24116, {}, 0, 3,
       {SYS_DVBS2, 1066000, 2500000, FEC_3_4, QPSK, ROLLOFF_35, PILOT_AUTO}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TFakeKernel k;
    k.AddFrontend(0, {SYS_DVBS, SYS_DVBS2});
    k.driver = c.driver;
    k.lockOn = c.transponder;
    TLinuxDvbCard dut(k, "");
    ASSERT_EQ(dut.Open(), 1);
    dut.SendDiSEqC(1);
    EXPECT_EQ(dut.SetTuner(DriverParams(4084, 2500, 5150, 0, 18)), c.result);
    const auto tunings = k.Tunings();
    ASSERT_EQ(tunings.size(), c.tunings);
    const auto& t = tunings.back();
    EXPECT_EQ(t.deliverySystem, c.last.deliverySystem);
    EXPECT_EQ(t.frequency, c.last.frequency);
    EXPECT_EQ(t.modulation, c.last.modulation);
    EXPECT_EQ(t.fec, c.last.fec);
    if (t.deliverySystem == SYS_DVBS2) {
      EXPECT_EQ(t.rolloff, c.last.rolloff);
      EXPECT_EQ(t.pilot, c.last.pilot);
    }
    const auto log = k.Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "refused"), 0) << "a value the driver refuses was sent";
  }
}

TEST(RealDrivers, WaitsTwoSecondsForALockAndShowsTheLevelMeanwhile) {
  struct TCase {
    const char* name;
    int readsBeforeLock;
    int32_t result;
    size_t tunings;
  };
  // The card polls every 50 ms: 30 reads are 1.5 s, 45 are more than 2 s.
  const TCase cases[] = {
      {"lock after 1.5 s", 30, 1, 1},
      {"no lock within 2 s", 45, 0, 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TFakeKernel k;
    k.AddFrontend(0, {SYS_DVBS});
    k.lockAfterReads = c.readsBeforeLock;
    k.signalStat = {Stat(FE_SCALE_DECIBEL, -55000)};
    k.cnrStat = {Stat(FE_SCALE_DECIBEL, 7500)};
    TLinuxDvbCard dut(k, "");
    ASSERT_EQ(dut.Open(), 1);
    EXPECT_EQ(dut.SetTuner(DriverParams(4084, 2500, 5150, 0, 18)), c.result);
    EXPECT_EQ(k.Tunings().size(), c.tunings);
    if (c.result == 0) {
      uint8_t level = 77, quality = 77;
      EXPECT_EQ(dut.GetTunerStatus(&level, &quality), 0);
      EXPECT_EQ(level, 50);    // -55 dBm, half way up the scale
      EXPECT_EQ(quality, 0);   // no quality before lock
    }
  }
}

TEST(RealDrivers, MetersPreferDecibelsAndKnowStb0899Units) {
  struct TCase {
    const char* name;
    const char* frontend;
    std::vector<dtv_stats> signal, cnr;
    uint16_t legacySignal, legacySnr;
    uint8_t level, quality;
  };
  const TCase cases[] = {
      {"dB layer after a relative one", "Montage Technology M88DS3103",
       {Stat(FE_SCALE_RELATIVE, 65535), Stat(FE_SCALE_DECIBEL, -85000)},
       {Stat(FE_SCALE_RELATIVE, 65535), Stat(FE_SCALE_DECIBEL, 7500)}, 0, 0, 0, 50},
      {"statistics not available", "Montage Technology M88DS3103",
       {Stat(FE_SCALE_NOT_AVAILABLE, 0)}, {Stat(FE_SCALE_NOT_AVAILABLE, 0)}, 32768, 13107, 50, 20},
      // stb0899: strength in 0.1 dBm + 750, C/N in 0.1 dB.
      {"stb0899, -55 dBm, 7.5 dB", "STB0899 Multistandard", {}, {}, 200, 75, 50, 50},
      {"stb0899, -85 dBm reads below zero", "STB0899 Multistandard", {}, {}, uint16_t(-100), 0, 0, 0},
      {"stb0899, strong, 15 dB", "STB0899 Multistandard", {}, {}, 500, 150, 100, 100},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TFakeKernel k;
    k.AddFrontend(0, {SYS_DVBS});
    k.driver.name = c.frontend;
    k.signalStat = c.signal;
    k.cnrStat = c.cnr;
    k.legacySignal = c.legacySignal;
    k.legacySnr = c.legacySnr;
    TLinuxDvbCard dut(k, "");
    ASSERT_EQ(dut.Open(), 1);
    ASSERT_EQ(dut.SetTuner(DriverParams(4084, 2500, 5150, 0, 18)), 1);
    uint8_t level = 77, quality = 77;
    EXPECT_EQ(dut.GetTunerStatus(&level, &quality), 1);
    EXPECT_EQ(level, c.level);
    EXPECT_EQ(quality, c.quality);
  }
}

TEST(RealDrivers, TheLnbGetsItsPowerUpTimeBeforeTheFirstCommandOnly) {
  TFakeKernel k;
  k.AddFrontend(0, {SYS_DVBS});
  TLinuxDvbCard dut(k, "");
  ASSERT_EQ(dut.Open(), 1);
  for (int i = 0; i < 2; ++i) {
    dut.SendDiSEqC(2);
    dut.SetTuner(DriverParams(4084, 2500, 5150, 0, 18));
  }
  const auto pauses = k.Pauses();
  ASSERT_GE(pauses.size(), 2u);
  EXPECT_GE(pauses.front(), 100);  // after the first voltage
  const auto second = std::find(pauses.begin() + 1, pauses.end(), pauses.front());
  EXPECT_EQ(second, pauses.end()) << "only the first tuning waits for the LNB";
}

TEST(RealDrivers, RefusalsTellTheirReason) {
  struct TCase {
    const char* name;
    std::map<std::string, int> openErrors;
    bool adapter;
    int32_t reason;
  };
  const TCase cases[] = {
      {"busy", {{"/dev/dvb/adapter0/frontend0", EBUSY}}, true, kReasonBusy},
      {"permission", {{"/dev/dvb/adapter0/frontend0", EACCES}}, true, kReasonPermission},
      {"no card", {}, false, kReasonNoCard},
      {"no demux", {{"/dev/dvb/adapter0/demux0", ENOENT}}, true, kReasonNoDemux},
      {"demux busy", {{"/dev/dvb/adapter0/demux0", EBUSY}}, true, kReasonBusy},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TFakeKernel k;
    if (c.adapter) k.AddFrontend(0, {SYS_DVBS});
    k.openErrors = c.openErrors;
    TLinuxDvbCard dut(k, "");
    EXPECT_EQ(dut.Open(), 0);
    EXPECT_EQ(dut.Reason(), c.reason);
    EXPECT_EQ(k.OpenFiles(), 0);
    k.openErrors.clear();
    if (c.adapter) {
      EXPECT_EQ(dut.Open(), 1);  // the reason goes with the refusal
      EXPECT_EQ(dut.Reason(), kReasonNone);
    }
  }
}

TEST(RealDrivers, FilterBuffersShrinkToWhatTheKernelGivesAndARefusalIsTold) {
  struct TCase {
    unsigned long largest;
    unsigned long given;
    int32_t reason;
  };
  const TCase cases[] = {{~0ul, 256 * 1024, kReasonNone}, {100 * 1024, 64 * 1024, kReasonNone},
                         {16 * 1024, 0, kReasonBufferRefused}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.largest);
    TFakeKernel k;
    k.AddFrontend(0, {SYS_DVBS});
    k.largestBuffer = c.largest;
    TLinuxDvbCard dut(k, "");
    ASSERT_EQ(dut.Open(), 1);
    EXPECT_NE(dut.AddFilter(0x100, CountDelivery), 0);  // the filter works on the default buffer
    EXPECT_EQ(k.LastBufferSize(), c.given);
    EXPECT_EQ(dut.Reason(), c.reason);
  }
  // 250 filters never ask the kernel for a quarter of a gigabyte.
  EXPECT_LE(250 * 256ul * 1024, 64ul << 20);
}

TEST(RealDrivers, OverflowsAreCountedPerFilter) {
  TFakeKernel k;
  k.AddFrontend(0, {SYS_DVBS});
  TLinuxDvbCard dut(k, "");
  ASSERT_EQ(dut.Open(), 1);
  g_delivered = 0;
  dut.SetCount(1);
  ASSERT_EQ(dut.AddFilter(0x100, CountDelivery), 1);
  ASSERT_EQ(dut.AddFilter(0x101, CountDelivery), 2);
  k.FailNextRead(0x101, EOVERFLOW);
  k.Feed(0x101, Packet(0x101, 0x01));
  ASSERT_TRUE(Eventually([] { return g_delivered == 1; }));
  EXPECT_EQ(dut.FilterOverflows(1), 0);
  EXPECT_EQ(dut.FilterOverflows(2), 1);
  EXPECT_EQ(dut.FilterOverflows(3), -1);
}

TEST(OverflowNotices, TellEachChannelAtMostOnceAMinuteAndLoseNothing) {
  using namespace std::chrono_literals;
  const TOverflowNotices::TClock::time_point t0{};
  struct TStep {
    std::chrono::seconds at;
    std::vector<int64_t> counts;
    std::vector<size_t> told;
  };
  const TStep steps[] = {
      {0s, {0, 0, -1}, {}},     {1s, {2, 0, -1}, {0}},  {2s, {5, 1, -1}, {1}},  // row 0 waits its minute
      {60s, {5, 1, -1}, {}},    {61s, {5, 1, -1}, {0}},  // the losses of the quiet minute
      {62s, {5, 1, -1}, {}},    {200s, {5, 1, -1}, {}},  // nothing new
      {201s, {6, 2, -1}, {0, 1}},
  };
  TOverflowNotices notices;
  for (const TStep& s : steps) {
    SCOPED_TRACE(s.at.count());
    EXPECT_EQ(notices.Check(s.counts, t0 + s.at), s.told);
  }
}

class UnpluggedCard : public ::testing::Test {
 protected:
  void SetUp() override {
    g_delivered = 0;
    kernel.AddFrontend(0, {SYS_DVBS});
    ASSERT_EQ(card.Open(), 1);
    ASSERT_EQ(card.SetTuner(DriverParams(4084, 2500, 5150, 0, 18)), 1);
  }
  TFakeKernel kernel;
  TLinuxDvbCard card{kernel, ""};
};

TEST_F(UnpluggedCard, IsReportedClosedAndQuietAndComesBackWhenReplugged) {
  card.SetCount(1);
  ASSERT_EQ(card.AddFilter(0x100, CountDelivery), 1);
  ASSERT_EQ(card.AddFilter(0x101, CountDelivery), 2);
  kernel.Feed(0x100, Packet(0x100, 0x01));
  ASSERT_TRUE(Eventually([] { return g_delivered == 1; }));

  kernel.Vanish();
  // Every file closed by the card itself, so that the kernel can finish the
  // removal, before anyone asks for the status.
  ASSERT_TRUE(Eventually([&] { return kernel.OpenFiles() == 0; }));
  EXPECT_TRUE(card.Lost());
  uint8_t level = 77, quality = 77;
  EXPECT_EQ(card.GetTunerStatus(&level, &quality), kTunerStatusLost);
  EXPECT_EQ(level, 0);
  EXPECT_EQ(quality, 0);

  // Nothing polls or reads a card that is gone, so it costs no CPU. (A wait
  // for nothing to happen: load can only make it pass more easily.)
  const int64_t polls = kernel.Polls();
  const int64_t reads = kernel.Reads();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(kernel.Polls(), polls);
  EXPECT_EQ(kernel.Reads(), reads);
  EXPECT_EQ(card.AddFilter(0x102, CountDelivery), 0);
  EXPECT_EQ(card.SetTuner(DriverParams(4084, 2500, 5150, 0, 18)), 0);
  card.DelFilter(1);
  card.DelFilter(2);
  EXPECT_EQ(g_delivered, 1);

  // The program closes and opens again once the card is back.
  kernel.Replug();
  card.Close();
  ASSERT_EQ(card.Open(), 1);
  EXPECT_NE(card.GetTunerStatus(&level, &quality), kTunerStatusLost);
  card.SetCount(1);
  ASSERT_EQ(card.AddFilter(0x100, CountDelivery), 1);
  kernel.Feed(0x100, Packet(0x100, 0x02));
  EXPECT_TRUE(Eventually([] { return g_delivered == 2; }));
  card.Close();
  for (const auto& line : kernel.Log()) EXPECT_EQ(line.find("closed file"), std::string::npos) << line;
}

TEST_F(UnpluggedCard, WithoutFiltersIsFoundByTheStatusCall) {
  kernel.Vanish();
  uint8_t level = 77, quality = 77;
  EXPECT_EQ(card.GetTunerStatus(&level, &quality), kTunerStatusLost);
  EXPECT_EQ(level, 0);
  EXPECT_EQ(kernel.OpenFiles(), 0);
  EXPECT_EQ(card.GetTunerStatus(&level, &quality), kTunerStatusLost);  // and stays so
}

TEST_F(UnpluggedCard, ARemovedFilterIsNotTakenForTheDevice) {
  card.SetCount(1);
  ASSERT_EQ(card.AddFilter(0x100, CountDelivery), 1);
  ASSERT_EQ(card.AddFilter(0x101, CountDelivery), 2);
  card.DelFilter(1);
  kernel.FailNextRead(0x101, EOVERFLOW);  // POLLERR on a live filter that is no unplug
  kernel.Feed(0x101, Packet(0x101, 0x01));
  EXPECT_TRUE(Eventually([] { return g_delivered == 1; }));
  EXPECT_FALSE(card.Lost());
}

} // namespace
