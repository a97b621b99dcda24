#include "device/TransponderSettings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "device/TempFolder.h"
#include "app/ProcessWide.h"
#include "device/DevicePlugin.h"
#include "base/Convert.h"
#include "base/InOutError.h"

namespace fs = std::filesystem;

namespace {

std::string ReadBytes(const fs::path& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

void WriteBytes(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// The recording fake card: "D<port>" and "T<record bytes>" in call order.
std::vector<std::string> g_calls;
int32_t RecordDiseqc(int32_t port) { g_calls.push_back("D" + std::to_string(port)); return 1; }
int32_t RecordTuner(TTunerParams p) { g_calls.push_back("T" + std::string(reinterpret_cast<char*>(&p), sizeof p)); return 1; }
const TDevicePlugin kRecordingCard = [] {
  TDevicePlugin card;
  card.DVBSendDiSEqC = RecordDiseqc;
  card.DVBSetTuner = RecordTuner;
  return card;
}();

// The record as the card reads it: little-endian fields, then the reserved u32, u8, u32, u32.
std::string Tuner(uint32_t frequency, uint32_t symbolRate, uint32_t localOscillator, uint32_t tone, uint32_t voltage) {
  std::string out = "T";
  for (uint32_t v : {frequency, 2u, symbolRate, localOscillator, tone, voltage, 0u})
    for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i));
  return out + std::string(9, '\0');
}

class TransponderSettingsTest : public ::testing::Test {
 protected:
  TTempFolder folder_;
  const std::string file_ = (folder_.Path() / "trsp.ini").string();
};

TEST_F(TransponderSettingsTest, SaveIsByteExactAndLoadsBackUnchanged) {
  TTransponderSettings s;
  s.LocalOscillator = "10600";
  s.Vertical = true;
  s.DiseqcIndex = 7;
  s.CardIndex = 3;
  s.RecordFolder = "/m/Записи/";  // line 7 holds it as CP1251
  s.Pcm = false;
  SaveSettings(file_, s);
  const std::string bytes = "10600\r\n4084\r\n2500\r\n1\r\n7\r\n3\r\n/m/\xC7\xE0\xEF\xE8\xF1\xE8/\r\n2\r\n";
  ASSERT_EQ(ReadBytes(file_), bytes);
  TTransponderSettings loaded;
  LoadSettings(file_, loaded);
  SaveSettings(file_, loaded);
  EXPECT_EQ(ReadBytes(file_), bytes);
  EXPECT_EQ(loaded.CardName(), "Emulator");
  EXPECT_EQ(loaded.RecordFolder, "/m/Записи/");
}

TEST_F(TransponderSettingsTest, LoadTakesOnlyOneAsSelectedAndStopsAtALineThatIsNoNumber) {
  const struct {
    const char* content;
    bool vertical, pcm;
    int diseqc, card;
    bool convertError;
  } cases[] = {
      {"a\r\nb\r\nc\r\n1\r\n5\r\n2\r\nf\r\n1\r\n", true, true, 5, 2, false},
      {"a\r\nb\r\nc\r\n2\r\n$7\r\n0\r\nf\r\n11", false, false, 7, 0, false},
      {"a\r\nb\r\nc\r\n 1\r\n0\r\n0\r\nf\r\n2\r\n", false, false, 0, 0, false},
      {"a\r\nb\r\nc\r\n1\r\nx\r\n0\r\nf\r\n2\r\n", true, true, -9, -9, true},     // rest keeps what it had
      {"a\r\nb\r\nc\r\n1\r\n3\r\n2.0\r\nf\r\n2\r\n", true, true, 3, -9, true},
      {"a\r\nb\r\nc\r\n", false, true, -9, -9, true},  // missing lines are empty text
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    WriteBytes(file_, c.content);
    TTransponderSettings s;
    s.DiseqcIndex = s.CardIndex = -9;
    s.RecordFolder = "old";
    if (c.convertError) EXPECT_THROW(LoadSettings(file_, s), text::EConvertError);
    else LoadSettings(file_, s);
    EXPECT_EQ(s.LocalOscillator + s.Frequency + s.SymbolRate, "abc");
    EXPECT_EQ(s.Vertical, c.vertical);
    EXPECT_EQ(s.Pcm, c.pcm);
    EXPECT_EQ(s.DiseqcIndex, c.diseqc);
    EXPECT_EQ(s.CardIndex, c.card);
    EXPECT_EQ(s.RecordFolder, c.convertError ? "old" : "f");
  }
  TTransponderSettings untouched;
  untouched.Frequency = "11000";
  EXPECT_THROW(LoadSettings(file_ + ".missing", untouched), text::EInOutError);
  EXPECT_EQ(untouched.Frequency, "11000");
}

TEST_F(TransponderSettingsTest, TuneSendsThePortThenTheRecordOrNothingForABadField) {
  using S = TTransponderSettings;
  const struct {
    std::string S::*field;
    const char* value;
    bool vertical;
    int diseqc;
    std::vector<std::string> calls;
  } cases[] = {
      {&S::Frequency, "12000", true, 0, {"D1", Tuner(12000000, 2500000, 5150000, 0, 13)}},
      {&S::Frequency, "12001", false, 7, {"D8", Tuner(12001000, 2500000, 5150000, 1, 18)}},
      {&S::Frequency, "4294967", false, 0, {"D1", Tuner(4294967000u, 2500000, 5150000, 1, 18)}},
      {&S::Frequency, "4294968", false, 0, {"D1"}},  // x 1000 would wrap
      {&S::LocalOscillator, "-5150", false, 0, {"D1"}},
      {&S::SymbolRate, "", false, 0, {"D1"}},
      {&S::SymbolRate, "27500,5", false, 0, {"D1"}},
      {&S::Frequency, "4084", false, 8, {}},  // no port 9
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.value) + " port index " + std::to_string(c.diseqc));
    S s;
    s.Vertical = c.vertical;
    s.DiseqcIndex = c.diseqc;
    s.*c.field = c.value;
    g_calls.clear();
    std::vector<std::string> told;
    const bool tuned = Tune(s, kRecordingCard, [&](const std::string& m) { told.push_back(m); });
    EXPECT_EQ(g_calls, c.calls);
    EXPECT_EQ(tuned, c.calls.size() == 2);
    EXPECT_EQ(told.size(), tuned ? 0u : 1u);
    if (c.calls.size() == 1) {
      EXPECT_NE(told.at(0).find(std::string("'") + c.value + "'"), std::string::npos) << told.at(0);
    }
  }
  g_calls.clear();
  EXPECT_FALSE(Tune(S{}, TDevicePlugin{}, nullptr));
}

