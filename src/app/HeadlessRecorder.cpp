#include "app/HeadlessRecorder.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <vector>

#include "app/NowPlaying.h"
#include "app/OutputWriter.h"
#include "app/StatusCadence.h"
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
#include "base/FileLock.h"
#include "base/InOutError.h"

namespace {

// Output goes through the writer thread: nothing here waits for a reader.
void PrintError(const std::string& message) { HeadlessOutput().Error(message); }
void PrintLine(const std::string& line) { HeadlessOutput().Line(line); }

// Exit statuses. A service manager retries the ones that may pass by
// themselves (a busy card, another run on the files, a card that went away)
// and not the ones a person must put right.
constexpr int kCardUnavailableStatus = 1;
constexpr int kStoppedPartWayStatus = 3;
constexpr int kCardLostStatus = 4;
constexpr int kSettingsStatus = 5;

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
// start. The exit status when there is no open card to work with.
std::optional<int> OpenAndTuneCard(TDevicePlugin& card, const text::TIniFiles& ini, TTransponderSettings& settings) {
  int badLine = 0;
  try {
    LoadSettings(ini.Settings(), settings, &badLine);
  } catch (const text::EInOutError& e) {
    // No settings file: defaults, and neither card check nor tuning.
    PrintError(ini.Settings() + ": " + e.what());
    return kSettingsStatus;
  } catch (const text::EConvertError& e) {
    // The lines after it were not read: the card they name is not known.
    PrintError(ini.Settings() + ", строка " + std::to_string(badLine) + ": " + e.what());
    return kSettingsStatus;
  }
  if (!CheckCard(card, settings.CardName(), PrintError)) {
    // No plug-in loaded: the settings name a card this installation lacks.
    if (!card.DVBOpen) {
      PrintError(ini.Settings() + ", строка 6: " + DevicePluginLoadError());
      return kSettingsStatus;
    }
    return kCardUnavailableStatus;
  }
  // A field that is no number tunes nothing: recording would only wait. The
  // message quotes the field, which names its line.
  const auto tuneMessage = [&](const std::string& m) {
    const std::pair<int, const std::string*> fields[] = {
        {1, &settings.LocalOscillator}, {2, &settings.Frequency}, {3, &settings.SymbolRate}};
    int line = m.rfind("Порт DiSEqC", 0) == 0 ? 5 : 0;
    for (const auto& [number, text] : fields)
      if (line == 0 && m.find("'" + text::Cp1251ToUtf8(*text) + "'") != std::string::npos) line = number;
    PrintError(ini.Settings() + (line ? ", строка " + std::to_string(line) : std::string()) + ": " + m);
  };
  if (!Tune(settings, card, tuneMessage)) return kSettingsStatus;
  return std::nullopt;
}

void CloseCard(TDevicePlugin& card) {
  if (CardOpen.exchange(false) && card.DVBClose) card.DVBClose();
  UnloadDevicePlugin(card);
}

std::string SignalText(const TTunerSignal& s) {
  return "уровень " + std::to_string(s.Level) + ", качество " + std::to_string(s.Quality);
}
std::string SignalText(const TDevicePlugin& card) { return SignalText(ReadTunerSignal(card).value_or(TTunerSignal{})); }

const char* const kCardLostMessage = "Карта потеряна: устройство отключено, запись остановлена";

// The settings folder stays locked for the run: a second scan or recording
// on the same settings (the same card, the same files) is refused before it
// touches anything. The folder is only read, so a read-only one locks too.
class TSettingsLock {
 public:
  explicit TSettingsLock(const std::string& folder)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~TSettingsLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  TSettingsLock(const TSettingsLock&) = delete;
  TSettingsLock& operator=(const TSettingsLock&) = delete;
  // False, told, when another run holds the folder. A folder that does not
  // open is left to the settings files' own messages.
  bool Take(const std::string& folder) {
    std::string holder;
    if (fd_ < 0 || text::TryLockExclusive(fd_, holder)) return true;
    PrintError("Папка настроек " + folder + " уже занята другим запуском: " + holder +
               ". Два запуска на одной карте и одних файлах испортили бы записи; запуск отменён");
    return false;
  }

