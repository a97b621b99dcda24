// The Emulator card replaying the demo transponder as fast as it can, with 1
// and with 250 filters, against reading the same file with read().
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "EmulatorControl.h"
#include "device/DvbPluginApi.h"

namespace {

const std::string kBin = MC_BIN_DIR;
const std::string kFile = kBin + "/Device/Emulator/4084H.ts";

std::atomic<int64_t> g_bytes{0};
void Count(const uint8_t*, int32_t length, int32_t) { g_bytes.fetch_add(length, std::memory_order_relaxed); }

template <typename Fn>
Fn Sym(void* lib, const char* name) {
  return reinterpret_cast<Fn>(::dlsym(lib, name));
}

// PIDs present in the file, the busiest first.
std::vector<int> PidsInFile() {
  std::map<int, int64_t> packets;
  std::FILE* f = std::fopen(kFile.c_str(), "rb");
  if (!f) return {};
  uint8_t p[188];
  while (std::fread(p, 1, sizeof p, f) == sizeof p) ++packets[((p[1] & 0x1F) << 8) | p[2]];
  std::fclose(f);
  std::vector<int> pids;
  for (const auto& [pid, count] : packets) pids.push_back(pid);
  std::stable_sort(pids.begin(), pids.end(), [&](int a, int b) { return packets[a] > packets[b]; });
  return pids;
}

void BM_PlainRead(benchmark::State& state) {
  std::vector<uint8_t> buffer(512 * 188);
  int64_t total = 0;
  for (auto _ : state) {
    const int fd = ::open(kFile.c_str(), O_RDONLY);
    if (fd < 0) {
      state.SkipWithError("no demo transponder");
      return;
    }
    uint64_t sum = 0;
    ssize_t n;
    while ((n = ::read(fd, buffer.data(), buffer.size())) > 0) {
      for (ssize_t at = 0; at + 188 <= n; at += 188) sum += buffer[at + 2];  // look at each PID
      total += n;
    }
    ::close(fd);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(total);
}
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->UseRealTime();

// Arg: number of filters. One on every PID of the file, then on absent PIDs.
void BM_EmulatorReplay(benchmark::State& state) {
  void* lib = ::dlopen((kBin + "/Device/Emulator.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    state.SkipWithError("Emulator.so not built");
    return;
  }
  namespace e = emulator_exports;
  auto open = Sym<TDVBOpen>(lib, "DVBOpen");
  auto close = Sym<TDVBClose>(lib, "DVBClose");
  auto tune = Sym<TDVBSetTuner>(lib, "DVBSetTuner");
  auto add = Sym<TDVBAddFilter>(lib, "DVBAddFilter");
  auto setCount = Sym<TDVBSETCOUNT>(lib, "DVBSETCOUNT");
  auto speed = Sym<TEmulatorSetReplaySpeed>(lib, e::kSetReplaySpeed);
  auto hold = Sym<TEmulatorHold>(lib, e::kHold);
  auto once = Sym<TEmulatorReplayOnce>(lib, e::kReplayOnce);
  TTunerParams params{};
  params.Frequency = 4084000;
  params.Voltage = 18;
  if (!open(0) || !tune(params)) {
    state.SkipWithError("cannot tune 4084H");
    ::dlclose(lib);
    return;
  }
  speed(0);
  hold(1);
  setCount(1);
  // Busiest PIDs first, so one filter gets a real audio stream.
  const std::vector<int> pids = PidsInFile();
  for (int i = 0; i < state.range(0); ++i) {
    const int pid = i < static_cast<int>(pids.size()) ? pids[i] : 0x1800 + i;  // PIDs the file does not use
    if (!add(pid, Count, 2, 0, 0, 0)) state.SkipWithError("filter refused");
  }
  const auto fileBytes = static_cast<int64_t>(std::filesystem::file_size(kFile));
  g_bytes = 0;
  int64_t total = 0;
  for (auto _ : state) {
    if (!once(120000)) state.SkipWithError("replay did not end");
    total += fileBytes;
  }
  state.SetBytesProcessed(total);
  // Bytes handed to callbacks per pass over the file.
  state.counters["delivered_MB_per_pass"] =
      double(g_bytes.exchange(0)) / 1e6 / double(std::max<int64_t>(1, state.iterations()));
  close();
  ::dlclose(lib);
}
BENCHMARK(BM_EmulatorReplay)->Arg(1)->Arg(250)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
