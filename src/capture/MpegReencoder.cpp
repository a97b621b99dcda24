#include "capture/MpegReencoder.h"

#include "base/MpegAudioHeader.h"

#include <cstring>
#include <new>

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

bool TMPEGReEncode::IsValidHeader(const uint8_t* h) { return mpeg::IsValidHeader(h); }

int32_t TMPEGReEncode::BitrateKbps(const uint8_t* h) { return mpeg::BitrateKbps(h); }

uint32_t TMPEGReEncode::SampleRate(const uint8_t* h) { return mpeg::SampleRate(h); }

int32_t TMPEGReEncode::FrameLength(const uint8_t* h) { return mpeg::FrameLength(h); }

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
  sequenceEnded_ = false;
  if (!ready_ || !streamOpen_) return;
  encoder_.beCloseStream(streamHandle_);
  delete[] encoderOutput_;
  encoderOutput_ = nullptr;
  streamHandle_ = 0;
  streamOpen_ = false;
}

int32_t TMPEGReEncode::EndSequence(uint8_t* output, int32_t capacity) {
  if (!ready_ || !streamOpen_) return 0;
  if (!output || capacity < 0 || encoderOutputSize_ > static_cast<uint32_t>(capacity)) return -1;
  uint32_t produced = 0;
  const bool flushed = encoder_.beDeinitStream(streamHandle_, output, &produced) == BE_ERR_SUCCESSFUL;
  CloseEncoder();
  sequenceEnded_ = flushed;
  if (!flushed) {
    decoder_.ExitMP3(&decoderState_);
    return -1;
  }
  return static_cast<int32_t>(produced);
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
  if (!streamOpen_ && sequenceEnded_) {
    // Same format, and the decoder keeps what it holds of the audio.
    sequenceEnded_ = false;
    OpenEncoder();
    if (!streamOpen_) return -1;
  } else if (!streamOpen_) {
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