// A universal LNB's band follows the frequency, whichever of its two
// oscillators was typed; other oscillators keep the band edge above 12000.
TEST(TunerParamsOfTest, UniversalLnbBandFollowsTheFrequency) {
  const struct {
    int32_t frequency, oscillator;
    uint32_t sentOscillatorKHz, tone;
  } cases[] = {
      {11699, 9750, 9750000, 0},   {11700, 9750, 10600000, 1}, {11850, 9750, 10600000, 1},
      {11850, 10600, 10600000, 1}, {12000, 9750, 10600000, 1}, {10700, 10600, 9750000, 0},
      {12500, 10600, 10600000, 1}, {4084, 5150, 5150000, 0},   {11850, 10750, 10750000, 0},
      {12001, 10750, 10750000, 1}, {12000, 11300, 11300000, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.frequency) + " MHz on " + std::to_string(c.oscillator));
    const TTunerParams p = TunerParamsOf(c.frequency, 27500, c.oscillator, false);
    EXPECT_EQ(p.Frequency, uint32_t(c.frequency) * 1000);
    EXPECT_EQ(p.LocalOscillator, c.sentOscillatorKHz);
    EXPECT_EQ(p.Tone, c.tone);
  }
}

TEST_F(TransponderSettingsTest, DefaultsAndTheShippedFileTuneTheDemoTransponderOnTheEmulator) {
  TTransponderSettings shipped;
  shipped.Pcm = false;
  LoadSettings(MC_SOURCE_DIR "/resources/ini/trsp.ini", shipped);
  EXPECT_EQ(shipped.CardName(), "Emulator");
  EXPECT_TRUE(shipped.RecordFolder.empty() && shipped.Pcm);
  for (const auto& s : {TTransponderSettings{}, shipped}) {
    g_calls.clear();
    EXPECT_TRUE(Tune(s, kRecordingCard, nullptr));
    EXPECT_EQ(g_calls, (std::vector<std::string>{"D1", Tuner(4084000, 2500000, 5150000, 0, 18)}));
  }
}

