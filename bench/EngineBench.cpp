// Decoding and rendering 120 s of the demo's stereo channel to WAV with the
// equaliser on, against `mpg123 -w` on the same file in the same run. The
// counter "ratio" is the engine's time over mpg123's.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "player/XaudioPlayer.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Temp(const std::string& name) { return "/tmp/engine_bench_" + std::to_string(::getpid()) + "_" + name; }

// 120 s: the 60-second demo channel twice over.
std::string MakeInput() {
  const std::string demo = std::string(MC_BIN_DIR) + "/Device/Emulator/4084H.es/101.mp2";
  std::ifstream in(demo, std::ios::binary);
  const std::string audio((std::istreambuf_iterator<char>(in)), {});
  const std::string path = Temp("120s.mp2");
  std::ofstream(path, std::ios::binary) << audio << audio;
  return path;
}

double RenderWithEngine(TXaudioPlayer& player, const std::string& input, const std::string& wav) {
  bool ended = false;
  player.OnNotifyPlayerState = [&](TXaudioPlayer*, int32_t s) { ended = ended || s == XA_PLAYER_STATE_EOS; };
  const auto start = Clock::now();
  player.OutputOpen("wav:" + wav);
  player.InputOpen(input);
  player.Play();
  while (!ended) {
    player.ProcessNotifications();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double RenderWithMpg123(const std::string& input, const std::string& wav) {
  const std::string cmd = "mpg123 -q -w " + wav + " " + input;
  const auto start = Clock::now();
  if (std::system(cmd.c_str()) != 0) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_EngineVsMpg123ToWav(benchmark::State& state) {
  const std::string input = MakeInput(), ours = Temp("engine.wav"), theirs = Temp("mpg123.wav");
  TXaudioPlayer player;
  player.XaudioPath = std::string(MC_BIN_DIR) + "/libxaudio.so";
  player.Init();
  XA_EqualizerInfo eq{};
  for (int i = 0; i < 32; ++i) eq.left[i] = eq.right[i] = static_cast<signed char>(i < 10 ? 40 : -20);
  player.SetCodecEqualizer(eq);
  double engine = 0, reference = 0;
  for (auto _ : state) {
    engine += RenderWithEngine(player, input, ours);
    const double r = RenderWithMpg123(input, theirs);
    if (r < 0) {
      state.SkipWithError("mpg123 failed");
      break;
    }
    reference += r;
  }
  state.counters["engine_s"] = benchmark::Counter(engine, benchmark::Counter::kAvgIterations);
  state.counters["mpg123_s"] = benchmark::Counter(reference, benchmark::Counter::kAvgIterations);
  state.counters["ratio"] = reference > 0 ? engine / reference : 0;
  std::remove(input.c_str());
  std::remove(ours.c_str());
  std::remove(theirs.c_str());
}
BENCHMARK(BM_EngineVsMpg123ToWav)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
