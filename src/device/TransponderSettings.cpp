#include "device/TransponderSettings.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <optional>

#include "device/DevicePlugin.h"
#include "base/Convert.h"
#include "base/Cp1251.h"
#include "base/LineFile.h"

const std::vector<std::string> kCardNames = {"SkyStar1", "SkyStar2", "SkyStar3", "Emulator"};

const char* const kWrongCardMessage =
    "Выбранная вами карта не соответствует вашей карте которая стоит в вашем компьютере";
const char* const kCardNotActiveMessage = "Карта не активна";

namespace {

constexpr int kDiseqcPorts = 8;
constexpr int32_t kUniversalLowMHz = 9750;
constexpr int32_t kUniversalHighMHz = 10600;
constexpr int32_t kUniversalSwitchMHz = 11700;
// The largest field whose value in kHz (or symbols per second) still fits
// the tuner record's 32 bits.
constexpr int32_t kLargestField = static_cast<int32_t>(UINT32_MAX / 1000);

void Tell(const TSettingsMessage& message, const std::string& text) {
  if (message) message(text);
}

std::string NotAnInteger(const std::string& cp1251) {
  return "'" + text::Cp1251ToUtf8(cp1251) + "' is not a valid integer value";
}

// The runtime's conversion, with the offending text made readable for the
// user's message.
int32_t LineNumber(const std::string& cp1251) {
  if (auto v = text::TryStrToInt(cp1251)) return *v;
  throw text::EConvertError(NotAnInteger(cp1251));
}

std::string HomeFolder() {
  if (const char* home = ::getenv("HOME"); home && *home) return home;
  struct passwd entry{};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return "";
}

// XDG_MUSIC_DIR from user-dirs.dirs: a quoted "$HOME/..." or absolute path,
// the last assignment winning as when the file is sourced. A folder that is
// the home itself means the user switched it off.
std::optional<std::string> XdgMusicFolder(const std::string& home) {
  std::string config;
  if (const char* xdg = ::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') config = xdg;
  else config = home + "/.config";
  std::ifstream in(config + "/user-dirs.dirs");
  std::optional<std::string> folder;
  const std::string key = "XDG_MUSIC_DIR=\"";
  for (std::string line; std::getline(in, line);) {
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
    std::string value;
    bool closed = false;
    for (size_t i = start + key.size(); i < line.size(); ++i) {
      if (line[i] == '"') {
        closed = true;
        break;
      }
      if (line[i] == '\\' && i + 1 < line.size()) ++i;
      value += line[i];
    }
    if (!closed) continue;
    if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
      const std::string rest = value.substr(5);
      folder = rest.find_first_not_of('/') == std::string::npos ? std::nullopt
                                                                 : std::optional(home + rest);
    } else if (!value.empty() && value[0] == '/') {
      folder = value;
    }
  }
  return folder;
}

} // namespace

const char* CardReasonText(int32_t reason) {
  switch (reason) {
    case kReasonBusy: return "карта занята другой программой";
    case kReasonPermission: return "нет прав на устройство карты (группа video)";
    case kReasonNoCard: return "карта не найдена";
    case kReasonNoDemux: return "у карты нет устройства demux";
    case kReasonBufferRefused: return "ядро отказало в буфере фильтра, пакеты могут теряться";
    default: return "";
  }
}

std::string TTransponderSettings::CardName() const {
  if (CardIndex < 0 || static_cast<size_t>(CardIndex) >= kCardNames.size()) return {};
  return kCardNames[static_cast<size_t>(CardIndex)];
}

void LoadSettings(const std::string& path, TTransponderSettings& settings, int* badLine) {
  const std::vector<std::string> lines = text::ReadLineFile(path);
  auto line = [&](size_t i) { return i < lines.size() ? lines[i] : std::string(); };
  settings.LocalOscillator = line(0);
  settings.Frequency = line(1);
  settings.SymbolRate = line(2);
  settings.Vertical = line(3) == "1";
  // Indexes are kept as the file gives them, so a save writes them back; an
  // index naming no port or card is refused where it is used.
  if (badLine) *badLine = 5;
  settings.DiseqcIndex = LineNumber(line(4));
  if (badLine) *badLine = 6;
  settings.CardIndex = LineNumber(line(5));
  if (badLine) *badLine = 0;
  settings.RecordFolder = text::Cp1251ToUtf8(line(6));
  settings.Pcm = line(7) == "1";
}

EFolderNotStorable::EFolderNotStorable(const std::string& folder)
    : std::runtime_error("Папку записи " + folder +
                         " нельзя сохранить в trsp.ini: файл хранит текст в CP1251, а в имени есть другие символы."
                         " Выберите папку с именем из латиницы или кириллицы") {}