TEST_F(TransponderSettingsTest, CheckCardOpensOnlyALoadableReadyCard) {
  const struct {
    std::string card;
    const char* message;  // null: opened
  } cases[] = {
      {"FakeCard", nullptr},
      {"NoSuchCard", kWrongCardMessage},
      {"Broken", kWrongCardMessage},  // lacks an export
      {"", kWrongCardMessage},  // what an index naming no card gives
      {"DeadCard", kCardNotActiveMessage},  // DVBOpen answers 0
  };
  TWorkingDirectory cwd(folder_.Path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.card);
    std::vector<std::string> told;
    const bool opened = CheckCard(Dvb, c.card, [&](const std::string& m) { told.push_back(m); });
    EXPECT_EQ(opened, c.message == nullptr);
    EXPECT_EQ(CardOpen.load(), opened);
    EXPECT_EQ(told, c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
    UnloadDevicePlugin(Dvb);
  }
}

// An environment variable set for one scope.
class TEnvironment {
 public:
  TEnvironment(const char* name, const std::string& value) : name_(name) {
    if (const char* v = ::getenv(name)) old_ = v;
    ::setenv(name, value.c_str(), 1);
  }
  ~TEnvironment() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST_F(TransponderSettingsTest, EmptyRecordFolderIsTheUsersMusicFolder) {
  const std::string home = (folder_.Path() / "home").string();
  TEnvironment homeVar("HOME", home), configVar("XDG_CONFIG_HOME", folder_.Path().string());
  const struct {
    std::optional<std::string> userDirs;  // nullopt: no file
    std::string folder;
  } cases[] = {
      {std::nullopt, home + "/Music/"},
      {"# XDG_MUSIC_DIR=\"/a\"\nXDG_DESKTOP_DIR=\"$HOME/D\"\n  XDG_MUSIC_DIR=\"$HOME/Audio\"\n", home + "/Audio/"},
      {"XDG_MUSIC_DIR=\"$HOME/\"\n", home + "/Music/"},  // switched off
      {"XDG_MUSIC_DIR=\"/srv/Муз\"\n", "/srv/Муз/"},
      {"XDG_MUSIC_DIR=\"$HOME/Música\"\n", home + "/Música/"},  // no CP1251 on the way
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    fs::remove(folder_.Path() / "user-dirs.dirs");
    if (c.userDirs) WriteBytes(folder_.Path() / "user-dirs.dirs", *c.userDirs);
    EXPECT_EQ(EffectiveRecordFolder(TTransponderSettings{}), c.folder);
  }
  TTransponderSettings typed;
  typed.RecordFolder = "C:\\";
  EXPECT_EQ(EffectiveRecordFolder(typed), "C:\\");
}

// The folder is the system's path; only line 7 is CP1251, and a folder it
// cannot hold is refused with the reason, the file left as it was.
TEST_F(TransponderSettingsTest, AFolderCp1251CannotHoldIsRefusedUnlessItIsTheMusicFolder) {
  const std::string home = (folder_.Path() / "home").string();
  TEnvironment homeVar("HOME", home), configVar("XDG_CONFIG_HOME", folder_.Path().string());
  WriteBytes(folder_.Path() / "user-dirs.dirs", "XDG_MUSIC_DIR=\"$HOME/Música\"\n");
  TTransponderSettings s;
  s.RecordFolder = "/m/old/";
  SaveSettings(file_, s);
  const std::string before = ReadBytes(file_);
  for (const std::string folder : {"/srv/音乐/", "/srv/josé/", "/srv/\xFF/"}) {
    s.RecordFolder = folder;
    EXPECT_THROW(SaveSettings(file_, s), EFolderNotStorable) << folder;
    EXPECT_EQ(ReadBytes(file_), before);
  }
  s.RecordFolder = EffectiveRecordFolder(TTransponderSettings{});
  ASSERT_EQ(s.RecordFolder, home + "/Música/");
  SaveSettings(file_, s);
  TTransponderSettings loaded;
  LoadSettings(file_, loaded);
  EXPECT_EQ(loaded.RecordFolder, "") << "the empty line means the music folder";
  EXPECT_EQ(EffectiveRecordFolder(loaded), home + "/Música/");
}

} // namespace
