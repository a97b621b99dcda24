#include "BenchMaterial.h"

#include <twolame.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "server/ServerTestUtil.h"
#include "server/SocketsStartup.h"

namespace benchmaterial {

std::vector<uint8_t> ChordLayerII(double seconds, int kbps) {
  twolame_options* o = twolame_init();
  twolame_set_in_samplerate(o, 48000);
  twolame_set_out_samplerate(o, 48000);
  twolame_set_num_channels(o, 2);
  twolame_set_mode(o, TWOLAME_STEREO);
  twolame_set_bitrate(o, kbps);
  twolame_init_params(o);
  std::vector<short> pcm(1152 * 2);
  std::vector<unsigned char> buf(16384);
  std::vector<uint8_t> es;
  const int total = static_cast<int>(seconds * 48000);
  for (int start = 0; start < total; start += 1152) {
    for (int i = 0; i < 1152; ++i) {
      const double t = (start + i) / 48000.0;
      pcm[i * 2] = static_cast<short>(6000 * std::sin(2 * M_PI * 440 * t) +
                                      3000 * std::sin(2 * M_PI * (1000 + 500 * std::sin(t)) * t));
      pcm[i * 2 + 1] = static_cast<short>(6000 * std::sin(2 * M_PI * 660 * t) +
                                          2000 * std::sin(2 * M_PI * 5000 * t));
    }
    const int n = twolame_encode_buffer_interleaved(o, pcm.data(), 1152, buf.data(), static_cast<int>(buf.size()));
    es.insert(es.end(), buf.begin(), buf.begin() + std::max(n, 0));
  }
  const int n = twolame_encode_flush(o, buf.data(), static_cast<int>(buf.size()));
  es.insert(es.end(), buf.begin(), buf.begin() + std::max(n, 0));
  twolame_close(&o);
  return es;
}

std::vector<uint8_t> Packetize(const std::vector<uint8_t>& es) {
  std::vector<uint8_t> out;
  for (size_t off = 0; off + 184 <= es.size(); off += 184) {
    const uint8_t head[4] = {0x47, 0x01, 0x00, 0x10};
    out.insert(out.end(), head, head + 4);
    out.insert(out.end(), es.begin() + static_cast<long>(off), es.begin() + static_cast<long>(off + 184));
  }
  return out;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

namespace {
std::vector<std::string> ChannelNames(int channels) {
  std::vector<std::string> names;
  for (int i = 0; i < channels; ++i) names.push_back("Channel_" + std::to_string(i));
  return names;
}
} // namespace

TCallbackRig::TCallbackRig(int channels, RecordFormat recordFormat) : format(recordFormat) {
  SocketsStartup();
  const auto names = ChannelNames(channels);
  server = StartRecordingServer(names, servertest::FreePort());
  for (const auto& name : names) sessions.AddSession("", name, false);
  target.Sessions = &sessions;
  target.Server = server.get();
  target.Format = &format;
}

} // namespace benchmaterial