namespace {

// Line 7 as CP1251: the folder when every character survives the trip.
std::string FolderLine(const std::string& folder) {
  const std::string cp1251 = text::Utf8ToCp1251(folder);
  if (text::Cp1251ToUtf8(cp1251) == folder) return cp1251;
  if (folder == EffectiveRecordFolder(TTransponderSettings{})) return {};
  throw EFolderNotStorable(folder);
}

} // namespace

void SaveSettings(const std::string& path, const TTransponderSettings& settings) {
  text::WriteLineFile(path, {settings.LocalOscillator, settings.Frequency, settings.SymbolRate,
                             settings.Vertical ? "1" : "2", std::to_string(settings.DiseqcIndex),
                             std::to_string(settings.CardIndex), FolderLine(settings.RecordFolder),
                             settings.Pcm ? "1" : "2"});
}


std::string EffectiveRecordFolder(const TTransponderSettings& settings) {
  if (!settings.RecordFolder.empty()) return settings.RecordFolder;
  const std::string home = HomeFolder();
  std::string folder = XdgMusicFolder(home).value_or(home + "/Music");
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

bool CheckCard(TDevicePlugin& device, const std::string& cardName, const TSettingsMessage& message) {
  if (LoadDevicePlugin(cardName, device) == -1) {
    Tell(message, kWrongCardMessage);
    return false;
  }
  if (device.DVBOpen(0) == 0) {
    const char* reason = CardReasonText(device.DVBGetReason ? device.DVBGetReason() : kReasonNone);
    Tell(message, std::string(kCardNotActiveMessage) + (*reason ? std::string(": ") + reason : ""));
    return false;
  }
  CardOpen = true;
  return true;
}

TTunerParams TunerParamsOf(int32_t frequencyMHz, int32_t symbolRateKs, int32_t localOscillatorMHz,
                           bool vertical) {
  TTunerParams params{};
  params.Frequency = static_cast<uint32_t>(frequencyMHz) * 1000u;
  params.Constant2 = 2;
  params.SymbolRate = static_cast<uint32_t>(symbolRateKs) * 1000u;
  params.LocalOscillator = static_cast<uint32_t>(localOscillatorMHz) * 1000u;
  // A universal LNB switches to its 10600 MHz oscillator from 11700 MHz on,
  // with the tone; whichever of its two oscillators was typed, the frequency
  // decides. Any other oscillator keeps the high band above 12000.
  if (localOscillatorMHz == kUniversalLowMHz || localOscillatorMHz == kUniversalHighMHz) {
    const bool high = frequencyMHz >= kUniversalSwitchMHz;
    params.LocalOscillator = static_cast<uint32_t>(high ? kUniversalHighMHz : kUniversalLowMHz) * 1000u;
    params.Tone = high ? 1 : 0;
  } else {
    params.Tone = frequencyMHz > 12000 ? 1 : 0;
  }
  params.Voltage = vertical ? 13 : 18;
  return params;
}

bool Tune(const TTransponderSettings& settings, const TDevicePlugin& device,
          const TSettingsMessage& message) {
  // Without a card the check has already told the user; there is nothing to tune.
  if (!device.DVBSendDiSEqC || !device.DVBSetTuner) return false;
  // Only a hand-edited file gets here; a port outside 1..8 is not the card's to guess.
  if (settings.DiseqcIndex < 0 || settings.DiseqcIndex >= kDiseqcPorts) {
    Tell(message, "Порт DiSEqC " + std::to_string(int64_t{settings.DiseqcIndex} + 1) +
                      " вне диапазона 1.." + std::to_string(kDiseqcPorts));
    return false;
  }
  device.DVBSendDiSEqC(settings.DiseqcIndex + 1);

  // A value that would wrap in the record's 32 bits would tune somewhere else
  // entirely, so it is refused like text that is no number.
  auto field = [&](const std::string& cp1251) -> std::optional<int32_t> {
    const auto v = text::TryStrToInt(cp1251);
    if (!v) {
      Tell(message, NotAnInteger(cp1251));
      return std::nullopt;
    }
    if (*v < 0 || *v > kLargestField) {
      Tell(message, "Значение '" + text::Cp1251ToUtf8(cp1251) + "' вне диапазона 0.." +
                        std::to_string(kLargestField));
      return std::nullopt;
    }
    return v;
  };
  const auto localOscillator = field(settings.LocalOscillator);
  if (!localOscillator) return false;
  const auto frequency = field(settings.Frequency);
  if (!frequency) return false;
  const auto symbolRate = field(settings.SymbolRate);
  if (!symbolRate) return false;

  device.DVBSetTuner(TunerParamsOf(*frequency, *symbolRate, *localOscillator, settings.Vertical));
  return true;
}
