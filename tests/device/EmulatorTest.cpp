// The Emulator card through its nine exports and its test controls.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "device/EmulatorHarness.h"
#include "device/TempFolder.h"
#include "app/ProcessWide.h"
#include "device/DevicePlugin.h"
#include "tsbuilder/SampleTransponders.h"
#include "tsbuilder/TransponderBuilder.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// How long a wait goes on before the test gives up: only a hung card takes it.
constexpr auto kPatience = 30s;
constexpr int kReplayTimeoutMs = 30000;
constexpr uint16_t kTestAudioPid = 557;  // service 301 of 3900V

// What the callbacks received, per reported handle.
struct TReceived {
  std::mutex mutex;
  std::map<int32_t, std::vector<uint8_t>> bytes;
  std::map<int32_t, int> calls;
  std::set<int32_t> deleted;  // handles whose DVBDelFilter has returned
  int callsAfterDelete = 0;
  int badCalls = 0;  // wrong length or, for whole packets, no sync byte
  int32_t expectedLength = 184;
} g_received;

TDVBDelFilter g_delFilter = nullptr;

void Record(const uint8_t* data, int32_t length, int32_t handle) {
  std::lock_guard lock(g_received.mutex);
  if (length != g_received.expectedLength || (length == 188 && data[0] != 0x47)) ++g_received.badCalls;
  if (g_received.deleted.count(handle)) ++g_received.callsAfterDelete;
  g_received.bytes[handle].insert(g_received.bytes[handle].end(), data, data + length);
  ++g_received.calls[handle];
}

// Removes its own filter on its first call.
void DeleteSelf(const uint8_t* data, int32_t length, int32_t handle) {
  Record(data, length, handle);
  g_delFilter(handle);
}

void ResetReceived(int32_t expectedLength) {
  std::lock_guard lock(g_received.mutex);
  g_received.bytes.clear();
  g_received.calls.clear();
  g_received.deleted.clear();
  g_received.callsAfterDelete = g_received.badCalls = 0;
  g_received.expectedLength = expectedLength;
}

int Calls(int32_t handle) {
  std::lock_guard lock(g_received.mutex);
  return g_received.calls.count(handle) ? g_received.calls[handle] : 0;
}

std::vector<uint8_t> Bytes(int32_t handle) {
  std::lock_guard lock(g_received.mutex);
  return g_received.bytes[handle];
}

