// What reading "now playing" costs on the capture path.
//   radiotext_bench                 the reader per MPEG frame, against walking
//                                   the frame headers alone (Google Benchmark)
//   radiotext_bench --realtime [seconds=20] [channels=250]
//                                   OnTsPacket at the stations' real rate for
//                                   every channel, titles read and not, and the
//                                   process's CPU time as a share of one core
#include "base/MpegAudioHeader.h"
#include "capture/CaptureSession.h"
#include "radiotext/RadioTextReader.h"
#include "tsbuilder/MpegAudio.h"
#include "tsbuilder/RdsAncillary.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr int kKbps = 192;

// 192 kbit/s Layer II with a station's name and titles that change, as the
// demo channels carry them.
const std::vector<uint8_t>& StationAudio() {
  static const std::vector<uint8_t> es = [] {
    tsb::TAudioFormat f;
    f.bitrateKbps = kKbps;
    tsb::TRdsSpec rds{"STATION", {{0, "Artist One - First Song"}, {3, "Band Two - Second Song"}, {6, ""},
                                  {7, "Third - A title that runs on to all of sixty-four characters"}}};
    f.ancillaryBytes = rds.bytesPerFrame;
    tsb::Bytes bytes = tsb::EncodeTone(f, tsb::TToneSpec{}, 10.0);
    tsb::InsertRds(bytes, rds);
    return bytes;
  }();
  return es;
}

size_t CountFrames(const std::vector<uint8_t>& es) {
  size_t frames = 0;
  for (size_t i = 0; i + 4 <= es.size();) {
    const int32_t length = mpeg::IsValidHeader(es.data() + i) ? mpeg::FrameLength(es.data() + i) : 0;
    if (length < 4) {
      ++i;
      continue;
    }
    ++frames;
    i += static_cast<size_t>(length);
  }
  return frames;
}

// The capture's chunks, fed to one reader.
void BM_ReaderPerFrame(benchmark::State& state) {
  const auto& es = StationAudio();
  const size_t frames = CountFrames(es);
  uint64_t changes = 0;
  for (auto _ : state) {
    radiotext::TRadioTextReader reader;
    for (size_t at = 0; at < es.size(); at += kChunkBytes)
      changes += reader.Feed(es.data() + at, std::min<size_t>(kChunkBytes, es.size() - at));
    benchmark::DoNotOptimize(changes);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
  state.counters["per_frame"] = benchmark::Counter(static_cast<double>(state.iterations() * frames),
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReaderPerFrame)->Unit(benchmark::kMillisecond);

// The floor: the same frames walked by their headers, nothing read.
void BM_HeaderWalkPerFrame(benchmark::State& state) {
  const auto& es = StationAudio();
  const size_t frames = CountFrames(es);
  for (auto _ : state) benchmark::DoNotOptimize(CountFrames(es));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
  state.counters["per_frame"] = benchmark::Counter(static_cast<double>(state.iterations() * frames),
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_HeaderWalkPerFrame)->Unit(benchmark::kMillisecond);

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Every channel gets its packets at 192 kbit/s in 10 ms steps, as a card
// delivers them; the share of a core the deliveries took.
double RealTimeShare(int channels, double seconds, bool readTitles) {
  const auto& es = StationAudio();
  std::vector<uint8_t> packets;
  for (size_t off = 0; off + 184 <= es.size(); off += 184) {
    const uint8_t head[4] = {0x47, 0x01, 0x00, 0x10};
    packets.insert(packets.end(), head, head + 4);
    packets.insert(packets.end(), es.begin() + static_cast<long>(off), es.begin() + static_cast<long>(off + 184));
  }
  const size_t packetCount = packets.size() / 188;
  TSessions sessions;
  for (int i = 0; i < channels; ++i) sessions.AddSession("", "Channel_" + std::to_string(i), false);
  std::atomic<RecordFormat> format{RecordFormat::Pcm};
  CaptureTarget target;
  target.Sessions = &sessions;
  target.Format = &format;
  target.ReadTitles = readTitles;
  uint64_t told = 0;
  target.TitleChanged = [&](size_t, const std::string&, const std::string&) { ++told; };
  AttachCapture(&target);
  using Clock = std::chrono::steady_clock;
  const double packetsPerSecond = kKbps * 1000.0 / 8.0 / 184.0;
  const auto start = Clock::now();
  const double cpu0 = CpuSeconds();
  size_t sent = 0;
  for (int step = 1; step <= static_cast<int>(seconds * 100); ++step) {
    const auto due = static_cast<size_t>(packetsPerSecond * step / 100.0);
    for (; sent < due; ++sent)
      for (int c = 0; c < channels; ++c) OnTsPacket(&packets[(sent % packetCount) * 188], 188, c + 1);
    std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * step));
  }
  const double cpu = CpuSeconds() - cpu0;
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  DetachCapture();
  std::printf("  titles %-3s: %5.2f%% of a core (%.2f s CPU in %.1f s), %llu title changes told\n",
              readTitles ? "on" : "off", 100.0 * cpu / wall, cpu, wall, static_cast<unsigned long long>(told));
  return cpu / wall;
}

} // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--realtime") == 0) {
    const double seconds = argc >= 3 ? std::atof(argv[2]) : 20.0;
    const int channels = argc >= 4 ? std::atoi(argv[3]) : 250;
    std::printf("%d channels of %d kbit/s in real time, %.0f s each:\n", channels, kKbps, seconds);
    const double off = RealTimeShare(channels, seconds, false);
    const double on = RealTimeShare(channels, seconds, true);
    std::printf("  reading titles adds %.2f%% of a core\n", 100.0 * (on - off));
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
