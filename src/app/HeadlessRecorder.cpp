#include "app/HeadlessRecorder.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

#include "capture/RecordingRun.h"
#include "device/TransponderSettings.h"
#include "device/DevicePlugin.h"
#include "device/TunerSignal.h"
#include "scan/TransponderScan.h"
#include "server/AudioServer.h"
#include "server/HttpRequest.h"
#include "base/AppPaths.h"
#include "base/Convert.h"
#include "base/Cp1251.h"
#include "base/InOutError.h"

namespace {

std::mutex g_printLock;

void PrintError(const std::string& message) {
  std::lock_guard<std::mutex> guard(g_printLock);
  std::fprintf(stderr, "%s\n", message.c_str());
  std::fflush(stderr);
}

void PrintLine(const std::string& line) {
  std::lock_guard<std::mutex> guard(g_printLock);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// CP1251 text as UTF-8, padded to a width in characters (one byte each here).
std::string Column(const std::string& cp1251, size_t width) {
  std::string out = text::Cp1251ToUtf8(cp1251);
  if (cp1251.size() < width) out.append(width - cp1251.size(), ' ');
  return out;
}

// The folder as typed, UTF-8, without a trailing "/".
text::TIniFiles IniFilesOf(const TCommandLine& cl) {
  std::string folder = cl.IniFolder.empty() ? text::DefaultIniFolder() : cl.IniFolder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return text::TIniFiles{folder};
}

bool LoadList(const text::TIniFiles& ini, TChannelList& list) {
  try {
    list.LoadChannelList(ini.ChannelList());
    return true;
  } catch (const std::exception& e) {
    PrintError(ini.ChannelList() + ": " + e.what());
    return false;
  }
}

// Settings, card check and tuning as the settings window does them at its
// start. False when there is no open card to work with.
bool OpenAndTuneCard(TDevicePlugin& card, const text::TIniFiles& ini, TTransponderSettings& settings) {
  try {
    LoadSettings(ini.Settings(), settings);
  } catch (const text::EInOutError& e) {
    // No settings file: defaults, and neither card check nor tuning.
    PrintError(ini.Settings() + ": " + e.what());
    return false;
  } catch (const text::EConvertError& e) {
    // The lines after it were not read: the card they name is not known.
    PrintError(ini.Settings() + ": " + e.what());
    return false;
  }
  if (!CheckCard(card, settings.CardName(), PrintError)) return false;
  // A field that is no number tunes nothing: recording would only wait.
  return Tune(settings, card, [&](const std::string& m) { PrintError(ini.Settings() + ": " + m); });
}

void CloseCard(TDevicePlugin& card) {
  if (CardOpen.exchange(false) && card.DVBClose) card.DVBClose();
  UnloadDevicePlugin(card);
}

std::string SignalText(const TTunerSignal& s) {
  return "уровень " + std::to_string(s.Level) + ", качество " + std::to_string(s.Quality);
}
std::string SignalText(const TDevicePlugin& card) { return SignalText(ReadTunerSignal(card).value_or(TTunerSignal{})); }

// The card went away mid-run (a USB card unplugged): a status of its own, so
// that a service manager restarts the recorder once the card is back.
constexpr int kCardLostStatus = 4;
const char* const kCardLostMessage = "Карта потеряна: устройство отключено, запись остановлена";

int Scan(TDevicePlugin& card, const text::TIniFiles& ini) {
  TTransponderSettings settings;
  if (!OpenAndTuneCard(card, ini, settings)) {
    CloseCard(card);
    return 1;
  }
  // The tuner settles before the tables are gathered, as after "Применить".
  ::usleep(300 * 1000);
  PrintLine("Сигнал: " + SignalText(card));
  TChannelList list;
  ScanAndFill(card, list);
  CloseCard(card);
  // Nothing found (no signal, a wrong transponder): the list the user has is
  // worth more than an empty one.
  if (list.Count() == 0) {
    PrintError("Каналы не найдены: " + ini.ChannelList() + " не изменён");
    return 1;
  }
  try {
    list.SaveChannelList(ini.ChannelList());
  } catch (const text::EInOutError& e) {
    PrintError(ini.ChannelList() + ": " + e.what());
    PrintRows("Найдено (список не сохранён):", list);
    return 1;
  }
  PrintRows(("Найдено, записано в " + ini.ChannelList() + ":").c_str(), list);
  return 0;
}

std::string RecordFolderOf(const TCommandLine& cl, const TTransponderSettings& settings) {
  if (!cl.Folder) return EffectiveRecordFolder(settings);
  std::string folder = *cl.Folder;
  if (folder.back() != '/') folder += '/';  // a folder given alone is a folder
  return text::Utf8ToCp1251(folder);
}

// The rows' size texts, handed over by the delivery thread.
class TSizeTexts {
 public:
  explicit TSizeTexts(size_t rows) : texts_(rows, SizeText(0)) {}
  void Set(size_t row, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    if (row < texts_.size()) texts_[row] = text;
  }
  std::string Get(size_t row) {
    std::lock_guard<std::mutex> guard(lock_);
    return row < texts_.size() ? texts_[row] : std::string();
  }

 private:
  std::mutex lock_;
  std::vector<std::string> texts_;
};

int Record(TDevicePlugin& card, const TCommandLine& cl, const text::TIniFiles& ini) {
  // SIGINT and SIGTERM are taken by this thread alone, at its own pace: every
  // thread started from here on (the card's, the server's) inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);  // the terminal or SSH session went away
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  TChannelList list;
  if (!LoadList(ini, list)) return 1;
  std::string error;
  if (!SelectRows(list, cl.Rows, error)) {
    PrintError(error);
    return 2;
  }
  if (list.Count() == 0) {
    PrintError("Список каналов пуст: сначала mellowcaster --scan");
    return 1;
  }
  TTransponderSettings settings;
  if (!OpenAndTuneCard(card, ini, settings)) {
    CloseCard(card);
    return 1;
  }

  RecordingOptions options;
  options.Folder = RecordFolderOf(cl, settings);
  options.Format = settings.Pcm ? RecordFormat::Pcm : RecordFormat::Mp3;
  options.Encoders = cl.Encoders.value_or(0);
  TSizeTexts sizes(list.Count());
  RecordingHooks hooks;
  hooks.SizeText = [&](size_t row, const std::string& text) { sizes.Set(row, text); };
  // Once the run is up, every message is a channel that stopped recording
  // or a file that did not close cleanly.
  std::atomic<int> problems{0};
  hooks.Message = [&](const std::string& m) {
    PrintError(m);
    ++problems;
  };
  int status = 0;
  {
    TRecordingRun run(list, options, card, hooks);
    if (!run.Start()) {
      CloseCard(card);
      return 1;
    }
    problems = 0;
    // The run goes on without streaming, but the addresses below lead nowhere.
    if (!run.Server() || !run.Server()->IsActive())
      PrintError("Сервер потоков не запущен: порт " + std::to_string(kStreamPort) +
                 " занят? Запись идёт без вещания.");
    PrintLine("Запись в " + text::Cp1251ToUtf8(options.Folder) + ", формат " + (settings.Pcm ? "PCM" : "MP3") +
              "; каналы и адреса потоков:");
    for (const ChannelRow& row : list.Rows())
      PrintLine(std::string(row.Ticked ? "  [x] " : "  [ ] ") + Column(row.Number, 4) + Column(row.Name, 24) + " " +
                StreamAddress(row.Name));
    PrintLine("Слушать: ffplay -nodisp АДРЕС, mpv АДРЕС или curl -s АДРЕС | mpg123 -; остановить: Ctrl+C или kill " +
              std::to_string(::getpid()));

    using Clock = std::chrono::steady_clock;
    TOverflowNotices overflows;
    const auto end = cl.Seconds ? Clock::now() + std::chrono::seconds(*cl.Seconds) : Clock::time_point::max();
    for (;;) {
      const auto left = end - Clock::now();
      if (left <= Clock::duration::zero()) break;
      const auto wait = std::min<Clock::duration>(left, std::chrono::seconds(1));
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
      const timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      if (sigtimedwait(&stopSignals, nullptr, &timeout) > 0) break;
      const TTunerSignal signal = ReadTunerSignal(card).value_or(TTunerSignal{});
      if (signal.Lost) {
        PrintError(kCardLostMessage);
        status = kCardLostStatus;
        break;
      }
      std::string line = "Сигнал: " + SignalText(signal);
      for (size_t r = 0; r < list.Count(); ++r)
        if (list.Row(r).Ticked) line += " | " + list.Row(r).Number + ":" + sizes.Get(r);
      if (card.DVBGetOverflows) {
        // Row r's filter is the (r + 1)-th added after the switch to whole packets.
        std::vector<int64_t> counts(list.Count());
        for (size_t r = 0; r < counts.size(); ++r) counts[r] = card.DVBGetOverflows(static_cast<int32_t>(r + 1));
        for (const size_t r : overflows.Check(counts, Clock::now()))
          line += " | " + text::Cp1251ToUtf8(list.Row(r).Number) + ": потеряны пакеты (буфер переполнен)";
      }
      if (const uint64_t dropped = run.DroppedChunks()) line += " | MP3 пропущено: " + std::to_string(dropped);
      PrintLine(line);
    }
    if ((!run.Stop() || problems > 0) && status == 0) status = 3;
  }
  CloseCard(card);
  PrintLine("Запись остановлена.");
  return status;
}

} // namespace

void PrintRows(const char* title, const TChannelList& list) {
  std::printf("%s\n%s %s %s %s\n", title, Column("N", 4).c_str(), Column(text::Utf8ToCp1251("Канал"), 32).c_str(),
              Column(text::Utf8ToCp1251("PID звука"), 10).c_str(), "записано/Мб");
  for (const auto& row : list.Rows())
    std::printf("%s %s %s %s\n", Column(row.Number, 4).c_str(), Column(row.Name, 32).c_str(),
                Column(row.Pid, 10).c_str(), text::Cp1251ToUtf8(row.Recorded).c_str());
  std::fflush(stdout);
}

int RunHeadless(const TCommandLine& cl, TDevicePlugin& card) {
  const text::TIniFiles ini = IniFilesOf(cl);
  switch (cl.Action) {
    case TCommandLine::TAction::Help:
      std::fputs(kUsageText, stdout);
      return 0;
    case TCommandLine::TAction::Version:
      std::printf("mellowcaster %s\n", MC_VERSION);
      return 0;
    case TCommandLine::TAction::List: {
      TChannelList list;
      if (!LoadList(ini, list)) return 1;
      PrintRows((ini.ChannelList() + ":").c_str(), list);
      return 0;
    }
    case TCommandLine::TAction::Scan:
      return Scan(card, ini);
    case TCommandLine::TAction::Record:
      return Record(card, cl, ini);
    case TCommandLine::TAction::Start:
      break;
  }
  return 0;
}