 private:
  int fd_;
};

// The run's hold on the settings folder, then the card tuned as they say;
// the exit status when either is refused, the card closed again.
std::optional<int> LockAndTune(TSettingsLock& lock, TDevicePlugin& card, const text::TIniFiles& ini,
                               TTransponderSettings& settings) {
  if (!lock.Take(ini.Folder)) return kCardUnavailableStatus;
  if (const auto refused = OpenAndTuneCard(card, ini, settings)) {
    CloseCard(card);
    return refused;
  }
  return std::nullopt;
}

int Scan(TDevicePlugin& card, const text::TIniFiles& ini) {
  TSettingsLock lock(ini.Folder);
  TTransponderSettings settings;
  if (const auto refused = LockAndTune(lock, card, ini, settings)) return *refused;
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
  HeadlessOutput().Drain(std::chrono::seconds(5));  // the table below is printed directly
  try {
    list.SaveChannelList(ini.ChannelList());
  } catch (const text::EInOutError& e) {
    PrintError(ini.ChannelList() + ": " + e.what());
    HeadlessOutput().Drain(std::chrono::seconds(5));
    PrintRows("Найдено (список не сохранён):", list);
    return 1;
  }
  PrintRows(("Найдено, записано в " + ini.ChannelList() + ":").c_str(), list);
  return 0;
}

std::string RecordFolderOf(const TCommandLine& cl, const TTransponderSettings& settings) {
  if (!cl.Folder) return EffectiveRecordFolder(settings);
  std::string folder = *cl.Folder;  // the system's bytes, as given
  if (folder.back() != '/') folder += '/';  // a folder given alone is a folder
  return folder;
}

// The rows' size texts and stop marks, handed over by the delivery thread.
class TRowStates {
 public:
  explicit TRowStates(size_t rows) : texts_(rows, SizeText(0)), stopped_(rows, false) {}
  void Set(size_t row, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    if (row < texts_.size()) texts_[row] = text;
  }
  void Stop(size_t row) {
    std::lock_guard<std::mutex> guard(lock_);
    if (row < stopped_.size()) stopped_[row] = true;
  }
  std::string Get(size_t row) {
    std::lock_guard<std::mutex> guard(lock_);
    return row < texts_.size() ? texts_[row] : std::string();
  }
  bool Stopped(size_t row) {
    std::lock_guard<std::mutex> guard(lock_);
    return row < stopped_.size() && stopped_[row];
  }

 private:
  std::mutex lock_;
  std::vector<std::string> texts_;
  std::vector<bool> stopped_;
};

// True when a stop signal is waiting; it stays pending for the wait loop.
bool StopSignalPending(const sigset_t& stopSignals) {
  sigset_t pending;
  sigemptyset(&pending);
  if (sigpending(&pending) != 0) return false;
  for (const int sig : {SIGINT, SIGTERM, SIGHUP})
    if (sigismember(&stopSignals, sig) && sigismember(&pending, sig)) return true;
  return false;
}

bool HasNoAudio(const ChannelRow& row) { return text::TryStrToInt(row.Pid).value_or(-1) == 0; }

// Notes before the start: rows "all" leaves out, and rows whose stream
// address an earlier row already has (the paths ignore ASCII letter case).
void PrintRowNotes(const TChannelList& list, const std::string& rows) {
  for (size_t r = 0; r < list.Count(); ++r) {
    const ChannelRow& row = list.Row(r);
    if (rows == "all" && HasNoAudio(row))
      PrintError("Строка " + text::Cp1251ToUtf8(row.Number) + " " + text::Cp1251ToUtf8(row.Name) +
                 ": нет звука (PID 0), в «all» не входит");
    for (size_t e = 0; e < r; ++e)
      if (SameSourceName(list.Row(e).Name, row.Name)) {
        PrintError("Строка " + text::Cp1251ToUtf8(row.Number) + " " + text::Cp1251ToUtf8(row.Name) +
                   ": адрес потока тот же, что у строки " + text::Cp1251ToUtf8(list.Row(e).Number) + " " +
                   text::Cp1251ToUtf8(list.Row(e).Name) + " (регистр букв в адресе не различается); по нему "
                   "вещается строка " + text::Cp1251ToUtf8(list.Row(e).Number));
        break;
      }
  }
}

// Data from the card: a run without signal records nothing, so it is said
// after a few seconds, and again when data comes back.
class TDataWatch {
 public:
  using TClock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kQuiet{5};
  explicit TDataWatch(TClock::time_point now) : count_(DeliveredPackets()), since_(now) {}
  void Check(TClock::time_point now) {
    const uint64_t count = DeliveredPackets();
    if (count != count_) {
      count_ = count;
      since_ = now;
      if (told_) PrintError("Данные от карты снова идут");
      told_ = false;
    } else if (!told_ && now - since_ >= kQuiet) {
      PrintError("Нет данных от карты уже " + std::to_string(kQuiet.count()) +
                 " с: нет сигнала? Проверьте антенну и частоту в trsp.ini; ничего не записывается");
      told_ = true;
    }
  }
  bool Quiet() const { return told_; }

