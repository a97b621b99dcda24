// The scan on the Emulator card, loaded as the program loads a card, replaying
// the sample transponders and a stream muxed by ffmpeg.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "channels/ChannelList.h"
#include "device/EmulatorHarness.h"
#include "device/TempFolder.h"
#include "app/ProcessWide.h"
#include "device/DevicePlugin.h"
#include "scan/Sections.h"
#include "scan/TransponderScan.h"
#include "support/Command.h"
#include "base/Cp1251.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct Row {
  std::string Name, Pid;  // the name as listed: CP1251 and cleaned
  bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Row& r) { return os << r.Name << " / " << r.Pid; }

std::vector<Row> Rows(const TChannelList& list) {
  std::vector<Row> rows;
  for (const auto& r : list.Rows()) rows.push_back({r.Name, r.Pid});
  return rows;
}

std::string Listed(const std::string& utf8Name) { return MakeFileSafeName(text::Utf8ToCp1251(utf8Name)); }

// The radio services of a transponder's manifest that a scan lists, in order:
// service_id, name, pmt_pid, audio_pid, kind, ..., in_pat, in_sdt.
std::vector<Row> ExpectedFromManifest(const fs::path& manifest) {
  std::ifstream in(manifest);
  std::vector<Row> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string field; std::getline(ss, field, '\t');) f.push_back(field);
    if (f.size() < 10) continue;
    if (f[4] == "radio" && f[8] == "1" && f[9] == "1") rows.push_back({Listed(f[1]), f[3]});
  }
  return rows;
}

// The card as the program loads it, from a folder holding Device/Emulator.so
// and Device/Emulator/*.ts, open and tuned.
class EmulatorScan {
 public:
  EmulatorScan(const fs::path& install, uint32_t mhz, bool vertical, double speed) {
    TWorkingDirectory cwd(install);
    loaded_ = LoadDevicePlugin("Emulator", Dvb) == 0;
    if (!loaded_) return;
    void* self = ::dlopen(FindDevicePlugin("Emulator").c_str(), RTLD_NOW | RTLD_NOLOAD);
    controls_ = self && card.Resolve(self);
    if (self) ::dlclose(self);
    if (!controls_ || Dvb.DVBOpen(0) == 0) return;
    open_ = true;
    card.SetReplaySpeed(speed);
    Tune(Dvb, mhz, vertical);
  }
  ~EmulatorScan() {
    if (open_) Dvb.DVBClose();
    UnloadDevicePlugin(Dvb);
  }
  bool Ready() const { return loaded_ && controls_ && open_; }

  TEmulatorLibrary card;  // the test controls; card.handle stays null

 private:
  bool loaded_ = false, controls_ = false, open_ = false;
};

ScanHooks ShortHooks() {
  ScanHooks h;
  h.Timings.FilterStart = 1s;
  h.Timings.Pat = 2s;
  return h;
}

class ScanEmulatorTest : public ::testing::Test {
 protected:
  const fs::path data = EmulatorDataFolder();
};

} // namespace

TEST_F(ScanEmulatorTest, SampleTransponderGivesItsRadioServicesWithAnyFilterLimit) {
  const std::vector<Row> expected = ExpectedFromManifest(data / "4084H.txt");
  ASSERT_GE(expected.size(), 2u);
  // The manifest's own cases: a cleaned Latin name, a PCR-only service.
  EXPECT_NE(std::find(expected.begin(), expected.end(), Row{"Europa_Plus__Moscow_", "358"}), expected.end());
  EXPECT_NE(std::find_if(expected.begin(), expected.end(), [](const Row& r) { return r.Pid == "0"; }),
            expected.end());
  for (int limit : {256, 4}) {
    SCOPED_TRACE(limit);
    EmulatorScan card(MC_BIN_DIR, 4084, false, 8.0);
    ASSERT_TRUE(card.Ready());
    card.card.SetFilterLimit(limit);
    TChannelList list;
    ScanAndFill(Dvb, list);
    EXPECT_EQ(Rows(list), expected);
    EXPECT_EQ(ScanResult.TransportStreamId, 4084);
    EXPECT_EQ(card.card.FilterCount(), 0);
    EXPECT_TRUE(ActiveSections.empty());
  }
}

