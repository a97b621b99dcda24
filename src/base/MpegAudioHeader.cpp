#include "base/MpegAudioHeader.h"

namespace {

// kbit/s by [version bits][layer bits][bit-rate index]; version bits 3 are
// MPEG-1, 2 MPEG-2, 0 MPEG-2.5 (which uses the MPEG-2 rates), 1 reserved.
constexpr uint16_t kBitrates[4][4][16] = {
    {{0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0}},
    {{0}, {0}, {0}, {0}},
    {{0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0}},
    {{0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0}},
};

// Hz by [version bits][sample-rate index].
constexpr uint32_t kSampleRates[4][4] = {
    {11025, 12000, 8000, 0},
    {0, 0, 0, 0},
    {22050, 24000, 16000, 0},
    {44100, 48000, 32000, 0},
};


} // namespace

namespace mpeg {

bool IsValidHeader(const uint8_t* h) {
  return h[0] == 0xFF && (h[1] & 0xE0) == 0xE0 && Version(h) != 1 && Layer(h) != 0 &&
         (h[2] >> 4) != 15 && (h[2] >> 4) != 0 && ((h[2] >> 2) & 3) != 3 && (h[3] & 3) != 2;
}

int32_t BitrateKbps(const uint8_t* h) { return kBitrates[Version(h)][Layer(h)][h[2] >> 4]; }

uint32_t SampleRate(const uint8_t* h) { return kSampleRates[Version(h)][(h[2] >> 2) & 3]; }

int32_t FrameLength(const uint8_t* h) {
  const uint32_t bitrate = static_cast<uint32_t>(BitrateKbps(h)) * 1000;
  const uint32_t rate = SampleRate(h);
  const uint32_t pad = (h[2] >> 1) & 1;
  if (rate == 0) return 0;
  switch (Layer(h)) {
    case 3: return static_cast<int32_t>((12 * bitrate / rate + pad) * 4);
    case 2: return static_cast<int32_t>(144 * bitrate / rate + pad);
    case 1: return static_cast<int32_t>(144 * bitrate / (rate * (Version(h) == 3 ? 1 : 2)) + pad);
    default: return 0;
  }
}

} // namespace mpeg
