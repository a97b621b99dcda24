#include "capture/ReencodeTestAudio.h"

#include "capture/MpegReencoder.h"

#include <twolame.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace reencode_test {

Bytes MakeLayer2(int rate, int channels, int kbps, double seconds, double leftHz, double rightHz) {
  twolame_options* opts = twolame_init();
  if (!opts) throw std::runtime_error("twolame_init");
  twolame_set_in_samplerate(opts, rate);
  twolame_set_out_samplerate(opts, rate);
  twolame_set_num_channels(opts, channels);
  twolame_set_mode(opts, channels == 1 ? TWOLAME_MONO : TWOLAME_STEREO);
  twolame_set_version(opts, rate >= 32000 ? TWOLAME_MPEG1 : TWOLAME_MPEG2);
  twolame_set_bitrate(opts, kbps);
  if (twolame_init_params(opts) != 0) {
    twolame_close(&opts);
    throw std::runtime_error("twolame_init_params");
  }
  const int total = static_cast<int>(seconds * rate);
  const int block = 1152;
  std::vector<short> pcm(static_cast<size_t>(block) * channels);
  std::vector<unsigned char> buf(16384);
  Bytes out;
  const double pi = std::acos(-1.0);
  for (int start = 0; start < total; start += block) {
    const int n = std::min(block, total - start);
    for (int i = 0; i < n; ++i) {
      const double t = static_cast<double>(start + i) / rate;
      pcm[static_cast<size_t>(i) * channels] = static_cast<short>(12000 * std::sin(2 * pi * leftHz * t));
      if (channels == 2)
        pcm[static_cast<size_t>(i) * 2 + 1] = static_cast<short>(12000 * std::sin(2 * pi * rightHz * t));
    }
    const int got = twolame_encode_buffer_interleaved(opts, pcm.data(), n, buf.data(),
                                                      static_cast<int>(buf.size()));
    if (got < 0) throw std::runtime_error("twolame_encode_buffer_interleaved");
    out.insert(out.end(), buf.begin(), buf.begin() + got);
  }
  const int got = twolame_encode_flush(opts, buf.data(), static_cast<int>(buf.size()));
  if (got > 0) out.insert(out.end(), buf.begin(), buf.begin() + got);
  twolame_close(&opts);
  return out;
}

Bytes SilentFrames(const uint8_t header[4], int count) {
  const int32_t length = TMPEGReEncode::FrameLength(header);
  Bytes out;
  for (int i = 0; i < count; ++i) {
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(length), 0);
    std::copy(header, header + 4, out.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return out;
}

double ToneShare(const testsupport::TMpegAudioDecoding& pcm, int channel, double hz) {
  // Goertzel over whole windows of an integral number of cycles, skipping the
  // first second where encoder start-up may still ring.
  const size_t n = pcm.PerChannel();
  const size_t window = static_cast<size_t>(pcm.rate / 10);   // 0.1 s
  const double w = 2 * std::acos(-1.0) * hz / static_cast<double>(pcm.rate);
  double tone = 0, total = 0;
  for (size_t start = static_cast<size_t>(pcm.rate); start + window <= n; start += window) {
    double s1 = 0, s2 = 0, energy = 0;
    for (size_t i = 0; i < window; ++i) {
      const double x = pcm.samples[(start + i) * pcm.channels + channel];
      energy += x * x;
      const double s0 = x + 2 * std::cos(w) * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
    tone += 2 * power / static_cast<double>(window);
    total += energy;
  }
  return total > 0 ? tone / total : 0;
}

std::string WriteTemp(const Bytes& data, const std::string& suffix) {
  std::string path = "/tmp/mc_reencode_XXXXXX" + suffix;
  const int fd = ::mkstemps(path.data(), static_cast<int>(suffix.size()));
  if (fd < 0) throw std::runtime_error("mkstemps");
  const ssize_t w = ::write(fd, data.data(), data.size());
  ::close(fd);
  if (w != static_cast<ssize_t>(data.size())) throw std::runtime_error("write");
  return path;
}

} // namespace reencode_test
