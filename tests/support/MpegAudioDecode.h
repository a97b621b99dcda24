#pragma once
// MPEG audio (MP2, MP3) decoded to 16-bit PCM with libmpg123, as a player
// would: what tests of recordings and of the re-encoder check their output by.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

struct TMpegAudioDecoding {
  std::string error;  // what the decoder stopped at; empty when it read to the end
  long rate = 0;
  int channels = 0;
  size_t frames = 0;
  int64_t sampleCount = 0;       // over all channels
  std::vector<int16_t> samples;  // interleaved; left empty when not asked for
  int bitrateKbps = 0;           // of the first frame
  bool constantBitrate = false;  // every frame CBR at the first frame's bit rate
  int layer = 0;                 // of every frame; 0 when they differ

  bool Decoded() const { return error.empty() && sampleCount > 0; }
  size_t PerChannel() const { return channels ? static_cast<size_t>(sampleCount) / channels : 0; }
};

// keepSamples false counts the PCM without holding it (long recordings).
TMpegAudioDecoding DecodeMpegAudio(std::span<const uint8_t> data, bool keepSamples = true);

inline TMpegAudioDecoding DecodeMpegAudio(std::string_view data, bool keepSamples = true) {
  return DecodeMpegAudio(std::span(reinterpret_cast<const uint8_t*>(data.data()), data.size()), keepSamples);
}

} // namespace testsupport
