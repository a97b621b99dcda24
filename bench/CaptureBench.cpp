// The capture callback's cost per packet: " PCM" through OnTsPacket into the
// ring buffers and the server sources, against copying the same payload
// bytes with memcpy; and " MP3", to see how many 192 kbit/s channels one core
// re-encodes in real time.
#include "BenchMaterial.h"
#include "capture/CaptureSession.h"
#include "tsbuilder/MpegAudio.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr double kPacketsPerSecond192k = 24000.0 / 184.0;  // one 192 kbit/s channel

using benchmaterial::Packetize;

const std::vector<uint8_t>& LayerIIPackets() {
  static const std::vector<uint8_t> packets = [] {
    tsb::TAudioFormat f;  // 48 kHz stereo 192 kbit/s
    return Packetize(tsb::EncodeTone(f, tsb::TToneSpec{}, 20.0));
  }();
  return packets;
}

void RunCallback(benchmark::State& state, RecordFormat format) {
  const int n = static_cast<int>(state.range(0));
  benchmaterial::TCallbackRig rig(n, format);
  CaptureTarget& target = rig.target;
  AttachCapture(&target);

  const auto& packets = LayerIIPackets();
  const size_t count = packets.size() / 188;
  // Each channel walks the stream on its own; one turn gives every channel
  // its next packet, as a multiplex interleaves them.
  std::vector<size_t> pos(static_cast<size_t>(n), 0);
  int channel = 0;
  for (auto _ : state) {
    size_t& p = pos[static_cast<size_t>(channel)];
    OnTsPacket(packets.data() + p * 188, 188, channel + 1);
    p = p + 1 == count ? 0 : p + 1;
    channel = channel + 1 == n ? 0 : channel + 1;
  }
  DetachCapture();
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 184);
  state.counters["channels_realtime"] = benchmark::Counter(
      static_cast<double>(state.iterations()) / kPacketsPerSecond192k, benchmark::Counter::kIsRate);
}

void BM_OnTsPacketPcm(benchmark::State& state) { RunCallback(state, RecordFormat::Pcm); }
void BM_OnTsPacketMp3(benchmark::State& state) { RunCallback(state, RecordFormat::Mp3); }

// The peer: the same payload bytes copied into one 65535-byte buffer.
void BM_MemcpyPayload(benchmark::State& state) {
  const auto& packets = LayerIIPackets();
  const size_t count = packets.size() / 188;
  std::vector<uint8_t> ring(65535);
  size_t at = 0, p = 0;
  for (auto _ : state) {
    if (at + 184 > ring.size()) at = 0;
    std::memcpy(ring.data() + at, packets.data() + p * 188 + 4, 184);
    benchmark::DoNotOptimize(ring.data());
    at += 184;
    p = p + 1 == count ? 0 : p + 1;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 184);
}

} // namespace

BENCHMARK(BM_MemcpyPayload);
BENCHMARK(BM_OnTsPacketPcm)->Arg(1)->Arg(16)->Arg(250)->MinTime(1.0);
BENCHMARK(BM_OnTsPacketMp3)->Arg(1)->Arg(16)->MinTime(3.0)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
