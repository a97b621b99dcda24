// The long run: the headless recorder started and stopped twice a minute on
// twenty Emulator channels replayed at full speed, sixteen recorded as
// broadcast and four re-encoded, while listeners come and go at random.
// After every stop the recordings and the process's threads and memory are
// checked. Usage: mellowcaster_soak [minutes] [--cycle SECONDS] [--speed F]
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/CommandLine.h"
#include "app/HeadlessRecorder.h"
#include "app/ProcessWide.h"
#include "capture/RecordingRun.h"
#include "channels/ChannelList.h"
#include "device/TransponderSettings.h"
#include "server/HttpRequest.h"
#include "soak/SoakChecks.h"
#include "soak/SoakListeners.h"
#include "support/MpegAudioDecode.h"
#include "support/OwnStreamPort.h"
#include "base/Cp1251.h"
#include "tsbuilder/SampleTransponders.h"
#include "../../plugins/emulator/EmulatorControl.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kPassThroughRows = 16;
// The recorder streams on a port of the soak's own, told through the environment.
uint16_t StreamPort() {
  static const testsupport::TOwnStreamPort port;
  return port.Port();
}

struct TOptions {
  double minutes = 10;
  int cycleSeconds = 30;  // two starts and stops a minute
  double speed = 0;       // replay factor; 0: as fast as the card can
};

struct TChannel {
  std::string name;  // CP1251, as the list holds it
  soak::Bytes es;
  int sampleRate = 0;
  int channels = 0;
};

bool ParseOptions(int argc, char** argv, TOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    char* end = nullptr;
    if ((a == "--cycle" || a == "--speed") && i + 1 < argc) {
      const double v = std::strtod(argv[++i], &end);
      if (*end || v < 0) return false;
      if (a == "--cycle") options.cycleSeconds = static_cast<int>(v);
      else options.speed = v;
    } else {
      options.minutes = std::strtod(a.c_str(), &end);
      if (*end || options.minutes <= 0) return false;
    }
  }
  return options.cycleSeconds >= 4;
}

int RunRecorder(const std::vector<std::string>& args) {
  std::string error;
  const auto cl = ParseCommandLine(args, error);
  if (!cl) {
    std::fprintf(stderr, "soak: %s\n", error.c_str());
    return 2;
  }
  return RunHeadless(*cl, Dvb);
}

void WriteBytes(const fs::path& path, const soak::Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// The work folder as the program's own would be: the card and its
// transponder under Device/, the settings under ini/. Returns the channels
// by audio PID.
std::map<std::string, TChannel> Prepare(const fs::path& work) {
  fs::remove_all(work);
  fs::create_directories(work / "Device" / "Emulator");
  fs::create_directories(work / "ini");
  fs::create_directories(work / "rec");
  const tsb::TBuiltTransponder t = tsb::BuildTransponder(tsb::SoakTransponder());
  WriteBytes(work / "Device" / "Emulator" / (tsb::SoakTransponder().fileStem + ".ts"), t.ts);
  fs::copy_file(fs::path(MC_BIN_DIR) / "Device" / "Emulator.so", work / "Device" / "Emulator.so");
  std::map<std::string, TChannel> byPid;
  for (const tsb::TBuiltService& s : t.services) {
    TChannel c;
    c.es = s.audioEs;
    c.sampleRate = s.plan.audio.sampleRate;
    c.channels = s.plan.audio.mode == tsb::TAudioMode::Mono ? 1 : 2;
    byPid[std::to_string(s.plan.audioPid)] = std::move(c);
  }
  return byPid;
}

void SaveSoakSettings(const fs::path& work, bool passThrough) {
  TTransponderSettings s;
  s.LocalOscillator = "10600";
  s.Frequency = "11500";
  s.SymbolRate = "27500";
  s.Vertical = true;
  s.CardIndex = 3;  // the Emulator
  s.RecordFolder = (work / "rec").string() + "/";
  s.Pcm = passThrough;
  SaveSettings((work / "ini" / "trsp.ini").string(), s);
}

std::string RowList(size_t from, size_t to) {
  std::string rows;
  for (size_t r = from; r <= to; ++r) rows += (rows.empty() ? "" : ",") + std::to_string(r);
  return rows;
}

struct TTotals {
  int cycles = 0;
  int pcmFiles = 0;
  int mp3Files = 0;
  int failures = 0;
  int64_t bytesChecked = 0;
};

void Fail(TTotals& totals, const std::string& what) {
  ++totals.failures;
  std::fprintf(stderr, "soak: FAILED: %s\n", what.c_str());
}

} // namespace