TEST_F(ScanEmulatorTest, ServicesOutsideThePatAreLeftOut) {
  const std::vector<Row> expected = ExpectedFromManifest(data / "3900V.txt");
  EmulatorScan card(MC_BIN_DIR, 3900, true, 8.0);
  ASSERT_TRUE(card.Ready());
  TChannelList list;
  ScanAndFill(Dvb, list);
  EXPECT_EQ(Rows(list), expected);
  // Not the SDT-only service nor the time-shifted one.
  EXPECT_EQ(Rows(list), (std::vector<Row>{{Listed("Вести ФМ"), "557"}, {"Talk_Radio", "558"}}));
  // The TV service is in the result with its details, but not in the list.
  bool tv = false;
  for (int i = 0; i < ScanResult.Count; ++i)
    if (ScanResult.Services[i].VideoPid != 0) tv = ScanResult.Services[i].IsH264 == 1;
  EXPECT_TRUE(tv);
}

TEST_F(ScanEmulatorTest, MissingTransponderFileGivesAnEmptyListWithinTheDeadlines) {
  EmulatorScan card(MC_BIN_DIR, 11111, false, 8.0);
  ASSERT_TRUE(card.Ready());
  TChannelList list;
  list.AddChannelRow("old", "100", "0");
  ScanHooks hooks = ShortHooks();
  // Every pause sleeps at least one step: a scan that outlived its deadlines
  // pauses more often, a slow machine only less often.
  int pauses = 0;
  hooks.ProcessEvents = [&] { ++pauses; };
  ScanAndFill(Dvb, list, hooks);
  const auto& t = hooks.Timings;
  EXPECT_LE(pauses, (t.FilterStart + t.Pat) / std::min(t.WaitStep, t.RetryStep) + 10);
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(card.card.FilterCount(), 0);
}

// ffmpeg muxes two radio programs with UTF-8 Cyrillic names and a TV
// program; the scan's rows must match ffprobe's view of the programs.
TEST_F(ScanEmulatorTest, FfmpegMultiProgramStreamMatchesFfprobe) {
  if (!testsupport::HaveTool("ffmpeg") || !testsupport::HaveTool("ffprobe"))
    GTEST_SKIP() << "ffmpeg or ffprobe not installed";
  TTempFolder install;
  fs::create_directories(install.Path() / "Device" / "Emulator");
  fs::copy_file(BuiltEmulator(), install.Path() / "Device" / "Emulator.so");
  const fs::path ts = install.Path() / "Device" / "Emulator" / "12345H.ts";
  const std::string mux =
      "ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=3 -f lavfi -i sine=frequency=660:duration=3 "
      "-f lavfi -i testsrc=duration=3:size=160x120:rate=10 "
      "-map 0:a -map 1:a -map 2:v -c:a mp2 -b:a 128k -c:v mpeg2video "
      "-program 'program_num=10:title=Радио Один (тест):st=0' "
      "-program 'program_num=20:title=Вторая, программа!:st=1' "
      "-program 'program_num=30:title=Телевидение:st=2' "
      "-metadata service_provider=Тест -f mpegts '" + ts.string() + "'";
  ASSERT_EQ(std::system(mux.c_str()), 0);

  // ffprobe's programs: number, service name, and whether each has video.
  const testsupport::TCommandResult probe =
      testsupport::RunCommand("ffprobe -v error -show_programs -of flat '" + ts.string() + "'");
  ASSERT_EQ(probe.exitStatus, 0);
  struct Program {
    std::string name, audioPid;
    bool video = false;
  };
  std::map<std::string, Program> programs;  // by "programs.program.N"
  std::istringstream in(probe.output);
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    const size_t dot = key.find('.', key.find("program.") + 8);
    Program& p = programs[key.substr(0, dot)];
    const std::string rest = key.substr(dot + 1);
    if (rest == "tags.service_name") p.name = value;
    if (rest.ends_with(".codec_type") && value == "video") p.video = true;
    if (rest.ends_with(".id") && rest.starts_with("streams.") && p.audioPid.empty())
      p.audioPid = std::to_string(std::stoi(value, nullptr, 16));
  }
  std::vector<Row> expected;
  for (const auto& [key, p] : programs)
    if (!p.video) expected.push_back({Listed(p.name), p.audioPid});
  ASSERT_EQ(expected.size(), 2u);

  EmulatorScan card(install.Path(), 12345, false, 4.0);
  ASSERT_TRUE(card.Ready());
  TChannelList list;
  ScanAndFill(Dvb, list);
  std::vector<Row> rows = Rows(list);
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.Pid < b.Pid; });
  std::sort(expected.begin(), expected.end(), [](const Row& a, const Row& b) { return a.Pid < b.Pid; });
  EXPECT_EQ(rows, expected);
  EXPECT_EQ(rows.front().Name, "\xD0\xE0\xE4\xE8\xEE_\xCE\xE4\xE8\xED__\xF2\xE5\xF1\xF2_");
}