 private:
  uint64_t count_;
  TClock::time_point since_;
  bool told_ = false;
};

int StartRefusalStatus(TStartRefusal refusal) {
  switch (refusal) {
    case TStartRefusal::Stopped: return 0;
    case TStartRefusal::Settings:
    case TStartRefusal::None: return kSettingsStatus;
    case TStartRefusal::Files:
    case TStartRefusal::Locked: return kCardUnavailableStatus;
  }
  return kCardUnavailableStatus;
}

// SIGINT and SIGTERM are taken by the calling thread alone, at its own pace:
// every thread started from then on (the card's, the server's) inherits the
// mask.
sigset_t BlockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);  // the terminal or SSH session went away
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  return stopSignals;
}

// Waits up to `wait` for a stop signal; true when one came.
bool StopSignalWithin(const sigset_t& stopSignals, std::chrono::steady_clock::duration wait) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
  const timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  return sigtimedwait(&stopSignals, nullptr, &timeout) > 0;
}

std::optional<uint16_t> StreamPortOrTell() {
  const std::optional<uint16_t> port = StreamPortOf(std::getenv(kStreamPortVariable));
  if (!port) PrintError(std::string(kStreamPortVariable) + ": нужен номер порта от 1 до 65535");
  return port;
}

int Record(TDevicePlugin& card, const TCommandLine& cl, const text::TIniFiles& ini) {
  const sigset_t stopSignals = BlockStopSignals();
  TOutputWriter& output = HeadlessOutput();
  const std::optional<uint16_t> port = StreamPortOrTell();
  if (!port) return 2;

  TChannelList list;
  if (!LoadList(ini, list)) return kSettingsStatus;
  std::string error;
  if (!SelectRows(list, cl.Rows, error)) {
    PrintError(error);
    return 2;
  }
  if (list.Count() == 0) {
    PrintError("Список каналов пуст: сначала mellowcaster --scan");
    return kSettingsStatus;
  }
  TSettingsLock lock(ini.Folder);
  TTransponderSettings settings;
  if (const auto refused = LockAndTune(lock, card, ini, settings)) return *refused;
  PrintRowNotes(list, cl.Rows);

  RecordingOptions options;
  options.Folder = RecordFolderOf(cl, settings);
  options.Format = settings.Pcm ? RecordFormat::Pcm : RecordFormat::Mp3;
  options.Encoders = cl.Encoders.value_or(0);
  // A service restarts the recorder after a reboot or a crash: the archive
  // it wrote before must survive the new start.
  options.KeepEarlier = true;
  if (cl.Archive) {
    options.ArchiveFolder = *cl.Archive;  // the system's bytes, as given
    while (options.ArchiveFolder.size() > 1 && options.ArchiveFolder.back() == '/') options.ArchiveFolder.pop_back();
    options.ArchivePeriodSeconds = cl.SplitSeconds.value_or(kSplitMinutesDefault * 60);
    options.ArchiveKeepDays = cl.KeepDays;
    options.ArchiveMinFreeMb = cl.MinFreeMb.value_or(kMinFreeMbDefault);
  }
  TRowStates rows(list.Count());
  RecordingHooks hooks;
  hooks.SizeText = [&](size_t row, const std::string& text) { rows.Set(row, text); };
  hooks.RecordingStopped = [&](size_t row) { rows.Stop(row); };
  hooks.StopAsked = [&] { return StopSignalPending(stopSignals); };
  TTitleLines titles(list, PrintLine);
  hooks.TitleChanged = [&](size_t row, const std::string& stationName, const std::string& title) {
    titles.Changed(row, stationName, title);
  };
  // Once the run is up, every message is a channel that stopped recording
  // or a file that did not close cleanly.
  std::atomic<int> problems{0};
  hooks.Message = [&](const std::string& m) {
    PrintError(m);
    ++problems;
  };
  hooks.Notice = PrintError;
  int status = 0;
  {
    TRecordingRun run(list, options, card, hooks, *port);
    if (!run.Start()) {
      CloseCard(card);
      const int refused = StartRefusalStatus(run.LastRefusal());
      if (refused == 0) PrintLine("Запись остановлена до начала.");
      return refused;
    }
    problems = 0;
    // The run goes on without streaming, but the addresses below lead nowhere.
    if (!run.Server() || !run.Server()->IsActive())
      PrintError("Сервер потоков не запущен: порт " + std::to_string(*port) +
                 " занят? Запись идёт без вещания.");
    const int period = options.ArchivePeriodSeconds;
    const std::string periodText = period % 60 == 0 ? std::to_string(period / 60) + " мин" : std::to_string(period) + " с";
    PrintLine((cl.Archive ? "Архив в " + options.ArchiveFolder + ", новый файл каждые " + periodText
                          : "Запись в " + options.Folder) +
              ", формат " + (settings.Pcm ? "PCM" : "MP3") + "; каналы и адреса потоков:");
    size_t ticked = 0;
    for (const ChannelRow& row : list.Rows()) {
      ticked += row.Ticked ? 1 : 0;
      PrintLine(std::string(row.Ticked ? "  [x] " : "  [ ] ") + Column(row.Number, 4) + Column(row.Name, 24) + " " +
                (HasNoAudio(row) ? std::string("(нет звука)") : StreamAddress(row.Name, *port)));
    }
    PrintLine("Слушать: ffplay -nodisp АДРЕС, mpv АДРЕС или curl -s АДРЕС | mpg123 -; остановить: Ctrl+C или kill " +
              std::to_string(::getpid()));
    titles.Show();

    using Clock = std::chrono::steady_clock;
    TOverflowNotices overflows;
    TStatusCadence cadence(output.Mode().Terminal);
    TDataWatch data(Clock::now());
    const auto end = cl.Seconds ? Clock::now() + std::chrono::seconds(*cl.Seconds) : Clock::time_point::max();
    for (;;) {
      const auto left = end - Clock::now();
      if (left <= Clock::duration::zero()) break;
      if (StopSignalWithin(stopSignals, std::min<Clock::duration>(left, std::chrono::seconds(1)))) break;
      const TTunerSignal signal = ReadTunerSignal(card).value_or(TTunerSignal{});
      if (signal.Lost) {
        PrintError(kCardLostMessage);
        status = kCardLostStatus;
        break;
      }
      data.Check(Clock::now());
      run.WatchArchive(Clock::now());
      // The state is what the line says apart from the sizes, which grow all the time.
      std::string line = "Сигнал: " + SignalText(signal);
      std::string state = data.Quiet() ? "нет данных" : "";
      size_t stopped = 0;
      for (size_t r = 0; r < list.Count(); ++r) {
        if (!list.Row(r).Ticked) continue;
        line += " | " + list.Row(r).Number + ":" + rows.Get(r);
        if (rows.Stopped(r)) {
          line += " остановлена";
          state += " " + list.Row(r).Number;
          ++stopped;
        }
      }
      if (card.DVBGetOverflows) {
        // Row r's filter is the (r + 1)-th added after the switch to whole packets.
        std::vector<int64_t> counts(list.Count());
        for (size_t r = 0; r < counts.size(); ++r) counts[r] = card.DVBGetOverflows(static_cast<int32_t>(r + 1));
        for (const size_t r : overflows.Check(counts, Clock::now())) {
          line += " | " + text::Cp1251ToUtf8(list.Row(r).Number) + ": потеряны пакеты (буфер переполнен)";
          state += " !" + list.Row(r).Number;
        }
      }
      if (const uint64_t dropped = run.DroppedChunks()) {
        line += " | MP3 пропущено: " + std::to_string(dropped);
        state += " mp3-drops";  // the count itself changes too often to print on
      }
      if (cadence.Due(state, Clock::now())) output.Status(line);
      // Nothing left to record: a run that only streams would go on, this one ends.
      if (ticked > 0 && stopped == ticked) {
        PrintError("Все записываемые каналы остановлены: запуск закончен");
        status = kStoppedPartWayStatus;
        break;
      }
    }
    output.EndStatus();
    if ((!run.Stop() || problems > 0) && status == 0) status = kStoppedPartWayStatus;
  }
  CloseCard(card);
  PrintLine("Запись остановлена.");
  return status;
}

