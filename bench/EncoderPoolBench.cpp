// The encoder pool, side by side with the lame command line in one run:
//  - channels re-encoded in real time at 320 and 128 kbit/s with 1 and 2
//    workers (8 channels of 30 s of 384 kbit/s 48 kHz stereo Layer II pushed
//    through OnTsPacket at once, timed until the pool is idle), against lame
//    run once per core, all at the same time, on the same file; each figure
//    is the best of its runs, as other work on the machine only slows a run;
//  - the delivery thread's own time per packet with 250 channels in " MP3"
//    (the pool takes the chunks) and in " PCM" (cpu column: that thread's CPU).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "BenchMaterial.h"
#include "capture/CaptureSession.h"

namespace {

constexpr double kSeconds = 30;
constexpr int kPooledChannels = 8;

struct TMaterial {
  std::vector<uint8_t> es = benchmaterial::ChordLayerII(kSeconds, 384);
  std::vector<uint8_t> packets = benchmaterial::Packetize(es);  // 188-byte packets of the elementary stream
  std::string path = "/tmp/mc_pool_bench_" + std::to_string(::getpid()) + ".mp2";
  TMaterial() { benchmaterial::WriteFile(path, es); }
  ~TMaterial() { std::remove(path.c_str()); }
  size_t Count() const { return packets.size() / 188; }
};

TMaterial& Material() {
  static TMaterial m;
  return m;
}

int Cores() { return DefaultEncoderWorkers(); }

// Channels in real time by kbit/s, for the closing summary.
std::map<int, double> g_lame;
std::map<std::pair<int, int>, double> g_pool;  // (kbit/s, workers)

void BM_LameOnePerCore(benchmark::State& state) {
  const int kbps = static_cast<int>(state.range(0));
  const TMaterial& m = Material();
  // The re-encoder's settings: plain stereo, quality 5, no tag frame.
  std::string cmd = "sh -c '";
  for (int k = 0; k < Cores(); ++k)
    cmd += "lame --quiet --mp2input -m s -q 5 -t -b " + std::to_string(kbps) + " " + m.path + " " + m.path + "." +
           std::to_string(k) + ".mp3 & ";
  cmd += "wait'";
  bool failed = false;
  double best = 1e300;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    failed = std::system(cmd.c_str()) != 0 || failed;
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  for (int k = 0; k < Cores(); ++k) std::remove((m.path + "." + std::to_string(k) + ".mp3").c_str());
  if (failed) {
    state.SkipWithError("lame failed");
    return;
  }
  const double channels = Cores() * kSeconds / best;
  g_lame[kbps] = channels;
  state.counters["channels_realtime"] = channels;
}

void BM_PoolReencode(benchmark::State& state) {
  const int kbps = static_cast<int>(state.range(0));
  const int workers = static_cast<int>(state.range(1));
  const TMaterial& m = Material();
  double best = 1e300;
  for (auto _ : state) {
    state.PauseTiming();
    TSessions sessions;
    for (int c = 0; c < kPooledChannels; ++c) {
      sessions.AddSession("", "C" + std::to_string(c), false);
      sessions[static_cast<size_t>(c)].Encoder.Bitrate = kbps;
    }
    std::atomic<RecordFormat> format{RecordFormat::Mp3};
    CaptureTarget target;
    target.Sessions = &sessions;
    target.Format = &format;
    TEncoderPoolSettings s;
    s.Workers = workers;
    s.QueueBound = m.Count() * 184 / 32767 + 2;  // every chunk fits: the count is of work, not of drops
    s.Work = [&](size_t row, const TPoolChunk& chunk) { ProcessPooledChunk(target, row, chunk); };
    TEncoderPool pool(kPooledChannels, s);
    target.Encoders = &pool;
    AttachCapture(&target);
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    for (size_t p = 0; p < m.Count(); ++p)
      for (int c = 0; c < kPooledChannels; ++c) OnTsPacket(m.packets.data() + p * 188, 188, c + 1);
    pool.WaitIdle();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    state.PauseTiming();
    if (pool.Dropped() != 0) state.SkipWithError("chunks were dropped");
    DetachCapture();
    pool.Stop();
    state.ResumeTiming();
  }
  const double channels = kPooledChannels * kSeconds / best;
  g_pool[{kbps, workers}] = channels;
  state.counters["channels_realtime"] = channels;
  if (g_lame.count(kbps)) state.counters["ratio_to_lame"] = channels / g_lame[kbps];
}

// 250 channels, each packet in turn, as a multiplex interleaves them; the
// pool (one worker per core) takes " MP3" chunks and drops what it cannot
// keep up with, which is the delivery thread's worst case.
void BM_DeliveryPerPacket(benchmark::State& state) {
  const RecordFormat format = state.range(0) ? RecordFormat::Mp3 : RecordFormat::Pcm;
  constexpr int kChannels = 250;
  benchmaterial::TCallbackRig rig(kChannels, format);
  CaptureTarget& target = rig.target;
  TEncoderPoolSettings s;
  s.Work = [&](size_t row, const TPoolChunk& chunk) { ProcessPooledChunk(target, row, chunk); };
  TEncoderPool pool(kChannels, s);
  target.Encoders = &pool;
  AttachCapture(&target);

  const TMaterial& m = Material();
  std::vector<size_t> pos(kChannels, 0);
  int channel = 0;
  for (auto _ : state) {
    size_t& p = pos[static_cast<size_t>(channel)];
    OnTsPacket(m.packets.data() + p * 188, 188, channel + 1);
    p = p + 1 == m.Count() ? 0 : p + 1;
    channel = channel + 1 == kChannels ? 0 : channel + 1;
  }
  DetachCapture();
  pool.Stop();
  state.counters["dropped_chunks"] = static_cast<double>(pool.Dropped());
  state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_LameOnePerCore)->Arg(320)->Arg(128)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_PoolReencode)
    ->ArgNames({"kbps", "workers"})
    ->Args({320, 1})->Args({320, 2})->Args({128, 1})->Args({128, 2})
    ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_DeliveryPerPacket)->ArgName("mp3")->Arg(0)->Arg(1)->MinTime(2.0);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Material();  // the source is made before anything is timed
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const int kbps : {320, 128}) {
    const double one = g_pool[{kbps, 1}], two = g_pool[{kbps, 2}], lame = g_lame[kbps];
    if (one > 0 && two > 0 && lame > 0)
      std::printf("%d kbit/s: channels in real time: 1 worker %.0f, 2 workers %.0f (x%.2f), lame once per core "
                  "(%d) %.0f; pool / lame: %.2f (1 worker), %.2f (2 workers)\n",
                  kbps, one, two, two / one, Cores(), lame, one / lame, two / lame);
  }
  return 0;
}