// Under AddressSanitizer a small quarantine: the fill of the default one
// (256 MiB of freed blocks kept back) would look like growth of the resident
// size. Options given in ASAN_OPTIONS still add to it.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=32"; }

int main(int argc, char** argv) {
  StreamPort();  // in the environment before any recorder starts
  TOptions options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: %s [minutes] [--cycle SECONDS (4 or more)] [--speed FACTOR]\n", argv[0]);
    return 2;
  }
  // As in the recorder: a stop signal ends the run under way, which is then
  // checked and reported like any other; every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, s);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const fs::path work = fs::absolute(MC_SOAK_WORK_DIR);
  std::map<std::string, TChannel> byPid;
  try {
    byPid = Prepare(work);
    SaveSoakSettings(work, true);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "soak: %s\n", e.what());
    return 1;
  }
  fs::current_path(work);
  // The recorder's own lines go to a log; this program's reports stay on stderr.
  const int log = ::open((work / "recorder.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log >= 0) ::dup2(log, STDOUT_FILENO);

  // Held for the whole run, so the card (and its replay speed) outlives each
  // load and unload the recorder does.
  void* card = ::dlopen((work / "Device" / "Emulator.so").c_str(), RTLD_NOW);
  auto setSpeed = card ? reinterpret_cast<TEmulatorSetReplaySpeed>(
                             ::dlsym(card, emulator_exports::kSetReplaySpeed))
                       : nullptr;
  if (!setSpeed || !setSpeed(options.speed)) {
    std::fprintf(stderr, "soak: cannot set the Emulator's replay speed: %s\n", ::dlerror());
    return 1;
  }

  const std::string ini = (work / "ini").string();
  if (RunRecorder({"--scan", "--ini", ini}) != 0) {
    std::fprintf(stderr, "soak: the scan failed (see %s)\n", (work / "recorder.log").c_str());
    return 1;
  }
  TChannelList list;
  list.LoadChannelList(ini + "/kanal.ini");
  std::vector<TChannel> rows;
  std::vector<std::string> paths;
  for (const ChannelRow& row : list.Rows()) {
    auto found = byPid.find(row.Pid);
    if (found == byPid.end()) {
      std::fprintf(stderr, "soak: the scan listed PID %s, which the transponder lacks\n", row.Pid.c_str());
      return 1;
    }
    found->second.name = row.Name;
    rows.push_back(found->second);
    const std::string address = StreamAddress(row.Name, StreamPort());
    paths.push_back(address.substr(address.find('/', std::strlen("http://"))));
  }
  if (rows.size() < kPassThroughRows + 4) {
    std::fprintf(stderr, "soak: the scan found %zu channels\n", rows.size());
    return 1;
  }
  paths.push_back("/no_such_channel");

  soak::TListenerTally tally;
  TTotals totals;
  const soak::TProcessUse start = soak::ProcessUse();
  soak::TProcessUse settledPcm{}, settledMp3{}, last{};
  std::mt19937 random(20261208);
  const auto end = Clock::now() + std::chrono::duration<double>(options.minutes * 60);
  std::fprintf(stderr, "soak: %.1f min, %d s cycles, replay speed %s; at the start RSS %lld KiB, %d threads, %d descriptors\n",
               options.minutes, options.cycleSeconds,
               options.speed == 0 ? "full" : std::to_string(options.speed).c_str(),
               static_cast<long long>(start.rssKiB), start.threads, start.openFiles);
  while (Clock::now() < end) {
    const auto cycleStart = Clock::now();
    // Now and then a run re-encodes: the last four rows, to MP3.
    const bool passThrough = std::uniform_int_distribution<int>(0, 2)(random) != 0;
    SaveSoakSettings(work, passThrough);
    const size_t first = passThrough ? 1 : kPassThroughRows + 1;
    const size_t lastRow = passThrough ? kPassThroughRows : kPassThroughRows + 4;
    // Half the cycle records; the rest checks what full speed wrote.
    const int runSeconds = options.cycleSeconds / 2;

    soak::TListenerCrowd crowd(paths, StreamPort(), tally, static_cast<uint32_t>(random()));
    crowd.Start(6);
    const int status = RunRecorder({"--record", RowList(first, lastRow), "--ini", ini, "--folder",
                                    (work / "rec").string(), "--seconds", std::to_string(runSeconds)});
    crowd.Stop();
    const bool interrupted = Clock::now() - cycleStart < std::chrono::seconds(runSeconds);
    ++totals.cycles;
    if (status != 0) Fail(totals, "cycle " + std::to_string(totals.cycles) + ": exit status " + std::to_string(status));

    int64_t cycleBytes = 0;
    for (size_t r = first; r <= lastRow; ++r) {
      const TChannel& c = rows[r - 1];
      // The list's names are CP1251; the file system's are UTF-8.
      const std::string file = OutputFileName((work / "rec").string() + "/", c.name);
      const soak::Bytes bytes = soak::ReadFile(file);
      cycleBytes += static_cast<int64_t>(bytes.size());
      const std::string what = "cycle " + std::to_string(totals.cycles) + ", " + file;
      if (passThrough) {
        ++totals.pcmFiles;
        if (bytes.size() % 32767 != 0) Fail(totals, what + ": not whole chunks");
        if (!soak::IsLoopedRunOf(bytes, c.es)) Fail(totals, what + ": not an unbroken run of the channel's stream");
      } else {
        ++totals.mp3Files;
        const testsupport::TMpegAudioDecoding d = testsupport::DecodeMpegAudio(bytes, false);
        if (!d.Decoded()) Fail(totals, what + ": does not decode: " + (d.error.empty() ? "no audio" : d.error));
        else if (d.rate != c.sampleRate || d.channels != c.channels)
          Fail(totals, what + ": decodes at " + std::to_string(d.rate) + " Hz, " + std::to_string(d.channels) +
                           " channels");
      }
      fs::remove(file);
    }
    totals.bytesChecked += cycleBytes;
    last = soak::ProcessUse();
    // A re-encoding run leaves more behind (codec state, the allocator's
    // caches) than a pass-through one: each format has its own settled size.
    soak::TProcessUse& settled = passThrough ? settledPcm : settledMp3;
    if (settled.rssKiB == 0) settled = last;
    std::fprintf(stderr, "soak: cycle %d %s: %zu files, %.1f MiB checked; RSS %lld KiB, %d threads, %d descriptors\n",
                 totals.cycles, passThrough ? "PCM" : "MP3", lastRow - first + 1, cycleBytes / 1048576.0,
                 static_cast<long long>(last.rssKiB), last.threads, last.openFiles);
    if (last.openFiles != start.openFiles)
      Fail(totals, "cycle " + std::to_string(totals.cycles) + ": " + std::to_string(last.openFiles) +
                       " open descriptors after the stop, " + std::to_string(start.openFiles) + " at the start");
    if (last.threads != start.threads)
      Fail(totals, "cycle " + std::to_string(totals.cycles) + ": " + std::to_string(last.threads) +
                       " threads after the stop, " + std::to_string(start.threads) + " at the start");
    // The first run of a format loads its codecs and warms the allocator;
    // after it the resident size must stay where it settled.
    if (last.rssKiB > settled.rssKiB + settled.rssKiB / 4 + 16 * 1024)
      Fail(totals, "cycle " + std::to_string(totals.cycles) + ": RSS grew to " + std::to_string(last.rssKiB) +
                       " KiB from " + std::to_string(settled.rssKiB) + " KiB");
    if (interrupted) break;
    std::this_thread::sleep_until(cycleStart + std::chrono::seconds(options.cycleSeconds));
  }
  ::dlclose(card);

  std::fprintf(stderr, "soak: %d cycles, %d PCM files and %d MP3 files checked (%.1f MiB), %d failures\n",
               totals.cycles, totals.pcmFiles, totals.mp3Files, totals.bytesChecked / 1048576.0, totals.failures);
  std::fprintf(stderr, "soak: RSS %lld KiB at the start, %lld KiB and %lld KiB after the first PCM and MP3 stops,"
                       " %lld KiB after the last;"
                       " threads %d at the start, %d after the last stop; descriptors %d and %d\n",
               static_cast<long long>(start.rssKiB), static_cast<long long>(settledPcm.rssKiB),
               static_cast<long long>(settledMp3.rssKiB),
               static_cast<long long>(last.rssKiB), start.threads, last.threads, start.openFiles, last.openFiles);
  std::fprintf(stderr, "soak: listeners:");
  for (size_t k = 0; k < tally.tried.size(); ++k)
    std::fprintf(stderr, " %s %lld;", soak::KindName(static_cast<soak::TListenerKind>(k)),
                 static_cast<long long>(tally.tried[k].load()));
  std::fprintf(stderr,
               " answered 200: %lld, 504: %lld, 404: %lld, other: %lld; %.1f MiB received; %lld refused between runs\n",
               static_cast<long long>(tally.answered200.load()), static_cast<long long>(tally.answered504.load()),
               static_cast<long long>(tally.answered404.load()),
               static_cast<long long>(tally.otherAnswer.load()), tally.bytes.load() / 1048576.0,
               static_cast<long long>(tally.refused.load()));
  return totals.failures == 0 ? 0 : 1;
}
