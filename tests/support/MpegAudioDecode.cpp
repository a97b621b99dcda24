#include "support/MpegAudioDecode.h"

#include <mpg123.h>

#include <algorithm>
#include <memory>

namespace testsupport {

TMpegAudioDecoding DecodeMpegAudio(std::span<const uint8_t> data, bool keepSamples) {
  // Needed before libmpg123 1.27, harmless after; once per process.
  [[maybe_unused]] static const int initialised = mpg123_init();
  TMpegAudioDecoding d;
  std::unique_ptr<mpg123_handle, decltype(&mpg123_delete)> handle(mpg123_new(nullptr, nullptr), &mpg123_delete);
  mpg123_handle* h = handle.get();
  if (!h) {
    d.error = "mpg123_new failed";
    return d;
  }
  mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
  // 16-bit output at every MPEG rate, so that two bytes are one sample.
  mpg123_format_none(h);
  for (long rate : {8000L, 11025L, 12000L, 16000L, 22050L, 24000L, 32000L, 44100L, 48000L})
    mpg123_format(h, rate, MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
  if (mpg123_open_feed(h) != MPG123_OK) {
    d.error = "mpg123_open_feed failed";
    return d;
  }
  // Fed piece by piece: the decoder keeps a copy of whatever it is given.
  constexpr size_t kPiece = 1 << 16;
  size_t fed = 0;
  bool allCbr = true;
  for (;;) {
    off_t number = 0;
    unsigned char* audio = nullptr;
    size_t bytes = 0;
    const int rc = mpg123_decode_frame(h, &number, &audio, &bytes);
    if (rc == MPG123_NEED_MORE) {
      if (fed == data.size()) break;
      const size_t n = std::min(kPiece, data.size() - fed);
      mpg123_feed(h, data.data() + fed, n);
      fed += n;
      continue;
    }
    if (rc == MPG123_NEW_FORMAT) {
      int encoding = 0;
      mpg123_getformat(h, &d.rate, &d.channels, &encoding);
      continue;
    }
    if (rc == MPG123_DONE) break;
    if (rc != MPG123_OK) {
      d.error = mpg123_strerror(h);
      break;
    }
    mpg123_frameinfo info{};
    if (mpg123_info(h, &info) == MPG123_OK) {
      if (d.frames == 0) {
        d.bitrateKbps = info.bitrate;
        d.layer = info.layer;
      }
      if (info.bitrate != d.bitrateKbps || info.vbr != MPG123_CBR) allCbr = false;
      if (info.layer != d.layer) d.layer = 0;
    }
    ++d.frames;
    const auto* pcm = reinterpret_cast<const int16_t*>(audio);
    d.sampleCount += static_cast<int64_t>(bytes / 2);
    if (keepSamples) d.samples.insert(d.samples.end(), pcm, pcm + bytes / 2);
  }
  d.constantBitrate = allCbr && d.frames > 0 && d.bitrateKbps > 0;
  return d;
}

} // namespace testsupport
