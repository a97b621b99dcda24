// Re-encoding 120 s of 192 kbit/s 48 kHz stereo Layer II in 32767-byte chunks,
// against the lame command line doing the same decode and encode on the same
// file in the same run. Ratios and real-time channel counts are counters.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "BenchMaterial.h"
#include "capture/MpegReencoder.h"

namespace {

constexpr double kSeconds = 120;

struct TMaterial {
  std::vector<uint8_t> bytes = benchmaterial::ChordLayerII(kSeconds, 192);
  std::string path = "/tmp/mc_reencode_bench_" + std::to_string(::getpid()) + ".mp2";
  std::string outPath = "/tmp/mc_reencode_bench_" + std::to_string(::getpid()) + ".mp3";
  TMaterial() { benchmaterial::WriteFile(path, bytes); }
  ~TMaterial() {
    std::remove(path.c_str());
    std::remove(outPath.c_str());
  }
};

TMaterial& Material() {
  static TMaterial m;
  return m;
}

// Wall-clock seconds per run of each benchmark, for the closing ratios.
double g_lame320 = 0, g_lame192 = 0, g_recode = 0, g_recodeCpu = 0;

double CpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

template <typename Body>
void Timed(benchmark::State& state, double& perRun, Body body) {
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) body();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  perRun = took.count() / static_cast<double>(state.iterations());
}

void RunLame(benchmark::State& state, const char* options, double& perRun) {
  const TMaterial& m = Material();
  const std::string cmd = std::string("lame --quiet --mp2input ") + options + " '" + m.path +
                          "' '" + m.outPath + "'";
  bool failed = false;
  Timed(state, perRun, [&] { failed = failed || std::system(cmd.c_str()) != 0; });
  if (failed) state.SkipWithError("lame failed");
}

void BM_LameCommandLine320(benchmark::State& state) {
  RunLame(state, "-b 320", g_lame320);
}

void BM_LameCommandLine192q5(benchmark::State& state) {
  // Same settings as the re-encoder ends up with: the source's 192 kbit/s, quality 5.
  RunLame(state, "-b 192 -q 5", g_lame192);
}

void BM_Recode(benchmark::State& state) {
  const TMaterial& m = Material();
  std::vector<uint8_t> out(131070);
  size_t produced = 0;
  const double cpuStart = CpuSeconds();
  Timed(state, g_recode, [&] {
    TMPEGReEncode r;
    r.OutSampleRate = 0;
    r.ChannelMode = 2;
    r.Bitrate = 320;
    r.Preset = 2;
    for (size_t pos = 0; pos < m.bytes.size(); pos += 32767) {
      const size_t n = std::min<size_t>(32767, m.bytes.size() - pos);
      const int32_t got = r.Recode(m.bytes.data() + pos, static_cast<int32_t>(n), out.data(),
                                   static_cast<int32_t>(out.size()));
      if (got > 0) produced += static_cast<size_t>(got);
    }
    benchmark::DoNotOptimize(produced);
  });
  g_recodeCpu = (CpuSeconds() - cpuStart) / static_cast<double>(state.iterations());
}

} // namespace

BENCHMARK(BM_LameCommandLine320)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_LameCommandLine192q5)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Recode)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Material();   // the source is made before anything is timed
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_recode > 0 && g_lame320 > 0 && g_lame192 > 0)
    std::printf("re-encoder / lame -b 320: %.3f   re-encoder / lame -b 192 -q 5: %.3f   "
                "channels one core re-encodes in real time: %.0f (by CPU time)\n",
                g_recode / g_lame320, g_recode / g_lame192, kSeconds / g_recodeCpu);
  return 0;
}
