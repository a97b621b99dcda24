// The player engine's decoder on arbitrary bytes. The first byte's bit 0
// picks the input: a live body, fed in pieces as the stream's reads bring
// them (an empty piece ends the stream, as a read of 0 does), or a file that
// libmpg123 reads itself, played to the end, then sought to the middle and
// to the top as the slider and a new Play do. Bit 1: the next 64 bytes are
// the equaliser's bands; without them the bands are flat, as the engine's are
// before the player window sets them.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Decoder.h"
#include "FuzzInput.h"

namespace {

// What the engine's step relies on: a format before any samples, one the
// outputs take, then whole sample frames of it; and a decoder that, asked
// again and again, either gives something, wants more or ends.
class TChecked {
 public:
  explicit TChecked(size_t inputSize) : stepsLeft_(64 + 8 * inputSize) {}
  xa::DecodedFrame Step(mpg123_handle* decoder) {
    if (stepsLeft_-- == 0) __builtin_trap();
    const xa::DecodedFrame f = xa::DecodeFrame(decoder);
    if (f.Result == MPG123_NEW_FORMAT) {
      if ((f.Channels != 1 && f.Channels != 2) || f.Rate < 8000 || f.Rate > 48000) __builtin_trap();
      rate_ = f.Rate;
      channels_ = f.Channels;
    } else if (f.Result == MPG123_OK && f.Bytes > 0) {
      if (rate_ == 0 || !f.Audio || f.Bytes % (2 * static_cast<size_t>(channels_)) != 0) __builtin_trap();
      // Every sample is read, as the volume scaling does.
      int16_t first = 0, last = 0;
      std::memcpy(&first, f.Audio, 2);
      std::memcpy(&last, f.Audio + f.Bytes - 2, 2);
      sink_ = sink_ + first + last;
    }
    return f;
  }
  static bool Ended(int result) { return result != MPG123_OK && result != MPG123_NEW_FORMAT; }

 private:
  size_t stepsLeft_;
  long rate_ = 0;
  int channels_ = 0;
  volatile int sink_ = 0;
};

void Live(mpg123_handle* decoder, const uint8_t* data, size_t size) {
  if (mpg123_open_feed(decoder) != MPG123_OK) __builtin_trap();
  TChecked checked(size);
  fuzz::TPieces pieces(data, size);
  for (;;) {
    const int r = checked.Step(decoder).Result;
    if (r != MPG123_NEED_MORE) {
      if (TChecked::Ended(r)) return;
      continue;
    }
    const uint8_t* piece;
    size_t n;
    if (!pieces.Next(piece, n) || n == 0) return;
    mpg123_feed(decoder, piece, n);
  }
}

void PlayToEnd(mpg123_handle* decoder, TChecked& checked, int maxFrames) {
  for (int k = 0; k < maxFrames && !TChecked::Ended(checked.Step(decoder).Result); ++k) {
  }
}

void File(mpg123_handle* decoder, const uint8_t* data, size_t size) {
  if (mpg123_open(decoder, fuzz::AsFile(data, size).c_str()) != MPG123_OK) return;
  TChecked checked(3 * size);
  PlayToEnd(decoder, checked, 1 << 30);
  const off_t length = mpg123_length(decoder);
  if (length > 0 && mpg123_seek(decoder, length / 2, SEEK_SET) >= 0) PlayToEnd(decoder, checked, 4);
  if (mpg123_seek(decoder, 0, SEEK_SET) >= 0) PlayToEnd(decoder, checked, 4);
  mpg123_close(decoder);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mpg123_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  ++data;
  --size;
  XA_EqualizerInfo bands{};
  if ((flags & 2) && size >= sizeof bands) {
    std::memcpy(&bands, data, sizeof bands);
    data += sizeof bands;
    size -= sizeof bands;
  }
  mpg123_handle* decoder = xa::NewDecoder();
  if (!decoder) __builtin_trap();
  xa::SetEqualizer(decoder, bands);
  if (flags & 1)
    File(decoder, data, size);
  else
    Live(decoder, data, size);
  mpg123_delete(decoder);
  return 0;
}
