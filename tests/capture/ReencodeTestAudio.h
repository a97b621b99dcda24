#pragma once
// Test material for the re-encoder: Layer II streams made with libtwolame,
// synthetic frames of silence, and how much of a decoded channel is one tone.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/MpegAudioDecode.h"

namespace reencode_test {

using Bytes = std::vector<uint8_t>;

// Layer II audio of a sine per channel (left at leftHz, right at rightHz).
Bytes MakeLayer2(int rate, int channels, int kbps, double seconds, double leftHz = 1000,
                 double rightHz = 750);

// count frames that carry the given header and a zero body: silence.
Bytes SilentFrames(const uint8_t header[4], int count);

// Share of the channel's energy that lies in the tone at hz (1.0 = pure tone).
double ToneShare(const testsupport::TMpegAudioDecoding& pcm, int channel, double hz);

// Feeds data through recode in chunks of chunkSize and concatenates the output.
template <typename Recoder>
Bytes RecodeInChunks(Recoder& r, const Bytes& data, size_t chunkSize) {
  Bytes out;
  std::vector<uint8_t> encoded(131070);
  for (size_t pos = 0; pos < data.size(); pos += chunkSize) {
    const size_t n = std::min(chunkSize, data.size() - pos);
    const int32_t m = r.Recode(data.data() + pos, static_cast<int32_t>(n), encoded.data(),
                               static_cast<int32_t>(encoded.size()));
    if (m > 0) out.insert(out.end(), encoded.begin(), encoded.begin() + m);
  }
  return out;
}

std::string WriteTemp(const Bytes& data, const std::string& suffix);

} // namespace reencode_test
