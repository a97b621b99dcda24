#include "Decoder.h"

#include <algorithm>
#include <cmath>

namespace xa {
namespace {

constexpr double kEqualizerMaxDb = 12.0;

}  // namespace

mpg123_handle* NewDecoder() {
  int err = MPG123_OK;
  mpg123_handle* decoder = mpg123_new(nullptr, &err);
  if (!decoder) return nullptr;
  mpg123_param(decoder, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
  // Damage in a recording or a broadcast is skipped to the next good frame,
  // however long; input that never decodes is ended by the player.
  mpg123_param(decoder, MPG123_RESYNC_LIMIT, -1, 0);
  mpg123_format_none(decoder);
  const long* rates = nullptr;
  size_t count = 0;
  mpg123_rates(&rates, &count);
  for (size_t i = 0; i < count; ++i) mpg123_format(decoder, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
  return decoder;
}

void HoldFormat(mpg123_handle* decoder, long rate, int channels) {
  mpg123_format_none(decoder);
  mpg123_format(decoder, rate, channels == 1 ? MPG123_MONO : MPG123_STEREO, MPG123_ENC_SIGNED_16);
}

StreamParameters CurrentParameters(mpg123_handle* decoder) {
  mpg123_frameinfo info{};
  if (mpg123_info(decoder, &info) != MPG123_OK) return {};
  return {info.rate, info.mode == MPG123_M_MONO ? 1 : 2, info.bitrate};
}

void SetEqualizer(mpg123_handle* decoder, const XA_EqualizerInfo& bands) {
  for (int band = 0; band < 32; ++band) {
    const int v[2] = {bands.left[band], bands.right[band]};
    const int ch[2] = {MPG123_LEFT, MPG123_RIGHT};
    for (int k = 0; k < 2; ++k) {
      const double db = std::clamp(v[k], -100, 100) * kEqualizerMaxDb / 100.0;
      mpg123_eq(decoder, static_cast<mpg123_channels>(ch[k]), band, std::pow(10.0, db / 20.0));
    }
  }
}

DecodedFrame DecodeFrame(mpg123_handle* decoder) {
  DecodedFrame f;
  off_t frameNumber = 0;
  unsigned char* audio = nullptr;
  f.Result = mpg123_decode_frame(decoder, &frameNumber, &audio, &f.Bytes);
  if (f.Result == MPG123_OK) {
    f.Audio = audio;
  } else if (f.Result == MPG123_NEW_FORMAT) {
    int encoding = 0;
    mpg123_getformat(decoder, &f.Rate, &f.Channels, &encoding);
    f.Bytes = 0;
  } else {
    f.Bytes = 0;
  }
  return f;
}

}  // namespace xa