template <typename Pred>
bool WaitFor(Pred pred) {
  const auto end = Clock::now() + kPatience;
  while (!pred()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// The card as the program loads it: Device/Emulator.so through the loader.
class EmulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TWorkingDirectory cwd(MC_BIN_DIR);
    ASSERT_EQ(LoadDevicePlugin("Emulator", Dvb), 0);
    void* self = ::dlopen(BuiltEmulator().c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(self, nullptr);
    ASSERT_TRUE(card_.Resolve(self));
    g_delFilter = Dvb.DVBDelFilter;
    ASSERT_NE(Dvb.DVBOpen(0), 0);
    card_.SetReplaySpeed(0);
    ResetReceived(184);
  }
  void TearDown() override {
    if (Dvb.DVBClose) Dvb.DVBClose();
    card_.Unload();
    UnloadDevicePlugin(Dvb);  // unloads a stopped card
  }
  TEmulatorLibrary card_;
};

TEST_F(EmulatorTest, PayloadModeDeliversExactlyEachPidsPayloadsInOrder) {
  ASSERT_EQ(Tune(Dvb, 3900, true), 1);
  card_.Hold(1);
  Dvb.DVBSETCOUNT(0);
  const int32_t pat = Dvb.DVBAddFilter(0x0000, Record, 2, 0, 0, 0);
  const int32_t sdt = Dvb.DVBAddFilter(0x0011, Record, 2, 0, 0, 0);
  const int32_t audio = Dvb.DVBAddFilter(kTestAudioPid, Record, 2, 0, 0, 0);
  const int32_t audio2 = Dvb.DVBAddFilter(kTestAudioPid, Record, 2, 0, 0, 0);
  EXPECT_EQ((std::set<int32_t>{pat, sdt, audio, audio2}).size(), 4u);
  EXPECT_EQ(std::set<int32_t>({pat, sdt, audio, audio2}).count(0), 0u);
  ASSERT_EQ(card_.ReplayOnce(kReplayTimeoutMs), 1);

  const auto ts = ReadWholeFile(EmulatorDataFolder() / "3900V.ts");
  EXPECT_EQ(Bytes(pat), PacketsOfPid(ts, 0x0000, true));
  EXPECT_EQ(Bytes(sdt), PacketsOfPid(ts, 0x0011, true));
  EXPECT_EQ(Bytes(audio), PacketsOfPid(ts, kTestAudioPid, true));
  EXPECT_EQ(Bytes(audio2), Bytes(audio));
  EXPECT_FALSE(Bytes(pat).empty());
  EXPECT_EQ(Bytes(pat)[0], 0x00) << "a section-opening payload begins with its pointer field";
  std::lock_guard lock(g_received.mutex);
  EXPECT_EQ(g_received.badCalls, 0);
}

TEST_F(EmulatorTest, WholePacketModeNumbersFiltersFromOneAfterTheSwitch) {
  ASSERT_EQ(Tune(Dvb, 3900, true), 1);
  card_.Hold(1);
  ResetReceived(188);
  Dvb.DVBSETCOUNT(0);
  const int32_t scanLeftover = Dvb.DVBAddFilter(0x0011, Record, 2, 0, 0, 0);
  ASSERT_NE(scanLeftover, 0);
  Dvb.DVBDelFilter(scanLeftover);
  Dvb.DVBSETCOUNT(1);
  EXPECT_EQ(Dvb.DVBAddFilter(kTestAudioPid, Record, 2, 0, 0, 0), 1);
  EXPECT_EQ(Dvb.DVBAddFilter(558, Record, 2, 0, 0, 0), 2);
  EXPECT_EQ(Dvb.DVBAddFilter(0x0000, Record, 2, 0, 0, 0), 3);
  ASSERT_EQ(card_.ReplayOnce(kReplayTimeoutMs), 1);

  const auto ts = ReadWholeFile(EmulatorDataFolder() / "3900V.ts");
  EXPECT_EQ(Bytes(1), PacketsOfPid(ts, kTestAudioPid, false));
  EXPECT_EQ(Bytes(2), PacketsOfPid(ts, 558, false));
  EXPECT_EQ(Bytes(3), PacketsOfPid(ts, 0x0000, false));
  EXPECT_EQ(Calls(1) * 188, static_cast<int>(Bytes(1).size()));
  {
    std::lock_guard lock(g_received.mutex);
    EXPECT_EQ(g_received.badCalls, 0);
  }
  // The capture stop removes 0 .. rows; 0 names nothing and is ignored.
  for (int k = 0; k <= 3; ++k) Dvb.DVBDelFilter(k);
  EXPECT_EQ(card_.FilterCount(), 0);
  // A new switch numbers from 1 again; a refused call uses its number up, so
  // the capture's k-th row still meets the k-th number.
  Dvb.DVBSETCOUNT(1);
  EXPECT_EQ(Dvb.DVBAddFilter(kTestAudioPid, Record, 2, 0, 0, 0), 1);
  EXPECT_EQ(Dvb.DVBAddFilter(9000, Record, 2, 0, 0, 0), 0);
  EXPECT_EQ(Dvb.DVBAddFilter(558, Record, 2, 0, 0, 0), 3);
}

TEST_F(EmulatorTest, FilterLimitRefusesFurtherFiltersAndBadArguments) {
  EXPECT_EQ(card_.SetFilterLimit(32), 256);
  Dvb.DVBSETCOUNT(0);
  std::vector<int32_t> handles;
  for (int i = 0; i < 32; ++i) {
    handles.push_back(Dvb.DVBAddFilter(0x100 + i, Record, 2, 0, 0, 0));
    ASSERT_NE(handles.back(), 0) << "filter " << i + 1;
  }
  EXPECT_EQ(Dvb.DVBAddFilter(0x200, Record, 2, 0, 0, 0), 0) << "the 33rd is refused";
  Dvb.DVBDelFilter(handles[5]);
  Dvb.DVBDelFilter(handles[5]);  // twice: the second names nothing
  EXPECT_EQ(card_.FilterCount(), 31);
  EXPECT_NE(Dvb.DVBAddFilter(0x200, Record, 2, 0, 0, 0), 0) << "room again after a removal";
  card_.SetFilterLimit(256);
  EXPECT_EQ(Dvb.DVBAddFilter(-1, Record, 2, 0, 0, 0), 0);
  EXPECT_EQ(Dvb.DVBAddFilter(0x2000, Record, 2, 0, 0, 0), 0);
  EXPECT_EQ(Dvb.DVBAddFilter(0x100, nullptr, 2, 0, 0, 0), 0);
}

TEST_F(EmulatorTest, NoCallArrivesAfterDelFilterReturns) {
  ASSERT_EQ(Tune(Dvb, 4084, false), 1);  // looping at full speed
  Dvb.DVBSETCOUNT(0);
  auto churn = [&](uint16_t pid) {
    for (int round = 0; round < 40; ++round) {
      const int32_t h = Dvb.DVBAddFilter(pid, Record, 2, 0, 0, 0);
      ASSERT_NE(h, 0);
      EXPECT_TRUE(WaitFor([&] { return Calls(h) > 0; })) << "PID " << pid;
      Dvb.DVBDelFilter(h);
      std::lock_guard lock(g_received.mutex);
      g_received.deleted.insert(h);
    }
  };
  std::thread a(churn, uint16_t{357}), b(churn, uint16_t{358});
  churn(0x0000);
  a.join();
  b.join();
  std::lock_guard lock(g_received.mutex);
  EXPECT_EQ(g_received.callsAfterDelete, 0);
  EXPECT_GT(g_received.calls.size(), 100u);
}

TEST_F(EmulatorTest, FilterMayRemoveItselfFromItsCallback) {
  ASSERT_EQ(Tune(Dvb, 3900, true), 1);
  card_.Hold(1);
  Dvb.DVBSETCOUNT(0);
  const int32_t self = Dvb.DVBAddFilter(kTestAudioPid, DeleteSelf, 2, 0, 0, 0);
  const int32_t other = Dvb.DVBAddFilter(kTestAudioPid, Record, 2, 0, 0, 0);
  ASSERT_EQ(card_.ReplayOnce(kReplayTimeoutMs), 1);
  EXPECT_EQ(Calls(self), 1);
  EXPECT_EQ(Bytes(other), PacketsOfPid(ReadWholeFile(EmulatorDataFolder() / "3900V.ts"), kTestAudioPid, true));
  EXPECT_EQ(card_.FilterCount(), 1);
}

TEST_F(EmulatorTest, SignalOnlyWhileAFileIsTuned) {
  uint8_t level = 99, quality = 99;
  Dvb.DVBGetTunerStatus(&level, &quality);
  EXPECT_EQ(level, 0);
  EXPECT_EQ(quality, 0);
  EXPECT_EQ(Tune(Dvb, 4084, false), 1);
  EXPECT_EQ(card_.LastDiSEqC(), 1);
  std::set<int> levels;
  for (int i = 0; i < 20; ++i) {
    Dvb.DVBGetTunerStatus(&level, &quality);
    EXPECT_GE(level, 70);
    EXPECT_LE(level, 85);
    EXPECT_GE(quality, 80);
    EXPECT_LE(quality, 95);
    levels.insert(level);
  }
  EXPECT_GT(levels.size(), 1u) << "the meter wanders a little";
  EXPECT_EQ(Tune(Dvb, 4084, true), 0) << "no vertical file at 4084";
  Dvb.DVBGetTunerStatus(&level, &quality);
  EXPECT_EQ(level, 0);
  EXPECT_EQ(quality, 0);
  EXPECT_EQ(Tune(Dvb, 1111, false), 0);
  Dvb.DVBGetTunerStatus(&level, &quality);
  EXPECT_EQ(level, 0);
}

// transport_stream_id of the PAT payloads received so far.
std::set<int> PatStreamIds(int32_t handle) {
  const auto bytes = Bytes(handle);
  std::set<int> ids;
  for (size_t at = 0; at + 184 <= bytes.size(); at += 184) ids.insert((bytes[at + 4] << 8) | bytes[at + 5]);
  return ids;
}

TEST_F(EmulatorTest, RetuneSwitchesTheFileCleanlyAndLoops) {
  ASSERT_EQ(Tune(Dvb, 3900, true), 1);
  Dvb.DVBSETCOUNT(0);
  const int32_t pat = Dvb.DVBAddFilter(0x0000, Record, 2, 0, 0, 0);
  const auto filePackets = static_cast<int64_t>(fs::file_size(EmulatorDataFolder() / "3900V.ts") / 188);
  // Counted from here: at full speed much of the file may be gone before the filter is in.
  const int64_t start = card_.PacketsReplayed();
  ASSERT_TRUE(WaitFor([&] { return card_.PacketsReplayed() > start + 2 * filePackets; }))
      << "the file replays in a loop";
  EXPECT_GT(Calls(pat), 2 * 50) << "two passes carry 2 x 60 PAT packets";
  EXPECT_EQ(PatStreamIds(pat), std::set<int>{3900});
  ASSERT_EQ(Tune(Dvb, 4084, false), 1);
  ResetReceived(184);
  ASSERT_TRUE(WaitFor([&] { return Calls(pat) > 20; }));
  EXPECT_EQ(PatStreamIds(pat), std::set<int>{4084}) << "nothing of the old file after the retune";
}

// The most packets a replay at real time can have sent since `start`: what
// the stream's own clock allows for the time gone by, and half a second of it
// more for the packets that go out at once between two time stamps. A busy
// machine only holds a replay back, so a paced card stays below it however
// loaded the machine is; read the card's counter before calling this.
int64_t PacedCeiling(double packetsPerSecond, Clock::time_point start) {
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<int64_t>(packetsPerSecond * (seconds + 0.5));
}

TEST_F(EmulatorTest, RealTimeReplayIsPaced) {
  const auto filePackets = static_cast<int64_t>(fs::file_size(EmulatorDataFolder() / "3900V.ts") / 188);
  const double perSecond = static_cast<double>(filePackets) / tsb::TestTransponder().seconds;
  card_.SetReplaySpeed(1);
  const auto start = Clock::now();
  ASSERT_EQ(Tune(Dvb, 3900, true), 1);
  ASSERT_TRUE(WaitFor([&] { return card_.PacketsReplayed() > 0; })) << "nothing replayed";
  // Gives a card that does not pace the time to run ahead: it can only let
  // such a card pass, never fail one that paces.
  std::this_thread::sleep_for(300ms);
  const int64_t replayed = card_.PacketsReplayed();
  EXPECT_LE(replayed, PacedCeiling(perSecond, start)) << "replayed faster than real time";
  EXPECT_EQ(card_.SetReplaySpeed(-1), 0);
}

// A busy stream whose PCRs lie further apart than one read of the card: it
// must still go out at its real rate, not as fast as the file can be read.
TEST_F(EmulatorTest, BusyStreamWithSparsePcrIsPaced) {
  constexpr int kPacketsPerPcr = 2000;  // 100 ms apart: 3.76 MB/s
  constexpr int kPcrsPerSecond = 10;
  constexpr int kPcrs = 20;             // two seconds of stream
  std::vector<uint8_t> ts;
  ts.reserve(size_t{kPcrs} * kPacketsPerPcr * 188);
  for (int i = 0; i < kPcrs; ++i) {
    uint8_t pcr[188];
    std::fill(pcr, pcr + 188, 0xFF);
    const uint64_t value = uint64_t(i) * 27000000 / kPcrsPerSecond;  // 27 MHz clock
    const uint64_t base = value / 300, ext = value % 300;
    pcr[0] = 0x47; pcr[1] = 0x01; pcr[2] = 0x00; pcr[3] = 0x20; pcr[4] = 183; pcr[5] = 0x10;
    pcr[6] = uint8_t(base >> 25); pcr[7] = uint8_t(base >> 17); pcr[8] = uint8_t(base >> 9);
    pcr[9] = uint8_t(base >> 1); pcr[10] = uint8_t(((base & 1) << 7) | 0x7E | (ext >> 8)); pcr[11] = uint8_t(ext);
    ts.insert(ts.end(), pcr, pcr + 188);
    for (int k = 1; k < kPacketsPerPcr; ++k) {
      uint8_t filler[188];
      std::fill(filler, filler + 188, 0x00);
      filler[0] = 0x47; filler[1] = 0x02; filler[2] = 0x00; filler[3] = 0x10;
      ts.insert(ts.end(), filler, filler + 188);
    }
  }
  // A card of its own: the built card's folder is shared with other tests.
  TTempFolder root;
  TEmulatorLibrary busy;
  ASSERT_TRUE(busy.Load(CopyEmulator(root.Path(), {{"12999H.ts", ts}})));
  ASSERT_NE(busy.dvb.DVBOpen(0), 0);
  busy.SetReplaySpeed(1);
  const auto start = Clock::now();
  ASSERT_EQ(Tune(busy.dvb, 12999, false), 1);
  ASSERT_TRUE(WaitFor([&] { return busy.PacketsReplayed() > 0; })) << "nothing replayed";
  // Gives a card that does not pace the time to run ahead: it can only let
  // such a card pass, never fail one that paces.
  std::this_thread::sleep_for(300ms);
  const int64_t replayed = busy.PacketsReplayed();
  EXPECT_LE(replayed, PacedCeiling(double{kPacketsPerPcr} * kPcrsPerSecond, start))
      << "replayed faster than the stream's clock";
  busy.Unload();
}

TEST_F(EmulatorTest, CloseStopsTheCard) {
  ASSERT_EQ(Tune(Dvb, 4084, false), 1);
  Dvb.DVBSETCOUNT(1);
  ASSERT_EQ(Dvb.DVBAddFilter(357, Record, 2, 0, 0, 0), 1);
  ASSERT_TRUE(WaitFor([] { return Calls(1) > 0; }));
  Dvb.DVBClose();
  const int calls = Calls(1);
  const int64_t delivered = card_.PacketsDelivered();
  EXPECT_EQ(Dvb.DVBAddFilter(357, Record, 2, 0, 0, 0), 0);
  EXPECT_EQ(Tune(Dvb, 4084, false), 0);
  EXPECT_EQ(card_.FilterCount(), 0);
  EXPECT_EQ(card_.PacketsDelivered(), delivered);
  ASSERT_NE(Dvb.DVBOpen(0), 0) << "opens again";
  // Opening finishes any delivery thread a close left running, so every call
  // that one could make has been made by now.
  EXPECT_EQ(Calls(1), calls) << "a call arrived after DVBClose returned";
  EXPECT_EQ(Tune(Dvb, 4084, false), 1);
}

// A copy of the library elsewhere finds Emulator/ beside itself.
TEST(EmulatorCopyTest, FindsItsFolderBesideTheLibraryAndStopsOnUnload) {
  TTempFolder root;
  tsb::TTransponderSpec plan;
  plan.seconds = 1.0;
  tsb::TServiceSpec radio;
  radio.serviceId = 7;
  radio.name = "Tiny";
  radio.pmtPid = 0x107;
  radio.audioPid = 0x207;
  plan.services = {radio};
  const fs::path copyPath = CopyEmulator(root.Path(), {{"1234V.ts", tsb::BuildTransponder(plan).ts}});

  TWorkingDirectory cwd(fs::temp_directory_path());  // not where the data is
  TEmulatorLibrary copy;
  ASSERT_TRUE(copy.Load(copyPath));
  ASSERT_NE(copy.dvb.DVBOpen(0), 0);
  copy.SetReplaySpeed(0);
  EXPECT_EQ(Tune(copy.dvb, 1234, false), 0);
  ASSERT_EQ(Tune(copy.dvb, 1234, true), 1);
  ResetReceived(188);
  copy.dvb.DVBSETCOUNT(1);
  ASSERT_EQ(copy.dvb.DVBAddFilter(0x207, Record, 2, 0, 0, 0), 1);
  ASSERT_TRUE(WaitFor([] { return Calls(1) > 10; }));
  // Unloading a running card stops and joins its thread first.
  copy.Unload();
  // Nothing is called after that. The pause only gives a card left running
  // the time to show it: it can miss that fault, never invent it.
  const int calls = Calls(1);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(Calls(1), calls);

  TTempFolder bare;
  fs::create_directories(bare.Path() / "Device");
  fs::copy_file(BuiltEmulator(), bare.Path() / "Device" / "Emulator.so");
  TEmulatorLibrary lonely;
  ASSERT_TRUE(lonely.Load(bare.Path() / "Device" / "Emulator.so"));
  EXPECT_EQ(lonely.dvb.DVBOpen(0), 0) << "no Emulator/ folder beside it";
  lonely.Unload();
}

} // namespace
