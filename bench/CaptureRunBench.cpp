// A whole recording run on the Emulator card at real-time rate: 250 channels
// of 192 kbit/s, every row ticked, " PCM", two curl listeners. Prints the
// process's CPU time as a share of one core, next to the same replay into
// filters that do nothing (the card's own cost, the floor).
//   capture_run_bench [seconds=30] [channels=250]
#include "capture/RecordingRun.h"
#include "app/ProcessWide.h"
#include "device/DevicePlugin.h"
#include "server/SocketsStartup.h"

#include "EmulatorControl.h"
#include "tsbuilder/TransponderBuilder.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kFrequencyMhz = 12718;  // horizontal

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The many-channel transponder is written once into the build tree, then the
// card runs from a private installation (Device/Emulator.so and the file), so
// nothing is added to the program's own Device/Emulator folder.
fs::path PrepareInstallation(int channels) {
  const fs::path cache = fs::path(MC_BIN_DIR).parent_path() / "bench-data" /
                         ("transponder_" + std::to_string(channels) + ".ts");
  fs::create_directories(cache.parent_path());
  if (!fs::exists(cache)) {
    std::printf("writing a %d-channel transponder (once)...\n", channels);
    tsb::TTransponderSpec t;
    t.seconds = 10.0;
    for (int i = 0; i < channels; ++i) {
      tsb::TServiceSpec s;
      s.serviceId = static_cast<uint16_t>(1 + i);
      s.name = "Channel_" + std::to_string(i);
      s.pmtPid = static_cast<uint16_t>(0x1000 + i);
      s.audioPid = static_cast<uint16_t>(0x0100 + i);
      s.tone.rootHz = 110.0 + 2.0 * i;
      t.services.push_back(s);
    }
    const auto built = tsb::BuildTransponder(t);
    const fs::path part = cache.string() + ".part";
    std::ofstream out(part, std::ios::binary);
    out.write(reinterpret_cast<const char*>(built.ts.data()), static_cast<std::streamsize>(built.ts.size()));
    out.close();
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", part.c_str());
      std::exit(1);
    }
    fs::rename(part, cache);
  }
  const fs::path install = fs::temp_directory_path() / ("mc_run_bench_card_" + std::to_string(::getpid()));
  fs::create_directories(install / "Device" / "Emulator");
  fs::copy_file(fs::path(MC_BIN_DIR) / "Device" / "Emulator.so", install / "Device" / "Emulator.so");
  fs::create_symlink(cache, install / "Device" / "Emulator" / (std::to_string(kFrequencyMhz) + "H.ts"));
  return install;
}

void Tune() {
  TTunerParams t{};
  t.Frequency = kFrequencyMhz * 1000;
  t.Constant2 = 2;
  t.SymbolRate = 27500 * 1000;
  t.LocalOscillator = 10600 * 1000;
  t.Tone = 0;
  t.Voltage = 18;
  if (!Dvb.DVBSetTuner(t)) {
    std::fprintf(stderr, "tuning failed\n");
    std::exit(1);
  }
}

pid_t StartCurl(uint16_t port, const std::string& name) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/" + name;
    ::execlp("curl", "curl", "-s", "-o", "/dev/null", url.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

void NoDelivery(const uint8_t*, int32_t, int32_t) {}

double Measure(int seconds) {
  const double c0 = CpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return (CpuSeconds() - c0) / wall;
}

} // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
  const int channels = argc > 2 ? std::atoi(argv[2]) : 250;
  SocketsStartup();
  const fs::path install = PrepareInstallation(channels);
  if (::chdir(install.c_str()) != 0 || LoadDevicePlugin("Emulator", Dvb) != 0 || !Dvb.DVBOpen(0)) {
    std::fprintf(stderr, "the Emulator card did not load\n");
    return 1;
  }
  Tune();

  // The floor: the card replays the same file into filters that do nothing.
  Dvb.DVBSETCOUNT(1);
  for (int i = 0; i < channels; ++i) Dvb.DVBAddFilter(0x0100 + i, NoDelivery, 2, 0, 0, 0);
  const double floor = Measure(std::min(seconds, 10));
  for (int k = 0; k <= channels; ++k) Dvb.DVBDelFilter(k);

  const fs::path dir = fs::temp_directory_path() / ("mc_run_bench_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  TChannelList list;
  for (int i = 0; i < channels; ++i) {
    list.AddChannelRow("Channel_" + std::to_string(i), std::to_string(0x0100 + i), "0");
    list.Row(static_cast<size_t>(i)).Ticked = true;
  }
  RecordingOptions options;
  options.Folder = dir.string() + "/";
  const uint16_t port = 39000 + static_cast<uint16_t>(::getpid() % 1000);
  TRecordingRun run(list, options, Dvb, RecordingHooks{}, port);
  if (!run.Start()) {
    std::fprintf(stderr, "the run did not start\n");
    return 1;
  }
  const pid_t a = StartCurl(port, "Channel_0");
  const pid_t b = StartCurl(port, "Channel_" + std::to_string(channels - 1));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double share = Measure(seconds);
  run.Stop();
  ::kill(a, SIGTERM);
  ::kill(b, SIGTERM);
  ::waitpid(a, nullptr, 0);
  ::waitpid(b, nullptr, 0);
  uintmax_t recorded = 0;
  for (const auto& e : fs::directory_iterator(dir)) recorded += fs::file_size(e.path());
  fs::remove_all(dir);
  Dvb.DVBClose();
  UnloadDevicePlugin(Dvb);
  fs::remove_all(install);

  std::printf("%d channels, PCM, all ticked, 2 listeners, %d s at real time\n", channels, seconds);
  std::printf("  recorded %.1f MB\n", static_cast<double>(recorded) / 1e6);
  std::printf("  whole run: %.2f%% of one core\n", share * 100.0);
  std::printf("  card replay alone (floor): %.2f%% of one core\n", floor * 100.0);
  std::printf("  capture, files and server on top of the card: %.2f%% of one core\n", (share - floor) * 100.0);
  return 0;
}
