#include "tsbuilder/MpegAudio.h"

#include <twolame.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <stdexcept>

namespace tsb {
namespace {

struct TwolameCloser {
  void operator()(twolame_options* o) const { twolame_close(&o); }
};

TWOLAME_MPEG_mode ToTwolame(TAudioMode mode) {
  switch (mode) {
    case TAudioMode::Stereo: return TWOLAME_STEREO;
    case TAudioMode::JointStereo: return TWOLAME_JOINT_STEREO;
    case TAudioMode::DualChannel: return TWOLAME_DUAL_CHANNEL;
    case TAudioMode::Mono: return TWOLAME_MONO;
  }
  return TWOLAME_STEREO;
}

// Soft attack and release so note changes do not click.
double Envelope(double t, double length) {
  const double attack = std::min(0.03, length / 4), release = std::min(0.12, length / 3);
  if (t < attack) return t / attack;
  if (t > length - release) return std::max(0.0, (length - t) / release);
  return 1.0;
}

// Interleaved 16-bit samples: the current arpeggio note over a quiet drone
// of the root, with the note leaning left or right in stereo.
std::vector<int16_t> SynthesizeTone(const TToneSpec& tone, int sampleRate, int channels,
                                    size_t frames) {
  std::vector<int16_t> pcm(frames * channels);
  const size_t noteLen = std::max<size_t>(1, static_cast<size_t>(tone.noteSeconds * sampleRate));
  const double twoPi = 2 * std::numbers::pi;
  for (size_t n = 0; n < frames; ++n) {
    const size_t note = n / noteLen;
    const double ratio = tone.intervals.empty() ? 1.0 : tone.intervals[note % tone.intervals.size()];
    const double t = static_cast<double>(n) / sampleRate;
    const double local = static_cast<double>(n % noteLen) / sampleRate;
    const double melody = std::sin(twoPi * tone.rootHz * ratio * t) * Envelope(local, tone.noteSeconds);
    const double drone = 0.35 * std::sin(twoPi * tone.rootHz * 0.5 * t);
    const double pan = (note % 2 == 0) ? 0.65 : 0.35;
    const double left = 0.45 * (melody * (1 - pan) * 2 * 0.5 + drone * 0.5);
    const double right = 0.45 * (melody * pan * 2 * 0.5 + drone * 0.5);
    if (channels == 1) {
      pcm[n] = static_cast<int16_t>(std::lround(32767 * (left + right)));
    } else {
      pcm[2 * n] = static_cast<int16_t>(std::lround(32767 * left));
      pcm[2 * n + 1] = static_cast<int16_t>(std::lround(32767 * right));
    }
  }
  return pcm;
}

} // namespace

const char* AudioModeName(TAudioMode mode) {
  switch (mode) {
    case TAudioMode::Stereo: return "stereo";
    case TAudioMode::JointStereo: return "joint";
    case TAudioMode::DualChannel: return "dual";
    case TAudioMode::Mono: return "mono";
  }
  return "stereo";
}

Bytes EncodeTone(const TAudioFormat& format, const TToneSpec& tone, double seconds) {
  const int channels = format.mode == TAudioMode::Mono ? 1 : 2;
  std::unique_ptr<twolame_options, TwolameCloser> opts(twolame_init());
  if (!opts) throw std::runtime_error("twolame_init failed");
  twolame_set_verbosity(opts.get(), 0);
  twolame_set_num_channels(opts.get(), channels);
  twolame_set_in_samplerate(opts.get(), format.sampleRate);
  twolame_set_out_samplerate(opts.get(), format.sampleRate);
  twolame_set_version(opts.get(), format.sampleRate < 32000 ? TWOLAME_MPEG2 : TWOLAME_MPEG1);
  twolame_set_mode(opts.get(), ToTwolame(format.mode));
  twolame_set_bitrate(opts.get(), format.bitrateKbps);
  // Psychoacoustic model 0 is the cheapest; pure tones need nothing better.
  twolame_set_psymodel(opts.get(), 0);
  if (format.ancillaryBytes > 0) twolame_set_num_ancillary_bits(opts.get(), format.ancillaryBytes * 8);
  if (twolame_init_params(opts.get()) != 0)
    throw std::runtime_error("libtwolame refuses " + std::to_string(format.sampleRate) + " Hz, " +
                             std::to_string(format.bitrateKbps) + " kbit/s");

  const size_t frames = static_cast<size_t>(seconds * format.sampleRate / TWOLAME_SAMPLES_PER_FRAME);
  const size_t samples = frames * TWOLAME_SAMPLES_PER_FRAME;
  const std::vector<int16_t> pcm = SynthesizeTone(tone, format.sampleRate, channels, samples);

  Bytes out;
  std::vector<unsigned char> buffer(16384 * 4);
  constexpr size_t kBlock = 16 * TWOLAME_SAMPLES_PER_FRAME;
  for (size_t pos = 0; pos < samples; pos += kBlock) {
    const size_t n = std::min(kBlock, samples - pos);
    const int got = twolame_encode_buffer_interleaved(opts.get(), pcm.data() + pos * channels,
                                                      static_cast<int>(n), buffer.data(),
                                                      static_cast<int>(buffer.size()));
    if (got < 0) throw std::runtime_error("twolame_encode_buffer_interleaved failed");
    out.insert(out.end(), buffer.begin(), buffer.begin() + got);
  }
  const int tail = twolame_encode_flush(opts.get(), buffer.data(), static_cast<int>(buffer.size()));
  if (tail > 0) out.insert(out.end(), buffer.begin(), buffer.begin() + tail);
  return out;
}

std::optional<TMpegAudioHeader> ParseMpegAudioHeader(const uint8_t* d, size_t size) {
  if (size < 4 || d[0] != 0xFF || (d[1] & 0xE0) != 0xE0) return std::nullopt;
  const int versionBits = (d[1] >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
  const int layerBits = (d[1] >> 1) & 3;    // 3: I, 2: II, 1: III
  if (versionBits == 1 || layerBits == 0) return std::nullopt;
  const int bitrateIndex = d[2] >> 4, rateIndex = (d[2] >> 2) & 3, padding = (d[2] >> 1) & 1;
  if (bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return std::nullopt;
  static const int kBitrates[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  static const int kRates[3] = {44100, 48000, 32000};
  TMpegAudioHeader h;
  h.version = versionBits == 3 ? 1 : 2;
  h.layer = 4 - layerBits;
  h.bitrateKbps = kBitrates[h.version - 1][h.layer - 1][bitrateIndex];
  h.sampleRate = kRates[rateIndex] >> (versionBits == 3 ? 0 : versionBits == 2 ? 1 : 2);
  h.channelMode = d[3] >> 6;
  if (h.layer == 1) {
    h.samplesPerFrame = 384;
    h.frameBytes = (12 * h.bitrateKbps * 1000 / h.sampleRate + padding) * 4;
  } else {
    h.samplesPerFrame = (h.layer == 3 && h.version == 2) ? 576 : 1152;
    h.frameBytes = h.samplesPerFrame / 8 * h.bitrateKbps * 1000 / h.sampleRate + padding;
  }
  return h;
}

std::vector<size_t> SplitFrames(const Bytes& stream) {
  std::vector<size_t> frames;
  size_t pos = 0;
  while (pos < stream.size()) {
    const auto h = ParseMpegAudioHeader(stream.data() + pos, stream.size() - pos);
    if (!h || h->frameBytes <= 0 || pos + h->frameBytes > stream.size()) break;
    frames.push_back(static_cast<size_t>(h->frameBytes));
    pos += h->frameBytes;
  }
  return frames;
}

} // namespace tsb
