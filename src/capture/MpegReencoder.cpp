#include "capture/MpegReencoder.h"

#include <cstring>
#include <new>

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

int Version(const uint8_t* h) { return (h[1] >> 3) & 3; }
int Layer(const uint8_t* h) { return (h[1] >> 1) & 3; }

} // namespace

TMPEGReEncode::TMPEGReEncode(const char* decoderLibrary, const char* encoderLibrary) {
  if (!decoder_.Load(decoderLibrary)) return;
  if (!encoder_.Load(encoderLibrary)) {
    decoder_.Unload();
    return;
  }
  ready_ = true;
}

TMPEGReEncode::~TMPEGReEncode() {
  if (!ready_) return;
  if (streamOpen_) CloseEncoder();
  // The decoder may hold a state even with the stream closed (an opening
  // that failed still starts it), so it is always released.
  decoder_.ExitMP3(&decoderState_);
}

bool TMPEGReEncode::IsValidHeader(const uint8_t* h) {
  return h[0] == 0xFF && (h[1] & 0xE0) == 0xE0 && Version(h) != 1 && Layer(h) != 0 &&
         (h[2] >> 4) != 15 && (h[2] >> 4) != 0 && ((h[2] >> 2) & 3) != 3 && (h[3] & 3) != 2;
}

int32_t TMPEGReEncode::BitrateKbps(const uint8_t* h) {
  return kBitrates[Version(h)][Layer(h)][h[2] >> 4];
}

uint32_t TMPEGReEncode::SampleRate(const uint8_t* h) {
  return kSampleRates[Version(h)][(h[2] >> 2) & 3];
}

int32_t TMPEGReEncode::FrameLength(const uint8_t* h) {
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

int32_t TMPEGReEncode::FindFrame(const uint8_t* data, int32_t n) {
  if (!data) return -1;
  for (int32_t i = 0; i <= n - 4; ++i) {
    if (!IsValidHeader(data + i)) continue;
    const int32_t length = FrameLength(data + i);
    if (static_cast<int64_t>(i) + length + 4 > n) return -1;
    if (IsValidHeader(data + i + length)) return i;
  }
  return -1;
}

bool TMPEGReEncode::ParseFirstHeader(const uint8_t* data, int32_t n, int32_t* bitrateKbps) {
  const int32_t i = FindFrame(data, n);
  if (i < 0) return false;
  const uint8_t* h = data + i;
  InSampleRate = SampleRate(h);
  InChannels = (h[3] >> 6) == 3 ? 1 : 2;
  if (bitrateKbps) *bitrateKbps = BitrateKbps(h);
  return true;
}

void TMPEGReEncode::OpenEncoder() {
  if (!ready_ || streamOpen_) return;
  std::memset(&config_, 0, sizeof config_);
  TLameHeaderV1& c = config_.format.LHV1;
  config_.dwConfig = BE_CONFIG_LAME;
  c.dwStructVersion = 2;
  c.dwStructSize = sizeof(BE_CONFIG);
  c.dwSampleRate = InSampleRate;
  c.dwReSampleRate = OutSampleRate;
  c.nMode = ChannelMode == 1 ? BE_MP3_MODE_MONO : BE_MP3_MODE_STEREO;
  const uint32_t outRate = OutSampleRate != 0 ? OutSampleRate : InSampleRate;
  c.dwMpegVersion = outRate >= 32000 ? MPEG1 : MPEG2;
  c.dwMaxBitrate = outRate >= 32000 ? 320 : 160;
  c.dwBitrate = static_cast<uint32_t>(Bitrate);
  // Sessions ask for normal quality only; the record has no other mapping.
  c.nPreset = LQP_NORMAL_QUALITY;
  c.bOriginal = -1;
  c.bStrictIso = 1;

  uint32_t samplesPerCall = 0;
  uint32_t outputSize = 0;
  HBE_STREAM handle = 0;
  if (encoder_.beInitStream(&config_, &samplesPerCall, &outputSize, &handle) != BE_ERR_SUCCESSFUL)
    return;
  encoderOutput_ = new (std::nothrow) uint8_t[outputSize];
  if (!encoderOutput_) {
    encoder_.beCloseStream(handle);
    return;
  }
  streamHandle_ = handle;
  encoderOutputSize_ = outputSize;
  valuesEncoded_ = 0;
  streamOpen_ = true;
}

void TMPEGReEncode::CloseEncoder() {
  if (!ready_ || !streamOpen_) return;
  encoder_.beCloseStream(streamHandle_);
  delete[] encoderOutput_;
  encoderOutput_ = nullptr;
  streamHandle_ = 0;
  streamOpen_ = false;
}

int TMPEGReEncode::Decode(const uint8_t* input, int32_t n, int32_t* done) {
  const int status = decoder_.DecodeMP3(&decoderState_, input, n, pcm_, PcmSize, done);
  if (status == MP3_ERR) decoder_.InitMP3(&decoderState_, InSampleRate, InChannels);
  return status;
}

int32_t TMPEGReEncode::Recode(const uint8_t* input, int32_t n, uint8_t* output, int32_t capacity) {
  holdsMore_ = false;
  if (!ready_ || !output || capacity < 0 || n < 0 || (n > 0 && !input)) return -1;
  if (encoderOutputSize_ > static_cast<uint32_t>(capacity)) return -1;
  if (!streamOpen_) {
    int32_t frameBitrate = 0;
    if (!ParseFirstHeader(input, n, &frameBitrate)) return -1;
    if (Bitrate > frameBitrate) Bitrate = frameBitrate;
    if (InChannels == 1 && ChannelMode > 1) ChannelMode = 1;
    OpenEncoder();
    decoder_.InitMP3(&decoderState_, InSampleRate, InChannels);
    if (!streamOpen_) return -1;
    // The capacity check above ran before the output size was known.
    if (encoderOutputSize_ > static_cast<uint32_t>(capacity)) return -1;
  }

  int32_t result = 0;
  int32_t done = 0;
  int status = Decode(input, n, &done);
  while (status == MP3_OK) {
    uint32_t values = static_cast<uint32_t>(done) / 2;
    if (InChannels == 2 && ChannelMode == 1) {
      // Keep the left channel: sample pair k moves to position k. The encoder
      // is given the values that remain, or it would encode stale bytes too.
      for (int32_t k = 1; 4 * k < done; ++k) std::memcpy(pcm_ + 2 * k, pcm_ + 4 * k, 2);
      values /= 2;
    }
    uint32_t produced = 0;
    if (encoder_.beEncodeChunk(streamHandle_, values, reinterpret_cast<const int16_t*>(pcm_),
                               encoderOutput_, &produced) != BE_ERR_SUCCESSFUL) {
      CloseEncoder();
      decoder_.ExitMP3(&decoderState_);
      return -1;
    }
    valuesEncoded_ += values;
    if (static_cast<int64_t>(result) + produced > capacity)
      produced = static_cast<uint32_t>(capacity - result);   // the excess is dropped
    std::memcpy(output + result, encoderOutput_, produced);
    result += static_cast<int32_t>(produced);
    // No encoded block is ever cut: when the next one might not fit, the
    // frames still buffered in the decoder are fetched by the next call.
    if (static_cast<int64_t>(capacity) - result < encoderOutputSize_) {
      holdsMore_ = true;
      return result;
    }
    status = Decode(nullptr, 0, &done);
  }
  return result;
}