// Tunes, listens to every channel for the seconds asked, prints what each
// says it plays. Nothing is recorded: no row is ticked, no file is opened.
int Now(TDevicePlugin& card, const TCommandLine& cl, const text::TIniFiles& ini) {
  const sigset_t stopSignals = BlockStopSignals();
  const std::optional<uint16_t> port = StreamPortOrTell();
  if (!port) return 2;
  TChannelList list;
  if (!LoadList(ini, list)) return kSettingsStatus;
  if (list.Count() == 0) {
    PrintError("Список каналов пуст: сначала mellowcaster --scan");
    return kSettingsStatus;
  }
  std::string error;
  SelectRows(list, "none", error);
  TSettingsLock lock(ini.Folder);
  TTransponderSettings settings;
  if (const auto refused = LockAndTune(lock, card, ini, settings)) return *refused;
  RecordingOptions options;
  options.Folder = EffectiveRecordFolder(settings);
  TNowPlaying texts;
  texts.Reset(list.Count());
  RecordingHooks hooks;
  hooks.TitleChanged = [&](size_t row, const std::string& stationName, const std::string& title) {
    texts.Set(row, stationName, title);
  };
  hooks.StopAsked = [&] { return StopSignalPending(stopSignals); };
  hooks.Message = PrintError;
  int status = 0;
  const int seconds = cl.Seconds.value_or(kNowSecondsDefault);
  {
    TRecordingRun run(list, options, card, hooks, *port);
    if (!run.Start()) {
      CloseCard(card);
      return StartRefusalStatus(run.LastRefusal());
    }
    PrintLine("Слушаю каналы " + std::to_string(seconds) + " с...");
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    for (auto left = end - Clock::now(); left > Clock::duration::zero(); left = end - Clock::now()) {
      if (StopSignalWithin(stopSignals, std::min<Clock::duration>(left, std::chrono::milliseconds(500)))) break;
      if (ReadTunerSignal(card).value_or(TTunerSignal{}).Lost) {
        PrintError(kCardLostMessage);
        status = kCardLostStatus;
        break;
      }
    }
    run.Stop();
  }
  CloseCard(card);
  // What was heard is printed even after a stop signal or a lost card.
  for (const std::string& line : NowTable(list, texts.All())) PrintLine(line);
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

namespace {

int RunAction(const TCommandLine& cl, TDevicePlugin& card) {
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
      if (!LoadList(ini, list)) return kSettingsStatus;
      PrintRows((ini.ChannelList() + ":").c_str(), list);
      return 0;
    }
    case TCommandLine::TAction::Scan:
      return Scan(card, ini);
    case TCommandLine::TAction::Record:
      return Record(card, cl, ini);
    case TCommandLine::TAction::Now:
      return Now(card, cl, ini);
    case TCommandLine::TAction::Start:
      break;
  }
  return 0;
}

} // namespace

int RunHeadless(const TCommandLine& cl, TDevicePlugin& card) {
  const int status = RunAction(cl, card);
  // What is still queued is written before the exit, unless nobody reads it:
  // a reader that never comes back must not keep the process from ending.
  HeadlessOutput().Drain(std::chrono::seconds(2));
  return status;
}
