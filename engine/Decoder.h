#pragma once
// The engine's MPEG audio decoding apart from its input and output: libmpg123
// set up for what the outputs take, the equaliser on it, and one frame out.
// The player feeds a live body with mpg123_feed, or lets libmpg123 read a file.
#include <mpg123.h>

#include <cstddef>

#include "xaudio.h"

namespace xa {

// Signed 16-bit samples, mono or stereo, at any rate libmpg123 decodes: the
// outputs take nothing else. nullptr when libmpg123 cannot make a decoder
// (mpg123_init must have run).
mpg123_handle* NewDecoder();
// The bands in -100..100 (beyond is held there), 0 flat, +-100 the most gain or cut.
void SetEqualizer(mpg123_handle* decoder, const XA_EqualizerInfo& bands);

struct DecodedFrame {
  int Result = MPG123_OK;  // mpg123_decode_frame's
  // MPG123_OK: the samples, the decoder's own until its next call.
  const unsigned char* Audio = nullptr;
  size_t Bytes = 0;
  // MPG123_NEW_FORMAT: what the frames from here on are.
  long Rate = 0;
  int Channels = 0;
};
DecodedFrame DecodeFrame(mpg123_handle* decoder);

// What the stream itself carries at its current frame, whatever the decoder
// makes of it for the output.
struct StreamParameters {
  long Rate = 0;
  int Channels = 0;
  int Bitrate = 0;  // kbit/s
  bool operator==(const StreamParameters&) const = default;
};
StreamParameters CurrentParameters(mpg123_handle* decoder);

// From the next change of format in the stream on, the decoder converts to
// this rate and channel count instead of following the stream.
void HoldFormat(mpg123_handle* decoder, long rate, int channels);

}  // namespace xa
